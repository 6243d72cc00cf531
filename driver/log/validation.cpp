#include "driver/log/validation.h"

#include "driver/log/eb_media.h"
#include "driver/log/log_entry.h"
#include "driver/log/log_file.h"
#include "driver/pipeline/builders.h"
#include "driver/pipeline/channel_client.h"
#include "driver/pipeline/eb_geometry.h"
#include "driver/pipeline/ebinfo.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/little_endian.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"

namespace {

const char* name_of(const pav_log* log) {
    return datalog_device_name(log);
}

ULONG func_of(const pav_log* log, USHORT leb) {
    return log->lebs[leb].func.value;
}

void set_func(pav_log* log, USHORT leb, ULONG state) {
    kpav_state_change(&log->lebs[leb].func, state, 0);
}

bool in_log_range(const pav_log* log, ULONG leb) {
    return leb >= log->first_leb && leb < (ULONG)log->first_leb + log->leb_count && leb < log->eb_count;
}

// LEBs that take part in the chain: not erased, corrupt or retired.
bool chain_candidate(const pav_log* log, USHORT leb) {
    ULONG state = func_of(log, leb);
    return state != PAV_LEB_FUNC_ERASED && state != PAV_LEB_FUNC_CORRUPT && state != PAV_LEB_FUNC_RETIRED;
}

}  // namespace

int mgmt_validation_init(mgmt_validation* v, pav_log* log) {
    PAGED_CODE();
    RtlZeroMemory(v, sizeof *v);
    v->log = log;
    v->lebs = (leb_attach_info*)kpav_zalloc((SIZE_T)log->eb_count * sizeof(leb_attach_info), KPAV_TAG_MAL);
    return v->lebs != nullptr ? 0 : -KPAV_ENOMEM;
}

void mgmt_validation_exit(mgmt_validation* v) {
    PAGED_CODE();
    kpav_free_if(v->lebs, KPAV_TAG_MAL);
    v->lebs = nullptr;
}

ULONG mgmt_validation_format_sequence(const mgmt_validation* v) {
    for (const mgmt_log_slot& slot : v->slots) {
        if (slot.log_id == 1) {
            return slot.format_sequence;
        }
    }
    return 0;
}

// ---- Log slots

int mgmt_log_slot_check(nand_dev* channel, mgmt_log_slot slots[MGMT_LOG_SLOTS], USHORT eb, const mgmt_header* record,
                        UCHAR* incompatible) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const char* name = channel_name(channel);
    // Bytes 4-7 of the record hold EB + 0xFFFE0000.
    if ((ULONG)(le_get_u32(record->ebo + 3) + 0x20000) != eb) {
        kpav_print(KPAV_CLASS_ERROR, "%s: EB %4u has EBO number mismatch\n", name, (unsigned)eb);
        return -KPAV_EINVAL;
    }
    mgmt_log_slot slot;
    mgmt_log_slot_fill(&slot, record);
    if ((record->format_flags & 1) != 0) {
        *incompatible = 1;
    }
    if (slot.log_id != 1) {
        kpav_print(KPAV_CLASS_ERROR, "%s: EB %4u has invalid log_id: %d\n", name, (unsigned)eb, (int)slot.log_id);
        return -KPAV_EINVAL;
    }
    mgmt_log_slot* mine = nullptr;
    for (ULONG i = 0; i < MGMT_LOG_SLOTS && mine == nullptr; i++) {
        mine = slots[i].log_id == slot.log_id ? &slots[i] : nullptr;
    }
    if (mine == nullptr) {
        for (ULONG i = 0; i < MGMT_LOG_SLOTS && mine == nullptr; i++) {
            mine = slots[i].log_id == 0 ? &slots[i] : nullptr;
        }
        if (mine == nullptr) {
            kpav_print(KPAV_CLASS_ERROR, "%s: Too many logs in channel, no room for log id: %d\n", name,
                       (int)slot.log_id);
            for (ULONG i = 0; i < MGMT_LOG_SLOTS; i++) {
                kpav_print(KPAV_CLASS_ERROR, "%s: Existing log %d id: %d\n", name, (int)i, (int)slots[i].log_id);
            }
            return -KPAV_ENOSPC;
        }
        *mine = slot;
        return 0;
    }
    if (slot.format_sequence < mine->format_sequence) {
        return 0;
    }
    if (slot.format_sequence > mine->format_sequence) {
        *mine = slot;
        return 0;
    }
    const char* differs = nullptr;
    if (slot.log_id != mine->log_id) {
        differs = "log id";
    } else if (slot.sector_size != mine->sector_size) {
        differs = "sector size";
    } else if (slot.capacity != mine->capacity) {
        differs = "capacity";
    } else if (slot.sparse != mine->sparse) {
        differs = "sparse format";
    } else if (slot.sparse != 0 && slot.logical_capacity != mine->logical_capacity) {
        differs = "logical capacity";
    } else if (RtlCompareMemory(slot.volume_id, mine->volume_id, sizeof slot.volume_id) != sizeof slot.volume_id) {
        differs = "volume id";
    }
    if (differs != nullptr) {
        kpav_print(KPAV_CLASS_ERROR, "%s: eb %4u had %s mismatch\n", name, (unsigned)eb, differs);
        return -KPAV_EINVAL;
    }
    return 0;
}

// ---- Validation

void attach_upgrade_prepare(nand_dev* channel) {
    PAGED_CODE();
    eb_table* table = ebinfo_table(channel);
    for (ULONG eb = 0; table != nullptr && eb < table->count; eb++) {
        CHAR condition = table->info[eb].condition;
        if (condition == EB_COND_OPEN) {
            eb_fill_unwritten_tail(channel, (USHORT)eb, true);
        } else if (condition == EB_COND_BLANK) {
            eb_fill_unwritten_tail(channel, (USHORT)eb, true);
            request_erase_sync(channel, (USHORT)eb, nullptr, 0);
        }
    }
}

int mgmt_metadata_validate(mgmt_validation* v, bool retry) {
    PAGED_CODE();
    pav_log* log = v->log;
    nand_dev* channel = log->channel;
    eb_table* table = ebinfo_table(channel);
    if (table == nullptr) {
        return -KPAV_EINVAL;
    }
    auto* buffer = (UCHAR*)kpav_alloc(mgmt_read_buffer_size(channel), KPAV_TAG_VML);
    if (buffer == nullptr) {
        return -KPAV_ENOMEM;
    }
    v->incompatible = 0;
    v->corrupt = 0;
    bool current_format = false;
    int rc = 0;
    ULONG count = table->count < log->eb_count ? table->count : log->eb_count;
    for (ULONG e = 0; e < count && rc == 0; e++) {
        USHORT eb = (USHORT)e;
        if (table->info[eb].mel_mark != EB_MEL_NONE) {
            v->lebs[eb].scan_state = LEB_SCAN_MAPPED;
            set_func(log, eb, PAV_LEB_FUNC_RETIRED);
            continue;
        }
        v->lebs[eb].scan_state = LEB_SCAN_READ;
        UCHAR opcode = LOG_OP_EMPTY;
        int read = mgmt_record_read(channel, buffer, eb, &opcode, retry);
        if (read != 0) {
            v->corrupt++;
            set_func(log, eb, PAV_LEB_FUNC_CORRUPT);
        } else if (opcode == LOG_OP_EMPTY) {
            set_func(log, eb, PAV_LEB_FUNC_ERASED);
        } else if (opcode == MGMT_OPCODE) {
            const mgmt_header* record = mgmt_record_of(buffer);
            if (record->version < MGMT_VERSION_MIN || record->version > MGMT_VERSION_MAX) {
                kpav_print(KPAV_CLASS_ERROR, "%s: Unsupported format version %d.\n", name_of(log), (int)record->version);
                rc = -KPAV_EBADF;
                break;
            }
            table->info[eb].erase_time = record->erase_time;
            eb_read_levels_update(channel, (USHORT)eb);
            current_format = current_format || record->version >= MGMT_VERSION;
            v->lebs[eb].version = record->version;
            v->lebs[eb].format_sequence = record->format_sequence;
            // The opener keeps the LEB's first log position: its sequence << 24.
            log->lebs[eb].sequence = record->sequence >> 24;
            rc = mgmt_log_slot_check(channel, v->slots, eb, record, &v->incompatible);
            if (rc != 0) {
                kpav_print(KPAV_CLASS_ERROR, "%s: Unable to read management metadata at (%4u).\n", name_of(log),
                           (unsigned)eb);
            }
        } else {
            v->corrupt++;
            set_func(log, eb, PAV_LEB_FUNC_CORRUPT);
        }
    }
    kpav_free(buffer, KPAV_TAG_VML);
    if (rc != 0 || current_format) {
        v->upgrade = 0;
        return rc;
    }
    v->upgrade = 1;
    kpav_print(KPAV_CLASS_NORMAL, "%s: Upgrade detected. Preparing drive, this could take several minutes.\n",
               name_of(log));
    attach_upgrade_prepare(channel);
    for (ULONG eb = 1; eb < table->count; eb++) {
        if (table->info[eb].mel_mark == EB_MEL_NONE) {
            channel_client_ops(channel)->eb_event_b(channel, (USHORT)eb);
            break;
        }
    }
    return 0;
}

// ---- The newest LEB's states, and the chain

void leb_apply_eb_state(mgmt_validation* v, USHORT eb, UCHAR state) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    pav_log* log = v->log;
    eb_info* info = ebinfo_get(log->channel, eb);
    if ((state != MGMT_STATE_ERASED && state != MGMT_STATE_RETIRED) || eb >= log->eb_count || info == nullptr ||
        info->mel_mark != EB_MEL_NONE) {
        return;
    }
    if (func_of(log, eb) == PAV_LEB_FUNC_CORRUPT && v->corrupt > 0) {
        v->corrupt--;
    }
    if (info->condition == EB_COND_BLANK) {
        return;
    }
    set_func(log, eb, PAV_LEB_FUNC_ERASED);
    if (info->condition < EB_COND_ERASE_FIRST) {
        info->condition = EB_COND_ERASE_FIRST;
    }
}

namespace {

// The LEB of the log's format with the largest sequence (PAV_NO_LEB: none).
USHORT newest_leb(mgmt_validation* v) {
    pav_log* log = v->log;
    ULONG format = mgmt_validation_format_sequence(v);
    USHORT newest = PAV_NO_LEB;
    for (ULONG leb = log->first_leb; in_log_range(log, leb); leb++) {
        if (!chain_candidate(log, (USHORT)leb) || v->lebs[leb].version == 0 || v->lebs[leb].format_sequence != format) {
            continue;
        }
        if (newest == PAV_NO_LEB || log->lebs[leb].sequence > log->lebs[newest].sequence) {
            newest = (USHORT)leb;
        }
    }
    return newest;
}

// Walks the LEB's entries and applies the state of every EB note.
int apply_eb_notes(mgmt_validation* v, USHORT leb) {
    pav_log* log = v->log;
    log_file* reader = nullptr;
    int rc = log_file_create(&reader, log);
    if (rc != 0) {
        return rc;
    }
    log_file_pos start{leb, 0};
    rc = log_file_open(reader, &start, LOG_FILE_FORWARD, 0);
    UCHAR body[PKT_HEADER_SIZE + sizeof(eb_note)];
    while (rc == 0) {
        UCHAR opcode = 0;
        rc = log_file_next_entry(reader, &opcode);
        if (rc != 0) {
            break;
        }
        if (opcode == 0xA0 && log_file_copy_out(reader, body, sizeof body) == 0) {
            UCHAR raw = 0;
            ULONG64 address = 0;
            pkt_header_decode(body, &raw, &address);
            if (address >= SYS_ADDR_EB_NOTE && address < SYS_ADDR_EBO) {
                const auto* note = (const eb_note*)body;
                leb_apply_eb_state(v, (USHORT)(address - SYS_ADDR_EB_NOTE), note->state);
            }
        }
        log_file_pos before;
        log_file_where(reader, &before);
        rc = log_entry_skip(reader, opcode);
        if (rc != 0 && rc != -KPAV_ENOENT) {
            log_file_pos after;
            log_file_where(reader, &after);
            kpav_print(KPAV_CLASS_ERROR, "%s: failed to advance offset: opcode: %d addr: %u+%llu logf addr: %u+%llu\n",
                       name_of(log), (int)opcode, (unsigned)before.leb, (unsigned long long)before.byte,
                       (unsigned)after.leb, (unsigned long long)after.byte);
        }
    }
    log_file_destroy(reader);
    if (rc == -KPAV_ENOENT) {
        return 0;
    }
    kpav_print(KPAV_CLASS_ERROR, "%s: Unable to get drive metadata (%d)\n", name_of(log), rc);
    return -KPAV_EIO;
}

}  // namespace

int leb_newest_apply_state(mgmt_validation* v) {
    PAGED_CODE();
    pav_log* log = v->log;
    nand_dev* channel = log->channel;
    USHORT newest = newest_leb(v);
    if (newest == PAV_NO_LEB) {
        return 0;
    }
    auto* buffer = (UCHAR*)kpav_alloc(mgmt_read_buffer_size(channel), KPAV_TAG_VML);
    if (buffer == nullptr) {
        return -KPAV_ENOMEM;
    }
    UCHAR opcode = LOG_OP_EMPTY;
    int rc = mgmt_record_read(channel, buffer, newest, &opcode, false);
    if (rc == 0 && opcode != MGMT_OPCODE) {
        rc = -KPAV_EINVAL;
    }
    if (rc == 0) {
        const mgmt_header* record = mgmt_record_of(buffer);
        if (record->map_present != 0) {
            eb_table* table = ebinfo_table(channel);
            ULONG blocks = table->count < MGMT_STATE_MAP_BLOCKS ? table->count : MGMT_STATE_MAP_BLOCKS;
            for (ULONG eb = 0; eb < blocks; eb++) {
                if (eb != newest) {
                    leb_apply_eb_state(v, (USHORT)eb, mgmt_state_map_get(record->state_map, eb));
                }
            }
        }
    }
    kpav_free(buffer, KPAV_TAG_VML);
    return rc == 0 ? apply_eb_notes(v, newest) : rc;
}

namespace {

// Sorts LEB numbers by their sequence (ties keep no particular order).
void sort_by_sequence(const pav_log* log, USHORT* order, ULONG n) {
    auto key = [&](ULONG i) { return log->lebs[order[i]].sequence; };
    auto sift = [&](ULONG root, ULONG end) {
        while (2 * root + 1 < end) {
            ULONG child = 2 * root + 1;
            if (child + 1 < end && key(child) < key(child + 1)) {
                child++;
            }
            if (key(root) >= key(child)) {
                return;
            }
            USHORT t = order[root];
            order[root] = order[child];
            order[child] = t;
            root = child;
        }
    };
    for (ULONG i = n / 2; i-- > 0;) {
        sift(i, n);
    }
    for (ULONG end = n; end > 1; end--) {
        USHORT t = order[0];
        order[0] = order[end - 1];
        order[end - 1] = t;
        sift(0, end - 1);
    }
}

}  // namespace

int leb_order_chain(mgmt_validation* v, bool tolerant) {
    PAGED_CODE();
    pav_log* log = v->log;
    int rc = leb_newest_apply_state(v);
    if (rc != 0) {
        return rc;
    }
    ULONG format = mgmt_validation_format_sequence(v);
    ULONG corrupt = 0;
    ULONG foreign = 0;
    ULONG candidates = 0;
    for (ULONG leb = log->first_leb; in_log_range(log, leb); leb++) {
        ULONG state = func_of(log, (USHORT)leb);
        if (state == PAV_LEB_FUNC_ERASED || state == PAV_LEB_FUNC_RETIRED) {
            continue;
        }
        if (state == PAV_LEB_FUNC_CORRUPT) {
            corrupt++;
        } else if (v->lebs[leb].version != 0 && v->lebs[leb].format_sequence == format) {
            candidates++;
        } else {
            foreign++;
        }
    }
    if (corrupt != 0 && !tolerant) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Too many corrupt lebs (%d).\n", name_of(log), (int)corrupt);
        return -KPAV_EINVAL;
    }
    if (foreign != 0 && !tolerant) {
        v->incompatible = 1;
        return -KPAV_EINVAL;
    }
    if (candidates == 0) {
        return 0;
    }
    // The chain in the order of the sequences: the candidates sorted once (a heap sort, no
    // allocation beyond the list), each linked behind the one with the next smaller sequence; an
    // LEB whose sequence repeats one already linked stays out, as a walk to "the smallest greater
    // sequence" would leave it.
    auto* order = (USHORT*)kpav_alloc((SIZE_T)candidates * sizeof(USHORT), KPAV_TAG_MAL);
    if (order == nullptr) {
        return -KPAV_ENOMEM;
    }
    ULONG n = 0;
    for (ULONG leb = log->first_leb; in_log_range(log, leb); leb++) {
        log->lebs[leb].next = log->lebs[leb].previous = PAV_NO_LEB;
        if (chain_candidate(log, (USHORT)leb) && v->lebs[leb].version != 0 && v->lebs[leb].format_sequence == format &&
            n < candidates) {
            order[n++] = (USHORT)leb;
        }
    }
    sort_by_sequence(log, order, n);
    USHORT head = PAV_NO_LEB;
    USHORT last = PAV_NO_LEB;
    for (ULONG i = 0; i < n; i++) {
        USHORT leb = order[i];
        if (last != PAV_NO_LEB && log->lebs[last].sequence == log->lebs[leb].sequence) {
            continue;
        }
        log->lebs[leb].previous = last;
        if (last == PAV_NO_LEB) {
            head = leb;
        } else {
            log->lebs[last].next = leb;
        }
        last = leb;
    }
    kpav_free(order, KPAV_TAG_MAL);
    USHORT tail = head;
    ULONG linked = 0;
    for (USHORT leb = head; leb != PAV_NO_LEB; leb = log->lebs[leb].next) {
        leb_mark_closed(log, leb);
        tail = leb;
        linked++;
    }
    kpav_spin_lock(&log->lock);
    log->head_leb = head;
    log->append_leb = tail;
    log->lebs_in_use = linked;
    kpav_spin_unlock(&log->lock);
    v->chain_count = linked;
    return 0;
}

// ---- EB notes and the LEB list

int eb_note_apply(nand_dev* channel, const eb_note* note) {
    PAGED_CODE();
    UCHAR opcode = 0;
    ULONG64 address = 0;
    pkt_header_decode(note->header, &opcode, &address);
    if (address < SYS_ADDR_EB_NOTE || address >= SYS_ADDR_EBO) {
        return -KPAV_EINVAL;
    }
    USHORT eb = (USHORT)(address - SYS_ADDR_EB_NOTE);
    eb_info* info = ebinfo_get(channel, eb);
    if (info == nullptr) {
        return -KPAV_EINVAL;
    }
    ebinfo_raise_condition(channel, eb, EB_COND_NOTED);
    InterlockedExchange(&info->erase_count, (LONG)note->erase_count);
    info->erase_time = note->erase_time;
    eb_set_bank_masks(channel, eb, note->saved_masks);
    int rc = request_erase_sync(channel, eb, nullptr, 0);
    ebinfo_recompute_eb(channel, eb);
    eb_read_levels_update(channel, eb);
    return rc;
}

ULONG leb_mark_closed(pav_log* log, USHORT leb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_state* state = &log->lebs[leb].func;
    kpav_spin_lock(&state->lock);
    ULONG previous = state->value;
    kpav_spin_unlock(&state->lock);
    kpav_state_change(state, PAV_LEB_FUNC_CLOSED, 0);
    return previous;
}

int leb_unlink(pav_log* log, USHORT leb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (leb == 0 || leb == PAV_NO_LEB || !in_log_range(log, leb)) {
        kpav_print(KPAV_CLASS_ERROR, "%s: invalid LEB %4u (valid range %4u-%4u).\n", name_of(log), (unsigned)leb,
                   (unsigned)log->first_leb, (unsigned)(log->first_leb + log->leb_count - 1));
        kpav_print(KPAV_CLASS_ERROR, "Internal software error.\n");
        return -KPAV_EINVAL;
    }
    kpav_spin_lock(&log->lock);
    leb_record* record = &log->lebs[leb];
    USHORT previous = record->previous;
    USHORT next = record->next;
    if (previous != PAV_NO_LEB && in_log_range(log, previous)) {
        log->lebs[previous].next = next;
    }
    if (next != PAV_NO_LEB && in_log_range(log, next)) {
        log->lebs[next].previous = previous;
    }
    if (log->head_leb == leb) {
        log->head_leb = next;
    }
    if (log->append_leb == leb) {
        log->append_leb = previous;
    }
    if (log->lebs_in_use > 0) {
        log->lebs_in_use--;
    }
    record->next = record->previous = PAV_NO_LEB;
    kpav_spin_unlock(&log->lock);
    return 0;
}

int leb_rebuild_erased_list(pav_log* log) {
    PAGED_CODE();
    nand_dev* channel = log->channel;
    eb_table* table = ebinfo_table(channel);
    if (table == nullptr) {
        return -KPAV_EINVAL;
    }
    kpav_spin_lock(&log->lock);
    table->erased_head = table->erased_tail = EB_NONE;
    table->erased_count = 0;
    table->erased_list_capacity = 0;
    for (ULONG eb = 0; eb < table->count; eb++) {
        table->info[eb].erased_prev = table->info[eb].erased_next = EB_NONE;
    }
    for (ULONG leb = log->first_leb; in_log_range(log, leb); leb++) {
        if (func_of(log, (USHORT)leb) == PAV_LEB_FUNC_ERASED) {
            ebinfo_erased_list_add(channel, (USHORT)leb);
        }
    }
    kpav_spin_unlock(&log->lock);
    return 0;
}

void leb_unknown_wear(pav_log* log) {
    PAGED_CODE();
    for (ULONG leb = log->first_leb; in_log_range(log, leb); leb++) {
        ULONG state = func_of(log, (USHORT)leb);
        eb_info* info = ebinfo_get(log->channel, (USHORT)leb);
        if (info != nullptr && (state == PAV_LEB_FUNC_ERASED || state == PAV_LEB_FUNC_CORRUPT)) {
            InterlockedExchange(&info->erase_count, -1);
        }
    }
}

int attach_alloc_leb_index(pav_log* log, ULONG chain_count, leb_index* out) {
    PAGED_CODE();
    ULONG entries = (ULONG)log->leb_count + 1;
    out->entries = entries;
    out->position_of = (USHORT*)kpav_alloc((SIZE_T)entries * sizeof(USHORT), KPAV_TAG_VML);
    out->leb_at = (USHORT*)kpav_alloc((SIZE_T)entries * sizeof(USHORT), KPAV_TAG_VML);
    if (out->position_of == nullptr || out->leb_at == nullptr) {
        leb_index_free(out);
        return -KPAV_ENOMEM;
    }
    for (ULONG i = 0; i < entries; i++) {
        out->position_of[i] = out->leb_at[i] = PAV_NO_LEB;
    }
    ULONG position = 0;
    for (USHORT leb = log->head_leb; leb != PAV_NO_LEB && leb < log->eb_count && position < chain_count &&
                                     position < entries;
         leb = log->lebs[leb].next, position++) {
        ULONG slot = (ULONG)leb - log->first_leb;
        if (slot < entries) {
            out->position_of[slot] = (USHORT)position;
        }
        out->leb_at[position] = leb;
    }
    return 0;
}

void leb_index_free(leb_index* index) {
    kpav_free_if(index->position_of, KPAV_TAG_VML);
    kpav_free_if(index->leb_at, KPAV_TAG_VML);
    index->position_of = index->leb_at = nullptr;
}
