// 4 KiB writes, each read back, through the whole stack: the data block device's bios, the write
// and read paths with the forward map, the channel's requests, the command ring, the card model's
// DMA into its media (no NAND delay), its completions, interrupts and DPCs, and the bios' ends.
// One submitter, and four on four processors, each on its own sectors, one request at a time.
//
// What it reports, per 4 KiB moved (a write or a read):
//   host_cpu_ns_per_4k   processor time of the whole process, less the card model's engine
//                        thread (the card's work is not the host's), over the requests done;
//   submitter_cpu_ns_per_4k  the submitting threads' own processor time in the requests (taking,
//                        submitting, waiting for and ending the bios), per 4 KiB moved;
//   baseline_ns_per_4k   two memcpys of 4 KiB (into a bounce buffer, then on), timed by the
//                        submitting thread's processor time in the same run;
//   ratio                host_cpu_ns_per_4k / baseline_ns_per_4k (above 1 the stack costs more);
//   per_second           requests of all submitters together per second of wall time;
//   scaling              (four submitters only) that rate over the rate of one submitter measured
//                        in the same iteration;
//   switches_per_request context switches of the whole process per request (a write or a read),
//                        voluntary (`voluntary_per_request`: a thread waited) and involuntary
//                        (`involuntary_per_request`: preempted) added;
//   driver_share         the share of the host's processor time spent in the driver's own code,
//                        sampled (bench/host_cost.h); `samples` says how many samples it rests on;
//   engine_busy          the card model's engine thread's processor time over the wall time (1:
//                        the engine never rested, and bounds the rate);
//   busiest_thread       the processor time of the process's busiest thread over the wall time,
//                        that thread's name in the label (a rate bound by one thread shows it
//                        near 1).
// Processor times are used so that waiting for a processor on a shared machine does not count;
// the rates and the scaling are wall time and move with the machine's load.
//
// Each benchmark boots a machine and a card of its own and leaves nothing behind (it runs before
// the forward map's benchmarks, which keep their machine to the end: file order).

#include <benchmark/benchmark.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "bench/host_cost.h"
#include "sim/card/card.h"
#include "tests/driver/block/data_device_fixture.h"

namespace {

using steady = std::chrono::steady_clock;
constexpr ULONG max_submitters = 4;
constexpr ULONG pairs_per_phase = 64;  // write-and-read pairs per submitter per iteration
constexpr ULONG64 block_sectors = 8;   // 4 KiB of 512-byte sectors
constexpr ULONG64 slots = 1024;        // 4 KiB slots per submitter, written in turn

double seconds(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

// Host processor time so far: the process's, less the card model's engine thread.
double host_seconds(sim::card::Card& card) {
    return seconds(CLOCK_PROCESS_CPUTIME_ID) - card.engine_cpu_seconds();
}

struct submitter {
    std::vector<UCHAR> from, back, through, to;
    std::unique_ptr<dma_visible> from_dma, back_dma;
    ULONG64 next = 0;
    bool failed = false;
    double baseline_seconds = 0;
    double submitter_seconds = 0;
};

// The data device fixture outside a test.
class DataPathRig : public DataDeviceTest {
  public:
    void TestBody() override {}

    bool up() {
        SetUp();
        if (HasFatalFailure()) return false;
        for (ULONG i = 0; i < max_submitters; i++) {
            submitter& s = submitters_[i];
            s.from = pattern((ULONG64)i << 16, block_sectors, (UCHAR)i);
            s.back.assign(s.from.size(), 0);
            s.through.assign(s.from.size(), 0);
            s.to.assign(s.from.size(), 0);
            s.from_dma = std::make_unique<dma_visible>(s.from);
            s.back_dma = std::make_unique<dma_visible>(s.back);
        }
        return true;
    }
    void down() {
        for (submitter& s : submitters_) {
            s.from_dma.reset();
            s.back_dma.reset();
        }
        TearDown();
    }

    // Whether the log still has room for another phase of every submitter's writes (nothing
    // reclaims space here).
    bool room() {
        ULONG64 packets = (ULONG64)max_submitters * pairs_per_phase * block_sectors;
        return datalog_erased_space(&log_) > 4 * packets + 65536;
    }

    // One submitter's phase: write a 4 KiB slot, read it back, `pairs` times; its two memcpys
    // per 4 KiB timed apart.
    void phase(ULONG index, ULONG pairs) {
        sim::kernel::set_current_processor(index);
        submitter& s = submitters_[index];
        for (ULONG k = 0; k < pairs; k++) {
            ULONG64 lba = ((ULONG64)index << 16) + (s.next++ % slots) * block_sectors;
            double s0 = seconds(CLOCK_THREAD_CPUTIME_ID);
            s.failed |= submit_wait(take(BIO_WRITE, lba, block_sectors, s.from.data())) != 0;
            s.failed |= submit_wait(take(BIO_READ, lba, block_sectors, s.back.data())) != 0;
            s.submitter_seconds += seconds(CLOCK_THREAD_CPUTIME_ID) - s0;
            double t0 = seconds(CLOCK_THREAD_CPUTIME_ID);
            for (int copy = 0; copy < 2; copy++) {
                std::memcpy(s.through.data(), s.from.data(), s.from.size());
                benchmark::ClobberMemory();
                std::memcpy(s.to.data(), s.through.data(), s.through.size());
                benchmark::ClobberMemory();
            }
            s.baseline_seconds += seconds(CLOCK_THREAD_CPUTIME_ID) - t0;
        }
        s.failed |= s.back != s.from;
    }

    struct result {
        double wall = 0, host = 0, baseline = 0, submitter = 0, engine = 0;
        ULONG64 requests = 0;
        bench::switch_count switches;
        bench::thread_times threads;
    };
    // `count` submitters on processors 0.. at once.
    result run(ULONG count) {
        result r;
        for (ULONG i = 0; i < count; i++) submitters_[i].baseline_seconds = submitters_[i].submitter_seconds = 0;
        double host0 = host_seconds(*model_);
        double engine0 = model_->engine_cpu_seconds();
        bench::switch_count switches0 = bench::switches_now();
        bench::thread_times threads0 = bench::thread_times_now();
        auto t0 = steady::now();
        if (count == 1) {
            phase(0, pairs_per_phase);
        } else {
            std::vector<std::thread> threads;
            for (ULONG i = 0; i < count; i++) threads.emplace_back([this, i] { phase(i, pairs_per_phase); });
            for (auto& t : threads) t.join();
            sim::kernel::set_current_processor(0);
        }
        r.wall = std::chrono::duration<double>(steady::now() - t0).count();
        r.host = host_seconds(*model_) - host0;
        r.engine = model_->engine_cpu_seconds() - engine0;
        r.switches = bench::switches_now() - switches0;
        bench::add_thread_times(r.threads, threads0, bench::thread_times_now());
        for (ULONG i = 0; i < count; i++) {
            r.baseline += submitters_[i].baseline_seconds;
            r.submitter += submitters_[i].submitter_seconds;
        }
        r.requests = (ULONG64)count * pairs_per_phase * 2;
        return r;
    }
    bool failed() const {
        for (const submitter& s : submitters_) {
            if (s.failed) return true;
        }
        return false;
    }

    bool on_card_engine() const { return model_->on_engine_thread(); }

    submitter submitters_[max_submitters];
};

void BM_DataPathWriteRead(benchmark::State& state) {
    ULONG count = (ULONG)state.range(0);
    auto rig = std::make_unique<DataPathRig>();
    if (!rig->up()) {
        state.SkipWithError("the data device did not start");
        return;
    }
    bench::code_sampler sampler([](void* r) { return ((DataPathRig*)r)->on_card_engine(); }, rig.get());
    DataPathRig::result all, one;
    std::string busiest_name;
    for (auto _ : state) {
        if (!rig->room()) {
            state.SkipWithError("the card's log is full");
            break;
        }
        sampler.resume();
        DataPathRig::result r = rig->run(count);
        sampler.pause();
        state.SetIterationTime(r.wall);
        all.wall += r.wall;
        all.host += r.host;
        all.baseline += r.baseline;
        all.submitter += r.submitter;
        all.engine += r.engine;
        all.requests += r.requests;
        all.switches.voluntary += r.switches.voluntary;
        all.switches.involuntary += r.switches.involuntary;
        bench::add_thread_times(all.threads, {}, r.threads);
        if (count > 1) {
            DataPathRig::result o = rig->run(1);
            one.wall += o.wall;
            one.requests += o.requests;
        }
    }
    if (rig->failed()) state.SkipWithError("a request failed or read back other data");
    double requests = (double)all.requests;
    if (requests > 0) {
        // Two memcpys per 4 KiB pair member: the baseline per 4 KiB moved.
        double baseline_per_4k = all.baseline / requests;
        state.counters["host_cpu_ns_per_4k"] = all.host / requests * 1e9;
        state.counters["baseline_ns_per_4k"] = baseline_per_4k * 1e9;
        state.counters["submitter_cpu_ns_per_4k"] = all.submitter / requests * 1e9;
        state.counters["ratio"] = baseline_per_4k > 0 ? all.host / all.baseline : 0;
        state.counters["per_second"] = all.wall > 0 ? requests / all.wall : 0;
        state.counters["engine_busy"] = all.wall > 0 ? all.engine / all.wall : 0;
        bench::thread_time most = bench::busiest(all.threads);
        state.counters["busiest_thread"] = all.wall > 0 ? most.seconds / all.wall : 0;
        busiest_name = most.name;
        state.counters["voluntary_per_request"] = (double)all.switches.voluntary / requests;
        state.counters["involuntary_per_request"] = (double)all.switches.involuntary / requests;
        state.counters["switches_per_request"] =
            (double)(all.switches.voluntary + all.switches.involuntary) / requests;
        if (bench::driver_text_known()) {
            state.counters["driver_share"] = sampler.driver_share();
            state.counters["samples"] = (double)sampler.samples();
        }
        if (count > 1 && one.wall > 0 && all.wall > 0) {
            state.counters["scaling"] = (requests / all.wall) / ((double)one.requests / one.wall);
        }
    }
    state.SetItemsProcessed((int64_t)all.requests);
    state.SetBytesProcessed((int64_t)all.requests * 4096);
    state.SetLabel(std::to_string(count) + (count == 1 ? " submitter" : " submitters") +
                   (busiest_name.empty() ? "" : ", busiest thread " + busiest_name));
    rig->down();
}
BENCHMARK(BM_DataPathWriteRead)->Arg(1)->Arg(max_submitters)->UseManualTime();

}  // namespace
