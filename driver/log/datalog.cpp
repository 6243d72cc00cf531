#include "driver/log/datalog.h"

#include "driver/log/apt.h"
#include "driver/log/atomic_note.h"
#include "driver/log/eb_header.h"
#include "driver/pipeline/ebinfo.h"
#include "driver/log/mblk.h"
#include "driver/log/mgmt.h"
#include "driver/log/range_lock.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"

namespace {

constexpr ULONG NOT_CACHED = 0xFFFFFFFFu;
constexpr int WRITE_REASON_SPACE = 5;

ULONG64 div_up(ULONG64 a, ULONG64 b) {
    return b == 0 ? 0 : (a + b - 1) / b;
}

// The LEB and packet offset an address names (the address is at least PAV_LOG_FIRST_ADDR and
// the log has a stride). Addresses of the first 2^32 packets take the cheaper 32-bit division.
inline void split_address(const pav_log* log, ULONG64 address, ULONG64* leb, ULONG64* offset) {
    ULONG64 a = address - PAV_LOG_FIRST_ADDR;
    if (a <= 0xFFFFFFFFull) {
        *leb = (ULONG)a / log->leb_span;
        *offset = (ULONG)a % log->leb_span;
    } else {
        *leb = a / log->leb_span;
        *offset = a % log->leb_span;
    }
}

void note_open_free(pav_log* log, USHORT leb, ULONG offset);

pav_log* log_of(nand_dev* channel) {
    return channel != nullptr ? (pav_log*)channel->client : nullptr;
}

bool in_channel_range(const pav_log* log, ULONG leb) {
    return leb >= log->first_leb && leb < (ULONG)log->first_leb + log->leb_count;
}

ULONG leb_state(pav_log* log, USHORT leb) {
    return log->lebs[leb].func.value;
}

// A change of an LEB's function state when it is one of `from` (two values): true when it acted.
bool leb_transition(pav_log* log, USHORT leb, ULONG to, ULONG from_a, ULONG from_b) {
    return kpav_state_change(&log->lebs[leb].func, to, 2, from_a, from_b) != 0;
}

// The capacity figure the wear thresholds are compared with: usable packets of every LEB in
// service (not mapped out, not retired or corrupt), less the alternate mode's overhead.
ULONG64 in_service_capacity(const pav_log* log) {
    ULONG64 total = 0;
    for (ULONG leb = log->first_leb; leb < (ULONG)log->first_leb + log->leb_count && leb < log->eb_count; leb++) {
        const eb_info* info = ebinfo_get(log->channel, (USHORT)leb);
        ULONG state = log->lebs[leb].func.value;
        if (info == nullptr || info->mel_mark != EB_MEL_NONE || state == PAV_LEB_FUNC_RETIRED ||
            state == PAV_LEB_FUNC_CORRUPT) {
            continue;
        }
        ULONG capacity = datalog_leb_capacity(log, (USHORT)leb);
        ULONG overhead = datalog_leb_overhead(log, (USHORT)leb);
        total += capacity > overhead ? capacity - overhead : 0;
    }
    return total;
}

int set_write_reason(pav_log* log, int level, int reason) {
    if (log == nullptr || log->owner_ops == nullptr || log->owner_ops->set_write_reason == nullptr) {
        return -1;
    }
    return log->owner_ops->set_write_reason(log->owner, level, reason);
}

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

UCHAR leb_map_state(void* context, USHORT eb) {
    pav_log* log = (pav_log*)context;
    if (eb >= log->eb_count) {
        return MGMT_STATE_UNKNOWN;
    }
    const eb_info* info = ebinfo_get(log->channel, eb);
    if (info != nullptr && info->mel_mark != EB_MEL_NONE) {
        return MGMT_STATE_RETIRED;
    }
    switch (log->lebs[eb].func.value) {
        case PAV_LEB_FUNC_ERASED:
            return MGMT_STATE_ERASED;
        case PAV_LEB_FUNC_WRITING:
        case PAV_LEB_FUNC_CLOSED:
            return MGMT_STATE_WRITTEN;
        case PAV_LEB_FUNC_RETIRED:
            return MGMT_STATE_RETIRED;
        default:
            return MGMT_STATE_UNKNOWN;
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

void log_thresholds_compute(pav_log* log) {
    eb_table* table = ebinfo_table(log->channel);
    if (table == nullptr) {
        return;
    }
    const store_geometry& card = table->geometry;
    const log_geometry& g = log->geometry;
    ULONG64 room = card.eb_bytes > (ULONG64)g.tail_reserve + g.head_reserve ? card.eb_bytes - g.tail_reserve - g.head_reserve : 0;
    ULONG64 per_eb = g.packet_size != 0 ? room / g.packet_size : 0;
    ULONG64 u = per_eb > 3 ? per_eb - 3 : 0;
    ULONG64 total = (ULONG64)card.eb_count * u;
    ULONG g3 = card.tuning[3] > 10000 ? 10000 : card.tuning[3];
    ULONG64 scaled = (10000 - g3) * total / 10000;
    ULONG64 usable = scaled > 2 * u ? scaled - 2 * u : 0;
    ULONG64 k = log->format.capacity;
    if (log->format.capacity_mode == 1 && log->sector_size != 0) {
        k += div_up(k * 8, log->sector_size);
    }
    log->t1 = (card.tuning[0] + 10000ull) * k / 10000;
    log->t2 = (card.tuning[2] + 10000ull) * k / 10000;
    ULONG g1 = card.tuning[1] > 10000 ? 10000 : card.tuning[1];
    log->t0 = ((10000ull - g1) * log->t1 + g1 * usable) / 10000;
}

ULONG datalog_leb_capacity(const pav_log* log, USHORT leb) {
    if (log->leb_packets == nullptr || leb >= log->eb_count) {
        return log->packets_per_leb;
    }
    ULONG cached = log->leb_packets[leb];
    if (cached != NOT_CACHED) {
        return cached;
    }
    ULONG packets = log->packets_per_leb;
    if (ebinfo_table(log->channel) != nullptr && log->geometry.packet_size != 0) {
        ULONG64 a = ebinfo_eb_cached_capacity(log->channel, leb);
        ULONG64 reserves = (ULONG64)log->geometry.tail_reserve + log->geometry.head_reserve;
        packets = a > reserves ? (ULONG)((a - reserves) / log->geometry.packet_size) : 0;
        if (packets > log->packets_per_leb) {
            packets = log->packets_per_leb;  // addresses have room for packets_per_leb only
        }
    }
    log->leb_packets[leb] = packets;
    return packets;
}

ULONG datalog_leb_overhead(const pav_log* log, USHORT leb) {
    if (log->format.capacity_mode != 1 || log->sector_size == 0) {
        return 0;
    }
    return (ULONG)div_up(((ULONG64)datalog_leb_capacity(log, leb) + 5) * 8, log->sector_size);
}

ULONG64 datalog_erased_space(const pav_log* log) {
    eb_table* table = ebinfo_table(log->channel);
    ULONG p = log->geometry.packet_size;
    if (table == nullptr || p == 0) {
        return 0;
    }
    // What the erased list holds, less each member's reserves (and the partial packet).
    ULONG64 per_eb = (ULONG64)p + log->geometry.head_reserve + log->geometry.tail_reserve - 1;
    ULONG64 lost = per_eb * table->erased_count;
    ULONG64 bytes = table->erased_list_capacity;
    ULONG64 e = bytes > lost ? (bytes - lost) / p : 0;
    if (log->format.capacity_mode == 1) {
        e -= div_up(8 * e, p);
    }
    return e;
}

ULONG64 datalog_erased_space_now(pav_log* log) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_spin_lock(&log->lock);
    ULONG64 erased = datalog_erased_space(log);
    kpav_spin_unlock(&log->lock);
    return erased;
}

ULONG64 datalog_free_space(const pav_log* log) {
    ULONG64 free = datalog_erased_space(log) + log->open_free_packets;
    if (log->format.capacity_mode == 1 && log->sector_size > 8) {
        free = free * (log->sector_size - 8) / log->sector_size;
    }
    return free;
}

ULONG64 datalog_usable_capacity(const pav_log* log) {
    return in_service_capacity(log);
}

ULONG64 ebinfo_usable_capacity(nand_dev* channel, ULONG sector_size) {
    eb_table* table = ebinfo_table(channel);
    log_geometry g;
    USHORT sector;
    if (table == nullptr || log_geometry_compute(&table->geometry, sector_size, &g, &sector) != 0) {
        return 0;
    }
    ULONG64 total = 0;
    for (ULONG eb = 0; eb < table->count; eb++) {
        if (table->info[eb].mel_mark == EB_MEL_MAPPED_OUT) {
            continue;
        }
        ULONG64 a = ebinfo_eb_cached_capacity(channel, (USHORT)eb);
        ULONG64 reserves = (ULONG64)g.tail_reserve + g.head_reserve;
        total += a > reserves ? (a - reserves) / g.packet_size : 0;
    }
    return total;
}

void datalog_check_free_space(pav_log* log) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    // The wear levels follow the capacity still in service: retirements shrink it toward the
    // format's capacity. They go back when space returns.
    ULONG64 capacity = in_service_capacity(log);
    int level = capacity < log->t2 ? 2 : capacity < log->t1 ? 1 : 0;
    set_write_reason(log, level, WRITE_REASON_SPACE);
    if (level == 0 && capacity < log->t0 && !log->wear_warned) {
        log->wear_warned = 1;
        kpav_print(KPAV_CLASS_WARNING,
                   "%s: WARNING: The Corvane is close to wearing out - reduced-write mode is triggered when reserve "
                   "is depleted.  Formatting to a smaller size will free up reserve.\n",
                   datalog_device_name(log));
    }
    if (log->owner_ops == nullptr) {
        return;  // the low-space notice starts with the running device
    }
    ULONG64 needed = log->forward_map_blocks * (4096 / (log->sector_size != 0 ? log->sector_size : 4096)) +
                     5ull * log->packets_per_leb;
    if (datalog_erased_space(log) > needed) {
        LONG was = InterlockedAnd(&log->flags, ~PAV_LOG_FLAG_LOW_SPACE);
        if ((was & PAV_LOG_FLAG_LOW_SPACE) != 0 && log->owner_ops->on_notify != nullptr) {
            log->owner_ops->on_notify(log->owner, 0);
        }
    } else {
        LONG was = InterlockedOr(&log->flags, PAV_LOG_FLAG_LOW_SPACE);
        if ((was & PAV_LOG_FLAG_LOW_SPACE) == 0 && log->owner_ops->on_notify != nullptr) {
            log->owner_ops->on_notify(log->owner, 1);
        }
    }
}

int datalog_new_append_eb(nand_dev* channel, USHORT* out_leb, USHORT wanted, void* out_header, void* arg) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    pav_log* log = log_of(channel);
    if (log == nullptr) {
        return -KPAV_EINVAL;
    }
    kpav_spin_lock(&log->lock);
    USHORT leb = wanted;
    bool picked = false;
    if (leb == PAV_NO_LEB) {
        if (ebinfo_pick_erased_eb(channel, &leb) != 0) {
            kpav_spin_unlock(&log->lock);
            kpav_print(KPAV_CLASS_ERROR, "%s: Unable to allocate erased EB\n", datalog_device_name(log));
            return -KPAV_ENOSPC;
        }
        picked = true;
    }
    if (leb >= log->eb_count || !in_channel_range(log, leb)) {
        if (picked) {
            ebinfo_erased_list_add(channel, leb);
        }
        kpav_spin_unlock(&log->lock);
        kpav_print(KPAV_CLASS_ERROR, "%s: Unable to allocate erased EB\n", datalog_device_name(log));
        return -KPAV_ENOSPC;
    }
    USHORT current = log->append_leb;
    if (kpav_state_change(&log->lebs[leb].func, PAV_LEB_FUNC_WRITING, 1, PAV_LEB_FUNC_ERASED) == 0) {
        ULONG state = leb_state(log, leb);
        if (picked) {
            ebinfo_erased_list_add(channel, leb);  // not lost: it goes back where it came from
        }
        kpav_spin_unlock(&log->lock);
        kpav_print(KPAV_CLASS_ERROR, "%s: Unable to transition new EB (%d) to appending state from state %s\n",
                   datalog_device_name(log), (int)leb, pav_leb_func_name(state));
        return -KPAV_EIO;
    }
    ULONG64 sequence;
    if (current != PAV_NO_LEB) {
        leb_counters* counters = &log->counters[current];
        if ((ULONG)counters->valid > counters->peak) {
            counters->peak = (ULONG)counters->valid;
        }
        leb_transition(log, current, PAV_LEB_FUNC_CLOSED, PAV_LEB_FUNC_WRITING, PAV_LEB_FUNC_CLOSED);
        log->lebs[current].next = leb;
        sequence = log->lebs[current].sequence + PAV_LOG_SEQUENCE_STEP;
    } else {
        // The first append LEB of a log follows the newest sequence any LEB carries.
        ULONG64 newest = 0;
        for (ULONG i = 0; i < log->eb_count; i++) {
            if (log->lebs[i].sequence > newest && i != leb) {
                newest = log->lebs[i].sequence;
            }
        }
        sequence = newest + PAV_LOG_SEQUENCE_STEP;
        if (log->head_leb == PAV_NO_LEB) {
            log->head_leb = leb;
        }
    }
    log->lebs[leb].previous = current;
    log->lebs[leb].next = PAV_NO_LEB;
    ebinfo_prepare_erased(channel, leb);
    log->lebs_in_use++;
    ULONG capacity = datalog_leb_capacity(log, leb);
    ULONG overhead = datalog_leb_overhead(log, leb);
    log->open_free_packets = capacity > overhead ? capacity - overhead : 0;
    log->lebs[leb].sequence = sequence;
    log->append_leb = leb;
    if (log->append_point != nullptr) {
        log->append_point->current_eb = leb;
    }
    if (log->format.persistent_trim) {
        leb_record* record = &log->lebs[leb];
        record->first_position = sequence << 24;
        record->last_position = sequence << 24;
        record->tracked = 0;
        record->tracked_leb = PAV_NO_LEB;
        InsertTailList(&log->open_lebs, &record->open_link);
    }
    datalog_check_free_space(log);
    kpav_spin_unlock(&log->lock);

    if (out_header != nullptr) {
        eb_table* table = ebinfo_table(channel);
        UCHAR* buffer = (UCHAR*)out_header;
        mgmt_header* record;
        int rc = mgmt_header_build(channel, buffer, mgmt_region_size(&table->geometry), leb, &table->layout, &record);
        if (rc != 0) {
            return rc;
        }
        mgmt_state_map_build(channel, record->state_map, leb, leb_map_state, log);
        record->fast_rescan = (UCHAR)log->format.capacity_mode;
        record->log_id = 1;
        record->format_flags = log->format.sparse ? 4 : 0;
        record->capacity = log->format.capacity;
        record->logical_capacity = log->format.logical_capacity;
        record->sequence = sequence << 24;
        rc = eb_header_write(channel, leb, buffer);
        if (rc != 0) {
            return rc;
        }
    }
    *out_leb = leb;
    if (arg != nullptr) {
        *(ULONG*)arg = log->geometry.head_reserve;
    }
    return 0;
}

void datalog_close_leb(pav_log* log, USHORT leb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (leb < log->eb_count) {
        leb_transition(log, leb, PAV_LEB_FUNC_CLOSED, PAV_LEB_FUNC_WRITING, PAV_LEB_FUNC_CLOSED);
    }
}

int datalog_relink(pav_log* log) {
    PAGED_CODE();
    if (kpav_state_change(&log->state, PAV_LOG_RELINKING, 1, PAV_LOG_CREATED) == 0) {
        return -KPAV_EINVAL;
    }
    // Written LEBs in the order of their sequences (one sort, insertion into the chain).
    USHORT head = PAV_NO_LEB;
    USHORT tail = PAV_NO_LEB;
    for (ULONG leb = log->first_leb; leb < (ULONG)log->first_leb + log->leb_count && leb < log->eb_count; leb++) {
        log->lebs[leb].next = PAV_NO_LEB;
        log->lebs[leb].previous = PAV_NO_LEB;
    }
    for (ULONG leb = log->first_leb; leb < (ULONG)log->first_leb + log->leb_count && leb < log->eb_count; leb++) {
        ULONG state = leb_state(log, (USHORT)leb);
        if (state != PAV_LEB_FUNC_WRITING && state != PAV_LEB_FUNC_CLOSED) {
            continue;
        }
        ULONG64 sequence = log->lebs[leb].sequence;
        USHORT after = PAV_NO_LEB;
        USHORT at = head;
        while (at != PAV_NO_LEB && log->lebs[at].sequence < sequence) {
            after = at;
            at = log->lebs[at].next;
        }
        if (at != PAV_NO_LEB && log->lebs[at].sequence == sequence) {
            kpav_print(KPAV_CLASS_ERROR, "%s: Failed attach for %s while relinking.\n", datalog_device_name(log),
                       log->name);
            kpav_state_change(&log->state, PAV_LOG_CREATED, 0);
            return -KPAV_EINVAL;
        }
        log->lebs[leb].previous = after;
        log->lebs[leb].next = at;
        if (after == PAV_NO_LEB) {
            head = (USHORT)leb;
        } else {
            log->lebs[after].next = (USHORT)leb;
        }
        if (at == PAV_NO_LEB) {
            tail = (USHORT)leb;
        } else {
            log->lebs[at].previous = (USHORT)leb;
        }
    }
    kpav_spin_lock(&log->lock);
    log->head_leb = head;
    log->append_leb = tail;
    kpav_spin_unlock(&log->lock);
    if (kpav_state_change(&log->state, PAV_LOG_RELINKED, 1, PAV_LOG_RELINKING) == 0) {
        return -KPAV_EINVAL;
    }
    return 0;
}

int datalog_link_erased_space(pav_log* log) {
    PAGED_CODE();
    for (ULONG leb = log->first_leb; leb < (ULONG)log->first_leb + log->leb_count && leb < log->eb_count; leb++) {
        if (leb_state(log, (USHORT)leb) == PAV_LEB_FUNC_ERASED) {
            ebinfo_erased_list_add(log->channel, (USHORT)leb);
        }
    }
    kpav_spin_lock(&log->lock);
    datalog_check_free_space(log);
    kpav_spin_unlock(&log->lock);
    return 0;
}

void pav_log_set_written_pos(pav_log* log, USHORT leb, ULONG offset) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_spin_lock(&log->written_lock);
    log->written_pos = (ULONG64)leb | (ULONG64)offset << 32;
    log->written_set = 1;
    kpav_spin_unlock(&log->written_lock);
    note_open_free(log, leb, offset);
}

bool pav_log_advance_written_pos(pav_log* log, USHORT leb, ULONG offset) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (leb >= log->eb_count) {
        return false;
    }
    kpav_spin_lock(&log->written_lock);
    bool later = true;
    if (log->written_set != 0) {
        USHORT at = (USHORT)log->written_pos;
        ULONG64 theirs = at < log->eb_count ? log->lebs[at].sequence << 24 | ((log->written_pos >> 32) & 0xFFFFFF) : 0;
        later = (log->lebs[leb].sequence << 24 | (offset & 0xFFFFFF)) > theirs;
    }
    if (later) {
        log->written_pos = (ULONG64)leb | (ULONG64)offset << 32;
        log->written_set = 1;
    }
    kpav_spin_unlock(&log->written_lock);
    if (later) {
        note_open_free(log, leb, offset);
    }
    return later;
}

namespace {

void note_open_free(pav_log* log, USHORT leb, ULONG offset) {
    // What is left of the open LEB shrinks as it fills.
    kpav_spin_lock(&log->lock);
    if (leb == log->append_leb && leb != PAV_NO_LEB) {
        ULONG capacity = datalog_leb_capacity(log, leb);
        ULONG overhead = datalog_leb_overhead(log, leb);
        ULONG used = offset + overhead;
        log->open_free_packets = capacity > used ? capacity - used : 0;
    }
    kpav_spin_unlock(&log->lock);
}

}  // namespace

void pav_log_set_written_leb(pav_log* log, USHORT leb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (leb >= log->eb_count) {
        return;
    }
    pav_log_set_written_pos(log, leb, datalog_leb_capacity(log, leb));
}

bool pav_log_leb_at_or_after_written(pav_log* log, USHORT leb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (leb == PAV_NO_LEB || leb >= log->eb_count) {
        return false;
    }
    kpav_spin_lock(&log->written_lock);
    bool set = log->written_set != 0;
    ULONG64 position = log->written_pos;
    kpav_spin_unlock(&log->written_lock);
    USHORT written = (USHORT)position;
    if (!set || written >= log->eb_count) {
        return false;
    }
    ULONG capacity = datalog_leb_capacity(log, leb);
    ULONG64 mine = log->lebs[leb].sequence << 24 | ((ULONG64)(capacity - 1) & 0xFFFFFF);
    ULONG64 theirs = log->lebs[written].sequence << 24 | ((position >> 32) & 0xFFFFFF);
    return mine >= theirs;
}

int datalog_check_sequence(pav_log* log, USHORT start_leb, USHORT end_leb, ULONG64 start_sequence) {
    PAGED_CODE();
    if (start_leb >= log->eb_count) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Invalid start eb: %d\n", datalog_device_name(log), (int)start_leb);
        return -KPAV_EINVAL;
    }
    ULONG64 expected = start_sequence;
    ULONG steps = 0;
    for (USHORT leb = start_leb; leb != PAV_NO_LEB && leb < log->eb_count && steps <= log->eb_count;
         leb = log->lebs[leb].next, steps++) {
        if (log->lebs[leb].sequence != expected) {
            kpav_print(KPAV_CLASS_ERROR, "%s: Metadata sequence mismatch: eb: %d %llu != %llu start: %d end: %d\n",
                       datalog_device_name(log), (int)leb, log->lebs[leb].sequence, expected, (int)start_leb,
                       (int)end_leb);
            return -KPAV_EAGAIN;
        }
        if (leb == end_leb) {
            break;
        }
        expected += PAV_LOG_SEQUENCE_STEP;
    }
    return 0;
}

ULONG64 datalog_find_leb_by_erase_age(pav_log* log, ULONG seconds) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_spin_lock(&log->lock);
    ULONG64 result = 0;
    ULONG64 baseline = 0;  // raised to each later erase time on the way
    ULONG steps = 0;
    // From the oldest LEB on (the append LEB is the newest: its next link ends the chain).
    for (USHORT leb = log->head_leb; leb != PAV_NO_LEB && leb < log->eb_count && steps <= log->eb_count;
         leb = log->lebs[leb].next, steps++) {
        const eb_info* info = ebinfo_get(log->channel, leb);
        ULONG64 time = info != nullptr ? info->erase_time : 0;
        if ((LONG64)(time - baseline) < (LONG64)seconds) {
            result = log->lebs[leb].sequence << 24;
            break;
        }
        if (time > baseline) {
            baseline = time;
        }
    }
    kpav_spin_unlock(&log->lock);
    return result;
}

int log_pos_advance(const pav_log* log, log_pos* position, ULONG64 length) {
    if (log == nullptr) {
        return -KPAV_EINVAL;
    }
    USHORT leb = position->leb;
    if (leb >= log->eb_count) {
        return -KPAV_EIO;
    }
    ULONG64 capacity = datalog_leb_capacity(log, leb);
    ULONG64 offset = position->offset;
    if (offset + length < capacity) {
        position->offset = (ULONG)(offset + length);
        return 0;
    }
    // What is left after this LEB is carried along the chain, whole LEBs skipped.
    ULONG64 rest = offset < capacity ? length - (capacity - offset) : length;
    for (ULONG steps = 0;; steps++) {
        leb = log->lebs[leb].next;
        if (leb == PAV_NO_LEB || leb >= log->eb_count || steps > log->eb_count) {
            return -KPAV_EIO;
        }
        capacity = datalog_leb_capacity(log, leb);
        if (rest < capacity) {
            break;
        }
        rest -= capacity;
    }
    position->leb = leb;
    position->offset = (ULONG)rest;
    return 0;
}

ULONG64 pav_log_addr_advance(const pav_log* log, ULONG64 address, ULONG64 length) {
    if (address < PAV_LOG_FIRST_ADDR) {
        return address;
    }
    if (log == nullptr || log->leb_span == 0) {
        return ~0ull;
    }
    ULONG64 leb;
    ULONG64 offset;
    split_address(log, address, &leb, &offset);
    if (leb >= log->eb_count) {
        return ~0ull;
    }
    if (offset + length < datalog_leb_capacity(log, (USHORT)leb)) {
        return address + length;
    }
    log_pos position = {(USHORT)leb, (ULONG)offset};
    if (log_pos_advance(log, &position, length) != 0) {
        return ~0ull;
    }
    return pav_log_addr(log, position.leb, position.offset);
}

bool pav_log_addr_is_packet(const pav_log* log, ULONG64 address) {
    if (address < PAV_LOG_FIRST_ADDR || log == nullptr || log->leb_span == 0) {
        return false;
    }
    ULONG64 leb;
    ULONG64 offset;
    split_address(log, address, &leb, &offset);
    return leb < log->eb_count && offset < datalog_leb_capacity(log, (USHORT)leb);
}

ULONG64 datalog_write_position(const pav_log* log, ULONG64 address) {
    if (address < PAV_LOG_FIRST_ADDR || log == nullptr || log->leb_span == 0) {
        return 0;
    }
    ULONG64 leb;
    ULONG64 offset;
    split_address(log, address, &leb, &offset);
    if (leb >= log->eb_count) {
        return 0;
    }
    return log->lebs[leb].sequence << 24 | (offset & 0xFFFFFF);
}
