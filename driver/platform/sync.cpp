#include "driver/platform/sync.h"

#include "driver/platform/kassert.h"

// ---------------------------------------------------------------------------------------------
// Wait queues

namespace {

struct cv_waiter {
    LIST_ENTRY link;
    KEVENT event;
};

void cv_lock(kpav_cv* cv) {
    KIRQL old;
    KeAcquireSpinLock(&cv->lock, &old);
    cv->irql = old;
}

void cv_unlock(kpav_cv* cv) {
    KeReleaseSpinLock(&cv->lock, cv->irql);
}

// Wakes the oldest waiter; runs under the cv's lock. The event is set before the lock goes:
// a waiter that timed out meanwhile is still inside its wait (it needs the cv's lock to
// leave), so its event is still there to be set.
bool wake_oldest(kpav_cv* cv) {
    if (IsListEmpty(&cv->waiters)) {
        return false;
    }
    PLIST_ENTRY entry = RemoveTailList(&cv->waiters);
    InitializeListHead(entry);  // the waiter's own unlink is then harmless
    cv_waiter* waiter = CONTAINING_RECORD(entry, cv_waiter, link);
    KeSetEvent(&waiter->event, EVENT_INCREMENT, FALSE);
    return true;
}

// Microseconds beyond this would overflow as 100 ns units: they mean "no time-out".
constexpr LONGLONG longest_timeout_us = KPAV_NO_TIMEOUT / 10;

}  // namespace

void kpav_cv_init(kpav_cv* cv, const char*) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    InitializeListHead(&cv->waiters);
    cv->lock = 0;
    cv->irql = 0;
}

int kpav_cv_signal(kpav_cv* cv) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    cv_lock(cv);
    bool woken = wake_oldest(cv);
    cv_unlock(cv);
    return woken ? 1 : 0;
}

void kpav_cv_broadcast(kpav_cv* cv) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    cv_lock(cv);
    while (wake_oldest(cv)) {
    }
    cv_unlock(cv);
}

int kpav_cv_timedwait(kpav_cv* cv, kpav_spinlock* lock, LONGLONG microseconds, bool alertable) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);  // holding `lock`; the wait itself runs at the lock's IRQL
    cv_waiter waiter;
    KeInitializeEvent(&waiter.event, SynchronizationEvent, FALSE);
    cv_lock(cv);
    InsertHeadList(&cv->waiters, &waiter.link);
    cv_unlock(cv);
    kpav_spin_unlock(lock);

    NTSTATUS status;
    if (microseconds >= longest_timeout_us) {
        status = KeWaitForSingleObject(&waiter.event, Executive, KernelMode, alertable, nullptr);
    } else {
        // A time-out already in the past (negative) ends the wait at once.
        LARGE_INTEGER timeout;
        timeout.QuadPart = microseconds > 0 ? -microseconds * 10 : 0;
        status = KeWaitForSingleObject(&waiter.event, Executive, KernelMode, alertable, &timeout);
    }

    kpav_spin_lock(lock);
    cv_lock(cv);
    RemoveEntryList(&waiter.link);
    cv_unlock(cv);
    if (status == STATUS_SUCCESS) {
        return 1;
    }
    return status == STATUS_TIMEOUT ? 0 : -1;
}

// ---------------------------------------------------------------------------------------------
// Waitable states

namespace {

bool value_listed(ULONG value, int count, va_list values) {
    bool found = false;
    for (int i = 0; i < count; i++) {
        if (va_arg(values, ULONG) == value) {
            found = true;
        }
    }
    return found;
}

// Changes the value under the state's lock; kpav_state_not_in reads it without the lock.
void set_value(kpav_state* state, ULONG value) {
    WriteNoFence((LONG volatile*)&state->value, (LONG)value);
}

struct transition_row {
    ULONG states;       // bit n for state n
    SHORT next_state;   // -1: no change
    USHORT result;      // 65535 closes the table
};

const transition_row transition_table[] = {
    {1u << 4, 6, 3},
    {1u << 1, 6, 2},
    {(1u << 2) | (1u << 3) | (1u << 4) | (1u << 5), 6, 1},
    {(1u << 6) | (1u << 7) | (1u << 8) | (1u << 9), -1, 0},
    {0, -1, 65535},
};

}  // namespace

void kpav_state_init(kpav_state* state, ULONG value) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    state->value = value;
    kpav_cv_init(&state->cv);
    kpav_spinlock_init(&state->lock);
}

int kpav_state_not_in(kpav_state* state, int count, ...) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    // Read without the lock: a value that changes meanwhile gives either answer.
    ULONG value = (ULONG)ReadNoFence((LONG const volatile*)&state->value);
    va_list ap;
    va_start(ap, count);
    bool listed = value_listed(value, count, ap);
    va_end(ap);
    return listed ? 0 : 1;
}

int kpav_state_change(kpav_state* state, ULONG new_value, int count, ...) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_spin_lock(&state->lock);
    bool act;
    if (count == 0) {
        act = state->value != new_value;
    } else {
        va_list ap;
        va_start(ap, count);
        act = value_listed(state->value, count, ap);
        va_end(ap);
    }
    if (act && state->value != new_value) {
        set_value(state, new_value);
        kpav_cv_broadcast(&state->cv);
    }
    kpav_spin_unlock(&state->lock);
    return act ? 1 : 0;
}

void kpav_state_wait_in(kpav_state* state, int count, const char* names, ...) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(names);
    kpav_spin_lock(&state->lock);
    for (;;) {
        va_list ap;
        va_start(ap, names);
        bool listed = value_listed(state->value, count, ap);
        va_end(ap);
        if (listed) {
            return;
        }
        kpav_cv_timedwait(&state->cv, &state->lock, KPAV_NO_TIMEOUT, false);
    }
}

int kpav_state_transition(kpav_state* state) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_spin_lock(&state->lock);
    int result = -1;
    for (const transition_row& row : transition_table) {
        if (row.result == 65535) {
            break;
        }
        if ((row.states & (1u << (state->value % 32))) == 0) {
            continue;
        }
        if (row.next_state != -1 && (ULONG)row.next_state != state->value) {
            set_value(state, (ULONG)row.next_state);
            kpav_cv_broadcast(&state->cv);
        }
        result = row.result;
        break;
    }
    kpav_spin_unlock(&state->lock);
    return result;
}

void kpav_udelay(ULONG microseconds) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
        LARGE_INTEGER interval;
        interval.QuadPart = -(LONGLONG)microseconds * 10;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    } else {
        KeStallExecutionProcessor(microseconds);
    }
}
