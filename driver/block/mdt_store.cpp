#include "driver/block/mdt_store.h"

#include "driver/block/mdt.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"

namespace {

int record_moved(void* store, const pav_addr_block* placement, ULONG64 first_key, ULONG64 count) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    lrbtree_range range = {first_key, count};
    return mdt_record_sectors((mdt_context*)store, MDT_DATA_MOVE, placement, nullptr, &range);
}

int mark_valid(void* store, pav_log* log, const pav_addr_block* placement) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(log);
    mdt_mark_valid((mdt_context*)store, placement);
    return 0;
}

}  // namespace

const datalog_store_ops mdt_store_ops = {record_moved, mark_valid};
