// The data log over a channel: creation and its geometry, new append LEBs with their headers,
// the free-space levels and the wear warning, relinking, sequences, the erase-age search and the
// metadata blocks' writes through the append point.
#include "driver/log/datalog.h"

#include <vector>

#include "driver/log/apt.h"
#include "driver/log/atomic_note.h"
#include "driver/log/eb_header.h"
#include "driver/log/mblk.h"
#include "driver/log/mgmt.h"
#include "driver/pipeline/request.h"
#include "tests/driver/pipeline/backend.h"
#include "tests/driver/log/store_fixture.h"

namespace {

struct owner_record {
    std::vector<std::pair<int, int>> reasons;  // level, reason
    std::vector<int> notices;
    int failures = 0;
};

int record_reason(void* owner, int level, int reason) {
    ((owner_record*)owner)->reasons.push_back({level, reason});
    return 0;
}
void record_notice(void* owner, int event) {
    ((owner_record*)owner)->notices.push_back(event);
}
void record_failure(void* owner, int) {
    ((owner_record*)owner)->failures++;
}

const bdev_failure_callbacks owner_callbacks = {record_failure, nullptr, record_notice, nullptr, nullptr,
                                                record_reason, {}};

class LogTest : public PipelineTest {
  protected:
    void configure() override {
        channel_.geometry.pads = 2;
        channel_.geometry.rows_per_eb = 512;
        channel_.geometry.page_size = 16384;
        channel_.geometry.eb_count = 16;
    }
    void SetUp() override {
        PipelineTest::SetUp();
        ASSERT_EQ(mblk_cache_init(), 0);
        geometry_ = small_store_geometry(16);
        ASSERT_EQ(ebinfo_init(&channel_, &geometry_), 0);
        reset_all(&channel_);
        lebs_.resize(16);
        for (auto& l : lebs_) {
            kpav_state_init(&l.func, PAV_LEB_FUNC_ERASED);
            l.next = l.previous = PAV_NO_LEB;
        }
        format_.sector_size = 512;
        format_.capacity = 100000;
    }
    void TearDown() override {
        pav_log_destroy(&log_);
        ebinfo_exit(&channel_);
        mblk_cache_exit();
        PipelineTest::TearDown();
    }
    void create() { ASSERT_EQ(pav_log_create(&log_, &channel_, lebs_.data(), &format_, &owner_), 0); }
    void own() { log_.owner_ops = &owner_callbacks; }
    int new_leb(USHORT* leb, USHORT wanted = PAV_NO_LEB, std::vector<UCHAR>* header = nullptr) {
        ULONG h = 0;
        int rc = channel_client_ops(&channel_)->new_append_eb(&channel_, leb, wanted,
                                                              header != nullptr ? header->data() : nullptr, &h);
        if (rc == 0) {
            EXPECT_EQ(h, log_.geometry.head_reserve);
        }
        return rc;
    }

    store_geometry geometry_{};
    std::vector<leb_record> lebs_;
    log_format_params format_{};
    owner_record owner_;
    pav_log log_{};
};

TEST_F(LogTest, CreationSetsTheGeometryAndTheClient) {
    ebinfo_get(&channel_, 0)->mel_mark = EB_MEL_COPY;
    ebinfo_get(&channel_, 15)->mel_mark = EB_MEL_MAPPED_OUT;
    create();
    EXPECT_TRUE(logged("dov0: Setting channel range data to [1 .. 14]\n"));
    EXPECT_EQ(log_.first_leb, 1);
    EXPECT_EQ(log_.leb_count, 14);
    // H: 16 KiB pages, 4 to a row: max(1 page, 5 pages) rounded to 2 rows = 128 KiB.
    EXPECT_EQ(log_.geometry.head_reserve, 131072u);
    EXPECT_EQ(log_.geometry.tail_reserve, 520u * 20) << "ceil(10016 / 520) packets";
    EXPECT_EQ(log_.geometry.packet_size, 520);
    EXPECT_EQ(log_.packets_per_leb, (512u * 65536 - 131072 - 10400) / 520);
    EXPECT_EQ(log_.leb_span, log_.packets_per_leb + 1);
    EXPECT_EQ(log_.last_addr, 16 + (ULONG64)log_.leb_span * 14 + log_.packets_per_leb - 1);
    EXPECT_EQ(log_.scale, 2048u);
    EXPECT_EQ(log_.state.value, (ULONG)PAV_LOG_CREATED);
    EXPECT_EQ(channel_client_ops(&channel_), &datalog_client_ops);
    EXPECT_EQ(channel_.client, &log_);
    EXPECT_EQ(ebinfo_table(&channel_)->layout.data_start, 131072u);
    EXPECT_EQ(log_.ranges.table.bucket_count, 8u) << "100000 sectors: 12 slots of 8188 at most, a power of two";
    EXPECT_EQ(log_.append_point->head.geometry_b, 512u | 520u << 16);
    // Capacities per LEB follow the block's pads.
    ebinfo_get(&channel_, 3)->banks[1].saved_mask = 0x1;
    ebinfo_recompute_eb(&channel_, 3);
    EXPECT_EQ(datalog_leb_capacity(&log_, 3), (ULONG)((512ull * 49152 - 131072 - 10400) / 520));
    EXPECT_EQ(datalog_leb_capacity(&log_, 4), log_.packets_per_leb);
    pav_log_destroy(&log_);
    EXPECT_EQ(channel_client_ops(&channel_), &nand_dev_client_defaults);
    EXPECT_EQ(log_.channel, nullptr);
}

TEST_F(LogTest, CreationFailsWholeWithoutMemory) {
    sim::kernel::fail_nth(sim::kernel::fault_site::pool, 1, "mal4");
    EXPECT_EQ(pav_log_create(&log_, &channel_, lebs_.data(), &format_, &owner_), -12);
    sim::kernel::clear_faults();
    EXPECT_EQ(channel_client_ops(&channel_), &nand_dev_client_defaults) << "undone";
    EXPECT_EQ(log_.channel, nullptr);
}

TEST_F(LogTest, NewAppendLebsChainWithHeaders) {
    create();
    ASSERT_EQ(datalog_link_erased_space(&log_), 0);
    EXPECT_EQ(ebinfo_table(&channel_)->erased_count, 16u);
    std::vector<UCHAR> header(mgmt_region_size(&geometry_) + 96, 0);
    USHORT lebs[3];
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(new_leb(&lebs[i], PAV_NO_LEB, &header), 0);
        EXPECT_EQ(lebs_[lebs[i]].sequence, 64ull * (i + 1)) << "each LEB takes the previous one's + 64";
        EXPECT_EQ(lebs_[lebs[i]].func.value, (ULONG)PAV_LEB_FUNC_WRITING);
        // The header buffer holds the EB header and the opener as the reader sees them.
        eb_header h;
        ASSERT_EQ(eb_header_decode(&h, header.data()), 0);
        std::vector<UCHAR> copy = header;
        ASSERT_EQ(eb_first_packet_decode(copy.data(), geometry_.packet_size, geometry_.ecc_chunk_size), 0);
        EXPECT_EQ(h.eb, lebs[i]);
        EXPECT_EQ(h.version, 3);
        EXPECT_EQ(h.data_start, 131072u);
        const mgmt_header* m = (const mgmt_header*)(copy.data() + 96);
        EXPECT_EQ(m->opcode, 0x84);
        EXPECT_EQ(m->log_id, 1);
        EXPECT_EQ(m->sequence, (64ull * (i + 1)) << 24);
        EXPECT_EQ(m->capacity, 100000u);
        EXPECT_EQ(mgmt_state_map_get(m->state_map, lebs[i]), MGMT_STATE_WRITTEN);
        if (i > 0) {
            EXPECT_EQ(mgmt_state_map_get(m->state_map, lebs[i - 1]), MGMT_STATE_WRITTEN);
            EXPECT_EQ(lebs_[lebs[i - 1]].func.value, (ULONG)PAV_LEB_FUNC_CLOSED);
            EXPECT_EQ(lebs_[lebs[i - 1]].next, lebs[i]);
            EXPECT_EQ(lebs_[lebs[i]].previous, lebs[i - 1]);
        }
    }
    EXPECT_EQ(log_.head_leb, lebs[0]);
    EXPECT_EQ(log_.append_leb, lebs[2]);
    EXPECT_EQ(log_.lebs_in_use, 3u);
    EXPECT_EQ(log_.open_free_packets, log_.packets_per_leb);

    // A wanted LEB that is not erased is refused, and nothing is lost.
    USHORT leb;
    EXPECT_EQ(new_leb(&leb, lebs[0]), -5);
    EXPECT_TRUE(logged("dov0: Unable to transition new EB (" + std::to_string(lebs[0]) +
                       ") to appending state from state PAV_LEB_FUNC_CLOSED\n"));
    // A picked block in the wrong state goes back to the erased list.
    USHORT bad = ebinfo_table(&channel_)->erased_head;
    kpav_state_change(&lebs_[bad].func, PAV_LEB_FUNC_RETIRED, 0);
    ULONG before = ebinfo_table(&channel_)->erased_count;
    static ULONG64 zero_clock;
    ebinfo_table(&channel_)->pick_clock = [] { return zero_clock; };
    EXPECT_EQ(new_leb(&leb), -5);
    EXPECT_EQ(ebinfo_table(&channel_)->erased_count, before);
    kpav_state_change(&lebs_[bad].func, PAV_LEB_FUNC_ERASED, 0);

    // Drain the erased list: -28 with its message.
    while (ebinfo_table(&channel_)->erased_count > 0) ASSERT_EQ(new_leb(&leb), 0);
    EXPECT_EQ(new_leb(&leb), -28);
    EXPECT_TRUE(logged("dov0: Unable to allocate erased EB\n"));
    EXPECT_EQ(datalog_check_sequence(&log_, lebs[0], PAV_NO_LEB, 64), 0);
    lebs_[lebs[2]].sequence += 1;
    EXPECT_EQ(datalog_check_sequence(&log_, lebs[0], PAV_NO_LEB, 64), -11);
    EXPECT_EQ(datalog_check_sequence(&log_, 16, PAV_NO_LEB, 64), -22);
    EXPECT_TRUE(logged("dov0: Invalid start eb: 16\n"));
}

// A new LEB's opener carries the log's format as a reader of the block needs it: the sparse
// flag (bit 2 of the format flags) and the capacities.
TEST_F(LogTest, TheOpenerCarriesTheLogsFormat) {
    struct format_case {
        UCHAR sparse;
        ULONG64 logical_capacity;
        UCHAR flags;
    };
    for (const format_case& c : {format_case{0, 0, 0}, format_case{1, 400000, 4}}) {
        SCOPED_TRACE("sparse " + std::to_string(c.sparse));
        format_.sparse = c.sparse;
        format_.logical_capacity = c.logical_capacity;
        create();
        ASSERT_EQ(datalog_link_erased_space(&log_), 0);
        std::vector<UCHAR> header(mgmt_region_size(&geometry_) + 96, 0);
        USHORT leb;
        ASSERT_EQ(new_leb(&leb, PAV_NO_LEB, &header), 0);
        ASSERT_EQ(eb_first_packet_decode(header.data(), geometry_.packet_size, geometry_.ecc_chunk_size), 0);
        const mgmt_header* m = mgmt_record_of(header.data());
        EXPECT_EQ(m->format_flags, c.flags);
        EXPECT_EQ(m->capacity, 100000u);
        EXPECT_EQ(m->logical_capacity, c.logical_capacity);
        pav_log_destroy(&log_);
        for (auto& l : lebs_) {
            kpav_state_init(&l.func, PAV_LEB_FUNC_ERASED);
            l.next = l.previous = PAV_NO_LEB;
        }
    }
}

TEST_F(LogTest, FreeSpaceLevelsAndTheWearWarning) {
    create();
    own();
    ASSERT_EQ(datalog_link_erased_space(&log_), 0);
    ULONG64 capacity = datalog_usable_capacity(&log_);
    EXPECT_EQ(capacity, 16ull * log_.packets_per_leb);
    // The levels follow the capacity in service against the format's capacity.
    struct level_case {
        ULONG64 format_capacity;
        int level;
        bool warns;
    } cases[] = {
        {capacity / 2, 0, false},
        {capacity * 10000 / 10300 + 10, 1, false},  // just below T1 = 1.03 K
        {capacity * 10000 / 10100 + 10, 2, false},  // just below T2 = 1.01 K
        {capacity * 10000 / 10300 - 200, 0, false},
    };
    for (const auto& c : cases) {
        log_.format.capacity = c.format_capacity;
        log_thresholds_compute(&log_);
        owner_.reasons.clear();
        ULONG64 lines_before = log().size();
        kpav_spin_lock(&log_.lock);
        datalog_check_free_space(&log_);
        kpav_spin_unlock(&log_.lock);
        ASSERT_EQ(owner_.reasons.size(), 1u);
        EXPECT_EQ(owner_.reasons[0], std::make_pair(c.level, 5)) << c.format_capacity;
        bool warned = log().size() > lines_before;
        EXPECT_EQ(warned, c.warns) << c.format_capacity;
    }
    // Retired LEBs shrink the capacity in service toward the format's: between T1 and T0 the
    // device warns, once.
    for (USHORT leb = 8; leb < 16; leb++) kpav_state_change(&lebs_[leb].func, PAV_LEB_FUNC_RETIRED, 0);
    ULONG64 half = datalog_usable_capacity(&log_);
    EXPECT_EQ(half, 8ull * log_.packets_per_leb);
    log_.format.capacity = 480000;
    log_thresholds_compute(&log_);
    ASSERT_LT(log_.t1, half);
    ASSERT_GT(log_.t0, half);
    for (int i = 0; i < 2; i++) {
        owner_.reasons.clear();
        kpav_spin_lock(&log_.lock);
        datalog_check_free_space(&log_);
        kpav_spin_unlock(&log_.lock);
        EXPECT_EQ(owner_.reasons.back(), std::make_pair(0, 5));
    }
    int warnings = 0;
    for (auto& l : log()) warnings += l.find("close to wearing out") != std::string::npos;
    EXPECT_EQ(warnings, 1) << "once per attach";
    for (USHORT leb = 8; leb < 16; leb++) kpav_state_change(&lebs_[leb].func, PAV_LEB_FUNC_ERASED, 0);

    // Erased space: the erased blocks less their reserves; free space adds the open LEB's rest.
    const log_geometry& g = log_.geometry;
    ULONG64 erased = (16 * geometry_.eb_bytes - 16ull * (g.packet_size + g.head_reserve + g.tail_reserve - 1)) /
                     g.packet_size;
    EXPECT_EQ(datalog_erased_space(&log_), erased);
    USHORT leb;
    ASSERT_EQ(new_leb(&leb), 0);
    ULONG64 one_less = (15 * geometry_.eb_bytes - 15ull * (g.packet_size + g.head_reserve + g.tail_reserve - 1)) /
                       g.packet_size;
    EXPECT_EQ(datalog_free_space(&log_), one_less + log_.packets_per_leb);
    pav_log_set_written_pos(&log_, leb, 1000);
    EXPECT_EQ(datalog_free_space(&log_), one_less + log_.packets_per_leb - 1000);
    EXPECT_TRUE(owner_.notices.empty()) << "plenty of erased space";
    log_.forward_map_blocks = 100000000;
    kpav_spin_lock(&log_.lock);
    datalog_check_free_space(&log_);
    datalog_check_free_space(&log_);
    kpav_spin_unlock(&log_.lock);
    EXPECT_EQ(owner_.notices, std::vector<int>{1}) << "low on space, told once";
}

TEST_F(LogTest, RelinkOrdersBySequenceAndEraseAgeWalksFromTheOldest) {
    create();
    const USHORT order[] = {7, 2, 11, 4};
    for (int i = 0; i < 4; i++) {
        kpav_state_change(&lebs_[order[i]].func, i == 3 ? PAV_LEB_FUNC_WRITING : PAV_LEB_FUNC_CLOSED, 0);
        lebs_[order[i]].sequence = 1000 + 64ull * i;
    }
    ASSERT_EQ(datalog_relink(&log_), 0);
    EXPECT_EQ(log_.state.value, (ULONG)PAV_LOG_RELINKED);
    EXPECT_EQ(log_.head_leb, 7);
    EXPECT_EQ(log_.append_leb, 4);
    EXPECT_EQ(lebs_[7].next, 2);
    EXPECT_EQ(lebs_[2].next, 11);
    EXPECT_EQ(lebs_[11].next, 4);
    EXPECT_EQ(lebs_[4].next, PAV_NO_LEB);
    EXPECT_EQ(lebs_[4].previous, 11);
    EXPECT_EQ(datalog_relink(&log_), -22) << "only from the created state";
    EXPECT_EQ(datalog_check_sequence(&log_, 7, 4, 1000), 0);

    // Erase times along the chain from the oldest: the first LEB erased less than `seconds`
    // after the latest erase before it.
    const ULONG times[] = {10000, 10100, 11000, 12000};
    for (int i = 0; i < 4; i++) ebinfo_get(&channel_, order[i])->erase_time = times[i];
    EXPECT_EQ(datalog_find_leb_by_erase_age(&log_, 500), (1000ull + 64) << 24);
    EXPECT_EQ(datalog_find_leb_by_erase_age(&log_, 950), (1000ull + 64) << 24);
    EXPECT_EQ(datalog_find_leb_by_erase_age(&log_, 50), 0u) << "none";
    ebinfo_get(&channel_, 11)->erase_time = 10150;
    EXPECT_EQ(datalog_find_leb_by_erase_age(&log_, 60), (1000ull + 128) << 24);

    // Written position: an LEB at or after it.
    EXPECT_FALSE(pav_log_leb_at_or_after_written(&log_, 2));
    pav_log_set_written_pos(&log_, 2, 10);
    EXPECT_TRUE(pav_log_leb_at_or_after_written(&log_, 2));
    EXPECT_TRUE(pav_log_leb_at_or_after_written(&log_, 11));
    EXPECT_FALSE(pav_log_leb_at_or_after_written(&log_, 7));
    EXPECT_FALSE(pav_log_leb_at_or_after_written(&log_, PAV_NO_LEB));
}

TEST_F(LogTest, DuplicateSequencesFailTheRelink) {
    create();
    for (USHORT leb : {3, 5}) {
        kpav_state_change(&lebs_[leb].func, PAV_LEB_FUNC_CLOSED, 0);
        lebs_[leb].sequence = 640;
    }
    EXPECT_EQ(datalog_relink(&log_), -22);
    EXPECT_TRUE(logged("dov0: Failed attach for data while relinking.\n"));
}

TEST_F(LogTest, ClientOperations) {
    create();
    own();
    const nand_dev_client_ops* ops = channel_client_ops(&channel_);
    EXPECT_EQ(ops->set_write_reason(&channel_, 2, 10), 0);
    EXPECT_EQ(owner_.reasons.back(), std::make_pair(2, 10));
    ops->eb_event_a(&channel_, 3);
    ops->eb_event_b(&channel_, 4);
    EXPECT_NE(ebinfo_get(&channel_, 3)->flags & EB_FLAG_GROOM_A, 0);
    EXPECT_NE(ebinfo_get(&channel_, 4)->flags & EB_FLAG_GROOM_B, 0);
    int percent = 7;
    EXPECT_EQ(ops->progress(&channel_, &percent), 0);
    EXPECT_EQ(percent, -1);
    EXPECT_EQ(ops->hw_error(&channel_, 1, 0, 0), 0);
    EXPECT_EQ(owner_.failures, 0) << "only a hardware failure (mode 4) fails the log";
    EXPECT_EQ(ops->hw_error(&channel_, 4, 0, 0), 0);
    EXPECT_EQ(owner_.failures, 1);
    EXPECT_EQ(log_.state.value, (ULONG)PAV_LOG_UNRECOVERABLE_ERROR);
    EXPECT_EQ(ops->hw_error(&channel_, 4, 0, 0), 0);
    EXPECT_EQ(owner_.failures, 1) << "once";
}

TEST_F(LogTest, MetadataBlocksAreAppendedThroughTheAppendPoint) {
    backend_.complete_on_announce = true;
    create();
    mblk* block = nullptr;
    ASSERT_EQ(mblk_get(&block, &log_, 0x00EFFFFF00000001ull, MBLK_CREATE), 0);
    std::memset(block->page, 0x5A, 4096);
    mblk_put(&log_, block);
    static std::atomic<int> notices{0};
    static std::atomic<int> status{1};
    mblk_write_arg write = {[](int rc, const pav_addr_block*, void*) {
                                status = rc;
                                notices++;
                                return 0;
                            },
                            nullptr};
    ASSERT_EQ(mblk_for_each(&log_, mblk_write_cb, &write), 0);
    ASSERT_TRUE(backend_.wait_issued(1));
    auto issued = backend_.issued();
    ASSERT_EQ(issued.size(), 1u);
    EXPECT_EQ(issued[0].type, (ULONG)REQUEST_APPEND);
    const velkor_request* r = issued[0].request;
    EXPECT_EQ(r->params.append.opcode, 0x8E);
    EXPECT_EQ(r->params.append.magic, mblk_log_entry_word(0x00EFFFFF00000001ull) & 0x00FFFFFFFFFFFFFFull);
    EXPECT_EQ(r->params.append.size, 4096u) << "8 packets of 512 bytes";
    EXPECT_EQ(r->params.append.ap, &log_.append_point->head);
    ASSERT_TRUE(eventually([] { return notices.load() == 1; }));
    EXPECT_EQ(status.load(), 0);
    EXPECT_EQ(block->refs, 0);
}

TEST(MetadataBlockRuns, LebChangesAreCounted) {
    mblk_eb_change_state state{PAV_NO_LEB, 0};
    pav_addr_block runs{};
    runs.count = 2;
    runs.vectors[0] = {3, 10};
    runs.vectors[1] = {4, 0};
    EXPECT_EQ(mblk_eb_change_cb(nullptr, &runs, &state), 1u);
    EXPECT_EQ(state.changes, 1u);
    EXPECT_EQ(state.last_leb, 4);
    runs.count = 1;
    runs.vectors[0] = {4, 20};
    EXPECT_EQ(mblk_eb_change_cb(nullptr, &runs, &state), 0u);
    EXPECT_EQ(state.changes, 1u) << "same LEB";
    runs.count = 0;
    EXPECT_EQ(mblk_eb_change_cb(nullptr, &runs, &state), 0u);
}

}  // namespace

namespace {

class AtomicNoteTest : public LogTest {};

TEST_F(AtomicNoteTest, NotesListEveryLebOfTheWriteAndApplyOnlyToMatchingOnes) {
    create();
    const USHORT chain[] = {5, 9, 2};
    for (int i = 0; i < 3; i++) {
        kpav_state_change(&lebs_[chain[i]].func, i == 2 ? PAV_LEB_FUNC_WRITING : PAV_LEB_FUNC_CLOSED, 0);
        lebs_[chain[i]].sequence = 640 + 64ull * i;
        lebs_[chain[i]].next = i < 2 ? chain[i + 1] : PAV_NO_LEB;
    }
    // Two LEBs: the 64-byte note of the layout.
    ASSERT_EQ(atomic_discard_note_build(&log_, 5, 100, 9, 7), 0);
    const UCHAR* b = (const UCHAR*)log_.discard_note;
    ASSERT_EQ(log_.discard_note_bytes, 64u);
    const UCHAR head[] = {0xA0, 0xFF, 0xFF, 0xFF, 0xF0, 0x79, 0xFF, 0xFF, 0, 0, 2, 0, 0, 0, 0, 0};
    for (ULONG i = 0; i < sizeof(head); i++) EXPECT_EQ(b[i], head[i]) << "byte " << i;
    const atomic_note* note = (const atomic_note*)b;
    EXPECT_EQ(note->entries[0].sequence, 640u);
    EXPECT_EQ(note->entries[0].first_packet, 100u);
    EXPECT_EQ(note->entries[0].last_packet, log_.packets_per_leb - 1);
    EXPECT_EQ(note->entries[0].leb, 5);
    EXPECT_EQ(b[16 + 20], 5) << "the LEB at byte 20 of the entry";
    EXPECT_EQ(note->entries[1].first_packet, 0u);
    EXPECT_EQ(note->entries[1].last_packet, 7u);
    ASSERT_EQ(atomic_discard_note_apply(&log_, note, log_.discard_note_bytes), 0);
    EXPECT_EQ(lebs_[5].discard_start, 100u);
    EXPECT_EQ(lebs_[5].discard_end, log_.packets_per_leb);
    EXPECT_EQ(lebs_[9].discard_end, 8u);
    EXPECT_EQ(lebs_[9].discard_byte_start, 131072u);
    EXPECT_EQ(lebs_[9].discard_byte_end, 131072u + 8 * 520);

    // Three LEBs: the note grows instead of running past its end.
    ASSERT_EQ(atomic_discard_note_build(&log_, 5, 1, 2, 3), 0);
    EXPECT_EQ(log_.discard_note_bytes, 16u + 3 * 24);
    note = (const atomic_note*)log_.discard_note;
    EXPECT_EQ(note->count, 3);
    EXPECT_EQ(note->entries[2].leb, 2);
    EXPECT_EQ(atomic_discard_note_build(&log_, 2, 0, 5, 0), -22) << "the chain does not lead back";

    // Bad notes from media change nothing.
    std::vector<UCHAR> raw(64, 0);
    std::memcpy(raw.data(), log_.discard_note, 64);
    atomic_note* bad = (atomic_note*)raw.data();
    bad->count = 3;
    lebs_[2].discard_end = 0;
    EXPECT_EQ(atomic_discard_note_apply(&log_, bad, 64), -22) << "three entries do not fit 64 bytes";
    bad->count = 2;
    bad->entries[1].leb = 16;
    EXPECT_EQ(atomic_discard_note_apply(&log_, bad, 64), -22);
    bad->entries[1].leb = 9;
    bad->entries[1].last_packet = 0xFFFFFFFF;
    EXPECT_EQ(atomic_discard_note_apply(&log_, bad, 64), -22) << "a range past the LEB's packets";
    bad->entries[1].last_packet = log_.packets_per_leb;
    EXPECT_EQ(atomic_discard_note_apply(&log_, bad, 64), -22);
    EXPECT_EQ(lebs_[5].discard_start, 100u) << "nothing of a refused note is applied";
    bad->entries[1].last_packet = 7;
    bad->entries[1].sequence = 1;
    lebs_[9].discard_end = 0;
    EXPECT_EQ(atomic_discard_note_apply(&log_, bad, 64), 0);
    EXPECT_EQ(lebs_[9].discard_end, 0u) << "a sequence that does not match is left alone";
}

}  // namespace
