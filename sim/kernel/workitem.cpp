#include "sim/kernel/workitem.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

#include "sim/kernel/bugcheck.h"
#include "sim/kernel/control.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/io_control.h"
#include "sim/kernel/irql.h"
#include "sim/kernel/processors.h"
#include "sim/kernel/thread_state.h"

struct IO_WORKITEM {
    PDEVICE_OBJECT device;
    PIO_WORKITEM_ROUTINE routine;
    PVOID context;
    bool queued;
};

namespace {

constexpr ULONG WORKER_THREAD_RETURNED_AT_BAD_IRQL = 0xE1;
// The pool grows while every worker is busy, as the system adds dynamic worker threads; the
// cap only guards against a runaway.
constexpr unsigned most_workers = 64;

struct queued_item {
    PIO_WORKITEM io;         // an I/O work item, or
    PWORK_QUEUE_ITEM ex;     // an executive work item
};

// What a worker calls, taken from the item while it is still queued: the routine may free or
// queue the item again.
struct call {
    PIO_WORKITEM_ROUTINE io_routine;
    PDEVICE_OBJECT device;
    PWORKER_THREAD_ROUTINE ex_routine;
    PVOID context;
};

// The system worker threads. Like the processors, they live as long as the process and are
// never freed, so that they can go on waiting while the process ends.
struct worker_pool {
    std::mutex mutex;
    std::condition_variable work;
    std::condition_variable idle_changed;
    std::deque<queued_item> queue;
    unsigned threads = 0;
    unsigned idle = 0;
    unsigned running = 0;
    ULONG next_processor = 0;
};

worker_pool* pool = new worker_pool();
std::atomic<ULONG> io_items{0};

void require_irql_at_most(KIRQL highest, ULONG_PTR what) {
    if (KeGetCurrentIrql() > highest) {
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, what, KeGetCurrentIrql(), highest, 0);
    }
}

// Runs under the pool's mutex.
call take_call(const queued_item& item) {
    call c{};
    if (item.io != nullptr) {
        c.io_routine = item.io->routine;
        c.device = item.io->device;
        c.context = item.io->context;
        item.io->queued = false;
    } else {
        c.ex_routine = item.ex->WorkerRoutine;
        c.context = item.ex->Parameter;
    }
    return c;
}

void run_call(const call& c, sim::kernel::thread_state& t) {
    ULONG_PTR routine_address;
    if (c.io_routine != nullptr) {
        routine_address = (ULONG_PTR)c.io_routine;
        c.io_routine(c.device, c.context);
        ObDereferenceObject(c.device);
    } else {
        routine_address = (ULONG_PTR)c.ex_routine;
        c.ex_routine(c.context);
    }
    if (t.irql != PASSIVE_LEVEL || t.critical_region != 0) {
        std::fprintf(stderr, "sim: work item routine returned at IRQL %u with %d critical regions\n", t.irql,
                     t.critical_region);
        KeBugCheckEx(WORKER_THREAD_RETURNED_AT_BAD_IRQL, routine_address, t.irql, (ULONG_PTR)t.critical_region, 0);
    }
}

void worker_thread() {
    sim::kernel::thread_state& t = sim::kernel::current_thread();
    t.kind = sim::kernel::thread_kind::worker;
    t.irql = PASSIVE_LEVEL;
    sim::kernel::start_stand_in_thread("sim-worker");
    std::unique_lock<std::mutex> lock(pool->mutex);
    for (;;) {
        pool->idle++;
        pool->work.wait(lock, [] { return !pool->queue.empty(); });
        pool->idle--;
        call c = take_call(pool->queue.front());
        pool->queue.pop_front();
        pool->running++;
        ULONG active = KeQueryActiveProcessorCountEx(ALL_PROCESSOR_GROUPS);
        t.processor = active == 0 ? 0 : pool->next_processor++ % active;
        t.affinity_set = false;
        lock.unlock();
        run_call(c, t);
        lock.lock();
        pool->running--;
        pool->idle_changed.notify_all();
    }
}

void enqueue(const queued_item& item) {
    {
        std::lock_guard<std::mutex> g(pool->mutex);
        pool->queue.push_back(item);
        if (pool->idle < pool->queue.size() && pool->threads < most_workers) {
            pool->threads++;
            std::thread(worker_thread).detach();
        }
    }
    pool->work.notify_one();
}

}  // namespace

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT device) {
    require_irql_at_most(DISPATCH_LEVEL, (ULONG_PTR)device);
    if (sim::kernel::faults::should_fail(sim::kernel::fault_site::work_item)) {
        return nullptr;
    }
    auto* item = (PIO_WORKITEM)std::calloc(1, sizeof(IO_WORKITEM));
    if (item == nullptr) {
        return nullptr;
    }
    item->device = device;
    io_items++;
    return item;
}

void IoFreeWorkItem(PIO_WORKITEM item) {
    require_irql_at_most(DISPATCH_LEVEL, (ULONG_PTR)item);
    bool queued;
    {
        std::lock_guard<std::mutex> g(pool->mutex);
        queued = item->queued;
    }
    if (queued) {
        KeBugCheckEx(SIM_ASSERTION_FAILURE, (ULONG_PTR)item, 3, 0, 0);  // freed while queued
    }
    std::free(item);
    io_items--;
}

void IoQueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE queue_type, PVOID context) {
    UNREFERENCED_PARAMETER(queue_type);
    require_irql_at_most(DISPATCH_LEVEL, (ULONG_PTR)item);
    {
        std::lock_guard<std::mutex> g(pool->mutex);
        if (item->queued) {
            KeBugCheckEx(SIM_ASSERTION_FAILURE, (ULONG_PTR)item, 4, 0, 0);  // queued twice
        }
        item->queued = true;
    }
    // The device object (and with it its driver) stays while the item waits or runs.
    ObReferenceObject(item->device);
    item->routine = routine;
    item->context = context;
    enqueue({item, nullptr});
}

void ExQueueWorkItem(PWORK_QUEUE_ITEM item, WORK_QUEUE_TYPE queue_type) {
    UNREFERENCED_PARAMETER(queue_type);
    require_irql_at_most(DISPATCH_LEVEL, (ULONG_PTR)item);
    enqueue({nullptr, item});
}

namespace sim::kernel {

ULONG pending_work_items() {
    std::lock_guard<std::mutex> g(pool->mutex);
    return (ULONG)pool->queue.size() + pool->running;
}

bool wait_for_work_items(unsigned real_milliseconds) {
    std::unique_lock<std::mutex> g(pool->mutex);
    return pool->idle_changed.wait_for(g, std::chrono::milliseconds(real_milliseconds),
                                       [] { return pool->queue.empty() && pool->running == 0; });
}

ULONG allocated_io_work_items() {
    return io_items.load();
}

}  // namespace sim::kernel
