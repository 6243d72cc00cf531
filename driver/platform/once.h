// One-time set-up that several callers may race to: the first runs it, the others wait until
// it has run.
#pragma once

#include "driver/platform/os.h"

// States of a once record.
constexpr LONG KPAV_ONCE_NOT_RUN = 0;
constexpr LONG KPAV_ONCE_RUNNING = 1;
constexpr LONG KPAV_ONCE_DONE = 2;

// Runs `set_up` for the first caller; the others return once it has run. Any IRQL at which
// `set_up` may run (the waiters spin).
inline void kpav_run_once(volatile LONG* state, void (*set_up)()) {
    if (ReadAcquire(state) == KPAV_ONCE_DONE) {
        return;
    }
    if (InterlockedCompareExchange(state, KPAV_ONCE_RUNNING, KPAV_ONCE_NOT_RUN) == KPAV_ONCE_NOT_RUN) {
        set_up();
        WriteRelease(state, KPAV_ONCE_DONE);
        return;
    }
    while (ReadAcquire(state) != KPAV_ONCE_DONE) {
        YieldProcessor();
    }
}

// Makes the next kpav_run_once run its set-up again (no caller may be running it).
inline void kpav_once_reset(volatile LONG* state) {
    WriteRelease(state, KPAV_ONCE_NOT_RUN);
}
