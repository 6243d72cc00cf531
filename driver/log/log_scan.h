// The scan of an LEB chain through each erase block's index: the entries an index lists go to the
// scan's callbacks by kind (data packets, EB notes, the discard, LEB-list and one-packet notes);
// an LEB whose index cannot be used is walked entry by entry through the log reader instead.
#pragma once

#include "driver/platform/os.h"

struct pav_log;
struct nand_dev;
struct log_file;
struct eb_scan_context;
struct eb_note;
struct log_scan;

// The owner's callbacks (NULL: the entries are passed over). Each returns 0 or an error that
// ends the scan.
struct log_scan_ops {
    // `count` consecutive packets from packet index `packet` of the LEB, addresses from `address`.
    int (*data_packets)(log_scan* scan, USHORT leb, ULONG packet, ULONG64 address, ULONG count);
    int (*eb_note)(log_scan* scan, USHORT leb, const eb_note* note);
    int (*discard_note)(log_scan* scan, USHORT leb, const UCHAR* note, ULONG bytes);
    int (*leb_list_note)(log_scan* scan, USHORT leb, const UCHAR* note, ULONG bytes);
    int (*system_note)(log_scan* scan, USHORT leb, const UCHAR* note, ULONG bytes);
    // The rebuild's direct path for data packets below 2^48 (used when the scan asks for it).
    int (*rebuild_run)(log_scan* scan, USHORT leb, ULONG packet, ULONG64 address, ULONG count);
    // The entry-by-entry walk of an LEB the reader stands at byte 0 of (-KPAV_ENOENT counts as the
    // end).
    int (*walk_leb)(log_scan* scan, log_file* reader, USHORT leb);
};

struct log_scan {
    pav_log* log;
    const log_scan_ops* ops;
    void* owner;
    eb_scan_context* eb_scan;  // the index reads
    log_file* reader;          // the walk of LEBs without a usable index
    UCHAR* note;               // one packet: the notes read for the callbacks
    ULONG lebs_by_index;       // LEBs scanned through their index
    ULONG lebs_walked;
};

// PASSIVE_LEVEL. 0 or -KPAV_ENOMEM.
int log_scan_init(log_scan* scan, pav_log* log, const log_scan_ops* ops, void* owner);
void log_scan_exit(log_scan* scan);

// Scans the chain from `first_leb` through `end_leb` (65535: to the chain's end). `rebuild`:
// data packets with addresses below 2^48 of LEBs without a discard range go to rebuild_run.
// 0 or the first error.
int ebi_scan_chain(log_scan* scan, USHORT first_leb, USHORT end_leb, bool rebuild);
// The entries of one LEB's ebi list (`count` words).
int ebi_scan_leb(log_scan* scan, USHORT leb, const ULONG64* ebi, ULONG count, bool eighths, bool rebuild);
// An entry without the packets of the LEB's discard range, then dispatched.
int ebi_entry_clip(log_scan* scan, USHORT leb, ULONG64 offset, UCHAR opcode, ULONG64 address, ULONG count);
// An entry by its opcode (and a system packet by its address): -KPAV_EINVAL for an opcode an index
// never holds.
int ebi_entry_dispatch(log_scan* scan, USHORT leb, ULONG64 offset, UCHAR opcode, ULONG64 address, ULONG count);
