// The log reader: streams the entries of an LEB chain forwards or backwards through four read
// buffers, each holding one read unit (one segment of the erase block: one bank's part of a page
// row), read asynchronously one unit ahead of the next.
//
// Forward, a reader that stands at byte 0 of an LEB checks the LEB's opening (its EB header and
// the EB opener at byte 96) and then skips the head reserve H; 0xFF ends the LEB, 0xF3 and 0xF7
// fill up to the next packet boundary. Backward, units are read from the end of the LEB's
// packet slots (H + packets x P) down to H, and then from the end of the previous LEB.
//
// Errors: after a read error every further step returns -KPAV_EIO until the reader is opened again;
// the end of the chain, an exhausted LEB limit or no LEB give -KPAV_ENOENT. Forward, an entry that
// runs on into an erased unit of its LEB was cut by a power loss: it ends the LEB like 0xFF. A
// chain that returns to an LEB it walked, or an entry that runs past the end of its LEB, gives
// -KPAV_EINVAL.
#pragma once

#include "driver/pipeline/request.h"
#include "driver/platform/os.h"
#include "driver/platform/sync.h"

struct pav_log;

constexpr ULONG LOG_FILE_BUFFERS = 4;
constexpr ULONG LOG_FILE_FORWARD = 0;
constexpr ULONG LOG_FILE_BACKWARD = 1;
constexpr ULONG LOG_FILE_NO_LIMIT = 0xFFFFFFFFu;
// Reading across LEBs pauses the processor once this often.
constexpr ULONG64 LOG_FILE_PAUSE_US = 2000000;

// A place in the log: the LEB and the byte address within its erase block.
struct log_file_pos {
    USHORT leb;
    ULONG64 byte;
};

// Where a buffer's unit lies: its LEB, its index in the erase block and its first byte.
struct log_unit_addr {
    USHORT leb;
    USHORT unit;
    ULONG64 byte;
};

struct log_file;

struct log_file_buffer {
    UCHAR* data;             // one unit
    log_unit_addr naddr;
    media_address paddr;     // the read's media address
    ULONG size;              // bytes of the unit
    ULONG low;               // bytes of the unit that lie before the LEB's data (backward)
    ULONG high;              // bytes of the unit up to the end of the LEB's packet slots (backward)
    LONG status;
    UCHAR erased;            // the unit read as erased (its data all ones)
    volatile LONG ready;
    kpav_cv cv;
    kpav_spinlock lock;
    log_file* reader;
};

struct log_file {
    pav_log* log;
    ULONG dir;
    ULONG stop_count;        // further LEBs that may be entered; LOG_FILE_NO_LIMIT: no limit
    ULONG error_count;
    ULONG64 stamp_us;
    ULONG last_opcode;
    char position[128];
    ULONG cur_offset;        // in the current buffer
    ULONG cur_buffer;
    log_file_buffer buffers[LOG_FILE_BUFFERS];
    // The unit the next fill reads, the LEB the reader stands in, and the LEBs entered since
    // the reader was opened (a chain longer than the log's LEBs loops).
    log_unit_addr next;
    USHORT cur_leb;
    UCHAR at_end;
    ULONG leb_moves;
    ULONG unit_capacity;     // bytes of each buffer
    UCHAR* scratch;          // the opening check's first packet, a backward copy's next unit
};

// PASSIVE_LEVEL. 0 or -KPAV_ENOMEM.
int log_file_create(log_file** out, pav_log* log);
// Waits for the reads in flight and frees the reader.
void log_file_destroy(log_file* reader);

// Opens the reader at `position` (NULL: forward at byte 0 of the head LEB, backward at the end of
// the append LEB's packet slots) reading in `dir`, entering at most `stop_count` further LEBs.
// 0, -KPAV_ENOENT (no LEB), -KPAV_EINVAL (a position outside the LEB), or the first unit's read
// error.
int log_file_open(log_file* reader, const log_file_pos* position, ULONG dir, ULONG stop_count);
// The opcode at the reader's place, the classes 0x9x and 0xAx folded to 0x90 and 0xA0.
int log_file_peek_opcode(log_file* reader, UCHAR* out);
// The next entry that is not space (forward readers): 0 with its opcode, -KPAV_ENOENT at the end,
// -KPAV_EIO after a read error, -KPAV_EINVAL for an LEB whose opening is invalid.
int log_file_next_entry(log_file* reader, UCHAR* out_opcode);
// Skips the entry at the reader's place ("unknown entry" and -KPAV_EINVAL for an opcode without
// length).
int log_entry_skip(log_file* reader, UCHAR opcode);
// Moves `bytes` in the reading direction.
int log_file_skip(log_file* reader, ULONG64 bytes);
// Moves `bytes` against the reading direction, within the current unit: 0 or -KPAV_EINVAL.
int log_file_back(log_file* reader, ULONG bytes);
// Copies `bytes` from the reader's place on (towards the end of the LEB) without moving it.
int log_file_copy_out(log_file* reader, void* dest, ULONG bytes);
// The reader's place.
void log_file_where(const log_file* reader, log_file_pos* out);

void log_file_dump(log_file* reader);
// Prints the current unit's bytes [from, to), 8 a line.
void log_file_dump_bytes(log_file* reader, ULONG from, ULONG to);

// The data end of an LEB: the end of its packet slots, H + packets x P.
ULONG64 log_leb_data_end(const pav_log* log, USHORT leb);
