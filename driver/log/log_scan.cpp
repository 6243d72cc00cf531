#include "driver/log/log_scan.h"

#include "driver/log/datalog.h"
#include "driver/log/eb_scan.h"
#include "driver/log/log_entry.h"
#include "driver/log/log_file.h"
#include "driver/log/mgmt.h"
#include "driver/pipeline/builders.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"

namespace {

constexpr ULONG eb_note_bytes = sizeof(eb_note);
constexpr ULONG discard_note_bytes = 64;

// Reads `bytes` of the entry at `offset` of `leb` into the scan's note buffer.
int read_note(log_scan* scan, USHORT leb, ULONG64 offset, ULONG bytes) {
    media_address address{};
    address.eb = leb;
    address.offset = offset;
    ULONG size = (bytes + 7) & ~7u;
    return media_read_raw(scan->log->channel, &address, scan->note, size, 0, nullptr, nullptr, nullptr);
}

ULONG packet_index(const log_scan* scan, ULONG64 offset) {
    const log_geometry& g = scan->log->geometry;
    return offset > g.head_reserve ? (ULONG)((offset - g.head_reserve) / g.packet_size) : 0;
}

bool has_data_callback(const log_scan* scan) {
    return scan->ops != nullptr && scan->ops->data_packets != nullptr;
}

}  // namespace

int log_scan_init(log_scan* scan, pav_log* log, const log_scan_ops* ops, void* owner) {
    PAGED_CODE();
    RtlZeroMemory(scan, sizeof *scan);
    scan->log = log;
    scan->ops = ops;
    scan->owner = owner;
    scan->note = (UCHAR*)kpav_alloc(((ULONG)log->geometry.packet_size + 7) & ~7u, KPAV_TAG_MAL);
    if (scan->note == nullptr || eb_scan_create(log->channel, &scan->eb_scan) != 0 ||
        log_file_create(&scan->reader, log) != 0) {
        log_scan_exit(scan);
        return -KPAV_ENOMEM;
    }
    return 0;
}

void log_scan_exit(log_scan* scan) {
    PAGED_CODE();
    log_file_destroy(scan->reader);
    eb_scan_free(scan->eb_scan);
    kpav_free_if(scan->note, KPAV_TAG_MAL);
    scan->reader = nullptr;
    scan->eb_scan = nullptr;
    scan->note = nullptr;
}

int ebi_entry_dispatch(log_scan* scan, USHORT leb, ULONG64 offset, UCHAR opcode, ULONG64 address, ULONG count) {
    PAGED_CODE();
    const log_scan_ops* ops = scan->ops;
    switch (log_opcode_fold(opcode)) {
        case LOG_OP_CHECKPOINT:
        case LOG_OP_MD_REGION:
        case LOG_OP_MD_HEADER:
        case LOG_OP_LARGE_NOTE:
        case LOG_OP_MD_END:
        case LOG_OP_NOTE_D:
        case LOG_OP_MD_BLOCK:
        case LOG_OP_NOTE_F:
            return 0;
        case LOG_OP_DATA:
            return has_data_callback(scan) ? ops->data_packets(scan, leb, packet_index(scan, offset), address, count) : 0;
        case LOG_OP_SYSTEM:
            break;
        default:
            kpav_print(KPAV_CLASS_ERROR, "%s: Unrecognized opcode (%2x) in ebi: %u+%llu\n",
                       datalog_device_name(scan->log), (ULONG)opcode, (ULONG)leb, (unsigned long long)offset);
            return -KPAV_EINVAL;
    }
    const ULONG packet = scan->log->geometry.packet_size;
    int rc;
    switch (sys_addr_classify(address)) {
        case SYS_KIND_EB_NOTE:
            if (ops == nullptr || ops->eb_note == nullptr) return 0;
            rc = read_note(scan, leb, offset, eb_note_bytes);
            return rc != 0 ? rc : ops->eb_note(scan, leb, (const eb_note*)scan->note);
        case SYS_KIND_DATA:
            return has_data_callback(scan) ? ops->data_packets(scan, leb, packet_index(scan, offset), address, count) : 0;
        case SYS_KIND_DISCARD_NOTE:
            if (ops == nullptr || ops->discard_note == nullptr) return 0;
            rc = read_note(scan, leb, offset, discard_note_bytes);
            return rc != 0 ? rc : ops->discard_note(scan, leb, scan->note, discard_note_bytes);
        case SYS_KIND_LEB_LIST_NOTE:
            if (ops == nullptr || ops->leb_list_note == nullptr) return 0;
            rc = read_note(scan, leb, offset, packet);
            return rc != 0 ? rc : ops->leb_list_note(scan, leb, scan->note, packet);
        case SYS_KIND_ONE_PACKET_NOTE:
            if (ops == nullptr || ops->system_note == nullptr) return 0;
            rc = read_note(scan, leb, offset, packet);
            return rc != 0 ? rc : ops->system_note(scan, leb, scan->note, packet);
        default:
            return 0;
    }
}

int ebi_entry_clip(log_scan* scan, USHORT leb, ULONG64 offset, UCHAR opcode, ULONG64 address, ULONG count) {
    PAGED_CODE();
    const leb_record* record = &scan->log->lebs[leb];
    const ULONG packet = scan->log->geometry.packet_size;
    ULONG first = packet_index(scan, offset);
    ULONG end = first + count;
    ULONG cut_start = record->discard_start;
    ULONG cut_end = record->discard_end;
    if (cut_end <= cut_start || cut_end <= first || cut_start >= end) {
        return ebi_entry_dispatch(scan, leb, offset, opcode, address, count);
    }
    // The packets before the range, then those after it.
    if (cut_start > first) {
        int rc = ebi_entry_dispatch(scan, leb, offset, opcode, address, cut_start - first);
        if (rc != 0) return rc;
    }
    if (cut_end < end) {
        ULONG skip = cut_end - first;
        ULONG64 at = offset + (ULONG64)skip * packet;
        bool run = log_opcode_fold(opcode) == LOG_OP_DATA || sys_addr_classify(address) == SYS_KIND_DATA;
        return ebi_entry_dispatch(scan, leb, at, opcode, run ? address + skip : address, end - cut_end);
    }
    return 0;
}

int ebi_scan_leb(log_scan* scan, USHORT leb, const ULONG64* ebi, ULONG count, bool eighths, bool rebuild) {
    PAGED_CODE();
    const leb_record* record = &scan->log->lebs[leb];
    bool no_discard = record->discard_end <= record->discard_start;
    ebi_walk walk;
    ebi_walk_init(&walk, ebi, count, scan->log->geometry.packet_size, eighths, log_leb_data_end(scan->log, leb));
    ebi_entry entry;
    while (ebi_walk_next(&walk, &entry) == 1) {
        int rc;
        if (entry.opcode == LOG_OP_DATA && entry.address < (1ull << 48) && rebuild && no_discard &&
            scan->ops != nullptr && scan->ops->rebuild_run != nullptr) {
            rc = scan->ops->rebuild_run(scan, leb, packet_index(scan, entry.offset), entry.address, entry.count);
        } else {
            rc = ebi_entry_clip(scan, leb, entry.offset, entry.opcode, entry.address, entry.count);
        }
        if (rc != 0) {
            return rc;
        }
    }
    return 0;
}

int ebi_scan_chain(log_scan* scan, USHORT first_leb, USHORT end_leb, bool rebuild) {
    PAGED_CODE();
    pav_log* log = scan->log;
    ULONG steps = 0;
    for (USHORT leb = first_leb; leb != PAV_NO_LEB && leb < log->eb_count; leb = log->lebs[leb].next) {
        if (++steps > log->eb_count) {
            kpav_print(KPAV_CLASS_ERROR, "%s: LEB chain loops back to LEB %u\n", datalog_device_name(log), (ULONG)leb);
            return -KPAV_EINVAL;
        }
        int rc = eb_scan_begin(log->channel, leb, scan->eb_scan, false);
        if (rc == 0) {
            ULONG count;
            const ULONG64* ebi = eb_scan_ebi(scan->eb_scan, &count);
            bool eighths = eb_scan_index(scan->eb_scan)->kind == EB_INDEX_KIND_EIGHTHS;
            rc = ebi_scan_leb(scan, leb, ebi, count, eighths, rebuild);
        }
        if (rc == -KPAV_EINVAL || rc == -KPAV_ENOMEM || rc == -KPAV_ENOENT) {
            // Entry by entry through the reader.
            log_file_pos start{leb, 0};
            rc = log_file_open(scan->reader, &start, LOG_FILE_FORWARD, 0);
            if (rc != 0) {
                kpav_print(KPAV_CLASS_ERROR, "%s: Unable to scan EB %4u (%d).\n", datalog_device_name(log), (ULONG)leb,
                           rc);
                return rc;
            }
            rc = scan->ops != nullptr && scan->ops->walk_leb != nullptr ? scan->ops->walk_leb(scan, scan->reader, leb)
                                                                         : 0;
            if (rc == -KPAV_ENOENT) {
                rc = 0;
            }
            if (rc != 0) {
                return rc;
            }
            scan->lebs_walked++;
        } else if (rc != 0) {
            return rc;
        } else {
            scan->lebs_by_index++;
        }
        if (leb == end_leb) {
            break;
        }
    }
    return 0;
}
