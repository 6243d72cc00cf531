// The data log's positions: the written position, and the address arithmetic along the LEB
// chain.
#include "driver/log/datalog.h"

#include "driver/log/datalog_internal.h"
#include "driver/pipeline/ebinfo.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"

using namespace datalog_detail;

namespace {

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

}  // namespace

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
