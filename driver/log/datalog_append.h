// The data log's appends: its clients put packets on media through the append point "hot", and
// learn from each append's completion where the card wrote them (log addresses of up to three
// runs: an append may cross into the next LEB, and at most twice). The log opens and closes the
// point, closes LEBs behind it, and keeps its written position and LEB records in step with
// what the card reports.
//
// The point keeps at each block's end the log's tail reserve, where the close step writes the
// block's closing record (at the stride limit, where the block scan reads it), and before it
// room for the closing index record.
#pragma once

#include "driver/platform/os.h"

struct pav_log;

// Where a run of an append landed: its LEB, the packet offset in it, the packets and the log
// address of the first.
struct datalog_run {
    USHORT leb;
    ULONG offset;
    ULONG packets;
    ULONG64 address;
};

// One append, owned by the caller until its completion has run.
struct datalog_append_req {
    // Read at submission.
    UCHAR kind;           // the packets' opcode: 0x90-0x9F host data, 0xA0-0xAF system, 0x8E metadata
    ULONG64 address;      // 56 bits: the first packet's (a sector, or a system address); the rest follow
    ULONG count;          // packets
    const void* packets;  // count x the log's sector size bytes, reachable by the card's DMA
    // Runs once, on a completion thread (at most DISPATCH_LEVEL), after the fields below are set.
    void (*done)(datalog_append_req* request);
    void* context;        // the caller's
    // Set before `done` runs.
    pav_log* log;
    int status;           // 0, or the append's error (the runs are then not to be trusted)
    ULONG run_count;      // 1 to 3
    datalog_run runs[3];
};

// Opens the append point: its tail reserve set, the open step submitted. PASSIVE_LEVEL. 0, or
// the step's error; -KPAV_EINVAL without an append point.
int datalog_open_append_point(pav_log* log);

// Closes the append point: the open LEB gets its closing index record and is closed, and the
// written position reaches its end. PASSIVE_LEVEL. 0 also when the point was not open.
int datalog_close_append_point(pav_log* log);

// An advance step past `leb`: when the point was writing there, the LEB is closed (and the
// written position reaches its end). PASSIVE_LEVEL. 0, or the step's error.
int datalog_advance_and_close(pav_log* log, USHORT leb);

// Appends request->count packets of request->kind through the open append point.
// Below DISPATCH_LEVEL (the submit may wait for a request). 0 when submitted: `done` runs later.
// Otherwise `done` does not run: -KPAV_EINVAL for a point that is not open, no packets, a kind
// below 0x80 or a NULL buffer or completion; -KPAV_ENOMEM without a request; -KPAV_EFAULT when the
// buffer cannot be mapped.
int datalog_append(pav_log* log, datalog_append_req* request);

// The room an append point keeps at a block's end for the log: the tail reserve.
ULONG datalog_append_tail_reserve(const pav_log* log);
