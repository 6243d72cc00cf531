// Submission and completion of bio chains: what reaches the device's operations, the in-flight
// and completion counters with the interface's hooks, unknown commands, synchronous bios and
// callbacks, chains retargeted to another device, and the timing of completions.
#include <atomic>
#include <string>
#include <thread>

#include "driver/block/bio.h"
#include "driver/block/devstats.h"
#include "driver/platform/time.h"
#include "sim/kernel/control.h"
#include "tests/driver/block/bio_fixture.h"

using namespace sim::kernel;

namespace {

class BioSubmitTest : public BioTest {
  protected:
    bool logged_containing(const std::string& part) {
        for (const std::string& line : log()) {
            if (line.find(part) != std::string::npos) return true;
        }
        return false;
    }
    size_t lines_containing(const std::string& part) {
        size_t n = 0;
        for (const std::string& line : log()) n += line.find(part) != std::string::npos;
        return n;
    }
};

TEST_F(BioSubmitTest, ChainsOfNoSectorsEndAtOnceExceptFlushes) {
    struct row {
        ULONG command;
        const char* operation;  // reached with 0 sectors, or nullptr
    } rows[] = {{BIO_READ, nullptr}, {BIO_WRITE, nullptr}, {BIO_DISCARD, nullptr}, {BIO_FLUSH, "flush"}};
    for (const row& r : rows) {
        recorder().calls.clear();
        bio* first = take(r.command, 10, 0);
        take(r.command, 20, 0, first);
        EXPECT_EQ(bdev_submit_bio(first), 0);
        if (r.operation == nullptr) {
            EXPECT_EQ(recorder().count("read") + recorder().count("write"), 0u) << r.command;
            EXPECT_EQ(in_use(), 0u) << "ended and returned, command " << r.command;
        } else {
            EXPECT_EQ(recorder().count(r.operation), 1u);
            bio_endio(first, 0);
        }
        EXPECT_EQ(device_->reads_in_flight + device_->writes_in_flight + device_->discards_in_flight, 0u);
    }
}

TEST_F(BioSubmitTest, ReadsAreCountedInFlightAndAtCompletion) {
    set_current_processor(2);
    bio* first = take(BIO_READ, 100, 8);
    take(BIO_READ, 108, 8, first);
    first->read_mappings = 3;
    ASSERT_EQ(bdev_submit_bio(first), 0);
    EXPECT_EQ(recorder().count("read"), 1u);
    EXPECT_EQ(recorder().count("io 0 1"), 1u);
    EXPECT_EQ(device_->reads_in_flight, 1u);
    EXPECT_NE(first->flags & BIO_IN_FLIGHT, 0);

    bio_endio(first, 0);
    EXPECT_EQ(device_->reads_in_flight, 0u);
    EXPECT_EQ(device_->read_bytes, 16u * 512);
    EXPECT_EQ(device_->read_mappings, 3u);
    EXPECT_EQ(device_->per_cpu[BDEV_CPU_READS][2], 1u);
    EXPECT_EQ(recorder().count("io 0 0"), 1u);
    EXPECT_EQ(recorder().count("done 0 8192"), 1u);
    EXPECT_EQ(in_use(), 0u);

    // A failed read counts its completion and no bytes.
    recorder().calls.clear();
    bio* failing = take(BIO_READ, 0, 4);
    ASSERT_EQ(bdev_submit_bio(failing), 0);
    bio_endio(failing, -5);
    EXPECT_EQ(device_->read_bytes, 16u * 512);
    EXPECT_EQ(device_->per_cpu[BDEV_CPU_READS][2], 2u);
    EXPECT_EQ(recorder().count("done 0 0"), 1u);
}

// A chain handed back with a retry status is not in flight: submitted again it is counted once,
// and a submitter that ends it instead leaves no count behind.
TEST_F(BioSubmitTest, AChainHandedBackForARetryIsCountedOnce) {
    auto in_flight = [this] {
        return device_->reads_in_flight + device_->writes_in_flight + device_->write_sectors_in_flight +
               device_->discards_in_flight;
    };
    for (int status : {-28, -16}) {
        bio* read = take(BIO_READ, 0, 4);
        recorder().submit_result = status;
        ASSERT_EQ(bdev_submit_bio(read), status);
        EXPECT_EQ(in_flight(), 0u);
        recorder().submit_result = 0;
        ASSERT_EQ(bdev_submit_bio(read), 0);
        EXPECT_EQ(device_->reads_in_flight, 1u);
        bio_endio(read, 0);
        EXPECT_EQ(in_flight(), 0u);

        bio* first = take(BIO_WRITE, 0, 8);
        take(BIO_DISCARD, 8, 100, first);
        recorder().submit_result = status;
        ASSERT_EQ(bdev_submit_bio(first), status);
        recorder().submit_result = 0;
        ASSERT_EQ(bdev_submit_bio(first), 0);
        EXPECT_EQ(device_->writes_in_flight, 1u);
        EXPECT_EQ(device_->write_sectors_in_flight, 8u);
        EXPECT_EQ(device_->discards_in_flight, 1u);
        bio_endio(first, 0);
        EXPECT_EQ(in_flight(), 0u);

        first = take(BIO_WRITE, 0, 8);
        recorder().submit_result = status;
        ASSERT_EQ(bdev_submit_bio(first), status);
        bio_end_handed_back(device_, first, status);
        EXPECT_EQ(in_flight(), 0u);
    }
    recorder().submit_result = 0;
    EXPECT_EQ(in_use(), 0u);
}

TEST_F(BioSubmitTest, WritesAndDiscardsOfOneChainAreCountedApart) {
    set_current_processor(1);
    bio* first = take(BIO_WRITE, 0, 8);
    take(BIO_DISCARD, 8, 100, first);
    take(BIO_WRITE, 108, 4, first);
    ASSERT_EQ(bdev_submit_bio(first), 0);
    EXPECT_EQ(recorder().count("write"), 1u);
    EXPECT_EQ(device_->writes_in_flight, 2u);
    EXPECT_EQ(device_->write_sectors_in_flight, 12u);
    EXPECT_EQ(device_->discards_in_flight, 1u);
    EXPECT_EQ(recorder().count("io 1 3"), 1u);

    bio_endio(first, 0);
    EXPECT_EQ(device_->writes_in_flight, 0u);
    EXPECT_EQ(device_->write_sectors_in_flight, 0u);
    EXPECT_EQ(device_->discards_in_flight, 0u);
    EXPECT_EQ(device_->write_bytes, 12u * 512);
    EXPECT_EQ(device_->discards_completed, 1u);
    EXPECT_EQ(device_->discard_sectors, 100u);
    EXPECT_EQ(device_->per_cpu[BDEV_CPU_WRITES][1], 2u);
    EXPECT_EQ(recorder().count("done 1 6144"), 1u);

    // A chain of discards alone calls no completion hook.
    recorder().calls.clear();
    bio* discard = take(BIO_DISCARD, 0, 64);
    ASSERT_EQ(bdev_submit_bio(discard), 0);
    bio_endio(discard, 0);
    EXPECT_EQ(recorder().count("done 1 0"), 0u);
    EXPECT_EQ(device_->discards_completed, 2u);
}

TEST_F(BioSubmitTest, AnUnknownCommandIsLoggedDumpedAndEndedWithMinus22) {
    bio* first = take(7, 5, 1);
    take(7, 6, 2, first);
    clear_debug_lines();
    EXPECT_EQ(bdev_submit_bio(first), -22);
    EXPECT_TRUE(logged_containing("dov0: 18462 Unknown bio"));
    EXPECT_EQ(lines_containing("18464 bio "), 2u);
    EXPECT_TRUE(logged_containing("bio 0 - cmd: 7, flags: 0x40, cpu: 0, base: 5, length: 1"));
    EXPECT_TRUE(logged_containing("bio 1 - cmd: 7, flags: 0x0, cpu: 0, base: 6, length: 2"));
    // The completion adds nothing for -22: the submission reported it.
    EXPECT_FALSE(logged_containing("Unknown bio type"));
    EXPECT_EQ(in_use(), 0u);
}

TEST_F(BioSubmitTest, ASynchronousBioIsWokenAndLeftToItsSubmitter) {
    bio* b = take(BIO_WRITE, 0, 8);
    b->flags = b->flags | BIO_SYNC;
    ASSERT_EQ(bdev_submit_bio(b), 0);
    std::atomic<int> status{1};
    bounded_thread waiter("bio_wait", [&] { status = bio_wait(b); });
    bio_endio(b, -28);
    waiter.join();
    EXPECT_EQ(status.load(), -28);
    EXPECT_NE(b->flags & BIO_DONE, 0);
    EXPECT_EQ(in_use(), 1u);
    bio_free_chain(b);
    EXPECT_EQ(in_use(), 0u);
}

struct callback_seen {
    ULONG64 bytes = 0;
    int status = 1;
    int calls = 0;
};

void note_callback(bio* first, ULONG64 bytes, int status) {
    auto* seen = (callback_seen*)first->callback_context;
    seen->bytes = bytes;
    seen->status = status;
    seen->calls++;
}

TEST_F(BioSubmitTest, ACallbackSeesTheChainsBytesAndMayTakeTheChainOver) {
    callback_seen seen;
    bio* first = take(BIO_READ, 0, 3);
    take(BIO_READ, 3, 5, first);
    first->callback = note_callback;
    first->callback_context = &seen;
    ASSERT_EQ(bdev_submit_bio(first), 0);
    bio_endio(first, 0);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.bytes, 8u * 512);
    EXPECT_EQ(in_use(), 0u);

    callback_seen kept;
    bio* owned = take(BIO_READ, 0, 1);
    owned->callback = note_callback;
    owned->callback_context = &kept;
    owned->flags = owned->flags | BIO_CALLBACK_OWNS;
    ASSERT_EQ(bdev_submit_bio(owned), 0);
    bio_endio(owned, -5);
    EXPECT_EQ(kept.status, -5);
    EXPECT_EQ(in_use(), 1u);
    bio_free_chain(owned);
}

TEST_F(BioSubmitTest, ARetargetedChainIsAccountedOnBothDevices) {
    bdev* partition = nullptr;
    ASSERT_EQ(bdev_alloc(&partition), 0);
    std::strcpy(partition->name, "dov0p1");
    partition->sector_size = 512;
    bio* b = take(BIO_WRITE, 0, 4);
    b->origin = partition;
    // The partition counted it in flight when it passed it on.
    partition->writes_in_flight = 1;
    partition->write_sectors_in_flight = 4;
    ASSERT_EQ(bdev_submit_bio(b), 0);
    bio_endio(b, 0);
    EXPECT_EQ(device_->write_bytes, 2048u);
    EXPECT_EQ(partition->write_bytes, 2048u);
    EXPECT_EQ(partition->writes_in_flight, 0u);
    bdev_free(&partition);
}

TEST_F(BioSubmitTest, ADeviceWithoutTheOperationEndsTheChain) {
    const bdev_ops no_data_path = {};
    device_->ops = &no_data_path;
    bio* b = take(BIO_WRITE, 0, 8);
    EXPECT_EQ(bdev_submit_bio(b), -95);
    EXPECT_EQ(device_->writes_in_flight, 0u);
    EXPECT_EQ(in_use(), 0u);
}

class BioTimingTest : public BioSubmitTest {
  protected:
    void SetUp() override {
        BioSubmitTest::SetUp();
        // Durations follow the machine clock alone from here on.
        set_clock_rate(0);
        device_->stats->enabled = 1;
    }
    // A chain of `command` that takes `us` microseconds of machine time.
    void run(ULONG command, ULONG64 us, int status = 0) {
        bio* b = take(command, 0, 8);
        b->start_us = kpav_get_usecs();
        b->start_tsc = kpav_read_tsc();
        ASSERT_EQ(bdev_submit_bio(b), 0);
        advance_clock(us * 10);
        bio_endio(b, status);
    }
};

TEST_F(BioTimingTest, CompletionsRecordTheirDurationsAndReportHighOnes) {
    ULONG64 per_us = device_->stats->ticks_per_usec;
    ASSERT_GT(per_us, 0u);
    device_->stats->io[DEVSTATS_READ].threshold_ticks = 300 * 10;  // the counter runs at 10 MHz
    device_->stats->io[DEVSTATS_WRITE].threshold_ticks = 300 * 10;
    device_->stats->io[DEVSTATS_DCARD].threshold_ticks = 300 * 10;
    clear_debug_lines();
    run(BIO_READ, 100);
    EXPECT_FALSE(logged_containing("high durations"));
    run(BIO_READ, 400);
    EXPECT_TRUE(logged("dov0: We have now had 1 reads with high durations\n"));
    run(BIO_READ, 500);
    EXPECT_TRUE(logged("dov0: We have now had 2 reads with high durations\n"));
    run(BIO_WRITE, 1000);
    EXPECT_TRUE(logged("dov0: We have now had 1 writes with high durations\n"));
    run(BIO_DISCARD, 1000);
    EXPECT_TRUE(logged("dov0: We have now had 1 discards with high durations\n"));

    const devstats_io& reads = device_->stats->io[DEVSTATS_READ];
    EXPECT_EQ(reads.completions, 3u);
    EXPECT_EQ(reads.total_ticks, 1000u * 10);
    EXPECT_EQ(reads.max_ticks, 500u * 10);
    EXPECT_EQ(reads.total_bytes, 3u * 4096);
    // A failed read counts as an error, not as a duration.
    run(BIO_READ, 100, -5);
    EXPECT_EQ(reads.errors, 1u);
    EXPECT_EQ(reads.total_ticks, 1000u * 10);
}

TEST_F(BioTimingTest, DisabledStatisticsMeasureNothing) {
    device_->stats->enabled = 0;
    run(BIO_READ, 100);
    EXPECT_EQ(device_->stats->io[DEVSTATS_READ].completions, 0u);
    EXPECT_EQ(device_->read_bytes, 4096u);
}

TEST_F(BioTimingTest, TheCompletionHookGetsTheElapsedMicroseconds) {
    struct seen_t {
        ULONG64 us = 0;
    };
    static seen_t seen;
    static const kpav_block_ops timing_ops = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                              [](bdev*, int, ULONG64, ULONG64 us) { seen.us = us; }, nullptr,
                                              nullptr};
    kpav_block_interface entry = {KPAV_BLOCK_WINDOWS_DISK, &timing_ops};
    device_->iface = &entry;
    // Two whole clock ticks of the coarse time.
    run(BIO_READ, 2 * time_increment / 10);
    EXPECT_EQ(seen.us, 2u * time_increment / 10);
}

}  // namespace
