#include "driver/log/datalog.h"

#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"

void pav_log_internal_error(pav_log* log, int code, ULONG64 a, ULONG64 b) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(a);
    UNREFERENCED_PARAMETER(b);
    if (log == nullptr || log->card == nullptr) {
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

}  // namespace

ULONG datalog_leb_capacity(const pav_log* log, USHORT leb) {
    if (log->hooks.leb_capacity != nullptr) {
        return log->hooks.leb_capacity(log, leb);
    }
    return log->packets_per_leb;
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
    for (;;) {
        leb = log->lebs[leb].next;
        if (leb == PAV_NO_LEB || leb >= log->eb_count) {
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
    return PAV_LOG_FIRST_ADDR + (ULONG64)log->leb_span * position.leb + position.offset;
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
