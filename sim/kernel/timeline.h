// Internal to the stand-in: conversions between machine time and the host's real time, and the
// wait primitive that every sleep, event wait and time-out of the stand-in is built on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace sim::kernel::timeline {

constexpr uint64_t forever = UINT64_MAX;

uint64_t now();  // machine time, 100 ns units since boot
// Real time at which machine time reaches `machine_deadline` at the current rate
// (time_point::max() when the clock is frozen or the deadline is `forever`).
std::chrono::steady_clock::time_point real_deadline(uint64_t machine_deadline);
void reset(double rate);

// Waits for `satisfied` on the wait slot of `object`. `satisfied` is evaluated with the slot's
// mutex held and may change the object (auto-reset events consume their signal in it).
// `interrupted` ends the wait early (alerts). Returns 0 satisfied, 1 time-out, 2 interrupted.
int wait(const void* object, uint64_t machine_deadline, const std::function<bool()>& satisfied,
         const std::function<bool()>& interrupted);
// Runs `change` under the slot's mutex of `object`, then wakes its waiters (both kinds).
void signal(const void* object, const std::function<void()>& change);

// The wait of objects whose state is read and changed with atomics alone (events, semaphores,
// threads). `take` is evaluated without any lock and must take what it finds with one atomic
// step; between tests the waiter sleeps on a word of its own. A change that finds nobody asleep
// on the object therefore costs no lock and no system call, as the kernel's own set of an event
// with no waiter. Returns as wait does.
int wait_atomic(const void* object, uint64_t machine_deadline, const std::function<bool()>& take,
                const std::function<bool()>& interrupted);
// Wakes whoever sleeps in wait_atomic on `object`; called after the object's atomic change.
void wake(const void* object);
// Wakes every waiter of the stand-in (clock rate changes, alerts).
void wake_all();

}  // namespace sim::kernel::timeline
