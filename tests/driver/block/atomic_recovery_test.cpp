// An atomic write the power cuts short, on the card model: the restart's replay finds its packets
// still marked open at the end of the log, leaves them out and writes a note into the log, so
// that every later scan hides them too, also once they no longer end the log.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "driver/block/bdev_data.h"
#include "driver/log/atomic_note.h"
#include "driver/pipeline/pipeline.h"
#include "driver/platform/errno_table.h"
#include "tests/driver/block/data_device_fixture.h"

namespace {

class AtomicRecoveryTest : public DataDeviceTest {
  protected:
    int durable_flush() {
        bio* barrier = take(BIO_FLUSH, 0, 0);
        InterlockedOr(&barrier->flags, BIO_FLUSH_JOIN);
        return submit_wait(barrier);
    }
    // The power goes; the card restarts on its media and the log is replayed.
    void cut_and_restart() {
        if (model_->powered()) model_->inject("power_cut", "now");
        fail_channel(channel(), 0, CHANNEL_FAIL_WATCHDOG);
        restart_device();
        data_.atomic_writes = 1;
    }
    // Every sector reads back as `expected`, the first that does not named.
    void expect_whole(ULONG64 start, ULONG64 count, const std::vector<UCHAR>& expected) {
        std::vector<UCHAR> out;
        ASSERT_EQ(read(start, count, &out), 0);
        const ULONG size = device_->sector_size;
        for (ULONG64 s = 0; s < count; s++) {
            ASSERT_TRUE(std::equal(out.begin() + s * size, out.begin() + (s + 1) * size, expected.begin() + s * size))
                << "sector " << start + s;
        }
    }
};

TEST_F(AtomicRecoveryTest, ATornAtomicWriteIsHiddenEntirelyNowAndAtEveryLaterScan) {
    data_.atomic_writes = 1;
    const ULONG64 start = 1000, per_bio = 128, bios = 4, count = per_bio * bios;
    std::vector<UCHAR> old_data = pattern(start, count, 1);
    ASSERT_EQ(write(start, old_data), 0);
    ASSERT_EQ(durable_flush(), 0);

    std::vector<UCHAR> new_data = pattern(start, count, 2);
    dma_visible dma(new_data);
    bio* first = nullptr;
    for (ULONG64 i = 0; i < bios; i++) {
        bio* b = take(BIO_WRITE, start + i * per_bio, per_bio, new_data.data() + i * per_bio * device_->sector_size,
                      first);
        InterlockedOr(&b->flags, BIO_ATOMIC);
        if (first == nullptr) first = b;
    }
    model_->inject("power_cut", "after_packets=200");
    std::atomic<int> status{1};
    std::thread submitter([&] { status = submit_wait(first); });
    for (int i = 0; i < 10000 && model_->powered(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_FALSE(model_->powered());
    fail_channel(channel(), 0, CHANNEL_FAIL_WATCHDOG);
    submitter.join();
    EXPECT_NE(status.load(), 0);

    cut_and_restart();
    ASSERT_FALSE(HasFatalFailure());
    expect_whole(start, count, old_data);

    // More data after the torn packets, on the media; the power goes again. The torn write no
    // longer ends the log: only its note hides it now.
    std::vector<UCHAR> later = pattern(50000, 64, 3);
    ASSERT_EQ(write(50000, later), 0);
    ASSERT_EQ(durable_flush(), 0);
    cut_and_restart();
    ASSERT_FALSE(HasFatalFailure());
    expect_whole(start, count, old_data);
    expect_whole(50000, 64, later);
}

}  // namespace
