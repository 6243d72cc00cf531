#include "tests/driver/block/data_device_fixture.h"

#include <cstring>

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

namespace {

// What the replay's two passes share: the entries of the LEBs walked packet by packet (the open
// LEB at a power cut), and whether this pass records data or looks for notes.
struct replay_state {
    mdt_context* mdt;
    bool recording;
    struct entry {
        USHORT leb;
        ULONG packet;
        UCHAR opcode;
        bool data;
    };
    std::vector<entry> walked;
};

// Every packet of the chain's data and system ranges entered into the forward map where the
// scan found it, in log order: the later packet of a sector wins.
int replay_packets(log_scan* scan, USHORT leb, ULONG packet, ULONG64 address, ULONG count) {
    auto* state = (replay_state*)scan->owner;
    if (!state->recording) return 0;
    pav_addr_block placement{};
    placement.count = 1;
    placement.vectors[0] = {leb, packet};
    placement.packet_counts[0] = count;
    lrbtree_range range = {address, count};
    return mdt_record_sectors(state->mdt, MDT_REPLAY | MDT_NO_PARTITION_ACCOUNTING, &placement, nullptr, &range);
}

int replay_discard_note(log_scan* scan, USHORT, const UCHAR* note, ULONG bytes) {
    auto* state = (replay_state*)scan->owner;
    return state->recording ? 0 : atomic_discard_note_apply(scan->log, (const atomic_note*)note, bytes);
}

// An LEB without a usable index (the one open when the power went): its entries one by one,
// without the packets of its discard range.
int replay_walk(log_scan* scan, log_file* reader, USHORT leb) {
    auto* state = (replay_state*)scan->owner;
    pav_log* log = scan->log;
    const leb_record& record = log->lebs[leb];
    UCHAR opcode = 0;
    int rc;
    while ((rc = log_file_next_entry(reader, &opcode)) == 0) {
        log_file_pos where{};
        log_file_where(reader, &where);
        if (where.leb != leb) return 0;
        UCHAR kind = log_opcode_fold(opcode);
        if (kind == 0x90 || kind == 0xA0) {
            UCHAR bytes[ATOMIC_NOTE_MIN_BYTES];
            rc = log_file_copy_out(reader, bytes, sizeof bytes);
            if (rc != 0) return rc;
            ULONG64 address = 0;
            UCHAR full = 0;
            pkt_header_decode(bytes, &full, &address);
            ULONG packet = (ULONG)((where.byte - log->geometry.head_reserve) / log->geometry.packet_size);
            sys_addr_kind system = kind == 0xA0 ? sys_addr_classify(address) : SYS_KIND_OTHER;
            bool data = kind == 0x90 || system == SYS_KIND_DATA;
            if (!state->recording) {
                state->walked.push_back({leb, packet, full, data});
                if (system == SYS_KIND_DISCARD_NOTE) {
                    rc = atomic_discard_note_apply(log, (const atomic_note*)bytes, sizeof bytes);
                    if (rc != 0) return rc;
                }
            } else if (data && (packet < record.discard_start || packet >= record.discard_end)) {
                rc = replay_packets(scan, leb, packet, address, 1);
                if (rc != 0) return rc;
            }
        }
        rc = log_entry_skip(reader, opcode);
        if (rc != 0) return rc;
    }
    return rc;
}

}  // namespace

int DataDeviceTest::replay_log() {
    if (log_.head_leb == PAV_NO_LEB) return 0;
    static const log_scan_ops ops = {replay_packets, nullptr, replay_discard_note, nullptr, nullptr, nullptr, replay_walk};
    // What a reboot forgets: the LEBs' discard ranges come from the media alone.
    for (leb_record& record : lebs_) {
        record.discard_start = record.discard_end = record.discard_byte_start = record.discard_byte_end = 0;
    }
    replay_state state{&mdt_, false, {}};
    log_scan scan{};
    int rc = log_scan_init(&scan, &log_, &ops, &state);
    if (rc != 0) return rc;
    // First the notes that hide packets, then the trailing run of an atomic write the power cut
    // short (its packets still marked open at the end of the log), then the data.
    rc = ebi_scan_chain(&scan, log_.head_leb, PAV_NO_LEB, false);
    size_t end = state.walked.size();
    size_t first = end;
    while (first > 0 && state.walked[first - 1].data && (state.walked[first - 1].opcode & 0x08) != 0 &&
           state.walked[first - 1].leb == state.walked[end - 1].leb) {
        first--;
    }
    if (rc == 0 && first < end) {
        const auto& a = state.walked[first];
        const auto& b = state.walked[end - 1];
        rc = atomic_discard_note_build(&log_, a.leb, a.packet, b.leb, b.packet);
        if (rc == 0) rc = atomic_discard_note_apply(&log_, (const atomic_note*)log_.discard_note, log_.discard_note_bytes);
    }
    if (rc == 0) {
        state.recording = true;
        rc = ebi_scan_chain(&scan, log_.head_leb, PAV_NO_LEB, false);
    }
    log_scan_exit(&scan);
    return rc;
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
