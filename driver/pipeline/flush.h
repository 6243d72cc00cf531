// Flush records: one tracks an open pad row of an erase block from its first byte until the
// card reports the row programmed, together with the requests that must not complete before
// that. The issue handlers account every byte they send against the channel's open record; the
// record is issued when its row is full or when the pipeline asks for a flush, and completions
// are taken strictly in issue order even when the card reports rows out of order.
//
// A request that waits for rows remembers the range of row sequences it depends on; it is
// released when every row up to the last of them completed, and fails when one of them saw bad
// pads and the pad-error rule selects it.
#pragma once

#include "driver/platform/os.h"
#include "driver/platform/sync.h"

struct nand_dev;
struct velkor_request;

constexpr ULONG FLUSH_RECORD_COUNT = 4096;
constexpr ULONG FLUSH_PAD_WORDS = 15;  // 480 pads

struct flush_record {
    ULONG index;
    LIST_ENTRY free_link;
    USHORT eb;
    USHORT pad;
    ULONG capacity;         // bytes the row holds on this pad
    ULONG64 media_offset;   // offset of the row's start in the erase block
    ULONG bytes;            // accounted so far
    volatile UCHAR issued;
    UCHAR bad_pads_seen;
    ULONG bank;
    ULONG64 issue_time;     // 100 ns units of interrupt time
    ULONG bad_pad_map[FLUSH_PAD_WORDS];
    ULONG64 bad_pad_time;
    ULONG flag;             // the opening request's bit 20
    LIST_ENTRY waiting;     // reads merged into this row: back to the scheduler at issue
    UCHAR flush_requested;
    ULONG sequence;         // given at issue
    LIST_ENTRY order_link;  // in the list of rows completed out of order
};

struct flush_records {
    flush_record* pool;  // FLUSH_RECORD_COUNT records
    kpav_spinlock lock;  // free list, out-of-order list, waiter list
    LIST_ENTRY free_list;
    volatile LONG free_count;
    flush_record* current;    // the open record (issue lock)
    volatile LONG issued;     // issued and not completed
    ULONG next_sequence;      // given to the next record issued (issue lock)
    volatile LONG expected;   // the sequence that completes next
    LIST_ENTRY out_of_order;  // by sequence
    LIST_ENTRY waiters;       // requests waiting for rows, through flush_link
    volatile LONG64 flushes_issued;
    volatile LONG64 pad_error_events;
};

// A place in an erase block, moved forward by byte accounting.
struct flush_position {
    USHORT eb;
    ULONG64 offset;
};

int flush_records_alloc(nand_dev* channel);
void flush_records_free(nand_dev* channel);

// Under the issue lock: the next free record for the row at `position`, with its row program
// appended; NULL with "out of flush records." (message 12305) when none is free.
flush_record* flush_take_record(nand_dev* channel, const flush_position* position, ULONG flag);
// Under the issue lock: accounts `count` bytes sent for `request` (NULL: filler) from
// *position on, issuing each row that fills. A request that cannot get a record fails with
// -KPAV_ENOMEM.
void flush_account_bytes(nand_dev* channel, flush_position* position, velkor_request* request, ULONG64 count);
// Under the issue lock: issues the open record.
void flush_issue(nand_dev* channel);
// Under the issue lock: makes `request` wait for the open record (once linked; the range of
// rows it waits for grows with each attach).
void flush_attach_waiter(nand_dev* channel, velkor_request* request);
// Asks for the open record to be issued soon.
void flush_request(nand_dev* channel);
// Under the issue lock: issues the open record when a flush was asked for and no ordered request
// is queued (the row is padded by the back end when it can).
void flush_issue_requested(nand_dev* channel);
// The card reports row `index` programmed. At most DISPATCH_LEVEL. A record that is not issued,
// or an index out of range, fails the channel.
void flush_complete(nand_dev* channel, ULONG index);
// The card reports bad pads on row `index` (pad bitmap words).
void flush_note_bad_pads(nand_dev* channel, ULONG index, const ULONG* map, ULONG words);
// Waits (1 ms steps, kicking the pipeline) until no issued record remains or the channel fails;
// after 300 s it fails the channel (reason 4096). Below DISPATCH_LEVEL.
void flush_wait_all(nand_dev* channel);
// Moves the reads waiting on every record to `list` (through queue_link) and forgets every
// request that waits for a row. The issue lock is held.
ULONG flush_drain_all(nand_dev* channel, LIST_ENTRY* list);
// The oldest issued record, or NULL (issue lock not needed; for the watchdog).
flush_record* flush_oldest_issued(nand_dev* channel);
// Whether the pad-error rule fails a request that waited on a row with bad pads: erases, and
// page programs that wait for their rows and join the flush.
bool flush_pad_error_fails(const velkor_request* request);
