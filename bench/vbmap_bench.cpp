// The validity bitmap's set and clear, as write completions and invalidations make them, beside a
// plain bit array changed without interlocked operations, in the same run.
//
// Each iteration sets a batch of runs (random LEB and packet; one packet, or 64) and then clears
// them, once through the bitmap (each word one interlocked OR or AND, the LEB's valid count moved
// by the bits that changed) and once in a flat array of 32-bit words changed a word at a time
// with plain operations; "ratio" is bitmap time / array time.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <random>
#include <vector>

#include "bench/block_cache.h"
#include "driver/log/mblk.h"
#include "driver/log/vbmap.h"

namespace {

using steady = std::chrono::steady_clock;
constexpr ULONG lebs = 64;
constexpr ULONG packets = 60000;  // two blocks per LEB, as on the small card
constexpr int batch = 256;

struct bench_log {
    pipeline_device card{};
    nand_dev channel{};
    pav_log log{};
    mem_stats footprint{};
    std::vector<leb_record> records = std::vector<leb_record>(lebs);
    std::vector<leb_counters> counters = std::vector<leb_counters>(lebs);

    bench_log() {
        std::strcpy(card.name, "dov0");
        channel.card = &card;
        log.channel = &channel;
        kpav_state_init(&log.state, PAV_LOG_RUNNING);
        log.sector_size = 512;
        log.packets_per_leb = packets;
        log.leb_span = packets + 1;
        log.lebs = records.data();
        log.eb_count = lebs;
        log.counters = counters.data();
        log.md_footprint = &footprint;
        pav_page_pool_init(&log.md_pages, card.name, &footprint, false);
    }
};

// The flat array's change of `count` bits from `first`, a word at a time with plain operations.
void flat_change(std::vector<ULONG>& flat, ULONG64 first, ULONG count, bool value) {
    ULONG64 end = first + count;
    for (ULONG64 word = first / 32; word <= (end - 1) / 32; word++) {
        ULONG mask = ~0u;
        if (word == first / 32) mask &= ~0u << (first % 32);
        if (word == (end - 1) / 32) mask &= ~0u >> (31 - (end - 1) % 32);
        flat[word] = value ? flat[word] | mask : flat[word] & ~mask;
    }
}

void run(benchmark::State& state, ULONG length) {
    if (!block_cache_once()) {
        state.SkipWithError("no block cache");
        return;
    }
    {
        bench_log b;
        vbmap map{};
        if (mblk_table_init(&b.log, false, false) != 0 || vbmap_create(&map, &b.log, 0, lebs, 512) != 0) {
            state.SkipWithError("no bitmap");
            return;
        }
        std::vector<ULONG> flat((size_t)lebs * map.bits_per_leb / 32);
        std::vector<LONG> flat_counts(lebs);
        std::mt19937 random(7);
        struct place {
            USHORT leb;
            ULONG packet;
        } places[batch];
        double bitmap_ns = 0;
        double flat_ns = 0;
        for (auto _ : state) {
            for (place& p : places) {
                p.leb = (USHORT)(random() % lebs);
                p.packet = (ULONG)(random() % (packets - length));
            }
            auto t0 = steady::now();
            for (const place& p : places) vbmap_set(&map, p.leb, p.packet, length);
            for (const place& p : places) vbmap_clear(&map, p.leb, p.packet, length);
            auto t1 = steady::now();
            for (const place& p : places) {
                flat_change(flat, (ULONG64)p.leb * map.bits_per_leb + p.packet, length, true);
                flat_counts[p.leb] += (LONG)length;
            }
            for (const place& p : places) {
                flat_change(flat, (ULONG64)p.leb * map.bits_per_leb + p.packet, length, false);
                flat_counts[p.leb] -= (LONG)length;
            }
            benchmark::DoNotOptimize(flat.data());
            benchmark::ClobberMemory();
            auto t2 = steady::now();
            bitmap_ns += (double)std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count();
            flat_ns += (double)std::chrono::duration_cast<std::chrono::nanoseconds>(t2 - t1).count();
        }
        double changes = (double)state.iterations() * batch * 2;
        state.counters["bitmap_ns_per_run"] = bitmap_ns / changes;
        state.counters["flat_ns_per_run"] = flat_ns / changes;
        state.counters["ratio"] = flat_ns > 0 ? bitmap_ns / flat_ns : 0;
        state.SetItemsProcessed((int64_t)changes);
        vbmap_destroy(&map);
        mblk_table_exit(&b.log);
    }
}

void BM_ValidityBitsOnePacket(benchmark::State& state) {
    run(state, 1);
}
void BM_ValidityBits64Packets(benchmark::State& state) {
    run(state, 64);
}
BENCHMARK(BM_ValidityBitsOnePacket);
BENCHMARK(BM_ValidityBits64Packets);

}  // namespace
