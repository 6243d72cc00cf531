// The data log's creation and teardown (a table of steps), its geometry, its internal-error report
// and the client operations through which the channel calls up into it.
#include "driver/log/datalog.h"

#include "driver/log/apt.h"
#include "driver/log/atomic_note.h"
#include "driver/log/datalog_internal.h"
#include "driver/log/eb_header.h"
#include "driver/log/mblk.h"
#include "driver/log/mgmt.h"
#include "driver/log/range_lock.h"
#include "driver/pipeline/ebinfo.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"

using namespace datalog_detail;

int datalog_detail::set_write_reason(pav_log* log, int level, int reason) {
    if (log == nullptr || log->owner_ops == nullptr || log->owner_ops->set_write_reason == nullptr) {
        return -1;
    }
    return log->owner_ops->set_write_reason(log->owner, level, reason);
}

namespace {

// Client operations.
void eb_event_a(nand_dev* channel, USHORT eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    // Until the groomer runs, the mark stays in the block's flags for it to find.
    eb_info* info = ebinfo_get(channel, eb);
    if (info != nullptr) {
        InterlockedOr(&info->flags, EB_FLAG_GROOM_A);
    }
}

void eb_event_b(nand_dev* channel, USHORT eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_info* info = ebinfo_get(channel, eb);
    if (info != nullptr) {
        InterlockedOr(&info->flags, EB_FLAG_GROOM_B);
    }
}

int client_set_write_reason(nand_dev* channel, int level, int reason) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return set_write_reason(log_of(channel), level, reason);
}

int client_hw_error(nand_dev* channel, int a, int b, int c) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(b);
    UNREFERENCED_PARAMETER(c);
    pav_log* log = log_of(channel);
    if (log == nullptr || a != 4) {
        return 0;  // only a hardware failure (device mode 4) fails the log
    }
    pav_log_internal_error(log, PAV_LOG_ERROR_HARDWARE, 0, 0);
    if (log->owner_ops != nullptr && log->owner_ops->on_hardware_failure != nullptr) {
        log->owner_ops->on_hardware_failure(log->owner);
    }
    return 0;
}

void client_stop(nand_dev* channel) {
    pav_log* log = log_of(channel);
    if (log != nullptr && log->owner_ops != nullptr && log->owner_ops->on_stop != nullptr) {
        log->owner_ops->on_stop(log->owner);
    }
}

void client_flagged_stop(nand_dev* channel) {
    pav_log* log = log_of(channel);
    if (log != nullptr && log->owner_ops != nullptr && log->owner_ops->on_flagged_stop != nullptr) {
        log->owner_ops->on_flagged_stop(log->owner);
    }
}

void client_eb_erased(nand_dev* channel, USHORT eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    pav_log* log = log_of(channel);
    // Preparation recomputes the banks: the LEB's capacity is taken again at its next use.
    if (log != nullptr && log->leb_packets != nullptr && eb < log->eb_count) {
        log->leb_packets[eb] = NOT_CACHED;
    }
}

// Creation steps.
int step_range(void* context) {
    pav_log* log = (pav_log*)context;
    eb_table* table = ebinfo_table(log->channel);
    if (table == nullptr) {
        return -KPAV_EINVAL;
    }
    ULONG first = EB_NONE;
    ULONG last = EB_NONE;
    for (ULONG eb = 0; eb < table->count; eb++) {
        if (table->info[eb].mel_mark == EB_MEL_NONE) {
            if (first == EB_NONE) {
                first = eb;
            }
            last = eb;
        }
    }
    log->first_leb = (USHORT)first;
    log->leb_count = first == EB_NONE ? 0 : (USHORT)(last - first + 1);
    return 0;
}

int step_client(void* context) {
    pav_log* log = (pav_log*)context;
    nand_dev_set_client(log->channel, &datalog_client_ops, log);
    return 0;
}

void undo_client(void* context) {
    pav_log* log = (pav_log*)context;
    nand_dev_set_client(log->channel, nullptr, nullptr);
}

int step_geometry(void* context) {
    pav_log* log = (pav_log*)context;
    eb_table* table = ebinfo_table(log->channel);
    USHORT sector;
    int rc = log_geometry_compute(&table->geometry, log->format.sector_size, &log->geometry, &sector);
    if (rc != 0) {
        return rc;
    }
    log->sector_size = sector;
    log->scale = (ULONG)((ULONG64)log->format.sector_size * 2048 / sector);
    table->layout.data_start = log->geometry.head_reserve;
    table->layout.end_reserve = log->geometry.tail_reserve;
    table->layout.sector_size = sector;
    table->layout.stride = log->geometry.packet_size;
    return 0;
}

int step_append_point(void* context) {
    pav_log* log = (pav_log*)context;
    eb_table* table = ebinfo_table(log->channel);
    log->append_point = apt_context_create(log->channel, "hot", &table->layout, 4);
    return log->append_point != nullptr ? 0 : -KPAV_ENOMEM;
}

void undo_append_point(void* context) {
    pav_log* log = (pav_log*)context;
    apt_context_free(log->append_point);
    log->append_point = nullptr;
}

int step_lebs(void* context) {
    pav_log* log = (pav_log*)context;
    eb_table* table = ebinfo_table(log->channel);
    const log_geometry& g = log->geometry;
    ULONG64 room = table->geometry.eb_bytes > (ULONG64)g.tail_reserve + g.head_reserve
                       ? table->geometry.eb_bytes - g.tail_reserve - g.head_reserve
                       : 0;
    log->packets_per_leb = (ULONG)(room / g.packet_size);
    log->leb_span = log->packets_per_leb + 1;
    log->last_addr = PAV_LOG_FIRST_ADDR + (ULONG64)log->leb_span * (log->first_leb + (ULONG)log->leb_count - 1) +
                     log->packets_per_leb - 1;
    log->counters = (leb_counters*)kpav_zalloc((size_t)log->eb_count * sizeof(leb_counters), KPAV_TAG_VML);
    log->leb_packets = (ULONG*)kpav_alloc((size_t)log->eb_count * sizeof(ULONG), KPAV_TAG_VML);
    if (log->counters == nullptr || log->leb_packets == nullptr) {
        return -KPAV_ENOMEM;
    }
    for (ULONG leb = 0; leb < log->eb_count; leb++) {
        log->counters[leb].note_address = ~0ull;
        log->leb_packets[leb] = NOT_CACHED;
    }
    kpav_state_change(&log->state, PAV_LOG_CREATED, 0);
    log_thresholds_compute(log);
    log->head_leb = PAV_NO_LEB;
    log->append_leb = PAV_NO_LEB;
    kpav_print(KPAV_CLASS_NORMAL, "%s: Setting channel range %s to [%u .. %u]\n", datalog_device_name(log), log->name,
               (ULONG)log->first_leb, (ULONG)log->first_leb + log->leb_count - 1);
    return 0;
}

void undo_lebs(void* context) {
    pav_log* log = (pav_log*)context;
    kpav_free(log->counters, KPAV_TAG_VML);
    kpav_free(log->leb_packets, KPAV_TAG_VML);
    log->counters = nullptr;
    log->leb_packets = nullptr;
}

int step_ranges(void* context) {
    pav_log* log = (pav_log*)context;
    return datalog_range_table_init(&log->ranges, log->format.sparse ? log->format.logical_capacity : log->format.capacity);
}

void undo_ranges(void* context) {
    datalog_range_table_free(&((pav_log*)context)->ranges);
}

int step_metadata(void* context) {
    pav_log* log = (pav_log*)context;
    pav_page_pool_init(&log->md_pages, datalog_device_name(log), log->md_footprint, log->preallocate != 0);
    return mblk_table_init(log, log->preallocate != 0, true);
}

void undo_metadata(void* context) {
    mblk_table_exit((pav_log*)context);
}

const kpav_step create_steps[] = {
    {"channel range", step_range, nullptr},
    {"client", step_client, undo_client},
    {"geometry", step_geometry, nullptr},
    {"append point", step_append_point, undo_append_point},
    {"LEB records", step_lebs, undo_lebs},
    {"range locks", step_ranges, undo_ranges},
    {"metadata blocks", step_metadata, undo_metadata},
};

}  // namespace

const char* pav_leb_func_name(ULONG state) {
    static const char* const names[] = {"INVALID", "PAV_LEB_FUNC_UNKNOWN", "PAV_LEB_FUNC_ERASED",
                                        "PAV_LEB_FUNC_WRITING", "PAV_LEB_FUNC_CLOSED", "PAV_LEB_FUNC_CORRUPT",
                                        "PAV_LEB_FUNC_RETIRED"};
    return state < ARRAYSIZE(names) ? names[state] : "INVALID";
}

// The scan's progress (its totals arrive with the rescan), the kick (it wakes the groomer), the
// scheduler's notices, the groomer's urgency and its overlap questions stay the defaults until
// the rescan and the groomer exist.
constexpr nand_dev_client_ops datalog_client_ops = [] {
    nand_dev_client_ops ops = nand_dev_client_defaults;
    ops.new_append_eb = datalog_new_append_eb;
    ops.eb_event_a = eb_event_a;
    ops.eb_event_b = eb_event_b;
    ops.set_write_reason = client_set_write_reason;
    ops.hw_error = client_hw_error;
    ops.stop = client_stop;
    ops.flagged_stop = client_flagged_stop;
    ops.eb_erased = client_eb_erased;
    return ops;
}();

void datalog_written_leb_notice(void* log, USHORT leb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (log != nullptr && leb != PAV_NO_LEB) {
        pav_log_set_written_leb((pav_log*)log, leb);
    }
}

ULONG log_head_reserve(ULONG page_size, ULONG pages_per_row) {
    if (page_size == 0) {
        return 0;
    }
    // The opener needs MGMT_REGION_BYTES: whole pages that hold it.
    ULONG64 opener = div_up(MGMT_REGION_BYTES, page_size) * page_size;
    ULONG64 row = (ULONG64)(pages_per_row + 1) * page_size;
    ULONG64 h = opener > row ? opener : row;
    ULONG64 unit = 2ull * page_size * (pages_per_row != 0 ? pages_per_row : 1);
    return (ULONG)(div_up(h, unit) * unit);
}

ULONG log_tail_reserve(ULONG packet_size) {
    return packet_size == 0 ? 0 : packet_size * ((packet_size + LOG_INDEX_RECORD_BYTES - 1) / packet_size);
}

int log_geometry_compute(const store_geometry* card, ULONG sector_size, log_geometry* out, USHORT* out_sector) {
    ULONG sector = sector_size != 0 ? sector_size : card->default_sector_size;
    ULONG packet = sector + card->packet_overhead;
    if (sector == 0 || packet > 0xFFFF) {
        return -KPAV_EINVAL;
    }
    out->packet_size = (USHORT)packet;
    out->head_reserve = log_head_reserve(card->page_size, card->pages_per_row);
    out->tail_reserve = log_tail_reserve(packet);
    *out_sector = (USHORT)sector;
    return 0;
}

int pav_log_create(pav_log* log, nand_dev* channel, leb_record* lebs, const log_format_params* format, void* owner) {
    PAGED_CODE();
    eb_table* table = ebinfo_table(channel);
    if (table == nullptr || lebs == nullptr || format == nullptr) {
        return -KPAV_EINVAL;
    }
    RtlZeroMemory(log, sizeof(*log));
    log->channel = channel;
    log->owner = owner;
    RtlCopyMemory(log->name, "data", 5);
    log->format = *format;
    log->lebs = lebs;
    log->eb_count = table->count;
    log->preallocate = table->geometry.preallocate;
    log->md_footprint = &channel->memory;
    log->opener_slot = PAV_NO_LEB;
    log->store_ops = &datalog_store_defaults;
    kpav_state_init(&log->state, PAV_LOG_CREATED);
    kpav_spinlock_init(&log->lock);
    kpav_spinlock_init(&log->written_lock);
    InitializeListHead(&log->open_lebs);
    int rc = kpav_steps_run(&log->start, create_steps, ARRAYSIZE(create_steps), log, datalog_device_name(log));
    if (rc != 0) {
        log->channel = nullptr;
    }
    return rc;
}

void pav_log_destroy(pav_log* log) {
    PAGED_CODE();
    if (log->channel == nullptr) {
        return;
    }
    kpav_steps_undo(&log->start, log);
    atomic_discard_note_free(log);
    kpav_state_change(&log->state, PAV_LOG_CREATED, 0);
    log->channel = nullptr;
}

void pav_log_internal_error(pav_log* log, int code, ULONG64 a, ULONG64 b) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(a);
    UNREFERENCED_PARAMETER(b);
    if (log == nullptr || log->channel == nullptr) {
        return;
    }
    if (kpav_state_change(&log->state, PAV_LOG_UNRECOVERABLE_ERROR, 0) == 0) {
        return;  // reported before
    }
    if (log->owner_ops != nullptr && log->owner_ops->on_device_failure != nullptr) {
        log->owner_ops->on_device_failure(log->owner, code);
    } else {
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 16384, "Internal software error (%s)\n", log->name);
    }
}
