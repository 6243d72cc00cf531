#include "sim/kernel/dpc.h"

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/kernel/bugcheck.h"
#include "sim/kernel/io_control.h"
#include "sim/kernel/irql.h"
#include "sim/kernel/processor_queue.h"
#include "sim/kernel/thread_state.h"

namespace {

constexpr UCHAR dpc_object_type = 19;
constexpr UCHAR threaded_dpc_object_type = 24;

// One entry of a processor's DPC queue: a DPC, or a flush barrier when `dpc` is NULL.
struct queue_entry {
    PKDPC dpc;
    uint64_t barrier;
};

// A processor's pending interrupts, its DPC queue and the thread that runs them
// (processor_queue.h). Made once per processor index and kept for the life of the process, like
// the processor itself; never freed, so the thread can go on waiting on it while the process ends.
struct dpc_processor {
    ULONG index;
    std::mutex mutex;
    std::condition_variable work;
    std::condition_variable barrier_passed;
    std::condition_variable interrupt_done;
    std::deque<sim::kernel::pending_interrupt*> interrupts;
    sim::kernel::pending_interrupt* running_interrupt = nullptr;
    std::deque<queue_entry> queue;
    uint64_t barriers_issued = 0;
    uint64_t barriers_passed = 0;
    bool busy = false;  // a DPC routine runs now
};

std::mutex processors_mutex;
std::vector<dpc_processor*>* processors = new std::vector<dpc_processor*>();

// Pending interrupts first (they stand above DISPATCH_LEVEL), then DPCs one by one.
void run_processor_thread(dpc_processor* p) {
    sim::kernel::thread_state& t = sim::kernel::current_thread();
    t.kind = sim::kernel::thread_kind::dpc;
    t.processor = p->index;
    t.irql = DISPATCH_LEVEL;
    char name[16];
    std::snprintf(name, sizeof name, "sim-cpu%u", (unsigned)p->index);
    sim::kernel::start_stand_in_thread(name);
    std::unique_lock<std::mutex> lock(p->mutex);
    for (;;) {
        p->work.wait(lock, [p] { return !p->interrupts.empty() || !p->queue.empty(); });
        if (!p->interrupts.empty()) {
            sim::kernel::pending_interrupt* interrupt = p->interrupts.front();
            p->interrupts.pop_front();
            interrupt->queued = false;
            p->running_interrupt = interrupt;
            lock.unlock();
            t.kind = sim::kernel::thread_kind::interrupt;
            t.processor = p->index;
            interrupt->service(interrupt->context);  // raises to its IRQL and checks it on return
            t.kind = sim::kernel::thread_kind::dpc;
            t.irql = DISPATCH_LEVEL;
            lock.lock();
            p->running_interrupt = nullptr;
            p->interrupt_done.notify_all();
            continue;
        }
        queue_entry e = p->queue.front();
        p->queue.pop_front();
        if (e.dpc == nullptr) {
            p->barriers_passed = e.barrier;
            p->barrier_passed.notify_all();
            continue;
        }
        PKDPC dpc = e.dpc;
        PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        PVOID context = dpc->DeferredContext;
        PVOID argument1 = dpc->SystemArgument1;
        PVOID argument2 = dpc->SystemArgument2;
        // From here the DPC may be queued again, even by its own routine.
        dpc->DpcData = nullptr;
        p->busy = true;
        lock.unlock();
        t.processor = p->index;
        routine(dpc, context, argument1, argument2);
        if (t.irql != DISPATCH_LEVEL) {
            std::fprintf(stderr, "sim: DPC routine %p returned at IRQL %u\n", (void*)routine, t.irql);
            KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, (ULONG_PTR)routine, t.irql, DISPATCH_LEVEL, 0);
        }
        lock.lock();
        p->busy = false;
    }
}

dpc_processor* processor_queue(ULONG index) {
    std::lock_guard<std::mutex> g(processors_mutex);
    if (processors->size() <= index) {
        processors->resize(index + 1, nullptr);
    }
    dpc_processor*& p = (*processors)[index];
    if (p == nullptr) {
        p = new dpc_processor();
        p->index = index;
        std::thread(run_processor_thread, p).detach();
    }
    return p;
}

ULONG target_of(PKDPC dpc) {
    USHORT number = dpc->Number;
    return number != 0 ? (ULONG)number - 1 : sim::kernel::current_thread().processor;
}

}  // namespace

void KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID deferred_context) {
    std::memset((void*)dpc, 0, sizeof *dpc);
    dpc->Type = dpc_object_type;
    dpc->Importance = MediumImportance;
    dpc->DeferredRoutine = routine;
    dpc->DeferredContext = deferred_context;
    InitializeListHead(&dpc->DpcListEntry);
}

void KeInitializeThreadedDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID deferred_context) {
    KeInitializeDpc(dpc, routine, deferred_context);
    dpc->Type = threaded_dpc_object_type;
}

BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID system_argument1, PVOID system_argument2) {
    dpc_processor* p = processor_queue(target_of(dpc));
    {
        std::lock_guard<std::mutex> g(p->mutex);
        PVOID expected = nullptr;
        if (!__atomic_compare_exchange_n(&dpc->DpcData, &expected, (PVOID)p, false, __ATOMIC_ACQ_REL,
                                         __ATOMIC_ACQUIRE)) {
            return FALSE;
        }
        dpc->SystemArgument1 = system_argument1;
        dpc->SystemArgument2 = system_argument2;
        if (dpc->Importance == HighImportance) {
            p->queue.push_front({dpc, 0});
        } else {
            p->queue.push_back({dpc, 0});
        }
    }
    p->work.notify_one();
    return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC dpc) {
    auto* p = (dpc_processor*)__atomic_load_n(&dpc->DpcData, __ATOMIC_ACQUIRE);
    if (p == nullptr) {
        return FALSE;
    }
    std::lock_guard<std::mutex> g(p->mutex);
    if (dpc->DpcData != p) {
        return FALSE;  // it started meanwhile
    }
    for (auto it = p->queue.begin(); it != p->queue.end(); ++it) {
        if (it->dpc == dpc) {
            p->queue.erase(it);
            break;
        }
    }
    dpc->DpcData = nullptr;
    return TRUE;
}

NTSTATUS KeSetTargetProcessorDpcEx(PKDPC dpc, PPROCESSOR_NUMBER number) {
    ULONG index = KeGetProcessorIndexFromNumber(number);
    if (index == 0xFFFFFFFFu) {
        return STATUS_INVALID_PARAMETER;
    }
    dpc->Number = (USHORT)(index + 1);
    return STATUS_SUCCESS;
}

void KeSetTargetProcessorDpc(PRKDPC dpc, CCHAR number) {
    PROCESSOR_NUMBER n{};
    n.Number = (UCHAR)number;
    KeSetTargetProcessorDpcEx(dpc, &n);
}

void KeSetImportanceDpc(PRKDPC dpc, KDPC_IMPORTANCE importance) {
    dpc->Importance = (UCHAR)importance;
}

void KeFlushQueuedDpcs() {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, 0, KeGetCurrentIrql(), PASSIVE_LEVEL, 0);
    }
    std::vector<dpc_processor*> all;
    {
        std::lock_guard<std::mutex> g(processors_mutex);
        for (dpc_processor* p : *processors) {
            if (p != nullptr) {
                all.push_back(p);
            }
        }
    }
    for (dpc_processor* p : all) {
        std::unique_lock<std::mutex> lock(p->mutex);
        uint64_t mine = ++p->barriers_issued;
        p->queue.push_back({nullptr, mine});
        p->work.notify_one();
        p->barrier_passed.wait(lock, [p, mine] { return p->barriers_passed >= mine; });
    }
}

namespace sim::kernel {

void request_interrupt(pending_interrupt* interrupt) {
    dpc_processor* p = processor_queue(interrupt->processor);
    {
        std::lock_guard<std::mutex> g(p->mutex);
        if (interrupt->queued) {
            return;
        }
        interrupt->queued = true;
        p->interrupts.push_back(interrupt);
    }
    p->work.notify_one();
}

void withdraw_interrupt(pending_interrupt* interrupt) {
    dpc_processor* p = processor_queue(interrupt->processor);
    std::unique_lock<std::mutex> lock(p->mutex);
    for (auto it = p->interrupts.begin(); it != p->interrupts.end();) {
        it = *it == interrupt ? p->interrupts.erase(it) : std::next(it);
    }
    interrupt->queued = false;
    p->interrupt_done.wait(lock, [p, interrupt] { return p->running_interrupt != interrupt; });
}

ULONG pending_interrupts() {
    std::lock_guard<std::mutex> g(processors_mutex);
    ULONG n = 0;
    for (dpc_processor* p : *processors) {
        if (p != nullptr) {
            std::lock_guard<std::mutex> q(p->mutex);
            n += (ULONG)p->interrupts.size() + (p->running_interrupt != nullptr ? 1 : 0);
        }
    }
    return n;
}

ULONG queued_dpcs() {
    std::lock_guard<std::mutex> g(processors_mutex);
    ULONG n = 0;
    for (dpc_processor* p : *processors) {
        if (p == nullptr) {
            continue;
        }
        std::lock_guard<std::mutex> q(p->mutex);
        for (const queue_entry& e : p->queue) {
            n += e.dpc != nullptr ? 1 : 0;
        }
        n += p->busy ? 1 : 0;
    }
    return n;
}

}  // namespace sim::kernel
