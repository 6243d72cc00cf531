// The channel pipeline against the scripted back end: submit and issue, retirement on the
// submitting processor and in issue order, chains, hold and release, credits, the range table,
// failure of everything on a failed channel, and the watchdog.

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "driver/pipeline/range_table.h"
#include "driver/pipeline/status_dump.h"
#include "driver/platform/params.h"
#include "sim/kernel/control.h"
#include "tests/support/csr_dump_decode.h"
#include "sim/kernel/thread_state.h"
#include "tests/driver/pipeline/backend.h"

using namespace sim::kernel;

namespace {

// Completions seen, by the argument each submission carried.
struct completion_log {
    std::mutex mutex;
    std::map<ULONG64, int> calls;  // argument -> completions
    std::map<ULONG64, int> status;
    std::map<ULONG64, ULONG> processor;
    std::vector<ULONG64> order;
    std::atomic<int> total{0};

    void clear() {
        std::lock_guard<std::mutex> g(mutex);
        calls.clear();
        status.clear();
        processor.clear();
        order.clear();
        total = 0;
    }
    static void done(velkor_request* head, ULONG64, ULONG64) {
        completion_log* self = instance;
        std::lock_guard<std::mutex> g(self->mutex);
        auto key = (ULONG64)(ULONG_PTR)head->done_arg;
        self->calls[key]++;
        self->status[key] = head->chain_fail != 0 ? head->chain_fail : head->fail;
        bool on_its_thread = current_thread().kind == thread_kind::system;
        self->processor[key] = on_its_thread ? KeGetCurrentProcessorNumberEx(nullptr) : 999;
        self->order.push_back(key);
        self->total++;
    }
    static completion_log* instance;
};
completion_log* completion_log::instance = nullptr;

class ChannelPipelineTest : public PipelineTest {
  protected:
    void SetUp() override {
        completions_.clear();
        completion_log::instance = &completions_;
        PipelineTest::SetUp();
    }

    ULONG free_requests() { return (ULONG)ReadNoFence(&channel_.pool.free_request_count); }

    // An ordered write (an open-append-point step: no data) with a completion argument.
    velkor_request* ordered(ULONG64 arg) {
        tavrin_ioctx* context = request_alloc(&channel_, REQUEST_ALLOC_WAIT);
        EXPECT_NE(context, nullptr);
        velkor_request* r = context->request;
        r->type = REQUEST_OPEN_AP;
        r->done_fn = completion_log::done;
        r->done_arg = (void*)(ULONG_PTR)arg;
        return r;
    }
    velkor_request* read(ULONG64 arg) {
        tavrin_ioctx* context = make_read(1, 0, buffer_, 4096);
        velkor_request* r = context->request;
        r->done_fn = completion_log::done;
        r->done_arg = (void*)(ULONG_PTR)arg;
        return r;
    }

    completion_log completions_;
    UCHAR buffer_[4096] = {};
};

TEST_F(ChannelPipelineTest, AReadRetiresOnTheProcessorThatAllocatedIt) {
    set_current_processor(2);
    velkor_request* r = read(1);
    set_current_processor(0);
    EXPECT_EQ(submit_request(r), 0);
    ASSERT_TRUE(backend_.wait_issued(1));
    EXPECT_EQ(channel_.outstanding_count, 1);
    backend_.dpc_processor = 3;
    backend_.complete_in_dpc({r});
    ASSERT_TRUE(eventually([&] { return completions_.total == 1; }));
    std::lock_guard<std::mutex> g(completions_.mutex);
    EXPECT_EQ(completions_.processor[1], 2u);
    EXPECT_EQ(completions_.status[1], 0);
    ASSERT_TRUE(eventually([&] { return free_requests() == 64u; }));
    EXPECT_EQ(channel_.outstanding_count, 0);
    EXPECT_EQ(ReadNoFence64(&channel_.stats[REQUEST_READ][STAT_SUBMITTED]), 1);
    EXPECT_EQ(ReadNoFence64(&channel_.stats[REQUEST_READ][STAT_COMPLETED]), 1);
    EXPECT_EQ(ReadNoFence64(&channel_.stats[REQUEST_READ][STAT_OTHER_BYTES]), 4096);
}

TEST_F(ChannelPipelineTest, OrderedRequestsRetireInIssueOrderWhateverOrderTheCardAnswers) {
    std::vector<velkor_request*> requests;
    for (ULONG64 i = 1; i <= 5; i++) {
        requests.push_back(ordered(i));
        submit_request(requests.back());
    }
    ASSERT_TRUE(backend_.wait_issued(5));
    // The card answers the last ones first; nothing retires until the oldest is done.
    for (int i : {4, 3, 2, 1}) {
        backend_.complete(requests[i]);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(completions_.total.load(), 0);
    backend_.complete(requests[0]);
    ASSERT_TRUE(eventually([&] { return completions_.total == 5; }));
    std::lock_guard<std::mutex> g(completions_.mutex);
    EXPECT_EQ(completions_.order, (std::vector<ULONG64>{1, 2, 3, 4, 5}));
}

TEST_F(ChannelPipelineTest, AChainCompletesTogetherInOrderAndOnce) {
    static std::vector<int> retired;
    static std::mutex retired_mutex;
    retired.clear();
    owner_.read_recovery_complete = [](nand_dev*, velkor_request* r) {
        std::lock_guard<std::mutex> g(retired_mutex);
        retired.push_back((int)r->issue_word);
        return 1;
    };
    velkor_request* head = ordered(7);
    velkor_request* members[2];
    for (int i = 0; i < 2; i++) {
        members[i] = request_alloc_chained(&channel_, &head);
        members[i]->type = REQUEST_OPEN_AP;
    }
    head->issue_word = 0;
    members[0]->issue_word = 1;
    members[1]->issue_word = 2;
    head->bytes_done = 0;
    request_chain_validate(head);
    submit_request(head);
    ASSERT_TRUE(backend_.wait_issued(3));
    // issue_word survives issue here: the scripted handlers leave it.
    backend_.complete(members[1]);
    backend_.complete(members[0]);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(completions_.total.load(), 0);
    backend_.complete(head);
    ASSERT_TRUE(eventually([&] { return completions_.total == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::lock_guard<std::mutex> g(completions_.mutex);
    EXPECT_EQ(completions_.calls[7], 1);
    std::lock_guard<std::mutex> r(retired_mutex);
    EXPECT_EQ(retired, (std::vector<int>{0, 1, 2}));
    ASSERT_TRUE(eventually([&] { return free_requests() == 64u; }));
}

TEST_F(ChannelPipelineTest, AChainReportsTheSumOfItsMembersBytes) {
    static std::atomic<ULONG64> reported{0};
    static std::atomic<int> calls{0};
    reported = 0;
    calls = 0;
    backend_.complete_on_announce = true;
    velkor_request* head = ordered(1);
    head->done_fn = [](velkor_request*, ULONG64 bytes, ULONG64) {
        reported = bytes;
        calls++;
    };
    head->bytes_done = 100;
    for (ULONG64 bytes : {200, 300}) {
        velkor_request* member = request_alloc_chained(&channel_, &head);
        ASSERT_NE(member, nullptr);
        member->type = REQUEST_OPEN_AP;
        member->bytes_done = bytes;
    }
    request_chain_validate(head);
    submit_request(head);
    ASSERT_TRUE(eventually([&] { return calls == 1; }));
    EXPECT_EQ(reported.load(), 600u);
    ASSERT_TRUE(eventually([&] { return free_requests() == 64u; }));
    EXPECT_EQ(ReadNoFence64(&channel_.stats[REQUEST_OPEN_AP][STAT_BYTES]), 600);
    EXPECT_EQ(ReadNoFence64(&channel_.stats[REQUEST_OPEN_AP][STAT_OTHER_BYTES]), 600);
    EXPECT_EQ(ReadNoFence64(&channel_.stats[REQUEST_OPEN_AP][STAT_COMPLETED]), 1);
}

// The worker also runs once a second of machine time; with the clock stopped, only the wakes of
// submission and completion move requests: each must be there. One request at a time, so that
// none is carried along by another's wake: a read (completed on its processor), an ordered
// request (collected by the worker) and a data write (through the range table).
TEST_F(ChannelPipelineTest, RequestsGoThroughOnWakesAloneWithTheClockStopped) {
    lba_range_table table;
    ASSERT_EQ(lba_range_table_init(&table, 4, 1000), 0);
    set_clock_rate(0);
    std::string stuck;
    for (int kind = 1; kind <= 3; kind++) {
        velkor_request* r = kind == 1 ? read(kind) : ordered(kind);
        if (kind == 3) {
            r->range_lba = 8;
            r->range_count = 8;
            r->done_fn = [](velkor_request* head, ULONG64 bytes, ULONG64 latency) {
                lba_range_remove(head->range_table, head);
                completion_log::done(head, bytes, latency);
            };
            submit_data_request(&table, r);
        } else {
            submit_request(r);
        }
        // A request left behind goes through in the worker's timed pass once the clock runs.
        if (!backend_.wait_issued(kind, 3000)) {
            stuck += "request " + std::to_string(kind) + " not issued; ";
            set_clock_rate(1.0);
            backend_.wait_issued(kind);
        }
        backend_.complete_in_dpc({r});
        if (!eventually([&] { return completions_.total == kind; }, 3000)) {
            stuck += "request " + std::to_string(kind) + " not completed; ";
            set_clock_rate(1.0);
            eventually([&] { return completions_.total == kind; });
        }
        set_clock_rate(0);
    }
    set_clock_rate(1.0);
    lba_range_table_free(&table);
    EXPECT_EQ(stuck, "");
}

TEST_F(ChannelPipelineTest, AWaiterWakesOnlyWhenTheChainIsDoneWithTheRequest) {
    // The buffer notice runs as the chain completes; a waiter that returns before it would free
    // a request the completion still reads.
    static std::atomic<bool> notice_done{false};
    notice_done = false;
    static nand_dev_client_ops ops = nand_dev_client_defaults;
    ops.buffer_notice = [](nand_dev*) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        notice_done = true;
    };
    nand_dev_set_client(&channel_, &ops, nullptr);
    backend_.complete_on_announce = true;
    tavrin_ioctx* context = request_alloc(&channel_, REQUEST_ALLOC_WAIT);
    velkor_request* r = context->request;
    r->type = REQUEST_OPEN_AP;
    r->flags |= REQ_WAITER | REQ_CALLER_FREES;
    backend_.on_issue = [](velkor_request* issued) { issued->flags |= REQ_BUFFER_RELEASED; };
    submit_request(r);
    request_wait(context);
    EXPECT_TRUE(notice_done.load());
    EXPECT_EQ(ReadNoFence64(&channel_.stats[REQUEST_OPEN_AP][STAT_COMPLETED]), 1);
    request_free(r);
    nand_dev_set_client(&channel_, nullptr, nullptr);
}

TEST_F(ChannelPipelineTest, FailingHandlersAndUnwrittenReadsStillComplete) {
    backend_.write_commands = false;
    velkor_request* r = read(1);
    velkor_request* w = ordered(2);
    submit_request(r);
    submit_request(w);
    ASSERT_TRUE(eventually([&] { return completions_.total == 2; }));
    backend_.write_commands = true;
    backend_.handler_error = -5;
    velkor_request* failing = read(3);
    submit_request(failing);
    ASSERT_TRUE(eventually([&] { return completions_.total == 3; }));
    std::lock_guard<std::mutex> g(completions_.mutex);
    EXPECT_EQ(completions_.status[1], 0);
    EXPECT_EQ(completions_.status[2], 0);
    EXPECT_EQ(completions_.status[3], -5);
}

// ---------------------------------------------------------------------------------------------
// Hold and release

class HoldTest : public ChannelPipelineTest {
  protected:
    void configure() override {
        min_requests = 128;
        max_requests = 128;
        ASSERT_EQ(lba_range_table_init(&table_, 16, 1000), 0);
    }
    void TearDown() override {
        lba_range_table_free(&table_);
        ChannelPipelineTest::TearDown();
    }
    velkor_request* data_write(ULONG64 arg) {
        velkor_request* r = ordered(arg);
        r->range_lba = arg * 8;
        r->range_count = 8;
        r->done_fn = [](velkor_request* head, ULONG64 bytes, ULONG64 latency) {
            lba_range_remove(head->range_table, head);
            completion_log::done(head, bytes, latency);
        };
        return r;
    }
    lba_range_table table_{};
};

TEST_F(HoldTest, WritesSubmittedWhileHeldAllIssueInOrderAfterRelease) {
    backend_.complete_on_announce = true;
    pipeline_hold_requests(&channel_);
    for (ULONG64 i = 1; i <= 100; i++) {
        submit_data_request(&table_, data_write(i));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(backend_.issued_count(), 0u);
    EXPECT_EQ(channel_.queues[QUEUE_HOLD].count, 100u);
    release_held_requests(&channel_);
    ASSERT_TRUE(eventually([&] { return completions_.total == 100; }));
    auto issued = backend_.issued();
    ASSERT_EQ(issued.size(), 100u);
    std::lock_guard<std::mutex> g(completions_.mutex);
    for (ULONG64 i = 1; i <= 100; i++) {
        EXPECT_EQ(completions_.calls[i], 1) << i;
        EXPECT_EQ(completions_.order[i - 1], i);
    }
}

// Holds nest: a write stays held until the last of two holders releases it, and that release
// issues it. The machine clock stands still, so no timed pass of the worker would find it.
TEST_F(HoldTest, WithTwoHoldsTheFirstReleaseIssuesNothing) {
    backend_.complete_on_announce = true;
    set_clock_rate(0);
    pipeline_hold_requests(&channel_);
    pipeline_hold_requests(&channel_);
    submit_data_request(&table_, data_write(1));
    release_held_requests(&channel_);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(backend_.issued_count(), 0u);
    EXPECT_EQ(channel_.queues[QUEUE_HOLD].count, 1u);
    // Taken while one hold remains: held as well.
    submit_data_request(&table_, data_write(2));
    EXPECT_EQ(channel_.queues[QUEUE_HOLD].count, 2u);
    release_held_requests(&channel_);
    bool issued = eventually([&] { return completions_.total == 2; }, 5000);
    // Once nothing holds, a write goes straight to the card.
    submit_data_request(&table_, data_write(3));
    issued = issued && eventually([&] { return completions_.total == 3; }, 5000);
    // A write left queued completes in the worker's next timed pass once the clock runs: before
    // the range table goes.
    set_clock_rate(1.0);
    eventually([&] { return completions_.total == 3; });
    ASSERT_TRUE(issued) << completions_.total.load() << " completed, " << channel_.queues[QUEUE_HOLD].count
                        << " held";
    std::lock_guard<std::mutex> g(completions_.mutex);
    EXPECT_EQ(completions_.order, (std::vector<ULONG64>{1, 2, 3}));
}

TEST_F(HoldTest, ConcurrentSubmittersAndReleasesLoseNothingAndIssueNothingTwice) {
    backend_.complete_on_announce = true;
    std::atomic<bool> go{false};
    std::vector<std::thread> submitters;
    for (int t = 0; t < 4; t++) {
        submitters.emplace_back([&, t] {
            while (!go) {
                std::this_thread::yield();
            }
            for (ULONG64 i = 0; i < 25; i++) {
                submit_data_request(&table_, data_write(1 + t * 25 + i));
            }
        });
    }
    std::thread holder([&] {
        while (!go) {
            std::this_thread::yield();
        }
        for (int round = 0; round < 20; round++) {
            pipeline_hold_requests(&channel_);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            release_held_requests(&channel_);
        }
    });
    go = true;
    for (auto& s : submitters) {
        s.join();
    }
    holder.join();
    ASSERT_TRUE(eventually([&] { return completions_.total == 100; }))
        << completions_.total.load() << " completed, " << channel_.queues[QUEUE_HOLD].count << " held";
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(completions_.total.load(), 100);
    std::lock_guard<std::mutex> g(completions_.mutex);
    for (ULONG64 i = 1; i <= 100; i++) {
        EXPECT_EQ(completions_.calls[i], 1) << i;
    }
    std::set<velkor_request*> distinct;
    for (const issued_request& i : backend_.issued()) {
        distinct.insert(i.request);
    }
    EXPECT_EQ(backend_.issued_count(), 100u);
}

TEST_F(HoldTest, WritesEnterTheRangeTableWhereLookupsFindThem) {
    struct range_case {
        ULONG64 lba;
        ULONG64 count;
        int bucket;  // -1 large list, -2 not entered
    };
    const range_case cases[] = {
        {5000, 2, 5}, {0, 1, 0}, {999, 2048, 0}, {15999, 8, 15}, {900000, 8, 15}, {3000, 2049, -1}, {4000, 0, -2},
    };
    pipeline_hold_requests(&channel_);  // keep them off the card
    std::vector<velkor_request*> requests;
    for (const range_case& c : cases) {
        velkor_request* r = ordered(0);
        r->range_lba = c.lba;
        r->range_count = c.count;
        requests.push_back(r);
        lba_range_insert(&table_, r);
        bool found = false;
        if (c.bucket >= 0) {
            EXPECT_EQ(lba_range_bucket_of(&table_, c.lba), (ULONG)c.bucket);
            LIST_ENTRY* list = &table_.buckets[c.bucket].list;
            for (PLIST_ENTRY e = list->Flink; e != list; e = e->Flink) {
                found = found || e == &r->range_link;
            }
        } else if (c.bucket == -1) {
            for (PLIST_ENTRY e = table_.large.Flink; e != &table_.large; e = e->Flink) {
                found = found || e == &r->range_link;
            }
            EXPECT_EQ(table_.large_count, 1);
        } else {
            found = IsListEmpty(&r->range_link);
        }
        EXPECT_TRUE(found) << c.lba << " " << c.count;
    }
    for (velkor_request* r : requests) {
        lba_range_remove(&table_, r);
        request_free(r);
    }
    EXPECT_EQ(table_.large_count, 0);
    release_held_requests(&channel_);
}

// ---------------------------------------------------------------------------------------------
// Credits

TEST_F(ChannelPipelineTest, TheCreditWordFromTheExample) {
    // 0x00020005 with the producer at 0x10: 0x20 used, 0x1FFE0 free, 507 doorbell slots.
    std::atomic<ULONG> entries{0};
    std::atomic<ULONG> doorbells{0};
    backend_.credit_word_fixed = true;
    backend_.credit_word = 0x00020005;
    kpav_spin_lock(&channel_.issue_lock);
    channel_.ring_producer = 0x10;
    channel_.free_doorbells = 0;
    kpav_spin_unlock(&channel_.issue_lock);
    backend_.on_issue = [&](velkor_request*) {
        entries = channel_.free_entries;
        doorbells = channel_.free_doorbells;
    };
    velkor_request* r = ordered(1);
    submit_request(r);
    ASSERT_TRUE(backend_.wait_issued(1));
    EXPECT_EQ(entries.load(), 0x1FFE0u);
    EXPECT_EQ(doorbells.load(), 507u);
    backend_.complete_issued();
    ASSERT_TRUE(eventually([&] { return completions_.total == 1; }));
}

TEST_F(ChannelPipelineTest, TenFreeDoorbellSlotsIssueNothingUntilTheCardCatchesUp) {
    backend_.credit_word_fixed = true;
    backend_.credit_word = 502;  // 502 doorbells not yet processed: 10 free slots
    kpav_spin_lock(&channel_.issue_lock);
    channel_.free_doorbells = 0;
    kpav_spin_unlock(&channel_.issue_lock);
    velkor_request* r = ordered(1);
    submit_request(r);
    // Nothing is outstanding, so the worker keeps retrying.
    ASSERT_TRUE(eventually([&] { return backend_.credit_reads > 5; }));
    EXPECT_EQ(backend_.issued_count(), 0u);
    EXPECT_NE(ReadAcquire(&channel_.credit_blocked), 0);
    // A card that is gone reads all ones: the cached credits stay and nothing issues either.
    backend_.credit_word = 0xFFFFFFFF;
    int reads = backend_.credit_reads;
    ASSERT_TRUE(eventually([&] { return backend_.credit_reads > reads + 5; }));
    EXPECT_EQ(backend_.issued_count(), 0u);
    kpav_spin_lock(&channel_.issue_lock);
    ULONG free_doorbells = channel_.free_doorbells;
    kpav_spin_unlock(&channel_.issue_lock);
    EXPECT_EQ(free_doorbells, 10u);
    backend_.credit_word = 0;
    ASSERT_TRUE(backend_.wait_issued(1));
    backend_.complete_issued();
    ASSERT_TRUE(eventually([&] { return completions_.total == 1; }));
}

TEST_F(ChannelPipelineTest, TheCoreClockSlowsWhenNothingIsLeftOnTheCard) {
    coreclk_max_derating = 0x17C00;  // only the low 16 bits are written
    velkor_request* a = ordered(1);
    velkor_request* b = ordered(2);
    submit_request(a);
    submit_request(b);
    ASSERT_TRUE(backend_.wait_issued(2));
    backend_.complete(a);
    ASSERT_TRUE(eventually([&] { return completions_.total == 1; }));
    EXPECT_EQ(backend_.derating_writes.load(), 0);
    backend_.complete(b);
    ASSERT_TRUE(eventually([&] { return completions_.total == 2; }));
    ASSERT_TRUE(eventually([&] { return backend_.derating_writes == 1; }));
    EXPECT_EQ(backend_.derating_value.load(), 0x7C00u | 0x80000000u);
}

// ---------------------------------------------------------------------------------------------
// The outstanding ring while the pool grows

class GrowingRingTest : public ChannelPipelineTest {
  protected:
    void configure() override {
        min_requests = 3;
        max_requests = 11;
    }
};

TEST_F(GrowingRingTest, TheRingWrapsAtItsOwnSizeWhileThePoolGrows) {
    EXPECT_EQ(channel_.outstanding.capacity, 11u);
    ULONG64 arg = 0;
    for (int wave = 0; wave < 7; wave++) {
        std::vector<velkor_request*> requests;
        for (int i = 0; i < 2 + wave; i++) {
            requests.push_back(ordered(++arg));
            submit_request(requests.back());
        }
        backend_.complete_on_announce = false;
        ASSERT_TRUE(eventually([&] { return backend_.issued_count() == arg; })) << wave;
        backend_.complete_issued();
        ASSERT_TRUE(eventually([&] { return completions_.total == (int)arg; })) << "wave " << wave;
        // A completed request goes back to the pool after its callback: wait for it, so that the
        // next wave takes it instead of growing the pool.
        ASSERT_TRUE(eventually([&] { return free_requests() == (ULONG)channel_.pool.total; })) << "wave " << wave;
    }
    EXPECT_EQ(channel_.pool.total, 8);
}

// ---------------------------------------------------------------------------------------------
// Failure of the channel

TEST_F(ChannelPipelineTest, EveryRequestRetiresOnceWhenTheChannelFailsUnderIt) {
    std::vector<velkor_request*> on_card;
    for (ULONG64 i = 1; i <= 6; i++) {
        on_card.push_back(i % 2 == 0 ? read(i) : ordered(i));
        submit_request(on_card.back());
    }
    ASSERT_TRUE(backend_.wait_issued(6));
    // Two of them completed on the card just as it fails; the rest never do.
    backend_.complete(on_card[0]);
    backend_.complete_in_dpc({on_card[1]});
    fail_channel(&channel_, 0, 99);
    EXPECT_TRUE(logged("paverr Corvane driver: 12318 Failing channel (99).\n"));
    ASSERT_TRUE(eventually([&] { return completions_.total == 6; }));
    // The card's late answers find nothing left to complete.
    backend_.complete_in_dpc({on_card[3], on_card[5]});
    backend_.wait_dpcs();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    std::lock_guard<std::mutex> g(completions_.mutex);
    EXPECT_EQ(completions_.total.load(), 6);
    for (ULONG64 i = 1; i <= 6; i++) {
        EXPECT_EQ(completions_.calls[i], 1) << i;
    }
    EXPECT_EQ(completions_.status[3], -5);
    EXPECT_EQ(completions_.status[6], -5);
    EXPECT_EQ(channel_.outstanding_count, 0);
    EXPECT_TRUE(eventually([&] { return free_requests() == 64u; }));
}

TEST_F(ChannelPipelineTest, StoppingWaitsForARetirementStillRunningOnItsProcessor) {
    // The callback has run, but the processor's thread is still busy with the request (here in
    // the buffer notice) and has not given it back to the pool. A stop that went on would free
    // the pool under it.
    static std::atomic<bool> notice_done{false};
    notice_done = false;
    static nand_dev_client_ops ops = nand_dev_client_defaults;
    ops.buffer_notice = [](nand_dev*) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        notice_done = true;
    };
    nand_dev_set_client(&channel_, &ops, nullptr);
    backend_.on_issue = [](velkor_request* issued) { issued->flags |= REQ_BUFFER_RELEASED; };
    velkor_request* r = read(1);
    submit_request(r);
    ASSERT_TRUE(backend_.wait_issued(1));
    backend_.complete(r);
    ASSERT_TRUE(eventually([&] { return completions_.total == 1; }));
    started_ = false;
    pipeline_stop_channel(&channel_);
    EXPECT_TRUE(notice_done.load());
    nand_dev_set_client(&channel_, nullptr, nullptr);
}

class WatchdogTest : public ChannelPipelineTest {
  protected:
    void configure() override {
        completion_poll_ms = 0;
        // The card has a dump buffer whose dumps hold the channel's software status, and a shell
        // that hears of its failure.
        card_.dump = {&card_, dump_buffer_, 0, sizeof dump_buffer_};
        card_.nand = &channel_;
        static constexpr card_ops shell = [] {
            card_ops ops = card_ops_defaults;
            ops.report_device_failed = [](pipeline_device*) {
                reported_++;
                return true;
            };
            ops.dump_sections = [](pipeline_device* card, csr_dump_printer* printer, ULONG normal_context) {
                dump_software_status(card->nand, printer, normal_context);
            };
            return ops;
        }();
        card_.ops = &shell;
        reported_ = 0;
    }
    // The dump the worker printed into the log.
    std::string dump() const {
        std::string text;
        eventually([&] {
            text = csr_dump_decode::last_printed(sim::kernel::debug_texts(), "dov0");
            return !text.empty();
        });
        return text;
    }
    char dump_buffer_[32768] = {};
    static std::atomic<int> reported_;
};
std::atomic<int> WatchdogTest::reported_{0};

TEST_F(WatchdogTest, AStuckRequestFailsTheChannelAndEveryRequestOnceWithMinusFive) {
    lba_range_table table;
    ASSERT_EQ(lba_range_table_init(&table, 4, 1000), 0);
    // On the card and never answered.
    velkor_request* stuck_read = read(1);
    velkor_request* stuck_write = ordered(2);
    submit_request(stuck_read);
    submit_request(stuck_write);
    ASSERT_TRUE(backend_.wait_issued(2));
    // Queued behind a card that took no more commands.
    backend_.credit_word_fixed = true;
    backend_.credit_word = 502;
    kpav_spin_lock(&channel_.issue_lock);
    channel_.free_doorbells = 0;
    kpav_spin_unlock(&channel_.issue_lock);
    velkor_request* queued = ordered(3);
    submit_request(queued);
    // Held.
    pipeline_hold_requests(&channel_);
    velkor_request* held = ordered(4);
    held->range_lba = 10;
    held->range_count = 1;
    submit_data_request(&table, held);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(backend_.issued_count(), 2u);
    EXPECT_EQ(completions_.total.load(), 0);

    // Five minutes on, the watchdog finds the oldest request stuck.
    clear_debug_lines();
    advance_clock(301ull * 10000000);
    ASSERT_TRUE(eventually([&] { return completions_.total == 4; }));
    EXPECT_TRUE(channel_failed(&channel_));
    bool fired = false;
    for (const std::string& line : log()) {
        fired = fired || line.rfind("paverr Corvane driver: 12302 Watchdog fired - request stuck issued ", 0) == 0;
    }
    EXPECT_TRUE(fired);
    EXPECT_TRUE(logged("dov0: Stuck req\n"));
    EXPECT_TRUE(logged("paverr Corvane driver: 12318 Failing channel (4096).\n"));
    EXPECT_TRUE(logged("paverr Corvane driver: 06156 dov0: Notification received that this device has failed.\n"));
    EXPECT_TRUE(logged("dov0: Failed 4 requests from bad state\n"));
    // The stuck request as the watchdog printed it: on the card, alone in its chain, with no
    // buffers of its own, no retry and no VSRs.
    std::vector<std::string> lines = log();
    auto stuck = std::find(lines.begin(), lines.end(), "dov0: Stuck req\n");
    ASSERT_NE(stuck, lines.end());
    ASSERT_GE(lines.end() - stuck, 7);
    char expected[200];
    std::snprintf(expected, sizeof expected, "pavinf      dov0 read request %016llX op ",
                  (unsigned long long)(ULONG_PTR)stuck_read);
    EXPECT_EQ(stuck[1].rfind(expected, 0), 0u) << stuck[1];
    EXPECT_NE(stuck[1].find(" pre  fail 0 chain_fail 0\n"), std::string::npos);
    EXPECT_EQ(stuck[2], "pavinf         addr 1:0 size 4096 pkt_count 0.\n");
    EXPECT_EQ(stuck[3], "pavinf         first last subs(1) outstanding_DMAs 1 outstanding_reports 0 "
                        "outstanding_bank_cmds 0 outstanding_packetizer_cmds 0 outstanding_flushes 0\n");
    EXPECT_EQ(stuck[4], "pavinf         IOC bufs ebo: -1 ebf: -1 ebi: 0x0\n");
    EXPECT_EQ(stuck[5], "pavinf         vsrs (0)\n");
    EXPECT_FALSE(logged("pavinf        retry state 0 orange step 0 parity step 0.\n"));
    // The dump, taken as the channel failed, shows where each request was.
    std::string text = dump();
    EXPECT_EQ(text.rfind("pavinf dov0: ERROR Failing channel.\npavinf dov0: == software status 0x", 0), 0u);
    EXPECT_NE(text.find("pavinf dov0: Requests outstanding: 2 held: 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("pavinf dov0: Ordered Q: 1 queued\n"), std::string::npos) << text;
    EXPECT_NE(text.find("pavinf dov0: Hold Q: 1 queued\n"), std::string::npos) << text;
    EXPECT_NE(text.find("pavinf dov0: read requests total inserted: 1 total completed: 0 "), std::string::npos);
    EXPECT_NE(text.find("pavinf dov0: HCQ:\n"), std::string::npos);
    EXPECT_NE(text.find("pavinf dov0 CPU completion queues:\n"), std::string::npos);
    EXPECT_FALSE(logged("dov0: Ignoring CSR dump request: buffer unavailable.\n"));
    EXPECT_EQ(reported_.load(), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    {
        std::lock_guard<std::mutex> g(completions_.mutex);
        for (ULONG64 i = 1; i <= 4; i++) {
            EXPECT_EQ(completions_.calls[i], 1) << i;
            EXPECT_EQ(completions_.status[i], -5) << i;
        }
    }
    // The held write entered the range table on its way out, as a release would have done.
    EXPECT_FALSE(IsListEmpty(&table.buckets[0].list));
    lba_range_remove(&table, held);
    EXPECT_EQ(request_alloc(&channel_, 0), nullptr);
    ASSERT_TRUE(eventually([&] { return free_requests() == 64u; }));
    release_held_requests(&channel_);
    lba_range_table_free(&table);
}

// A flush row that the card never reports, with no request stuck: the watchdog says so, with
// its message, and does not fail the channel for it.
TEST_F(WatchdogTest, AStuckFlushAloneIsReportedWithItsMessage) {
    flush_position at{1, 0};
    auto writer = std::make_unique<velkor_request>();
    writer->channel = &channel_;
    writer->type = REQUEST_APPEND;
    InitializeListHead(&writer->flush_link);
    InitializeListHead(&writer->queue_link);
    kpav_spin_lock(&channel_.issue_lock);
    flush_account_bytes(&channel_, &at, writer.get(), channel_.geometry.page_size);
    flush_record* row = flush_oldest_issued(&channel_);
    kpav_spin_unlock(&channel_.issue_lock);
    ASSERT_NE(row, nullptr);
    clear_debug_lines();
    advance_clock(310ull * 10000000);
    ASSERT_TRUE(eventually([&] { return logged("dov0: Stuck flush 1:0 bank 0.\n"); }));
    bool fired = false;
    for (const std::string& line : log()) {
        fired = fired || line.rfind("paverr Corvane driver: 12302 Watchdog fired - flush stuck issued ", 0) == 0;
    }
    EXPECT_TRUE(fired);
    EXPECT_FALSE(channel_failed(&channel_));
    flush_complete(&channel_, row->index);
}

TEST_F(WatchdogTest, TheStuckRulesByAge) {
    ULONG64 now = 1000000000;
    WriteNoFence64(&channel_.last_completion_us, (LONG64)(now - 10000000));  // 10 s ago
    EXPECT_FALSE(watchdog_stuck(&channel_, now, now - 49000000, false, true));
    EXPECT_FALSE(watchdog_stuck(&channel_, now, now - 60000000, false, true));
    EXPECT_TRUE(watchdog_stuck(&channel_, now, now - 300000000, false, true));
    WriteNoFence64(&channel_.last_completion_us, (LONG64)(now - 51000000));  // 51 s ago
    clear_debug_lines();
    EXPECT_TRUE(watchdog_stuck(&channel_, now, now - 60000000, true, true));
    EXPECT_EQ(log(), (std::vector<std::string>{
                         "paverr Corvane driver: 12303 Watchdog fired - flush stuck issued 60000000 us ago last "
                         "completion 51000000 us ago\n"}));
    clear_debug_lines();
    EXPECT_TRUE(watchdog_stuck(&channel_, now, now - 60000000, false, false));
    EXPECT_TRUE(log().empty());
}

// ---------------------------------------------------------------------------------------------
// Read recovery, retries and the Fail Q

TEST_F(ChannelPipelineTest, ReadRecoveryRequeuesAReadAtTheFrontAndFinishesIt) {
    static std::atomic<int> passes{0};
    passes = 0;
    owner_.read_recovery_complete = [](nand_dev* channel, velkor_request* r) {
        if (r->type != REQUEST_READ || passes++ > 0) {
            return 1;
        }
        EXPECT_TRUE(resubmit_request(channel, r));
        return 0;
    };
    backend_.complete_on_announce = true;
    velkor_request* r = read(1);
    submit_request(r);
    ASSERT_TRUE(eventually([&] { return completions_.total == 1; }));
    EXPECT_EQ(backend_.issued_count(), 2u);
    EXPECT_EQ(passes.load(), 2);
    std::lock_guard<std::mutex> g(completions_.mutex);
    EXPECT_EQ(completions_.status[1], 0);
}

TEST_F(ChannelPipelineTest, ReadRecoveryCanFailARequestThroughTheFailQueue) {
    static std::atomic<int> passes{0};
    passes = 0;
    owner_.read_recovery_complete = [](nand_dev* channel, velkor_request* r) {
        if (passes++ > 0) {
            return 1;
        }
        queue_failed_request(channel, r);
        return 0;
    };
    backend_.complete_on_announce = true;
    submit_request(read(1));
    ASSERT_TRUE(eventually([&] { return completions_.total == 1; }));
    std::lock_guard<std::mutex> g(completions_.mutex);
    EXPECT_EQ(completions_.status[1], -5);
}

TEST_F(ChannelPipelineTest, AnErasedPageReportsMinus1028WhenAskedTo) {
    backend_.complete_on_announce = true;
    backend_.on_issue = [](velkor_request* r) { r->erased_hint = 1; };
    velkor_request* r = read(1);
    r->flags |= REQ_ERASED_IS_ERROR;
    submit_request(r);
    velkor_request* plain = read(2);
    submit_request(plain);
    ASSERT_TRUE(eventually([&] { return completions_.total == 2; }));
    std::lock_guard<std::mutex> g(completions_.mutex);
    EXPECT_EQ(completions_.status[1], PAV_ERASED_MEDIA);
    EXPECT_EQ(completions_.status[2], 0);
}

// ---------------------------------------------------------------------------------------------
// Reads that overlap the open flush row

TEST_F(ChannelPipelineTest, AReadOfTheOpenRowWaitsUntilTheRowIsIssued) {
    UCHAR data[4096] = {};
    // A page program of half of pad 0's row of block 1 leaves the row open.
    tavrin_ioctx* program = make_page_program(1, 0, data, 2048);
    program->request->done_fn = completion_log::done;
    program->request->done_arg = (void*)(ULONG_PTR)1;
    submit_request(program->request);
    ASSERT_TRUE(backend_.wait_issued(1));
    ASSERT_NE(channel_.flush.current, nullptr);
    velkor_request* r = read(2);  // block 1, offset 0
    submit_request(r);
    // The read joined the row and asked for it to be flushed: the row is padded and issued,
    // and then the read goes to the card.
    ASSERT_TRUE(backend_.wait_issued(2));
    EXPECT_EQ(backend_.flush_rows_issued().size(), 1u);
    EXPECT_EQ(channel_.merged_reads, 0);
    backend_.complete_in_dpc({program->request, r}, backend_.flush_rows_issued());
    ASSERT_TRUE(eventually([&] { return completions_.total == 2; }));
}

// ---------------------------------------------------------------------------------------------
// The poller

class PollerTest : public ChannelPipelineTest {
  protected:
    void configure() override { completion_poll_ms = 1; }
};

TEST_F(PollerTest, ThePollerPollsTheRingsUntilTheChannelStops) {
    EXPECT_EQ(ReadAcquire(&channel_.software_status) & PIPE_POLLER_EXITED, 0);
    ASSERT_TRUE(eventually([&] { return backend_.polls > 3; }));
    pipeline_stop_channel(&channel_);
    started_ = false;
    int after = backend_.polls;
    EXPECT_EQ(channel_.software_status & (PIPE_WORKER1_EXITED | PIPE_POLLER_EXITED),
              PIPE_WORKER1_EXITED | PIPE_POLLER_EXITED);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(backend_.polls.load(), after);
}

}  // namespace
