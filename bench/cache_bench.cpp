// The lookaside cache's allocate/free pair beside the host's malloc/free, in the same run.
//
// Each iteration allocates a batch of objects (as requests in flight would be) and frees them,
// once through the cache and once through malloc; "ratio" is cache time / malloc time.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>

#include "driver/platform/memory.h"
#include "sim/kernel/control.h"

namespace {

using steady = std::chrono::steady_clock;
constexpr size_t object_size = 280;  // a bio
constexpr int batch = 64;

// Keeps an allocation from being optimised away. The read-only form: the read-write form
// miscompiles pointers with some compilers and frame-pointer settings.
inline void keep(void* const& p) {
    benchmark::DoNotOptimize(p);
}

void BM_CacheAllocFreePair(benchmark::State& state) {
    sim::kernel::wait_for_system_threads(10000);
    sim::kernel::boot();
    kpav_cache cache{};
    if (__kpav_create_cache(&cache, "bench_object-strovane", object_size) != 0) {
        state.SkipWithError("no cache");
        return;
    }
    void* objects[batch];
    double cache_ns = 0;
    double malloc_ns = 0;
    for (auto _ : state) {
        auto t0 = steady::now();
        for (void*& o : objects) {
            o = kpav_cache_alloc(&cache);
            keep(o);
        }
        for (void* o : objects) {
            kpav_cache_free(&cache, o);
        }
        auto t1 = steady::now();
        for (void*& o : objects) {
            o = std::malloc(object_size);
            keep(o);
        }
        for (void* o : objects) {
            std::free(o);
        }
        auto t2 = steady::now();
        cache_ns += (double)std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count();
        malloc_ns += (double)std::chrono::duration_cast<std::chrono::nanoseconds>(t2 - t1).count();
    }
    kpav_destroy_cache(&cache);
    double pairs = (double)state.iterations() * batch;
    state.counters["cache_ns_per_pair"] = cache_ns / pairs;
    state.counters["malloc_ns_per_pair"] = malloc_ns / pairs;
    state.counters["ratio"] = malloc_ns > 0 ? cache_ns / malloc_ns : 0;
    state.SetItemsProcessed((int64_t)pairs * 2);
}
BENCHMARK(BM_CacheAllocFreePair);

}  // namespace
