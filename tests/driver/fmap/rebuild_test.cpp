// The forward map rebuilt after an unclean stop, by the reverse map and by the reverse sort,
// against a plain table of what a scan of the log saw: a random log of data runs and trims
// (at the write position of their time, at older positions, between LEBs and before the first
// one) over a chain whose LEB numbers are not in write order. Both rebuilds must map every
// sector to the packet the table says, set each LEB's valid count to what it maps there, pass
// the tree checks, and survive a save and load.
//
// Replay a failure with the seed it prints: REBUILD_SEED=<seed> fmap_tests --gtest_filter=Rebuild*
#include <algorithm>
#include <map>
#include <random>

#include "driver/fmap/rmap.h"
#include "driver/fmap/rsort.h"
#include "driver/log/pbitmap.h"
#include "driver/platform/errno_table.h"
#include "tests/driver/fmap/lrbtree_check.h"
#include "tests/driver/fmap/lrbtree_model.h"
#include "tests/driver/log/log_fixture.h"
#include "tests/support/env.h"

namespace {

// What the scan saw, in log order.
struct scan_event {
    bool trim;
    uint64_t start;
    uint64_t length;
    USHORT leb;        // data: the packets' LEB
    ULONG offset;      // data: the first packet's offset
    uint64_t position; // data: write position of its first packet; trim: the position it cuts below
};

// A log whose chain visits LEBs in a shuffled order, with growing sequences (gaps of 64 and
// more), and LEBs of different usable sizes.
struct rebuild_log {
    test_log t;
    std::vector<USHORT> order;  // LEBs in write order
    std::vector<leb_counters> counters;

    rebuild_log(ULONG lebs, ULONG packets, std::mt19937_64& rng) : t(lebs, packets), counters(lebs) {
        t.set_capacities([packets](ULONG leb) { return packets - (leb % 4) * 7; });
        for (USHORT i = 0; i < lebs; i++) order.push_back(i);
        std::shuffle(order.begin(), order.end(), rng);
        uint64_t sequence = 64;
        for (size_t k = 0; k < order.size(); k++) {
            leb_record& r = t.lebs[order[k]];
            r.sequence = sequence;
            sequence += 64 * (1 + rng() % 3);
            r.next = k + 1 < order.size() ? order[k + 1] : PAV_NO_LEB;
            r.previous = k > 0 ? order[k - 1] : PAV_NO_LEB;
        }
        t.log.head_leb = order[0];
        t.log.counters = counters.data();
    }
    uint64_t position(USHORT leb, ULONG offset) const { return t.lebs[leb].sequence << 24 | offset; }
};

// Per sector: the packet and write position of its newest data, or unmapped.
struct table_slot {
    bool mapped = false;
    uint64_t gpkt = 0;
    uint64_t position = 0;
};

std::vector<scan_event> random_scan(rebuild_log& log, uint64_t sectors, std::mt19937_64& rng, size_t events) {
    std::vector<scan_event> scan;
    size_t k = 0;
    ULONG offset = 0;
    auto pick = [&](uint64_t lo, uint64_t hi) { return std::uniform_int_distribution<uint64_t>(lo, hi)(rng); };
    for (size_t e = 0; e < events && k < log.order.size(); e++) {
        USHORT leb = log.order[k];
        ULONG capacity = datalog_leb_capacity(&log.t.log, leb);
        uint64_t start = pick(0, 99) < 30 ? pick(0, std::min<uint64_t>(600, sectors - 1)) : pick(0, sectors - 1);
        if (pick(0, 99) < 15) {
            scan_event trim{true, start, std::min(sectors - start, pick(1, 700)), 0, 0, 0};
            uint64_t kind = pick(0, 9);
            if (kind < 5) {
                trim.position = log.position(leb, offset);  // the write position of its time
            } else if (kind < 8) {
                size_t o = pick(0, k);
                trim.position = log.position(log.order[o], (ULONG)pick(0, o == k ? offset : capacity));
            } else if (kind < 9 && k > 0) {
                // Between two LEBs written before the current one (a trim is never ahead of the
                // write position).
                USHORT older = log.order[pick(0, k - 1)];
                trim.position = (log.t.lebs[older].sequence + 32) << 24 | pick(0, 100);
            } else if (kind < 9) {
                trim.position = log.position(leb, offset);
            } else {
                trim.position = pick(0, 63) << 24;  // before the first LEB
            }
            scan.push_back(trim);
            continue;
        }
        uint64_t length = std::min<uint64_t>({sectors - start, pick(0, 3) == 0 ? pick(1, 300) : pick(1, 40),
                                              (uint64_t)(capacity - offset)});
        scan.push_back({false, start, length, leb, offset, log.position(leb, offset)});
        offset += (ULONG)length;
        if (offset == capacity || pick(0, 99) < 2) {
            k++;
            offset = 0;
        }
    }
    return scan;
}

std::vector<table_slot> apply_scan(const rebuild_log& log, const std::vector<scan_event>& scan, uint64_t sectors) {
    std::vector<table_slot> table(sectors);
    for (const scan_event& e : scan) {
        for (uint64_t s = e.start; s < e.start + e.length; s++) {
            if (e.trim) {
                if (table[s].mapped && table[s].position < e.position) table[s] = {};
            } else {
                table[s] = {true, log.t.addr(e.leb, e.offset + (ULONG)(s - e.start)), e.position + (s - e.start)};
            }
        }
    }
    return table;
}

// Compares the map with the table sector by sector, and each LEB's valid count with what it
// maps there.
std::string compare(lrbtree* map, const rebuild_log& log, const std::vector<table_slot>& table) {
    std::vector<walk_report> reports;
    int rc = lrb_walk(map, 0, table.size(), false, &reports);
    if (rc != 0) return "walk result " + std::to_string(rc);
    std::vector<table_slot> seen(table.size());
    for (auto& r : reports) {
        for (uint64_t i = 0; r.data && i < r.length; i++) seen[r.start + i] = {true, r.gpkt + i, 0};
    }
    std::vector<long> valid(log.counters.size());
    for (uint64_t s = 0; s < table.size(); s++) {
        if (seen[s].mapped != table[s].mapped || seen[s].gpkt != table[s].gpkt) {
            return "sector " + std::to_string(s) + ": map " + (seen[s].mapped ? std::to_string(seen[s].gpkt) : "-") +
                   ", table " + (table[s].mapped ? std::to_string(table[s].gpkt) : "-");
        }
        if (table[s].mapped) valid[(table[s].gpkt - 16) / log.t.log.leb_span]++;
    }
    for (size_t leb = 0; leb < valid.size(); leb++) {
        if (valid[leb] != log.counters[leb].valid) {
            return "LEB " + std::to_string(leb) + " valid count " + std::to_string(log.counters[leb].valid) +
                   ", maps " + std::to_string(valid[leb]);
        }
    }
    return lrb_check_map(map);
}

class Rebuild : public MetadataTest {};

// Small shards (S below 2^17: one shard; else several), so that runs cross shard ends.
void rebuild_round(uint64_t seed, uint64_t sectors, size_t events, bool via_rsort) {
    std::mt19937_64 rng(seed);
    rebuild_log log(24, 3000, rng);
    std::vector<scan_event> scan = random_scan(log, sectors, rng, events);
    std::vector<table_slot> table = apply_scan(log, scan, sectors);
    SCOPED_TRACE("replay: REBUILD_SEED=" + std::to_string(seed) + (via_rsort ? " (reverse sort)" : " (reverse map)"));

    lrbtree* map = nullptr;
    ASSERT_EQ(lrbtree_create(&map, &log.t.log, sectors, sectors), 0);
    ASSERT_EQ(lrbtree_reset(map), 0);
    lrbtree_validity validity{nullptr, 0};
    if (via_rsort) {
        rsort_ctx* ctx = nullptr;
        ASSERT_EQ(rsort_create(&ctx, 1u << 20, &log.t.log, lrb_geometry_of(map).sector_shards), 0);
        // The scan's order does not matter to the sort: feed it backwards half the time.
        if (rng() % 2 == 0) std::reverse(scan.begin(), scan.end());
        for (const scan_event& e : scan) {
            lrbtree_range range{e.start, e.length};
            int rc = e.trim ? rsort_add_at_log_position(ctx, &range, e.position)
                            : rsort_add(ctx, &range, false, e.leb, e.offset);
            ASSERT_EQ(rc, 0);
        }
        ASSERT_EQ(rsort_build_forward_map(map, ctx, &validity), 0);
        rsort_destroy(&ctx);
    } else {
        rmap_tree* rmap = nullptr;
        ASSERT_EQ(rmap_create(&rmap, sectors, &log.t.log), 0);
        for (const scan_event& e : scan) {
            if (e.trim) {
                lrbtree_range range{e.start, e.length};
                rmap_trim_range(rmap, &range, e.position);
                EXPECT_EQ(range.start, e.start + e.length);
            } else {
                ASSERT_EQ(rmap_set_range(rmap, e.start, e.length, e.leb, e.offset), 0);
            }
        }
        ASSERT_EQ(rmap_build_forward_map(map, rmap, &validity), 0);
        rmap_destroy(&rmap);
    }
    std::string err = compare(map, log, table);
    EXPECT_EQ(err, "");

    // And after a clean stop.
    if (err.empty()) {
        ASSERT_EQ(lrb_restart(&map, &log.t.log, sectors, sectors), 0);
        EXPECT_EQ(compare(map, log, table), "");
    }
    lrbtree_destroy(&map);
}

TEST_F(Rebuild, ReverseMapAndReverseSortAgreeWithTheTable) {
    uint64_t seed = env_number("REBUILD_SEED", std::random_device{}());
    RecordProperty("seed", std::to_string(seed));
    std::printf("seed %llu\n", (unsigned long long)seed);
    // One shard; several (S = 3.5 shards of 2^17); a few events; many.
    const std::pair<uint64_t, size_t> rounds[] = {{5000, 3000}, {(7ull << 17) / 2, 20000}, {300, 40}, {70000, 60000}};
    for (auto [sectors, events] : rounds) {
        for (bool via_rsort : {false, true}) {
            rebuild_round(seed + sectors, sectors, events, via_rsort);
            if (HasFailure()) return;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// The cases the rules name

struct small_log : public test_log {
    std::vector<leb_counters> counters;
    small_log() : test_log(8, 1000), counters(8) { log.counters = counters.data(); }
};

std::vector<walk_report> data_runs(lrbtree* map, uint64_t a, uint64_t b) {
    std::vector<walk_report> reports;
    EXPECT_EQ(lrb_walk(map, a, b, false, &reports), 0);
    std::vector<walk_report> data;
    for (auto& r : reports) {
        if (r.data) data.push_back(r);
    }
    return data;
}

TEST_F(Rebuild, NewerDataWinsAndTrimsCutOnlyOlderData) {
    small_log t;
    // LEB 2 was written before LEB 3 (sequences 192 and 256).
    for (bool via_rsort : {false, true}) {
        lrbtree* map = nullptr;
        ASSERT_EQ(lrbtree_create(&map, &t.log, 4096, 4096), 0);
        ASSERT_EQ(lrbtree_reset(map), 0);
        // Data [100, 108) from LEB 2 then LEB 3 (sequence 7 wins); a trim of [100, 104) at
        // LEB 3's position 500, after both; then data [300, 308) at LEB 3 and a trim of it at
        // a position before it (cuts nothing).
        lrbtree_range first{100, 8}, trim{100, 4}, later{300, 8};
        uint64_t trim_at = 256ull << 24 | 500;
        uint64_t old_trim = 192ull << 24 | 999;
        if (via_rsort) {
            rsort_ctx* ctx = nullptr;
            ASSERT_EQ(rsort_create(&ctx, 1000, &t.log, 1), 0);
            // Out of write order on purpose: the ordered addresses decide.
            ASSERT_EQ(rsort_add_at_log_position(ctx, &trim, trim_at), 0);
            ASSERT_EQ(rsort_add(ctx, &first, false, 3, 10), 0);
            ASSERT_EQ(rsort_add(ctx, &first, false, 2, 20), 0);
            ASSERT_EQ(rsort_add(ctx, &later, false, 3, 600), 0);
            ASSERT_EQ(rsort_add_at_log_position(ctx, &later, old_trim), 0);
            ASSERT_EQ(rsort_build_forward_map(map, ctx, nullptr), 0);
            rsort_destroy(&ctx);
        } else {
            rmap_tree* rmap = nullptr;
            ASSERT_EQ(rmap_create(&rmap, 4096, &t.log), 0);
            ASSERT_EQ(rmap_set_range(rmap, 100, 8, 2, 20), 0);
            ASSERT_EQ(rmap_set_range(rmap, 100, 8, 3, 10), 0);
            EXPECT_EQ(rmap_trim_range(rmap, &trim, trim_at), 4u);
            ASSERT_EQ(rmap_set_range(rmap, 300, 8, 3, 600), 0);
            EXPECT_EQ(rmap_trim_range(rmap, &later, old_trim), 0u);
            ASSERT_EQ(rmap_build_forward_map(map, rmap, nullptr), 0);
            rmap_destroy(&rmap);
        }
        auto runs = data_runs(map, 0, 4096);
        ASSERT_EQ(runs.size(), 2u) << (via_rsort ? "rsort" : "rmap");
        EXPECT_EQ(runs[0].start, 104u);
        EXPECT_EQ(runs[0].length, 4u);
        EXPECT_EQ(runs[0].gpkt, t.addr(3, 14));
        EXPECT_EQ(runs[1].start, 300u);
        EXPECT_EQ(runs[1].gpkt, t.addr(3, 600));
        EXPECT_EQ(t.counters[3].valid, 12);
        EXPECT_EQ(t.counters[2].valid, 0);
        lrbtree_destroy(&map);
        mblk_release_all(&t.log);
        t.counters.assign(8, {});
    }
}

TEST_F(Rebuild, ReverseMapRunsAreCutAt64Keys) {
    small_log t;
    lrbtree* map = nullptr;
    ASSERT_EQ(lrbtree_create(&map, &t.log, 4096, 4096), 0);
    ASSERT_EQ(lrbtree_reset(map), 0);
    rmap_tree* rmap = nullptr;
    ASSERT_EQ(rmap_create(&rmap, 4096, &t.log), 0);
    ASSERT_EQ(rmap_set_range(rmap, 1000, 100, 1, 0), 0);
    ASSERT_EQ(rmap_build_forward_map(map, rmap, nullptr), 0);
    rmap_destroy(&rmap);
    auto view = lrb_view(map, lrb_root_of(map, 0));
    ASSERT_EQ(view.children.size(), 1u);
    auto leaf = lrb_view(map, view.children[0]);
    ASSERT_EQ(leaf.runs.size(), 2u);
    EXPECT_EQ(leaf.runs[0].length, 64u);
    EXPECT_EQ(leaf.runs[1].length, 36u);
    EXPECT_EQ(leaf.runs[1].gpkt, t.addr(1, 64));
    lrbtree_destroy(&map);
}

TEST_F(Rebuild, ReverseMapRefusesWhatItCannotHold) {
    small_log t;
    rmap_tree* rmap = nullptr;
    ASSERT_EQ(rmap_create(&rmap, 4096, &t.log), 0);
    EXPECT_EQ(rmap_grow(rmap, 4098), 0);
    EXPECT_EQ(rmap_grow(rmap, 4099), -KPAV_ENOSPC);
    EXPECT_EQ(rmap_set_range(rmap, 4090, 9, 1, 0), -KPAV_ENOSPC);
    rmap_destroy(&rmap);
    // Addresses past 32 bits: the reverse sort's work.
    test_log wide(8, 1u << 30);
    ASSERT_EQ(rmap_create(&rmap, 4096, &wide.log), 0);
    EXPECT_EQ(rmap_set_range(rmap, 0, 1, 5, 0), -KPAV_ERANGE);
    rmap_destroy(&rmap);
}

TEST_F(Rebuild, ReverseSortPlacesLogPositions) {
    small_log t;
    rsort_ctx* ctx = nullptr;
    ASSERT_EQ(rsort_create(&ctx, 100, &t.log, 1), 0);
    lrbtree_range r{10, 5};
    // LEB i has sequence 64 (i + 1): a sequence between LEB 2's and LEB 3's is placed after
    // every packet of LEB 2; one older than LEB 0 is dropped.
    ASSERT_EQ(rsort_add_at_log_position(ctx, &r, (64ull * 3 + 10) << 24 | 7), 0);
    ASSERT_EQ(rsort_add_at_log_position(ctx, &r, 64ull * 4 << 24 | 7), 0);
    ASSERT_EQ(rsort_add_at_log_position(ctx, &r, 10ull << 24), 0);
    ASSERT_EQ(ctx->used, 2u);
    const rsort_record* between = &ctx->source.top[0][0][0];
    const rsort_record* exact = &ctx->source.top[0][0][1];
    EXPECT_EQ(between->address, 16 + 2 * t.log.leb_span + t.log.leb_span - 1);
    EXPECT_EQ(exact->address, 16 + 3 * t.log.leb_span + 7);
    EXPECT_NE(exact->length & 0x80000000u, 0u);
    // Data at packets the LEB does not have, or of no LEB.
    EXPECT_EQ(rsort_add(ctx, &r, false, 1, 998), -KPAV_EINVAL);
    EXPECT_EQ(rsort_add(ctx, &r, false, 9, 0), -KPAV_EINVAL);
    rsort_destroy(&ctx);
    // The budget.
    ASSERT_EQ(rsort_create(&ctx, 3, &t.log, 1), 0);
    for (int i = 0; i < 3; i++) EXPECT_EQ(rsort_add(ctx, &r, true, 0, 0), 0);
    EXPECT_EQ(rsort_add(ctx, &r, true, 0, 0), -KPAV_ENOMEM);
    rsort_destroy(&ctx);
}

TEST_F(Rebuild, SetsTheValidityBits) {
    small_log t;
    pav_pbitmap* bitmap = nullptr;
    const uint64_t bits_per_leb = 1024;
    ASSERT_EQ(pav_pbitmap_create(&bitmap, 8 * bits_per_leb, nullptr, &t.log), 0);
    ASSERT_EQ(pav_mblk_alloc_for_append(bitmap, 0, 8 * bits_per_leb / 32), 0);
    lrbtree_validity validity{bitmap, bits_per_leb};
    lrbtree* map = nullptr;
    ASSERT_EQ(lrbtree_create(&map, &t.log, 4096, 4096), 0);
    ASSERT_EQ(lrbtree_reset(map), 0);
    rsort_ctx* ctx = nullptr;
    ASSERT_EQ(rsort_create(&ctx, 100, &t.log, 1), 0);
    lrbtree_range a{0, 10}, b{5, 10};
    ASSERT_EQ(rsort_add(ctx, &a, false, 2, 100), 0);
    ASSERT_EQ(rsort_add(ctx, &b, false, 4, 0), 0);
    ASSERT_EQ(rsort_build_forward_map(map, ctx, &validity), 0);
    rsort_destroy(&ctx);
    // [0, 5) at LEB 2 packets 100..104, [5, 15) at LEB 4 packets 0..9.
    EXPECT_EQ(pav_pbitmap_find_next_set(bitmap, 2 * bits_per_leb, bits_per_leb), 100u);
    EXPECT_EQ(pav_pbitmap_find_next_zero(bitmap, 2 * bits_per_leb + 100, bits_per_leb), 5u);
    EXPECT_EQ(pav_pbitmap_find_next_zero(bitmap, 4 * bits_per_leb, bits_per_leb), 10u);
    EXPECT_EQ(t.counters[2].valid, 5);
    EXPECT_EQ(t.counters[4].valid, 10);
    lrbtree_destroy(&map);
    pav_pbitmap_destroy(&bitmap);
}

}  // namespace
