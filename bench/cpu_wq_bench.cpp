// The per-processor completion hand-off beside a plain mutex-and-condition-variable queue with
// one consumer thread, in the same run.
//
// Each iteration hands the same number of items, one at a time (lock, link, unlock, wake), from
// the benchmark's thread to one consumer thread and waits until the consumer has run them all:
// once to processor 2's "pav-wq" thread, once to the baseline's consumer. "ratio" is hand-off
// time / baseline time.
//
// Both are measured in the same arrangement: the benchmark's thread runs on the first host
// processor it may use and both consumers on the second (left to the host's scheduler, the
// consumer that happens to share the producer's processor runs only when the producer yields,
// and which one that is changes from run to run), and the two take turns at going first, so
// that each follows the other as often as it follows itself. Each consumer takes its whole
// list under its lock and runs the items after releasing it.

#include <benchmark/benchmark.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "driver/platform/cpu_wq.h"
#include "driver/platform/thread.h"
#include "sim/kernel/control.h"

namespace {

using steady = std::chrono::steady_clock;
constexpr int items_per_iteration = 64;
constexpr ULONG target_cpu = 2;

// The host processors of the arrangement (-1: the process may use only one, nothing is pinned).
std::atomic<int> producer_host_cpu{-1};
std::atomic<int> consumer_host_cpu{-1};

void pin_to_host_cpu(int cpu) {
    if (cpu < 0) {
        return;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

// Pins the calling thread (the producer) to the first processor of `allowed` and names the
// second for the consumers.
void arrange(const cpu_set_t& allowed) {
    int found[2] = {-1, -1};
    int count = 0;
    for (int cpu = 0; cpu < CPU_SETSIZE && count < 2; cpu++) {
        if (CPU_ISSET(cpu, &allowed)) {
            found[count++] = cpu;
        }
    }
    bool two = count == 2;
    producer_host_cpu = two ? found[0] : -1;
    consumer_host_cpu = two ? found[1] : -1;
    pin_to_host_cpu(producer_host_cpu);
}

std::atomic<int64_t> run_by_cpu_wq{0};

ULONG count_completions(LIST_ENTRY* completed, cpu_wq*) {
    thread_local bool pinned = false;  // each run of the benchmark starts new pav-wq threads
    if (!pinned) {
        pinned = true;
        pin_to_host_cpu(consumer_host_cpu);
    }
    ULONG n = 0;
    while (!IsListEmpty(completed)) {
        RemoveHeadList(completed);
        n++;
    }
    run_by_cpu_wq.fetch_add(n, std::memory_order_release);
    return n;
}

void wait_until(const std::atomic<int64_t>& counter, int64_t target) {
    while (counter.load(std::memory_order_acquire) < target) {
        std::this_thread::yield();
    }
}

// The baseline: an intrusive list under a mutex, one consumer woken by a condition variable.
class plain_queue {
  public:
    // The consumer starts only once every member it reads is set.
    plain_queue() {
        InitializeListHead(&items_);
        consumer_ = std::thread([this] { consume(); });
    }
    ~plain_queue() {
        {
            std::lock_guard<std::mutex> g(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        consumer_.join();
    }
    void push(LIST_ENTRY* item) {
        {
            std::lock_guard<std::mutex> g(mutex_);
            InsertTailList(&items_, item);
        }
        wake_.notify_one();
    }
    std::atomic<int64_t> run{0};

  private:
    void consume() {
        pin_to_host_cpu(consumer_host_cpu);
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stop_ || !IsListEmpty(&items_); });
            if (stop_) {
                return;
            }
            LIST_ENTRY taken;
            taken.Flink = items_.Flink;
            taken.Blink = items_.Blink;
            taken.Flink->Blink = &taken;
            taken.Blink->Flink = &taken;
            InitializeListHead(&items_);
            lock.unlock();
            int64_t n = 0;
            while (!IsListEmpty(&taken)) {
                RemoveHeadList(&taken);
                n++;
            }
            run.fetch_add(n, std::memory_order_release);
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    LIST_ENTRY items_;
    bool stop_ = false;
    std::thread consumer_;
};

void BM_CompletionHandOff(benchmark::State& state) {
    sim::kernel::wait_for_system_threads(10000);
    sim::kernel::boot();
    static constexpr cpu_wq_ops counting = [] {
        cpu_wq_ops ops = cpu_wq_ops_defaults;
        ops.run_completions = count_completions;
        return ops;
    }();
    run_by_cpu_wq = 0;
    if (kpav_numa_init() != 0 || cpu_wq_init(&counting) != 0) {
        state.SkipWithError("no per-processor threads");
        return;
    }
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    sched_getaffinity(0, sizeof allowed, &allowed);
    arrange(allowed);
    plain_queue baseline;
    LIST_ENTRY items[items_per_iteration];
    int64_t handed = 0;
    auto hand_off = [&] {
        auto t0 = steady::now();
        for (LIST_ENTRY& item : items) {
            cpu_wq* record = cpu_wq_lock_for_cpu(target_cpu);
            cpu_wq_add_completed(record, &item);
            cpu_wq_unlock(record);
            cpu_wq_signal(record);
        }
        wait_until(run_by_cpu_wq, handed);
        return steady::now() - t0;
    };
    auto plain = [&] {
        auto t0 = steady::now();
        for (LIST_ENTRY& item : items) {
            baseline.push(&item);
        }
        wait_until(baseline.run, handed);
        return steady::now() - t0;
    };
    // Once untimed: the consumers move to their processor on their first items.
    handed += items_per_iteration;
    hand_off();
    plain();
    steady::duration hand_off_time{};
    steady::duration baseline_time{};
    int64_t timed = 0;
    bool hand_off_first = true;
    for (auto _ : state) {
        timed += items_per_iteration;
        handed += items_per_iteration;
        if (hand_off_first) {
            hand_off_time += hand_off();
            baseline_time += plain();
        } else {
            baseline_time += plain();
            hand_off_time += hand_off();
        }
        hand_off_first = !hand_off_first;
    }
    cpu_wq_exit();
    sim::kernel::wait_for_system_threads(10000);
    sched_setaffinity(0, sizeof allowed, &allowed);
    double hand_off_ns = (double)std::chrono::duration_cast<std::chrono::nanoseconds>(hand_off_time).count();
    double baseline_ns = (double)std::chrono::duration_cast<std::chrono::nanoseconds>(baseline_time).count();
    double total = (double)timed;
    state.counters["hand_off_ns_per_item"] = total > 0 ? hand_off_ns / total : 0;
    state.counters["baseline_ns_per_item"] = total > 0 ? baseline_ns / total : 0;
    state.counters["ratio"] = baseline_ns > 0 ? hand_off_ns / baseline_ns : 0;
    state.SetItemsProcessed(timed * 2);
}
BENCHMARK(BM_CompletionHandOff)->UseRealTime();

}  // namespace
