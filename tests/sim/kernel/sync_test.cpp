// Spin locks, reader/writer spin locks, events, fast mutexes and executive resources.

#include <atomic>
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
