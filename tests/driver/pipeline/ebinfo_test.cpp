// The erase-block information: bank recomputation, the seed generator, the erased list and its
// pick, the position operations, the pad error counters, and the pipeline's view of it.
#include "driver/pipeline/ebinfo.h"

#include <map>
#include <set>

#include "driver/pipeline/eb_geometry.h"
#include "tests/driver/log/store_fixture.h"

namespace {

class EbInfoTest : public StoreTest {};

TEST_F(EbInfoTest, BanksAreRecomputedFromTheirMasks) {
    struct bank_case {
        const char* name;
        UCHAR parity_switch;
        ULONG planes;
        ULONG total_pads, data_pads;
        ULONG raw_mask;
        USHORT seed;
        bool relaxed;
        LONG parity;
        ULONG effective;
        ULONG raw_bytes;
        ULONG usable_bytes;
        ULONG part0, part1;
    };
    // One pad's raw page holds 17600 bytes = 16 codewords of 1100; usable = codewords x 1024.
    const bank_case cases[] = {
        {"both pads", 0, 1, 2, 2, 0x3, 0, false, -1, 0x3, 35200, 32768, 35200, 0},
        {"one pad failed", 0, 1, 2, 2, 0x2, 0, false, -1, 0x2, 17600, 16384, 17600, 0},
        {"no pad", 0, 1, 2, 2, 0x0, 0, false, -1, 0x0, 0, 0, 0, 0},
        {"data pads only", 0, 1, 4, 2, 0xF, 0, false, -1, 0x3, 35200, 32768, 35200, 0},
        // Parity: k = n - (seed mod n); seed mod n = 0 picks the last usable pad.
        {"parity seed 0", 1, 1, 4, 4, 0xF, 0, false, 3, 0x7, 52800, 49152, 52800, 0},
        {"parity seed 1", 1, 1, 4, 4, 0xF, 1, false, 2, 0xB, 52800, 49152, 52800, 0},
        {"parity seed 7", 1, 1, 4, 4, 0xD, 7, false, 2, 0x9, 35200, 32768, 35200, 0},
        {"parity of an empty mask", 1, 1, 4, 4, 0x0, 5, false, -1, 0x0, 0, 0, 0, 0},
        // Two planes: 2R stepped down to a multiple of planes x alignment, split evenly; with the
        // relaxed flag only the alignment counts and the first part is aligned down.
        {"two planes", 0, 2, 2, 2, 0x3, 0, false, -1, 0x3, 70400, 65536, 35200, 35200},
        {"two planes relaxed", 0, 2, 2, 2, 0x1, 0, true, -1, 0x1, 35200, 32768, 17600, 17600},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        store_geometry g = small_store_geometry(4);
        g.parity_pad = c.parity_switch;
        g.planes = c.planes;
        g.total_pads = c.total_pads;
        g.data_pads = c.data_pads;
        g.alignment = c.planes == 2 ? 800 : 8;  // 35200 = 44 x 800, 17600 = 22 x 800
        ASSERT_EQ(ebinfo_init(&channel_, &g), 0);
        eb_info* e = info(1);
        if (c.relaxed) InterlockedOr(&e->flags, EB_FLAG_RELAXED_SPLIT);
        e->seed = c.seed;
        e->banks[0].raw_mask = c.raw_mask;
        ebinfo_recompute_bank(&channel_, 1, 0);
        const eb_bank& b = e->banks[0];
        EXPECT_EQ(b.parity_pad, c.parity);
        EXPECT_EQ(b.effective_mask, c.effective);
        EXPECT_EQ(b.raw_bytes, c.raw_bytes);
        EXPECT_EQ(b.usable_bytes, c.usable_bytes);
        EXPECT_EQ(b.plane_part[0], c.part0);
        EXPECT_EQ(b.plane_part[1], c.part1);
        EXPECT_EQ(b.marker, -1);
        ebinfo_exit(&channel_);
    }
}

TEST_F(EbInfoTest, SegmentsStepDownToTheAlignment) {
    store_geometry g = small_store_geometry(4);
    g.alignment = 4096;
    ASSERT_EQ(ebinfo_init(&channel_, &g), 0);
    eb_info* e = info(0);
    e->banks[0].raw_mask = 0x3;
    ebinfo_recompute_bank(&channel_, 0, 0);
    // The first multiple of both 1100 and 4096 below 35200 does not exist above one codeword:
    // 1100 x k is a multiple of 4096 only for k a multiple of 1024.
    EXPECT_EQ(e->banks[0].raw_bytes, 0u);
    ebinfo_exit(&channel_);
    g.alignment = 2200;
    ASSERT_EQ(ebinfo_init(&channel_, &g), 0);
    e = info(0);
    e->banks[0].raw_mask = 0x3;
    ebinfo_recompute_bank(&channel_, 0, 0);
    EXPECT_EQ(e->banks[0].raw_bytes, 35200u);
    e->banks[0].raw_mask = 0x1;
    ebinfo_recompute_bank(&channel_, 0, 0);
    EXPECT_EQ(e->banks[0].raw_bytes, 17600u);
}

TEST_F(EbInfoTest, SeedsComeFromTheGeneratorInRange) {
    store_geometry g = small_store_geometry(4);
    init(g);
    table()->random[0] = 1;
    table()->random[1] = 2;
    EXPECT_EQ(ebinfo_next_seed(&channel_), 20106);
    EXPECT_EQ(ebinfo_next_seed(&channel_), 9253);
    EXPECT_EQ(ebinfo_next_seed(&channel_), 29700);
    for (int i = 0; i < 20000; i++) {
        USHORT s = ebinfo_next_seed(&channel_);
        ASSERT_GE(s, 1);
        ASSERT_LE(s, 32766);
    }
    InterlockedExchange(&eb_headers_plain, 1);
    EXPECT_EQ(ebinfo_next_seed(&channel_), 0) << "plain headers have seed 0";
}

TEST_F(EbInfoTest, ErasedListKeepsWearOrderAndSpreadsThePick) {
    init(small_store_geometry(8));
    const LONG counts[8] = {5, 3, 3, 9, 3, 1, 7, 3};
    for (USHORT eb = 0; eb < 8; eb++) info(eb)->erase_count = counts[eb];
    for (USHORT eb = 0; eb < 8; eb++) ebinfo_erased_list_add(&channel_, eb);
    ebinfo_erased_list_add(&channel_, 2);  // already linked
    ebinfo_erased_list_add(&channel_, 5);  // the head
    std::vector<USHORT> order;
    for (USHORT at = table()->erased_head; at != EB_NONE; at = info(at)->erased_next) order.push_back(at);
    EXPECT_EQ(order, (std::vector<USHORT>{5, 1, 2, 4, 7, 0, 6, 3})) << "sorted by wear, ties in arrival order";
    EXPECT_EQ(table()->erased_count, 8u);
    ULONG64 eb_capacity = 512ull * 65536;
    EXPECT_EQ(table()->erased_list_capacity, 8 * eb_capacity);

    // The pick spreads over the run of least-worn members: here only EB 5.
    static ULONG64 clock;
    table()->pick_clock = [] { return clock; };
    USHORT eb;
    clock = 123456;
    ASSERT_EQ(ebinfo_pick_erased_eb(&channel_, &eb), 0);
    EXPECT_EQ(eb, 5);
    // Now four members share the least wear: the clock chooses among all of them.
    for (ULONG step = 0; step < 4; step++) {
        clock = step * 10;  // x 100 / 1000 = step
        std::vector<USHORT> now;
        for (USHORT at = table()->erased_head; at != EB_NONE; at = info(at)->erased_next) now.push_back(at);
        ASSERT_EQ(ebinfo_pick_erased_eb(&channel_, &eb), 0);
        EXPECT_EQ(eb, now[step]) << "the clock steps along the least-worn run";
        EXPECT_EQ(info(eb)->erased_next, EB_NONE);
        EXPECT_EQ(info(eb)->erased_prev, EB_NONE);
        ebinfo_erased_list_add(&channel_, eb);  // back for the next round (behind its peers)
    }
    clock = 40;  // 4 mod 4: the head again
    USHORT head = table()->erased_head;
    ASSERT_EQ(ebinfo_pick_erased_eb(&channel_, &eb), 0);
    EXPECT_EQ(eb, head);
    ebinfo_erased_list_add(&channel_, eb);

    // Drain: a single member is taken and the list is left empty; then -28.
    while (table()->erased_count > 1) ASSERT_EQ(ebinfo_pick_erased_eb(&channel_, &eb), 0);
    ASSERT_EQ(ebinfo_pick_erased_eb(&channel_, &eb), 0);
    EXPECT_EQ(table()->erased_head, EB_NONE);
    EXPECT_EQ(table()->erased_tail, EB_NONE);
    EXPECT_EQ(table()->erased_list_capacity, 0u);
    EXPECT_EQ(ebinfo_pick_erased_eb(&channel_, &eb), -28);
}

TEST_F(EbInfoTest, PositionsMapToSegmentsPadsAndBack) {
    init(small_store_geometry(4));
    // EB 2: bank 1 lost a pad, so its segments hold half.
    info(2)->banks[1].saved_mask = 0x1;
    ebinfo_recompute_eb(&channel_, 2);
    EXPECT_EQ(ebinfo_eb_capacity(&channel_, 2), 32768u + 16384u);
    EXPECT_EQ(ebinfo_eb_cached_capacity(&channel_, 2), 512u * 49152);
    EXPECT_EQ(ebinfo_eb_base_capacity(&channel_, 2), 35200u + 17600u);

    struct pos_case {
        ULONG64 offset;
        ULONG segment;
        ULONG in_segment;
        LONG64 length;
    } cases[] = {
        {0, 0, 0, 32768},
        {32767, 0, 32767, 32768},
        {32768, 1, 0, 16384},
        {49151, 1, 16383, 16384},
        {49152, 2, 0, 32768},
        {49152ull * 511 + 40000, 1023, 40000 - 32768, 16384},
    };
    for (const auto& c : cases) {
        ULONG64 address = 0;
        ASSERT_EQ(ebinfo_offset_to_pad(&channel_, 2, c.offset, &address), c.length) << c.offset;
        EXPECT_EQ(eb_addr_eb(address), 2);
        EXPECT_EQ(eb_addr_segment(address), c.segment) << c.offset;
        EXPECT_EQ(eb_addr_offset(address), c.in_segment) << c.offset;
        ULONG length = 0;
        EXPECT_EQ(ebinfo_addr_to_offset(&channel_, address, &length), c.offset);
        EXPECT_EQ((LONG64)length, c.length);
    }
    ULONG64 address;
    EXPECT_EQ(ebinfo_offset_to_pad(&channel_, 2, 512ull * 49152, &address), -22) << "past the block";
    EXPECT_EQ(ebinfo_capacity_to_pad(&channel_, 2, 3), 49152u + 32768u);
    ULONG length = 7;
    EXPECT_EQ(ebinfo_addr_to_offset(&channel_, eb_addr_pack(EB_NONE, 3, 9), &length), 0u);
    EXPECT_EQ(length, 0u);

    // Raw advance: 35200 raw bytes in bank 0's segments, 17600 in bank 1's.
    address = eb_addr_pack(2, 0, 35000);
    ASSERT_EQ(ebinfo_addr_advance(&channel_, &address, 200), 0);
    EXPECT_EQ(address, eb_addr_pack(2, 1, 0));
    ASSERT_EQ(ebinfo_addr_advance(&channel_, &address, 17600 + 35200 + 5), 0);
    EXPECT_EQ(address, eb_addr_pack(2, 3, 5));
    address = eb_addr_pack(2, 1023, 17000);
    EXPECT_EQ(ebinfo_addr_advance(&channel_, &address, 600), -22) << "the last segment's end";

    // Bytes spread over the usable pads one by one; the parity pad stands in for a failed one.
    EXPECT_EQ(ebinfo_addr_normalize(&channel_, eb_addr_pack(2, 0, 0), -1), 0);
    EXPECT_EQ(ebinfo_addr_normalize(&channel_, eb_addr_pack(2, 0, 1), -1), 1);
    EXPECT_EQ(ebinfo_addr_normalize(&channel_, eb_addr_pack(2, 0, 35201), -1), 2 * 1 + 0)
        << "carried into segment 1, bank 1's only pad";
    // A bank without pads holds no byte; a block without pads has no offsets.
    info(3)->banks[1].saved_mask = 0;
    info(3)->banks[0].saved_mask = 0;
    ebinfo_recompute_eb(&channel_, 3);
    EXPECT_EQ(ebinfo_addr_normalize(&channel_, eb_addr_pack(3, 1, 0), -1), -22);
    EXPECT_EQ(ebinfo_offset_to_pad(&channel_, 3, 0, &address), -22);
}

TEST_F(EbInfoTest, StrideLimitAndPacketPlacement) {
    init(small_store_geometry(4));
    table()->layout = {131072, 10400, 512, 520};
    ULONG64 capacity = 512ull * 65536;
    ULONG64 limit = (capacity - 10400 - 131072) / 520 * 520 + 131072;
    EXPECT_EQ(ebinfo_stride_limit(&channel_, 1, &table()->layout), limit);
    EXPECT_EQ(table()->capacity_cache[1].stride_limit, limit) << "cached";
    // A block smaller than its reserves: the limit is the data start, not a wrapped value.
    eb_layout huge = {131072, 40u << 20, 512, 520};
    EXPECT_EQ(ebinfo_stride_limit(&channel_, 1, &huge), 131072u);
    eb_layout no_stride = {4096, 0, 512, 0};
    EXPECT_EQ(ebinfo_stride_limit(&channel_, 1, &no_stride), 4096u);

    // Placement: fits in the segment -> 0; else to the segment's end plus the way to the next
    // stride boundary.
    eb_layout layout = {0, 0, 512, 520};
    ULONG64 address = eb_addr_pack(1, 0, 1000);
    EXPECT_EQ(ebinfo_map_packet_addr(&channel_, &layout, &address, 520), 0u);
    address = eb_addr_pack(1, 0, 32768 - 100);
    ULONG64 skipped = ebinfo_map_packet_addr(&channel_, &layout, &address, 520);
    EXPECT_EQ(address, eb_addr_pack(1, 0, 32768));
    EXPECT_EQ(skipped, 100u + (520 - 32768 % 520));
}

TEST_F(EbInfoTest, PadErrorsAndUsablePads) {
    init(small_store_geometry(4));
    ULONG percent = 0;
    EXPECT_EQ(ebinfo_count_usable_pads(&channel_, &percent), 0);
    EXPECT_EQ(percent, 100u) << "clamped: the reserve makes the denominator smaller than the pads";
    info(0)->mel_mark = EB_MEL_MAPPED_OUT;
    info(1)->banks[0].saved_mask = 0;
    ASSERT_EQ(ebinfo_count_usable_pads(&channel_, &percent), 0);
    // 10 pads in EBs 1-3 over (10000 - 200) x 4 x 2 x 2 / 10000 = 15.
    EXPECT_EQ(percent, 66u);
    table()->geometry.reserve_share = 10000;
    EXPECT_EQ(ebinfo_count_usable_pads(&channel_, &percent), -2) << "no room left after the reserve";

    for (int i = 0; i < 300; i++) ebinfo_record_pad_error(&channel_, 2, 3, (UCHAR)(i % 7));
    EXPECT_EQ(info(2)->error_level[3], 6);
    ULONG bitmap[EB_PAD_WORDS];
    ebinfo_get_error_bitmap(&channel_, 2, bitmap);
    EXPECT_EQ(bitmap[0], 1u << 3);
    UCHAR counts[240];
    ebinfo_take_pad_error_counts(&channel_, counts);
    EXPECT_EQ(counts[1 * 30 + 1], 255) << "pad index 3 = bank 1, pad 1, saturating";
    ebinfo_take_pad_error_counts(&channel_, counts);
    EXPECT_EQ(counts[1 * 30 + 1], 0) << "taken";

    info(2)->bank_failed[0] = 1;
    ebinfo_mark_failed_banks(&channel_, 2);
    EXPECT_EQ(info(2)->error_level[0], EB_BANK_FAILED_LEVEL);
    EXPECT_EQ(info(2)->error_level[1], EB_BANK_FAILED_LEVEL);
    EXPECT_EQ(info(2)->error_level[2], 0);
    EXPECT_EQ(ebinfo_check_usable_pads(&channel_, 2), 0);
    table()->geometry.min_usable_pads = 2;
    EXPECT_EQ(ebinfo_check_usable_pads(&channel_, 2), -28);
}

TEST_F(EbInfoTest, EraseAndPreparationBookkeeping) {
    init(small_store_geometry(4));
    eb_info* e = info(1);
    e->last_written_segment = 7;
    e->header_flags = EB_HFLAG_READ_FAILED | EB_HFLAG_BLANK;
    e->retired_pads[0] = 5;
    e->banks[0].saved_mask = 0x1;
    ebinfo_note_erase(&channel_, 1);
    EXPECT_EQ(e->erase_count, 1);
    EXPECT_EQ(e->header_state, EB_HEADER_ERASED);
    EXPECT_EQ(e->last_written_segment, EB_NONE);
    EXPECT_EQ(e->header_flags, EB_HFLAG_BLANK);
    EXPECT_EQ(e->retired_pads[0], 0u);
    EXPECT_EQ(table()->erased_total, 512ull * 65536);
    EXPECT_EQ(table()->history[0].eb, 1);
    EXPECT_EQ(table()->history[0].kind, 1);

    e->condition = EB_COND_REERASE;
    ebinfo_prepare_erased(&channel_, 1);
    EXPECT_EQ(e->erase_count, 2) << "a pending re-erase is booked first";
    EXPECT_EQ(e->condition, EB_COND_BLANK);
    EXPECT_NE(e->seed, 0);
    EXPECT_EQ(e->header_flags & EB_HFLAG_BLANK, 0);
    EXPECT_NE(e->flags & EB_FLAG_RELAXED_SPLIT, 0);
    EXPECT_EQ(e->banks[0].raw_mask, 0x1u) << "the saved mask survives";
    EXPECT_EQ(table()->history[2].kind, 0);

    // The condition mostly rises; blank gives way to anything.
    ebinfo_raise_condition(&channel_, 1, EB_COND_HEADER_READ);
    EXPECT_EQ(e->condition, EB_COND_HEADER_READ);
    ebinfo_raise_condition(&channel_, 1, EB_COND_UNKNOWN);
    EXPECT_EQ(e->condition, EB_COND_HEADER_READ);
}

TEST_F(EbInfoTest, ThePipelineReadsTheBlockGeometry) {
    init(small_store_geometry(4));
    channel_.geometry.pads = 2;
    channel_.geometry.rows_per_eb = 512;
    info(2)->banks[1].saved_mask = 0x1;
    ebinfo_recompute_eb(&channel_, 2);
    EXPECT_EQ(eb_row_capacity(&channel_, 2), 49152u);
    EXPECT_EQ(eb_pad_capacity(&channel_, 2, 1), 16384u);
    eb_place place;
    ASSERT_TRUE(eb_locate(&channel_, 2, 49152 + 40000, &place));
    EXPECT_EQ(place.row, 1u);
    EXPECT_EQ(place.pad, 1u);
    EXPECT_EQ(place.in_pad, 40000u - 32768);
    EXPECT_EQ(eb_usable_length(&channel_, 2), 512u * 49152);
    ebinfo_exit(&channel_);
    EXPECT_EQ(eb_row_capacity(&channel_, 2), 2u * channel_.geometry.page_size) << "uniform again";
}

TEST_F(EbInfoTest, UsableBitSelection) {
    EXPECT_EQ(mask_select_bit(0, 0, 0xF, 0), -1);
    EXPECT_EQ(mask_select_bit(1, 0, 0, 3), -1);
    EXPECT_EQ(mask_select_bit(1, 0, 0b101100, 0), 5);
    EXPECT_EQ(mask_select_bit(1, 0, 0b101100, 1), 3);
    EXPECT_EQ(mask_select_bit(1, 0, 0b101100, 2), 2);
    EXPECT_EQ(mask_select_bit(1, 0, 0b101100, 3), 5);
}

}  // namespace
