// The driver's own synchronisation records: a spin lock that remembers its holder's IRQL, a
// wait queue in which every waiter sleeps on its own event, and a waitable 32-bit state.
#pragma once

#include <cstdarg>

#include "driver/platform/kassert.h"
#include "driver/platform/os.h"

struct kpav_spinlock {
    KSPIN_LOCK lock;
    KIRQL irql;  // the holder's IRQL before it took the lock
};

// Lock names are accepted for the reader of the code and not kept.
inline void kpav_spinlock_init(kpav_spinlock* lock, const char* = nullptr) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    lock->lock = 0;
    lock->irql = 0;
}

// At most DISPATCH_LEVEL; the lock raises to it.
inline void kpav_spin_lock(kpav_spinlock* lock) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    KIRQL old;
    KeAcquireSpinLock(&lock->lock, &old);
    lock->irql = old;
}

inline void kpav_spin_unlock(kpav_spinlock* lock) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock->lock, lock->irql);
}

// A wait queue. Waiters queue at the head and are woken from the tail: oldest first.
struct kpav_cv {
    LIST_ENTRY waiters;
    KSPIN_LOCK lock;
    KIRQL irql;
};

// A time-out that never ends.
constexpr LONGLONG KPAV_NO_TIMEOUT = 0x7FFFFFFFFFFFFFFFLL;

void kpav_cv_init(kpav_cv* cv, const char* name = nullptr);
// 1 when a waiter was woken, 0 when none waited.
int kpav_cv_signal(kpav_cv* cv);
void kpav_cv_broadcast(kpav_cv* cv);
// Waits with `lock` (held by the caller) dropped meanwhile and held again on return:
// 1 woken, 0 timed out, -1 alerted. Time-out in microseconds; KPAV_NO_TIMEOUT never ends.
int kpav_cv_timedwait(kpav_cv* cv, kpav_spinlock* lock, LONGLONG microseconds, bool alertable);

// A 32-bit state value, changed under its lock and waited on until it takes given values.
struct kpav_state {
    ULONG value;
    kpav_cv cv;
    kpav_spinlock lock;
};

void kpav_state_init(kpav_state* state, ULONG value);
// 1 when the value is none of the `count` values that follow (also when count is 0), else 0.
int kpav_state_not_in(kpav_state* state, int count, ...);
// count 0: sets `new_value` when it differs. count > 0: sets it when the value is one of the
// listed values. Waiters are woken when the value changes. 1 when it acted, else 0.
int kpav_state_change(kpav_state* state, ULONG new_value, int count, ...);
// Returns when the value is one of the listed values, holding the state's lock; the caller
// releases it. `names` lists the values for the reader and takes no part in the test.
void kpav_state_wait_in(kpav_state* state, int count, const char* names, ...);
// Steps the state through the groomer's transition table: the row's result, -1 when no row
// matches the current value.
int kpav_state_transition(kpav_state* state);

// Waits `microseconds`: sleeps below DISPATCH_LEVEL, spins at or above it.
void kpav_udelay(ULONG microseconds);
