// What the data log's files share: the LEB records' state changes, the owner's write-mode slot
// and the log of a channel. Not for use outside the log's files.
#pragma once

#include "driver/log/datalog.h"
#include "driver/platform/sync.h"

namespace datalog_detail {

// A cached per-LEB packet count that is not computed yet.
constexpr ULONG NOT_CACHED = 0xFFFFFFFFu;
// The write-mode reason of reduced writes for lack of space.
constexpr int WRITE_REASON_SPACE = 5;

inline ULONG64 div_up(ULONG64 a, ULONG64 b) {
    return b == 0 ? 0 : (a + b - 1) / b;
}

// The log above a channel (its client).
inline pav_log* log_of(nand_dev* channel) {
    return channel != nullptr ? (pav_log*)channel->client : nullptr;
}

inline bool in_channel_range(const pav_log* log, ULONG leb) {
    return leb >= log->first_leb && leb < (ULONG)log->first_leb + log->leb_count;
}

inline ULONG leb_state(pav_log* log, USHORT leb) {
    return log->lebs[leb].func.value;
}

// A change of an LEB's function state when it is one of `from` (two values): true when it acted.
inline bool leb_transition(pav_log* log, USHORT leb, ULONG to, ULONG from_a, ULONG from_b) {
    return kpav_state_change(&log->lebs[leb].func, to, 2, from_a, from_b) != 0;
}

// The owner's write-mode reason slot: -1 when there is none.
int set_write_reason(pav_log* log, int level, int reason);

}  // namespace datalog_detail
