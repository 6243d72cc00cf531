// Internal to the stand-in: what the simulated kernel keeps about each host thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "sim/kernel/irql.h"
#include "sim/kernel/types.h"

struct SIM_THREAD_OBJECT;

namespace sim::kernel {

enum class thread_kind : uint8_t { outside, system, dpc, worker, interrupt };

struct thread_state {
    KIRQL& irql = current_irql;   // the thread's own (irql.h)
    ULONG processor = 0;          // index of the processor the thread runs on
    bool affinity_set = false;    // bound by KeSetSystemGroupAffinityThread
    thread_kind kind = thread_kind::outside;
    int critical_region = 0;      // KeEnterCriticalRegion depth
    std::atomic<bool> alert_pending{false};
    std::atomic<const void*> waiting_on{nullptr};  // object of the current wait, for alerts
    SIM_THREAD_OBJECT* object = nullptr;           // the thread's kernel object (lazy for outside threads)
    int user_process = 0;         // pid whose user buffers an outside thread reaches; 0 = this process

    ~thread_state();  // gives up the thread object of a thread the stand-in did not create
};

thread_state& current_thread();

// Names the calling host thread (`name`, at most 15 characters: what top, perf and the benchmarks
// show) and makes it one that, once woken, does not take the host processor from the thread that
// woke it: it runs when that thread waits or another processor is free. The stand-in's own
// threads (processor threads, system threads, workers) and the card's engine start with it, as a
// thread readied from a DPC on the platform waits until the processor leaves DISPATCH_LEVEL: a
// wake-up then costs one thread switch rather than two (the woken thread preempting its waker,
// which comes back only to go on to its own wait). The price: on a host whose processors are all
// busy with other programs, a woken stand-in thread waits for its turn rather than preempting.
void start_stand_in_thread(const char* name);

}  // namespace sim::kernel
