// The per-processor threads: start on the active processors and on added ones, completions and
// deferred bios run on the processor they were queued for, kicks, the dump, and stop.

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/card/csr_dump.h"
#include "driver/controller/card_list.h"
#include "driver/card/cpu_queues.h"
#include "driver/card/pipeline_device.h"
#include "driver/platform/cpu_wq.h"
#include "driver/platform/thread.h"
#include "sim/kernel/thread_state.h"
#include "tests/driver/platform/framework_driver.h"
#include "tests/support/kernel_fixture.h"

using namespace sim::kernel;

namespace {

// What the hooks saw.
struct hook_log {
    std::mutex mutex;
    std::vector<std::pair<std::string, ULONG>> calls;  // (what, processor)
    std::vector<int> bio_statuses;
    std::vector<completion_queue*> rearmed;  // every queue handed to rearm_queues, in order
    std::atomic<int> completions{0};
    std::atomic<bool> hold{false};      // run_completions waits while set
    std::atomic<bool> holding{false};
    completion_queue* remember = nullptr;  // run_completions remembers it for re-arming

    void note(const std::string& what) {
        std::lock_guard<std::mutex> g(mutex);
        calls.push_back({what, KeGetCurrentProcessorNumberEx(nullptr)});
    }
    std::vector<std::pair<std::string, ULONG>> seen() {
        std::lock_guard<std::mutex> g(mutex);
        return calls;
    }
};
hook_log hooks;

// A request as the pipeline will have one: some fields, then the completed-list link.
struct request {
    ULONG64 fields[3];
    LIST_ENTRY cpu_link;
};

ULONG run_completions(LIST_ENTRY* completed, cpu_wq* record) {
    hooks.holding = true;
    EXPECT_TRUE(eventually([] { return !hooks.hold; }, 30000)) << "held too long";
    hooks.holding = false;
    ULONG ran = 0;
    while (!IsListEmpty(completed)) {
        RemoveHeadList(completed);
        ran++;
    }
    bool on_system_thread = current_thread().kind == thread_kind::system;
    hooks.note(on_system_thread && cpu_wq_cpu(record) == KeGetCurrentProcessorNumberEx(nullptr) ? "run"
                                                                                             : "run elsewhere");
    if (hooks.remember != nullptr) {
        cpu_wq_remember_queue(record, hooks.remember);
    }
    hooks.completions += (int)ran;
    return ran;
}

void rearm_queues(completion_queue* const* queues, ULONG count) {
    for (ULONG i = 0; i < count; i++) {
        hooks.note(queues[i] == hooks.remember ? "rearm" : "rearm other");
    }
    std::lock_guard<std::mutex> g(hooks.mutex);
    hooks.rearmed.insert(hooks.rearmed.end(), queues, queues + count);
}

void end_bio(cpu_wq_deferred_bio*, int status) {
    hooks.note("bio");
    std::lock_guard<std::mutex> g(hooks.mutex);
    hooks.bio_statuses.push_back(status);
}

void trim_cached_requests(pipeline_device*, ULONG cpu) {
    hooks.note("trim " + std::to_string(cpu));
}

void drain_cpu_queue(pipeline_device* card, ULONG cpu) {
    bool own = cpu == KeGetCurrentProcessorNumberEx(nullptr) && card->cpu_queues != nullptr &&
               card->cpu_queues[cpu] != nullptr;
    hooks.note(own ? "drain" : "drain of another processor's queue");
}

void* request_of_link(LIST_ENTRY* link) {
    return CONTAINING_RECORD(link, request, cpu_link);
}

void queue_completion(ULONG cpu, request* r) {
    cpu_wq* record = cpu_wq_lock_for_cpu(cpu);
    ASSERT_NE(record, nullptr);
    cpu_wq_add_completed(record, &r->cpu_link);
    cpu_wq_unlock(record);
    cpu_wq_signal(record);
}

// The threads' work as this test sees it; the cards come from the driver's card list.
const cpu_wq_ops test_ops = {run_completions, rearm_queues,         drain_cpu_queue,      request_of_link,
                             trim_cached_requests, end_bio, pav_driver_list_walk};

const char* const stop_timeout = "paverr Corvane driver: 12317 Timeout waiting for bound cpu thread to terminate.\n";

}  // namespace

class CpuWqTest : public KernelTest {
  protected:
    machine_config machine() const override { return four_of_eight_on_two_nodes(); }

    void SetUp() override {
        KernelTest::SetUp();
        {
            std::lock_guard<std::mutex> g(hooks.mutex);
            hooks.calls.clear();
            hooks.bio_statuses.clear();
            hooks.rearmed.clear();
        }
        hooks.completions = 0;
        hooks.hold = false;
        hooks.remember = nullptr;
        driver_.load(1);
        ASSERT_EQ(kpav_numa_init(), 0);
    }

    void TearDown() override {
        hooks.hold = false;
        cpu_wq_exit();
        EXPECT_FALSE(logged(stop_timeout));
        EXPECT_TRUE(wait_for_work_items(10000));
        driver_.unload();
        kpav_numa_exit();
        // A thread that has left its record still reads the table as it ends.
        EXPECT_TRUE(wait_for_system_threads(10000));
        EXPECT_EQ(kpav_live_bound_threads, 0);
        KernelTest::TearDown();
    }

    void start() {
        ASSERT_EQ(cpu_wq_init(&test_ops), 0);
        ASSERT_TRUE(eventually([] {
            for (ULONG cpu = 0; cpu < 4; cpu++) {
                if (cpu_wq_state(cpu) != CPU_WQ_RUNNING) {
                    return false;
                }
            }
            return true;
        }));
    }

    framework_driver driver_;
};

TEST_F(CpuWqTest, ARecordForEveryPossibleProcessorAThreadForEveryActiveOne) {
    start();
    EXPECT_EQ(live_system_threads(), 4u);
    EXPECT_EQ(kpav_live_bound_threads, 4);
    EXPECT_EQ(pool_outstanding("sal4").allocations, 8u);
    EXPECT_EQ(cpu_wq_init(&test_ops), 0);  // once per driver
    EXPECT_EQ(live_system_threads(), 4u);

    clear_debug_lines();
    cpu_wq_dump(nullptr, nullptr, "dov0", true);
    std::vector<std::string> expected = {"pavinf dov0 CPU completion queues:\n"};
    for (int cpu = 0; cpu < 8; cpu++) {
        char line[64];
        std::snprintf(line, sizeof line, "pavinf  CPU%d %s state %d: <nada>\n", cpu, cpu < 4 ? "online" : "offline",
                      cpu < 4 ? 2 : 0);
        expected.push_back(line);
    }
    EXPECT_EQ(log(), expected);

    cpu_wq_exit();
    // The threads end after their records are given back (the live count is what unload waits on).
    EXPECT_TRUE(wait_for_system_threads(10000));
    EXPECT_EQ(kpav_live_bound_threads, 0);
    EXPECT_EQ(pool_outstanding("sal4"), (pool_usage{}));
    EXPECT_EQ(pool_outstanding("top4"), (pool_usage{}));  // the topology goes with the threads
    clear_debug_lines();
    cpu_wq_dump(nullptr, nullptr, "dov0", false);
    EXPECT_EQ(log(), std::vector<std::string>{"pavinf dov0 CPU queue information not available!\n"});
}

TEST_F(CpuWqTest, AnAddedProcessorGetsExactlyOneMoreThread) {
    start();
    EXPECT_EQ(hot_add_processor(), 4u);
    ASSERT_TRUE(eventually([] { return cpu_wq_state(4) == CPU_WQ_RUNNING; }));
    EXPECT_TRUE(wait_for_work_items(10000));
    EXPECT_EQ(live_system_threads(), 5u);
    for (ULONG cpu = 0; cpu < 8; cpu++) {
        EXPECT_EQ(cpu_wq_state(cpu), cpu < 5 ? CPU_WQ_RUNNING : CPU_WQ_NOT_ACTIVE) << cpu;
    }
    // Its thread runs its completions.
    request r{};
    queue_completion(4, &r);
    ASSERT_TRUE(eventually([] { return hooks.completions == 1; }));
    EXPECT_EQ(hooks.seen()[0], (std::pair<std::string, ULONG>{"run", 4}));
}

TEST_F(CpuWqTest, AProcessorAddedWithoutADeviceToWorkOnStaysWithoutAThread) {
    driver_.unload();
    start();
    clear_debug_lines();
    EXPECT_EQ(hot_add_processor(), 4u);
    EXPECT_EQ(cpu_wq_state(4), CPU_WQ_NOT_ACTIVE);
    EXPECT_EQ(live_system_threads(), 4u);
    EXPECT_EQ(log(), std::vector<std::string>{
                         "paverr Corvane driver: 06167 Failed to enumerate device object during tavrin_schedule_work.\n"});
    // Its work goes to another processor, and a kick does not wait for a thread that is not there.
    cpu_wq* record = cpu_wq_lock_for_cpu(4);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(cpu_wq_cpu(record), 0u);
    cpu_wq_unlock(record);
    cpu_wq_kick_all();
}

TEST_F(CpuWqTest, CompletionsAndBiosRunOnTheThreadOfTheirProcessor) {
    start();
    alignas(16) static char queue_record[16];
    hooks.remember = (completion_queue*)queue_record;
    request r[3]{};
    cpu_wq* record = cpu_wq_lock_for_cpu(2);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(cpu_wq_cpu(record), 2u);
    for (request& each : r) {
        cpu_wq_add_completed(record, &each.cpu_link);
    }
    cpu_wq_deferred_bio bios[2];
    EXPECT_TRUE(cpu_wq_defer_bio(record, &bios[0], -5));
    EXPECT_FALSE(cpu_wq_defer_bio(record, &bios[1], 0));
    cpu_wq_unlock(record);
    cpu_wq_signal(record);

    ASSERT_TRUE(eventually([] { return hooks.seen().size() >= 4; }));
    using call = std::pair<std::string, ULONG>;
    // One pass: the requests as a batch, then the bios, then the queues remembered meanwhile.
    EXPECT_EQ(hooks.seen(), (std::vector<call>{{"run", 2}, {"bio", 2}, {"bio", 2}, {"rearm", 2}}));
    EXPECT_EQ(hooks.completions.load(), 3);
    EXPECT_EQ(hooks.bio_statuses, (std::vector<int>{-5, 0}));
}

TEST_F(CpuWqTest, AProcessorRemembersAtMost64QueuesToRearmEachOnce) {
    start();
    // Hold processor 3's thread inside a pass: it re-arms only after the pass.
    hooks.hold = true;
    request r{};
    queue_completion(3, &r);
    ASSERT_TRUE(eventually([] { return hooks.holding.load(); }));
    cpu_wq* record = cpu_wq_lock_for_cpu(3);
    ASSERT_NE(record, nullptr);
    cpu_wq_unlock(record);
    alignas(16) static char queue_records[CPU_WQ_MAX_REARM_QUEUES + 1][16];
    std::vector<completion_queue*> queues;
    for (auto& q : queue_records) {
        queues.push_back((completion_queue*)q);
    }
    for (ULONG i = 0; i < CPU_WQ_MAX_REARM_QUEUES; i++) {
        EXPECT_TRUE(cpu_wq_remember_queue(record, queues[i])) << i;
    }
    EXPECT_TRUE(cpu_wq_remember_queue(record, queues[5])) << "remembered already";
    EXPECT_FALSE(cpu_wq_remember_queue(record, queues[CPU_WQ_MAX_REARM_QUEUES])) << "the 65th";
    hooks.hold = false;
    ASSERT_TRUE(eventually([] {
        std::lock_guard<std::mutex> g(hooks.mutex);
        return hooks.rearmed.size() >= CPU_WQ_MAX_REARM_QUEUES;
    }));
    std::lock_guard<std::mutex> g(hooks.mutex);
    EXPECT_EQ(hooks.rearmed, std::vector<completion_queue*>(queues.begin(), queues.end() - 1));
}

TEST_F(CpuWqTest, WorkForAProcessorWithoutAThreadGoesToTheFirstRunningOne) {
    start();
    struct {
        ULONG cpu;
        ULONG record;
    } const cases[] = {{2, 2}, {3, 3}, {5, 0} /* offline */, {1000, 0} /* no such processor */};
    for (const auto& c : cases) {
        cpu_wq* record = cpu_wq_lock_for_cpu(c.cpu);
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(cpu_wq_cpu(record), c.record) << c.cpu;
        cpu_wq_unlock(record);
    }
    cpu_wq_exit();
    EXPECT_EQ(cpu_wq_lock_for_cpu(0), nullptr);
}

TEST_F(CpuWqTest, DumpListsTheQueuedRequests) {
    start();
    // Hold processor 1's thread inside a pass so that later requests stay queued.
    hooks.hold = true;
    request first{};
    queue_completion(1, &first);
    ASSERT_TRUE(eventually([] { return hooks.holding.load(); }));
    request queued[2]{};
    queue_completion(1, &queued[0]);
    queue_completion(1, &queued[1]);
    clear_debug_lines();
    cpu_wq_dump(nullptr, nullptr, "dov0", true);
    char line[128];
    std::snprintf(line, sizeof line, "pavinf  CPU1 online state 2: %016llX %016llX\n",
                  (unsigned long long)(uintptr_t)&queued[0], (unsigned long long)(uintptr_t)&queued[1]);
    ASSERT_GE(log().size(), 3u);
    EXPECT_EQ(log()[2], line);

    // Into a dump buffer: the list is cut at 256 characters (15 requests of 17).
    char buffer[4096];
    pipeline_device card{};
    csr_dump_printer printer{&card, buffer, 0, sizeof buffer};
    request more[20]{};
    for (request& r : more) {
        queue_completion(1, &r);
    }
    cpu_wq_dump(csr_dump_line, &printer, "dov0", true);
    std::string dump(buffer, printer.position);
    size_t at = dump.find("pavinf  CPU1 online state 2:");
    ASSERT_NE(at, std::string::npos);
    std::string cpu1 = dump.substr(at, dump.find('\n', at) - at);
    EXPECT_EQ(cpu1.size(), std::string("pavinf  CPU1 online state 2:").size() + 15 * 17);
    hooks.hold = false;
    ASSERT_TRUE(eventually([] { return hooks.completions == 23; }));
}

TEST_F(CpuWqTest, KickedThreadsPassAndLookAtTheCards) {
    pav_driver_list_init();
    pipeline_device card{};
    std::snprintf(card.name, sizeof card.name, "dov0");
    card.completion_queue_count = 6;  // two designated queues and one for each active processor
    alignas(16) static char queue_records[6][16];
    for (int i = 0; i < 6; i++) {
        card.completion_queues[i] = (completion_queue*)queue_records[i];
    }
    ASSERT_EQ(cpu_wq_attach_card(&card), 0);
    pav_driver_list_add(&card);
    start();
    {
        std::lock_guard<std::mutex> g(hooks.mutex);
        hooks.calls.clear();
    }
    cpu_wq_kick_all();
    // Each thread has run an idle pass, in which it lets the cards trim their cached requests.
    std::vector<bool> trimmed(4, false);
    for (const auto& c : hooks.seen()) {
        if (c.first.rfind("trim ", 0) == 0) {
            ULONG cpu = (ULONG)std::stoul(c.first.substr(5));
            EXPECT_EQ(cpu, c.second);
            trimmed[cpu] = true;
        }
    }
    EXPECT_EQ(trimmed, std::vector<bool>(4, true));

    // At the end each thread drains its own queue of every card once, when it gets the card list
    // (it only tries: threads that end together may miss it).
    {
        std::lock_guard<std::mutex> g(hooks.mutex);
        hooks.calls.clear();
    }
    cpu_wq_exit();
    ASSERT_TRUE(wait_for_system_threads(10000));
    int drains = 0;
    for (const auto& c : hooks.seen()) {
        if (c.first.rfind("drain", 0) == 0) {
            EXPECT_EQ(c.first, "drain");
            drains++;
        }
    }
    EXPECT_GE(drains, 1);
    EXPECT_LE(drains, 4);
    pav_driver_list_remove(&card);
    cpu_wq_detach_card(&card);
}

TEST_F(CpuWqTest, KickingAtDispatchLevelIsRefused) {
    start();
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    expect_bug_check(0xA0000000u, [] { cpu_wq_kick_all(); });
}

TEST_F(CpuWqTest, AThreadThatDoesNotStopIsLeftItsRecordAndUnloadGoesOn) {
    start();
    set_clock_rate(100);  // 10 s of waiting in 100 ms: the other threads stop well within it
    hooks.hold = true;
    request r{};
    queue_completion(1, &r);
    ASSERT_TRUE(eventually([] { return hooks.holding.load(); }));
    clear_debug_lines();
    cpu_wq_exit();
    EXPECT_EQ(log(), std::vector<std::string>{stop_timeout});
    EXPECT_TRUE(eventually([] { return live_system_threads() == 1; }));
    // The record is still there for its thread, which ends its pass, sees the stop and frees it.
    EXPECT_EQ(pool_outstanding("sal4").allocations, 1u);
    hooks.hold = false;
    ASSERT_TRUE(wait_for_system_threads(10000));
    EXPECT_EQ(hooks.completions.load(), 1);
    EXPECT_EQ(pool_outstanding("sal4"), (pool_usage{}));
    clear_debug_lines();
}

TEST_F(CpuWqTest, ThreadsThatCannotStartLeaveTheirProcessorsWithoutWork) {
    fail_always(fault_site::system_thread);
    ASSERT_EQ(cpu_wq_init(&test_ops), 0);
    EXPECT_TRUE(wait_for_work_items(10000));
    EXPECT_EQ(live_system_threads(), 0u);
    int refused = 0;
    for (const std::string& line : log()) {
        refused += line == "paverr Corvane driver: 06166 Failed to create new thread.\n" ? 1 : 0;
    }
    EXPECT_GE(refused, 4);
    for (ULONG cpu = 0; cpu < 8; cpu++) {
        EXPECT_EQ(cpu_wq_state(cpu), CPU_WQ_NOT_ACTIVE) << cpu;
    }
    EXPECT_EQ(cpu_wq_lock_for_cpu(0), nullptr);
    cpu_wq_kick_all();  // nothing to wait for
    clear_faults();

    // One refusal: that processor's thread is started again through a work item when the
    // processors that exist are reported.
    cpu_wq_exit();
    ASSERT_EQ(kpav_numa_init(), 0);
    fail_nth(fault_site::system_thread, 2);
    start();
    EXPECT_EQ(live_system_threads(), 4u);
}

TEST_F(CpuWqTest, InitFailsCleanlyWhereverMemoryRunsOut) {
    for (uint64_t n = 1;; n++) {
        SCOPED_TRACE(n);
        auto before = pool_outstanding();
        uint64_t attempts_before = attempts(fault_site::pool);
        fail_nth(fault_site::pool, n);
        int result = cpu_wq_init(&test_ops);
        bool injected = attempts(fault_site::pool) - attempts_before >= n;
        clear_faults();
        EXPECT_TRUE(wait_for_work_items(10000));
        if (result == 0) {
            cpu_wq_exit();
            ASSERT_EQ(kpav_numa_init(), 0);
            EXPECT_TRUE(wait_for_system_threads(10000));
            if (!injected) {
                break;
            }
            continue;
        }
        EXPECT_EQ(result, -12);
        EXPECT_TRUE(wait_for_system_threads(10000));
        EXPECT_EQ(pool_outstanding(), before);
    }
}
