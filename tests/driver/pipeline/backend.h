// A small scripted back end for the pipeline: issue handlers that record what they were given
// and ask the "card" for one completion each, a command ring that only counts, and completions
// posted by the test (directly, or from a DPC on a chosen processor) the way the completion
// decoder posts them. And the fixture that runs a channel on it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "driver/pipeline/eb_geometry.h"
#include "driver/pipeline/owners.h"
#include "driver/pipeline/pipeline.h"
#include "driver/pipeline/channel_owner.h"
#include "tests/support/kernel_fixture.h"

struct issued_request {
    ULONG type;
    ULONG tag;
    velkor_request* request;
};

class scripted_backend {
  public:
    // Settings a test may change.
    std::atomic<int> handler_error{0};          // returned by every handler when not 0
    std::atomic<bool> write_commands{true};     // handlers mark their commands written
    std::atomic<bool> complete_on_announce{false};  // the card answers everything it was told
    std::atomic<ULONG> entries_per_request{4};
    std::atomic<bool> credit_word_fixed{false};
    std::atomic<ULONG> credit_word{0};          // when fixed
    std::atomic<ULONG> dpc_processor{1};
    // Runs in every handler (under the issue lock), before the request asks for its completion.
    std::function<void(velkor_request*)> on_issue;

    // What happened.
    std::atomic<int> announces{0};
    std::atomic<int> credit_reads{0};
    std::atomic<int> derating_writes{0};
    std::atomic<ULONG> derating_value{0};
    std::atomic<int> polls{0};
    std::atomic<int> interrupts_stopped{0};
    std::atomic<int> program_starts{0};

    void install(nand_dev* channel);
    void uninstall();

    std::vector<issued_request> issued();
    size_t issued_count();
    std::vector<ULONG> flush_rows_issued();  // record indexes, in issue order
    std::vector<ioc_transfer> transfers();   // buffer-set DMA handed to the ring

    // Completions as the decoder reports them: a read whose last DMA-done came in goes to its
    // processor; an ordered request's report lowers its count and the worker collects.
    void complete(velkor_request* request);
    void complete_issued();  // every request issued and not yet completed by the test
    // The same from a DPC on dpc_processor; returns when the DPC ran.
    void complete_in_dpc(const std::vector<velkor_request*>& requests, const std::vector<ULONG>& rows = {});
    void wait_dpcs();

    // Waits (bounded) until `count` requests were issued and are on the card.
    bool wait_issued(size_t count, int milliseconds = 10000);

    nand_dev* channel() { return channel_; }

    // The write position the append and page-program handlers account from.
    flush_position write_position{0, 0};

  private:
    static scripted_backend* of(nand_dev* channel) { return (scripted_backend*)channel->backend_context; }
    static int handle(nand_dev* channel, velkor_request* request);
    static ULONG read_credit_word(nand_dev* channel);
    static void announce(nand_dev* channel);
    static void write_derating(nand_dev* channel, ULONG value);
    static int poll(nand_dev* channel);
    static void dma_transfer(nand_dev* channel, const ioc_transfer* transfer);
    static void stop_interrupts(nand_dev* channel);
    static void program_start(nand_dev* channel, flush_record* record);
    static void dpc_routine(PKDPC dpc, PVOID context, PVOID, PVOID);

    nand_dev* channel_ = nullptr;
    std::mutex mutex_;
    std::vector<issued_request> issued_;
    size_t completed_upto_ = 0;
    std::vector<velkor_request*> unannounced_;
    std::deque<velkor_request*> dpc_queue_;
    std::deque<ULONG> dpc_rows_;
    std::vector<ULONG> rows_;
    std::vector<ULONG> unannounced_rows_;
    std::vector<ioc_transfer> transfers_;
    std::atomic<int> dpcs_pending_{0};
    KDPC dpc_{};
    channel_backend_ops ops_ = channel_backend_defaults;
    request_issue_handler table_[REQUEST_TYPE_COUNT] = {};
};

// A booted machine with the per-processor threads and one channel of `dov0` on the scripted back
// end. Tests set parameters in configure(), which runs before the channel starts.
class PipelineTest : public KernelTest {
  protected:
    void SetUp() override;
    void TearDown() override;
    virtual void configure() {}

    // Gives the channel erase-block information that answers as its uniform geometry does (every
    // lane in use, a row's bytes split evenly over the banks); taken down at teardown.
    void use_ebinfo();

    // A read request of `size` bytes at eb:offset into `buffer`, allocated and filled, not
    // submitted.
    tavrin_ioctx* make_read(USHORT eb, ULONG64 offset, void* buffer, ULONG size);
    // A page program of `size` bytes (mapped from `buffer`), not submitted.
    tavrin_ioctx* make_page_program(USHORT eb, USHORT page, const void* buffer, ULONG size, ULONG64 flags = 0);

    pipeline_device card_{};
    nand_dev channel_{};
    // The operations the channel calls in its bring-up (the channel's owner table): the defaults
    // until a test replaces one.
    channel_owner_ops owner_ = channel_owner_defaults;
    scripted_backend backend_;
    bool started_ = false;

  private:
    LONG saved_min_ = 0;
    LONG saved_max_ = 0;
    LONG saved_poll_ = 0;
    LONG saved_derating_ = 0;
};
