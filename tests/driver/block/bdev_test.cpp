// Block-device life cycle: allocation and its failures, the exclusive claim, the run-state word,
// and exposure and hiding through the interface entry with the bio pool shut meanwhile.
#include <atomic>

#include "driver/block/bdev.h"
#include "driver/block/devstats.h"
#include "sim/kernel/control.h"
#include "tests/driver/block/bio_fixture.h"

using namespace sim::kernel;

namespace {

class BdevTest : public BioTest {};

TEST_F(BdevTest, AllocationGivesPerProcessorCountersAndStatistics) {
    bdev* d = nullptr;
    ASSERT_EQ(bdev_alloc(&d), 0);
    EXPECT_EQ(d->cpu_slots, config().max_processors);
    for (ULONG64* counters : d->per_cpu) {
        ASSERT_NE(counters, nullptr);
        for (ULONG i = 0; i < d->cpu_slots; i++) EXPECT_EQ(counters[i], 0u);
    }
    ASSERT_NE(d->stats, nullptr);
    EXPECT_EQ(d->stats->lock, &d->counter_lock);
    EXPECT_EQ(d->stats->enabled, 0u);
    bdev_free(&d);
    EXPECT_EQ(d, nullptr);
}

TEST_F(BdevTest, AnAllocationThatFailsAnywhereLeavesNothing) {
    // The record, four counter arrays, the statistics.
    for (uint64_t nth = 1; nth <= 6; nth++) {
        pool_usage before = pool_outstanding("mal4");
        fail_nth(fault_site::pool, nth, "mal4");
        bdev* d = nullptr;
        EXPECT_EQ(bdev_alloc(&d), -12) << "allocation " << nth;
        clear_faults();
        EXPECT_EQ(d, nullptr);
        EXPECT_EQ(pool_outstanding("mal4"), before) << "allocation " << nth;
    }
}

TEST_F(BdevTest, OnlyAnUnopenedUnclaimedDeviceIsClaimed) {
    device_->open_count = 1;
    EXPECT_EQ(bdev_claim(device_), 0);
    EXPECT_EQ(device_->holder, nullptr);
    EXPECT_EQ(device_->exclusive, 0);
    device_->open_count = 0;
    EXPECT_EQ(bdev_claim(device_), 1);
    EXPECT_STREQ(device_->holder, "bdev");
    EXPECT_EQ(device_->exclusive, 1);
    EXPECT_EQ(bdev_claim(device_), 0);
    bdev_unclaim(device_);
    EXPECT_EQ(device_->holder, nullptr);
    EXPECT_EQ(device_->claim_count, 0u);
    EXPECT_EQ(bdev_claim(device_), 1);
    bdev_unclaim(device_);
}

TEST_F(BdevTest, TheRunStateGivesItsPreviousValueAndWakesWhoWaitsForRunning) {
    kpav_state state;
    kpav_state_init(&state, 2);
    std::atomic<bool> running{false};
    bounded_thread waiter("wait running", [&] {
        bdev_state_wait_running(&state);
        running = true;
        kpav_spin_unlock(&state.lock);
    });
    EXPECT_EQ(bdev_state_set(&state, 3), 2u);
    EXPECT_EQ(bdev_state_set(&state, 3), 3u);
    EXPECT_FALSE(running.load());
    EXPECT_EQ(bdev_state_set(&state, 1), 3u);
    waiter.join();
    EXPECT_TRUE(running.load());
}

TEST_F(BdevTest, ExposingTwiceCallsTheInterfaceOnce) {
    std::strcpy(device_->name, "dov0");
    ASSERT_EQ(bdev_expose_disk(device_), 0);
    ASSERT_EQ(bdev_expose_disk(device_), 0);
    EXPECT_EQ(recorder().count("prepare"), 1u);
    EXPECT_EQ(recorder().count("expose"), 1u);
    EXPECT_STREQ(device_->exposed_name, "dov0");
    EXPECT_NE(device_->flags & BDEV_EXPOSED, 0);
}

TEST_F(BdevTest, AFailedExposureIsReportedAndReleased) {
    recorder().expose_result = -12;
    EXPECT_EQ(bdev_expose_disk(device_), -12);
    EXPECT_TRUE(logged("dov0: bdev_expose_disk for interface 1 failed (-12)\n"));
    EXPECT_EQ(recorder().count("release"), 1u);
    EXPECT_EQ(device_->flags & BDEV_EXPOSED, 0);
}

TEST_F(BdevTest, HidingShutsThePoolMeanwhileAndReopensIt) {
    // Not exposed: nothing to do, the pool untouched.
    EXPECT_EQ(bdev_hide_disk(device_, 0), 0);
    EXPECT_EQ(recorder().count("hide 0"), 0u);
    EXPECT_EQ(pool_->shutting_down, 0u);

    ASSERT_EQ(bdev_expose_disk(device_), 0);
    EXPECT_EQ(bdev_hide_disk(device_, BDEV_HIDE_GOING_AWAY | 0x1 | 0x10), 0);
    EXPECT_EQ(recorder().count("hide 5"), 1u);
    EXPECT_EQ(recorder().count("release"), 1u);
    EXPECT_EQ(device_->flags & BDEV_EXPOSED, 0);
    bio* b = take(BIO_READ, 0, 1);
    ASSERT_NE(b, nullptr);
    bio_free_chain(b);
}

TEST_F(BdevTest, AFailedHideLeavesTheDeviceHiddenAndItsPoolShut) {
    ASSERT_EQ(bdev_expose_disk(device_), 0);
    recorder().hide_result = -16;
    EXPECT_EQ(bdev_hide_disk(device_, 0), -16);
    EXPECT_FALSE(logged("dov0: Unable to stop block device (-16).\n"));
    EXPECT_EQ(device_->flags & BDEV_EXPOSED, 0);
    bio* b = nullptr;
    EXPECT_EQ(bio_alloc(pool_, device_, &b), -5);
    // A retry finds nothing to hide.
    EXPECT_EQ(bdev_hide_disk(device_, BDEV_HIDE_GOING_AWAY), 0);
    bio_pool_reopen(pool_);

    ASSERT_EQ(bdev_expose_disk(device_), 0);
    EXPECT_EQ(bdev_hide_disk(device_, BDEV_HIDE_GOING_AWAY), -16);
    EXPECT_TRUE(logged("dov0: Unable to stop block device (-16).\n"));
    bio_pool_reopen(pool_);
}

}  // namespace
