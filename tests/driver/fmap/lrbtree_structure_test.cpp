// The forward map's fixed structure: shard arithmetic, key widths and layouts, the on-media
// encodings of nodes and entries, the circular slot array, the node search and the header block.
#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "driver/fmap/lrbtree_node.h"
#include "sim/kernel/control.h"
#include "tests/driver/fmap/lrbtree_check.h"
#include "tests/driver/log/log_fixture.h"

namespace {

class LrbStructure : public MetadataTest {
  protected:
    // A map over sector space S with a fresh header block.
    lrbtree* make_map(test_log& t, uint64_t s) {
        lrbtree* map = nullptr;
        EXPECT_EQ(lrbtree_create(&map, &t.log, s, s), 0);
        if (map != nullptr) {
            EXPECT_EQ(lrbtree_reset(map), 0);
        }
        return map;
    }
};

struct shard_case {
    uint64_t s;
    ULONG sector_shift;
    ULONG sector_shards;
    ULONG reserved_shards;
    ULONG key_width;
    ULONG leaf_entry_size;
};

TEST_F(LrbStructure, ShardArithmeticFollowsTheSectorSpace) {
    const shard_case cases[] = {
        {1, 17, 1, 256, 24, 8},
        {0x1FFFF, 17, 1, 256, 24, 8},
        {1ull << 30, 17, 8192, 256, 24, 8},
        {(1ull << 30) + 1, 17, 8193, 256, 24, 8},
        {3ull << 37, 23, 49152, 256, 24, 8},
        {1ull << 40, 24, 65536, 256, 24, 8},
        {(1ull << 40) + 1, 32, 257, 1, 32, 9},
        {1ull << 48, 32, 65536, 1, 32, 9},
        // The bit-length rule alone gives 65537 shards here; the next shift fits the root table.
        {(1ull << 33) + 1, 18, 32769, 256, 24, 8},
        {(1ull << 39) + 65535, 24, 32769, 256, 24, 8},
    };
    test_log t(4, 100);
    for (const shard_case& c : cases) {
        SCOPED_TRACE("S = " + std::to_string(c.s));
        lrbtree* map = nullptr;
        ASSERT_EQ(lrbtree_create(&map, &t.log, c.s, c.s), 0);
        EXPECT_EQ(map->sector_shift, c.sector_shift);
        EXPECT_EQ(map->sector_shards, c.sector_shards);
        EXPECT_LE(map->sector_shards, LRB_SECTOR_ROOTS);
        EXPECT_EQ(map->total_shards - map->sector_shards, c.reserved_shards);
        EXPECT_EQ(map->shape.key_width, c.key_width);
        EXPECT_EQ(map->shape.leaf_layout.entry_size, c.leaf_entry_size);
        EXPECT_EQ(map->shape.index_kind, 4u);
        // Every key of both ranges lies in the shard the arithmetic names.
        uint64_t keys[] = {0, c.s / 2, c.s - 1, LRB_RESERVED_BASE, LRB_RESERVED_BASE + 0x12345678, LRB_KEY_END - 1};
        for (uint64_t k : keys) {
            ULONG shard = lrbtree_shard_of(map, k);
            ASSERT_LT(shard, map->total_shards);
            EXPECT_LE(lrbtree_shard_base(map, shard), k);
            EXPECT_GT(lrbtree_shard_base(map, shard) + lrbtree_shard_span(map, shard), k);
        }
        EXPECT_EQ(lrbtree_shard_of(map, LRB_RESERVED_BASE), map->sector_shards);
        EXPECT_EQ(lrbtree_shard_of(map, LRB_KEY_END - 1), map->total_shards - 1);
        if (c.s < LRB_RESERVED_BASE - 1) {
            EXPECT_EQ(lrbtree_shard_of(map, c.s), 0u) << "a key between S and the reserved range";
            EXPECT_EQ(lrbtree_shard_of(map, LRB_RESERVED_BASE - 1), 0u);
        }
        lrbtree_destroy(&map);
    }
}

TEST_F(LrbStructure, SectorSpaceOutsideItsBoundsIsRefused) {
    test_log t(4, 100);
    lrbtree* map = reinterpret_cast<lrbtree*>(1);
    EXPECT_EQ(lrbtree_create(&map, &t.log, 0, 0), -22);
    EXPECT_EQ(map, nullptr);
    EXPECT_EQ(lrbtree_create(&map, &t.log, 1, (1ull << 48) + 1), -22);
    EXPECT_EQ(map, nullptr);
}

TEST_F(LrbStructure, CreateWithoutMemoryLeavesNothing) {
    test_log t(4, 100);
    for (uint64_t nth = 1; nth <= 2; nth++) {
        sim::kernel::fail_nth(sim::kernel::fault_site::pool, nth, "vml4");
        lrbtree* map = nullptr;
        EXPECT_EQ(lrbtree_create(&map, &t.log, 1 << 20, 1 << 20), -12);
        EXPECT_EQ(map, nullptr);
        sim::kernel::clear_faults();
    }
}

TEST_F(LrbStructure, LayoutsFollowTheEntrySizes) {
    struct {
        ULONG kind, entry_size, capacity, fill_target;
    } const table[] = {{1, 8, 508, 339}, {3, 9, 451, 301}, {5, 11, 369, 246}, {4, 12, 338, 226}, {6, 14, 290, 194}};
    lrbtree_shape shape{};
    for (auto& row : table) {
        lrbtree_layout layout;
        lrbtree_layout_init(&shape, &layout, row.kind);
        EXPECT_EQ(layout.entry_size, row.entry_size) << row.kind;
        EXPECT_EQ(layout.capacity, row.capacity) << row.kind;
        EXPECT_EQ(layout.fill_target, row.fill_target) << row.kind;
        EXPECT_EQ(layout.header_size, 32u);
    }
}

TEST_F(LrbStructure, LeafEntriesKeepTheirBytes) {
    // A 64-key run with the largest valid address, in each key width.
    lrbtree_leaf_rec rec = {0xABCDEF, 0x3FFFFFFFE, 64};
    UCHAR e[16];
    std::memset(e, 0xEE, sizeof e);
    lrb_leaf_encode(LRB_KIND_LEAF24, e, &rec);
    const UCHAR expected24[8] = {0xEF, 0xCD, 0xAB, 0xC0 | 63, 0xFE, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(std::memcmp(e, expected24, 8), 0);
    EXPECT_EQ(e[8], 0xEE) << "the entry stays in its 8 bytes";

    for (ULONG kind : {LRB_KIND_LEAF24, LRB_KIND_LEAF32, LRB_KIND_LEAF48}) {
        for (lrbtree_leaf_rec r : {lrbtree_leaf_rec{0xABCDEF, 0x3FFFFFFFE, 64}, lrbtree_leaf_rec{0, 0, 1},
                                   lrbtree_leaf_rec{0x123456, 0x100000000, 17}, lrbtree_leaf_rec{0xFFFFFF, 16, 33}}) {
            lrbtree_leaf_rec back{};
            lrb_leaf_encode(kind, e, &r);
            lrb_leaf_decode(kind, e, &back);
            EXPECT_EQ(back.key, r.key);
            EXPECT_EQ(back.gpkt, r.gpkt);
            EXPECT_EQ(back.length, r.length);
        }
    }
    lrbtree_leaf_rec wide = {0xFFFFFFFFFFFF, 5, 2};
    lrbtree_leaf_rec back{};
    lrb_leaf_encode(LRB_KIND_LEAF48, e, &wide);
    lrb_leaf_decode(LRB_KIND_LEAF48, e, &back);
    EXPECT_EQ(back.key, wide.key);
    EXPECT_EQ(e[6], 1) << "length byte of the 48-bit layout";

    lrbtree_index_rec child = {0x123456789ABC, 0x7FF0123456789ABCull << 1};
    lrbtree_index_rec child_back{};
    lrb_index_encode(LRB_KIND_INDEX48, e, &child);
    EXPECT_EQ(lrb_get64(e), child.child) << "the 14-byte layout starts with the child";
    lrb_index_decode(LRB_KIND_INDEX48, e, &child_back);
    EXPECT_EQ(child_back.key, child.key);
    lrb_index_encode(LRB_KIND_INDEX32, e, &child);
    EXPECT_EQ(lrb_get32(e), (ULONG)child.key) << "the 12-byte layout starts with the key";
    EXPECT_EQ(lrb_get64(e + 4), child.child);
}

// The slot array against a plain vector: inserts and removals at random places, across the
// wrap-around of the circular array.
TEST_F(LrbStructure, SlotArrayKeepsLogicalOrderAcrossTheWrap) {
    lrbtree_shape shape{};
    lrbtree_layout layout;
    lrbtree_layout_init(&shape, &layout, LRB_KIND_LEAF24);
    alignas(8) static lrb_node node;
    std::memset(&node, 0, sizeof node);
    std::vector<uint64_t> expected;
    std::mt19937_64 rng(11);
    uint64_t next_key = 1;
    auto check = [&](int step) {
        ASSERT_EQ(node.h.count, expected.size()) << step;
        ASSERT_LT(node.h.head, layout.capacity) << step;
        for (ULONG i = 0; i < node.h.count; i++) {
            ASSERT_EQ(lrb_leaf_key(&layout, &node, i), expected[i]) << "step " << step << " entry " << i;
        }
    };
    for (int step = 0; step < 20000; step++) {
        bool insert = expected.empty() || (expected.size() + 3 <= layout.capacity && rng() % 2 == 0);
        ULONG n = 1 + (ULONG)(rng() % 3);
        if (insert) {
            ULONG pos = (ULONG)(rng() % (expected.size() + 1));
            lrbtree_entries_insert_slots(&layout, &node, pos, n);
            for (ULONG i = 0; i < n; i++) {
                lrbtree_leaf_rec rec = {next_key & 0xFFFFFF, 16, 1};
                lrb_leaf_put(&layout, &node, pos + i, &rec);
                expected.insert(expected.begin() + pos + i, next_key & 0xFFFFFF);
                next_key++;
            }
        } else {
            n = std::min<ULONG>(n, (ULONG)expected.size());
            ULONG pos = (ULONG)(rng() % (expected.size() - n + 1));
            lrbtree_entries_remove(&layout, &node, pos, n);
            expected.erase(expected.begin() + pos, expected.begin() + pos + n);
        }
        check(step);
    }
}

// Leaf and index search against a linear scan, over evenly spread, clustered and sparse keys
// (clusters defeat interpolation, so the bisection fallback is used).
TEST_F(LrbStructure, SearchFindsWhatALinearScanFinds) {
    lrbtree_shape shape{};
    lrbtree_layout leaf;
    lrbtree_layout index;
    lrbtree_layout_init(&shape, &leaf, LRB_KIND_LEAF24);
    lrbtree_layout_init(&shape, &index, LRB_KIND_INDEX32);
    alignas(8) static lrb_node node;
    std::mt19937_64 rng(5);
    for (int round = 0; round < 300; round++) {
        ULONG n = (ULONG)(rng() % leaf.capacity) + 1;
        std::vector<lrbtree_leaf_rec> runs;
        uint64_t key = rng() % 100;
        for (ULONG i = 0; i < n; i++) {
            ULONG length = 1 + (ULONG)(rng() % 64);
            runs.push_back({key, 16, length});
            uint64_t gap = round % 3 == 0 ? 0 : round % 3 == 1 ? rng() % 5 : (i == n / 2 ? 1000000 : rng() % 3);
            key += length + gap;
        }
        std::memset(&node, 0, sizeof node);
        node.h.head = (USHORT)(rng() % leaf.capacity);
        lrbtree_entries_insert_slots(&leaf, &node, 0, n);
        node.h.head = (USHORT)((node.h.head + rng() % leaf.capacity) % leaf.capacity);
        lrbtree_leaf_write(&leaf, &node, 0, runs.data(), n);
        uint64_t high = key + 100;
        for (int probe = 0; probe < 200; probe++) {
            uint64_t k = rng() % high;
            ULONG want = 0;
            while (want < n && runs[want].key + runs[want].length <= k) want++;
            ASSERT_EQ(lrbtree_leaf_search(&leaf, &node, k, 0, high), want) << "round " << round << " key " << k;
        }

        ULONG m = std::min<ULONG>(n, index.capacity);
        std::memset(&node, 0, sizeof node);
        node.h.level = 1;
        lrbtree_entries_insert_slots(&index, &node, 0, m);
        for (ULONG i = 0; i < m; i++) {
            lrbtree_index_rec rec = {runs[i].key, 8 * (i + 1)};
            lrb_index_put(&index, &node, i, &rec);
        }
        for (int probe = 0; probe < 200; probe++) {
            uint64_t k = rng() % high;
            LONG want = 0;
            while (want + 1 < (LONG)m && runs[want + 1].key <= k) want++;
            ULONG64 lo = 0, hi = 0;
            ASSERT_EQ(lrbtree_index_search(&index, &node, k, &lo, &hi, 0, high), want) << "round " << round;
            EXPECT_EQ(lo, want == 0 ? 0 : runs[want].key);
            EXPECT_EQ(hi, want + 1 < (LONG)m ? runs[want + 1].key : high);
        }
    }
    // An index node with one entry sends every key to it; with two, entry 1's key goes to 1.
    std::memset(&node, 0, sizeof node);
    node.h.level = 1;
    lrbtree_entries_insert_slots(&index, &node, 0, 1);
    lrbtree_index_rec only = {500, 8};
    lrb_index_put(&index, &node, 0, &only);
    ULONG64 lo, hi;
    EXPECT_EQ(lrbtree_index_search(&index, &node, 3, &lo, &hi, 0, 1000), 0);
    EXPECT_EQ(lrbtree_index_search(&index, &node, 999, &lo, &hi, 0, 1000), 0);
    lrbtree_entries_insert_slots(&index, &node, 1, 1);
    lrbtree_index_rec second = {700, 16};
    lrb_index_put(&index, &node, 1, &second);
    EXPECT_EQ(lrbtree_index_search(&index, &node, 699, &lo, &hi, 0, 1000), 0);
    EXPECT_EQ(lrbtree_index_search(&index, &node, 700, &lo, &hi, 0, 1000), 1);
    std::memset(&node, 0, sizeof node);
    EXPECT_EQ(lrbtree_index_search(&index, &node, 700, &lo, &hi, 0, 1000), -2);
    EXPECT_EQ(lrbtree_leaf_search(&leaf, &node, 700, 0, 1000), 0u);
}

TEST_F(LrbStructure, ResetWritesTheHeaderBlock) {
    test_log t(4, 100);
    lrbtree* map = make_map(t, 1 << 20);
    ASSERT_NE(map->shape.header, nullptr);
    EXPECT_EQ(map->shape.header->key, LRB_HEADER_KEY);
    const UCHAR* page = (const UCHAR*)map->shape.header->page;
    EXPECT_EQ(page[0], 6);
    EXPECT_EQ(page[2] & 15, 15);
    EXPECT_EQ(lrb_get32(page + 12), 24u);
    EXPECT_EQ(lrb_get64(page + 136), LRB_FIRST_NODE_ID + 1);
    EXPECT_EQ(lrb_get64(page + 144), LRB_FIRST_NODE_ID);
    EXPECT_EQ(lrb_get64(page + 152), LRB_LAST_NODE_ID);
    for (int i = 160; i < 4096; i++) ASSERT_EQ(page[i], 0) << i;
    EXPECT_NE(map->shape.header->flags & MBLK_FLAG_DIRTY, 0);

    // The first write makes a leaf under a level-1 root whose separator is the leaf's first key,
    // both from the node-key range, and the header block counts them.
    lrbtree_update_rec rec = {1000, 5, t.addr(0, 0), 0, 0};
    ASSERT_EQ(lrbtree_update(map, &rec, 1), 0);
    const mblk* root = (const mblk*)map->roots[0];
    ASSERT_NE(root, nullptr);
    EXPECT_GT(root->key, LRB_FIRST_NODE_ID);
    EXPECT_LE(root->key, LRB_LAST_NODE_ID);
    const lrb_node* r = lrb_node_of(root);
    EXPECT_EQ(r->h.level, 1 | LRB_ROOT_FLAG);
    EXPECT_EQ(r->h.kind, 4);
    EXPECT_EQ(r->h.count, 1);
    EXPECT_EQ(lrb_index_key(&map->shape.index_layout, r, 0), 1000u);
    const lrb_node* leaf = lrb_node_of(lrb_index_child(&map->shape.index_layout, r, 0));
    EXPECT_EQ(leaf->h.kind, 1);
    EXPECT_EQ(leaf->h.level, 0);
    const lrb_header_block* header = lrb_header_of(&map->shape);
    EXPECT_EQ(header->last_root, root->key);
    EXPECT_EQ(header->leaf_nodes, 1u);
    EXPECT_EQ(header->index_nodes, 1u);
    EXPECT_EQ(header->mapped_keys, 5u);
    EXPECT_EQ(lrb_check_map(map), "");
    lrbtree_destroy(&map);
}

TEST_F(LrbStructure, BorrowRefusesLevelsBeyondThePath) {
    test_log t(4, 100);
    lrbtree* map = make_map(t, 1 << 20);
    lrbtree_cursor cursor;
    lrbtree_cursor_open(map, 0, &cursor);
    lrbtree_path from;
    lrbtree_path to;
    lrbtree_path_reset(&from);
    lrbtree_path_reset(&to);
    EXPECT_EQ(lrbtree_cursor_borrow(&cursor, &to, &from, 4), 0);
    EXPECT_EQ(lrbtree_cursor_borrow(&cursor, &to, &from, 5), -22);
    EXPECT_TRUE(logged("paverr Corvane driver: 22534 lrbtree_cursor_borrow() called with invalid level: 5.\n"));
    lrbtree_cursor_close(&cursor);
    lrbtree_destroy(&map);
}

}  // namespace
