// The plain rules of the channel's client operations (channel_client.h).
#include "driver/pipeline/channel_client.h"

#include "driver/pipeline/ebinfo.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"

int client_no_new_append_eb(nand_dev*, USHORT*, USHORT, void*, void*) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return -KPAV_ENOTTY;
}

void client_flag_eb_sampled(nand_dev* channel, USHORT eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ebinfo_set_flags(channel, eb, EB_FLAG_GROOM_A);
}

void client_flag_eb_refresh(nand_dev* channel, USHORT eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ebinfo_set_flags(channel, eb, EB_FLAG_GROOM_B);
}

int client_no_write_reason(nand_dev*, int, int) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return -1;
}

int client_ignore_hw_error(nand_dev*, int, int, int) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return 0;
}

int client_no_progress(nand_dev*, int* out_percent) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    *out_percent = -1;
    return 0;
}

void client_no_notice(nand_dev*) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
}

void client_no_pick_notice(nand_dev*, velkor_request*, int) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
}

int client_no_urgency(nand_dev*) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return 0;
}

void client_no_state_notice(nand_dev*, ULONG) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
}

bool client_no_groomed_eb(nand_dev*, ULONG64, ULONG64) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return false;
}

bool client_no_groomer_overlap(nand_dev*, velkor_request*, ULONG64, ULONG64) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return false;
}

void client_no_eb_notice(nand_dev*, USHORT) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
}

bool client_not_failed(nand_dev*) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return false;
}
