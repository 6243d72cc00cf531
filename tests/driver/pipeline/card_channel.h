// The driver's data channel on the card model: a booted machine with a small card plugged in,
// its BAR mapped into a card record, the controller reset as probe does it, the channel set up
// and started through the card's hooks, and the card's MSI-X messages connected to a service
// routine that queues the vector's DPC, which drains the vector's ring (as the device shell's
// ISR and DPC do).
//
// The ring tests need two kinds of request whose answers they can foresee, so the fixture
// installs two small issue handlers of its own; the tests of the driver's issue handlers put
// `request_issue_table` in their place. An erase is the
// erase program of its block; the card answers a bank word per bank naming the request, which
// the decoder and the ordered retirement complete. A
// zero read is a read sequence whose port B delivers zeros into one DMA descriptor carrying the
// interrupt request; the card answers a DMA-done word, and the read completes on its processor.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/controller/card.h"
#include "driver/pipeline/channel_setup.h"
#include "driver/pipeline/pipeline.h"
#include "sim/card/card.h"
#include "sim/kernel/interrupt.h"
#include "tests/support/kernel_fixture.h"

class CardChannelTest : public KernelTest {
  protected:
    void SetUp() override;
    void TearDown() override;
    // The card's configuration; override to change it.
    virtual sim::card::CardConfig card_config() const;
    // Runs before the channel is set up (parameters, faults, the bring-up's operations).
    virtual void configure() {}
    // The stripe the channel's geometry names, which sizes its requests' scatter-gather lists;
    // override for requests larger than a list of the default holds.
    virtual ULONG stripe_bytes() const { return 65536; }


    // An erase of `eb`, submitted without waiting; its completions are counted per request.
    velkor_request* submit_erase(USHORT eb);
    // A read of `size` zero bytes into `buffer` (DMA-able memory), submitted without waiting.
    velkor_request* submit_zero_read(void* buffer, ULONG size);
    // Requests completed, and the status each completion reported (by submission, from 1).
    size_t completed() const;
    std::map<ULONG, std::vector<int>> completions() const;

    // Appends `count` harmless entries (the derating register) under the issue lock and announces
    // them.
    void append_filler(ULONG count);

    // Frees the channel, powers the card on (after a power cut: its media as the cut left it)
    // and sets up and starts a new channel on it, as a reboot would. Anything built on the old
    // channel must be gone first.
    void restart();

    nand_dev* channel() { return card_.nand; }
    // What the card's register dump holds (its reason line first): the one waiting to be printed,
    // else the last one printed into the log; and how many dumps were asked for: those printed,
    // the one waiting, and those refused while one was being taken or waited.
    std::string dump_text() const;
    // Every dump of the card: those printed, oldest first, then the one waiting.
    std::vector<std::string> dump_texts() const;
    size_t dump_requests() const;
    // Runs `action` at teardown, once the channel is freed (its DMA engines stopped).
    void pipeline_free_then(std::function<void()> action) { after_free_.push_back(std::move(action)); }
    ULONG issued() const { return issued_.load(); }

    std::unique_ptr<sim::card::Card> model_;
    // The operations the channel calls in its bring-up: the defaults, with the NAND controller's
    // set-up reading the card model's geometry and the management data's rle pass at start.
    channel_owner_ops owner_ = channel_owner_defaults;
    pipeline_device card_{};
    std::vector<char> dump_buffer_ = std::vector<char>(65536);
    card_probe probe_{};
    volatile ULONG* bar_ = nullptr;
    bool started_ = false;
    // The driver's issue handlers from the start on (a start that reads the media needs them),
    // instead of the fixture's two; set it in configure().
    bool real_issue_handlers_ = false;

    static int geometry_from_card(nand_dev* channel);

  private:
    void bring_up();
    void take_down();
    static int issue_erase(nand_dev* channel, velkor_request* request);
    static int issue_zero_read(nand_dev* channel, velkor_request* request);
    static void request_done(velkor_request* head, ULONG64 bytes, ULONG64 latency_us);
    static BOOLEAN service(PKINTERRUPT interrupt, PVOID context, ULONG message);
    static void dpc_routine(PKDPC dpc, PVOID context, PVOID, PVOID);
    void connect_interrupts();
    void disconnect_interrupts();

    PIO_INTERRUPT_MESSAGE_INFO messages_ = nullptr;
    std::vector<std::function<void()>> after_free_;
    KDPC dpcs_[16] = {};
    ULONG dpc_index_[16] = {};
    request_issue_handler table_[REQUEST_TYPE_COUNT] = {};
    std::atomic<ULONG> issued_{0};
    mutable std::mutex mutex_;
    std::map<ULONG, std::vector<int>> completions_;
    size_t completed_ = 0;
    ULONG submitted_ = 0;  // the test's thread
    LONG saved_[6] = {};
};
