// The levelled log, the direct print and its sink, and assertions.

#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/params.h"
#include "driver/platform/trace.h"
#include "tests/support/kernel_fixture.h"

using namespace sim::kernel;

class LogTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        ASSERT_EQ(kpav_trace_register(), STATUS_SUCCESS);
        saved_verbose_ = win_log_verbose;
        saved_nonfatal_ = make_assert_nonfatal;
    }
    void TearDown() override {
        kpav_trace_unregister();
        win_log_verbose = saved_verbose_;
        make_assert_nonfatal = saved_nonfatal_;
        KernelTest::TearDown();
    }
    static std::vector<debug_line> lines() { return debug_lines(); }
    static std::string event_text(const trace_event& e) {
        return std::string(e.fields.at(0).begin(), e.fields.at(0).end());
    }

  private:
    LONG saved_verbose_ = 0, saved_nonfatal_ = 0;
};

TEST_F(LogTest, LevelledLinesCarryPrefixComponentAndNumber) {
    trace_enable(kpav_trace_provider_id, 0, 0);  // all events
    kpav_syslog(0, "Corvane driver", 6165, "Failed to allocate thread context structure.\n");
    kpav_syslog(2, nullptr, KPAV_NO_MESSAGE_ID, "card %s ready\n", "dov3");
    kpav_syslog(1, "", 12, "low %d\n", 7);
    auto l = lines();
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(l[0].text, "paverr Corvane driver: 06165 Failed to allocate thread context structure.\n");
    EXPECT_EQ(l[0].component, 77u);
    EXPECT_EQ(l[0].level, (ULONG)DPFLTR_ERROR_LEVEL);
    EXPECT_EQ(l[1].text, "pavinf card dov3 ready\n");
    EXPECT_EQ(l[1].level, (ULONG)DPFLTR_INFO_LEVEL);
    EXPECT_EQ(l[2].text, "pavwrn 00012 low 7\n");
    EXPECT_EQ(l[2].level, (ULONG)DPFLTR_WARNING_LEVEL);

    auto events = trace_events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].id, 6);
    EXPECT_EQ(events[0].level, 2);
    EXPECT_EQ(events[0].keyword, 0x8000000000000000ull);
    EXPECT_EQ(events[0].task, 2);
    EXPECT_EQ(events[0].opcode, 11);
    EXPECT_EQ(events[0].channel, 8);
    EXPECT_EQ(event_text(events[0]), std::string("paverr Corvane driver: 06165 Failed to allocate thread context structure.\n") + '\0');
    EXPECT_EQ(events[1].id, 4);
    EXPECT_EQ(events[2].id, 5);
}

TEST_F(LogTest, UnsupportedLevelsAreReportedAndPrintedAsDebug) {
    kpav_syslog(4, "Corvane driver", KPAV_NO_MESSAGE_ID, "odd %d\n", 1);
    kpav_syslog(9, nullptr, KPAV_NO_MESSAGE_ID, "odder\n");
    auto l = lines();
    ASSERT_EQ(l.size(), 4u);
    EXPECT_EQ(l[0].text, "Unsupported message level: 4\n");
    EXPECT_EQ(l[0].level, (ULONG)DPFLTR_ERROR_LEVEL);
    EXPECT_EQ(l[1].text, "pavdbg Corvane driver: odd 1\n");
    EXPECT_EQ(l[1].level, (ULONG)DPFLTR_INFO_LEVEL);
    EXPECT_EQ(l[2].text, "Unsupported message level: 9\n");
    EXPECT_EQ(l[3].text, "pavdbg odder\n");
}

TEST_F(LogTest, LongLinesAreCutAndComponentsAreNotExpanded) {
    std::string long_text(600, 'x');
    kpav_syslog(2, nullptr, KPAV_NO_MESSAGE_ID, long_text.c_str());
    ASSERT_EQ(lines().size(), 1u);
    EXPECT_EQ(lines()[0].text.size(), 511u);
    EXPECT_EQ(lines()[0].text.substr(0, 7), "pavinf ");
    clear_debug_lines();
    // A partition or device name may hold '%': it is printed as it stands.
    kpav_syslog(1, "vp%s%n", 3, "done %d\n", 5);
    EXPECT_EQ(lines()[0].text, "pavwrn vp%s%n: 00003 done 5\n");
}

TEST_F(LogTest, SinkTracesByClassEnableBitsAndVerbosity) {
    struct row {
        int sink_class;
        ULONG debug_level;
        USHORT event;
        UCHAR session_level;  // what the trace session enables (0 = off)
        LONG verbose;
        bool traced;
    };
    const row rows[] = {
        {KPAV_CLASS_NORMAL, DPFLTR_INFO_LEVEL, 4, 4, 1, true},
        {KPAV_CLASS_NORMAL, DPFLTR_INFO_LEVEL, 4, 4, 0, false},        // class 0 needs verbose logging
        {KPAV_CLASS_NORMAL_TRACED, DPFLTR_INFO_LEVEL, 4, 4, 0, true},  // class 1 does not
        {KPAV_CLASS_WARNING, DPFLTR_WARNING_LEVEL, 5, 3, 0, true},
        {KPAV_CLASS_WARNING, DPFLTR_WARNING_LEVEL, 5, 2, 1, false},    // session takes errors only
        {KPAV_CLASS_ERROR, DPFLTR_ERROR_LEVEL, 6, 2, 0, true},
        {-1, DPFLTR_ERROR_LEVEL, 4, 4, 0, true},
        {7, DPFLTR_ERROR_LEVEL, 4, 4, 0, true},
        {KPAV_CLASS_ERROR, DPFLTR_ERROR_LEVEL, 6, 0, 1, false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.sink_class);
        clear_debug_lines();
        clear_trace_events();
        win_log_verbose = r.verbose;
        if (r.session_level == 0) {
            trace_disable(kpav_trace_provider_id);
        } else {
            trace_enable(kpav_trace_provider_id, r.session_level, 0x8000000000000000ull);
        }
        kpav_print(r.sink_class, "pavinf dov0: value %u\n", 17u);
        ASSERT_EQ(lines().size(), 1u);
        EXPECT_EQ(lines()[0].text, "pavinf dov0: value 17\n");
        EXPECT_EQ(lines()[0].level, r.debug_level);
        auto events = trace_events();
        ASSERT_EQ(events.size(), r.traced ? 1u : 0u);
        if (r.traced) {
            EXPECT_EQ(events[0].id, r.event);
            EXPECT_EQ(event_text(events[0]), std::string("pavinf dov0: value 17\n") + '\0');
        }
    }
    // Nothing is allocated for the trace when the event is off, and a failed allocation only
    // drops the event.
    trace_enable(kpav_trace_provider_id, 4, 0);
    fail_always(fault_site::pool, "log4");
    clear_trace_events();
    kpav_print(KPAV_CLASS_ERROR, "still printed\n");
    EXPECT_EQ(lines().back().text, "still printed\n");
    EXPECT_TRUE(trace_events().empty());
}

TEST_F(LogTest, InterruptLevelPrintsWithoutTraceAndAStoppingSystemPrintsNothing) {
    trace_enable(kpav_trace_provider_id, 0, 0);
    KIRQL old;
    KeRaiseIrql(SIM_DEVICE_LEVEL, &old);
    kpav_print(KPAV_CLASS_ERROR, "from an interrupt\n");
    KeRaiseIrql(HIGH_LEVEL, &old);
    kpav_print(KPAV_CLASS_ERROR, "while stopping\n");
    KeLowerIrql(PASSIVE_LEVEL);
    EXPECT_EQ(debug_texts(), std::vector<std::string>{"from an interrupt\n"});
    EXPECT_TRUE(trace_events().empty());  // no pool above DISPATCH_LEVEL
}

TEST_F(LogTest, LevelledLinesComeOutWholeAtEveryLevelAndFromThreadsThatShareAProcessor) {
    const KIRQL levels[] = {PASSIVE_LEVEL, APC_LEVEL, DISPATCH_LEVEL, SIM_DEVICE_LEVEL, HIGH_LEVEL};
    for (KIRQL level : levels) {
        KIRQL old;
        KeRaiseIrql(level, &old);
        kpav_syslog(0, "dov0", 7, "at %u\n", (unsigned)level);
        EXPECT_EQ(KeGetCurrentIrql(), level);  // the caller's level is given back
        KeLowerIrql(old);
    }
    // Nothing is printed while the system stops (HIGH_LEVEL).
    EXPECT_EQ(debug_texts(), (std::vector<std::string>{"paverr dov0: 00007 at 0\n", "paverr dov0: 00007 at 1\n",
                                                       "paverr dov0: 00007 at 2\n", "paverr dov0: 00007 at 8\n"}));

    // Threads that run on one processor take turns at its line.
    clear_debug_lines();
    constexpr int threads = 6;
    constexpr int each = 200;
    {
        std::vector<std::unique_ptr<bounded_thread>> running;
        for (int t = 0; t < threads; t++) {
            running.push_back(std::make_unique<bounded_thread>("logger", [t] {
                for (int i = 0; i < each; i++) {
                    kpav_syslog(1, "dov%", (ULONG)t, "line %d of %d\n", i, t);
                }
            }));
        }
    }
    std::vector<std::string> texts = debug_texts();
    ASSERT_EQ(texts.size(), (size_t)threads * each);
    std::set<std::string> seen(texts.begin(), texts.end());
    for (int t = 0; t < threads; t++) {
        for (int i = 0; i < each; i++) {
            char expected[64];
            std::snprintf(expected, sizeof expected, "pavwrn dov%%: %05d line %d of %d\n", t, i, t);
            EXPECT_EQ(seen.count(expected), 1u) << expected;
        }
    }
}

TEST_F(LogTest, FailedAssertionsAreCountedWhenNonFatal) {
    make_assert_nonfatal = 1;
    LONG bad = ReadNoFence(&kpav_assert_bad), good = ReadNoFence(&kpav_assert_good);
    kpav_assert(1 + 1 == 2);
    EXPECT_EQ(ReadNoFence(&kpav_assert_good), good + 1);
    kpav_assert(false);
    kpav_assert(false);
    EXPECT_EQ(ReadNoFence(&kpav_assert_bad), bad + 2);
    auto l = lines();
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0].text, "ASSERT STATISTICS: " + std::to_string(bad) + " bad, " + std::to_string(good + 1) + " good\n");
    EXPECT_EQ(l[1].text, "ASSERT STATISTICS: " + std::to_string(bad + 1) + " bad, " + std::to_string(good + 1) + " good\n");
}

TEST_F(LogTest, IrqlAssertionsFailAboveTheirLevelAndAreNotCountedWhenTheyHold) {
    make_assert_nonfatal = 1;
    LONG bad = ReadNoFence(&kpav_assert_bad), good = ReadNoFence(&kpav_assert_good);
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);  // fails
    KPAV_IRQL_AT_MOST(APC_LEVEL);     // fails
    KeLowerIrql(old);
    EXPECT_EQ(ReadNoFence(&kpav_assert_bad), bad + 2);
    EXPECT_EQ(ReadNoFence(&kpav_assert_good), good);

    make_assert_nonfatal = 0;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    auto stop = expect_bug_check(KPAV_ASSERT_BUGCHECK, [] { KPAV_IRQL_BELOW(DISPATCH_LEVEL); });
    KeLowerIrql(old);
    EXPECT_NE(stop.parameters[2], 0u);
}

TEST_F(LogTest, FailedAssertionStopsTheMachineWithItsLine) {
    make_assert_nonfatal = 0;
    int line = 0;
    auto stop = expect_bug_check(KPAV_ASSERT_BUGCHECK, [&] {
        line = __LINE__ + 1;
        kpav_assert(2 + 2 == 5);
    });
    EXPECT_EQ(stop.parameters[0], 0u);
    EXPECT_EQ(stop.parameters[2], (ULONG_PTR)line);
}
