// Device statistics: what a completion records, the thresholds in microseconds over ticks, and
// the kinfo lines with their copy-and-clear reads; the memory counter pair's view.
#include <string>

#include "driver/block/devstats.h"
#include "driver/platform/kinfo.h"
#include "tests/driver/platform/kinfo_query.h"
#include "tests/support/kernel_fixture.h"

namespace {

class DevstatsTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        ASSERT_EQ(pav_driver_kinfo_init(), 0);
        ASSERT_EQ(kinfo_create_dir(nullptr, "dov0", &dir_), 0);
        kpav_spinlock_init(&lock_);
        ASSERT_EQ(devstats_alloc(&stats_, nullptr, &lock_), 0);
        ASSERT_EQ(devstats_kinfo_init(stats_, nullptr, dir_), 0);
    }
    void TearDown() override {
        devstats_free(&stats_);
        pav_driver_kinfo_exit();
        KernelTest::TearDown();
    }

    std::string read_text(const std::string& name) {
        kinfo_query q = make_query(name, 0, 0, 0);
        EXPECT_EQ(kinfo_user_access(nullptr, &q, nullptr), 0);
        std::string data(q.size, '\xAA');
        q = make_query(name, (ULONG)data.size(), KINFO_TEXT, KINFO_READ);
        EXPECT_EQ(kinfo_user_access(nullptr, &q, data.data()), 0);
        data.resize(q.size);
        return data;
    }
    ULONG64 read_u64(const std::string& name) {
        kinfo_query q = make_query(name, 8, KINFO_UINT64, KINFO_READ);
        EXPECT_EQ(kinfo_user_access(nullptr, &q, nullptr), 0);
        return q.value.uint64;
    }
    int write_u64(const std::string& name, ULONG64 value) {
        kinfo_query q = make_query(name, 8, KINFO_UINT64, KINFO_WRITE);
        q.value.uint64 = value;
        return kinfo_user_access(nullptr, &q, nullptr);
    }
    ULONG record(ULONG command, ULONG64 bytes, int status, ULONG64 ticks) {
        kpav_spin_lock(&lock_);
        ULONG high = devstats_record(stats_, command, bytes, status, ticks);
        kpav_spin_unlock(&lock_);
        return high;
    }

    kinfo_node* dir_ = nullptr;
    kpav_spinlock lock_;
    devstats* stats_ = nullptr;
};

const char* zero_line(const char* type) {
    static std::string line;
    char buffer[256];
    snprintf(buffer, sizeof buffer, "%-5s %6u %6u %20u %6u %20u %11u %11u %11u %11u %11u %6u %4u\n", type, 0, 0, 0,
             0, 0, 0, 0, 0, 0, 0, 0, 0);
    line = buffer;
    return line.c_str();
}

TEST_F(DevstatsTest, NothingIsCountedUntilEnabled) {
    EXPECT_EQ(record(1, 4096, 0, 100), 0u);
    EXPECT_EQ(read_text("dov0.devstats.io.read"), zero_line("read"));
    kinfo_query q = make_query("dov0.devstats.enabled", 4, KINFO_UINT32, KINFO_WRITE);
    q.value.uint32 = 1;
    ASSERT_EQ(kinfo_user_access(nullptr, &q, nullptr), 0);
    EXPECT_EQ(stats_->enabled, 1u);
    record(1, 4096, 0, 100);
    EXPECT_EQ(stats_->io[DEVSTATS_READ].completions, 1u);
}

TEST_F(DevstatsTest, ThresholdsAreGivenInMicrosecondsAndKeptInTicks) {
    stats_->ticks_per_usec = 2000;
    ASSERT_EQ(write_u64("dov0.devstats.write_high_duration_threshold", 500), 0);
    EXPECT_EQ(stats_->io[DEVSTATS_WRITE].threshold_ticks, 1000000u);
    EXPECT_EQ(read_u64("dov0.devstats.write_high_duration_threshold"), 500u);
    EXPECT_EQ(read_u64("dov0.devstats.read_high_duration_threshold"), 0u);

    stats_->enabled = 1;
    EXPECT_EQ(record(2, 512, 0, 1000000), 0u);
    EXPECT_EQ(record(2, 512, 0, 1000001), 1u);
    EXPECT_EQ(record(2, 512, 0, 3000000), 2u);
    // Only writes have the threshold; a discard as long counts as nothing high.
    EXPECT_EQ(record(3, 512, 0, 3000000), 0u);
}

TEST_F(DevstatsTest, CompletionsWithoutDurationOrWithErrorsAddNoBytes) {
    stats_->enabled = 1;
    record(1, 4096, 0, 0);
    record(1, 4096, -5, 10);
    const devstats_io& reads = stats_->io[DEVSTATS_READ];
    EXPECT_EQ(reads.completions, 2u);
    EXPECT_EQ(reads.bad_durations, 1u);
    EXPECT_EQ(reads.errors, 1u);
    EXPECT_EQ(reads.total_bytes, 0u);
    // A type with completions but no successes: no averages, no rates.
    EXPECT_EQ(read_text("dov0.devstats.io.read"),
              std::string("bad_duration_count 1\n") +
                  "read       0      1                    0      0                    0           0           0"
                  "           0           0           0      0    0\n");
}

TEST_F(DevstatsTest, ALineShowsTheCountsOnceAndThenStartsAgain) {
    stats_->ticks_per_usec = 10;
    stats_->io[DEVSTATS_READ].threshold_ticks = 5000;
    stats_->enabled = 1;
    // Three reads: 4 KiB in 100 us, 8 KiB in 300 us, 4 KiB in 600 us (one above 500 us).
    record(1, 4096, 0, 1000);
    record(1, 8192, 0, 3000);
    record(1, 4096, 0, 6000);
    // A size query measures without taking the counts.
    kinfo_query q = make_query("dov0.devstats.io.read", 0, 0, 0);
    ASSERT_EQ(kinfo_user_access(nullptr, &q, nullptr), 0);
    EXPECT_EQ(stats_->io[DEVSTATS_READ].completions, 3u);

    char expected[256];
    snprintf(expected, sizeof expected, "%-5s %6u %6u %20llu %6u %20llu %11llu %11llu %11llu %11llu %11llu %6llu %4llu\n",
             "read", 0, 0, 3ull, 1, 16384ull, 8192ull, 5461ull, 1000ull, 333ull, 600ull, 3000ull, 16ull);
    EXPECT_EQ(read_text("dov0.devstats.io.read"), expected);
    EXPECT_EQ(read_text("dov0.devstats.io.read"), zero_line("read"));
    // The threshold stays.
    EXPECT_EQ(stats_->io[DEVSTATS_READ].threshold_ticks, 5000u);
    EXPECT_EQ(read_text("dov0.devstats.io.0hdr"),
              "Type  Aborts Errors            Successes >HiDur            Tot-Bytes   Max-Bytes   Avg-Bytes "
              "Tot-Dur(us) Avg-Dur(us) Max-Dur(us)   IOPs MB/s\n");
}

TEST_F(DevstatsTest, CommandsFallIntoTheirTypes) {
    stats_->enabled = 1;
    const ULONG commands[] = {1, 2, 3, 4, 0, 9};
    for (ULONG command : commands) record(command, 512, 0, 10);
    EXPECT_EQ(stats_->io[DEVSTATS_READ].completions, 1u);
    EXPECT_EQ(stats_->io[DEVSTATS_WRITE].completions, 1u);
    EXPECT_EQ(stats_->io[DEVSTATS_DCARD].completions, 1u);
    EXPECT_EQ(stats_->io[DEVSTATS_OTHER].completions, 3u);
}

TEST_F(DevstatsTest, TheStatsTextTakesTheClientCounts) {
    stats_->ticks_per_usec = 7;
    stats_->client_counts[1] = 4;
    EXPECT_EQ(read_text("dov0.devstats.stats"),
              ".duration_per_us               7\n"
              ".client_defined_count[0]       0\n"
              ".client_defined_count[1]       4\n"
              ".client_defined_count[2]       0\n");
    EXPECT_EQ(stats_->client_counts[1], 0u);
}

TEST_F(DevstatsTest, TheCalibrationMeasuresTheCounter) {
    // The counter runs at 10 MHz of machine time.
    EXPECT_GE(kpav_tsc_per_usec(), 10u);
    EXPECT_EQ(kpav_tsc_per_usec(), stats_->ticks_per_usec);
}

TEST_F(DevstatsTest, AMemoryCounterPairIsShown) {
    mem_stats pair;
    mem_stats_init(&pair);
    mem_stats_add(&pair, 5000);
    mem_stats_sub(&pair, 1000);
    kinfo_node* mem = nullptr;
    ASSERT_EQ(mem_stats_kinfo_init(&pair, dir_, &mem), 0);
    EXPECT_EQ(read_text("dov0.mem_stats.alloced_bytes"), "4000\n");
    EXPECT_EQ(read_text("dov0.mem_stats.high_bytes"), "5000\n");
    EXPECT_EQ(read_text("dov0.mem_stats.all"), "alloced_bytes: 4000\nhigh_bytes:    5000\n");
    kinfo_remove(&mem);
}

}  // namespace
