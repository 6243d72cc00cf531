// The data block device without its data path: read-only mode and its messages, feature ids,
// run states, open counts, and the block device-control requests over a real forward map.
#include <sys/mman.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/block/bdev_data.h"
#include "driver/block/bio.h"
#include "driver/block/mdt.h"
#include "driver/platform/kinfo.h"
#include "driver/platform/version.h"
#include "sim/kernel/control.h"
#include "tests/driver/block/block_test_support.h"
#include "tests/driver/log/log_fixture.h"

using namespace sim::kernel;

namespace {

constexpr ULONG64 kSectors = 1ull << 20;

class BdevDataTest : public MetadataTest {
  protected:
    void SetUp() override {
        MetadataTest::SetUp();
        t_ = std::make_unique<test_log>(64, 1000);
        mdt_.log = &t_->log;
        mdt_.sector_space = kSectors;
        mdt_attach attach = {kSectors, 512};
        ASSERT_EQ(mdt_init(&mdt_, &attach), 0);
        ASSERT_EQ(lrbtree_reset(mdt_.map), 0);
        ASSERT_EQ(bdev_alloc(&device_), 0);
        std::strcpy(device_->name, "dov0");
        device_->sector_size = 512;
        device_->sector_count = kSectors;
        bdev_data_init(device_, &data_, &mdt_);
    }
    void TearDown() override {
        bdev_free(&device_);
        mdt_exit(&mdt_);
        t_.reset();
        MetadataTest::TearDown();
    }
    // Maps [key, key + count) to packets of LEB `leb` from `offset`.
    void write(ULONG64 key, ULONG count, USHORT leb, ULONG offset) {
        ASSERT_EQ(mdt_map_range(&mdt_, key, count, leb, offset), 0);
    }
    void* bad_pointer() { return bad_page_.get(); }

    std::unique_ptr<test_log> t_;
    mdt_context mdt_{};
    bdev* device_ = nullptr;
    bdev_data data_{};
    faulting_page bad_page_;
};

TEST_F(BdevDataTest, ReadOnlyModeIsEnteredAndLeftWithItsMessages) {
    data_.levels[BDEV_RO_THERMAL] = 2;
    bdev_update_read_only(device_);
    EXPECT_EQ(bdev_write_mode(device_), BDEV_WRITE_READ_ONLY);
    EXPECT_EQ(data_.mode_reason, (ULONG)BDEV_RO_THERMAL);
    EXPECT_TRUE(logged("WARNING: Entering read-only mode (thermal).\n"));
    // Another reason at the same level: the first index that holds it.
    data_.levels[5] = 2;
    clear_debug_lines();
    bdev_update_read_only(device_);
    EXPECT_EQ(data_.mode_reason, 5u);
    EXPECT_TRUE(log().empty());

    EXPECT_EQ(bdev_clear_read_only(device_), 0);
    EXPECT_EQ(bdev_write_mode(device_), BDEV_WRITE_NORMAL);
    EXPECT_TRUE(logged("dov0: Exiting read-only mode.\n"));
    clear_debug_lines();
    EXPECT_EQ(bdev_clear_read_only(device_), 0);
    EXPECT_TRUE(log().empty());
    EXPECT_EQ(bdev_clear_read_only(nullptr), -19);

    // A reduced level alone: reduced writes, no message.
    data_.levels[BDEV_RO_USER] = 1;
    bdev_update_read_only(device_);
    EXPECT_EQ(bdev_write_mode(device_), BDEV_WRITE_REDUCED);
    EXPECT_TRUE(log().empty());
}

TEST_F(BdevDataTest, FeatureIdsAnswerAsTheirTableSays) {
    struct row {
        ULONG64 first, second;
        int plain, atomic;
    } rows[] = {
        {0xDF4EA978DA161967ull, 0xAEE08B0548505780ull, 0, 0},
        {0x22424B06BF7D7E91ull, 0x115AD7217EF56EA2ull, 1, 1},
        {0xCC44FABB62A213E8ull, 0x3C7A85F91029B09Aull, 0, 1},
        {0xCC44FABB62A213E8ull, 0x3C7A85F91029B09Bull, 0, 0},
    };
    for (const row& r : rows) {
        ULONG64 id[2] = {r.first, r.second};
        data_.atomic_writes = 0;
        EXPECT_EQ(bdev_has_feature(device_, id), r.plain);
        data_.atomic_writes = 1;
        EXPECT_EQ(bdev_has_feature(device_, id), r.atomic);
    }
}

TEST_F(BdevDataTest, RunStatesMoveOnlyFromTheirPredecessor) {
    EXPECT_EQ(bdev_set_run_state(device_, 1), -25);
    EXPECT_EQ(data_.run_state.value, BDEV_RUN_RUNNING);
    clear_debug_lines();
    EXPECT_EQ(bdev_set_run_state(device_, 1), -25);
    EXPECT_TRUE(logged("dov0: Unable to set block device state to running. (original state 3)\n"));
    EXPECT_EQ(bdev_set_run_state(device_, 2), -25);
    EXPECT_EQ(data_.run_state.value, BDEV_RUN_QUIESCING);
    EXPECT_EQ(bdev_set_run_state(device_, 2), -25);
    EXPECT_TRUE(logged("dov0: Unable to set block device state to quiescing. (original state 4)\n"));
    kpav_state_change(&data_.run_state, BDEV_RUN_TORN_DOWN, 0);
    clear_debug_lines();
    EXPECT_EQ(bdev_set_run_state(device_, 2), -25);
    EXPECT_EQ(bdev_set_run_state(device_, 7), -25);
    EXPECT_TRUE(log().empty());
}

TEST_F(BdevDataTest, OpensAndReleasesAreCounted) {
    EXPECT_EQ(device_->ops->open(device_), 0);
    EXPECT_EQ(device_->ops->open(device_), 0);
    EXPECT_EQ(device_->ops->release(device_), 0);
    EXPECT_EQ(data_.open_count, 1);
}

TEST_F(BdevDataTest, SizeVersionAndUnknownRequests) {
    bdev_size_record size;
    std::memset(&size, 0xEE, sizeof size);
    ASSERT_EQ(bdev_ioctl(device_, BDEV_IOC_SIZE, &size), 0);
    EXPECT_EQ(size.bytes, kSectors * 512);
    EXPECT_EQ(size.sector_size, 512u);
    EXPECT_EQ(size.zero, 0u);
    char version[1024];
    std::memset(version, 0xEE, sizeof version);
    ASSERT_EQ(bdev_ioctl(device_, BDEV_IOC_VERSION, version), 0);
    EXPECT_STREQ(version, pav_version_string);
    EXPECT_EQ(std::string(version).rfind("4.2.2.1144 ", 0), 0u);
    EXPECT_EQ(bdev_ioctl(device_, BDEV_IOC_118, version), -95);
    EXPECT_EQ(bdev_ioctl(device_, 0xC0006899, version), -25);
    EXPECT_EQ(bdev_ioctl(device_, BDEV_IOC_SIZE, bad_pointer()), -14);
    EXPECT_EQ(bdev_ioctl(device_, BDEV_IOC_MAPPED, bad_pointer()), -14);
    EXPECT_EQ(bdev_ioctl(device_, BDEV_IOC_EXTENTS, bad_pointer()), -14);
}

TEST_F(BdevDataTest, MappedSectorsOfARange) {
    write(1000, 64, 1, 0);
    write(1064, 36, 2, 0);
    bdev_mapped_record r = {1, 0, 0xEEEE, 990, 120};
    ASSERT_EQ(bdev_ioctl(device_, BDEV_IOC_MAPPED, &r), 0);
    EXPECT_EQ(r.mapped, 100u);
    struct bad {
        ULONG version;
        ULONG64 start, count;
    } refused[] = {{2, 0, 10}, {1, 0, 0}, {1, kSectors - 5, 6}, {1, 5, ~0ull - 2}, {1, kSectors + 1, 1}};
    for (const bad& b : refused) {
        bdev_mapped_record q = {b.version, 0, 0xEEEE, b.start, b.count};
        EXPECT_EQ(bdev_ioctl(device_, BDEV_IOC_MAPPED, &q), -22) << b.start << " " << b.count;
        EXPECT_EQ(q.mapped, 0xEEEEu);
    }
}

struct extent_request {
    bdev_extent_record record;
    bdev_extent more[BDEV_EXTENT_MAX - 1];
};

TEST_F(BdevDataTest, ExtentMapsAlternateRunsAndGapsAndContinueFromTheirCursor) {
    // [100, 110) mapped in two runs of different LEBs, [150, 160) mapped.
    write(100, 5, 1, 0);
    write(105, 5, 3, 0);
    write(150, 10, 4, 0);
    auto req = std::make_unique<extent_request>();
    bdev_extent_record& r = req->record;
    r.version = 1;
    r.maximum = 100;
    r.flags = BDEV_EXTENT_MAPPED | BDEV_EXTENT_UNMAPPED | BDEV_EXTENT_JOIN;
    r.cursor = 90;
    r.remaining = 80;
    ASSERT_EQ(bdev_ioctl(device_, BDEV_IOC_EXTENTS, &r), 0);
    ASSERT_EQ(r.found, 5u);
    bdev_extent* e = r.extents;
    const ULONG64 expected[5][3] = {{90, 10, 0}, {100, 10, 1}, {110, 40, 0}, {150, 10, 1}, {160, 10, 0}};
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(e[i].start, expected[i][0]) << i;
        EXPECT_EQ(e[i].length, expected[i][1]) << i;
        EXPECT_EQ(e[i].mapped, expected[i][2]) << i;
    }
    EXPECT_EQ(r.cursor, 170u);
    EXPECT_EQ(r.remaining, 0u);

    // Without join, the two runs of [100, 110) are two extents; with room for two, the walk
    // stops and a second call goes on from the cursor.
    std::memset(req.get(), 0, sizeof *req);
    r.version = 1;
    r.maximum = 2;
    r.flags = BDEV_EXTENT_MAPPED;
    r.cursor = 0;
    r.remaining = 200;
    ASSERT_EQ(bdev_ioctl(device_, BDEV_IOC_EXTENTS, &r), 0);
    ASSERT_EQ(r.found, 2u);
    EXPECT_EQ(e[0].start, 100u);
    EXPECT_EQ(e[1].start, 105u);
    // The gap after them is passed over; the run that found no room is where it stopped.
    EXPECT_EQ(r.cursor, 150u);
    EXPECT_EQ(r.remaining, 50u);
    ASSERT_EQ(bdev_ioctl(device_, BDEV_IOC_EXTENTS, &r), 0);
    ASSERT_EQ(r.found, 1u);
    EXPECT_EQ(e[0].start, 150u);
    EXPECT_EQ(e[0].length, 10u);
    EXPECT_EQ(r.remaining, 0u);

    // A filter by key mask: only runs whose cursor matches.
    std::memset(req.get(), 0, sizeof *req);
    r.version = 1;
    r.maximum = 10;
    r.flags = BDEV_EXTENT_MAPPED;
    r.filter_mask = 0x3;
    r.filter_value = 0x1;
    r.cursor = 0;
    r.remaining = 200;
    ASSERT_EQ(bdev_ioctl(device_, BDEV_IOC_EXTENTS, &r), 0);
    ASSERT_EQ(r.found, 1u);
    EXPECT_EQ(e[0].start, 105u);
}

TEST_F(BdevDataTest, ExtentMapRefusalsAndTheCursorSetting) {
    auto req = std::make_unique<extent_request>();
    bdev_extent_record& r = req->record;
    struct row {
        ULONG version, maximum, flags;
        ULONG64 cursor, remaining;
    } refused[] = {
        {1, 0, 3, 0, 10},   {1, 101, 3, 0, 10},          {2, 10, 3, 0, 10},
        {1, 10, 4, 0, 10},  {1, 10, 3, kSectors, 1},     {1, 10, 3, 1, ~0ull},
    };
    for (const row& x : refused) {
        std::memset(req.get(), 0, sizeof *req);
        r.version = x.version;
        r.maximum = x.maximum;
        r.flags = x.flags;
        r.cursor = x.cursor;
        r.remaining = x.remaining;
        r.found = 77;
        EXPECT_EQ(bdev_ioctl(device_, BDEV_IOC_EXTENTS, &r), -22) << x.maximum << " " << x.flags;
        EXPECT_EQ(r.found, 77u);
    }
    // Setting the cursor copies back the record alone.
    std::memset(req.get(), 0, sizeof *req);
    r.version = 1;
    r.set_cursor = 1;
    r.start = 10;
    r.count = 20;
    req->more[0].start = 0xABCD;
    ASSERT_EQ(bdev_ioctl(device_, BDEV_IOC_EXTENTS, &r), 0);
    EXPECT_EQ(r.cursor, 10u);
    EXPECT_EQ(r.remaining, 20u);
    EXPECT_EQ(req->more[0].start, 0xABCDu);
    r.count = kSectors;
    EXPECT_EQ(bdev_ioctl(device_, BDEV_IOC_EXTENTS, &r), -22);
    // A walk that finds nothing wanted copies back the record with no extent.
    std::memset(req.get(), 0, sizeof *req);
    r.version = 1;
    r.maximum = 5;
    r.flags = BDEV_EXTENT_MAPPED;
    r.cursor = 0;
    r.remaining = 50;
    ASSERT_EQ(bdev_ioctl(device_, BDEV_IOC_EXTENTS, &r), 0);
    EXPECT_EQ(r.found, 0u);
    EXPECT_EQ(r.cursor, 50u);
}

// Write chains are checked before anything is built for them; the records need no pool here.
TEST_F(BdevDataTest, WriteChainsAreCheckedBeforeAnythingIsBuilt) {
    std::vector<bio> bios(300);
    auto chain = [&](size_t n, ULONG command, ULONG64 count, LONG flags) {
        for (size_t i = 0; i < n; i++) {
            bios[i] = bio{};
            bios[i].command = command;
            bios[i].count = count;
            bios[i].flags = flags;
            bios[i].next = i + 1 < n ? &bios[i + 1] : nullptr;
        }
        return &bios[0];
    };
    EXPECT_EQ(bdev_write_validate(device_, chain(256, BIO_WRITE, 8, 0)), 0);
    EXPECT_EQ(bdev_write_validate(device_, chain(257, BIO_WRITE, 8, 0)), -22);
    EXPECT_TRUE(logged("dov0: Bio chain count exceeds the max count (256) supported.\n"));
    EXPECT_EQ(bdev_write_validate(device_, chain(1, BIO_WRITE, 2048, 0)), 0);
    EXPECT_EQ(bdev_write_validate(device_, chain(1, BIO_WRITE, 2049, 0)), -22);
    EXPECT_TRUE(logged("dov0: Invalid request size: 2049\n"));
    data_.largest_write = 1024;
    EXPECT_EQ(bdev_write_validate(device_, chain(1, BIO_WRITE, 1025, 0)), -7);
    // A discard is no write: its length is not bounded here.
    EXPECT_EQ(bdev_write_validate(device_, chain(1, BIO_DISCARD, 1 << 20, 0)), 0);
    EXPECT_EQ(bdev_write_validate(device_, chain(2, BIO_READ, 8, 0)), -22);
    bio* mixed = chain(2, BIO_WRITE, 8, BIO_ATOMIC);
    bios[1].flags = 0;
    data_.atomic_writes = 1;
    EXPECT_EQ(bdev_write_validate(device_, mixed), -22);

    // Atomic chains the format does not support: one message per device, whichever comes first.
    clear_debug_lines();
    data_.atomic_writes = 0;
    EXPECT_EQ(bdev_write_validate(device_, chain(2, BIO_WRITE, 8, BIO_ATOMIC)), -22);
    EXPECT_EQ(bdev_write_validate(device_, chain(2, BIO_WRITE, 8, BIO_ATOMIC)), -22);
    EXPECT_EQ(log(), (std::vector<std::string>{
                         "dov0: Atomic write attempt on device not formatted with atomic write support.\n"}));
    data_.atomic_writes = 1;
    bio* with_discard = chain(2, BIO_WRITE, 8, BIO_ATOMIC);
    bios[1].command = BIO_DISCARD;
    EXPECT_EQ(bdev_write_validate(device_, with_discard), -22);
    EXPECT_EQ(log().size(), 1u);
    data_.persistent_trim = 1;
    EXPECT_EQ(bdev_write_validate(device_, with_discard), 0);
}

TEST_F(BdevDataTest, AnAtomicTrimRefusalIsLoggedWhenItComesFirst) {
    bio write{}, discard{};
    write.command = BIO_WRITE;
    write.count = 8;
    write.flags = BIO_ATOMIC;
    write.next = &discard;
    discard.command = BIO_DISCARD;
    discard.count = 8;
    discard.flags = BIO_ATOMIC;
    data_.atomic_writes = 1;
    EXPECT_EQ(bdev_write_validate(device_, &write), -22);
    EXPECT_TRUE(logged("dov0: Atomic trim attempt on device not formatted with persistent trim support.\n"));
}

}  // namespace
