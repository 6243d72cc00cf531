#include "tests/driver/block/data_device_fixture.h"

#include <cstring>

#include "driver/block/md_load.h"
#include "driver/log/atomic_note.h"
#include "driver/log/log_entry.h"
#include "driver/log/log_file.h"
#include "driver/log/log_scan.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/sgl.h"
#include "driver/pipeline/request.h"

void DataDeviceTest::SetUp() {
    StoreMediaTest::SetUp();
    if (HasFatalFailure()) return;
    open_point();
    if (HasFatalFailure()) return;
    start_device(false);
}

void DataDeviceTest::TearDown() {
    stop_device();
    StoreMediaTest::TearDown();
}

void DataDeviceTest::start_device(bool replay) {
    mdt_ = {};
    mdt_.log = &log_;
    mdt_.sector_space = sectors();
    mdt_attach attach = {sectors(), log_.sector_size};
    ASSERT_EQ(mdt_init(&mdt_, &attach), 0);
    ASSERT_EQ(lrbtree_reset(mdt_.map), 0);
    ASSERT_EQ(kpav_bio_init(nullptr), 0);
    ASSERT_EQ(bdev_alloc(&device_), 0);
    std::strcpy(device_->name, "dov0");
    device_->sector_size = log_.sector_size;
    device_->sector_count = sectors();
    device_->channel = channel();
    device_->sgl_capacity = channel()->sgl_capacity;
    bdev_data_init(device_, &data_, &mdt_);
    kpav_state_change(&data_.run_state, BDEV_RUN_RUNNING, 0);
    mem_stats_init(&memory_);
    ASSERT_EQ(bio_pool_create(&pool_, nullptr, channel()->sgl_capacity, &memory_), 0);
    device_->pool = pool_;
    if (replay) {
        ASSERT_EQ(replay_log(), 0);
    }
}

void DataDeviceTest::stop_device() {
    if (pool_ != nullptr) bio_pool_destroy(&pool_, &memory_);
    bdev_free(&device_);
    kpav_bio_exit();
    mdt_exit(&mdt_);
}

void DataDeviceTest::restart_device() {
    stop_device();
    reboot();
    if (HasFatalFailure()) return;
    start_device(true);
    if (HasFatalFailure()) return;
    open_point();
    if (HasFatalFailure()) return;
    // The note that hides an atomic write the power cut short goes into the log for later scans.
    ASSERT_EQ(atomic_discard_note_write(&log_), 0);
}

int DataDeviceTest::replay_log() {
    if (log_.head_leb == PAV_NO_LEB) return 0;
    // What a reboot forgets: the LEBs' discard ranges come from the media alone.
    for (leb_record& record : lebs_) {
        record.discard_start = record.discard_end = record.discard_byte_start = record.discard_byte_end = 0;
    }
    load_ = {};
    load_.log = &log_;
    load_.mdt = &mdt_;
    load_.rmap_limit_mib = rmap_limit_mib_;
    load_.rsort_limit_mib = rsort_limit_mib_;
    return metadata_load(&load_, load_flags_);
}

int DataDeviceTest::save_metadata() {
    md_store store{};
    store.log = &log_;
    store.mdt = &mdt_;
    return datalog_write_metadata(&store);
}

bio* DataDeviceTest::take(ULONG command, ULONG64 start, ULONG64 count, void* buffer, bio* first) {
    bio* b = nullptr;
    EXPECT_EQ(try_take(command, start, count, buffer, first, &b), 0);
    return b;
}

int DataDeviceTest::try_take(ULONG command, ULONG64 start, ULONG64 count, void* buffer, bio* first, bio** out) {
    *out = nullptr;
    bio* b = nullptr;
    int rc = bio_alloc(pool_, device_, &b);
    if (rc != 0) return rc;
    b->command = command;
    b->base = start;
    b->count = count;
    if (buffer != nullptr) {
        rc = kpav_sgl_map_bytes(b->list, buffer, (ULONG)(count * device_->sector_size));
        if (rc != 0) {
            bio_free_chain(b);
            return rc;
        }
    }
    if (first != nullptr) bio_chain_append(first, b);
    *out = b;
    return 0;
}

int DataDeviceTest::submit_wait(bio* first) {
    if (first == nullptr) return -KPAV_ENOMEM;  // not taken (the failure is reported)
    InterlockedOr(&first->flags, BIO_SYNC);
    int rc = bdev_submit_bio(first);
    if (rc == -28 || rc == -16) {
        // Returned for a retry: the chain was not completed.
        bio_free_chain(first);
        return rc;
    }
    int status = bio_wait(first);
    bio_free_chain(first);
    return status;
}

int DataDeviceTest::write(ULONG64 start, const std::vector<UCHAR>& data) {
    dma_visible dma(data);
    return submit_wait(take(BIO_WRITE, start, data.size() / device_->sector_size, (void*)data.data()));
}

int DataDeviceTest::read(ULONG64 start, ULONG64 count, std::vector<UCHAR>* out) {
    out->assign(count * device_->sector_size, 0xEE);
    dma_visible dma(*out);
    return submit_wait(take(BIO_READ, start, count, out->data()));
}

int DataDeviceTest::discard(ULONG64 start, ULONG64 count) {
    return submit_wait(take(BIO_DISCARD, start, count));
}

int DataDeviceTest::flush() {
    return submit_wait(take(BIO_FLUSH, 0, 0));
}

std::vector<UCHAR> DataDeviceTest::pattern(ULONG64 start, ULONG64 count, UCHAR seed) const {
    const ULONG size = device_->sector_size;
    std::vector<UCHAR> bytes(count * size);
    for (ULONG64 s = 0; s < count; s++) {
        for (ULONG i = 0; i < size; i++) {
            bytes[s * size + i] = (UCHAR)((start + s) * 131 + i * 7 + (i >> 8) + seed * 59);
        }
    }
    return bytes;
}
