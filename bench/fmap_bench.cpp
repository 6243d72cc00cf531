// The forward map beside two plain baselines, measured in the same run on the same operations:
// a flat array of 8-byte packet addresses indexed by sector, and an ordered map of extents
// (std::map of start -> {length, address}).
//
// Patterns: sequential (64-sector runs, one after the other) and random 4 KiB (one sector at a
// random place), over a map of 2^24 mapped sectors (2^20 in sanitizer builds, which are not for
// measuring). Lookups walk the sectors and take the address of each run; updates map the
// sectors to the next packets of an append point, as completed writes do; trims remove every
// mapping of the sectors (which are written again, untimed, between batches).
//
// Each benchmark's own time is the forward map's processor time (the baselines are timed the
// same way); its counters give each implementation's operations per second and the ratios map
// time / baseline time (above 1: the map is slower). BM_ForwardMapMemory reports the bytes each
// one holds per mapped sector, for the map from the stand-in's pool accounting.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include <time.h>

#include "bench/block_cache.h"
#include "driver/fmap/lrbtree.h"
#include "driver/fmap/rmap.h"
#include "driver/fmap/rsort.h"
#include "driver/log/datalog.h"
#include "driver/log/mblk.h"
#include "sim/kernel/control.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr uint64_t mapped_sectors = 1ull << 20;
#else
constexpr uint64_t mapped_sectors = 1ull << 24;
#endif
constexpr ULONG batch = 4096;
constexpr ULONG eb_count = 8192;
constexpr ULONG packets_per_leb = 4096;

// Bytes the extent map's nodes take.
uint64_t extent_bytes = 0;

template <class T>
struct counting_allocator {
    using value_type = T;
    counting_allocator() = default;
    template <class U>
    counting_allocator(const counting_allocator<U>&) {}
    T* allocate(size_t n) {
        extent_bytes += n * sizeof(T);
        return std::allocator<T>().allocate(n);
    }
    void deallocate(T* p, size_t n) {
        extent_bytes -= n * sizeof(T);
        std::allocator<T>().deallocate(p, n);
    }
    template <class U>
    bool operator==(const counting_allocator<U>&) const { return true; }
};

struct extent {
    uint64_t length;
    uint64_t gpkt;
};
using extent_map = std::map<uint64_t, extent, std::less<uint64_t>, counting_allocator<std::pair<const uint64_t, extent>>>;

// Cuts [s, s + n) out of an extent map: overlapped extents are cut or removed. Returns where
// an extent starting at s would go.
extent_map::iterator extents_trim(extent_map& m, uint64_t s, uint64_t n) {
    uint64_t e = s + n;
    auto it = m.upper_bound(s);
    if (it != m.begin()) {
        auto prev = std::prev(it);
        uint64_t pe = prev->first + prev->second.length;
        if (pe > s) {
            if (pe > e) {
                m.emplace_hint(it, e, extent{pe - e, prev->second.gpkt + (e - prev->first)});
            }
            prev->second.length = s - prev->first;
        }
    }
    while (it != m.end() && it->first < e) {
        uint64_t ie = it->first + it->second.length;
        if (ie > e) {
            extent tail{ie - e, it->second.gpkt + (e - it->first)};
            it = m.erase(it);
            m.emplace_hint(it, e, tail);
            break;
        }
        it = m.erase(it);
    }
    return it;
}

// Maps [s, s + n) to gpkt.. in an extent map.
void extents_update(extent_map& m, uint64_t s, uint64_t n, uint64_t gpkt) {
    m.emplace_hint(extents_trim(m, s, n), s, extent{n, gpkt});
}

// Sums the addresses of the extents over [k, k + n), as a lookup of a range does.
uint64_t extents_lookup(const extent_map& m, uint64_t k, uint64_t n) {
    uint64_t sum = 0;
    auto it = m.upper_bound(k);
    if (it != m.begin()) {
        --it;
    }
    for (; it != m.end() && it->first < k + n; ++it) {
        if (it->first + it->second.length > k) {
            sum += it->second.gpkt + it->second.length;
        }
    }
    return sum;
}

int count_invalidation(void* context, ULONG64, ULONG64 length, ULONG64, lrbtree_update_rec*) {
    *(uint64_t*)context += length;
    return 0;
}

// One forward map with its log, and the two baselines, holding the same mappings.
struct world {
    pipeline_device card{};
    nand_dev channel{};
    pav_log log{};
    mem_stats footprint{};
    std::vector<leb_record> lebs;
    lrbtree* map = nullptr;
    uint64_t displaced = 0;
    std::vector<uint64_t> flat;
    extent_map extents;
    uint64_t head_leb = 0;
    uint64_t head_offset = 0;
    std::mt19937_64 rng{42};
    uint64_t sequential_cursor = 0;

    world() {
        block_cache_once();
        std::strcpy(card.name, "dov0");
        channel.card = &card;
        log.channel = &channel;
        kpav_state_init(&log.state, PAV_LOG_RUNNING);
        std::strcpy(log.name, "data");
        log.sector_size = 4096;
        log.packets_per_leb = packets_per_leb;
        log.leb_span = packets_per_leb + 1;
        lebs.resize(eb_count);
        for (ULONG i = 0; i < eb_count; i++) {
            lebs[i].sequence = 64ull * (i + 1);
            lebs[i].next = (USHORT)((i + 1) % eb_count);
            lebs[i].previous = (USHORT)((i + eb_count - 1) % eb_count);
        }
        log.lebs = lebs.data();
        log.eb_count = eb_count;
        log.md_footprint = &footprint;
        pav_page_pool_init(&log.md_pages, card.name, &footprint, false);
        mblk_table_init(&log, false, false);
        lrbtree_create(&map, &log, mapped_sectors, mapped_sectors);
        lrbtree_reset(map);
        lrbtree_set_invalidate(map, count_invalidation, &displaced);
        flat.assign(mapped_sectors, 0);
        for (uint64_t k = 0; k < mapped_sectors; k += 64) {
            write(k, 64);
        }
    }
    ~world() {
        lrbtree_destroy(&map);
        mblk_table_exit(&log);
    }

    // The next n packets of the append point.
    uint64_t append(uint64_t n) {
        if (head_offset + n > packets_per_leb) {
            head_leb = (head_leb + 1) % eb_count;
            head_offset = 0;
        }
        uint64_t gpkt = 16 + head_leb * (packets_per_leb + 1) + head_offset;
        head_offset += n;
        return gpkt;
    }

    void write(uint64_t k, uint64_t n) {
        uint64_t gpkt = append(n);
        lrbtree_update_rec rec = {k, n, gpkt, 0, 0};
        lrbtree_update(map, &rec, 1);
        for (uint64_t i = 0; i < n; i++) flat[k + i] = gpkt + i;
        extents_update(extents, k, n, gpkt);
    }

    uint64_t next_key(bool sequential) {
        if (sequential) {
            uint64_t k = sequential_cursor;
            sequential_cursor = (sequential_cursor + 64) % mapped_sectors;
            return k;
        }
        return rng() % mapped_sectors;
    }
};

// Built once and kept to the end of the program.
world& shared_world() {
    static world* w = new world();
    return *w;
}

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

struct run_sum {
    uint64_t sum = 0;
};

int sum_data(lrbtree_range* range, void* context, ULONG64 gpkt, lrbtree_leaf_rec*) {
    ((run_sum*)context)->sum += gpkt + range->length;
    return 0;
}

int sum_empty(lrbtree_range*, void*) {
    return 0;
}

// The calling thread's processor time. A batch is timed by it rather than by the wall clock: on
// a shared machine the wall time also counts the time the thread waited for a processor, which
// moves with the others' load and not with the code measured.
double thread_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

// Runs the same batch of operations (operation i on key k) on the map and on both baselines;
// the map's time is the benchmark's. `prepare` runs untimed before each batch, with its keys.
template <class Prepare, class MapOp, class FlatOp, class ExtentOp>
void compare(benchmark::State& state, world& w, bool sequential, Prepare prepare, MapOp map_op, FlatOp flat_op,
             ExtentOp extent_op) {
    double map_time = 0, flat_time = 0, extent_time = 0;
    uint64_t ops = 0;
    std::vector<uint64_t> keys(batch);
    for (auto _ : state) {
        for (auto& k : keys) k = w.next_key(sequential);
        prepare(keys);
        double t0 = thread_seconds();
        for (ULONG i = 0; i < batch; i++) map_op(i, keys[i]);
        double t1 = thread_seconds();
        for (ULONG i = 0; i < batch; i++) flat_op(i, keys[i]);
        double t2 = thread_seconds();
        for (ULONG i = 0; i < batch; i++) extent_op(i, keys[i]);
        double t3 = thread_seconds();
        state.SetIterationTime(t1 - t0);
        map_time += t1 - t0;
        flat_time += t2 - t1;
        extent_time += t3 - t2;
        ops += batch;
    }
    state.SetItemsProcessed((int64_t)ops);
    state.counters["map_ops_per_s"] = ops / map_time;
    state.counters["flat_ops_per_s"] = ops / flat_time;
    state.counters["extents_ops_per_s"] = ops / extent_time;
    state.counters["ratio_vs_flat"] = map_time / flat_time;
    state.counters["ratio_vs_extents"] = map_time / extent_time;
}

void BM_ForwardMapLookup(benchmark::State& state) {
    world& w = shared_world();
    bool sequential = state.range(0) != 0;
    uint64_t n = sequential ? 64 : 1;
    run_sum sink;
    lrbtree_enum_ops ops = {sum_data, sum_empty, nullptr};
    compare(
        state, w, sequential, [](const std::vector<uint64_t>&) {},
        [&](ULONG, uint64_t k) {
            lrbtree_range range;
            lrbtree_enumerate(w.map, &range, &ops, &sink, 0, k, k + n);
        },
        [&](ULONG, uint64_t k) {
            for (uint64_t i = 0; i < n; i++) sink.sum += w.flat[k + i];
        },
        [&](ULONG, uint64_t k) { sink.sum += extents_lookup(w.extents, k, n); });
    benchmark::DoNotOptimize(sink.sum);
    state.SetLabel(sequential ? "64-sector runs" : "random 4 KiB");
}

void BM_ForwardMapUpdate(benchmark::State& state) {
    world& w = shared_world();
    bool sequential = state.range(0) != 0;
    uint64_t n = sequential ? 64 : 1;
    // Each operation's packets come from the append point before the timing; all three get them.
    std::vector<uint64_t> addresses(batch);
    compare(
        state, w, sequential,
        [&](const std::vector<uint64_t>&) {
            for (auto& a : addresses) a = w.append(n);
        },
        [&](ULONG i, uint64_t k) {
            lrbtree_update_rec rec = {k, n, addresses[i], 0, 0};
            lrbtree_update(w.map, &rec, 1);
        },
        [&](ULONG i, uint64_t k) {
            for (uint64_t j = 0; j < n; j++) w.flat[k + j] = addresses[i] + j;
        },
        [&](ULONG i, uint64_t k) { extents_update(w.extents, k, n, addresses[i]); });
    state.SetLabel(sequential ? "64-sector runs" : "random 4 KiB");
}

// Trims: the map removes every mapping of each range (its runs leave their leaves, which are
// rebalanced with their neighbours), the baselines clear theirs. The ranges of a batch are
// written again, untimed, before the next one.
void BM_ForwardMapTrim(benchmark::State& state) {
    world& w = shared_world();
    bool sequential = state.range(0) != 0;
    uint64_t n = sequential ? 64 : 1;
    std::vector<uint64_t> trimmed;
    compare(
        state, w, sequential,
        [&](const std::vector<uint64_t>& keys) {
            for (uint64_t k : trimmed) w.write(k, n);
            trimmed = keys;
        },
        [&](ULONG, uint64_t k) {
            lrbtree_update_rec rec = {k, n, 0, LRB_UNMAP_ALL, 0};
            lrbtree_update(w.map, &rec, 1);
        },
        [&](ULONG, uint64_t k) {
            for (uint64_t j = 0; j < n; j++) w.flat[k + j] = 0;
        },
        [&](ULONG, uint64_t k) { extents_trim(w.extents, k, n); });
    for (uint64_t k : trimmed) w.write(k, n);
    state.SetLabel(sequential ? "64-sector runs" : "random 4 KiB");
}

// Several processors at once: each of `threads` threads runs the same number of operations --
// random one-sector lookups, alone or three to one random one-sector update -- over a slice of
// the sectors of its own (disjoint) or over all of them (shared). The benchmark's time is the wall time of
// one batch on all threads; the same per-thread work on one thread is measured beside it, and
// `scaling` is the rate of all threads over the rate of the one (the number of threads at
// best). Updates hold the writers' mutex for each call, as every update does.
int ignore_invalidation(void*, ULONG64, ULONG64, ULONG64, lrbtree_update_rec*) {
    return 0;
}

struct parallel_slice {
    uint64_t base;
    uint64_t length;
    uint64_t seed;
    ULONG leb;  // the erase block its updates are mapped to, one of its own
};

void parallel_work(world& w, const parallel_slice& slice, ULONG ops, bool updates) {
    std::mt19937_64 rng(slice.seed);
    run_sum sink;
    lrbtree_enum_ops lookup = {sum_data, sum_empty, nullptr};
    ULONG offset = 0;
    for (ULONG i = 0; i < ops; i++) {
        uint64_t k = slice.base + rng() % slice.length;
        if (!updates || i % 4 != 3) {
            lrbtree_range range;
            lrbtree_enumerate(w.map, &range, &lookup, &sink, 0, k, k + 1);
            continue;
        }
        lrbtree_update_rec rec = {k, 1, 16 + (uint64_t)slice.leb * (packets_per_leb + 1) + offset, 0, 0};
        offset = (offset + 1) % packets_per_leb;
        lrbtree_update(w.map, &rec, 1);
    }
    benchmark::DoNotOptimize(sink.sum);
}

double run_parallel(world& w, ULONG threads, bool shared, bool updates, ULONG ops, uint64_t round) {
    std::vector<parallel_slice> slices;
    for (ULONG t = 0; t < threads; t++) {
        uint64_t length = shared ? mapped_sectors : mapped_sectors / threads;
        slices.push_back({shared ? 0 : t * length, length, round * 64 + t, eb_count - 1 - t});
    }
    std::atomic<ULONG> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> workers;
    for (ULONG t = 0; t < threads; t++) {
        workers.emplace_back([&, t] {
            ready++;
            while (!go.load()) {
            }
            parallel_work(w, slices[t], ops, updates);
        });
    }
    while (ready.load() != threads) {
    }
    auto t0 = clock_type::now();
    go = true;
    for (auto& th : workers) th.join();
    return seconds_since(t0);
}

void BM_ForwardMapParallel(benchmark::State& state) {
    world& w = shared_world();
    ULONG threads = (ULONG)state.range(0);
    bool shared = state.range(1) != 0;
    bool updates = state.range(2) != 0;
    constexpr ULONG ops = 16384;
    lrbtree_set_invalidate(w.map, ignore_invalidation, nullptr);
    double many_time = 0, one_time = 0;
    uint64_t round = 0;
    for (auto _ : state) {
        double t = run_parallel(w, threads, shared, updates, ops, round);
        state.SetIterationTime(t);
        many_time += t;
        one_time += run_parallel(w, 1, shared, updates, ops, round + 1000000);
        round++;
    }
    lrbtree_set_invalidate(w.map, count_invalidation, &w.displaced);
    state.counters["ops_per_s_all"] = (double)round * ops * threads / many_time;
    state.counters["ops_per_s_one"] = (double)round * ops / one_time;
    state.counters["scaling"] = ((double)round * ops * threads / many_time) / ((double)round * ops / one_time);
    state.SetLabel(std::to_string(threads) + (shared ? " processors, shared range, " : " processors, disjoint ranges, ") +
                   (updates ? "3 lookups : 1 update" : "lookups"));
}

uint64_t pool_bytes() {
    uint64_t total = 0;
    for (auto& [tag, usage] : sim::kernel::pool_outstanding()) total += usage.bytes;
    return total;
}

// Bytes per mapped sector after filling the map with 64-sector runs, and again after random
// one-sector writes over a sixteenth of it.
void BM_ForwardMapMemory(benchmark::State& state) {
    block_cache_once();
    for (auto _ : state) {
        uint64_t pool_before = pool_bytes();
        uint64_t extents_before = extent_bytes;
        auto w = std::make_unique<world>();
        double map_sequential = double(pool_bytes() - pool_before) / mapped_sectors;
        double extents_sequential = double(extent_bytes - extents_before) / mapped_sectors;
        for (uint64_t i = 0; i < mapped_sectors / 16; i++) {
            w->write(w->rng() % mapped_sectors, 1);
        }
        double map_random = double(pool_bytes() - pool_before) / mapped_sectors;
        double extents_random = double(extent_bytes - extents_before) / mapped_sectors;
        state.counters["map_bytes_per_sector_sequential"] = map_sequential;
        state.counters["map_bytes_per_sector_random"] = map_random;
        state.counters["flat_bytes_per_sector"] = 8;
        state.counters["extents_bytes_per_sector_sequential"] = extents_sequential;
        state.counters["extents_bytes_per_sector_random"] = extents_random;
        state.counters["ratio_vs_flat_sequential"] = map_sequential / 8;
        state.counters["ratio_vs_flat_random"] = map_random / 8;
        state.counters["ratio_vs_extents_sequential"] = map_sequential / extents_sequential;
        state.counters["ratio_vs_extents_random"] = map_random / extents_random;
    }
}

// ---------------------------------------------------------------------------------------------
// The rebuild after an unclean stop: the same scan (a device written whole in 64-sector runs, then
// a quarter of it again in random 8-sector writes, with trims of 64 sectors now and then; or as
// many one-sector writes at random places as the device has sectors) fed to
// the reverse map and to the reverse sort, each building the forward map from it, beside a
// std::sort of the scan's 16-byte records by sector. Counters: each one's milliseconds, the ratios,
// and the bytes each collector holds per mapped sector before its build.

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr uint64_t rebuild_sectors = 1ull << 18;
#else
constexpr uint64_t rebuild_sectors = 1ull << 22;
#endif
constexpr ULONG rebuild_lebs = 2048;

struct scan_record {
    uint64_t start;
    uint64_t length;
    USHORT leb;
    ULONG offset;
    bool trim;
    uint64_t position;
};

struct rebuild_world {
    pipeline_device card{};
    nand_dev channel{};
    pav_log log{};
    mem_stats footprint{};
    std::vector<leb_record> lebs;
    std::vector<leb_counters> counters;
    std::vector<scan_record> scan;
    uint64_t mapped = 0;

    explicit rebuild_world(bool random_writes) : lebs(rebuild_lebs), counters(rebuild_lebs) {
        block_cache_once();
        std::strcpy(card.name, "dov1");
        channel.card = &card;
        log.channel = &channel;
        kpav_state_init(&log.state, PAV_LOG_RUNNING);
        log.sector_size = 4096;
        log.packets_per_leb = packets_per_leb;
        log.leb_span = packets_per_leb + 1;
        for (ULONG i = 0; i < rebuild_lebs; i++) {
            lebs[i].sequence = 64ull * (i + 1);
            lebs[i].next = i + 1 < rebuild_lebs ? (USHORT)(i + 1) : PAV_NO_LEB;
            lebs[i].previous = i > 0 ? (USHORT)(i - 1) : PAV_NO_LEB;
        }
        log.lebs = lebs.data();
        log.eb_count = rebuild_lebs;
        log.counters = counters.data();
        log.md_footprint = &footprint;
        pav_page_pool_init(&log.md_pages, card.name, &footprint, false);
        mblk_table_init(&log, false, false);
        std::mt19937_64 rng(7);
        USHORT leb = 0;
        ULONG offset = 0;
        auto add = [&](uint64_t start, uint64_t length) {
            if (offset + length > packets_per_leb) {
                leb++;
                offset = 0;
            }
            scan.push_back({start, length, leb, offset, false, lebs[leb].sequence << 24 | offset});
            offset += (ULONG)length;
        };
        if (random_writes) {
            // One-sector writes at random places, as many as the device has sectors.
            for (uint64_t i = 0; i < rebuild_sectors; i++) {
                if (i % 4096 == 0) {
                    uint64_t start = rng() % (rebuild_sectors - 64);
                    scan.push_back({start, 64, 0, 0, true, lebs[leb].sequence << 24 | offset});
                }
                add(rng() % rebuild_sectors, 1);
            }
        }
        for (uint64_t k = 0; !random_writes && k < rebuild_sectors; k += 64) add(k, 64);
        for (uint64_t i = 0; !random_writes && i < rebuild_sectors / 32; i++) {
            if (i % 64 == 0) {
                uint64_t start = rng() % (rebuild_sectors - 64);
                scan.push_back({start, 64, 0, 0, true, lebs[leb].sequence << 24 | offset});
            }
            add(rng() % (rebuild_sectors - 8), 8);
        }
        std::vector<bool> seen(rebuild_sectors);
        for (auto& r : scan) {
            for (uint64_t k = r.start; k < r.start + r.length; k++) seen[k] = !r.trim;
        }
        mapped = (uint64_t)std::count(seen.begin(), seen.end(), true);
    }
    ~rebuild_world() { mblk_table_exit(&log); }
};

struct rebuild_result {
    double seconds;
    double bytes_per_sector;
};

// One rebuild through `collect` (the collector fed the whole scan, untimed memory measured after
// it) and `build`; the forward map is dropped afterwards.
template <class Collect, class Build>
rebuild_result rebuild_once(rebuild_world& w, Collect collect, Build build) {
    lrbtree* map = nullptr;
    lrbtree_create(&map, &w.log, rebuild_sectors, rebuild_sectors);
    lrbtree_reset(map);
    std::fill(w.counters.begin(), w.counters.end(), leb_counters{});
    uint64_t before = pool_bytes();
    double t0 = thread_seconds();
    collect();
    double t1 = thread_seconds();
    uint64_t held = pool_bytes() - before;
    double t2 = thread_seconds();
    int rc = build(map);
    double t3 = thread_seconds();
    if (rc != 0) {
        std::fprintf(stderr, "rebuild failed: %d\n", rc);
        std::abort();
    }
    lrbtree_destroy(&map);
    mblk_release_all(&w.log);
    return {(t1 - t0) + (t3 - t2), double(held) / double(w.mapped)};
}

// Arg 0: the scan of runs; 1: a scan of one-sector writes at random places.
void BM_RebuildReverseMapAndSort(benchmark::State& state) {
    static rebuild_world* worlds[2] = {};
    rebuild_world*& w = worlds[state.range(0)];
    if (w == nullptr) {
        w = new rebuild_world(state.range(0) != 0);
    }
    double rmap_time = 0, rsort_time = 0, sort_time = 0;
    rebuild_result rm{}, rs{};
    for (auto _ : state) {
        rmap_tree* rmap = nullptr;
        rm = rebuild_once(
            *w,
            [&] {
                rmap_create(&rmap, rebuild_sectors, &w->log);
                for (auto& r : w->scan) {
                    if (r.trim) {
                        lrbtree_range range{r.start, r.length};
                        rmap_trim_range(rmap, &range, r.position);
                    } else {
                        rmap_set_range(rmap, r.start, r.length, r.leb, r.offset);
                    }
                }
            },
            [&](lrbtree* map) {
                int rc = rmap_build_forward_map(map, rmap, nullptr);
                rmap_destroy(&rmap);
                return rc;
            });
        rsort_ctx* ctx = nullptr;
        rs = rebuild_once(
            *w,
            [&] {
                rsort_create(&ctx, w->scan.size() + RSORT_STEP, &w->log, 64);
                for (auto& r : w->scan) {
                    lrbtree_range range{r.start, r.length};
                    if (r.trim) {
                        rsort_add_at_log_position(ctx, &range, r.position);
                    } else {
                        rsort_add(ctx, &range, false, r.leb, r.offset);
                    }
                }
            },
            [&](lrbtree* map) {
                int rc = rsort_build_forward_map(map, ctx, nullptr);
                rsort_destroy(&ctx);
                return rc;
            });
        // The baseline: the scan's records, 16 bytes each, sorted by sector.
        std::vector<rsort_record> records(w->scan.size());
        for (size_t i = 0; i < records.size(); i++) {
            records[i] = {w->scan[i].start, (ULONG)w->scan[i].length, (ULONG)w->scan[i].position};
        }
        double t0 = thread_seconds();
        std::sort(records.begin(), records.end(), [](const rsort_record& a, const rsort_record& b) {
            return a.head < b.head || (a.head == b.head && a.address < b.address);
        });
        double t1 = thread_seconds();
        benchmark::DoNotOptimize(records.data());
        state.SetIterationTime(rm.seconds);
        rmap_time += rm.seconds;
        rsort_time += rs.seconds;
        sort_time += t1 - t0;
    }
    double n = (double)state.iterations();
    state.counters["records"] = (double)w->scan.size();
    state.counters["rmap_ms"] = rmap_time / n * 1e3;
    state.counters["rsort_ms"] = rsort_time / n * 1e3;
    state.counters["sort_ms"] = sort_time / n * 1e3;
    state.counters["rmap_vs_sort"] = rmap_time / sort_time;
    state.counters["rsort_vs_sort"] = rsort_time / sort_time;
    state.counters["rmap_vs_rsort"] = rmap_time / rsort_time;
    state.counters["rmap_bytes_per_sector"] = rm.bytes_per_sector;
    state.counters["rsort_bytes_per_sector"] = rs.bytes_per_sector;
}

// The clean load: the forward map of the rebuild's scan saved, its blocks replayed into an
// emptied table, and loaded (every node checked, children hung back, counters compared), beside
// a memcpy of the same pages. Counters: the load's milliseconds (the save's and the replay's
// apart), the node pages' megabytes per second of load, the ratio to the memcpy.
struct saved_page {
    ULONG64 key;
    std::vector<uint8_t> page;
};

int keep_page(pav_log* log, mblk* block, void* argument, int) {
    auto* pages = (std::vector<saved_page>*)argument;
    const uint8_t* p = (const uint8_t*)block->page;
    pages->push_back({block->key, std::vector<uint8_t>(p, p + 4096)});
    mblk_put(log, block);
    return 0;
}

void BM_ForwardMapLoad(benchmark::State& state) {
    static rebuild_world* w = new rebuild_world(false);
    std::vector<saved_page> pages;
    double save_time = 0, replay_time = 0, load_time = 0, copy_time = 0;
    std::vector<uint8_t> copy_to;
    for (auto _ : state) {
        lrbtree* map = nullptr;
        lrbtree_create(&map, &w->log, rebuild_sectors, rebuild_sectors);
        lrbtree_reset(map);
        rsort_ctx* ctx = nullptr;
        rsort_create(&ctx, w->scan.size() + RSORT_STEP, &w->log, 64);
        for (auto& r : w->scan) {
            lrbtree_range range{r.start, r.length};
            if (r.trim) {
                rsort_add_at_log_position(ctx, &range, r.position);
            } else {
                rsort_add(ctx, &range, false, r.leb, r.offset);
            }
        }
        rsort_build_forward_map(map, ctx, nullptr);
        rsort_destroy(&ctx);
        double t0 = thread_seconds();
        lrbtree_save(map);
        double t1 = thread_seconds();
        pages.clear();
        mblk_for_each(&w->log, keep_page, &pages);
        lrbtree_destroy(&map);
        mblk_release_all(&w->log);
        lrbtree_create(&map, &w->log, rebuild_sectors, rebuild_sectors);
        double t2 = thread_seconds();
        for (auto& p : pages) {
            mblk* block = nullptr;
            mblk_get(&block, &w->log, p.key, MBLK_CREATE);
            std::memcpy(block->page, p.page.data(), 4096);
            mblk_put(&w->log, block);
        }
        double t3 = thread_seconds();
        int rc = lrbtree_load(map);
        double t4 = thread_seconds();
        if (rc != 0) {
            std::fprintf(stderr, "load failed: %d\n", rc);
            std::abort();
        }
        copy_to.resize(pages.size() * 4096);
        double t5 = thread_seconds();
        for (size_t i = 0; i < pages.size(); i++) std::memcpy(copy_to.data() + i * 4096, pages[i].page.data(), 4096);
        double t6 = thread_seconds();
        benchmark::DoNotOptimize(copy_to.data());
        lrbtree_destroy(&map);
        mblk_release_all(&w->log);
        state.SetIterationTime(t4 - t3);
        save_time += t1 - t0;
        replay_time += t3 - t2;
        load_time += t4 - t3;
        copy_time += t6 - t5;
    }
    double n = (double)state.iterations();
    double bytes = (double)pages.size() * 4096;
    state.counters["node_pages"] = (double)pages.size();
    state.counters["mapped_sectors"] = (double)w->mapped;
    state.counters["save_ms"] = save_time / n * 1e3;
    state.counters["replay_ms"] = replay_time / n * 1e3;
    state.counters["load_ms"] = load_time / n * 1e3;
    state.counters["load_MBps"] = bytes * n / load_time / 1e6;
    state.counters["memcpy_MBps"] = bytes * n / copy_time / 1e6;
    state.counters["load_vs_memcpy"] = load_time / copy_time;
}

}  // namespace

BENCHMARK(BM_ForwardMapLookup)->Arg(1)->Arg(0)->UseManualTime();
BENCHMARK(BM_ForwardMapUpdate)->Arg(1)->Arg(0)->UseManualTime();
BENCHMARK(BM_ForwardMapTrim)->Arg(1)->Arg(0)->UseManualTime();
BENCHMARK(BM_ForwardMapParallel)
    ->Args({4, 0, 0})
    ->Args({4, 1, 0})
    ->Args({4, 0, 1})
    ->Args({4, 1, 1})
    ->UseManualTime();
BENCHMARK(BM_ForwardMapMemory)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RebuildReverseMapAndSort)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ForwardMapLoad)->UseManualTime()->Unit(benchmark::kMillisecond);
