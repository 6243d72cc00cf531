// The store above the log: its defaults and the hand-over.
#include "driver/log/datalog.h"

#include "driver/pipeline/request.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"

namespace {

int no_map_to_record(void* store, const pav_addr_block* placement, ULONG64 first_key, ULONG64 count) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(store);
    UNREFERENCED_PARAMETER(placement);
    UNREFERENCED_PARAMETER(first_key);
    UNREFERENCED_PARAMETER(count);
    return -KPAV_ENODEV;
}

int count_valid(void* store, pav_log* log, const pav_addr_block* placement) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(store);
    for (ULONG i = 0; i < placement->count && i < 3; i++) {
        USHORT leb = placement->vectors[i].eb;
        if (log->counters != nullptr && leb < log->eb_count) {
            InterlockedExchangeAdd(&log->counters[leb].valid, (LONG)placement->packet_counts[i]);
        }
    }
    return 0;
}

}  // namespace

const datalog_store_ops datalog_store_defaults = {no_map_to_record, count_valid};

void datalog_set_store(pav_log* log, const datalog_store_ops* ops, void* store) {
    PAGED_CODE();
    log->store_ops = ops != nullptr ? ops : &datalog_store_defaults;
    log->store = ops != nullptr ? store : nullptr;
}
