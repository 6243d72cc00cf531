// The data log's space: LEB capacities and overheads, erased and free space, the thresholds and
// the reduced-write levels with the wear-out warning.
#include "driver/log/datalog.h"

#include "driver/log/datalog_internal.h"
#include "driver/pipeline/ebinfo.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"

using namespace datalog_detail;

namespace {

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

}  // namespace

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
    if (datalog_erased_space(log) > datalog_metadata_room(log)) {
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

ULONG64 datalog_metadata_room(const pav_log* log) {
    ULONG sector = log->sector_size != 0 ? log->sector_size : 4096;
    ULONG per_page = 4096 / sector != 0 ? 4096 / sector : 1;
    return log->forward_map_blocks * per_page + 5ull * log->packets_per_leb;
}
