#include "sim/kernel/timeline.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <ctime>
#include <vector>

#include "sim/kernel/clock.h"
#include "sim/kernel/control.h"
#include "sim/kernel/irql.h"

namespace sim::kernel::timeline {
namespace {

using steady = std::chrono::steady_clock;

// One epoch per rate setting: machine time = machine_base + (real - real_base) * rate.
// Epochs are replaced, never changed, so readers need no lock; old ones are kept for readers
// that still hold them (rate changes are rare).
struct epoch {
    steady::time_point real_base;
    uint64_t machine_base;
    double rate;
};

const epoch* keep(const epoch* e) {
    static auto* all = new std::vector<const epoch*>();
    all->push_back(e);
    return e;
}

std::atomic<const epoch*> current_epoch{keep(new epoch{steady::now(), 0, 1.0})};
std::mutex epoch_change;

uint64_t machine_at(const epoch* e, steady::time_point real) {
    double elapsed_ns = (double)std::chrono::duration_cast<std::chrono::nanoseconds>(real - e->real_base).count();
    if (elapsed_ns < 0) {
        elapsed_ns = 0;
    }
    return e->machine_base + (uint64_t)(elapsed_ns * e->rate / 100.0);
}

void set_epoch(uint64_t machine_base, double rate) {
    current_epoch.store(keep(new epoch{steady::now(), machine_base, rate}));
}

// A thread asleep in wait_atomic: listed in its slot until it has left its wait, it sleeps on
// `woken`, which a wake of its object sets.
struct sleeper {
    const void* object;
    std::atomic<int> woken{0};
    sleeper* next = nullptr;
    sleeper* prev = nullptr;
};

struct slot {
    std::mutex mutex;
    std::condition_variable cv;
    // wait_atomic's sleepers, under a spin lock held for a few pointer changes or a wake (as
    // the kernel readies a waiter under its dispatcher lock): a setter never sleeps on it.
    std::atomic<int> sleepers_lock{0};
    std::atomic<int> sleeper_count{0};
    sleeper* sleepers = nullptr;
};
std::array<slot, 512> slots;

slot& slot_of(const void* object) {
    auto a = (uintptr_t)object;
    return slots[((a >> 3) ^ (a >> 12)) % slots.size()];
}

void lock_sleepers(slot& s) {
    unsigned spins = 0;
    while (s.sleepers_lock.exchange(1, std::memory_order_acquire) != 0) {
        while (s.sleepers_lock.load(std::memory_order_relaxed) != 0) {
            if (++spins % 64 == 0) {
                sched_yield();  // its holder may be waiting for a host processor
            } else {
                __builtin_ia32_pause();
            }
        }
    }
}

void unlock_sleepers(slot& s) {
    s.sleepers_lock.store(0, std::memory_order_release);
}

// Sleeps while `word` holds 0, at most until `until` (real time; max: no limit).
void futex_sleep(std::atomic<int>* word, steady::time_point until) {
    if (until == steady::time_point::max()) {
        syscall(SYS_futex, (int*)word, FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
        return;
    }
    auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - steady::now()).count();
    if (left < 1000) {
        left = 1000;  // a deadline rounded just short of machine time: sleep a little, test again
    }
    timespec relative{(time_t)(left / 1000000000), (long)(left % 1000000000)};
    syscall(SYS_futex, (int*)word, FUTEX_WAIT_PRIVATE, 0, &relative, nullptr, 0);
}

// Wakes the sleepers of `object` (every sleeper of the slot when NULL). They are woken under
// the slot's lock: a sleeper leaves the list, and its frame, only after taking it.
void wake_sleepers(slot& s, const void* object) {
    if (s.sleeper_count.load(std::memory_order_seq_cst) == 0) {
        return;
    }
    lock_sleepers(s);
    for (sleeper* each = s.sleepers; each != nullptr; each = each->next) {
        if (object == nullptr || each->object == object) {
            each->woken.store(1, std::memory_order_release);
            syscall(SYS_futex, (int*)&each->woken, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
        }
    }
    unlock_sleepers(s);
}

}  // namespace

uint64_t now() {
    return machine_at(current_epoch.load(), steady::now());
}

steady::time_point real_deadline(uint64_t machine_deadline) {
    const epoch* e = current_epoch.load();
    if (machine_deadline == forever || e->rate <= 0) {
        return steady::time_point::max();
    }
    uint64_t now_machine = machine_at(e, steady::now());
    if (machine_deadline <= now_machine) {
        return steady::now();
    }
    double real_ns = (double)(machine_deadline - now_machine) * 100.0 / e->rate;
    if (real_ns > 1e15) {  // beyond ~11 days of real time: treat as never
        return steady::time_point::max();
    }
    return steady::now() + std::chrono::nanoseconds((int64_t)real_ns);
}

void reset(double rate) {
    std::lock_guard<std::mutex> g(epoch_change);
    set_epoch(0, rate);
    wake_all();
}

int wait(const void* object, uint64_t machine_deadline, const std::function<bool()>& satisfied,
         const std::function<bool()>& interrupted) {
    slot& s = slot_of(object);
    std::unique_lock<std::mutex> lock(s.mutex);
    for (;;) {
        if (satisfied()) {
            return 0;
        }
        if (interrupted && interrupted()) {
            return 2;
        }
        if (machine_deadline != forever && now() >= machine_deadline) {
            return 1;
        }
        auto until = real_deadline(machine_deadline);
        if (until == steady::time_point::max()) {
            s.cv.wait(lock);
        } else {
            s.cv.wait_until(lock, until);
        }
    }
}

void signal(const void* object, const std::function<void()>& change) {
    slot& s = slot_of(object);
    {
        std::lock_guard<std::mutex> g(s.mutex);
        change();
    }
    s.cv.notify_all();
    wake_sleepers(s, object);
}

// The sleeper is listed before its last test of the object: a change made after that test
// finds it listed (both sides' steps are sequentially consistent) and wakes it; a wake that
// comes before it sleeps leaves `woken` set, so that it does not sleep at all.
int wait_atomic(const void* object, uint64_t machine_deadline, const std::function<bool()>& take,
                const std::function<bool()>& interrupted) {
    if (take()) {
        return 0;
    }
    slot& s = slot_of(object);
    for (;;) {
        if (interrupted && interrupted()) {
            return 2;
        }
        if (machine_deadline != forever && now() >= machine_deadline) {
            return 1;
        }
        sleeper me;
        me.object = object;
        lock_sleepers(s);
        me.next = s.sleepers;
        if (me.next != nullptr) {
            me.next->prev = &me;
        }
        s.sleepers = &me;
        s.sleeper_count.fetch_add(1, std::memory_order_seq_cst);
        unlock_sleepers(s);

        bool taken = take();
        bool alerted = !taken && interrupted && interrupted();
        if (!taken && !alerted) {
            // Converted once listed: a clock change from here on wakes this sleeper.
            futex_sleep(&me.woken, real_deadline(machine_deadline));
        }

        lock_sleepers(s);
        if (me.prev != nullptr) {
            me.prev->next = me.next;
        } else {
            s.sleepers = me.next;
        }
        if (me.next != nullptr) {
            me.next->prev = me.prev;
        }
        s.sleeper_count.fetch_sub(1, std::memory_order_relaxed);
        unlock_sleepers(s);
        if (taken) {
            return 0;
        }
        if (alerted) {
            return 2;  // the alert was taken: report it rather than lose it
        }
        if (take()) {
            return 0;
        }
    }
}

void wake(const void* object) {
    wake_sleepers(slot_of(object), object);
}

void wake_all() {
    for (slot& s : slots) {
        { std::lock_guard<std::mutex> g(s.mutex); }
        s.cv.notify_all();
        wake_sleepers(s, nullptr);
    }
}

}  // namespace sim::kernel::timeline

namespace sim::kernel {

void set_clock_rate(double rate) {
    {
        std::lock_guard<std::mutex> g(timeline::epoch_change);
        timeline::set_epoch(timeline::now(), rate < 0 ? 0 : rate);
    }
    timeline::wake_all();
}

double clock_rate() {
    return timeline::current_epoch.load()->rate;
}

void advance_clock(uint64_t units_100ns) {
    {
        std::lock_guard<std::mutex> g(timeline::epoch_change);
        const auto* e = timeline::current_epoch.load();
        timeline::set_epoch(timeline::now() + units_100ns, e->rate);
    }
    timeline::wake_all();
}

uint64_t machine_time() {
    return timeline::now();
}

}  // namespace sim::kernel

// ---------------------------------------------------------------------------------------------
// The Windows-named time routines

namespace {
int64_t boot_system_time() {
    int64_t t = sim::kernel::config().boot_system_time;
    return t;
}
}  // namespace

void KeQueryTickCount(PLARGE_INTEGER tick_count) {
    tick_count->QuadPart = (LONGLONG)(sim::kernel::timeline::now() / sim::kernel::time_increment);
}

ULONG KeQueryTimeIncrement() {
    return sim::kernel::time_increment;
}

void KeQuerySystemTime(PLARGE_INTEGER system_time) {
    system_time->QuadPart = boot_system_time() + (LONGLONG)sim::kernel::timeline::now();
}

void KeQuerySystemTimePrecise(PLARGE_INTEGER system_time) {
    KeQuerySystemTime(system_time);
}

ULONGLONG KeQueryInterruptTime() {
    return sim::kernel::timeline::now();
}

ULONGLONG KeQueryUnbiasedInterruptTime() {
    return sim::kernel::timeline::now();
}

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER frequency) {
    if (frequency != nullptr) {
        frequency->QuadPart = 10000000;
    }
    LARGE_INTEGER counter;
    counter.QuadPart = (LONGLONG)sim::kernel::timeline::now();
    return counter;
}

void KeStallExecutionProcessor(ULONG microseconds) {
    uint64_t until = sim::kernel::timeline::now() + (uint64_t)microseconds * 10;
    if (sim::kernel::clock_rate() <= 0) {
        // On a frozen clock the stalling processor is what moves time on.
        sim::kernel::advance_clock((uint64_t)microseconds * 10);
        return;
    }
    // The stalling thread gives its host processor away now and then, as a spinning waiter for a
    // spin lock does: what it waits for is often another stand-in thread, which, once woken,
    // waits for a host processor rather than taking this one.
    for (unsigned spins = 1; sim::kernel::timeline::now() < until; spins++) {
        if (spins % 64 == 0) {
            sched_yield();
        } else {
            __builtin_ia32_pause();
        }
    }
}
