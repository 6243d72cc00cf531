// The metadata across a stop on the card model: a clean stop saves the forward map at the end of
// the log and the next start loads it back without a rescan; a power cut leaves the log to be
// rescanned (directly, through the reverse map or through the reverse sort), and every
// acknowledged write reads back.
#include <atomic>
#include <chrono>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "driver/block/md_load.h"
#include "driver/log/log_entry.h"
#include "driver/pipeline/pipeline.h"
#include "driver/platform/errno_table.h"
#include "tests/driver/block/data_device_fixture.h"

namespace {

class MetadataLoadTest : public DataDeviceTest {
  protected:
    // Small erase blocks, so that a test fills every LEB of the card.
    ULONG rows() const override { return 32; }
    ULONG64 sectors() const override { return 1ull << 16; }

    // The sectors the test wrote last, by sector: the seed of their pattern (0: trimmed).
    std::map<ULONG64, UCHAR> expected_;

    // A line of the log that contains `text`.
    static bool seen(const std::string& text) {
        for (const auto& line : log()) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }

    void put(ULONG64 start, ULONG64 count, UCHAR seed) {
        ASSERT_EQ(write(start, pattern(start, count, seed)), 0);
        for (ULONG64 s = 0; s < count; s++) expected_[start + s] = seed;
    }
    void trim(ULONG64 start, ULONG64 count) {
        ASSERT_EQ(discard(start, count), 0);
        for (ULONG64 s = 0; s < count; s++) expected_[start + s] = 0;
    }
    // A workload over many LEBs: runs of several sizes, overwrites and trims.
    void workload(UCHAR rounds) {
        std::mt19937 rng(7);
        for (UCHAR round = 1; round <= rounds; round++) {
            for (int i = 0; i < 40; i++) {
                ULONG64 count = 1 + rng() % 200;
                ULONG64 start = rng() % (sectors() - count);
                put(start, count, (UCHAR)(round * 40 + i + 1));
                if (HasFatalFailure()) return;
            }
            ULONG64 start = rng() % (sectors() - 64);
            trim(start, 1 + rng() % 64);
        }
    }
    // Every sector the test wrote reads back byte-exact; `trims_kept`: trimmed sectors read zeros.
    void expect_all() {
        std::vector<UCHAR> zeros(device_->sector_size, 0);
        for (auto [sector, seed] : expected_) {
            std::vector<UCHAR> out;
            ASSERT_EQ(read(sector, 1, &out), 0);
            if (seed == 0) {
                // A trimmed sector reads zeros or, where the trim did not reach the media, one
                // whole earlier write of its own.
                bool whole = out == zeros;
                for (int earlier = 0; earlier < 256 && !whole; earlier++) {
                    whole = out == pattern(sector, 1, (UCHAR)earlier);
                }
                EXPECT_TRUE(whole) << "trimmed sector " << sector << " reads " << (int)out[0] << " " << (int)out[1] << " " << (int)out[511];
                continue;
            }
            if (out != pattern(sector, 1, seed)) {
                int found = -1;
                for (int other = 0; other < 256 && found < 0; other++) {
                    if (out == pattern(sector, 1, (UCHAR)other)) found = other;
                }
                FAIL() << "sector " << sector << " expected seed " << (int)seed << " reads seed " << found << " bytes " << (int)out[0] << "," << (int)out[1] << "," << (int)out[100];
            }
        }
    }
    ULONG used_lebs() const {
        ULONG n = 0;
        for (const auto& l : lebs_) n += l.func.value != PAV_LEB_FUNC_ERASED ? 1 : 0;
        return n;
    }
    // A flush that waits until what was written is on the media.
    int durable_flush() {
        bio* barrier = take(BIO_FLUSH, 0, 0);
        InterlockedOr(&barrier->flags, BIO_FLUSH_JOIN);
        return submit_wait(barrier);
    }
    void cut_power() {
        if (model_->powered()) model_->inject("power_cut", "now");
        fail_channel(channel(), 0, CHANNEL_FAIL_WATCHDOG);
    }
};

TEST_F(MetadataLoadTest, ACleanStopLoadsTheSavedMapWithoutARescan) {
    workload(3);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(save_metadata(), 0);
    EXPECT_TRUE(seen("dov0: Writing metadata starting at EB"));
    restart_device();
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_NE(load_.attach_flags & MD_ATTACH_CLEAN, 0u);
    EXPECT_EQ(load_.rescanned, 0);
    EXPECT_TRUE(seen("dov0: Found metadata in EBs"));
    EXPECT_FALSE(seen("re-scanning log"));
    expect_all();

    // The loaded map takes writes, and a second clean cycle keeps both generations.
    put(100, 300, 201);
    trim(1000, 50);
    ASSERT_EQ(save_metadata(), 0);
    restart_device();
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(load_.rescanned, 0);
    expect_all();
}

TEST_F(MetadataLoadTest, AForcedRescanRebuildsEvenAfterACleanStop) {
    workload(2);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(save_metadata(), 0);
    load_flags_ = MD_LOAD_FORCE_RESCAN;
    restart_device();
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(load_.rescanned, 1);
    EXPECT_TRUE(logged("dov0: *** user requested a forced re-scan of log.     ***\n"));
    expect_all();
}

TEST_F(MetadataLoadTest, WithoutSavedMetadataARescanIsRefusedWhenAsked) {
    put(10, 20, 3);
    ASSERT_EQ(durable_flush(), 0);
    cut_power();
    stop_device();
    reboot();
    ASSERT_FALSE(HasFatalFailure());
    start_device(false);
    ASSERT_FALSE(HasFatalFailure());
    load_flags_ = MD_LOAD_NO_RESCAN;
    EXPECT_EQ(replay_log(), -KPAV_EAGAIN);
    EXPECT_FALSE(seen("re-scanning log"));
    load_flags_ = 0;
    EXPECT_EQ(replay_log(), 0);
    open_point();
}

// The rebuild by each collector after a power cut: every acknowledged write reads back.
class UncleanCycleTest : public MetadataLoadTest, public ::testing::WithParamInterface<int> {};

TEST_P(UncleanCycleTest, APowerCutRescansAndEveryAcknowledgedWriteReadsBack) {
    if (GetParam() == MD_REBUILD_RMAP) rmap_limit_mib_ = 3100;
    if (GetParam() == MD_REBUILD_RSORT) rsort_limit_mib_ = 64;
    workload(3);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(durable_flush(), 0);
    cut_power();
    restart_device();
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(load_.rescanned, 1);
    EXPECT_EQ(load_.rebuild_mode, GetParam());
    EXPECT_EQ(load_.attach_flags & MD_ATTACH_CLEAN, 0u);
    EXPECT_TRUE(logged("dov0: *** unclean shutdown detected, re-scanning log. ***\n"));
    EXPECT_TRUE(seen("dov0: Successfully reattached after unclean shutdown"));
    EXPECT_FALSE(seen("Found metadata"));
    expect_all();

    // After a clean stop that follows, the load is clean again.
    put(5000, 100, 250);
    ASSERT_EQ(save_metadata(), 0);
    restart_device();
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(load_.rescanned, 0);
    expect_all();
}

std::string collector_name(const ::testing::TestParamInfo<int>& info) {
    static const char* const names[] = {"Direct", "ReverseMap", "ReverseSort"};
    return names[info.param];
}

INSTANTIATE_TEST_SUITE_P(Collectors, UncleanCycleTest,
                         ::testing::Values((int)MD_REBUILD_DIRECT, (int)MD_REBUILD_RMAP, (int)MD_REBUILD_RSORT),
                         collector_name);

// A power cut while the metadata is being saved: the next start finds no end record, scans for
// the checkpoint note and rescans; nothing is lost.
class SaveCutTest : public MetadataLoadTest, public ::testing::WithParamInterface<int> {};

TEST_P(SaveCutTest, ACutInsideTheSaveFallsBackToARescan) {
    workload(3);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(durable_flush(), 0);
    model_->inject("power_cut", ("after_packets=" + std::to_string(GetParam())).c_str());
    std::atomic<bool> done{false};
    std::atomic<int> saved{1};
    std::thread saver([&] {
        saved = save_metadata();
        done = true;
    });
    for (int i = 0; i < 20000 && !done && model_->powered(); i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!done) {
        cut_power();
    }
    saver.join();
    if (model_->powered()) {
        // The whole save fitted before the cut.
        cut_power();
    }
    restart_device();
    ASSERT_FALSE(HasFatalFailure());
    expect_all();
}

INSTANTIATE_TEST_SUITE_P(CutAfterPackets, SaveCutTest, ::testing::Values(1, 2, 5, 20, 60, 200));

}  // namespace
