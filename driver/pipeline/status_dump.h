// The channel's own state in a register dump: the software status word and what the pipeline
// holds (the open flush row and the requests waiting on it, the requests waiting on flushes,
// the queues, per-type totals), the most recent command pairs written to the command ring, and
// the per-processor completion queues.
#pragma once

#include "driver/card/pipeline_device.h"
#include "driver/platform/os.h"

struct nand_dev;

// Into the dump of `printer` (NULL: the log). The lists are walked without the channel's locks
// (a dump may be taken with any of them held, or at a crash): their requests belong to the
// channel's pool, which outlives the dump, and each walk stops after a bounded number of
// entries. `normal_context` 1 locks each per-processor queue while it is printed. Any IRQL.
void dump_software_status(nand_dev* channel, csr_dump_printer* printer, ULONG normal_context);
// The last (at most 8) command pairs of the command ring, oldest first, numbered -n to -1.
void dump_hcq_history(nand_dev* channel, csr_dump_printer* printer);

// Entries of a request's VSR list.
struct vsr_entry {
    ULONG64 flags;
    USHORT first;
    USHORT second;
    ULONG value;
    ULONG chunks_total;
    ULONG chunks_headtrim;
    ULONG chunks_tailtrim;
    ULONG chunks_good;
};
// "pavinf <prefix>    vsrs (<count>)", then a line per entry, into the log.
void dump_vsr_list(ULONG count, const vsr_entry* entries, const char* prefix);
