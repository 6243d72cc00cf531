// The append context of an append point: the pipeline's append-point head, the block layout it
// writes with, the current erase block, and its three buffer sets (EB openers of the management
// region size, EB footers, and the index records' pieces).
#pragma once

#include "driver/pipeline/ebinfo.h"
#include "driver/pipeline/owners.h"
#include "driver/platform/os.h"
#include "driver/platform/sync.h"

struct nand_dev;
struct velkor_request;

constexpr ULONG APT_OPENER_BUFFERS = 8;
constexpr ULONG APT_FOOTER_BUFFERS = 10;
constexpr ULONG APT_FOOTER_BYTES = 18200;
constexpr ULONG APT_INDEX_BUFFERS = 32;

struct apt_context {
    append_point head;  // first: requests point at it
    char name[16];
    UCHAR kind;
    eb_layout layout;
    ULONG units;        // 4
    USHORT current_eb;  // EB_NONE: none
    ULONG words[2];
    ioc_bufs opener;
    ioc_bufs footer;
    ioc_bufs index;
};

// The buffer size of an index piece: 15 % of the page size + 8191, rounded down to 8 bytes.
ULONG apt_index_buffer_size(ULONG page_size);

// PASSIVE_LEVEL. NULL when any allocation fails (nothing is left allocated).
apt_context* apt_context_create(nand_dev* channel, const char* name, const eb_layout* layout, ULONG units);
// A current block pending a re-erase gets its erase booked first.
void apt_context_free(apt_context* context);

// The take of an erased block for an append point's open step.
struct apt_eb_request {
    USHORT eb;    // the block taken; EB_NONE until one is
    UCHAR taken;  // set once the block is the caller's
};

// PASSIVE_LEVEL. Picks an erased block by wear into `request`: 0; -KPAV_ENOSPC when the erased list
// is empty; -KPAV_EINVAL when the pick names no block. A block that still asks for its erase
// (condition 7) is erased synchronously first (its retirement books the erase and raises the block
// to blank); a failed erase is returned and the block is neither taken nor put back: it did not
// erase.
int apt_take_erased_eb(nand_dev* channel, apt_eb_request* request);

// ---- EB notes written through an append point

struct pav_log;

// Counts the EB notes in flight for one waiter: 1 at rest, one more per note submitted.
struct eb_note_tracker {
    volatile LONG count;
    volatile LONG first_error;  // the first note that failed: its error
    kpav_spinlock lock;
    kpav_cv drained;            // broadcast when the count is back to 1
};
void eb_note_tracker_init(eb_note_tracker* tracker);
// Waits until every note counted is done: 0 or the first note's error. PASSIVE_LEVEL.
int eb_note_tracker_wait(eb_note_tracker* tracker);

// The state an EB note of `eb` records from the LEB's function state: erased 2, writing or
// closed 1, retired 3, else 0.
UCHAR eb_note_state(const pav_log* log, USHORT eb);
// Appends the EB note of `eb` through the data log's append point ("hot") without waiting: the
// tracker counts it until its completion, which records where the note landed as the LEB's note
// address. `value` is kept with the note for the completion (unused by the log itself). 0 when
// submitted, or the error (nothing counted then). Below DISPATCH_LEVEL.
int eb_note_write_async(apt_context* context, USHORT eb, ULONG64 value, eb_note_tracker* tracker);
