#include "driver/log/log_entry.h"

#include "driver/log/datalog.h"
#include "driver/platform/errno_table.h"

int log_entry_length_of(UCHAR opcode, ULONG packet_size, ULONG tail_reserve, ULONG* out) {
    ULONG length;
    switch (log_opcode_fold(opcode)) {
        case LOG_OP_EB_CLOSE:
            length = tail_reserve;
            break;
        case LOG_OP_CHECKPOINT:
        case LOG_OP_MD_HEADER:
            length = 40;
            break;
        case LOG_OP_LARGE_NOTE:
            length = 4104;
            break;
        case LOG_OP_MD_END:
            length = 48;
            break;
        case LOG_OP_MD_REGION:
        case LOG_OP_NOTE_D:
        case LOG_OP_MD_BLOCK:
        case LOG_OP_NOTE_F:
        case LOG_OP_DATA:
        case LOG_OP_SYSTEM:
            length = packet_size;
            break;
        case LOG_OP_PAD_F3:
        case LOG_OP_PAD_F7:
        case LOG_OP_SPACE_FA:
        case LOG_OP_EMPTY:
            length = 8;
            break;
        default:
            return -KPAV_EINVAL;
    }
    *out = length;
    return 0;
}

int log_entry_length(const pav_log* log, UCHAR opcode, ULONG* out) {
    return log_entry_length_of(opcode, log->geometry.packet_size, log->geometry.tail_reserve, out);
}

void pkt_header_encode(UCHAR out[PKT_HEADER_SIZE], UCHAR opcode, ULONG64 address) {
    out[0] = opcode;
    out[1] = (UCHAR)(address >> 48);
    out[2] = (UCHAR)(address >> 32);
    out[3] = (UCHAR)(address >> 40);
    out[4] = (UCHAR)address;
    out[5] = (UCHAR)(address >> 8);
    out[6] = (UCHAR)(address >> 16);
    out[7] = (UCHAR)(address >> 24);
}

void pkt_header_decode(const UCHAR in[PKT_HEADER_SIZE], UCHAR* opcode, ULONG64* address) {
    *opcode = in[0];
    *address = (ULONG64)in[1] << 48 | (ULONG64)in[2] << 32 | (ULONG64)in[3] << 40 | (ULONG64)in[4] |
               (ULONG64)in[5] << 8 | (ULONG64)in[6] << 16 | (ULONG64)in[7] << 24;
}

ULONG64 pkt_header_word(UCHAR opcode, ULONG64 address) {
    UCHAR bytes[PKT_HEADER_SIZE];
    pkt_header_encode(bytes, opcode, address);
    ULONG64 word = 0;
    for (int i = PKT_HEADER_SIZE - 1; i >= 0; i--) {
        word = word << 8 | bytes[i];
    }
    return word;
}

sys_addr_kind sys_addr_classify(ULONG64 address) {
    address &= LOG_ADDR_MASK;
    if (address >= SYS_ADDR_EB_NOTE && address < SYS_ADDR_EB_NOTE + 0x20000) {
        return SYS_KIND_EB_NOTE;
    }
    if ((address >= SYS_ADDR_DATA_A && address < SYS_ADDR_DATA_A + 16384) ||
        (address >= SYS_ADDR_DATA_B && address <= SYS_ADDR_DATA_B_END)) {
        return SYS_KIND_DATA;
    }
    if (address >= SYS_ADDR_ATTACH_DISCARD && address < SYS_ADDR_ATTACH_DISCARD + 0x20000) {
        return SYS_KIND_ATTACH_DISCARD;
    }
    if (address >= SYS_ADDR_ONE_PACKET_NOTE && address < SYS_ADDR_ONE_PACKET_NOTE + 16) {
        return SYS_KIND_ONE_PACKET_NOTE;
    }
    if (address >= SYS_ADDR_LEB_LIST_NOTE && address < SYS_ADDR_LEB_LIST_NOTE + 16) {
        return SYS_KIND_LEB_LIST_NOTE;
    }
    if (address >= SYS_ADDR_DISCARD_NOTE && address < SYS_ADDR_DISCARD_NOTE + 16) {
        return SYS_KIND_DISCARD_NOTE;
    }
    if (address >= SYS_ADDR_MD_REGION && address < SYS_ADDR_MD_REGION + 0x400) {
        return SYS_KIND_MD_REGION;
    }
    return SYS_KIND_OTHER;
}

void ebi_walk_init(ebi_walk* walk, const ULONG64* words, ULONG count, ULONG unit, bool eighths, ULONG64 capacity) {
    walk->words = words;
    walk->count = count;
    walk->next = 0;
    walk->offset = 0;
    walk->unit = unit;
    walk->eighths = eighths;
    walk->capacity = capacity;
}

int ebi_walk_next(ebi_walk* walk, ebi_entry* out) {
    ULONG next_count = 1;
    while (walk->next < walk->count) {
        ULONG64 word = walk->words[walk->next++];
        if (word == 0) {
            walk->next = walk->count;
            return 0;
        }
        UCHAR top = (UCHAR)(word >> 56);
        if (top == LOG_OP_EBI_OFFSET) {
            // The offset lies in bits 0-31 and the next entry's count in bits 32-47.
            ULONG64 units = word & 0xFFFFFFFFull;
            walk->offset = walk->eighths ? units * 8 : units;
            next_count = (ULONG)((word >> 32) & 0xFFFF);
            continue;
        }
        ebi_entry entry;
        entry.offset = walk->offset;
        entry.address = word & LOG_ADDR_MASK;
        if (top >= 1 && top <= 127) {
            entry.opcode = LOG_OP_DATA;
            entry.count = (ULONG)top + 1;
        } else {
            entry.opcode = log_opcode_fold(top);
            entry.count = next_count;
        }
        next_count = 1;
        walk->offset += (ULONG64)walk->unit * entry.count;
        if (entry.offset >= walk->capacity) {
            continue;  // dropped
        }
        if (walk->unit != 0 && entry.offset + (ULONG64)walk->unit * entry.count > walk->capacity) {
            entry.count = (ULONG)((walk->capacity - entry.offset) / walk->unit);
            if (entry.count == 0) {
                continue;
            }
        }
        *out = entry;
        return 1;
    }
    return 0;
}
