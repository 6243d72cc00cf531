#include "sim/kernel/thread.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "sim/kernel/bugcheck.h"
#include "sim/kernel/control.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/processors.h"
#include "sim/kernel/thread_state.h"
#include "sim/kernel/timeline.h"

using sim::kernel::current_thread;
using sim::kernel::thread_kind;
using sim::kernel::thread_state;
namespace timeline = sim::kernel::timeline;

namespace {

// Ends a system thread from inside it (PsTerminateSystemThread); caught at the thread's root.
struct thread_exit {};

std::mutex live_mutex;
std::condition_variable live_changed;
ULONG live_count = 0;
std::atomic<ULONG_PTR> next_id{8};
std::atomic<ULONG> next_processor{0};

// Running threads' states by object, so that an alert never reaches a thread that has gone.
std::mutex state_mutex;

struct running_thread {
    SIM_THREAD_OBJECT* object;
    thread_state* state;
};
std::vector<running_thread> running;

SIM_THREAD_OBJECT* new_thread_object() {
    auto* obj = (SIM_THREAD_OBJECT*)sim::kernel::objects::create(*PsThreadType, sizeof(SIM_THREAD_OBJECT), nullptr);
    if (obj == nullptr) {
        return nullptr;
    }
    obj->Header.Type = SimThreadObject;
    obj->Header.SignalState = 0;
    InitializeListHead(&obj->Header.WaitListHead);
    obj->Id = next_id.fetch_add(4);
    obj->Priority = 8;
    return obj;
}

void thread_root(SIM_THREAD_OBJECT* obj, PKSTART_ROUTINE start, PVOID context, ULONG processor) {
    thread_state& t = current_thread();
    t.kind = thread_kind::system;
    t.irql = PASSIVE_LEVEL;
    t.processor = processor;
    t.object = obj;
    sim::kernel::start_stand_in_thread("sim-thread");
    {
        std::lock_guard<std::mutex> g(state_mutex);
        running.push_back({obj, &t});
    }
    try {
        start(context);
    } catch (const thread_exit&) {
    }
    if (t.irql != PASSIVE_LEVEL || t.critical_region != 0) {
        std::fprintf(stderr, "sim: system thread %lu ended at IRQL %u with %d critical regions\n",
                     (unsigned long)obj->Id, t.irql, t.critical_region);
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, (ULONG_PTR)start, t.irql, (ULONG_PTR)t.critical_region, 0);
    }
    {
        std::lock_guard<std::mutex> g(state_mutex);
        for (auto it = running.begin(); it != running.end(); ++it) {
            if (it->object == obj) {
                running.erase(it);
                break;
            }
        }
    }
    t.object = nullptr;
    timeline::signal(obj, [obj] { __atomic_store_n(&obj->Header.SignalState, 1, __ATOMIC_SEQ_CST); });
    ObDereferenceObject(obj);  // the running thread's own reference
    // The last thing the thread touches: it wakes the waiters while it still holds the mutex, so
    // that a waiter seeing no live thread (and then the process ending, tearing down these
    // globals) comes after the thread is done with them.
    std::lock_guard<std::mutex> g(live_mutex);
    live_count--;
    live_changed.notify_all();
}

// Waits at the process's exit, for at most 10 s, until the stand-in threads still ending are
// done: they touch the bookkeeping above (and the rest of the stand-in) to their last step, and
// static destruction must come after that. Made on the first thread's creation, so that it goes
// before every object that was there when the program started.
struct threads_end_before_exit {
    ~threads_end_before_exit() { sim::kernel::wait_for_system_threads(10000); }
};

}  // namespace

namespace sim::kernel {

ULONG live_system_threads() {
    std::lock_guard<std::mutex> g(live_mutex);
    return live_count;
}

bool wait_for_system_threads(unsigned real_milliseconds) {
    std::unique_lock<std::mutex> g(live_mutex);
    return live_changed.wait_for(g, std::chrono::milliseconds(real_milliseconds), [] { return live_count == 0; });
}

void alert_thread(PVOID thread_object) {
    std::lock_guard<std::mutex> g(state_mutex);
    for (const running_thread& r : running) {
        if (r.object != thread_object) {
            continue;
        }
        r.state->alert_pending = true;
        const void* waiting = r.state->waiting_on.load();
        if (waiting != nullptr) {
            timeline::signal(waiting, [] {});
        }
    }
}

void set_user_process(int pid) {
    current_thread().user_process = pid;
}

}  // namespace sim::kernel

NTSTATUS PsCreateSystemThread(PHANDLE thread_handle, ULONG desired_access, POBJECT_ATTRIBUTES attributes,
                              HANDLE process_handle, PCLIENT_ID client_id, PKSTART_ROUTINE start_routine,
                              PVOID start_context) {
    UNREFERENCED_PARAMETER(desired_access);
    UNREFERENCED_PARAMETER(attributes);
    UNREFERENCED_PARAMETER(process_handle);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, (ULONG_PTR)start_routine, KeGetCurrentIrql(), 0, 0);
    }
    if (sim::kernel::faults::should_fail(sim::kernel::fault_site::system_thread)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    SIM_THREAD_OBJECT* obj = new_thread_object();
    if (obj == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    static threads_end_before_exit wait_at_exit;
    ObReferenceObject(obj);  // the running thread's reference
    ULONG active = KeQueryActiveProcessorCountEx(ALL_PROCESSOR_GROUPS);
    ULONG processor = active == 0 ? 0 : next_processor.fetch_add(1) % active;
    {
        std::lock_guard<std::mutex> g(live_mutex);
        live_count++;
    }
    try {
        std::thread(thread_root, obj, start_routine, start_context, processor).detach();
    } catch (const std::system_error&) {
        {
            std::lock_guard<std::mutex> g(live_mutex);
            live_count--;
        }
        ObDereferenceObject(obj);
        ObDereferenceObject(obj);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (client_id != nullptr) {
        client_id->UniqueProcess = (HANDLE)4;
        client_id->UniqueThread = (HANDLE)obj->Id;
    }
    *thread_handle = sim::kernel::objects::open_handle(obj);
    ObDereferenceObject(obj);  // the creation reference; the handle keeps one now
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS exit_status) {
    UNREFERENCED_PARAMETER(exit_status);
    if (current_thread().kind != thread_kind::system) {
        std::fprintf(stderr, "sim: PsTerminateSystemThread outside a system thread\n");
        std::abort();
    }
    throw thread_exit{};
}

PETHREAD PsGetCurrentThread() {
    thread_state& t = current_thread();
    if (t.object == nullptr) {
        // A thread the stand-in did not create gets an object on first use; it lives as long
        // as the process.
        t.object = new_thread_object();
    }
    return t.object;
}

PKTHREAD KeGetCurrentThread() {
    return PsGetCurrentThread();
}

HANDLE PsGetCurrentThreadId() {
    return (HANDLE)PsGetCurrentThread()->Id;
}

KPRIORITY KeSetPriorityThread(PKTHREAD thread, KPRIORITY priority) {
    KPRIORITY old = thread->Priority;
    thread->Priority = priority;
    return old;
}

KPRIORITY KeQueryPriorityThread(PKTHREAD thread) {
    return thread->Priority;
}
