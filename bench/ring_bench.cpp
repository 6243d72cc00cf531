// The driver's command ring and completion drain on the card model, beside a memcpy of the same
// bytes in the same run. "ratio" is the driver's time / memcpy time.
//
// BM_DriverRingReplay: 4096 entries appended with the ring's encoder and announced (one
//   doorbell), then replayed by the card; the time counts the appends, the doorbell and the
//   replay (driver_ns_per_entry: the appends and the doorbell alone).
// BM_DriverCompletionDrain: the card answers 1024 direct markers with a bank word each on ring 0;
//   once they are written the driver's drain decodes and acknowledges them. The time counts the
//   drain alone.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/pipeline/cq.h"
#include "driver/pipeline/hw_cmds.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/platform/memory.h"
#include "sim/card/card.h"
#include "sim/kernel/control.h"
#include "sim/kernel/mmio.h"

namespace {

using steady = std::chrono::steady_clock;

double ns_between(steady::time_point a, steady::time_point b) {
    return (double)std::chrono::duration_cast<std::chrono::nanoseconds>(b - a).count();
}

// A card and the driver's channel record with its command ring and one polled completion ring.
class DriverRing {
  public:
    DriverRing() {
        sim::kernel::wait_for_system_threads(10000);
        sim::kernel::boot();
        sim::card::CardConfig c = sim::card::CardConfig::small();
        c.channel.strict = false;
        card_ = std::make_unique<sim::card::Card>(c);
        card_->plug(0, 7, 0);
        PHYSICAL_ADDRESS bar;
        bar.QuadPart = (LONGLONG)card_->bar_address();
        record_.bar = (volatile ULONG*)MmMapIoSpace(bar, sim::card::Card::bar_size, MmNonCached);
        channel_ = std::make_unique<nand_dev>();
        nand_dev_init(channel_.get(), &record_);
        channel_->cq_count = 1;
        channel_->geometry.banks = c.geometry.banks;
        channel_->geometry.pads = c.geometry.lanes;
        ok_ = hw_cmds_alloc(channel_.get()) == 0 && cq_alloc(channel_.get()) == 0;
        if (ok_) {
            hw_write(channel_.get(), BAR_CQ_WINDOWS + CQW_STATE, 2);  // polled
            hw_cmds_program_bases(channel_.get());
        }
    }
    ~DriverRing() {
        hw_cmds_quiesce(channel_.get());
        cq_free(channel_.get());
        hw_cmds_free(channel_.get());
        MmUnmapIoSpace((PVOID)record_.bar, sim::card::Card::bar_size);
        card_.reset();
    }
    bool ok() const { return ok_; }
    nand_dev* channel() { return channel_.get(); }
    void settle() { card_->wait_idle(); }
    const void* ring_bytes() { return channel_->ring.entries; }

  private:
    std::unique_ptr<sim::card::Card> card_;
    pipeline_device record_{};
    std::unique_ptr<nand_dev> channel_;
    bool ok_ = false;
};

void report(benchmark::State& state, double items, double driver_ns, double memcpy_ns, const char* per) {
    state.counters[std::string("driver_ns_per_") + per] = driver_ns / items;
    state.counters[std::string("memcpy_ns_per_") + per] = memcpy_ns / items;
    state.counters["ratio"] = memcpy_ns > 0 ? driver_ns / memcpy_ns : 0;
    state.SetItemsProcessed((int64_t)items);
}

void BM_DriverRingReplay(benchmark::State& state) {
    const ULONG batch = 4096;
    DriverRing d;
    if (!d.ok()) {
        state.SkipWithError("no ring");
        return;
    }
    nand_dev* channel = d.channel();
    std::vector<uint8_t> copy(8ull * batch);
    double driver_ns = 0, total_ns = 0, memcpy_ns = 0;
    for (auto _ : state) {
        auto t0 = steady::now();
        for (ULONG i = 0; i < batch; i++) {
            hw_cmds_append_nand(channel, i, NAND_CORECLK_DERATING);
        }
        hw_cmds_announce(channel);
        auto t1 = steady::now();
        d.settle();
        auto t2 = steady::now();
        std::memcpy(copy.data(), d.ring_bytes(), copy.size());
        benchmark::DoNotOptimize(copy.data());
        auto t3 = steady::now();
        channel->free_entries = RING_ENTRIES;
        channel->free_doorbells = RING_DOORBELLS;
        driver_ns += ns_between(t0, t1);
        total_ns += ns_between(t0, t2);
        memcpy_ns += ns_between(t2, t3);
    }
    double n = (double)state.iterations() * batch;
    report(state, n, total_ns, memcpy_ns, "entry_replayed");
    state.counters["driver_ns_per_entry"] = driver_ns / n;
}
BENCHMARK(BM_DriverRingReplay)->UseRealTime();

void BM_DriverCompletionDrain(benchmark::State& state) {
    const ULONG batch = 1024;
    DriverRing d;
    if (!d.ok()) {
        state.SkipWithError("no ring");
        return;
    }
    nand_dev* channel = d.channel();
    completion_queue* ring = &channel->cqs[0];
    std::vector<uint8_t> copy(4ull * batch);
    double drain_ns = 0, memcpy_ns = 0;
    ULONG missing = 0;
    for (auto _ : state) {
        for (ULONG i = 0; i < batch; i++) {
            hw_cmds_append_nand(channel, 0, 400);
            hw_cmds_append_nand(channel, 26, 396);
        }
        hw_cmds_announce(channel);
        d.settle();
        ULONG head = ring->head;
        auto t0 = steady::now();
        drain_completion_queue(ring);
        auto t1 = steady::now();
        std::memcpy(copy.data(), (const void*)ring->ring, copy.size());
        benchmark::DoNotOptimize(copy.data());
        auto t2 = steady::now();
        missing += batch - ((ring->head - head) & (CQ_RING_WORDS - 1));
        channel->free_entries = RING_ENTRIES;
        channel->free_doorbells = RING_DOORBELLS;
        drain_ns += ns_between(t0, t1);
        memcpy_ns += ns_between(t1, t2);
    }
    if (missing != 0) {
        state.SkipWithError("completion words missing");
        return;
    }
    report(state, (double)state.iterations() * batch, drain_ns, memcpy_ns, "word_drained");
}
BENCHMARK(BM_DriverCompletionDrain)->UseRealTime();

}  // namespace
