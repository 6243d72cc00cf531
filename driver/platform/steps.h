// Start-up and tear-down as a table of named steps. Each step has an action and the undo of
// that action; a run performs the actions in order and, when one fails, undoes the steps that
// had succeeded, in reverse, and names the failed step in one line. A step that failed or never
// ran is never undone. The same record undoes the whole table at stop, once.
//
//   static const kpav_step card_start_steps[] = {
//       {"map registers", map_registers, unmap_registers},
//       {"start channel", start_channel, stop_channel},
//   };
//   int rc = kpav_steps_run(&card->start, card_start_steps, ARRAYSIZE(card_start_steps), card, card->name);
//   ...
//   kpav_steps_undo(&card->start, card);
#pragma once

#include "driver/platform/os.h"

struct kpav_step {
    const char* name;
    int (*action)(void* context);  // 0 or a negative errno
    void (*undo)(void* context);   // NULL when the action leaves nothing to undo
    ULONG flags;                   // KPAV_STEP_*
};

// The step's action names its own failure (it runs a table of steps of its own, or logs the
// failure itself): the run logs no second line for it.
constexpr ULONG KPAV_STEP_REPORTS_FAILURE = 0x1;

// How far a table got: `done` steps from the start succeeded and are not yet undone.
struct kpav_step_run {
    const kpav_step* steps;
    ULONG count;
    ULONG done;
};

// Runs every step of `steps` in order on `context`. On success returns 0 with all steps done.
// When a step fails, logs "<owner>: <step name> failed (<error>)" (nothing when owner is NULL or
// the step reports its own failure), undoes the steps before it in reverse and returns the
// step's error (an action that returns a positive value is taken as -EIO (5): a start sequence
// never reports success for a failed step). Below DISPATCH_LEVEL.
int kpav_steps_run(kpav_step_run* run, const kpav_step* steps, ULONG count, void* context, const char* owner);

// Undoes, in reverse, every step of `run` that is done; a second call does nothing. Below
// DISPATCH_LEVEL.
void kpav_steps_undo(kpav_step_run* run, void* context);
