// Spin locks with their saved IRQL, wait queues and waitable states.

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "driver/platform/sync.h"
#include "tests/support/kernel_fixture.h"

using namespace sim::kernel;

class PlatformSyncTest : public KernelTest {};

TEST_F(PlatformSyncTest, SpinLockRemembersTheHoldersIrql) {
    kpav_spinlock lock;
    kpav_spinlock_init(&lock, "card_smp_lk");
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    kpav_spin_lock(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(lock.irql, APC_LEVEL);
    kpav_spin_unlock(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KeLowerIrql(old);
}

struct queue_fixture {
    kpav_cv cv;
    kpav_spinlock lock;
    queue_fixture() {
        kpav_cv_init(&cv, "q_smp_cv");
        kpav_spinlock_init(&lock);
    }
};

TEST_F(PlatformSyncTest, SignalWakesWaitersOldestFirst) {
    queue_fixture q;
    EXPECT_EQ(kpav_cv_signal(&q.cv), 0);  // nobody waits: nothing is remembered
    std::vector<int> order;
    std::atomic<int> queued{0};
    std::vector<std::unique_ptr<bounded_thread>> waiters;
    for (int i = 0; i < 3; i++) {
        waiters.push_back(std::make_unique<bounded_thread>("a waiter", [&, i] {
            kpav_spin_lock(&q.lock);
            queued++;
            int r = kpav_cv_timedwait(&q.cv, &q.lock, KPAV_NO_TIMEOUT, false);
            order.push_back(r == 1 ? i : -1);
            kpav_spin_unlock(&q.lock);
        }));
        ASSERT_TRUE(eventually([&] { return queued.load() == i + 1; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));  // let it reach its wait
    }
    for (int i = 0; i < 3; i++) {
        kpav_spin_lock(&q.lock);
        EXPECT_EQ(kpav_cv_signal(&q.cv), 1);
        kpav_spin_unlock(&q.lock);
        ASSERT_TRUE(eventually([&] {  // the waiters fill `order` under the lock
            kpav_spin_lock(&q.lock);
            size_t woken = order.size();
            kpav_spin_unlock(&q.lock);
            return woken == (size_t)i + 1;
        }));
    }
    for (auto& w : waiters) {
        w->join();
    }
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
}

TEST_F(PlatformSyncTest, TimedWaitEndsOnTimeOutOrAlertHoldingTheLock) {
    queue_fixture q;
    kpav_spin_lock(&q.lock);
    EXPECT_EQ(kpav_cv_timedwait(&q.cv, &q.lock, 0, false), 0);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);  // the lock is held again
    set_clock_rate(1000);
    EXPECT_EQ(kpav_cv_timedwait(&q.cv, &q.lock, 5000000, false), 0);  // 5 s machine time
    EXPECT_TRUE(IsListEmpty(&q.cv.waiters));
    kpav_spin_unlock(&q.lock);

    // An alertable wait ends with -1 when the (stand-in) thread is alerted.
    struct alertable_waiter {
        queue_fixture* q;
        std::atomic<int> result{2};
        std::atomic<bool> waiting{false};
        static void run(PVOID context) {
            auto* self = (alertable_waiter*)context;
            kpav_spin_lock(&self->q->lock);
            self->waiting = true;
            self->result = kpav_cv_timedwait(&self->q->cv, &self->q->lock, KPAV_NO_TIMEOUT, true);
            kpav_spin_unlock(&self->q->lock);
        }
    } waiter{&q};
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, alertable_waiter::run, &waiter),
              STATUS_SUCCESS);
    PVOID thread;
    ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr);
    ZwClose(handle);
    ASSERT_TRUE(eventually([&] { return waiter.waiting.load(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    alert_thread(thread);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    EXPECT_EQ(waiter.result.load(), -1);
    EXPECT_TRUE(IsListEmpty(&q.cv.waiters));
}

TEST_F(PlatformSyncTest, ATimedWaitLastsItsTimeInMachineTime) {
    // 5 s of machine time are 50 ms here; the upper bound leaves the host 200 ms to schedule.
    set_clock_rate(100);
    queue_fixture q;
    std::atomic<bool> returned{false};
    int result = 2;
    uint64_t waited = 0;
    bounded_thread waiter("the timed waiter", [&] {
        kpav_spin_lock(&q.lock);
        uint64_t start = machine_time();
        result = kpav_cv_timedwait(&q.cv, &q.lock, 5000000, false);
        waited = machine_time() - start;
        kpav_spin_unlock(&q.lock);
        returned = true;
    });
    bool ended = eventually([&] { return returned.load(); }, 5000);
    if (!ended) {
        kpav_cv_signal(&q.cv);  // far too long: end it, and fail
    }
    waiter.join();
    EXPECT_TRUE(ended) << "the wait outlasted 500 s of machine time";
    EXPECT_EQ(result, 0);
    EXPECT_GE(waited, 50000000u) << "5 s in 100 ns units";
    EXPECT_LT(waited, 250000000u);
}

TEST_F(PlatformSyncTest, BroadcastWakesEveryWaiter) {
    queue_fixture q;
    std::atomic<int> waiting{0}, woken{0};
    std::vector<std::unique_ptr<bounded_thread>> waiters;
    for (int i = 0; i < 4; i++) {
        waiters.push_back(std::make_unique<bounded_thread>("a waiter", [&] {
            kpav_spin_lock(&q.lock);
            waiting++;
            if (kpav_cv_timedwait(&q.cv, &q.lock, KPAV_NO_TIMEOUT, false) == 1) {
                woken++;
            }
            kpav_spin_unlock(&q.lock);
        }));
    }
    ASSERT_TRUE(eventually([&] { return waiting.load() == 4; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    kpav_cv_broadcast(&q.cv);
    for (auto& w : waiters) {
        w->join();
    }
    EXPECT_EQ(woken.load(), 4);
    EXPECT_TRUE(IsListEmpty(&q.cv.waiters));
}

TEST_F(PlatformSyncTest, TimeOutsInThePastEndAtOnceAndHugeOnesNever) {
    queue_fixture q;
    set_clock_rate(0);  // frozen: only a time-out already reached can end a timed wait
    kpav_spin_lock(&q.lock);
    EXPECT_EQ(kpav_cv_timedwait(&q.cv, &q.lock, -5, false), 0);
    kpav_spin_unlock(&q.lock);
    // Beyond what 100 ns units can hold: no time-out, even when the clock races on.
    set_clock_rate(1e12);
    std::atomic<int> result{2};
    std::atomic<bool> waiting{false};
    bounded_thread waiter("the waiter", [&] {
        kpav_spin_lock(&q.lock);
        waiting = true;
        result = kpav_cv_timedwait(&q.cv, &q.lock, 0x0CCCCCCCCCCCCCCDLL, false);
        kpav_spin_unlock(&q.lock);
    });
    ASSERT_TRUE(eventually([&] { return waiting.load(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(result.load(), 2);
    kpav_cv_signal(&q.cv);
    waiter.join();
    EXPECT_EQ(result.load(), 1);
}

TEST_F(PlatformSyncTest, WaitingWithTheLockTakenAtDispatchLevelStops) {
    queue_fixture q;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    kpav_spin_lock(&q.lock);  // saved IRQL is DISPATCH_LEVEL: the wait would run there
    expect_bug_check(IRQL_NOT_LESS_OR_EQUAL, [&] { kpav_cv_timedwait(&q.cv, &q.lock, 1000, false); });
}

TEST_F(PlatformSyncTest, StateChangeRules) {
    kpav_state s;
    kpav_state_init(&s, 5);
    EXPECT_EQ(kpav_state_not_in(&s, 0), 1);
    EXPECT_EQ(kpav_state_not_in(&s, 2, 4u, 6u), 1);
    EXPECT_EQ(kpav_state_not_in(&s, 2, 5u, 6u), 0);
    EXPECT_EQ(kpav_state_change(&s, 5, 0), 0);          // same value, no list: nothing
    EXPECT_EQ(kpav_state_change(&s, 5, 1, 5u), 1);      // listed, already the value: acts, no wake
    EXPECT_EQ(kpav_state_change(&s, 7, 2, 1u, 2u), 0);  // not listed
    EXPECT_EQ(s.value, 5u);
    EXPECT_EQ(kpav_state_change(&s, 7, 0), 1);
    EXPECT_EQ(s.value, 7u);
}

TEST_F(PlatformSyncTest, WaitInReturnsHoldingTheLockOnceTheValueMatches) {
    kpav_state s;
    kpav_state_init(&s, 1);
    kpav_state_wait_in(&s, 2, "ONE, TWO", 1u, 2u);  // already matches
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    kpav_spin_unlock(&s.lock);

    std::atomic<bool> done{false};
    bounded_thread waiter("the waiter", [&] {
        kpav_state_wait_in(&s, 1, "PAV_LOG_RUNNING", 5u);
        EXPECT_EQ(s.value, 5u);
        kpav_spin_unlock(&s.lock);
        done = true;
    });
    kpav_state_change(&s, 3, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(done.load());
    kpav_state_change(&s, 5, 0);
    waiter.join();
    EXPECT_TRUE(done.load());
}

TEST_F(PlatformSyncTest, TransitionTable) {
    const std::pair<ULONG, std::pair<int, ULONG>> rows[] = {
        {1, {2, 6}}, {2, {1, 6}}, {3, {1, 6}}, {4, {3, 6}}, {5, {1, 6}},  {6, {0, 6}},
        {7, {0, 7}}, {8, {0, 8}}, {9, {0, 9}}, {0, {-1, 0}}, {10, {-1, 10}}, {33, {2, 6}},
    };
    for (const auto& [from, expected] : rows) {
        kpav_state s;
        kpav_state_init(&s, from);
        EXPECT_EQ(kpav_state_transition(&s), expected.first) << from;
        EXPECT_EQ(s.value, expected.second) << from;
    }
}

TEST_F(PlatformSyncTest, DelaySleepsBelowDispatchAndSpinsAtIt) {
    set_clock_rate(0);  // frozen: only a spin moves time on
    uint64_t t0 = machine_time();
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    kpav_udelay(250);
    KeLowerIrql(old);
    EXPECT_EQ(machine_time(), t0 + 2500);
    std::atomic<bool> woke{false};
    bounded_thread sleeper("the sleeper", [&] {
        kpav_udelay(1000);
        woke = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(woke.load());  // asleep until the machine's time passes
    // A sleeper that began its wait only now (a loaded machine) needs the time to pass again.
    for (int i = 0; i < 10000 && !woke.load(); i++) {
        advance_clock(10000);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    sleeper.join();
}
