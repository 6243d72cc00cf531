// The data log's LEB chain: new append LEBs with their headers, closing, relinking from the
// sequences at attach, the erased blocks, the sequence check and the erase-age search.
#include "driver/log/datalog.h"

#include "driver/log/apt.h"
#include "driver/log/datalog_internal.h"
#include "driver/log/eb_header.h"
#include "driver/log/mgmt.h"
#include "driver/pipeline/ebinfo.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"

using namespace datalog_detail;

namespace {

// The state of a block as the management header's state map records it.
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

}  // namespace

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
        // Completions on other processors still move the count.
        ULONG valid = (ULONG)ReadNoFence((volatile LONG*)&counters->valid);
        if (valid > counters->peak) {
            counters->peak = valid;
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
