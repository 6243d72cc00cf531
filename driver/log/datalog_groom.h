// What the data log does for the groomer at the edges: the completion of each write that moves
// valid data (the moved sectors recorded at their new place through the store above the log, the
// move's batch counted down, the groomer woken when a batch is done), and the status record the
// control interface reads while the groomer runs. The groomer itself grows around the records
// below.
#pragma once

#include "driver/platform/os.h"
#include "driver/platform/sync.h"

struct pav_log;
struct pav_addr_block;
struct velkor_request;

// Where the groomer waits for its batches; woken under its lock when a batch is done and it asked
// to be (its wake condition).
struct groom_waiters {
    kpav_spinlock lock;
    kpav_cv wake;
    volatile LONG waiting;  // the wake condition: the groomer waits for batches to finish
    volatile LONG woken;    // wake-ups sent
};
void groom_waiters_init(groom_waiters* waiters);

// A batch of moves in flight: a bit per move, and the moves still pending.
constexpr ULONG GROOM_BATCH_MOVES = 256;
struct groom_batch {
    volatile LONG64 bits[GROOM_BATCH_MOVES / 64];
    volatile LONG pending;
    groom_waiters* groomer;
};

// One move: the sectors [first_key, first_key + count) rewritten by one write.
struct groom_move {
    pav_log* log;
    groom_batch* batch;
    ULONG index;      // its bit in the batch
    ULONG64 first_key;
    ULONG64 count;
    int status;       // set by the completion: the write's, or the recording's error
};

// Starts a move of the batch: its bit set, the batch's pending count raised. Any IRQL up to
// DISPATCH_LEVEL.
void groom_move_start(groom_move* move);
// The completion of a move's write that landed at `placement` (its status 0), or failed
// (`status`): the sectors are recorded at their new place unless the write failed; the move's
// bit is cleared and the batch counted down; the last move of a batch wakes a waiting groomer.
// Below DISPATCH_LEVEL (the forward map is updated).
void groom_move_complete(groom_move* move, int status, const pav_addr_block* placement);
// The same as a write's completion (request_done_fn): the move is the head's done_arg, the
// placement the append's.
void groom_move_write_done(velkor_request* head, ULONG64 bytes, ULONG64 latency_us);

// The groomer's figures the status reads.
struct groomer_status_source {
    ULONG state;          // 2: running
    UCHAR enabled;
    ULONG phase;
    ULONG64 reserve;      // packets the groomer keeps for itself
    ULONG64 second;       // its second value (added to the room)
    ULONG counters[6];
};
constexpr ULONG GROOMER_RUNNING = 2;

// The control interface's log status (48 bytes, zero unless the groomer runs).
#pragma pack(push, 1)
struct datalog_status {
    ULONG groomer_enabled;
    ULONG code;            // from the groomer's phase
    ULONG64 metadata_room; // packets a metadata save needs, with the groomer's reserve
    ULONG64 metadata_room_second;  // the same plus the groomer's second value
    ULONG counters[6];
};
#pragma pack(pop)
static_assert(sizeof(datalog_status) == 48);

// The status code of a groomer phase: 1 -> 0, 5 -> 1, 2 -> 5, 3 -> 3, 4 -> 7, others 8.
ULONG groomer_phase_code(ULONG phase);
// Fills `out` (zeroed first) while the groomer runs: 0. Any IRQL up to DISPATCH_LEVEL.
int datalog_get_status(const pav_log* log, datalog_status* out, const groomer_status_source* groomer);
