// The registry's state file: loading a saved registry of N values in one key, beside reading the
// same file's lines in the same run. "ratio" is the load's time / the reading's time; the same
// ratio (and ns_per_value) at every N says a load costs the same per value however many there
// are.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "sim/kernel/control.h"
#include "sim/kernel/registry_control.h"

namespace {

using steady = std::chrono::steady_clock;

double ns_between(steady::time_point a, steady::time_point b) {
    return (double)std::chrono::duration_cast<std::chrono::nanoseconds>(b - a).count();
}

void BM_RegistryLoad(benchmark::State& state) {
    const auto values = (int)state.range(0);
    sim::kernel::wait_for_system_threads(10000);
    sim::kernel::boot();
    const std::string key = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\strovane\\Parameters";
    for (int i = 0; i < values; i++) {
        sim::kernel::registry_set_dword(key, "VALUE_" + std::to_string(i), (uint32_t)i);
    }
    std::string file = "/tmp/velkor-registry-bench-" + std::to_string(getpid()) + ".txt";
    if (!sim::kernel::registry_save(file)) {
        state.SkipWithError("cannot save the registry");
        return;
    }
    double load_ns = 0;
    double read_ns = 0;
    for (auto _ : state) {
        auto t0 = steady::now();
        std::ifstream in(file, std::ios::binary);
        std::string line;
        size_t bytes = 0;
        while (std::getline(in, line)) {
            bytes += line.size();
        }
        benchmark::DoNotOptimize(bytes);
        auto t1 = steady::now();
        bool loaded = sim::kernel::registry_load(file);
        auto t2 = steady::now();
        if (!loaded) {
            state.SkipWithError("the saved registry does not load");
            break;
        }
        read_ns += ns_between(t0, t1);
        load_ns += ns_between(t1, t2);
    }
    std::remove(file.c_str());
    state.counters["ns_per_value"] = load_ns / (double)state.iterations() / values;
    state.counters["ratio"] = read_ns > 0 ? load_ns / read_ns : 0;
    sim::kernel::boot();
}
BENCHMARK(BM_RegistryLoad)->Arg(1 << 10)->Arg(1 << 14)->Arg(1 << 18)->Unit(benchmark::kMillisecond);

}  // namespace
