// Spin locks, reader/writer spin locks, events, fast mutexes and executive resources.

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "sim/kernel/control.h"
#include "sim/kernel/kernel.h"
#include "tests/support/kernel_fixture.h"

using namespace sim::kernel;

class SyncTest : public KernelTest {};

TEST_F(SyncTest, SpinLockRaisesToDispatchAndRestores) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_FALSE(KeTestSpinLock(&lock));
    expect_bug_check(SPIN_LOCK_ALREADY_OWNED, [&] { KeAcquireSpinLockAtDpcLevel(&lock); });
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL);  // the stop left the lock held
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    expect_bug_check(SPIN_LOCK_NOT_OWNED, [&] { KeReleaseSpinLock(&lock, PASSIVE_LEVEL); });
    expect_bug_check(IRQL_NOT_GREATER_OR_EQUAL, [&] { KeAcquireSpinLockAtDpcLevel(&lock); });
}

// Several threads add to counters under each kind of lock; a lock that lets two holders in
// loses increments.
TEST_F(SyncTest, LocksExcludeEachOtherUnderContention) {
    constexpr int threads = 4, rounds = 20000;
    KSPIN_LOCK spin = 0;
    EX_SPIN_LOCK rw = 0;
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ERESOURCE resource;
    ExInitializeResourceLite(&resource);
    long spin_count = 0, rw_count = 0, mutex_count = 0, resource_count = 0;
    std::atomic<long> readers_seen_inconsistent{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; t++) {
        workers.emplace_back([&] {
            for (int i = 0; i < rounds; i++) {
                KIRQL old;
                KeAcquireSpinLock(&spin, &old);
                spin_count++;
                KeReleaseSpinLock(&spin, old);

                old = ExAcquireSpinLockExclusive(&rw);
                rw_count++;
                rw_count++;
                ExReleaseSpinLockExclusive(&rw, old);
                old = ExAcquireSpinLockShared(&rw);
                if (rw_count % 2 != 0) {
                    readers_seen_inconsistent++;
                }
                ExReleaseSpinLockShared(&rw, old);

                if (i % 10 == 0) {
                    ExAcquireFastMutex(&mutex);
                    mutex_count++;
                    ExReleaseFastMutex(&mutex);
                    KeEnterCriticalRegion();
                    ExAcquireResourceExclusiveLite(&resource, TRUE);
                    resource_count++;
                    ExReleaseResourceLite(&resource);
                    KeLeaveCriticalRegion();
                }
            }
        });
    }
    for (auto& w : workers) {
        w.join();
    }
    EXPECT_EQ(spin_count, threads * rounds);
    EXPECT_EQ(rw_count, 2L * threads * rounds);
    EXPECT_EQ(readers_seen_inconsistent.load(), 0);
    EXPECT_EQ(mutex_count, threads * rounds / 10);
    EXPECT_EQ(resource_count, threads * rounds / 10);
    ExDeleteResourceLite(&resource);
}

TEST_F(SyncTest, SynchronizationEventWakesOneWaiterNotificationEventAll) {
    KEVENT sync_event, notification;
    KeInitializeEvent(&sync_event, SynchronizationEvent, FALSE);
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    std::atomic<int> woken{0};
    auto wait_on = [&](KEVENT* e) {
        return std::thread([&woken, e] {
            KeWaitForSingleObject(e, Executive, KernelMode, FALSE, nullptr);
            woken++;
        });
    };
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; i++) {
        waiters.push_back(wait_on(&sync_event));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    KeSetEvent(&sync_event, 0, FALSE);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(woken.load(), 1);
    EXPECT_EQ(KeReadStateEvent(&sync_event), 0);  // the wait took the signal
    // A set is not counted: a second set before the signal is taken is lost.
    for (int expected = 2; expected <= 3; expected++) {
        KeSetEvent(&sync_event, 0, FALSE);
        while (woken.load() != expected) {
            std::this_thread::yield();
        }
    }
    for (auto& w : waiters) {
        w.join();
    }
    woken = 0;
    waiters.clear();
    for (int i = 0; i < 3; i++) {
        waiters.push_back(wait_on(&notification));
    }
    KeSetEvent(&notification, 0, FALSE);
    for (auto& w : waiters) {
        w.join();
    }
    EXPECT_EQ(woken.load(), 3);
    EXPECT_EQ(KeReadStateEvent(&notification), 1);
}

// Events and semaphores change without a lock and wake only threads asleep on them: a set or
// release that races with a waiter going to sleep must still reach it, and each signal of a
// synchronization event or semaphore must be taken exactly once.
TEST_F(SyncTest, SignalsRacingWithSleepersAreNeverLostOrTakenTwice) {
    constexpr int rounds = 20000;
    LARGE_INTEGER bound;
    bound.QuadPart = -10LL * 10000000;  // 10 s: a lost wake ends the wait with STATUS_TIMEOUT
    KEVENT ping, pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    std::atomic<int> answered{0};
    {
        bounded_thread other("pong", [&] {
            for (int i = 0; i < rounds; i++) {
                if (KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, &bound) != STATUS_SUCCESS) {
                    return;
                }
                answered++;
                KeSetEvent(&pong, 0, FALSE);
            }
        });
        for (int i = 0; i < rounds; i++) {
            KeSetEvent(&ping, 0, FALSE);
            NTSTATUS status = KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, &bound);
            ASSERT_EQ(status, STATUS_SUCCESS) << "round " << i;
        }
    }
    EXPECT_EQ(answered.load(), rounds);
    EXPECT_EQ(KeReadStateEvent(&ping), 0);
    EXPECT_EQ(KeReadStateEvent(&pong), 0);

    // Four releasers, two takers: every unit released is taken once, none is left over.
    constexpr int per_releaser = 5000;
    KSEMAPHORE units;
    KeInitializeSemaphore(&units, 0, 4 * per_releaser);
    std::atomic<int> taken{0};
    std::atomic<int> timed_out{0};
    {
        std::vector<std::unique_ptr<bounded_thread>> threads;
        for (int t = 0; t < 2; t++) {
            threads.push_back(std::make_unique<bounded_thread>("taker", [&] {
                for (int i = 0; i < 2 * per_releaser; i++) {
                    if (KeWaitForSingleObject(&units, Executive, KernelMode, FALSE, &bound) != STATUS_SUCCESS) {
                        timed_out++;
                        return;
                    }
                    taken++;
                }
            }));
        }
        for (int t = 0; t < 4; t++) {
            threads.push_back(std::make_unique<bounded_thread>("releaser", [&] {
                for (int i = 0; i < per_releaser; i++) {
                    KeReleaseSemaphore(&units, 0, 1, FALSE);
                }
            }));
        }
    }
    EXPECT_EQ(timed_out.load(), 0);
    EXPECT_EQ(taken.load(), 4 * per_releaser);
    EXPECT_EQ(KeReadStateSemaphore(&units), 0);
}

// An alert ends an alertable wait for an event, and only that: a wait that is not alertable
// goes on until the event is set.
TEST_F(SyncTest, AlertEndsAnAlertableEventWaitOnly) {
    static KEVENT event;
    static std::atomic<NTSTATUS> first;
    static std::atomic<NTSTATUS> second;
    static std::atomic<int> step;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    first = second = STATUS_PENDING;
    step = 0;
    auto body = [](PVOID) {
        step = 1;
        first = KeWaitForSingleObject(&event, Executive, KernelMode, TRUE, nullptr);
        step = 2;
        second = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    };
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, body, nullptr), STATUS_SUCCESS);
    PVOID thread;
    ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr);
    ZwClose(handle);
    ASSERT_TRUE(eventually([] { return step.load() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    alert_thread(thread);
    ASSERT_TRUE(eventually([] { return step.load() == 2; }));
    EXPECT_EQ(first.load(), STATUS_ALERTED);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    alert_thread(thread);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(second.load(), STATUS_PENDING);
    KeSetEvent(&event, 0, FALSE);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    EXPECT_EQ(second.load(), STATUS_SUCCESS);
}

TEST_F(SyncTest, FastMutexRaisesToApcAndRefusesMisuse) {
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    std::atomic<bool> other_got_it{true};
    std::thread([&] { other_got_it = ExTryToAcquireFastMutex(&mutex) != FALSE; }).join();
    EXPECT_FALSE(other_got_it.load());
    expect_bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, [&] { ExAcquireFastMutex(&mutex); });
    // The stop left this thread at PASSIVE_LEVEL while still owning the mutex: release it the
    // way the owner would.
    KIRQL ignored;
    KeRaiseIrql(APC_LEVEL, &ignored);
    mutex.OldIrql = PASSIVE_LEVEL;
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    std::thread([&] {
        ASSERT_TRUE(ExTryToAcquireFastMutex(&mutex));
        ExReleaseFastMutex(&mutex);
    }).join();
}

TEST_F(SyncTest, ResourceSharesReadersAndRecursesForItsOwner) {
    ERESOURCE r;
    ExInitializeResourceLite(&r);
    expect_bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, [&] { ExAcquireResourceSharedLite(&r, TRUE); });
    KeEnterCriticalRegion();
    EXPECT_TRUE(ExAcquireResourceSharedLite(&r, TRUE));
    std::thread([&] {
        KeEnterCriticalRegion();
        EXPECT_TRUE(ExAcquireResourceSharedLite(&r, TRUE));  // readers share
        EXPECT_FALSE(ExAcquireResourceExclusiveLite(&r, FALSE));
        ExReleaseResourceLite(&r);
        KeLeaveCriticalRegion();
    }).join();
    ExReleaseResourceLite(&r);
    EXPECT_TRUE(ExAcquireResourceExclusiveLite(&r, TRUE));
    EXPECT_TRUE(ExAcquireResourceExclusiveLite(&r, TRUE));
    EXPECT_TRUE(ExAcquireResourceSharedLite(&r, TRUE));  // the owner's shared take recurses
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&r), 3u);
    ExReleaseResourceLite(&r);
    ExReleaseResourceLite(&r);
    ExReleaseResourceLite(&r);
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&r));
    KeLeaveCriticalRegion();
    ExDeleteResourceLite(&r);
}
