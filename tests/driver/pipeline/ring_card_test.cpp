// The command ring, the completion rings and the channel's set-up with the card model: what the
// driver writes is what the card replays, what the card answers is what the driver decodes.

#include <cstring>

#include "driver/card/hw_reset.h"
#include "driver/pipeline/cq.h"
#include "driver/pipeline/hw_cmds.h"
#include "driver/pipeline/issue.h"
#include "driver/pipeline/nand_kinfo.h"
#include "driver/platform/kinfo.h"
#include "driver/platform/memory.h"
#include "driver/platform/params.h"
#include "driver/platform/time.h"
#include "sim/kernel/control.h"
#include "tests/driver/pipeline/card_channel.h"

namespace {

bool logged_part(const std::string& part) {
    for (const std::string& line : sim::kernel::debug_texts()) {
        if (line.find(part) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// Every request completed exactly once, each with `status`.
void expect_each_once(const std::map<ULONG, std::vector<int>>& completions, size_t count, int status) {
    size_t total = 0;
    for (const auto& [submission, statuses] : completions) {
        total += statuses.size();
    }
    EXPECT_EQ(total, count);
    EXPECT_EQ(completions.size(), count);
    for (const auto& [submission, statuses] : completions) {
        EXPECT_EQ(statuses.size(), 1u) << "submission " << submission;
        EXPECT_EQ(statuses.front(), status) << "submission " << submission;
    }
}

using RingCardTest = CardChannelTest;

TEST_F(RingCardTest, RequestsAreReplayedInOrderAndTheirAnswersCompleteThem) {
    ULONG64 bus = 0;
    auto* buffer = (UCHAR*)kpav_dma_alloc_contig(&bus);
    ASSERT_NE(buffer, nullptr);
    std::memset(buffer, 0xAB, 16 * 4096);
    // The card takes no doorbell until all 16 are issued, so none completes and returns its pool
    // index early: each request's index names it alone in the replay below.
    model_->inject("hold_doorbells", "n=0");
    std::vector<ULONG> order;
    for (ULONG i = 0; i < 16; i++) {
        velkor_request* r = i % 2 == 0 ? submit_erase(3) : submit_zero_read(buffer + i * 4096, 4096);
        ASSERT_NE(r, nullptr);
        order.push_back(r->pool_index);
    }
    ASSERT_TRUE(eventually([&] { return issued() == 16; }));
    model_->clear("hold_doorbells");
    model_->release_doorbells(16);
    ASSERT_TRUE(eventually([&] { return completed() == 16; }));
    expect_each_once(completions(), 16, 0);
    for (ULONG i = 1; i < 16; i += 2) {
        for (ULONG b = 0; b < 4096; b++) {
            ASSERT_EQ(buffer[i * 4096 + b], 0) << "read " << i;
        }
    }
    // The card replayed the requests in the order they were issued, and each port B descriptor
    // carried its interrupt request.
    std::vector<ULONG> replayed;
    for (const sim::card::TracedEntry& e : model_->entry_trace()) {
        // An erase tags one status step per bank.
        if ((e.reg == BAR_NAND + 400 || e.reg == BAR_NAND + 520) &&
            (replayed.empty() || replayed.back() != (e.value >> 2 & 0x3FFF))) {
            replayed.push_back(e.value >> 2 & 0x3FFF);
        }
        if (e.reg == BAR_NAND + 496) {
            EXPECT_NE(e.value & HW_IRQ_BIT, 0u);
        }
    }
    EXPECT_EQ(replayed, order);
    // Erases were answered on the write ring, a bank word per bank.
    std::vector<uint32_t> write_words = model_->completion_log(1);
    ULONG banks = model_->config().geometry.banks;
    ASSERT_EQ(write_words.size(), 8u * banks);
    for (size_t i = 0; i < write_words.size(); i++) {
        EXPECT_EQ(write_words[i], (0x20u + (ULONG)(i % banks)) | 2u << 8 | order[2 * (i / banks)] << 10);
    }
    kpav_dma_free_contig(buffer);
}

TEST_F(RingCardTest, TheDoorbellSplitsAtTheRingEnd) {
    // Walk the ring up to two entries before its end.
    ULONG target = HW_CMDS_ENTRIES - 2;
    while ((ULONG)ReadNoFence(&channel()->ring_producer) != target) {
        ULONG left = target - (ULONG)ReadNoFence(&channel()->ring_producer);
        append_filler(left < 8192 ? left : 8192);
        ASSERT_TRUE(model_->wait_idle());
    }
    ULONG64 doorbells = model_->counters().doorbells;
    ULONG64 writes = channel()->ring.doorbell_writes;
    kpav_spin_lock(&channel()->issue_lock);
    ULONG free_before = channel()->free_doorbells;
    kpav_spin_unlock(&channel()->issue_lock);
    append_filler(6);
    ASSERT_TRUE(model_->wait_idle());
    EXPECT_EQ(model_->counters().doorbells, doorbells + 2);
    EXPECT_EQ(channel()->ring.doorbell_writes, writes + 2);
    EXPECT_EQ(channel()->free_doorbells, free_before - 2);
    std::vector<sim::card::TracedEntry> trace = model_->entry_trace();
    ASSERT_GE(trace.size(), 6u);
    const ULONG indexes[] = {0x1FFFE, 0x1FFFF, 0, 1, 2, 3};
    for (ULONG i = 0; i < 6; i++) {
        const sim::card::TracedEntry& e = trace[trace.size() - 6 + i];
        EXPECT_EQ(e.ring_index, indexes[i]);
        EXPECT_EQ(e.value, i);
    }
    // Nothing new: no doorbell.
    append_filler(0);
    ASSERT_TRUE(model_->wait_idle());
    EXPECT_EQ(model_->counters().doorbells, doorbells + 2);
}

struct credit_case {
    const char* name;
    bool unreadable;  // the credit word reads all ones while the doorbells are held
};

class HeldDoorbellsTest : public CardChannelTest, public ::testing::WithParamInterface<credit_case> {};

TEST_P(HeldDoorbellsTest, IssueStopsAt502HeldDoorbellsAndResumesWhenTheCardTakesThem) {
    model_->inject("hold_doorbells", "n=0");
    if (GetParam().unreadable) {
        model_->inject("credit_unreadable", "times=always");
    }
    // A kick rings once for what it issued, so a kick that finds several requests queued issues
    // them under one doorbell. Each of the first 502 is issued before the next is submitted, one
    // doorbell each; then the rest are queued behind them.
    const ULONG total = 1000;
    for (ULONG i = 0; i < 502; i++) {
        ASSERT_NE(submit_erase(2), nullptr);
        ASSERT_TRUE(eventually([&] { return issued() == i + 1; })) << "request " << i;
    }
    for (ULONG i = 502; i < total; i++) {
        ASSERT_NE(submit_erase(2), nullptr);
    }
    // After the 502nd doorbell 10 slots are left, the floor, and issue stops with requests still
    // queued.
    EXPECT_TRUE(eventually([&] { return model_->counters().doorbells >= 502; }));
    ULONG issued_then = issued();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(model_->counters().doorbells, 502u);
    EXPECT_EQ(model_->counters().doorbells_fetched, 0u);
    EXPECT_EQ(issued(), issued_then);
    EXPECT_LT(issued_then, total);
    EXPECT_EQ(completed(), 0u);
    kpav_spin_lock(&channel()->issue_lock);
    EXPECT_EQ(channel()->free_doorbells, 10u);
    kpav_spin_unlock(&channel()->issue_lock);

    model_->clear("credit_unreadable");
    model_->release_doorbells(total);
    ASSERT_TRUE(eventually([&] { return completed() == total; }));
    expect_each_once(completions(), total, 0);
}

INSTANTIATE_TEST_SUITE_P(Credits, HeldDoorbellsTest,
                         ::testing::Values(credit_case{"readable", false}, credit_case{"all_ones", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RingCardTest, AnUnknownCompletionWordFailsTheChannel) {
    model_->inject("event", "word=7");
    // The status line is the decoder's last.
    ASSERT_TRUE(eventually([&] { return logged_part("dov0: intr_status:"); }));
    EXPECT_TRUE(channel_failed(channel()));
    EXPECT_EQ(channel()->failure_reason, CHANNEL_FAIL_UNKNOWN_EVENT);
    EXPECT_TRUE(logged("dov0: Unknown interrupt (q=0): val[0]: 00000007\n"));
    // Read while the word is consumed but not yet acknowledged: ring 0 holds it.
    EXPECT_TRUE(logged("dov0: intr_status: pending: 1 ovr: 0 undr: 0 full: 0 empty: 0 bytes: 4\n"));
    EXPECT_TRUE(logged_part("Failing channel (262144)."));
    // Nothing can be had from a failed channel.
    EXPECT_EQ(request_alloc(channel(), 0), nullptr);
}

// No poller: a read completes only through its ring's interrupt. The completion thread's re-arm
// pass may come while the drainer that handed it the read is still finishing (the ring masked,
// its draining flag set); the pass must re-arm the ring all the same, or the next read's word
// lies in the ring unseen.
class UnpolledRingTest : public CardChannelTest {
  protected:
    void configure() override { completion_poll_ms = 0; }
    // A zero read through the channel's own read handler, from processor 0; true when it
    // completed and its ring signalled for it.
    bool read_through_interrupt(completion_queue* ring, UCHAR* buffer) {
        uint64_t signals = model_->counters().msix_signals[ring->index];
        size_t before = completed();
        if (submit_zero_read(buffer, 4096) == nullptr) {
            return false;
        }
        if (!eventually([&] { return completed() == before + 1; })) {
            // Collected as the poller would have, so that the channel stops cleanly.
            poll_completion_queues(channel());
            eventually([&] { return completed() == before + 1; });
            return false;
        }
        return model_->counters().msix_signals[ring->index] > signals;
    }
};

TEST_F(UnpolledRingTest, ARearmPassThatMeetsAnotherDrainerStillRearmsTheRing) {
    channel()->issue_table = request_issue_table;
    sim::kernel::set_current_processor(0);
    completion_queue* ring = card_.cpu_queues != nullptr && card_.cpu_queues[0] != nullptr
                                 ? card_.cpu_queues[0]
                                 : card_.completion_queues[0];
    ULONG64 bus = 0;
    auto* buffer = (UCHAR*)kpav_dma_alloc_contig(&bus);
    ASSERT_NE(buffer, nullptr);
    pipeline_free_then([buffer] { kpav_dma_free_contig(buffer); });
    ASSERT_TRUE(read_through_interrupt(ring, buffer));

    // A drainer in its pass that handed its completions on: the ring masked, not re-armed.
    InterlockedOr(&ring->flags, CQ_DRAINING);
    InterlockedAnd(&ring->flags, ~CQ_REARMED);
    csr_write(ring->window, CQW_ACK, CQ_ACK_MASKED);
    // The completion thread's pass meanwhile; then the drainer leaves, re-arming nothing.
    cq_rearm(ring);
    InterlockedAnd(&ring->flags, ~CQ_DRAINING);

    ASSERT_TRUE(read_through_interrupt(ring, buffer));
    auto done = completions();
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[1], std::vector<int>{0});
    EXPECT_EQ(done[2], std::vector<int>{0});
}

// A drain that took only words needing nothing more (here a page-statistics record for no
// request) re-arms its ring: the next word signals again.
TEST_F(UnpolledRingTest, ADrainOfWordsThatCompleteNothingRearmsTheRing) {
    channel()->issue_table = request_issue_table;
    sim::kernel::set_current_processor(0);
    completion_queue* ring = card_.cpu_queues != nullptr && card_.cpu_queues[0] != nullptr
                                 ? card_.cpu_queues[0]
                                 : card_.completion_queues[0];
    ULONG64 bus = 0;
    auto* buffer = (UCHAR*)kpav_dma_alloc_contig(&bus);
    ASSERT_NE(buffer, nullptr);
    pipeline_free_then([buffer] { kpav_dma_free_contig(buffer); });
    uint64_t signals = model_->counters().msix_signals[ring->index];
    model_->inject("event", "word=0x30 record=[0,0,0,0] ring=" + std::to_string(ring->index));
    ASSERT_TRUE(eventually([&] { return model_->counters().msix_signals[ring->index] > signals; }));
    ASSERT_TRUE(eventually([&] { return cq_rings_empty(channel()); }));
    EXPECT_TRUE(read_through_interrupt(ring, buffer));
    EXPECT_FALSE(channel_failed(channel()));
}

// A request word whose tag names no request in flight (an index the pool has not handed out, or
// one beyond the pool) is dropped and fails the channel once; it never stops the machine.
class NamelessCompletionTest : public CardChannelTest, public ::testing::WithParamInterface<ULONG> {};

TEST_P(NamelessCompletionTest, FailsTheChannel) {
    ULONG index = GetParam();
    ASSERT_NE(index == 3, index > channel()->pool.capacity);
    LONG asserts_before = ReadNoFence(&kpav_assert_bad);
    model_->inject("event", "word=" + std::to_string(0x5Bu | index << 10));
    ASSERT_TRUE(eventually([&] { return channel_failed(channel()); }));
    EXPECT_EQ(ReadNoFence(&kpav_assert_bad), asserts_before);
    EXPECT_EQ(channel()->failure_reason, CHANNEL_FAIL_BAD_COMPLETION);
    EXPECT_TRUE(logged_part("names no request on the card"));
}

INSTANTIATE_TEST_SUITE_P(Tags, NamelessCompletionTest, ::testing::Values(ULONG(3), ULONG(0x3FFF)),
                         [](const auto& info) { return info.param == 3 ? "idle_index" : "beyond_the_pool"; });

TEST_F(RingCardTest, TheWatchdogFailsEveryRequestOnceWhenTheCardStopsAnswering) {
    ULONG64 bus = 0;
    auto* buffer = (UCHAR*)kpav_dma_alloc_contig(&bus);
    ASSERT_NE(buffer, nullptr);
    model_->inject("stop_answering");
    for (ULONG i = 0; i < 20; i++) {
        ASSERT_NE(i % 4 == 3 ? submit_zero_read(buffer + i * 4096, 4096) : submit_erase(4), nullptr);
    }
    ASSERT_TRUE(eventually([&] { return issued() == 20; }));
    sim::kernel::set_clock_rate(2000);  // 50 s of machine time in 25 ms
    ASSERT_TRUE(eventually([&] { return completed() == 20; }, 20000));
    expect_each_once(completions(), 20, -KPAV_EIO);
    EXPECT_EQ(channel()->failure_reason, CHANNEL_FAIL_WATCHDOG);
    EXPECT_TRUE(logged_part("Watchdog fired - request stuck issued"));
    EXPECT_TRUE(logged("dov0: Stuck req\n"));
    EXPECT_TRUE(logged_part("Failed 20 requests from bad state"));
    sim::kernel::set_clock_rate(1.0);
    // The card keeps the failed reads' entries unfetched; the buffer is released after the
    // channel's teardown stopped the engines.
    pipeline_free_then([buffer] { kpav_dma_free_contig(buffer); });
}

TEST_F(RingCardTest, ARecordWithoutItsTerminatorIsAnErrorAfterOneSecond) {
    ULONG64 before = kpav_get_usecs();
    // A page-statistics record of a two-lane card is 4 words; the card stops after two.
    model_->inject("event", "word=0x30 record=[2,16] no_terminator");
    ASSERT_TRUE(eventually([&] { return channel_failed(channel()); }, 20000));
    EXPECT_GE(kpav_get_usecs() - before, 1000000u);
    EXPECT_EQ(channel()->failure_reason, CHANNEL_FAIL_STATS_RECORD);
    EXPECT_TRUE(logged("dov0: Failed to get completion record size   16 cr=0x00000030\n"));
}

TEST_F(RingCardTest, ReadBacksAndPageStatisticsAreFramedByTheirTerminators) {
    // A read-back that names no command fails the channel, its payload skipped with it.
    model_->inject("event", "word=0x008 record=[3,0x00C0FFEE,11,12]");
    ASSERT_TRUE(eventually([&] { return channel_failed(channel()); }));
    EXPECT_EQ(channel()->failure_reason, CHANNEL_FAIL_READBACK);
    EXPECT_TRUE(logged_part("names no command"));
    ASSERT_TRUE(model_->wait_idle());
    EXPECT_TRUE(eventually([&] { return cq_rings_empty(channel()); }));
}

// The card counts the words the host has not acknowledged, and stops writing a ring that has
// no room: a record's words, consumed with its first word, are acknowledged with it.
TEST_F(RingCardTest, EveryWordOfAConsumedRecordIsAcknowledged) {
    auto unacknowledged = [&] { return model_->peek(0x4000 + 0x5C); };  // ring 0's pending words
    // Page-statistics records (four words and a terminator on this card) for no request in
    // flight: read and passed over.
    for (int i = 0; i < 3; i++) {
        model_->inject("event", "word=0x30 record=[0,0,0,0]");
    }
    ASSERT_TRUE(model_->wait_idle());
    ASSERT_TRUE(eventually([&] { return cq_rings_empty(channel()); }, 5000));
    EXPECT_TRUE(eventually([&] { return unacknowledged() == 0; }, 2000))
        << unacknowledged() << " words of ring 0 not acknowledged";
    EXPECT_FALSE(channel_failed(channel()));
    EXPECT_EQ(model_->completion_log(0).size(), 3u * 6);
    EXPECT_TRUE(model_->protocol_faults().empty());
}

// The channel's stop leaves the card silent: every event masked, every ring's interrupts held
// and a last re-trigger for words a poll should still see; its free stops the three DMA engines
// and the rings' writes before their memory goes. An engine that never reports its stop does
// not hold the free up.
class ChannelStopTest : public CardChannelTest, public ::testing::WithParamInterface<bool> {
  protected:
    static ULONG window(ULONG q, ULONG reg) { return BAR_CQ_WINDOWS + q * CQ_WINDOW_BYTES + reg; }
};

TEST_P(ChannelStopTest, TheStopSilencesTheCardAndTheFreeStopsItsEngines) {
    const bool stuck = GetParam();
    const ULONG rings = channel()->cq_count;
    const ULONG engines[] = {REG_ENGINE_A, REG_ENGINE_RING, REG_ENGINE_B};
    for (ULONG reg : engines) {
        EXPECT_EQ(model_->peek(reg), 0xF903u) << reg;
    }
    for (ULONG q = 0; q < rings; q++) {
        EXPECT_EQ(model_->peek(window(q, CQW_HOLD)), 0u) << q;
        EXPECT_EQ(model_->peek(window(q, CQW_WRITE_ENABLE)), 1u) << q;
    }
    if (stuck) {
        model_->inject("engine_stuck", "engine=0x104 bits=0x600 times=always");
    }
    const uint64_t retriggers = model_->counters().retriggers;
    channel_pipeline_stop(&card_);
    EXPECT_EQ(model_->peek(BAR_NAND + NAND_INTR_MASK), 0xFFFFFFFFu);
    EXPECT_EQ(model_->peek(BAR_NAND + NAND_INTR_MASK2), 0xFFFFFFFFu);
    for (ULONG q = 0; q < rings; q++) {
        EXPECT_EQ(model_->peek(window(q, CQW_HOLD)), 1u) << q;
    }
    EXPECT_EQ(model_->counters().retriggers, retriggers + rings);

    {
        bounded_thread free("channel free", [this] { channel_pipeline_free(&card_); });
        EXPECT_TRUE(free.finished_within(5000));
    }
    EXPECT_EQ(card_.nand, nullptr);
    for (ULONG reg : engines) {
        EXPECT_EQ(model_->peek(reg), 0u) << reg;
    }
    for (ULONG q = 0; q < rings; q++) {
        EXPECT_EQ(model_->peek(window(q, CQW_HOLD)), 1u) << q;
        EXPECT_EQ(model_->peek(window(q, CQW_WRITE_ENABLE)), 0u) << q;
    }
    model_->clear("engine_stuck");
}

INSTANTIATE_TEST_SUITE_P(Engines, ChannelStopTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "one_stuck" : "all_answer"; });

TEST_F(RingCardTest, TheChannelsKinfoShowsItsStatistics) {
    ASSERT_EQ(pav_driver_kinfo_init(), 0);
    ASSERT_EQ(nand_dev_kinfo_create(&card_), 0);
    for (ULONG i = 0; i < 3; i++) {
        ASSERT_NE(submit_erase(1), nullptr);
    }
    ASSERT_TRUE(eventually([&] { return completed() == 3; }));
    auto read = [](const char* name) {
        kinfo_query q{};
        std::strcpy(q.name, name);
        q.mode = KINFO_READ;
        EXPECT_EQ(kinfo_user_access(pav_driver_kinfo_root(), &q, nullptr), 0) << name;
        std::string text(q.size, '\0');
        q.mode = KINFO_READ;
        EXPECT_EQ(kinfo_user_access(pav_driver_kinfo_root(), &q, text.data()), 0) << name;
        return text.substr(0, text.find('\0'));
    };
    std::string stats = read("dov0.nand_dev.channels.0.stats");
    std::string erase_row = stats.substr(stats.find("\n1 ") + 1);
    erase_row = erase_row.substr(0, erase_row.find('\n'));
    EXPECT_EQ(erase_row.substr(0, 22), "1                    3") << stats;
    std::string interval = read("dov0.nand_dev.channels.0.interval-stats");
    EXPECT_NE(interval.find("\n1                    3 "), std::string::npos) << interval;
    interval = read("dov0.nand_dev.channels.0.interval-stats");
    EXPECT_EQ(interval.find("\n1                    3 "), std::string::npos) << interval;
    nand_dev_kinfo_remove(&card_);
    pav_driver_kinfo_exit();
}

int controller_refuses(nand_dev*) {
    return -KPAV_EIO;
}

TEST_F(RingCardTest, ReinitialisationRunsTheChannelOrFailsIt) {
    ASSERT_NE(submit_erase(6), nullptr);
    ASSERT_TRUE(eventually([&] { return completed() == 1; }));
    EXPECT_EQ(channel_reinit(channel()), 0);
    EXPECT_EQ(channel_state(channel()), CHANNEL_STATE_RUNNING);
    ASSERT_NE(submit_erase(6), nullptr);
    ASSERT_TRUE(eventually([&] { return completed() == 2; }));

    owner_.nand_controller_init = controller_refuses;
    EXPECT_EQ(channel_reinit(channel()), -KPAV_EIO);
    EXPECT_TRUE(channel_failed(channel()));
    EXPECT_EQ(channel()->failure_reason, CHANNEL_FAIL_REINIT);
    EXPECT_TRUE(logged_part("Failing channel (2048)."));
}

// ---------------------------------------------------------------------------------------------
// The controller reset at probe, on the card alone.

class HardwareResetTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        card_ = std::make_unique<sim::card::Card>(sim::card::CardConfig::small());
        card_->plug(0, 3, 0);
        PHYSICAL_ADDRESS physical;
        physical.QuadPart = (LONGLONG)card_->bar_address();
        bar_ = (volatile ULONG*)MmMapIoSpace(physical, sim::card::Card::bar_size, MmNonCached);
        probe_.bar = bar_;
        probe_.csr = bar_ + BAR_NAND / 4;
        probe_.cq_windows = bar_ + BAR_CQ_WINDOWS / 4;
        std::strcpy(probe_.name, "Velkor 0000:00:03.0");
    }
    void TearDown() override {
        MmUnmapIoSpace((PVOID)bar_, sim::card::Card::bar_size);
        card_->unplug();
        card_.reset();
        sim::kernel::set_clock_rate(1.0);
        KernelTest::TearDown();
    }
    std::unique_ptr<sim::card::Card> card_;
    volatile ULONG* bar_ = nullptr;
    card_probe probe_{};
};

TEST_F(HardwareResetTest, LostBusWhileWaitingForTheHardwareLock) {
    card_->inject("hw_lock", "never");
    // Reads of 0x2044, the version and the lock answer; the bus is gone at the next one.
    card_->inject("bus_lost", "after_reads=3");
    EXPECT_EQ(reset_hardware(&probe_, 4), 0);
    EXPECT_TRUE(logged("Velkor 0000:00:03.0: waiting for hardware lock...\n"));
    EXPECT_TRUE(logged_part("Detected lost bus enumeration while waiting for hardware lock."));
    EXPECT_FALSE(logged_part("hardware lock obtained"));
}

TEST_F(HardwareResetTest, TheLockHandshakeByFirmwareAndGrant) {
    struct lock_case {
        const char* name;
        const char* fault;  // hw_lock parameters, or nullptr
        int result;
        bool waits;
        bool obtained;
    };
    const lock_case cases[] = {
        {"granted at once", nullptr, 0, false, false},
        {"granted after busy reads", "busy=5", 0, true, true},
        {"never granted", "never", -KPAV_EBUSY, true, false},
    };
    sim::kernel::set_clock_rate(1000);  // the 5 s limit in 5 ms
    for (const lock_case& c : cases) {
        sim::kernel::clear_debug_lines();
        card_->clear_all();
        card_->mmio_write32(BAR_NAND + 4312, 0);  // the lock is free again
        if (c.fault != nullptr) {
            card_->inject("hw_lock", c.fault);
        }
        EXPECT_EQ(reset_hardware(&probe_, 4), c.result) << c.name;
        EXPECT_EQ(logged_part("waiting for hardware lock..."), c.waits) << c.name;
        EXPECT_EQ(logged_part("hardware lock obtained."), c.obtained) << c.name;
        EXPECT_EQ(logged_part("timed out waiting for hardware lock."), c.result != 0) << c.name;
    }
    // An incomplete reset is flushed first.
    sim::kernel::clear_debug_lines();
    card_->clear_all();
    card_->mmio_write32(BAR_NAND + 4312, 0);
    card_->inject("incomplete_reset");
    EXPECT_EQ(reset_hardware(&probe_, 4), 0);
    EXPECT_TRUE(logged("Velkor 0000:00:03.0: incomplete reset detected - flushing.\n"));
    EXPECT_EQ(card_->peek(BAR_NAND + 0x2044) & 1, 0u);
    // Every window was reset and left running without interrupts.
    for (ULONG q = 0; q < 4; q++) {
        EXPECT_EQ(card_->peek(BAR_CQ_WINDOWS + q * CQ_WINDOW_BYTES), 2u) << q;
    }
}

}  // namespace
