// Synchronisation: spin locks (plain, queued, reader/writer), fast mutexes, executive
// resources, dispatcher objects (events, semaphores, threads) and waits.
//
// The stand-in checks the kernel's IRQL rules: spin locks raise to DISPATCH_LEVEL, fast mutexes
// to APC_LEVEL; a wait or sleep at DISPATCH_LEVEL or above is a bug check, as is acquiring a
// spin lock the thread already holds.
#pragma once

#include "sim/kernel/irql.h"
#include "sim/kernel/types.h"

// ---------------------------------------------------------------------------------------------
// Spin locks. A held KSPIN_LOCK holds a value that identifies its owner; 0 means free.

using KSPIN_LOCK = ULONG_PTR;
using PKSPIN_LOCK = KSPIN_LOCK*;

void KeInitializeSpinLock(PKSPIN_LOCK lock);
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock);
#define KeAcquireSpinLock(lock, old_irql) (*(old_irql) = KeAcquireSpinLockRaiseToDpc(lock))
void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL new_irql);
void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock);
void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock);
BOOLEAN KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock);
BOOLEAN KeTestSpinLock(PKSPIN_LOCK lock);  // TRUE when the lock looks free

struct KLOCK_QUEUE_HANDLE {
    PKSPIN_LOCK Lock;
    PVOID Reserved;
    KIRQL OldIrql;
};
using PKLOCK_QUEUE_HANDLE = KLOCK_QUEUE_HANDLE*;
void KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK lock, PKLOCK_QUEUE_HANDLE handle);
void KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE handle);
void KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK lock, PKLOCK_QUEUE_HANDLE handle);
void KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE handle);

// Reader/writer spin locks: many shared holders or one exclusive holder; a waiting writer keeps
// new readers out.
using EX_SPIN_LOCK = LONG;
using PEX_SPIN_LOCK = EX_SPIN_LOCK*;
KIRQL ExAcquireSpinLockShared(PEX_SPIN_LOCK lock);
void ExReleaseSpinLockShared(PEX_SPIN_LOCK lock, KIRQL old_irql);
KIRQL ExAcquireSpinLockExclusive(PEX_SPIN_LOCK lock);
void ExReleaseSpinLockExclusive(PEX_SPIN_LOCK lock, KIRQL old_irql);
void ExAcquireSpinLockSharedAtDpcLevel(PEX_SPIN_LOCK lock);
void ExReleaseSpinLockSharedFromDpcLevel(PEX_SPIN_LOCK lock);
void ExAcquireSpinLockExclusiveAtDpcLevel(PEX_SPIN_LOCK lock);
void ExReleaseSpinLockExclusiveFromDpcLevel(PEX_SPIN_LOCK lock);
// TRUE when the caller's shared hold became exclusive (only possible as the sole reader).
LOGICAL ExTryConvertSharedSpinLockExclusive(PEX_SPIN_LOCK lock);

// ---------------------------------------------------------------------------------------------
// Dispatcher objects and waits

enum EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 };

enum SIM_DISPATCHER_TYPE : UCHAR {
    SimNotificationEventObject = 0,
    SimSynchronizationEventObject = 1,
    SimSemaphoreObject = 5,
    SimThreadObject = 6,
};

struct DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Reserved[3];
    volatile LONG SignalState;
    LIST_ENTRY WaitListHead;  // unused by the stand-in; keeps the kernel's size
};
static_assert(sizeof(DISPATCHER_HEADER) == 24);

struct KEVENT {
    DISPATCHER_HEADER Header;
};
using PKEVENT = KEVENT*;
using PRKEVENT = KEVENT*;

struct KSEMAPHORE {
    DISPATCHER_HEADER Header;
    LONG Limit;
};
using PKSEMAPHORE = KSEMAPHORE*;

enum KWAIT_REASON { Executive = 0, UserRequest = 6, DelayExecution = 4 };
enum MODE { KernelMode = 0, UserMode = 1 };
using KPROCESSOR_MODE = CCHAR;

#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1

void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state);
LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait);
LONG KeResetEvent(PRKEVENT event);
void KeClearEvent(PRKEVENT event);
LONG KeReadStateEvent(PRKEVENT event);

void KeInitializeSemaphore(PKSEMAPHORE semaphore, LONG count, LONG limit);
LONG KeReleaseSemaphore(PKSEMAPHORE semaphore, KPRIORITY increment, LONG adjustment, BOOLEAN wait);
LONG KeReadStateSemaphore(PKSEMAPHORE semaphore);

// Waits for an event, a semaphore or a thread. The time-out is in 100 ns units: negative is
// relative, positive an absolute system time, 0 a test without waiting, NULL no time-out.
// Returns STATUS_SUCCESS, STATUS_TIMEOUT or (alertable waits) STATUS_ALERTED.
NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode,
                               BOOLEAN alertable, PLARGE_INTEGER timeout);
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE mode, BOOLEAN alertable, PLARGE_INTEGER interval);

// ---------------------------------------------------------------------------------------------
// Fast mutexes (raise to APC_LEVEL while held; not recursive)

struct FAST_MUTEX {
    volatile LONG Count;  // 1 free, 0 held, below 0 held with waiters
    PVOID Owner;
    ULONG Contention;
    KEVENT Event;
    ULONG OldIrql;
};
using PFAST_MUTEX = FAST_MUTEX*;

void ExInitializeFastMutex(PFAST_MUTEX mutex);
void ExAcquireFastMutex(PFAST_MUTEX mutex);
void ExReleaseFastMutex(PFAST_MUTEX mutex);
BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX mutex);
void ExAcquireFastMutexUnsafe(PFAST_MUTEX mutex);
void ExReleaseFastMutexUnsafe(PFAST_MUTEX mutex);

// ---------------------------------------------------------------------------------------------
// Executive resources (shared/exclusive, recursive for their owner). Callers disable normal
// kernel APCs first (KeEnterCriticalRegion) or run at APC_LEVEL.

struct ERESOURCE {
    volatile LONG Lock;        // guards the fields below
    PVOID ExclusiveOwner;
    LONG ExclusiveCount;       // recursion depth of the exclusive owner
    LONG SharedCount;          // total shared holds
    struct {
        PVOID Thread;
        LONG Count;
    } SharedOwners[16];
    LONG Initialized;
};
using PERESOURCE = ERESOURCE*;

NTSTATUS ExInitializeResourceLite(PERESOURCE resource);
NTSTATUS ExDeleteResourceLite(PERESOURCE resource);
BOOLEAN ExAcquireResourceExclusiveLite(PERESOURCE resource, BOOLEAN wait);
BOOLEAN ExAcquireResourceSharedLite(PERESOURCE resource, BOOLEAN wait);
void ExReleaseResourceLite(PERESOURCE resource);
BOOLEAN ExIsResourceAcquiredExclusiveLite(PERESOURCE resource);
ULONG ExIsResourceAcquiredSharedLite(PERESOURCE resource);
void KeEnterCriticalRegion();
void KeLeaveCriticalRegion();
