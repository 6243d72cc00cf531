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

// Makes the calling host thread one that, once woken, does not take the host processor from the
// thread that woke it: it runs when that thread waits or a processor is free. The stand-in's own
// threads (processor threads, system threads, workers) and the card's engine use it, as a thread
// readied from a DPC on the platform waits until the processor leaves DISPATCH_LEVEL: a wake-up
// then costs one thread switch rather than two (the woken thread preempting its waker, which
// comes back only to go on to its own wait).
void defer_to_waker();

}  // namespace sim::kernel
