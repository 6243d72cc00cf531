// EB notes re-recorded before an LEB is erased.
#include "driver/log/apt.h"
#include "driver/log/datalog.h"
#include "driver/log/datalog_internal.h"
#include "driver/pipeline/ebinfo.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"

using namespace datalog_detail;

namespace {

// The LEB a log address lies in; PAV_NO_LEB for none.
USHORT leb_of_address(const pav_log* log, ULONG64 address) {
    if (address == ~0ull || address < PAV_LOG_FIRST_ADDR || log->leb_span == 0) {
        return PAV_NO_LEB;
    }
    ULONG64 leb = (address - PAV_LOG_FIRST_ADDR) / log->leb_span;
    return leb < log->eb_count ? (USHORT)leb : PAV_NO_LEB;
}

bool needs_note(pav_log* log, USHORT eb, USHORT erasing) {
    ULONG64 address = (ULONG64)ReadAcquire64((volatile LONG64*)&log->counters[eb].note_address);
    if (address != ~0ull) {
        return leb_of_address(log, address) == erasing;
    }
    ULONG state = leb_state(log, eb);
    if (state == PAV_LEB_FUNC_CLOSED || state == PAV_LEB_FUNC_RETIRED) {
        return false;
    }
    const eb_info* info = ebinfo_get(log->channel, eb);
    return info == nullptr || info->mel_mark == EB_MEL_NONE;
}

}  // namespace

int datalog_renote_leb(pav_log* log, USHORT leb, eb_note_tracker* waiter) {
    PAGED_CODE();
    if (log->counters == nullptr || log->append_point == nullptr) {
        return -KPAV_EINVAL;
    }
    int result = 0;
    for (ULONG eb = log->first_leb; eb < (ULONG)log->first_leb + log->leb_count && eb < log->eb_count; eb++) {
        if (!needs_note(log, (USHORT)eb, leb)) {
            continue;
        }
        int rc = eb_note_write_async(log->append_point, (USHORT)eb, 0, waiter);
        if (rc != 0 && result == 0) {
            result = rc;
        }
    }
    int waited = eb_note_tracker_wait(waiter);
    return result != 0 ? result : waited;
}
