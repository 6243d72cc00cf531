// The plain rules of the operations the channel calls in its card's bring-up (channel_owner.h).
#include "driver/pipeline/channel_owner.h"

#include "driver/platform/kassert.h"

int owner_request_finished(nand_dev*, velkor_request*) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return 1;
}

int owner_no_read_count_policy(nand_dev*, USHORT, ULONG64) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return 0;
}

ULONG owner_no_read_level(nand_dev*, USHORT, ULONG) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return 0xFFFFFFFFu;
}

void owner_no_eb_notice(nand_dev*, USHORT) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
}

void owner_drop_env_word(nand_dev*, ULONG, int) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
}

void owner_no_mel_alert(nand_dev*, USHORT, int) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
}

// Stand-in for steps that run at PASSIVE_LEVEL and for the watchdog's check (worker thread).
void owner_no_step(nand_dev*) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
}

int owner_step_done(nand_dev*) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return 0;
}
