// Step tables: a failure at any step undoes exactly the steps before it, once, in reverse, and
// names the step; a full run is undone once at stop.

#include <string>
#include <vector>

#include "driver/platform/memory.h"
#include "driver/platform/steps.h"
#include "tests/support/kernel_fixture.h"

namespace {

// Three steps that each allocate a block and record what ran; `fail_at` makes that step fail.
struct trail {
    std::vector<std::string> events;
    void* blocks[3] = {};
    int fail_at = -1;
    int fail_with = -12;
};

template <int N>
int take(void* context) {
    auto* t = static_cast<trail*>(context);
    t->events.push_back("do " + std::to_string(N));
    if (t->fail_at == N) {
        return t->fail_with;
    }
    t->blocks[N] = kpav_alloc(64, KPAV_TAG_MAL);
    return t->blocks[N] != nullptr ? 0 : -12;
}

template <int N>
void give(void* context) {
    auto* t = static_cast<trail*>(context);
    t->events.push_back("undo " + std::to_string(N));
    kpav_free(t->blocks[N], KPAV_TAG_MAL);
    t->blocks[N] = nullptr;
}

const kpav_step three_steps[] = {
    {"first", take<0>, give<0>},
    {"second", take<1>, give<1>},
    {"third", take<2>, give<2>},
};

}  // namespace

class StepsTest : public KernelTest {};

TEST_F(StepsTest, AFailureUndoesExactlyTheStepsBeforeItInReverse) {
    const std::vector<std::vector<std::string>> expected = {
        {"do 0"},
        {"do 0", "do 1", "undo 0"},
        {"do 0", "do 1", "do 2", "undo 1", "undo 0"},
    };
    const char* names[] = {"first", "second", "third"};
    for (int fail_at = 0; fail_at < 3; fail_at++) {
        SCOPED_TRACE(fail_at);
        sim::kernel::clear_debug_lines();
        trail t;
        t.fail_at = fail_at;
        kpav_step_run run;
        EXPECT_EQ(kpav_steps_run(&run, three_steps, 3, &t, "dov0"), -12);
        EXPECT_EQ(t.events, expected[fail_at]);
        EXPECT_EQ(run.done, 0u);
        EXPECT_TRUE(logged(std::string("paverr dov0: ") + names[fail_at] + " failed (-12)\n"));

        // Undoing after a failed run does nothing more.
        kpav_steps_undo(&run, &t);
        EXPECT_EQ(t.events, expected[fail_at]);
    }
}

TEST_F(StepsTest, AFullRunIsUndoneOnceAtStop) {
    trail t;
    kpav_step_run run;
    ASSERT_EQ(kpav_steps_run(&run, three_steps, 3, &t, "dov0"), 0);
    EXPECT_EQ(run.done, 3u);
    kpav_steps_undo(&run, &t);
    kpav_steps_undo(&run, &t);
    EXPECT_EQ(t.events, (std::vector<std::string>{"do 0", "do 1", "do 2", "undo 2", "undo 1", "undo 0"}));
}

TEST_F(StepsTest, APositiveResultIsAFailure) {
    trail t;
    t.fail_at = 1;
    t.fail_with = 1;
    kpav_step_run run;
    EXPECT_EQ(kpav_steps_run(&run, three_steps, 3, &t, "dov0"), -5);
    EXPECT_EQ(t.events, (std::vector<std::string>{"do 0", "do 1", "undo 0"}));
}

TEST_F(StepsTest, StepsWithoutUndoAreSkippedOnTheWayBack) {
    static const kpav_step steps[] = {
        {"first", take<0>, give<0>},
        {"note", [](void*) { return 0; }, nullptr},
        {"third", take<2>, give<2>},
    };
    trail t;
    t.fail_at = 2;
    kpav_step_run run;
    EXPECT_EQ(kpav_steps_run(&run, steps, 3, &t, "dov0"), -12);
    EXPECT_EQ(t.events, (std::vector<std::string>{"do 0", "do 2", "undo 0"}));
}
