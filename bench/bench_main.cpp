// The benchmark program's entry: every benchmark of bench/ registers itself.
#include <benchmark/benchmark.h>

BENCHMARK_MAIN();
