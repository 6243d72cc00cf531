// 4 KiB appends and 4 KiB reads through the whole data channel on the card model (no NAND delay),
// on 1 and 4 submitting processors: the builder, preparation, the issue loop and its handler,
// the command ring and doorbell, the card's DMA and rows, the completion rings, their interrupts
// and DPCs, and retirement on the submitter's processor. Each iteration sends a burst of
// one-packet appends per submitter and waits for their notices, or reads a burst of packets one
// after another (each read waits for its data).
//
// The baseline, measured in the same run by the same thread: two memcpys of 4 KiB per operation
// (into a DMA buffer, then on to the media). "ratio" is channel time / baseline time.
//
// Over the submitters' loops (bench/host_cost.h): "switches_per_op", the whole process's context
// switches per operation of all submitters, voluntary ("voluntary_per_op") and involuntary
// ("involuntary_per_op") added; "driver_share", the share of the host's processor time (the card
// model's engine thread left out) sampled in the driver's own code, over "samples" samples.
//
// Its fixture boots a machine of its own and leaves nothing behind; it runs before the forward
// map's benchmarks, which keep their machine to the end of the program (file order).

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "bench/host_cost.h"
#include "tests/driver/pipeline/append_channel.h"

namespace {

using steady = std::chrono::steady_clock;
constexpr int burst = 16;
constexpr int max_submitters = 4;
constexpr ULONG read_packets = 64;  // written to block 2 before the reads
constexpr USHORT read_block_eb = 2;

struct submitter {
    std::atomic<int64_t> noticed{0};
    std::atomic<int> failed{0};
    UCHAR from[AppendChannelTest::payload];
    UCHAR through[AppendChannelTest::payload];
    UCHAR to[AppendChannelTest::payload];
};

// The append fixture outside a test, with blocks of 16 rows (64 packets fit in one).
class ChannelRig : public AppendChannelTest {
  public:
    void TestBody() override {}
    ULONG block_rows() const override { return 16; }

    bool up() {
        SetUp();
        if (HasFatalFailure()) {
            return false;
        }
        for (ULONG k = 0; k < burst * max_submitters; k++) {
            for (ULONG i = 0; i < payload; i++) {
                packets_[k * payload + i] = payload_byte(k, i);
            }
        }
        return request_open_append_point_sync(&ap_) == 0;
    }
    // Writes the packets the reads read (lba k at packet k of block 2) and closes the point.
    bool write_for_reads() {
        for (ULONG k = 0; k < read_packets; k += burst) {
            if (append(k, burst, k) != 0) {
                return false;
            }
        }
        if (!wait_notices(read_packets / burst) || request_close_append_point_sync(&ap_, nullptr) != 0) {
            return false;
        }
        std::lock_guard<std::mutex> g(mutex_);
        for (const notice& n : notices_) {
            if (n.status != 0 || n.runs.vectors[0].eb != read_block_eb) {
                return false;
            }
        }
        return true;
    }
    void down() {
        request_close_append_point_sync(&ap_, nullptr);
        TearDown();
    }

    static int counted(int status, const pav_addr_block*, void* arg) {
        auto* s = (submitter*)arg;
        if (status != 0) {
            s->failed.store(1, std::memory_order_relaxed);
        }
        s->noticed.fetch_add(1, std::memory_order_release);
        s->noticed.notify_all();
        return 0;
    }
    // A one-packet append of submitter `index`'s slot `k`.
    int append_one(ULONG index, ULONG k, ULONG64 lba) {
        ULONG geometry[2] = {ap_.geometry_a, ap_.geometry_b};
        return request_submit_append(&ap_, counted, nullptr, geometry, (ULONG64)data_flag << 56 | lba, 1,
                                     packets_ + (index * burst + k) * payload, nullptr, &submitters[index]);
    }
    // Reads the payload of packet `k` of block 2 into submitter `index`'s part of back_.
    int read_one(ULONG index, ULONG k) {
        media_address at{opener_bytes + k * unit + 8, read_block_eb, {}};
        return media_read_raw(channel(), &at, back_ + index * payload, payload, 0, nullptr, nullptr, nullptr);
    }
    bool read_holds(ULONG index, ULONG k) {
        for (ULONG i = 0; i < payload; i++) {
            if (back_[index * payload + i] != payload_byte(k, i)) {
                return false;
            }
        }
        return true;
    }

    bool on_card_engine() const { return model_->on_engine_thread(); }

    submitter submitters[max_submitters];
    std::unique_ptr<bench::code_sampler> sampler;
};

std::unique_ptr<ChannelRig> rig;
std::atomic<bool> rig_ready{false};

// Two memcpys of 4 KiB per operation, `count` operations.
void baseline(submitter& s, int count) {
    for (int i = 0; i < count; i++) {
        std::memcpy(s.through, s.from, sizeof s.from);
        benchmark::ClobberMemory();
        std::memcpy(s.to, s.through, sizeof s.through);
        benchmark::ClobberMemory();
    }
}

// The whole process's switches and the driver's share, measured by thread 0 over its loop.
struct process_cost {
    bench::switch_count switches0;
    bench::switch_count switches;
};

void cost_begin(benchmark::State& state, process_cost& c) {
    if (state.thread_index() == 0 && rig != nullptr && rig->sampler != nullptr) {
        c.switches0 = bench::switches_now();
        rig->sampler->resume();
    }
}

void cost_end(benchmark::State& state, process_cost& c) {
    if (state.thread_index() == 0 && rig != nullptr && rig->sampler != nullptr) {
        rig->sampler->pause();
        c.switches = bench::switches_now() - c.switches0;
    }
}

void report(benchmark::State& state, const char* rate, int64_t ops, double channel_ns, double baseline_ns,
            const process_cost& c) {
    double total = (double)ops;
    if (state.thread_index() == 0 && total > 0) {
        // Every thread runs as many iterations: all operations are this thread's times the threads.
        double all = total * state.threads();
        state.counters["voluntary_per_op"] = (double)c.switches.voluntary / all;
        state.counters["involuntary_per_op"] = (double)c.switches.involuntary / all;
        state.counters["switches_per_op"] = (double)(c.switches.voluntary + c.switches.involuntary) / all;
        if (bench::driver_text_known()) {
            state.counters["driver_share"] = rig->sampler->driver_share();
            state.counters["samples"] = (double)rig->sampler->samples();
        }
    }
    state.counters["channel_ns_per_op"] =
        benchmark::Counter(total > 0 ? channel_ns / total : 0, benchmark::Counter::kAvgThreads);
    state.counters["baseline_ns_per_op"] =
        benchmark::Counter(total > 0 ? baseline_ns / total : 0, benchmark::Counter::kAvgThreads);
    state.counters["ratio"] =
        benchmark::Counter(baseline_ns > 0 ? channel_ns / baseline_ns : 0, benchmark::Counter::kAvgThreads);
    // Summed over the submitters.
    state.counters[rate] = benchmark::Counter(channel_ns > 0 ? total * 1e9 / channel_ns : 0);
    state.counters["baseline_per_second"] = benchmark::Counter(baseline_ns > 0 ? total * 1e9 / baseline_ns : 0);
    state.SetItemsProcessed(ops);
    state.SetBytesProcessed(ops * AppendChannelTest::payload);
}

// Thread 0 boots the rig before the loop (the other threads wait at the loop's start) and takes
// it down after it (every thread has left its loop).
void rig_up(benchmark::State& state, bool for_reads) {
    if (state.thread_index() != 0) {
        return;
    }
    rig = std::make_unique<ChannelRig>();
    bool up = rig->up() && (!for_reads || rig->write_for_reads());
    rig->sampler = std::make_unique<bench::code_sampler>(
        [](void* r) { return ((ChannelRig*)r)->on_card_engine(); }, rig.get());
    rig_ready.store(up);
    if (!up) {
        state.SkipWithError("the card channel did not start");
    }
}

void rig_down(benchmark::State& state) {
    if (state.thread_index() != 0) {
        return;
    }
    rig_ready.store(false);
    rig->sampler.reset();
    rig->down();
    rig.reset();
}

void BM_ChannelAppend(benchmark::State& state) {
    rig_up(state, false);
    ULONG index = (ULONG)state.thread_index();
    double channel_ns = 0;
    double baseline_ns = 0;
    int64_t sent = 0;
    bool failed = false;
    ULONG64 lba = (ULONG64)index << 40;
    process_cost cost;
    cost_begin(state, cost);
    for (auto _ : state) {
        if (!rig_ready.load()) {
            state.SkipWithError("no card channel");
            break;
        }
        sim::kernel::set_current_processor(index);
        submitter& s = rig->submitters[index];
        sent += burst;
        auto t0 = steady::now();
        for (int k = 0; k < burst; k++) {
            if (rig->append_one(index, k, lba++) != 0) {
                s.failed.store(1);
                s.noticed.fetch_add(1);
            }
        }
        // Asleep until the notices are in, as a caller of the channel waits: a thread spinning
        // here would take a host processor from the threads that bring the notices.
        for (int64_t seen; (seen = s.noticed.load(std::memory_order_acquire)) < sent;) {
            s.noticed.wait(seen, std::memory_order_acquire);
        }
        auto t1 = steady::now();
        baseline(s, burst);
        auto t2 = steady::now();
        failed |= s.failed.load() != 0;
        channel_ns += std::chrono::duration<double, std::nano>(t1 - t0).count();
        baseline_ns += std::chrono::duration<double, std::nano>(t2 - t1).count();
    }
    // After the loop only thread 0 touches the rig: it takes it down.
    if (failed) {
        state.SkipWithError("an append failed");
    }
    cost_end(state, cost);
    report(state, "appends_per_second", sent, channel_ns, baseline_ns, cost);
    rig_down(state);
}
BENCHMARK(BM_ChannelAppend)->Threads(1)->Threads(max_submitters)->UseRealTime();

void BM_ChannelRead(benchmark::State& state) {
    rig_up(state, true);
    ULONG index = (ULONG)state.thread_index();
    double channel_ns = 0;
    double baseline_ns = 0;
    int64_t done = 0;
    bool failed = false;
    ULONG k = index;
    process_cost cost;
    cost_begin(state, cost);
    for (auto _ : state) {
        if (!rig_ready.load()) {
            state.SkipWithError("no card channel");
            break;
        }
        sim::kernel::set_current_processor(index);
        submitter& s = rig->submitters[index];
        auto t0 = steady::now();
        for (int i = 0; i < burst; i++) {
            k = (k + max_submitters) % read_packets;
            failed |= rig->read_one(index, k) != 0;
        }
        auto t1 = steady::now();
        baseline(s, burst);
        auto t2 = steady::now();
        failed |= !rig->read_holds(index, k);
        done += burst;
        channel_ns += std::chrono::duration<double, std::nano>(t1 - t0).count();
        baseline_ns += std::chrono::duration<double, std::nano>(t2 - t1).count();
    }
    if (failed) {
        state.SkipWithError("a read failed or brought back other data");
    }
    cost_end(state, cost);
    report(state, "reads_per_second", done, channel_ns, baseline_ns, cost);
    rig_down(state);
}
BENCHMARK(BM_ChannelRead)->Threads(1)->Threads(max_submitters)->UseRealTime();

}  // namespace
