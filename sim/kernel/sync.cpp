#include "sim/kernel/sync.h"

#include <sched.h>

#include "sim/kernel/bugcheck.h"
#include "sim/kernel/control.h"
#include "sim/kernel/interlocked.h"
#include "sim/kernel/thread_state.h"
#include "sim/kernel/timeline.h"

using sim::kernel::current_thread;
namespace timeline = sim::kernel::timeline;

namespace {

// A spinning waiter gives its host processor away now and then: stand-in threads are host
// threads, and the holder may be waiting for a host processor itself.
class spinner {
  public:
    void pause() {
        if (++spins_ % 64 == 0) {
            sched_yield();
        } else {
            __builtin_ia32_pause();
        }
    }

  private:
    unsigned spins_ = 0;
};

// A spin lock holds its owner's identity: the address of the owner's IRQL, one per thread.
ULONG_PTR owner_value() {
    return (ULONG_PTR)&sim::kernel::current_irql;
}

void require_irql_at_most(KIRQL highest, ULONG_PTR what) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > highest) {
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, what, irql, highest, 0);
    }
}

void require_irql_at_least(KIRQL lowest, ULONG_PTR what) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql < lowest) {
        KeBugCheckEx(IRQL_NOT_GREATER_OR_EQUAL, what, irql, lowest, 0);
    }
}

void spin_acquire(PKSPIN_LOCK lock) {
    ULONG_PTR me = owner_value();
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == me) {
        KeBugCheckEx(SPIN_LOCK_ALREADY_OWNED, (ULONG_PTR)lock, 0, 0, 0);
    }
    spinner s;
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
            return;
        }
        while (__atomic_load_n(lock, __ATOMIC_RELAXED) != 0) {
            s.pause();
        }
    }
}

void spin_release(PKSPIN_LOCK lock) {
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) != owner_value()) {
        KeBugCheckEx(SPIN_LOCK_NOT_OWNED, (ULONG_PTR)lock, 0, 0, 0);
    }
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Spin locks

void KeInitializeSpinLock(PKSPIN_LOCK lock) {
    *lock = 0;
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock) {
    require_irql_at_most(DISPATCH_LEVEL, (ULONG_PTR)lock);
    KIRQL old = KeRaiseIrqlToDpcLevel();
    spin_acquire(lock);
    return old;
}

void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL new_irql) {
    spin_release(lock);
    KeLowerIrql(new_irql);
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock) {
    require_irql_at_least(DISPATCH_LEVEL, (ULONG_PTR)lock);
    spin_acquire(lock);
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock) {
    spin_release(lock);
}

BOOLEAN KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock) {
    require_irql_at_least(DISPATCH_LEVEL, (ULONG_PTR)lock);
    ULONG_PTR expected = 0;
    return __atomic_compare_exchange_n(lock, &expected, owner_value(), false, __ATOMIC_ACQUIRE,
                                       __ATOMIC_RELAXED)
               ? TRUE
               : FALSE;
}

BOOLEAN KeTestSpinLock(PKSPIN_LOCK lock) {
    return __atomic_load_n(lock, __ATOMIC_RELAXED) == 0 ? TRUE : FALSE;
}

void KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK lock, PKLOCK_QUEUE_HANDLE handle) {
    handle->Lock = lock;
    handle->OldIrql = KeAcquireSpinLockRaiseToDpc(lock);
}

void KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE handle) {
    KeReleaseSpinLock(handle->Lock, handle->OldIrql);
}

void KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK lock, PKLOCK_QUEUE_HANDLE handle) {
    handle->Lock = lock;
    KeAcquireSpinLockAtDpcLevel(lock);
}

void KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE handle) {
    KeReleaseSpinLockFromDpcLevel(handle->Lock);
}

// ---------------------------------------------------------------------------------------------
// Reader/writer spin locks

namespace {
constexpr LONG exclusive_bit = (LONG)0x80000000u;
constexpr LONG writer_waiting_bit = 0x40000000;
constexpr LONG reader_mask = 0x3FFFFFFF;

void rw_acquire_shared(PEX_SPIN_LOCK lock) {
    spinner s;
    for (;;) {
        LONG v = __atomic_load_n(lock, __ATOMIC_RELAXED);
        if ((v & (exclusive_bit | writer_waiting_bit)) == 0 &&
            __atomic_compare_exchange_n(lock, &v, v + 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
            return;
        }
        s.pause();
    }
}

void rw_release_shared(PEX_SPIN_LOCK lock) {
    LONG v = __atomic_sub_fetch(lock, 1, __ATOMIC_RELEASE);
    if ((v & reader_mask) == reader_mask) {
        KeBugCheckEx(SPIN_LOCK_NOT_OWNED, (ULONG_PTR)lock, 1, 0, 0);  // released without a shared hold
    }
}

void rw_acquire_exclusive(PEX_SPIN_LOCK lock) {
    spinner s;
    for (;;) {
        LONG v = __atomic_load_n(lock, __ATOMIC_RELAXED);
        if ((v & (exclusive_bit | reader_mask)) == 0) {
            if (__atomic_compare_exchange_n(lock, &v, exclusive_bit, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
                return;
            }
            continue;
        }
        if ((v & writer_waiting_bit) == 0) {
            __atomic_compare_exchange_n(lock, &v, v | writer_waiting_bit, false, __ATOMIC_RELAXED,
                                        __ATOMIC_RELAXED);
        }
        s.pause();
    }
}

void rw_release_exclusive(PEX_SPIN_LOCK lock) {
    if ((__atomic_load_n(lock, __ATOMIC_RELAXED) & exclusive_bit) == 0) {
        KeBugCheckEx(SPIN_LOCK_NOT_OWNED, (ULONG_PTR)lock, 2, 0, 0);
    }
    // Keep a waiting writer's mark: it is still spinning and will take the lock next.
    __atomic_and_fetch(lock, writer_waiting_bit, __ATOMIC_RELEASE);
}
}  // namespace

KIRQL ExAcquireSpinLockShared(PEX_SPIN_LOCK lock) {
    require_irql_at_most(DISPATCH_LEVEL, (ULONG_PTR)lock);
    KIRQL old = KeRaiseIrqlToDpcLevel();
    rw_acquire_shared(lock);
    return old;
}

void ExReleaseSpinLockShared(PEX_SPIN_LOCK lock, KIRQL old_irql) {
    rw_release_shared(lock);
    KeLowerIrql(old_irql);
}

KIRQL ExAcquireSpinLockExclusive(PEX_SPIN_LOCK lock) {
    require_irql_at_most(DISPATCH_LEVEL, (ULONG_PTR)lock);
    KIRQL old = KeRaiseIrqlToDpcLevel();
    rw_acquire_exclusive(lock);
    return old;
}

void ExReleaseSpinLockExclusive(PEX_SPIN_LOCK lock, KIRQL old_irql) {
    rw_release_exclusive(lock);
    KeLowerIrql(old_irql);
}

void ExAcquireSpinLockSharedAtDpcLevel(PEX_SPIN_LOCK lock) {
    require_irql_at_least(DISPATCH_LEVEL, (ULONG_PTR)lock);
    rw_acquire_shared(lock);
}

void ExReleaseSpinLockSharedFromDpcLevel(PEX_SPIN_LOCK lock) {
    rw_release_shared(lock);
}

void ExAcquireSpinLockExclusiveAtDpcLevel(PEX_SPIN_LOCK lock) {
    require_irql_at_least(DISPATCH_LEVEL, (ULONG_PTR)lock);
    rw_acquire_exclusive(lock);
}

void ExReleaseSpinLockExclusiveFromDpcLevel(PEX_SPIN_LOCK lock) {
    rw_release_exclusive(lock);
}

LOGICAL ExTryConvertSharedSpinLockExclusive(PEX_SPIN_LOCK lock) {
    LONG v = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if ((v & reader_mask) != 1 || (v & exclusive_bit) != 0) {
        return FALSE;
    }
    return __atomic_compare_exchange_n(lock, &v, exclusive_bit | (v & writer_waiting_bit), false,
                                       __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)
               ? TRUE
               : FALSE;
}

// ---------------------------------------------------------------------------------------------
// Dispatcher objects

void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
    event->Header.Type = type == NotificationEvent ? SimNotificationEventObject : SimSynchronizationEventObject;
    event->Header.SignalState = state ? 1 : 0;
    InitializeListHead(&event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait) {
    UNREFERENCED_PARAMETER(increment);
    UNREFERENCED_PARAMETER(wait);
    require_irql_at_most(DISPATCH_LEVEL, (ULONG_PTR)event);
    LONG previous = __atomic_exchange_n(&event->Header.SignalState, 1, __ATOMIC_SEQ_CST);
    timeline::wake(event);  // with nobody asleep on it: no lock, no system call
    return previous;
}

LONG KeResetEvent(PRKEVENT event) {
    return __atomic_exchange_n(&event->Header.SignalState, 0, __ATOMIC_SEQ_CST);
}

void KeClearEvent(PRKEVENT event) {
    __atomic_store_n(&event->Header.SignalState, 0, __ATOMIC_SEQ_CST);
}

LONG KeReadStateEvent(PRKEVENT event) {
    return __atomic_load_n(&event->Header.SignalState, __ATOMIC_SEQ_CST);
}

void KeInitializeSemaphore(PKSEMAPHORE semaphore, LONG count, LONG limit) {
    semaphore->Header.Type = SimSemaphoreObject;
    semaphore->Header.SignalState = count;
    InitializeListHead(&semaphore->Header.WaitListHead);
    semaphore->Limit = limit;
}

LONG KeReleaseSemaphore(PKSEMAPHORE semaphore, KPRIORITY increment, LONG adjustment, BOOLEAN wait) {
    UNREFERENCED_PARAMETER(increment);
    UNREFERENCED_PARAMETER(wait);
    require_irql_at_most(DISPATCH_LEVEL, (ULONG_PTR)semaphore);
    LONG previous = __atomic_load_n(&semaphore->Header.SignalState, __ATOMIC_SEQ_CST);
    do {
        if ((int64_t)previous + adjustment > semaphore->Limit) {
            KeBugCheckEx(SIM_ASSERTION_FAILURE, (ULONG_PTR)semaphore, (ULONG_PTR)adjustment, 0, 0);
        }
    } while (!__atomic_compare_exchange_n(&semaphore->Header.SignalState, &previous, previous + adjustment, false,
                                          __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST));
    timeline::wake(semaphore);
    return previous;
}

LONG KeReadStateSemaphore(PKSEMAPHORE semaphore) {
    return __atomic_load_n(&semaphore->Header.SignalState, __ATOMIC_SEQ_CST);
}

namespace {

uint64_t deadline_of(PLARGE_INTEGER timeout) {
    if (timeout == nullptr) {
        return timeline::forever;
    }
    int64_t t = timeout->QuadPart;
    uint64_t now = timeline::now();
    if (t <= 0) {
        return now + (uint64_t)(-t);
    }
    int64_t since_boot = t - sim::kernel::config().boot_system_time;
    return since_boot <= 0 ? 0 : (uint64_t)since_boot;
}

// Takes the object's signal if it has one, in one atomic step: setters change the state
// without a lock.
bool consume_signal(DISPATCHER_HEADER* h) {
    LONG state = __atomic_load_n(&h->SignalState, __ATOMIC_SEQ_CST);
    for (;;) {
        if (state <= 0) {
            return false;
        }
        LONG next = state;
        if (h->Type == SimSynchronizationEventObject) {
            next = 0;
        } else if (h->Type == SimSemaphoreObject) {
            next = state - 1;
        } else {
            return true;  // notification events and threads stay signalled
        }
        if (__atomic_compare_exchange_n(&h->SignalState, &state, next, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
            return true;
        }
    }
}

// Dispatcher objects change with atomics alone and are waited for with timeline::wait_atomic;
// a delay has nothing to wait for but its time and an alert.
NTSTATUS wait_on(const void* object, uint64_t deadline, bool alertable, const std::function<bool()>& satisfied,
                 bool dispatcher_object) {
    auto& t = current_thread();
    t.waiting_on = object;
    auto alerted = [&] { return alertable && t.alert_pending.exchange(false); };
    int r = dispatcher_object ? timeline::wait_atomic(object, deadline, satisfied, alerted)
                              : timeline::wait(object, deadline, satisfied, alerted);
    t.waiting_on = nullptr;
    return r == 0 ? STATUS_SUCCESS : r == 1 ? STATUS_TIMEOUT : STATUS_ALERTED;
}

}  // namespace

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode, BOOLEAN alertable,
                               PLARGE_INTEGER timeout) {
    UNREFERENCED_PARAMETER(reason);
    UNREFERENCED_PARAMETER(mode);
    bool polls = timeout != nullptr && timeout->QuadPart == 0;
    require_irql_at_most(polls ? DISPATCH_LEVEL : APC_LEVEL, (ULONG_PTR)object);
    auto* header = (DISPATCHER_HEADER*)object;
    return wait_on(object, deadline_of(timeout), alertable != 0, [header] { return consume_signal(header); }, true);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE mode, BOOLEAN alertable, PLARGE_INTEGER interval) {
    UNREFERENCED_PARAMETER(mode);
    require_irql_at_most(APC_LEVEL, (ULONG_PTR)interval);
    NTSTATUS status = wait_on(&current_thread(), deadline_of(interval), alertable != 0, [] { return false; }, false);
    return status == STATUS_TIMEOUT ? STATUS_SUCCESS : status;
}

// ---------------------------------------------------------------------------------------------
// Fast mutexes

void ExInitializeFastMutex(PFAST_MUTEX mutex) {
    mutex->Count = 1;
    mutex->Owner = nullptr;
    mutex->Contention = 0;
    mutex->OldIrql = 0;
    KeInitializeEvent(&mutex->Event, SynchronizationEvent, FALSE);
}

// The owner is read by other threads (the recursion and ownership checks) while the holder
// writes it, and contention is counted by every waiter: both are shared without the mutex.
static PVOID fast_mutex_owner(PFAST_MUTEX mutex) {
    return ReadPointerNoFence((PVOID const volatile*)&mutex->Owner);
}

static void set_fast_mutex_owner(PFAST_MUTEX mutex, PVOID owner) {
    WritePointerNoFence((PVOID volatile*)&mutex->Owner, owner);
}

static void fast_mutex_take(PFAST_MUTEX mutex) {
    if (fast_mutex_owner(mutex) == &current_thread()) {
        KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x3A, (ULONG_PTR)mutex, 0, 0);  // recursive acquire
    }
    if (InterlockedDecrement(&mutex->Count) != 0) {
        InterlockedIncrement((LONG volatile*)&mutex->Contention);
        KeWaitForSingleObject(&mutex->Event, Executive, KernelMode, FALSE, nullptr);
    }
    set_fast_mutex_owner(mutex, &current_thread());
}

static void fast_mutex_give(PFAST_MUTEX mutex) {
    if (fast_mutex_owner(mutex) != &current_thread()) {
        KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x3B, (ULONG_PTR)mutex, 0, 0);  // not the owner
    }
    set_fast_mutex_owner(mutex, nullptr);
    if (InterlockedIncrement(&mutex->Count) != 1) {
        KeSetEvent(&mutex->Event, 0, FALSE);
    }
}

void ExAcquireFastMutex(PFAST_MUTEX mutex) {
    require_irql_at_most(APC_LEVEL, (ULONG_PTR)mutex);
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    fast_mutex_take(mutex);
    mutex->OldIrql = old;
}

void ExReleaseFastMutex(PFAST_MUTEX mutex) {
    KIRQL old = (KIRQL)mutex->OldIrql;
    fast_mutex_give(mutex);
    KeLowerIrql(old);
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX mutex) {
    require_irql_at_most(APC_LEVEL, (ULONG_PTR)mutex);
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    if (InterlockedCompareExchange(&mutex->Count, 0, 1) != 1) {
        KeLowerIrql(old);
        return FALSE;
    }
    set_fast_mutex_owner(mutex, &current_thread());
    mutex->OldIrql = old;
    return TRUE;
}

void ExAcquireFastMutexUnsafe(PFAST_MUTEX mutex) {
    require_irql_at_most(APC_LEVEL, (ULONG_PTR)mutex);
    fast_mutex_take(mutex);
}

void ExReleaseFastMutexUnsafe(PFAST_MUTEX mutex) {
    fast_mutex_give(mutex);
}

// ---------------------------------------------------------------------------------------------
// Executive resources. Their state changes under the resource's wait slot, so that a release
// and a waiter's test cannot miss each other.

void KeEnterCriticalRegion() {
    current_thread().critical_region++;
}

void KeLeaveCriticalRegion() {
    auto& t = current_thread();
    if (t.critical_region == 0) {
        KeBugCheckEx(SIM_ASSERTION_FAILURE, 0x4C, 0, 0, 0);  // leave without enter
    }
    t.critical_region--;
}

NTSTATUS ExInitializeResourceLite(PERESOURCE resource) {
    *resource = ERESOURCE{};
    resource->Initialized = 1;
    return STATUS_SUCCESS;
}

NTSTATUS ExDeleteResourceLite(PERESOURCE resource) {
    if (resource->ExclusiveOwner != nullptr || resource->SharedCount != 0) {
        KeBugCheckEx(SIM_ASSERTION_FAILURE, 0xE3, (ULONG_PTR)resource, 0, 0);  // deleted while held
    }
    resource->Initialized = 0;
    return STATUS_SUCCESS;
}

namespace {

void check_resource_caller(PERESOURCE resource, BOOLEAN wait) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > (wait ? APC_LEVEL : DISPATCH_LEVEL)) {
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, (ULONG_PTR)resource, irql, 0, 0);
    }
    if (irql < APC_LEVEL && current_thread().critical_region == 0) {
        // Normal kernel APCs must be off while a resource is held.
        KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x37, (ULONG_PTR)resource, 0, 0);
    }
}

LONG* shared_slot(PERESOURCE r, PVOID thread, bool create) {
    for (auto& o : r->SharedOwners) {
        if (o.Thread == thread && o.Count > 0) {
            return &o.Count;
        }
    }
    if (!create) {
        return nullptr;
    }
    for (auto& o : r->SharedOwners) {
        if (o.Count == 0) {
            o.Thread = thread;
            return &o.Count;
        }
    }
    KeBugCheckEx(SIM_ASSERTION_FAILURE, 0xE3, (ULONG_PTR)r, 16, 0);  // more shared owners than kept
}

BOOLEAN acquire_resource(PERESOURCE resource, BOOLEAN wait, bool exclusive) {
    check_resource_caller(resource, wait);
    PVOID me = &current_thread();
    auto take = [&]() -> bool {
        if (resource->ExclusiveOwner == me) {
            resource->ExclusiveCount++;
            return true;
        }
        if (exclusive) {
            if (resource->ExclusiveOwner != nullptr || resource->SharedCount != 0) {
                return false;
            }
            resource->ExclusiveOwner = me;
            resource->ExclusiveCount = 1;
            return true;
        }
        if (resource->ExclusiveOwner != nullptr) {
            return false;
        }
        (*shared_slot(resource, me, true))++;
        resource->SharedCount++;
        return true;
    };
    uint64_t deadline = wait ? timeline::forever : 0;
    return timeline::wait(resource, deadline, take, nullptr) == 0 ? TRUE : FALSE;
}

}  // namespace

BOOLEAN ExAcquireResourceExclusiveLite(PERESOURCE resource, BOOLEAN wait) {
    return acquire_resource(resource, wait, true);
}

BOOLEAN ExAcquireResourceSharedLite(PERESOURCE resource, BOOLEAN wait) {
    return acquire_resource(resource, wait, false);
}

void ExReleaseResourceLite(PERESOURCE resource) {
    PVOID me = &current_thread();
    bool owned = true;
    timeline::signal(resource, [&] {
        if (resource->ExclusiveOwner == me) {
            if (--resource->ExclusiveCount == 0) {
                resource->ExclusiveOwner = nullptr;
            }
            return;
        }
        LONG* count = shared_slot(resource, me, false);
        if (count == nullptr) {
            owned = false;
            return;
        }
        (*count)--;
        resource->SharedCount--;
    });
    if (!owned) {
        KeBugCheckEx(SIM_ASSERTION_FAILURE, 0xE3, (ULONG_PTR)resource, 0, 0);  // released without a hold
    }
}

BOOLEAN ExIsResourceAcquiredExclusiveLite(PERESOURCE resource) {
    return resource->ExclusiveOwner == &current_thread() ? TRUE : FALSE;
}

ULONG ExIsResourceAcquiredSharedLite(PERESOURCE resource) {
    if (resource->ExclusiveOwner == &current_thread()) {
        return (ULONG)resource->ExclusiveCount;
    }
    LONG* count = shared_slot(resource, &current_thread(), false);
    return count != nullptr ? (ULONG)*count : 0;
}
