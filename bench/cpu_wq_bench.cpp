// The per-processor completion hand-off beside a plain mutex-and-condition-variable queue with
// one consumer thread, in the same run.
//
// Each iteration hands the same number of items, one at a time (lock, link, unlock, wake), from
// the benchmark's thread to one consumer thread and waits until the consumer has run them all:
// once to processor 2's "pav-wq" thread, once to the baseline's consumer. "ratio" is hand-off
// time / baseline time.

#include <benchmark/benchmark.h>

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

std::atomic<int64_t> run_by_cpu_wq{0};

ULONG count_completions(LIST_ENTRY* completed, cpu_wq*) {
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
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stop_ || !IsListEmpty(&items_); });
            if (stop_) {
                return;
            }
            int64_t n = 0;
            while (!IsListEmpty(&items_)) {
                RemoveHeadList(&items_);
                n++;
            }
            run.fetch_add(n, std::memory_order_release);
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
    cpu_wq_hook_table = cpu_wq_hooks{};
    cpu_wq_set_hook(run_completions, count_completions);
    run_by_cpu_wq = 0;
    if (kpav_numa_init() != 0 || cpu_wq_init() != 0) {
        state.SkipWithError("no per-processor threads");
        return;
    }
    plain_queue baseline;
    LIST_ENTRY items[items_per_iteration];
    double hand_off_ns = 0;
    double baseline_ns = 0;
    int64_t handed = 0;
    for (auto _ : state) {
        handed += items_per_iteration;
        auto t0 = steady::now();
        for (LIST_ENTRY& item : items) {
            cpu_wq* record = cpu_wq_lock_for_cpu(target_cpu);
            cpu_wq_add_completed(record, &item);
            cpu_wq_unlock(record);
            cpu_wq_signal(record);
        }
        wait_until(run_by_cpu_wq, handed);
        auto t1 = steady::now();
        for (LIST_ENTRY& item : items) {
            baseline.push(&item);
        }
        wait_until(baseline.run, handed);
        auto t2 = steady::now();
        hand_off_ns += (double)std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count();
        baseline_ns += (double)std::chrono::duration_cast<std::chrono::nanoseconds>(t2 - t1).count();
    }
    cpu_wq_exit();
    sim::kernel::wait_for_system_threads(10000);  // the threads read the hooks until they end
    cpu_wq_hook_table = cpu_wq_hooks{};
    double total = (double)handed;
    state.counters["hand_off_ns_per_item"] = total > 0 ? hand_off_ns / total : 0;
    state.counters["baseline_ns_per_item"] = total > 0 ? baseline_ns / total : 0;
    state.counters["ratio"] = baseline_ns > 0 ? hand_off_ns / baseline_ns : 0;
    state.SetItemsProcessed(handed * 2);
}
BENCHMARK(BM_CompletionHandOff)->UseRealTime();

}  // namespace
