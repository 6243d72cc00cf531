// A partition's block device over a data device whose operations record what reaches them:
// creation, range and usage checks, the move onto the data device at the logical base, chains
// the data device hands back, open and release, and the block device-control requests of both
// device kinds over a real forward map.
#include <sys/mman.h>

#include <cstring>
#include <memory>
#include <vector>

#include "driver/block/bdev_data.h"
#include "driver/block/bdev_partition.h"
#include "driver/block/mdt.h"
#include "driver/block/vsu.h"
#include "driver/block/capabilities.h"
#include "driver/log/mblk.h"
#include "driver/platform/pci_dev.h"
#include "driver/platform/version.h"
#include "sim/kernel/control.h"
#include "tests/driver/block/block_test_support.h"
#include "tests/driver/block/bio_fixture.h"
#include "tests/driver/log/log_fixture.h"

using namespace sim::kernel;

namespace {

constexpr ULONG64 kSectors = 1ull << 20;
constexpr ULONG64 kBase = 1000;
constexpr ULONG64 kLength = 500;

// What the chains' callbacks saw.
struct ended {
    std::vector<int> statuses;
};
ended& endings() {
    static ended e;
    return e;
}
void note_end(bio*, ULONG64, int status) {
    endings().statuses.push_back(status);
}

class PartitionTest : public BioTest {
  protected:
    void SetUp() override {
        BioTest::SetUp();
        endings().statuses.clear();
        ASSERT_EQ(mblk_cache_init(), 0);
        log_ = std::make_unique<test_log>(64, 1000);
        mdt_.log = &log_->log;
        mdt_.sector_space = kSectors;
        mdt_attach attach = {kSectors, 512};
        ASSERT_EQ(mdt_init(&mdt_, &attach), 0);
        ASSERT_EQ(lrbtree_reset(mdt_.map), 0);
        // The data device: its own operations, but bios reach the recording ones.
        device_->sector_count = kSectors;
        bdev_data_init(device_, &data_, &mdt_);
        data_ops_ = bdev_data_ops;
        data_ops_.submit_read = recording_bdev_ops.submit_read;
        data_ops_.submit_write = recording_bdev_ops.submit_write;
        data_ops_.submit_flush = recording_bdev_ops.submit_flush;
        device_->ops = &data_ops_;

        std::strcpy(part_.name, "pav0vp3");
        part_.index = 3;
        part_.state = VSU_ONLINE;
        part_.sector_size = 512;
        part_.logical_base = kBase;
        part_.length = kLength;
        part_.phys_min = 100;
        part_.phys_max = 400;
        for (int i = 0; i < 16; i++) {
            part_.type[i] = (UCHAR)(0x10 + i);
            part_.identity[i] = (UCHAR)(0x40 + i);
        }
        part_.card_device = device_;
        ASSERT_EQ(partition_bdev_create(&part_), 0);
        pdev_ = part_.device;
    }
    void TearDown() override {
        bdev_free(&part_.device);
        mdt_exit(&mdt_);
        log_.reset();
        mblk_cache_exit();
        BioTest::TearDown();
    }

    // A chain of `command` bios of the partition, one per {base, count}.
    bio* chain(ULONG command, std::initializer_list<std::pair<ULONG64, ULONG64>> ranges, bdev* origin = nullptr) {
        bio* first = nullptr;
        for (auto& r : ranges) {
            bio* b = take(command, r.first, r.second, first, origin != nullptr ? origin : pdev_);
            if (first == nullptr) first = b;
        }
        first->target = pdev_;
        first->callback = note_end;
        for (bio* b = first; b != nullptr; b = b->next) b->target = pdev_;
        return first;
    }
    static ULONG64 in_flight(const bdev* d) {
        return d->reads_in_flight + d->writes_in_flight + d->write_sectors_in_flight + d->discards_in_flight;
    }
    // Maps [key, key + count) of the card to packets of LEB `leb`.
    void map(ULONG64 key, ULONG count, USHORT leb) { ASSERT_EQ(mdt_map_range(&mdt_, key, count, leb, 0), 0); }
    void* bad_pointer() { return bad_page_.get(); }

    std::unique_ptr<test_log> log_;
    bdev_ops data_ops_{};
    mdt_context mdt_{};
    bdev_data data_{};
    vsu part_{};
    bdev* pdev_ = nullptr;
    faulting_page bad_page_;
};

TEST_F(PartitionTest, CreationFillsTheDeviceFromThePartitionAndItsCard) {
    EXPECT_STREQ(pdev_->name, "pav0vp3");
    EXPECT_EQ(pdev_->owner, &part_);
    EXPECT_EQ(pdev_->underlying, device_);
    EXPECT_EQ(pdev_->pool, pool_);
    EXPECT_EQ(pdev_->channel, &channel_);
    EXPECT_EQ(pdev_->sector_count, kLength);
    EXPECT_EQ(pdev_->sector_size, 512u);
    EXPECT_EQ(pdev_->logical_base, kBase);
    EXPECT_EQ(pdev_->devnum, 3u + 0x50A4000u);
    EXPECT_EQ(pdev_->iface, &kpav_block_interfaces[KPAV_BLOCK_DISK_ENTRY]);
    EXPECT_NE(pdev_->flags & BDEV_READY, 0);
    EXPECT_EQ(partition_bdev_create(&part_), -17);

    // A partition without a slot has device number 0; a 32-character name is cut to fit.
    vsu other = part_;
    other.device = nullptr;
    other.index = VSU_NO_SLOT;
    std::memset(other.name, 'n', 32);
    other.name[32] = 0;
    ASSERT_EQ(partition_bdev_create(&other), 0);
    EXPECT_EQ(other.device->devnum, 0u);
    EXPECT_EQ(std::strlen(other.device->name), 31u);
    bdev_free(&other.device);

    // Failed allocations leave the partition without a device and nothing allocated.
    for (int nth = 1; nth <= 8; nth++) {
        fail_nth(fault_site::pool, nth, "mal4");
        int rc = partition_bdev_create(&other);
        clear_faults();
        if (rc == 0) {
            bdev_free(&other.device);
            break;
        }
        EXPECT_EQ(rc, -12);
        EXPECT_EQ(other.device, nullptr);
    }
}

TEST_F(PartitionTest, TheInterfaceEntryIsTheFirstInUseWhenEntryOneIsNot) {
    static int initialised = 0;
    static const kpav_block_ops counting = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                            nullptr, nullptr, nullptr, [](bdev*) { initialised++; }};
    struct row {
        ULONG kinds[KPAV_BLOCK_INTERFACES];
        ULONG chosen;
    } rows[] = {
        {{KPAV_BLOCK_UNUSED, KPAV_BLOCK_WINDOWS_DISK, 2}, 1},
        {{2, KPAV_BLOCK_UNUSED, KPAV_BLOCK_UNUSED}, 0},
        {{KPAV_BLOCK_UNUSED, KPAV_BLOCK_UNUSED, 2}, 2},
        {{KPAV_BLOCK_UNUSED, KPAV_BLOCK_UNUSED, KPAV_BLOCK_UNUSED}, 1},
    };
    kpav_block_interface saved[KPAV_BLOCK_INTERFACES];
    std::memcpy(saved, kpav_block_interfaces, sizeof saved);
    for (const row& r : rows) {
        for (ULONG i = 0; i < KPAV_BLOCK_INTERFACES; i++) {
            kpav_block_interfaces[i] = {r.kinds[i], r.kinds[i] == KPAV_BLOCK_UNUSED ? nullptr : &counting};
        }
        initialised = 0;
        vsu other = part_;
        other.device = nullptr;
        ASSERT_EQ(partition_bdev_create(&other), 0);
        EXPECT_EQ(other.device->iface, &kpav_block_interfaces[r.chosen]) << r.chosen;
        EXPECT_EQ(initialised, r.kinds[r.chosen] == KPAV_BLOCK_UNUSED ? 0 : 1);
        bdev_free(&other.device);
    }
    std::memcpy(kpav_block_interfaces, saved, sizeof saved);
}

TEST_F(PartitionTest, ChainsReachTheDataDeviceAtTheLogicalBase) {
    recorder().complete_at_once = true;
    bio* reads = chain(BIO_READ, {{0, 8}, {kLength - 8, 8}});
    ASSERT_EQ(bdev_submit_bio(reads), 0);
    bio* writes = chain(BIO_WRITE, {{10, 4}});
    ASSERT_EQ(bdev_submit_bio(writes), 0);
    bio* flush = chain(BIO_FLUSH, {{~0ull, 0}});
    ASSERT_EQ(bdev_submit_bio(flush), 0);
    EXPECT_EQ(recorder().count("read"), 1u);
    EXPECT_EQ(recorder().count("write"), 1u);
    EXPECT_EQ(recorder().count("flush"), 1u);
    // The chains are gone with their ends; what reached the data device was seen on the way.
    EXPECT_EQ(endings().statuses, (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(in_flight(device_), 0u);
    EXPECT_EQ(in_flight(pdev_), 0u);
    EXPECT_EQ(in_use(), 0u);
}

TEST_F(PartitionTest, TheDataDeviceSeesEverySectorMovedOnce) {
    bio* reads = chain(BIO_READ, {{0, 8}, {kLength - 8, 8}});
    ASSERT_EQ(bdev_submit_bio(reads), 0);
    ASSERT_EQ(recorder().submitted.size(), 1u);
    EXPECT_EQ(reads->target, device_);
    EXPECT_EQ(reads->base, kBase);
    EXPECT_EQ(reads->next->base, kBase + kLength - 8);
    EXPECT_EQ(reads->next->target, device_);
    EXPECT_EQ(device_->reads_in_flight, 1u);
    EXPECT_EQ(pdev_->reads_in_flight, 1u);
    bio_endio(reads, 0);
    EXPECT_EQ(in_flight(device_), 0u);
    EXPECT_EQ(in_flight(pdev_), 0u);
}

TEST_F(PartitionTest, ABioOutsideThePartitionEndsTheWholeChain) {
    struct row {
        ULONG64 base, count;
        bool inside;
    } rows[] = {
        {kLength - 5, 5, true},   {kLength - 5, 6, false}, {kLength, 1, false},
        {~0ull - 2, 8, false},    {5, ~0ull - 2, false},   {kLength + 1, 0, false},
    };
    recorder().complete_at_once = true;
    for (const row& r : rows) {
        endings().statuses.clear();
        recorder().submitted.clear();
        for (ULONG command : {BIO_READ, BIO_WRITE, BIO_DISCARD}) {
            bio* first = chain(command, {{0, 8}, {r.base, r.count}});
            int rc = bdev_submit_bio(first);
            EXPECT_EQ(rc, r.inside ? 0 : -5) << r.base << " " << r.count << " command " << command;
        }
        EXPECT_EQ(recorder().submitted.size(), r.inside ? 3u : 0u);
        EXPECT_EQ(endings().statuses, std::vector<int>(3, r.inside ? 0 : -5));
    }
    EXPECT_EQ(in_flight(device_), 0u);
    EXPECT_EQ(in_flight(pdev_), 0u);
    EXPECT_EQ(in_use(), 0u);
}

TEST_F(PartitionTest, WritesOverThePhysicalLimitFailWhileDiscardsPass) {
    recorder().complete_at_once = true;
    struct row {
        LONG64 usage;
        ULONG command;
        ULONG64 count;
        int expected;
    } rows[] = {
        {400, BIO_WRITE, 8, 0},         // at the limit
        {401, BIO_WRITE, 8, -122},      // over it
        {401, BIO_DISCARD, 8, 0},
        {401, BIO_WRITE, 0, 0},         // a write without sectors writes nothing
    };
    for (const row& r : rows) {
        part_.usage = r.usage;
        endings().statuses.clear();
        bio* first = chain(r.command, {{0, r.count}});
        EXPECT_EQ(bdev_submit_bio(first), r.expected) << r.usage << " " << r.command;
        EXPECT_EQ(endings().statuses, std::vector<int>{r.expected});
    }
    // A discard chain with one write among its bios is refused as a whole.
    part_.usage = 401;
    recorder().submitted.clear();
    bio* mixed = chain(BIO_DISCARD, {{0, 8}, {8, 8}});
    mixed->next->command = BIO_WRITE;
    EXPECT_EQ(bdev_submit_bio(mixed), -122);
    EXPECT_TRUE(recorder().submitted.empty());
    EXPECT_EQ(in_flight(device_), 0u);
    EXPECT_EQ(in_flight(pdev_), 0u);
}

// A chain the data device hands back (no room yet, throttled) is the partition's again, as it
// came: submitted once more it is moved once, ended by its submitter it leaves no count behind.
TEST_F(PartitionTest, AChainHandedBackCanBeSubmittedAgainOrEnded) {
    for (int handed_back : {-28, -16}) {
        for (ULONG command : {BIO_READ, BIO_WRITE, BIO_FLUSH}) {
            recorder().submit_result = handed_back;
            recorder().complete_at_once = false;
            recorder().submitted.clear();
            endings().statuses.clear();
            ULONG64 base = command == BIO_FLUSH ? ~0ull : 20;
            bio* first = chain(command, {{base, command == BIO_FLUSH ? 0 : 8}});
            ASSERT_EQ(bdev_submit_bio(first), handed_back);
            EXPECT_EQ(first->target, pdev_);
            EXPECT_EQ(first->base, base);
            EXPECT_EQ(in_flight(device_), 0u);
            EXPECT_TRUE(endings().statuses.empty());

            // Again, now taken: the data device sees the sector moved once.
            recorder().submit_result = 0;
            ASSERT_EQ(bdev_submit_bio(first), 0);
            ASSERT_EQ(recorder().submitted.size(), 2u);
            EXPECT_EQ(first->target, device_);
            EXPECT_EQ(first->base, command == BIO_FLUSH ? ~0ull : kBase + 20);
            bio_endio(first, 0);
            // The hand-back took the first submission's counts back: the second counted once.
            EXPECT_EQ(in_flight(pdev_), 0u);
            EXPECT_EQ(in_flight(device_), 0u);

            // Handed back and ended by the submitter: no count is left on either device.
            recorder().submit_result = handed_back;
            first = chain(command, {{base, command == BIO_FLUSH ? 0 : 8}});
            ASSERT_EQ(bdev_submit_bio(first), handed_back);
            bio_end_handed_back(pdev_, first, handed_back);
            EXPECT_EQ(endings().statuses.back(), handed_back);
            EXPECT_EQ(in_flight(device_), 0u);
            EXPECT_EQ(in_flight(pdev_), 0u);
        }
    }
    EXPECT_EQ(in_use(), 0u);
}

TEST_F(PartitionTest, AChainThatBeganAtTheDataDeviceIsEndedWithItsStoredStatus) {
    recorder().submit_result = -16;
    bio* first = chain(BIO_WRITE, {{0, 8}}, device_);
    EXPECT_EQ(bdev_submit_bio(first), 0);
    EXPECT_EQ(endings().statuses, std::vector<int>{-16});
    EXPECT_EQ(in_flight(device_), 0u);
    EXPECT_EQ(in_flight(pdev_), 0u);
    EXPECT_EQ(in_use(), 0u);
}

TEST_F(PartitionTest, IdentityInformationOpenAndRelease) {
    EXPECT_EQ(partition_has_id(pdev_, part_.identity), 1);
    EXPECT_EQ(partition_has_id(pdev_, part_.type), 0);
    UCHAR near[16];
    std::memcpy(near, part_.identity, 16);
    near[15] ^= 1;
    EXPECT_EQ(pdev_->ops->query_id(pdev_, near), 0);
    vsu* info = nullptr;
    EXPECT_EQ(pdev_->ops->get_info(pdev_, &info), 0);
    EXPECT_EQ(info, &part_);
    EXPECT_EQ(pdev_->ops->set_state(pdev_, 1), 0);

    // Open and release go through the data device's own.
    EXPECT_EQ(pdev_->ops->open(pdev_), 0);
    EXPECT_EQ(data_.open_count, 1);
    EXPECT_EQ(part_.refcount, 1);
    InterlockedOr(&part_.flags, VSU_GOING_AWAY);
    EXPECT_EQ(pdev_->ops->open(pdev_), -6);
    EXPECT_EQ(data_.open_count, 1);
    EXPECT_EQ(part_.refcount, 1);
    EXPECT_EQ(pdev_->ops->release(pdev_), 0);
    EXPECT_EQ(data_.open_count, 0);
    EXPECT_EQ(part_.refcount, 0);
}

TEST_F(PartitionTest, DiscardRequestsAreRangeCheckedAndCarryTheEraseAgeMark) {
    recorder().complete_at_once = true;
    struct row {
        bdev* device;
        ULONG64 start, count;
        int expected;
    } rows[] = {
        {nullptr, 10, 20, 0},
        {nullptr, kLength - 1, 1, 0},
        {nullptr, kLength - 1, 2, -22},
        {nullptr, 1, ~0ull, -22},
        {nullptr, ~0ull, 2, -22},
        {device_, kSectors - 1, 2, -22},
    };
    for (const row& r : rows) {
        bdev* d = r.device != nullptr ? r.device : pdev_;
        for (UCHAR wait : {0, 1}) {
            recorder().submitted.clear();
            bdev_discard_record record = {r.start, r.count, 0, wait, {}};
            EXPECT_EQ(d->ops->ioctl(d, BDEV_IOC_DISCARD, &record), r.expected) << r.start << " " << r.count;
            EXPECT_EQ(recorder().submitted.size(), r.expected == 0 ? 1u : 0u);
        }
    }
    EXPECT_EQ(bdev_ioctl(device_, BDEV_IOC_DISCARD, bad_pointer()), -14);
    EXPECT_EQ(in_use(), 0u);

    // What the data device is handed: the discard at the card's sectors with its mark.
    recorder().complete_at_once = false;
    recorder().submitted.clear();
    bdev_discard_record record = {10, 20, 0, 0, {}};
    ASSERT_EQ(partition_bdev_ioctl(pdev_, BDEV_IOC_DISCARD, &record), 0);
    ASSERT_EQ(recorder().submitted.size(), 1u);
    bio* b = recorder().submitted[0];
    EXPECT_EQ(b->command, (ULONG)BIO_DISCARD);
    EXPECT_EQ(b->base, kBase + 10);
    EXPECT_EQ(b->count, 20u);
    EXPECT_EQ(b->discard_mark, ~0ull);
    EXPECT_EQ(b->origin, pdev_);
    bio_endio(b, 0);

    // An erase-age limit picks the position of the log's LEB for that age.
    record.erase_age = 3600;
    ASSERT_EQ(bdev_ioctl(device_, BDEV_IOC_DISCARD, &record), 0);
    ASSERT_EQ(recorder().submitted.size(), 2u);
    b = recorder().submitted[1];
    EXPECT_EQ(b->discard_mark, 64ull << 24);
    bio_endio(b, 0);

    // Handed back by the data device: the discard ends with that status.
    recorder().submit_result = -28;
    record = {0, 8, 0, 1, {}};
    EXPECT_EQ(bdev_ioctl(device_, BDEV_IOC_DISCARD, &record), -28);
    EXPECT_EQ(partition_bdev_ioctl(pdev_, BDEV_IOC_DISCARD, &record), -28);
    EXPECT_EQ(in_flight(device_), 0u);
    EXPECT_EQ(in_flight(pdev_), 0u);
    EXPECT_EQ(in_use(), 0u);
}

TEST_F(PartitionTest, UsageAndDescriptionRecords) {
    part_.usage = 321;
    struct usage_buffer {
        partition_usage_record r;
    } u;
    std::memset(&u, 0xEE, sizeof u);
    u.r.version = 1;
    ASSERT_EQ(partition_bdev_ioctl(pdev_, PARTITION_IOC_USAGE, &u.r), 0);
    EXPECT_EQ(u.r.used, 321u);
    EXPECT_EQ(u.r.sector_count, kLength);
    EXPECT_EQ(u.r.phys_min, 100u);
    EXPECT_EQ(u.r.phys_max, 400u);
    u.r.version = 2;
    u.r.used = 7;
    EXPECT_EQ(partition_bdev_ioctl(pdev_, PARTITION_IOC_USAGE, &u.r), -22);
    EXPECT_EQ(u.r.used, 7u);
    EXPECT_EQ(partition_bdev_ioctl(pdev_, PARTITION_IOC_USAGE, bad_pointer()), -14);
    // The kernel entry fills it in place; without a card there is nothing to describe.
    u.r.version = 1;
    ASSERT_EQ(partition_ioctl_kernel(pdev_, PARTITION_IOC_USAGE, &u.r), 0);
    EXPECT_EQ(u.r.used, 321u);
    part_.card_device = nullptr;
    EXPECT_EQ(partition_ioctl_kernel(pdev_, PARTITION_IOC_USAGE, &u.r), -19);
    part_.card_device = device_;

    partition_description_record d;
    std::memset(&d, 0xEE, sizeof d);
    d.version = 9;
    ASSERT_EQ(partition_bdev_ioctl(pdev_, PARTITION_IOC_DESCRIBE, &d), 0);
    partition_description_record expected;
    std::memset(&expected, 0, sizeof expected);
    expected.version = 9;
    std::memcpy(expected.type, part_.type, 16);
    std::memcpy(expected.identity, part_.identity, 16);
    expected.sector_count = kLength;
    expected.sector_size = 512;
    std::strcpy(expected.name, "pav0vp3");
    std::strcpy(expected.card_name, "dov0");
    expected.interface_state = KPAV_BLOCK_WINDOWS_DISK;
    expected.phys_min = 100;
    expected.phys_max = 400;
    expected.logical_base = kBase;
    EXPECT_EQ(std::memcmp(&d, &expected, sizeof d), 0);
    EXPECT_EQ(partition_bdev_ioctl(pdev_, PARTITION_IOC_DESCRIBE, bad_pointer()), -14);

    ULONG64 level = 0;
    ASSERT_EQ(partition_bdev_ioctl(pdev_, PARTITION_IOC_LEVEL, &level), 0);
    EXPECT_EQ(level, 125u);
}

TEST_F(PartitionTest, MappedSectorsAndExtentsAreThePartitionsOwn) {
    map(kBase - 10, 20, 1);        // straddles the partition's start
    map(kBase + 100, 10, 2);
    map(kBase + kLength, 10, 3);   // just past its end
    for (bool kernel : {false, true}) {
        bdev_mapped_record r = {1, 0, 0xEEEE, 0, kLength};
        int rc = kernel ? partition_ioctl_kernel(pdev_, BDEV_IOC_MAPPED, &r)
                        : partition_bdev_ioctl(pdev_, BDEV_IOC_MAPPED, &r);
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(r.mapped, 20u);
        bdev_mapped_record outside = {1, 0, 0xEEEE, 1, kLength};
        rc = kernel ? partition_ioctl_kernel(pdev_, BDEV_IOC_MAPPED, &outside)
                    : partition_bdev_ioctl(pdev_, BDEV_IOC_MAPPED, &outside);
        EXPECT_EQ(rc, -22);
        EXPECT_EQ(outside.mapped, 0xEEEEu);
    }
    struct extents {
        bdev_extent_record record;
        bdev_extent more[4];
    };
    for (bool kernel : {false, true}) {
        auto e = std::make_unique<extents>();
        e->record.version = 1;
        e->record.maximum = 5;
        e->record.flags = BDEV_EXTENT_MAPPED;
        e->record.remaining = kLength;
        int rc = kernel ? partition_ioctl_kernel(pdev_, BDEV_IOC_EXTENTS, &e->record)
                        : partition_bdev_ioctl(pdev_, BDEV_IOC_EXTENTS, &e->record);
        ASSERT_EQ(rc, 0);
        ASSERT_EQ(e->record.found, 2u);
        const bdev_extent* x = e->record.extents;
        EXPECT_EQ(x[0].start, 0u);
        EXPECT_EQ(x[0].length, 10u);
        EXPECT_EQ(x[1].start, 100u);
        EXPECT_EQ(x[1].length, 10u);
    }
}

TEST_F(PartitionTest, TheKernelEntryIsGivenOnlyToKernelCallers) {
    partition_kernel_entry_record r;
    std::memset(&r, 0xEE, sizeof r);
    partition_kernel_entry_record untouched = r;
    EXPECT_EQ(partition_bdev_ioctl(pdev_, PARTITION_IOC_KERNEL_ENTRY, &r), -1);
    EXPECT_EQ(std::memcmp(&r, &untouched, sizeof r), 0);
    ASSERT_EQ(partition_ioctl_kernel(pdev_, PARTITION_IOC_KERNEL_ENTRY, &r), 0);
    EXPECT_EQ(r.magic, PARTITION_KERNEL_ENTRY_MAGIC);
    ASSERT_EQ(r.entry, &partition_ioctl_kernel);
    // Through the entry it handed out: the kernel requests and nothing else.
    bdev_mapped_record m = {1, 0, 0, 0, 10};
    EXPECT_EQ(r.entry(pdev_, BDEV_IOC_MAPPED, &m), 0);
    EXPECT_EQ(r.entry(pdev_, BDEV_IOC_SIZE, &m), -25);
    EXPECT_EQ(r.entry(pdev_, PARTITION_IOC_DESCRIBE, &m), -25);
    EXPECT_EQ(r.entry(nullptr, BDEV_IOC_MAPPED, &m), -22);
}

TEST_F(PartitionTest, RequestsWithoutAnAnswerYetAndTheCommonOnes) {
    UCHAR buffer[2048] = {};
    for (ULONG code : {PARTITION_IOC_STATUS, PARTITION_IOC_DRIVER_INFO, PARTITION_IOC_FORMAT_INFO}) {
        EXPECT_EQ(partition_bdev_ioctl(pdev_, code, buffer), -95) << std::hex << code;
    }
    bdev_size_record size;
    ASSERT_EQ(partition_bdev_ioctl(pdev_, BDEV_IOC_SIZE, &size), 0);
    EXPECT_EQ(size.bytes, kLength * 512);
    EXPECT_EQ(partition_bdev_ioctl(pdev_, BDEV_IOC_118, buffer), -95);
    EXPECT_EQ(partition_bdev_ioctl(pdev_, 0xC0006899, buffer), -25);
    ASSERT_EQ(partition_bdev_ioctl(pdev_, BDEV_IOC_VERSION, buffer), 0);
    EXPECT_STREQ((const char*)buffer, pav_version_string);
}

TEST_F(PartitionTest, IdentityOfTheCard) {
    pci_dev pci{};
    std::strcpy(pci.name, "0000:03:00.0");
    card_.pdev = &pci;
    std::strcpy(card_.adapter_serial, "SN-0123456789-ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    for (bdev* d : {device_, pdev_}) {
        bdev_identity_record r;
        std::memset(&r, 0xEE, sizeof r);
        r.request = 0;
        ASSERT_EQ(d->ops->ioctl(d, BDEV_IOC_IDENTITY, &r), 0);
        EXPECT_EQ(r.kind, 3u);
        EXPECT_STREQ(r.bus_name, "0000:03:00.0");
        EXPECT_EQ(std::string(r.serial), std::string(card_.adapter_serial).substr(0, 32));
        EXPECT_EQ(r.level, 125u);
        r.request = 1;
        r.kind = 0;
        EXPECT_EQ(d->ops->ioctl(d, BDEV_IOC_IDENTITY, &r), -22);
        EXPECT_EQ(r.kind, 0u);
        EXPECT_EQ(d->ops->ioctl(d, BDEV_IOC_IDENTITY, bad_pointer()), -14);
    }
    // No serial: zeros.
    card_.adapter_serial[0] = 0;
    bdev_identity_record r{};
    std::memset(r.serial, 0xEE, sizeof r.serial);
    ASSERT_EQ(bdev_ioctl(device_, BDEV_IOC_IDENTITY, &r), 0);
    EXPECT_EQ(r.serial[0], 0);
    EXPECT_EQ(r.serial[32], 0);
    card_.pdev = nullptr;
}

// The capability query of the block devices.
class PartitionCapabilityTest : public PartitionTest {
  protected:
    struct answer {
        capability_header h;
        ULONG ids[16];
        ULONG64 values[15];
    };
};

TEST_F(PartitionCapabilityTest, TheDefaultListIsAnsweredForEachDeviceKind) {
    struct row {
        bool partition;
        UCHAR atomic, trim;
        ULONG64 v1, v3, v4, v6;
    } rows[] = {
        {false, 0, 0, 3, 3, 3, 3},
        {false, 1, 0, 7, 3, 7, 3},
        {false, 1, 1, 7, 7, 7, 7},
        {true, 1, 1, 3, 7, 7, 7},  // the partition's identity is not the atomic-write id
        {true, 0, 1, 3, 7, 3, 3},
    };
    for (const row& r : rows) {
        data_.atomic_writes = r.atomic;
        data_.persistent_trim = r.trim;
        answer a{};
        a.h.version = 1;
        a.h.size = sizeof a;
        bdev* d = r.partition ? pdev_ : device_;
        ASSERT_EQ(d->ops->ioctl(d, BDEV_IOC_CAPABILITIES, &a), 0);
        EXPECT_EQ(a.h.count, 15u);
        EXPECT_EQ(a.h.needed, sizeof a);
        const ULONG ids[15] = {1, 2, 3, 4, 5, 6, 7, 1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008};
        EXPECT_EQ(std::memcmp(a.ids, ids, sizeof ids), 0);
        const ULONG64 values[15] = {r.v1, 0, r.v3, r.v4, 0, r.v6, 0, 256, 1, 256, 64, 1ull << 23, 100, 512, 4194304};
        for (int i = 0; i < 15; i++) {
            EXPECT_EQ(a.values[i], values[i]) << "id " << ids[i] << " partition " << r.partition;
        }
    }
}

TEST_F(PartitionCapabilityTest, CallersIdsShortRecordsAndFaults) {
    // Ids of the caller's: ones without an answer come back as 0 with their value untouched.
    struct three {
        capability_header h;
        ULONG ids[4];
        ULONG64 values[3];
    } t{};
    t.h.version = 1;
    t.h.count = 3;
    t.h.size = sizeof t;
    t.ids[0] = 1007;
    t.ids[1] = 9;
    t.ids[2] = 0;
    ASSERT_EQ(bdev_ioctl(device_, BDEV_IOC_CAPABILITIES, &t), 0);
    EXPECT_EQ(t.h.needed, sizeof t);  // three ids padded to four
    EXPECT_EQ(t.ids[0], 1007u);
    EXPECT_EQ(t.values[0], 512u);
    EXPECT_EQ(t.ids[1], 0u);
    EXPECT_EQ(t.ids[2], 0u);

    // Too small: -12 and only the header back, with the size needed.
    answer a{};
    a.h.version = 1;
    a.h.size = sizeof a - 1;
    a.ids[0] = 0xABCD;
    EXPECT_EQ(bdev_ioctl(device_, BDEV_IOC_CAPABILITIES, &a), -12);
    EXPECT_EQ(a.h.needed, sizeof a);
    EXPECT_EQ(a.ids[0], 0xABCDu);
    a.h.version = 2;
    a.h.needed = 0;
    EXPECT_EQ(bdev_ioctl(device_, BDEV_IOC_CAPABILITIES, &a), -22);
    EXPECT_EQ(a.h.needed, 0u);
    EXPECT_EQ(bdev_ioctl(device_, BDEV_IOC_CAPABILITIES, bad_pointer()), -14);
    // The header readable, the rest not: the ids cannot be read.
    UCHAR* page = (UCHAR*)mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    ASSERT_EQ(mprotect(page + 4096, 4096, PROT_NONE), 0);
    auto* h = (capability_header*)(page + 4096 - sizeof(capability_header));
    *h = capability_header{1, 0, 3, 72, 0, {}};
    clear_debug_lines();
    EXPECT_EQ(bdev_ioctl(device_, BDEV_IOC_CAPABILITIES, h), -14);
    EXPECT_TRUE(logged("dov0: Failed to copy in buffer.\n"));
    munmap(page, 8192);

    // The kernel entry wants room for the whole answer: -11 when short.
    answer k{};
    k.h.version = 1;
    k.h.size = sizeof k - 8;
    EXPECT_EQ(partition_ioctl_kernel(pdev_, BDEV_IOC_CAPABILITIES, &k), -11);
    k.h.size = sizeof k;
    ASSERT_EQ(partition_ioctl_kernel(pdev_, BDEV_IOC_CAPABILITIES, &k), 0);
    EXPECT_EQ(k.values[13], 512u);
}

}  // namespace
