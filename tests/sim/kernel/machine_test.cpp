// The machine: IRQL rules, bug checks, the clock, processors and nodes, system threads.

#include <atomic>
#include <cstring>

#include "sim/kernel/control.h"
#include "sim/kernel/kernel.h"
#include "tests/support/kernel_fixture.h"

using namespace sim::kernel;

class MachineTest : public KernelTest {};

TEST_F(MachineTest, RaiseAndLowerFollowTheRules) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    auto stop = expect_bug_check(IRQL_NOT_GREATER_OR_EQUAL, [] {
        KIRQL ignored;
        KeRaiseIrql(APC_LEVEL, &ignored);  // "raising" downwards
    });
    EXPECT_EQ(stop.parameters[0], (ULONG_PTR)DISPATCH_LEVEL);
    // The stop leaves the test's thread at PASSIVE_LEVEL again.
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    expect_bug_check(IRQL_NOT_LESS_OR_EQUAL, [] { KeLowerIrql(DISPATCH_LEVEL); });
}

TEST_F(MachineTest, WaitsAndSleepsAtDispatchLevelStopTheMachine) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER zero{};
    LARGE_INTEGER ten_ms;
    ten_ms.QuadPart = -100000;
    struct step {
        const char* what;
        std::function<void()> action;
    };
    const step steps[] = {
        {"wait with a time-out", [&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &ten_ms); }},
        {"wait without time-out", [&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); }},
        {"sleep", [&] { KeDelayExecutionThread(KernelMode, FALSE, &ten_ms); }},
        {"paged pool", [&] { ExAllocatePoolWithTag(PagedPool, 16, 0x74736574); }},
        {"pageable code", [&] { PAGED_CODE(); }},
    };
    for (const step& s : steps) {
        SCOPED_TRACE(s.what);
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        ULONG code = std::string(s.what) == "paged pool" ? BAD_POOL_CALLER : IRQL_NOT_LESS_OR_EQUAL;
        expect_bug_check(code, s.action);
    }
    // A test of the event without waiting is allowed at DISPATCH_LEVEL.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeLowerIrql(old);
}

TEST_F(MachineTest, BugCheckRunsSecondaryDumpCallbacksAtHighLevel) {
    static KIRQL irql_seen;
    static char banner[32];
    struct callback {
        static void run(KBUGCHECK_CALLBACK_REASON, PKBUGCHECK_REASON_CALLBACK_RECORD, PVOID data, ULONG) {
            auto* d = (PKBUGCHECK_SECONDARY_DUMP_DATA)data;
            irql_seen = KeGetCurrentIrql();
            if (d->OutBuffer == nullptr) {
                d->OutBuffer = banner;
                d->OutBufferLength = sizeof banner;
                return;
            }
            std::strcpy(banner, "card banner");
            d->OutBuffer = banner;
            d->OutBufferLength = (ULONG)std::strlen(banner);
            d->Guid.Data1 = 0x1234;
        }
    };
    KBUGCHECK_REASON_CALLBACK_RECORD record{};
    ASSERT_TRUE(KeRegisterBugCheckReasonCallback(&record, callback::run, KbCallbackSecondaryDumpData,
                                                 (PUCHAR) "strovane"));
    auto stop = expect_bug_check(0xA0000000, [] { KeBugCheckEx(0xA0000000, 0, 0, 42, 0); });
    EXPECT_EQ(stop.parameters[2], 42u);
    EXPECT_NE(std::string(stop.what()).find("card banner"), std::string::npos);
    EXPECT_EQ(irql_seen, HIGH_LEVEL);
    auto dumps = collect_secondary_dumps();
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_EQ(dumps[0].component, "strovane");
    EXPECT_EQ(dumps[0].guid.Data1, 0x1234u);
    EXPECT_EQ(std::string(dumps[0].data.begin(), dumps[0].data.end()), "card banner");
    EXPECT_TRUE(KeDeregisterBugCheckReasonCallback(&record));
    EXPECT_TRUE(collect_secondary_dumps().empty());
}

TEST_F(MachineTest, CorruptListLinksFailFast) {
    LIST_ENTRY head, a, b;
    InitializeListHead(&head);
    InsertTailList(&head, &a);
    InsertTailList(&head, &b);
    a.Flink = &head;  // b is no longer reachable forwards
    auto stop = expect_bug_check(KERNEL_SECURITY_CHECK_FAILURE, [&] { RemoveEntryList(&b); });
    EXPECT_EQ(stop.parameters[0], (ULONG_PTR)FAST_FAIL_CORRUPT_LIST_ENTRY);
}

class FastClockTest : public KernelTest {
    machine_config machine() const override {
        machine_config c;
        c.clock_rate = 1000;
        return c;
    }
};

TEST_F(FastClockTest, TimeOutsFollowTheMachineClock) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -300LL * 10000000;  // 300 machine seconds, 0.3 real seconds
    LARGE_INTEGER before;
    KeQuerySystemTime(&before);
    auto real_start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    auto real = std::chrono::steady_clock::now() - real_start;
    LARGE_INTEGER after;
    KeQuerySystemTime(&after);
    EXPECT_GE(after.QuadPart - before.QuadPart, 300LL * 10000000);
    EXPECT_LT(real, std::chrono::seconds(30));
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    EXPECT_GE((uint64_t)ticks.QuadPart * KeQueryTimeIncrement(), 300ull * 10000000);
}

TEST_F(MachineTest, FrozenClockMovesOnlyWhenAdvanced) {
    set_clock_rate(0);
    uint64_t t0 = machine_time();
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<NTSTATUS> result{STATUS_PENDING};
    std::thread waiter([&] {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10000000;  // one machine second
        result = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(result.load(), STATUS_PENDING);
    EXPECT_EQ(machine_time(), t0);
    advance_clock(20000000);
    waiter.join();
    EXPECT_EQ(result.load(), STATUS_TIMEOUT);
    KeStallExecutionProcessor(100);  // a stall on a frozen clock moves it on itself
    EXPECT_EQ(machine_time(), t0 + 20000000 + 1000);
}

class TopologyTest : public KernelTest {
    machine_config machine() const override {
        machine_config c;
        c.max_processors = 8;
        c.active_processors = 4;
        c.node_of_processor = {0, 0, 1, 1, 0, 0, 1, 1};
        c.node_count = 3;  // node 2 has no processor
        return c;
    }
};

template <typename F>
F* routine(const char16_t* name) {
    UNICODE_STRING s;
    s.Buffer = (PWSTR)name;
    s.Length = s.MaximumLength = (USHORT)(std::char_traits<char16_t>::length(name) * 2);
    return (F*)MmGetSystemRoutineAddress(&s);
}

TEST_F(TopologyTest, ProcessorsNodesAndRoutinesByName) {
    auto* active = routine<decltype(KeQueryActiveProcessorCountEx)>(u"KeQueryActiveProcessorCountEx");
    auto* maximum = routine<decltype(KeQueryMaximumProcessorCountEx)>(u"KeQueryMaximumProcessorCountEx");
    ASSERT_NE(active, nullptr);
    ASSERT_NE(maximum, nullptr);
    EXPECT_EQ(active(ALL_PROCESSOR_GROUPS), 4u);
    EXPECT_EQ(maximum(ALL_PROCESSOR_GROUPS), 8u);
    EXPECT_EQ(routine<void>(u"NoSuchRoutine"), nullptr);
    EXPECT_EQ(KeQueryHighestNodeNumber(), 2);

    GROUP_AFFINITY a;
    USHORT count;
    KeQueryNodeActiveAffinity(1, &a, &count);
    EXPECT_EQ(a.Mask, 0b1100u);  // processors 6 and 7 are not active yet
    EXPECT_EQ(count, 2);
    KeQueryNodeActiveAffinity(2, &a, &count);
    EXPECT_EQ(a.Mask, 0u);
    EXPECT_EQ(count, 0);

    PROCESSOR_NUMBER n;
    EXPECT_EQ(KeGetProcessorNumberFromIndex(7, &n), STATUS_SUCCESS);
    EXPECT_EQ(n.Number, 7);
    EXPECT_EQ(KeGetProcessorNumberFromIndex(8, &n), STATUS_INVALID_PARAMETER);

    GROUP_AFFINITY to_three{};
    to_three.Mask = 1u << 3;
    KeSetSystemGroupAffinityThread(&to_three, &a);
    EXPECT_EQ(KeGetCurrentProcessorNumberEx(nullptr), 3u);
    EXPECT_EQ(KeGetCurrentNodeNumber(), 1);
}

TEST_F(TopologyTest, ProcessorChangeCallbacksSeeExistingAndHotAddedProcessors) {
    static std::vector<std::pair<int, ULONG>> seen;
    seen.clear();
    auto callback = [](PVOID, PKE_PROCESSOR_CHANGE_NOTIFY_CONTEXT c, NTSTATUS*) {
        seen.push_back({c->State, c->NtNumber});
    };
    PVOID handle = KeRegisterProcessorChangeCallback(callback, nullptr, KE_PROCESSOR_CHANGE_ADD_EXISTING);
    ASSERT_NE(handle, nullptr);
    std::vector<std::pair<int, ULONG>> existing = {{1, 0}, {1, 1}, {1, 2}, {1, 3}};
    EXPECT_EQ(seen, existing);
    seen.clear();
    EXPECT_EQ(hot_add_processor(), 4u);
    std::vector<std::pair<int, ULONG>> added = {{KeProcessorAddStartNotify, 4}, {KeProcessorAddCompleteNotify, 4}};
    EXPECT_EQ(seen, added);
    EXPECT_EQ(KeQueryActiveProcessorCountEx(ALL_PROCESSOR_GROUPS), 5u);
    KeDeregisterProcessorChangeCallback(handle);
    seen.clear();
    hot_add_processor();
    EXPECT_TRUE(seen.empty());
}

TEST_F(MachineTest, SystemThreadsRunSignalAndCanBeRefused) {
    static std::atomic<int> ran;
    static KIRQL irql_in_thread;
    ran = 0;
    auto body = [](PVOID arg) {
        irql_in_thread = KeGetCurrentIrql();
        ran += *(int*)arg;
        PsTerminateSystemThread(STATUS_SUCCESS);
    };
    int five = 5;
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, body, &five), STATUS_SUCCESS);
    PVOID thread;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(thread);
    EXPECT_EQ(ran.load(), 5);
    EXPECT_EQ(irql_in_thread, PASSIVE_LEVEL);
    EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);

    fail_nth(fault_site::system_thread, 1);
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, body, &five),
              STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(MachineTest, AlertEndsAnAlertableSleepOnly) {
    static std::atomic<NTSTATUS> result;
    static std::atomic<bool> started;
    result = STATUS_PENDING;
    started = false;
    auto body = [](PVOID) {
        started = true;
        LARGE_INTEGER long_time;
        long_time.QuadPart = -600LL * 10000000;
        result = KeDelayExecutionThread(KernelMode, TRUE, &long_time);
    };
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, body, nullptr), STATUS_SUCCESS);
    PVOID thread;
    ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr);
    ZwClose(handle);
    while (!started) {
        std::this_thread::yield();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    alert_thread(thread);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    EXPECT_EQ(result.load(), STATUS_ALERTED);
}

TEST_F(MachineTest, VersionComesFromTheMachine) {
    RTL_OSVERSIONINFOW v{};
    v.dwOSVersionInfoSize = sizeof v;
    EXPECT_EQ(RtlGetVersion(&v), STATUS_SUCCESS);
    EXPECT_EQ(v.dwMajorVersion, 10u);
    EXPECT_EQ(v.dwBuildNumber, 19045u);
}
