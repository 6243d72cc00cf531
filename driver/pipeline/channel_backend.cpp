// What a channel without a card does: the plain rules of the back end (channel_backend.h).
#include "driver/pipeline/channel_backend.h"

#include "driver/pipeline/cq.h"
#include "driver/pipeline/flush.h"
#include "driver/platform/kassert.h"

ULONG backend_card_gone(nand_dev*) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return 0xFFFFFFFFu;
}

void backend_nothing(nand_dev*) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
}

void backend_no_derating(nand_dev*, ULONG) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
}

int backend_nothing_drained(nand_dev*) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return CQ_DRAINED_NOTHING;
}

bool backend_none_held(nand_dev*) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return false;
}

bool backend_rings_empty(nand_dev*) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return true;
}

void backend_no_record_step(nand_dev*, flush_record*) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
}

void backend_issue_row_as_is(nand_dev* channel, flush_record*) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    flush_issue(channel);
}

void backend_no_transfer(nand_dev*, const ioc_transfer*) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
}
