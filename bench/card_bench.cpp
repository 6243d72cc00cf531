// The card model's transport beside a memcpy of the same bytes, in the same run: ring entries
// fetched and replayed, and completion words produced and drained by the host. "ratio" is card
// time / memcpy time.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sim/card/card.h"
#include "sim/kernel/control.h"
#include "sim/kernel/interlocked.h"
#include "sim/kernel/mmio.h"
#include "sim/kernel/pool.h"

namespace {

using steady = std::chrono::steady_clock;
constexpr uint32_t ring_entries = 0x20000;
constexpr uint32_t cq_words = 0x40000;
constexpr uint32_t empty_word = 0xFFAA55FF;
constexpr uint32_t scratch = 0x6000;

double ns_between(steady::time_point a, steady::time_point b) {
    return (double)std::chrono::duration_cast<std::chrono::nanoseconds>(b - a).count();
}

// A card with its command ring and one polled completion ring, as the driver sets them up.
class BenchCard {
  public:
    BenchCard() {
        sim::kernel::wait_for_system_threads(10000);
        sim::kernel::boot();
        sim::card::CardConfig c = sim::card::CardConfig::small();
        c.channel.strict = false;
        card_ = std::make_unique<sim::card::Card>(c);
        card_->plug(0, 6, 0);
        PHYSICAL_ADDRESS bar;
        bar.QuadPart = (LONGLONG)card_->bar_address();
        regs_ = (volatile ULONG*)MmMapIoSpace(bar, sim::card::Card::bar_size, MmNonCached);
        PHYSICAL_ADDRESS highest;
        highest.QuadPart = -1;
        ring_ = (uint32_t*)MmAllocateContiguousMemory(8ull * ring_entries, highest);
        cq_ = (uint32_t*)MmAllocateContiguousMemory(4ull * cq_words, highest);
        for (uint32_t i = 0; i < cq_words; i++) {
            cq_[i] = empty_word;
        }
        auto ring = (uint64_t)(uintptr_t)ring_;
        auto cq = (uint64_t)(uintptr_t)cq_;
        write(0x120, (uint32_t)ring);
        write(0x124, (uint32_t)(ring >> 32));
        write(0x128, 0x100000);
        write(0x4000, 2);
        write(0x4018, (uint32_t)cq);
        write(0x401C, (uint32_t)(cq >> 32));
        write(0x4020, 0x100000);
        write(0x004, 0xF903);
        write(0x104, 0xF903);
        write(0x2004, 0xF903);
        write(0x4010, 1);
        write(0x4014, 1);
    }
    ~BenchCard() {
        MmUnmapIoSpace((PVOID)regs_, sim::card::Card::bar_size);
        card_.reset();
        MmFreeContiguousMemory(ring_);
        MmFreeContiguousMemory(cq_);
    }
    void write(uint32_t offset, uint32_t value) { WRITE_REGISTER_ULONG(regs_ + offset / 4, value); }
    void append(uint32_t reg, uint32_t value) {
        ring_[2 * write_] = value;
        ring_[2 * write_ + 1] = reg;
        write_ = (write_ + 1) % ring_entries;
    }
    void doorbell() {
        if (posted_ > write_) {
            write(0x118, (ring_entries - posted_) * 8);
            posted_ = 0;
        }
        if (write_ != posted_) {
            write(0x118, (write_ - posted_) * 8);
            posted_ = write_;
        }
        card_->wait_idle();
    }
    // Takes every word up to the first empty one, as the host's drain does, and acknowledges.
    uint32_t drain() {
        uint32_t n = 0;
        for (;;) {
            auto w = (uint32_t)ReadAcquire((LONG const volatile*)&cq_[head_]);
            if (w == empty_word) {
                break;
            }
            cq_[head_] = empty_word;
            head_ = (head_ + 1) % cq_words;
            n++;
        }
        write(0x4028, n);
        return n;
    }
    uint32_t* ring() { return ring_; }

  private:
    std::unique_ptr<sim::card::Card> card_;
    volatile ULONG* regs_ = nullptr;
    uint32_t* ring_ = nullptr;
    uint32_t* cq_ = nullptr;
    uint32_t write_ = 0, posted_ = 0, head_ = 0;
};

// Times the card's part of each round (`card`) and a memcpy of `copy_bytes` of the ring beside
// it, and reports both per item and their ratio.
template <typename Fill, typename Card>
void measure(benchmark::State& state, BenchCard& b, uint32_t items, size_t copy_bytes, const char* per, Fill fill,
             Card card) {
    std::vector<uint8_t> copy(copy_bytes);
    double card_ns = 0, memcpy_ns = 0;
    for (auto _ : state) {
        fill();
        auto t0 = steady::now();
        card();
        auto t1 = steady::now();
        std::memcpy(copy.data(), b.ring(), copy.size());
        benchmark::DoNotOptimize(copy.data());
        auto t2 = steady::now();
        card_ns += ns_between(t0, t1);
        memcpy_ns += ns_between(t1, t2);
    }
    double n = (double)state.iterations() * items;
    state.counters[std::string("card_ns_per_") + per] = card_ns / n;
    state.counters[std::string("memcpy_ns_per_") + per] = memcpy_ns / n;
    state.counters["ratio"] = memcpy_ns > 0 ? card_ns / memcpy_ns : 0;
    state.SetItemsProcessed((int64_t)n);
}

void BM_CardRingReplay(benchmark::State& state) {
    const uint32_t batch = 4096;
    BenchCard b;
    measure(
        state, b, batch, 8ull * batch, "entry",
        [&] {
            for (uint32_t i = 0; i < batch; i++) {
                b.append(scratch + 4 * (i % 64), i);
            }
        },
        [&] { b.doorbell(); });
}
BENCHMARK(BM_CardRingReplay)->UseRealTime();

void BM_CardCompletionWords(benchmark::State& state) {
    // Direct markers: two entries each, answered by one word on ring 0.
    const uint32_t batch = 1024;
    BenchCard b;
    uint32_t lost = 0;
    measure(
        state, b, batch, 8ull * 2 * batch + 4ull * batch, "word",
        [&] {
            for (uint32_t i = 0; i < batch; i++) {
                b.append(0x8000 + 400, 0);
                b.append(0x8000 + 396, 26);
            }
        },
        [&] {
            b.doorbell();
            lost += batch - b.drain();
        });
    if (lost != 0) {
        state.SkipWithError("completion words missing");
    }
}
BENCHMARK(BM_CardCompletionWords)->UseRealTime();

}  // namespace
