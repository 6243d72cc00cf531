// The benchmark program's entry: every benchmark file registers its own benchmarks.
#include <benchmark/benchmark.h>

BENCHMARK_MAIN();
