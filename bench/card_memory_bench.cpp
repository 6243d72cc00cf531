// Card memory through its word window: the driver's cmem_read of a container from the card
// model (eleven register writes and one read per 16-bit word), beside a memcpy of the same bytes
// in the same run. "ratio" is the window's time / the memcpy's; ns_per_word is what a container
// read costs per word, which bounds the microcode and ECC1 loads of a card's bring-up.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/card/pipeline_device.h"
#include "driver/controller/card_memory.h"
#include "driver/platform/memory.h"
#include "driver/platform/pci_dev.h"
#include "sim/card/card.h"
#include "sim/card/controller.h"
#include "sim/kernel/control.h"

namespace {

using steady = std::chrono::steady_clock;

double ns_between(steady::time_point a, steady::time_point b) {
    return (double)std::chrono::duration_cast<std::chrono::nanoseconds>(b - a).count();
}

void BM_CardMemoryRead(benchmark::State& state) {
    const ULONG bytes = (ULONG)state.range(0);
    sim::kernel::wait_for_system_threads(10000);
    sim::kernel::boot();
    {
        sim::card::Card card(sim::card::CardConfig::small());
        sim::card::ControllerBar bar(card);
        card.set_controller(&bar);
        pci_dev pdev{};
        pdev.device_object = card.plug(0, 3, 0);
        PHYSICAL_ADDRESS address;
        address.QuadPart = (LONGLONG)card.bar_address();
        auto* regs = (volatile ULONG*)MmMapIoSpace(address, sim::card::Card::bar_size, MmNonCached);
        auto record = std::make_unique<pipeline_device>();
        record->pdev = &pdev;
        record->bar = regs;
        record->csr = regs + 0x8000 / 4;
        record->bus_present = TRUE;
        record->channel_state = 1;
        std::vector<UCHAR> source(bytes), out(bytes), copy(bytes);
        if (cmem_read(record.get(), CMEM_CONTAINERS, bytes, source.data(), 1) != 0) {
            state.SkipWithError("card memory does not read");
        }
        double window_ns = 0;
        double memcpy_ns = 0;
        for (auto _ : state) {
            auto t0 = steady::now();
            std::memcpy(copy.data(), source.data(), bytes);
            benchmark::DoNotOptimize(copy.data());
            benchmark::ClobberMemory();
            auto t1 = steady::now();
            int rc = cmem_read(record.get(), CMEM_CONTAINERS, bytes, out.data(), 1);
            auto t2 = steady::now();
            if (rc != 0 || out != source) {
                state.SkipWithError("card memory read differs");
                break;
            }
            memcpy_ns += ns_between(t0, t1);
            window_ns += ns_between(t1, t2);
        }
        double words = (double)state.iterations() * bytes / 2;
        state.counters["ns_per_word"] = words > 0 ? window_ns / words : 0;
        state.counters["memcpy_ns_per_word"] = words > 0 ? memcpy_ns / words : 0;
        state.counters["ratio"] = memcpy_ns > 0 ? window_ns / memcpy_ns : 0;
        MmUnmapIoSpace((PVOID)regs, sim::card::Card::bar_size);
        card.set_controller(nullptr);
        card.unplug();
    }
    sim::kernel::boot();
}
BENCHMARK(BM_CardMemoryRead)->Arg(1024)->Arg(16384)->Unit(benchmark::kMicrosecond);

}  // namespace
