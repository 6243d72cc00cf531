#include "driver/platform/steps.h"

#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"

int kpav_steps_run(kpav_step_run* run, const kpav_step* steps, ULONG count, void* context, const char* owner) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    run->steps = steps;
    run->count = count;
    run->done = 0;
    for (ULONG i = 0; i < count; i++) {
        int rc = steps[i].action(context);
        if (rc != 0) {
            if (rc > 0) {
                rc = -KPAV_EIO;
            }
            if (owner != nullptr && (steps[i].flags & KPAV_STEP_REPORTS_FAILURE) == 0) {
                kpav_syslog(KPAV_LEVEL_ERROR, owner, KPAV_NO_MESSAGE_ID, "%s failed (%d)\n", steps[i].name, rc);
            }
            kpav_steps_undo(run, context);
            return rc;
        }
        run->done = i + 1;
    }
    return 0;
}

void kpav_steps_undo(kpav_step_run* run, void* context) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    while (run->done > 0) {
        run->done--;
        const kpav_step& step = run->steps[run->done];
        if (step.undo != nullptr) {
            step.undo(context);
        }
    }
}
