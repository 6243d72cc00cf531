// Virtual partitions on the card model: the data device over a real log and forward map, the
// descriptors written to and read back from the card's media, partitions created, reloaded after
// a restart of the channel (the log's packets entered into the map again), deleted (also when the
// power goes in the middle of it), and the descriptor's checks with their read-only fallbacks.
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "driver/block/bdev_data.h"
#include "driver/block/bdev_partition.h"
#include "driver/block/bdev_read.h"
#include "driver/block/vsu.h"
#include "driver/pipeline/pipeline.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kinfo.h"
#include "driver/platform/sgl.h"
#include "driver/platform/uuid.h"
#include "sim/kernel/control.h"
#include "tests/driver/block/bio_fixture.h"
#include "tests/driver/block/data_device_fixture.h"

namespace {

constexpr ULONG64 kSpan = 1ull << 17;  // the forward map's shard span at these sizes

class PartitionCardTest : public DataDeviceTest {
  protected:
    void SetUp() override {
        DataDeviceTest::SetUp();
        if (HasFatalFailure()) return;
        make_card();
    }
    void TearDown() override {
        if (card_.table != nullptr) {
            vsu_unexpose_all(&card_, false, false);
            vsu_unload_all(&card_);
        }
        DataDeviceTest::TearDown();
    }
    void make_card() {
        card_ = {};
        card_.name = "dov0";
        card_.number = 0;
        card_.data = device_;
        card_.mdt = &mdt_;
        card_.sector_size = log_.sector_size;
        card_.capacity = card_.extended_capacity = sectors();
        for (int i = 0; i < 16; i++) card_.identity[i] = (UCHAR)(0xC0 + i);
    }
    // Partitions saved, the card restarted on its media, the partitions loaded again.
    int restart_and_load() {
        vsu_unexpose_all(&card_, false, false);
        vsu_unload_all(&card_);
        EXPECT_EQ(flush(), 0);
        restart_device();
        if (HasFatalFailure()) return -1;
        make_card();
        int rc = vsu_load_all(&card_);
        if (rc != 0) {
            for (auto& line : log()) ADD_FAILURE() << line;
        }
        return rc;
    }
    // A creation record of a known type; `base` all ones: placed automatically.
    static vsu_create_record request(ULONG64 base, ULONG64 length, UCHAR id, const char* name = "") {
        vsu_create_record r{};
        vsu_type_of(1, r.type);
        for (int i = 0; i < 16; i++) r.identity[i] = (UCHAR)(id + i);
        r.logical_base = base;
        r.length = length;
        r.phys_max = length;
        std::memcpy(r.name, name, strnlen(name, sizeof r.name));
        return r;
    }
    int create(ULONG64 base, ULONG64 length, UCHAR id, vsu** out, const char* name = "") {
        vsu_create_record r = request(base, length, id, name);
        int rc = vsu_create(&card_, &r, out);
        if (rc == 0) vsu_put(*out);
        return rc;
    }
    vsu* only(ULONG i) { return card_.table->partitions[i]; }
    ULONG count() { return card_.table->entries.count; }

    // I/O through a partition's own block device.
    int part_io(vsu* p, ULONG command, ULONG64 start, ULONG64 n, void* buffer) {
        bio* b = nullptr;
        int rc = bio_alloc(pool_, p->device, &b);
        if (rc != 0) return rc;
        b->command = command;
        b->base = start;
        b->count = n;
        if (buffer != nullptr) {
            rc = kpav_sgl_map_bytes(b->list, buffer, (ULONG)(n * device_->sector_size));
            if (rc != 0) {
                bio_free_chain(b);
                return rc;
            }
        }
        return submit_wait(b);
    }
    int part_write(vsu* p, ULONG64 start, const std::vector<UCHAR>& data) {
        dma_visible dma(data);
        return part_io(p, BIO_WRITE, start, data.size() / device_->sector_size, (void*)data.data());
    }
    std::vector<UCHAR> part_read(vsu* p, ULONG64 start, ULONG64 n) {
        std::vector<UCHAR> out(n * device_->sector_size, 0xEE);
        dma_visible dma(out);
        EXPECT_EQ(part_io(p, BIO_READ, start, n, out.data()), 0);
        return out;
    }
    // The descriptor sector of `slot` as the data device reads it.
    vsu_descriptor slot_sector(ULONG slot) {
        std::vector<UCHAR> bytes(device_->sector_size);
        dma_visible dma(bytes);
        EXPECT_EQ(bdev_read_sync(device_, VSU_SLOT_BASE + slot, 1, bytes.data()), 0);
        vsu_descriptor d;
        std::memcpy(&d, bytes.data(), sizeof d);
        return d;
    }
    // Writes a sector into a descriptor slot, as the driver's own writes do.
    void put_slot(ULONG slot, const std::vector<UCHAR>& sector) {
        dma_visible dma(sector);
        ASSERT_EQ(datalog_internal_write(device_, VSU_SLOT_BASE + slot, nullptr, sector.data()), 0);
    }
    std::vector<UCHAR> descriptor_sector(const vsu_descriptor& fields) {
        std::vector<UCHAR> sector(device_->sector_size);
        vsu_descriptor_encode(&fields, sector.data(), sector.size());
        return sector;
    }
    vsu_descriptor fields(ULONG64 base, ULONG64 length, UCHAR id, const char* name) {
        vsu_descriptor d{};
        d.sector_size = device_->sector_size;
        std::memcpy(d.name, name, strnlen(name, sizeof d.name));
        vsu_type_of(1, d.type);
        for (int i = 0; i < 16; i++) d.identity[i] = (UCHAR)(id + i);
        d.logical_base = base;
        d.length = length;
        d.phys_max = length;
        return d;
    }
    // A flush that ends once every earlier write is on the media.
    int durable_flush() {
        bio* barrier = take(BIO_FLUSH, 0, 0);
        InterlockedOr(&barrier->flags, BIO_FLUSH_JOIN);
        return submit_wait(barrier);
    }
    std::vector<UCHAR> zeros(ULONG64 n) { return std::vector<UCHAR>(n * device_->sector_size, 0); }

    vsu_card card_{};
};

TEST_F(PartitionCardTest, AFreshCardGetsOneCompatibilityPartitionThatIsSavedAndComesBack) {
    ASSERT_EQ(vsu_load_all(&card_), 0);
    EXPECT_TRUE(logged("dov0: Device has no Virtual Partitions.  Creating compatibility Virtual Partition dov0.\n"));
    ASSERT_EQ(count(), 1u);
    vsu* p = only(0);
    EXPECT_EQ(p->index, 0u);
    EXPECT_EQ(p->logical_base, 0u);
    EXPECT_EQ(p->length, sectors());
    EXPECT_EQ(vsu_type_number(p->type), 1u);
    EXPECT_EQ(std::memcmp(p->identity, card_.identity, 16), 0);
    EXPECT_STREQ(p->name, "dov0");
    ASSERT_EQ(vsu_expose_all(&card_), 0);
    auto data = pattern(100, 40, 3);
    ASSERT_EQ(part_write(p, 100, data), 0);
    EXPECT_EQ(p->usage, 40);

    sim::kernel::clear_debug_lines();
    ASSERT_EQ(restart_and_load(), 0);
    EXPECT_FALSE(logged("dov0: Device has no Virtual Partitions.  Creating compatibility Virtual Partition dov0.\n"));
    vsu_descriptor d = slot_sector(0);
    EXPECT_EQ(d.magic, VSU_DESCRIPTOR_MAGIC);
    EXPECT_EQ(d.version, 2u);
    EXPECT_EQ(d.size, 144u);
    EXPECT_EQ(std::memcmp(d.identity, card_.identity, 16), 0);
    EXPECT_EQ(d.logical_base, 0u);
    EXPECT_EQ(d.usage, 40u);
    ASSERT_EQ(count(), 1u);
    p = only(0);
    EXPECT_EQ(p->usage, 40);
    ASSERT_EQ(vsu_expose_all(&card_), 0);
    EXPECT_EQ(part_read(p, 100, 40), data);
}

// Several partitions created, written, saved and reloaded on restarted media; one deleted: its
// range reads zeros, its slot is free for the next creation, the other's data stays.
TEST_F(PartitionCardTest, PartitionsAreCreatedReloadedAndDeleted) {
    ASSERT_EQ(vsu_load_all(&card_), 0);
    ASSERT_EQ(vsu_expose_all(&card_), 0);
    vsu* compat = nullptr;
    ASSERT_EQ(vsu_find_by_devnum(0, &compat, card_.table), 0);
    ASSERT_EQ(vsu_delete(compat), 0);
    ASSERT_EQ(count(), 0u);

    vsu* a = nullptr;
    vsu* b = nullptr;
    ASSERT_EQ(create(VSU_AUTO_BASE, 3000, 0x10, &a), 0);
    EXPECT_EQ(a->logical_base, 0u);
    EXPECT_EQ(a->index, 0u);
    EXPECT_STREQ(a->name, "pav0vp0");
    ASSERT_EQ(create(4 * kSpan, 5000, 0x20, &b, "second"), 0);
    EXPECT_EQ(b->index, 1u);
    // The next automatic one goes into the smallest gap that holds it: after a's rounded end.
    vsu* c = nullptr;
    ASSERT_EQ(create(VSU_AUTO_BASE, 100, 0x30, &c), 0);
    EXPECT_EQ(c->logical_base, kSpan);
    EXPECT_EQ(c->index, 2u);

    auto da = pattern(0, 64, 1);
    auto db = pattern(4 * kSpan + 10, 300, 2);
    ASSERT_EQ(part_write(a, 0, da), 0);
    ASSERT_EQ(part_write(b, 10, db), 0);
    // The partition device reaches only its own range.
    EXPECT_EQ(part_io(a, BIO_READ, 2990, 20, nullptr), -KPAV_EIO);

    ASSERT_EQ(restart_and_load(), 0);
    ASSERT_EQ(count(), 3u);
    a = only(0);
    c = only(1);
    b = only(2);
    EXPECT_EQ(a->index, 0u);
    EXPECT_EQ(c->index, 2u);
    EXPECT_EQ(b->index, 1u);
    EXPECT_STREQ(b->name, "second");
    EXPECT_EQ(a->usage, 64);
    EXPECT_EQ(b->usage, 300);
    EXPECT_EQ(b->length, 5000u);
    ASSERT_EQ(vsu_expose_all(&card_), 0);
    EXPECT_EQ(part_read(a, 0, 64), da);
    EXPECT_EQ(part_read(b, 10, 300), db);

    vsu* found = nullptr;
    ASSERT_EQ(vsu_find_by_devnum(0, &found, card_.table), 0);
    ASSERT_EQ(vsu_delete(found), 0);
    ASSERT_EQ(count(), 2u);
    std::vector<UCHAR> out;
    ASSERT_EQ(read(0, 64, &out), 0);
    EXPECT_EQ(out, zeros(64));
    EXPECT_EQ(slot_sector(0).magic, 0u);  // the slot is free

    ASSERT_EQ(restart_and_load(), 0);
    ASSERT_EQ(count(), 2u);
    EXPECT_EQ(only(0)->index, 2u);
    ASSERT_EQ(vsu_expose_all(&card_), 0);
    ASSERT_EQ(create(VSU_AUTO_BASE, 10, 0x40, &a), 0);
    EXPECT_EQ(a->index, 0u);  // the freed slot is taken again
    EXPECT_EQ(part_read(a, 0, 10), zeros(10));
    ASSERT_EQ(vsu_find_by_devnum(1, &found, card_.table), 0);
    EXPECT_EQ(part_read(found, 10, 300), db);
    vsu_put(found);
}

// The power goes right after the deleted descriptor reached the media: the next load finds the
// partition deleted and finishes the deletion.
TEST_F(PartitionCardTest, ADeletionCutByPowerIsFinishedAtTheNextLoad) {
    ASSERT_EQ(vsu_load_all(&card_), 0);
    ASSERT_EQ(vsu_expose_all(&card_), 0);
    vsu* compat = nullptr;
    ASSERT_EQ(vsu_find_by_devnum(0, &compat, card_.table), 0);
    ASSERT_EQ(vsu_delete(compat), 0);
    vsu* a = nullptr;
    vsu* b = nullptr;
    ASSERT_EQ(create(0, 1000, 0x10, &a), 0);
    ASSERT_EQ(create(2 * kSpan, 1000, 0x20, &b), 0);
    auto da = pattern(0, 32, 5);
    auto db = pattern(2 * kSpan, 32, 6);
    ASSERT_EQ(part_write(a, 0, da), 0);
    ASSERT_EQ(part_write(b, 0, db), 0);
    ASSERT_EQ(durable_flush(), 0);  // the card's own power-cut flush is off

    // The deletion writes one packet, the descriptor with its type zeroed, and drops the slot's
    // mapping in memory; the power goes before anything else reaches the media.
    vsu* found = nullptr;
    ASSERT_EQ(vsu_find_by_devnum(0, &found, card_.table), 0);
    ASSERT_EQ(vsu_delete(found), 0);
    model_->inject("power_cut", "now");
    ASSERT_FALSE(model_->powered());
    fail_channel(channel(), 0, CHANNEL_FAIL_WATCHDOG);
    // What is left of the table goes without being saved: the card is gone.
    card_.read_only = 1;
    vsu_unexpose_all(&card_, false, true);
    vsu_unload_all(&card_);

    restart_device();
    ASSERT_FALSE(HasFatalFailure());
    make_card();
    ASSERT_EQ(slot_sector(0).magic, VSU_DESCRIPTOR_MAGIC);  // on media: the deleted descriptor
    EXPECT_TRUE(vsu_type_is_zero(slot_sector(0).type));
    ASSERT_EQ(vsu_load_all(&card_), 0);
    ASSERT_EQ(count(), 1u);
    EXPECT_EQ(only(0)->index, 1u);
    EXPECT_EQ(slot_sector(0).magic, 0u);  // released
    std::vector<UCHAR> out;
    ASSERT_EQ(read(0, 32, &out), 0);
    EXPECT_EQ(out, zeros(32));  // the free space was cleaned
    ASSERT_EQ(vsu_expose_all(&card_), 0);
    EXPECT_EQ(part_read(only(0), 0, 32), db);
}

// A partition that holds data is deleted while another one is written and read: the other's I/O
// goes on without a failure or a lost sector, the deleted range reads zeros.
TEST_F(PartitionCardTest, DeletingOnePartitionLeavesTheIoOfAnotherAlone) {
    ASSERT_EQ(vsu_load_all(&card_), 0);
    vsu* compat = nullptr;
    ASSERT_EQ(vsu_find_by_devnum(0, &compat, card_.table), 0);
    ASSERT_EQ(vsu_delete(compat), 0);
    vsu* a = nullptr;
    vsu* b = nullptr;
    ASSERT_EQ(create(0, 1000, 0x10, &a), 0);
    ASSERT_EQ(create(2 * kSpan, 1000, 0x20, &b), 0);
    ASSERT_EQ(part_write(a, 0, pattern(0, 200, 1)), 0);

    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::atomic<int> rounds{0};
    std::thread io([&] {
        for (UCHAR seed = 0; !stop || rounds < 3; seed++) {
            ULONG64 at = (seed * 37u) % 900;
            auto data = pattern(2 * kSpan + at, 50, seed);
            if (part_write(b, at, data) != 0 || part_read(b, at, 50) != data) failures++;
            rounds++;
        }
    });
    vsu* p = nullptr;
    ASSERT_EQ(vsu_find_by_devnum(a->index, &p, card_.table), 0);
    EXPECT_EQ(vsu_delete(p), 0);
    stop = true;
    io.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GE(rounds.load(), 3);
    std::vector<UCHAR> out;
    ASSERT_EQ(read(0, 200, &out), 0);
    EXPECT_EQ(out, zeros(200));
    EXPECT_EQ(count(), 1u);
}

// Unexposing waits until the last reference is dropped; meanwhile no new one is handed out.
TEST_F(PartitionCardTest, UnexposingWaitsForTheLastReference) {
    ASSERT_EQ(vsu_load_all(&card_), 0);
    ASSERT_EQ(vsu_expose_all(&card_), 0);
    vsu* held = nullptr;
    ASSERT_EQ(vsu_find_by_devnum(0, &held, card_.table), 0);
    std::atomic<bool> returned{false};
    std::thread unexposer([&] {
        EXPECT_EQ(vsu_unexpose_all(&card_, false, false), 0);
        returned = true;
    });
    for (int i = 0; i < 5000 && (ReadAcquire(&held->flags) & VSU_GOING_AWAY) == 0; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_NE(ReadAcquire(&held->flags) & VSU_GOING_AWAY, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(returned.load());
    vsu* other = nullptr;
    EXPECT_EQ(vsu_find_by_devnum(0, &other, card_.table), -KPAV_ENOENT);
    EXPECT_EQ(vsu_get(held), -KPAV_ENXIO);
    vsu_put(held);
    unexposer.join();
    EXPECT_TRUE(returned.load());
    EXPECT_EQ(held->device, nullptr);
    EXPECT_EQ(ReadAcquire(&held->flags) & VSU_EXPOSED, 0);
}

TEST_F(PartitionCardTest, CreationRefusesDuplicatesOverlapsMisplacementAndMoreThanTheCapacity) {
    ASSERT_EQ(vsu_load_all(&card_), 0);
    vsu* compat = nullptr;
    ASSERT_EQ(vsu_find_by_devnum(0, &compat, card_.table), 0);
    ASSERT_EQ(vsu_delete(compat), 0);
    vsu* a = nullptr;
    ASSERT_EQ(create(0, 1000, 0x10, &a, "first"), 0);
    auto da = pattern(0, 16, 9);
    ASSERT_EQ(part_write(a, 0, da), 0);

    vsu* x = nullptr;
    EXPECT_EQ(create(2 * kSpan, 10, 0x50, &x, "first"), -KPAV_EEXIST);
    EXPECT_EQ(create(2 * kSpan, 10, 0x10, &x, "other"), -VSU_EDUPLICATE_ID);
    sim::kernel::clear_debug_lines();
    EXPECT_EQ(create(kSpan + 1, 10, 0x50, &x), -KPAV_EINVAL);
    EXPECT_TRUE(logged("dov0: Virtual Partition range 131073-131083 does not start on required boundary of 131072 sectors.\n"));
    // Touching counts as overlapping for an explicit range.
    ASSERT_EQ(create(2 * kSpan, 10, 0x60, &x), 0);
    EXPECT_EQ(create(kSpan, kSpan, 0x70, &x), -KPAV_EINVAL);
    EXPECT_TRUE(logged("dov0: Virtual Partition range 131072-262144 overlaps existing Virtual Partition.\n"));
    // One sector more than is left.
    ULONG64 left = sectors() - 1010;
    EXPECT_EQ(create(VSU_AUTO_BASE, left + 1, 0x80, &x), -KPAV_EFBIG);
    EXPECT_TRUE(logged("dov0: Virtual Partition would exceed available capacity: (desired: 1047567 reserved: 1010 total: "
                       "1048576).\n"));
    // No gap holds it although the sum would allow it; and a range beyond the card.
    EXPECT_EQ(create(VSU_AUTO_BASE, 7 * kSpan, 0x80, &x), -KPAV_ENOSPC);
    EXPECT_EQ(create(7 * kSpan, 2 * kSpan, 0x80, &x), -KPAV_ENOSPC);
    EXPECT_EQ(create(5 * kSpan, 0, 0x80, &x), -KPAV_EINVAL);
    // Wrong requests.
    vsu_create_record r = request(VSU_AUTO_BASE, 10, 0x90);
    r.version = 1;
    EXPECT_EQ(vsu_create(&card_, &r, &x), -KPAV_EOPNOTSUPP);
    r = request(VSU_AUTO_BASE, 10, 0x90);
    r.type[0] ^= 1;
    EXPECT_EQ(vsu_create(&card_, &r, &x), -KPAV_EINVAL);
    r = request(VSU_AUTO_BASE, 10, 0x90);
    vsu_type_of(2, r.type);  // the card takes no atomic writes
    EXPECT_EQ(vsu_create(&card_, &r, &x), -KPAV_EOPNOTSUPP);
    r = request(VSU_AUTO_BASE, 10, 0x90);
    r.sector_size = 4096;
    EXPECT_EQ(vsu_create(&card_, &r, &x), -KPAV_EINVAL);

    ASSERT_EQ(count(), 2u);
    EXPECT_EQ(part_read(a, 0, 16), da);
}

// Lookups: by device number, in base order from a cursor, and the usage accounting.
TEST_F(PartitionCardTest, LookupsFollowBaseOrderAndSkipPartitionsGoingAway) {
    ASSERT_EQ(vsu_load_all(&card_), 0);
    vsu* compat = nullptr;
    ASSERT_EQ(vsu_find_by_devnum(0, &compat, card_.table), 0);
    ASSERT_EQ(vsu_delete(compat), 0);
    vsu* late = nullptr;
    vsu* early = nullptr;
    ASSERT_EQ(create(3 * kSpan, 100, 0x10, &late), 0);
    ASSERT_EQ(create(kSpan, 100, 0x20, &early), 0);
    ULONG64 cursor = 0;
    vsu* p = nullptr;
    ASSERT_EQ(vsu_find_next(&cursor, &p, card_.table), 0);
    EXPECT_EQ(p, early);
    EXPECT_EQ(cursor, kSpan + 100);
    vsu_put(p);
    ASSERT_EQ(vsu_find_next(&cursor, &p, card_.table), 0);
    EXPECT_EQ(p, late);
    vsu_put(p);
    EXPECT_EQ(vsu_find_next(&cursor, &p, card_.table), -KPAV_ENOENT);
    EXPECT_EQ(cursor, ~0ull);
    EXPECT_EQ(vsu_find_by_devnum(7, &p, card_.table), -KPAV_ENOENT);
    ASSERT_EQ(vsu_find_by_devnum(late->index + PARTITION_DEVNUM_BASE, &p, card_.table), 0);
    EXPECT_EQ(p, late);
    EXPECT_EQ(p->device->devnum, late->index + PARTITION_DEVNUM_BASE);
    vsu_put(p);

    EXPECT_EQ(vsu_account_sectors(&card_, kSpan + 10, 5, 5), 0);
    EXPECT_EQ(early->usage, 5);
    EXPECT_EQ(vsu_account_sectors(&card_, kSpan + 98, 5, 5), -KPAV_EINVAL);
    EXPECT_EQ(vsu_account_sectors(&card_, 2 * kSpan, 5, 5), 0);  // in no partition

    bdev* opened = nullptr;
    ASSERT_EQ(vsu_open_bdev(early, &opened), 0);
    EXPECT_EQ(opened, early->device);
    InterlockedOr(&early->flags, VSU_GOING_AWAY);
    EXPECT_EQ(vsu_find_by_devnum(early->index, &p, card_.table), -KPAV_ENOENT);
    cursor = 0;
    ASSERT_EQ(vsu_find_next(&cursor, &p, card_.table), 0);
    EXPECT_EQ(p, late);
    vsu_put(p);
    InterlockedAnd(&early->flags, ~VSU_GOING_AWAY);
    opened->ops->release(opened);
}

// Exposed as disks through the block interface, with kinfo nodes per partition; a delete whose
// hide fails leaves the partition online with its device, and a later delete hides it for real.
// The partition's hide leaves the card's shared bio pool open for the other partitions.
TEST_F(PartitionCardTest, PartitionsAreExposedAsDisksWithKinfoNodesAndAFailedHideIsRetried) {
    kpav_bio_exit();
    ASSERT_EQ(kpav_bio_init(&recording_block_ops), 0);
    recorder().calls.clear();
    recorder().hide_result = 0;
    card_.exposes_disks = 1;
    ASSERT_EQ(pav_driver_kinfo_init(), 0);
    kinfo_node* dir = nullptr;
    ASSERT_EQ(kinfo_create_dir(nullptr, "dov0", &dir), 0);
    card_.kinfo_dir = dir;

    ASSERT_EQ(vsu_load_all(&card_), 0);
    ASSERT_EQ(vsu_expose_all(&card_), 0);
    EXPECT_TRUE(logged("dov0: Exposing Virtual Partition dov0 of size 536870912 bytes with 1048576 sectors of 512 "
                       "bytes (0 mapped).\n"));
    EXPECT_EQ(recorder().count("expose"), 1u);
    vsu* compat = only(0);
    char text[PAV_UUID_TEXT_SIZE];
    pav_uuid_unparse(card_.identity, text);
    kinfo_node* vp = kinfo_find_child(dir, "VP");
    ASSERT_NE(vp, nullptr);
    kinfo_node* node = kinfo_find_child(vp, text);
    ASSERT_NE(node, nullptr);
    for (const char* name : {"phys_usage", "logical-base", "logical-len", "phys_min_reserved_sectors",
                             "phys_max_allowed_sectors", "handle"}) {
        EXPECT_NE(kinfo_find_child(node, name), nullptr) << name;
    }

    vsu* b = nullptr;
    ASSERT_NE(create(VSU_AUTO_BASE, 10, 0x10, &b), 0);  // the compatibility partition holds all
    recorder().hide_result = -KPAV_EBUSY;
    vsu* p = nullptr;
    ASSERT_EQ(vsu_find_by_devnum(0, &p, card_.table), 0);
    EXPECT_EQ(vsu_delete(p), -KPAV_EBUSY);
    EXPECT_TRUE(logged("dov0: Unable to offline Virtual Partition prior to deletion. Error -16.\n"));
    EXPECT_EQ(compat->state, (ULONG)VSU_ONLINE);
    EXPECT_NE(compat->device, nullptr);
    EXPECT_NE(kinfo_find_child(vp, text), nullptr);
    // The card's pool still serves its devices.
    std::vector<UCHAR> out;
    EXPECT_EQ(read(0, 8, &out), 0);

    recorder().hide_result = 0;
    ASSERT_EQ(vsu_find_by_devnum(0, &p, card_.table), 0);
    EXPECT_EQ(vsu_delete(p), 0);
    EXPECT_EQ(recorder().count("hide 1"), 2u);  // asked again, not taken as done
    EXPECT_EQ(count(), 0u);
    EXPECT_EQ(kinfo_find_child(vp, text), nullptr);

    vsu_unload_all(&card_);
    pav_driver_kinfo_exit();
}

// What the load takes from descriptors it accepts: a name that fills all 32 bytes, the usage and
// discard mark, a deleted descriptor in a slot beside live ones; a first word of 0 is an empty
// slot whatever follows.
TEST_F(PartitionCardTest, TheLoadTakesWhatAcceptedDescriptorsSay) {
    vsu_descriptor full = fields(0, 1000, 0x10, "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345");
    full.usage = 77;
    full.discard_mark = 5;
    put_slot(2, descriptor_sector(full));
    vsu_descriptor gone = fields(4 * kSpan, 10, 0x30, "gone");
    std::memset(gone.type, 0, sizeof gone.type);
    put_slot(5, descriptor_sector(gone));
    std::vector<UCHAR> empty = descriptor_sector(fields(2 * kSpan, 10, 0x50, "empty"));
    std::memset(empty.data(), 0, 4);
    put_slot(6, empty);
    card_.attach_flags = VSU_ATTACH_CLEAN;  // a clean reattach: nothing finished, nothing counted
    ASSERT_EQ(vsu_load_all(&card_), 0);
    ASSERT_EQ(count(), 2u);
    vsu* p = only(0);
    EXPECT_STREQ(p->name, "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345");
    EXPECT_EQ(p->index, 2u);
    EXPECT_EQ(p->usage, 77);
    EXPECT_EQ(p->discard_mark, 5u);
    EXPECT_EQ(only(1)->state, (ULONG)VSU_DELETED);
    EXPECT_EQ(slot_sector(5).magic, VSU_DESCRIPTOR_MAGIC);  // left for an unclean load to finish
    vsu_unload_all(&card_);

    card_.attach_flags = 0;
    ASSERT_EQ(vsu_load_all(&card_), 0);
    ASSERT_EQ(count(), 1u);
    EXPECT_EQ(only(0)->usage, 0);  // counted from the map: nothing is mapped
    EXPECT_EQ(slot_sector(5).magic, 0u);
}

// A descriptor slot holding something the load must not trust: each with its message and its
// fallback. The sector is written onto the media and read back by the load.
struct corrupt_case {
    const char* name;
    void (*spoil)(vsu_descriptor* d, std::vector<UCHAR>* sector);
    int result;
    const char* message;
    bool read_only;
    ULONG partitions;  // what the load kept (a load that stops keeps what it had read)
};

const corrupt_case corrupt_cases[] = {
    {"BadMagic", [](vsu_descriptor*, std::vector<UCHAR>* s) { (*s)[0] ^= 0x40; }, -KPAV_EINVAL,
     "dov0: Corrupt Virtual Partition descriptor block 3: invalid magic.\n", false, 1},
    {"BadSize", [](vsu_descriptor*, std::vector<UCHAR>* s) { (*s)[8] = 143; }, -KPAV_EINVAL,
     "dov0: Corrupt Virtual Partition descriptor block 3: invalid size.\n", false, 1},
    {"UnknownType", [](vsu_descriptor*, std::vector<UCHAR>* s) { (*s)[64] ^= 1; }, -KPAV_EINVAL,
     "dov0: Unknown Virtual Partition type bf7d7e90-4b06-2242-a26e-f57e21d75a11 in descriptor at 3\n", false, 1},
    {"RangeBeyondTheCard", [](vsu_descriptor*, std::vector<UCHAR>* s) { (*s)[111] = 0x80; }, -KPAV_EINVAL,
     "dov0: Corrupt Virtual Partition descriptor block 3: invalid range.\n", false, 1},
    {"TooNew", [](vsu_descriptor*, std::vector<UCHAR>* s) { (*s)[4] = 3; }, 0,
     "dov0: Virtual Partition descriptor too new (3) for this software.  Attaching read-only.\n", true, 2},
    {"OtherSectorSize", [](vsu_descriptor*, std::vector<UCHAR>* s) { (*s)[17] = 0x10; }, 0,
     "dov0: Differing Virtual Partition sector sizes not supported.  Virtual Partition: 4096 device: 512.\n", true, 1},
};

class CorruptDescriptorTest : public PartitionCardTest, public ::testing::WithParamInterface<corrupt_case> {};

TEST_P(CorruptDescriptorTest, IsDetectedAndNeverTrusted) {
    const corrupt_case& c = GetParam();
    put_slot(0, descriptor_sector(fields(0, 1000, 0x10, "good")));
    std::vector<UCHAR> bad = descriptor_sector(fields(2 * kSpan, 1000, 0x20, "bad"));
    c.spoil(nullptr, &bad);
    put_slot(3, bad);
    // Data in a gap no partition covers: a read-only load leaves it alone.
    auto gap = pattern(6 * kSpan, 8, 4);
    ASSERT_EQ(write(6 * kSpan, gap), 0);
    ASSERT_EQ(flush(), 0);
    restart_device();
    ASSERT_FALSE(HasFatalFailure());
    make_card();

    EXPECT_EQ(vsu_load_all(&card_), c.result);
    EXPECT_TRUE(logged(c.message)) << c.message;
    EXPECT_EQ(count(), c.partitions);
    std::vector<UCHAR> out;
    ASSERT_EQ(read(6 * kSpan, 8, &out), 0);
    if (c.read_only) {
        EXPECT_TRUE(logged("dov0: Setting device dov0 to read-only\n"));
        EXPECT_EQ(out, gap);
        EXPECT_EQ(write(0, pattern(0, 1, 1)), -KPAV_EROFS);
        vsu* p = nullptr;
        ASSERT_EQ(vsu_find_by_devnum(0, &p, card_.table), 0);
        EXPECT_EQ(vsu_delete(p), -KPAV_EROFS);
    } else {
        EXPECT_EQ((card_.read_only & 1), 0);
    }
    if (std::strcmp(c.name, "OtherSectorSize") == 0) {
        EXPECT_TRUE(logged("dov0: Not all Virtual Partitions may be available.\n"));
    }
    // Nothing of the media was changed: the bad slot reads as it was written.
    std::vector<UCHAR> slot(device_->sector_size);
    {
        dma_visible dma(slot);
        ASSERT_EQ(bdev_read_sync(device_, VSU_SLOT_BASE + 3, 1, slot.data()), 0);
    }
    EXPECT_EQ(slot, bad);
}

INSTANTIATE_TEST_SUITE_P(Cases, CorruptDescriptorTest, ::testing::ValuesIn(corrupt_cases),
                         [](const ::testing::TestParamInfo<corrupt_case>& info) { return info.param.name; });

// Partitions managed while the power goes after N programmed packets, N over the sequence's
// descriptor writes: the next load always succeeds, every acknowledged creation not deleted since
// is there with its range, every acknowledged deletion is gone, and no two partitions overlap.
class PartitionPowerCutTest : public PartitionCardTest, public ::testing::WithParamInterface<int> {};

TEST_P(PartitionPowerCutTest, TheNextLoadShowsEveryAcknowledgedChange) {
    ASSERT_EQ(vsu_load_all(&card_), 0);
    ASSERT_EQ(vsu_expose_all(&card_), 0);
    model_->inject("power_cut", ("after_packets=" + std::to_string(GetParam())).c_str());
    enum { DELETE_COMPAT, CREATE_A, CREATE_B, DELETE_A, CREATE_C, STEPS };
    std::atomic<bool> acknowledged[STEPS] = {};
    std::atomic<bool> finished{false};
    std::atomic<bool> deleting_a{false};  // a deletion in flight may or may not have reached the media
    std::thread manager([&] {
        struct mark {
            std::atomic<bool>* flag;
            ~mark() { *flag = true; }
        } at_end{&finished};
        vsu* p = nullptr;
        if (vsu_find_by_devnum(0, &p, card_.table) != 0 || vsu_delete(p) != 0) return;
        acknowledged[DELETE_COMPAT] = true;
        vsu* a = nullptr;
        if (create(0, 1000, 0x10, &a) != 0) return;
        acknowledged[CREATE_A] = true;
        vsu* b = nullptr;
        if (create(2 * kSpan, 1000, 0x20, &b) != 0) return;
        acknowledged[CREATE_B] = true;
        deleting_a = true;
        if (vsu_find_by_devnum(a->index, &p, card_.table) != 0 || vsu_delete(p) != 0) return;
        acknowledged[DELETE_A] = true;
        vsu* c = nullptr;
        if (create(VSU_AUTO_BASE, 500, 0x30, &c) != 0) return;
        acknowledged[CREATE_C] = true;
    });
    // The card's requests in flight fail as soon as the power is gone.
    while (!finished && model_->powered()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (model_->powered()) model_->inject("power_cut", "now");
    fail_channel(channel(), 0, CHANNEL_FAIL_WATCHDOG);
    manager.join();
    card_.read_only = 1;  // what is left goes unsaved: the card is gone
    vsu_unexpose_all(&card_, false, true);
    vsu_unload_all(&card_);
    restart_device();
    ASSERT_FALSE(HasFatalFailure());
    make_card();

    ASSERT_EQ(vsu_load_all(&card_), 0);
    auto find = [&](UCHAR id) -> vsu* {
        for (ULONG i = 0; i < count(); i++) {
            if (only(i)->identity[0] == id) return only(i);
        }
        return nullptr;
    };
    if (acknowledged[CREATE_A] && !deleting_a) {
        ASSERT_NE(find(0x10), nullptr);
        EXPECT_EQ(find(0x10)->length, 1000u);
    }
    if (acknowledged[DELETE_A]) {
        EXPECT_EQ(find(0x10), nullptr);
    }
    if (acknowledged[CREATE_B]) {
        ASSERT_NE(find(0x20), nullptr);
        EXPECT_EQ(find(0x20)->logical_base, 2 * kSpan);
    }
    if (acknowledged[CREATE_C]) {
        EXPECT_NE(find(0x30), nullptr);
    }
    if (acknowledged[CREATE_A]) {
        EXPECT_EQ(find(card_.identity[0]), nullptr);  // the compatibility partition
    }
    for (ULONG i = 1; i < count(); i++) {
        EXPECT_LE(only(i - 1)->logical_base + only(i - 1)->length, only(i)->logical_base) << i;
    }
    ASSERT_GE(count(), 1u);
}

// Each step writes one descriptor packet: cuts after 1 to 5 packets land in each step in turn, 6
// after the whole sequence.
INSTANTIATE_TEST_SUITE_P(CutAfterPackets, PartitionPowerCutTest, ::testing::Range(1, 7));

// A card large enough for 64 partitions of a shard each: the 65th finds no slot.
class ManyPartitionsTest : public PartitionCardTest {
  protected:
    ULONG64 sectors() const override { return 65 * kSpan; }
};

TEST_F(ManyPartitionsTest, SixtyFourPartitionsFillTheSlotsAndTheSixtyFifthFindsNone) {
    ASSERT_EQ(vsu_load_all(&card_), 0);
    vsu* compat = nullptr;
    ASSERT_EQ(vsu_find_by_devnum(0, &compat, card_.table), 0);
    ASSERT_EQ(vsu_delete(compat), 0);
    vsu* p = nullptr;
    for (ULONG i = 0; i < 64; i++) {
        ASSERT_EQ(create(VSU_AUTO_BASE, 16, (UCHAR)(4 * i), &p), 0) << i;
        EXPECT_EQ(p->index, i);
        EXPECT_EQ(p->logical_base, i * kSpan);
    }
    sim::kernel::clear_debug_lines();
    EXPECT_EQ(create(VSU_AUTO_BASE, 16, 0xFF, &p), -KPAV_ENOSPC);
    EXPECT_TRUE(logged("dov0: Unable to reserve mdt for vsu.\n"));
    EXPECT_EQ(count(), 64u);
}

}  // namespace
