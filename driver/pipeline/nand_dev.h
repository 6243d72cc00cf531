// The channel record: one per card, reached from the card record. It carries the request pool,
// the scheduler queues, the flush records, the pipeline's threads and counters, the command ring
// and completion rings, and the tables it calls through: its back end (the card's rings, or a
// test's), its client (the store above it) and its owner (the card's bring-up).
#pragma once

#include "driver/card/pipeline_device.h"
#include "driver/pipeline/channel_backend.h"
#include "driver/pipeline/channel_client.h"
#include "driver/pipeline/channel_owner.h"
#include "driver/pipeline/cq.h"
#include "driver/pipeline/direct_cmds.h"
#include "driver/pipeline/events.h"
#include "driver/pipeline/hw_cmds.h"
#include "driver/pipeline/flush.h"
#include "driver/pipeline/nand_parts.h"
#include "driver/pipeline/nand_timing.h"
#include "driver/pipeline/request.h"
#include "driver/pipeline/sched.h"
#include "driver/platform/mem_stats.h"
#include "driver/platform/os.h"
#include "driver/platform/steps.h"
#include "driver/platform/sync.h"

struct velkor_request;
struct ioc_transfer;
struct eb_table;
struct append_point;

// Channel states: 4 is final until a re-initialisation, which leaves 3.
constexpr ULONG CHANNEL_STATE_INIT = 0;
constexpr ULONG CHANNEL_STATE_RUNNING = 3;
constexpr ULONG CHANNEL_STATE_FAILED = 4;

// Failure reasons the pipeline gives.
constexpr ULONG CHANNEL_FAIL_REINIT = 2048;
constexpr ULONG CHANNEL_FAIL_WATCHDOG = 4096;
constexpr ULONG CHANNEL_FAIL_BAD_COMPLETION = 0x40000;

// software_status bits.
constexpr LONG PIPE_EXIT = 0x1;
constexpr LONG PIPE_WORKER1_EXITED = 0x2;
constexpr LONG PIPE_NEEDS_ISSUE = 0x4;
constexpr LONG PIPE_NEEDS_COMPLETION = 0x8;
constexpr LONG PIPE_SMP_RUNNING = 0x20;  // the card's health poll thread runs
constexpr LONG PIPE_WORKER_AWAKE = 0x40;
constexpr LONG PIPE_POLLER_EXITED = 0x80;

// Failure deferral bits.
constexpr LONG FAIL_DEFER = 0x1;
constexpr LONG FAIL_QUEUED = 0x2;
constexpr LONG FAIL_QUEUED_DUMP = 0x4;

// Command ring size and the credits the issue loop keeps in hand.
constexpr ULONG RING_ENTRIES = 0x20000;
constexpr ULONG RING_DOORBELLS = 512;
constexpr ULONG CREDIT_MIN_DOORBELLS = 11;
constexpr ULONG CREDIT_MIN_ENTRIES = 32769;

// ---- The interface

// Fields, lists, locks and conditions of a new channel; failures are not deferred and the
// threads count as exited; the back end, the client and the bring-up's operations are the
// defaults. The caller fills the geometry and what it replaces of those.
void nand_dev_init(nand_dev* channel, pipeline_device* card);
// The channel's name for messages.
inline const char* channel_name(const nand_dev* channel);
inline ULONG channel_state(const nand_dev* channel);
inline bool channel_failed(const nand_dev* channel);
// Changes the channel state (waking its waiters): true when it changed.
bool channel_set_state(nand_dev* channel, ULONG state);
// The client's operations as they are now (never NULL): the format installs its own while the
// channel runs.
inline const nand_dev_client_ops* channel_client_ops(const nand_dev* channel);
// Installs the client; NULL operations install nand_dev_client_defaults. At most DISPATCH_LEVEL.
void nand_dev_set_client(nand_dev* channel, const nand_dev_client_ops* ops, void* client);

// ---- The records

// What the NAND part's command set gives the cycle generator (controller set-up fills it).
struct nand_part_commands {
    ULONG read_operation;     // operation index of a page read (5 bits)
    ULONG sample_operation;   // operation index of a sample read
    ULONG read_options;       // NAND_READ_ALTERNATE, NAND_READ_SINGLE_PLANE_OPTION
    ULONG program_flags;      // NAND_PROGRAM_ZERO_ROW, NAND_PROGRAM_ZERO_PAIR
    ULONG program_param_a;    // per-die program parameters (NAND window 8 and 12)
    ULONG program_param_b;
    ULONG pages_per_budget_unit;
    ULONG budget_group;       // g of the budget rounding
    ULONG budget_unit;
    UCHAR row_marker_code;    // low four bits of a row-program marker
};
constexpr ULONG NAND_READ_ALTERNATE = 0x1;            // page reads in mode 9
constexpr ULONG NAND_READ_SINGLE_PLANE_OPTION = 0x2;  // single-plane page reads carry bit 27
constexpr ULONG NAND_PROGRAM_ZERO_ROW = 1u << 29;     // a program start carries a zero row address
constexpr ULONG NAND_PROGRAM_ZERO_PAIR = 1u << 30;    // ... after a zero command pair

// Words of a map with one bit per pad of every plane and bank (2 x 30 x 8 bits).
constexpr ULONG NAND_PAD_MAP_WORDS = 15;

// The geometry and switches that controller set-up fills and the pipeline reads.
struct nand_geometry {
    ULONG pads;              // page groups of a row: one segment per bank
    ULONG banks;
    ULONG planes;
    ULONG page_size;         // bytes of one page of a pad
    ULONG rows_per_eb;       // page-group size / pads per group: rows of an erase block
    ULONG stripe_bytes;      // sizes the requests' scatter-gather lists
    ULONG eb_count;
    ULONG packets_per_eb;
    ULONG packet_geometry_a;  // the channel's packet geometry words
    ULONG packet_geometry_b;  // low 16: packet size, high 16: on-media packet size
    ULONG flush_fill_count;
    ULONG read_count_interval;  // every Nth counted page read asks the read-count policy
    UCHAR flushless;            // no flush joining by the builders
    // NAND addressing: a row address is ((block << page_bits) | page >> column_shift) within
    // page_bits + block_bits bits, block = (EB + first_block_offset) x planes + plane (through
    // remap_block when the part has one), with lun_bit added for banks at or above lun_boundary.
    ULONG first_block_offset;
    ULONG page_bits;
    ULONG block_bits;
    ULONG column_shift;
    ULONG lun_boundary;
    ULONG lun_bit;
    ULONG (*remap_block)(nand_dev* channel, ULONG bank, ULONG block);
    ULONG column_unit;      // bytes of one unit of the budget, column and length words
    // The data randomizer: units of randomizer_unit bytes; the first plain_units + 1 units of
    // pad 0 of a seeded block are written plain.
    ULONG randomizer_unit;
    ULONG plain_units;
    UCHAR randomizer_off;   // no run words at all (ECC bypass)
    UCHAR erase_mode;       // 0 one row address, 1 both planes' addresses, 2 per-lane addresses
    UCHAR sequence_slots;   // sequence headers name slots 0 .. sequence_slots - 1
    UCHAR run_words_off;    // no read-buffer run words
    nand_part_commands part;
    // The part's identification (the part table's key) and the NAND mode its features follow.
    UCHAR part_id[NAND_PART_ID_MAX];
    UCHAR part_id_length;
    UCHAR nand_mode;
    // The pads in use: bit planes x pads x bank + pad.
    ULONG pad_mask[NAND_PAD_MAP_WORDS];
    // Published under the channel's kinfo "geom" directory.
    ULONG data_pads;
    ULONG total_pads;        // pads (lanes) of a bank: the width of its lane masks
    ULONG ecc_chunk_size;
    ULONG ecc_chunk_size_raw;
    ULONG ecc_hw_correction;
};


// An issue handler writes a request's commands into the command ring: 0, or a negative errno
// that fails the request. It sets REQ_COMMANDS_WRITTEN when it wrote commands, raises the
// request's pending_* counts for the completions it asked the card for, accounts the bytes of
// writes against the flush records, and lowers the channel's credits for what it used. It runs
// under the issue lock at DISPATCH_LEVEL.
using request_issue_handler = int (*)(nand_dev* channel, velkor_request* request);


// Per-type statistics of a channel.
enum request_stat : ULONG {
    STAT_SUBMITTED = 0,
    STAT_SECOND = 1,
    STAT_LATENCY_US = 2,
    STAT_COMPLETED = 3,
    STAT_BYTES = 4,
    STAT_GROOMER_BYTES = 5,
    STAT_OTHER_BYTES = 6,
    STAT_COUNT = 7,
};

// The ordered requests on the card, in issue order. Its size is fixed when the pool is built (the
// pool's capacity), so both indexes wrap at the same place while the pool grows.
struct outstanding_ring {
    velkor_request* volatile* slots;
    ULONG capacity;
    ULONG insert;    // issue lock
    ULONG complete;  // collect lock
};

struct nand_dev {
    // ---- The card, the state, and the tables the channel calls through
    pipeline_device* card;
    kpav_state state;         // channel state, with its waiters
    volatile LONG state_now;  // the same value, read without the state's lock
    ULONG failure_reason;
    volatile LONG deferral_flags;  // failures held back during set-up and start
    kpav_spinlock deferral_lock;
    const channel_owner_ops* owner = &channel_owner_defaults;  // the card's bring-up above the channel
    const nand_dev_client_ops* client_ops = &nand_dev_client_defaults;
    void* client;
    const char* client_name;  // empty when none
    const channel_backend_ops* backend = &channel_backend_defaults;
    void* backend_context;
    const request_issue_handler* issue_table;  // REQUEST_TYPE_COUNT handlers
    UCHAR ecc_bypass;
    UCHAR init_blocked;
    UCHAR started;
    ULONG setup_flags;
    kpav_step_run setup;  // the channel's records: ring, completion-queue records
    kpav_step_run run;    // the hardware set-up, or the pipeline's start steps
    kpav_step_run start;  // the channel's start on a card

    // ---- Geometry (controller set-up fills it) and the erase-block information
    nand_geometry geometry;
    nand_interface iface;  // the NAND part, its clock and interface timing (nand_timing.h)
    struct readlevel_context* readlevel;  // the read levels (controller/read_levels.h); NULL: none
    ULONG sgl_capacity;
    eb_table* ebinfo;  // driver/pipeline/ebinfo.h; NULL before it exists

    // ---- Requests: the pool, the scheduler's queues, the hold
    request_pool pool;
    mem_stats memory;  // bytes the channel's pool holds, and the most it held
    kpav_spinlock queue_lock;
    kpav_spinlock rr_lock;
    ULONG64 enqueue_seq;
    request_queue queues[QUEUE_COUNT];
    volatile LONG queued;
    LONG hold_count;  // request-queue lock
    ULONG open_chain;
    volatile LONG merged_reads;
    UCHAR prefer_ordered;
    ULONG ordered_in_a_row;
    ULONG reads_in_a_row;
    ULONG no_pick;

    // ---- Issue: the command ring and its credits, the outstanding ring, the flush records, the
    // append points
    kpav_spinlock issue_lock;
    hw_cmds ring;
    volatile LONG ring_producer;  // entries written, modulo the ring size
    ULONG free_doorbells;         // credits: the ring code keeps them, the issue loop reads them
    ULONG free_entries;
    volatile LONG credit_blocked;
    volatile LONG64 issue_seq;
    outstanding_ring outstanding;
    volatile LONG outstanding_count;
    kpav_spinlock collect_lock;  // the outstanding ring's completion side
    flush_records flush;
    ULONG flush_failure_mode;
    void* flush_context;  // the channel's own flush owner (page programs without a buffer set)
    // Per bank: a program start that controller set-up left pending (0 none; else the lane
    // mask), emitted before the bank's next program start or erase.
    ULONG pending_program_start[8];
    volatile LONG64 padding_bytes;  // filler written to finish rows
    // The append points the issue handlers opened (issue lock), and the one of a dedicated log.
    LIST_ENTRY append_points;
    append_point* dedicated_ap;
    direct_readback direct;  // the direct command waiting for its read-back (direct_cmds.h)
    // The management data's rle pass at start: the bytes it programs into the highest mapped
    // block (0: none), and its flag, set while the pass has the controller in rle mode.
    ULONG rle_bytes;
    volatile CHAR rle_active;
    UCHAR controller_flush_writes;  // controller set-up asks for the 4992/5000 writes at start
    UCHAR bad_pad_step;             // controller set-up asks for the bad-pad-mask chains at start
    // The card's power-cut flush: supported (controller set-up), enabled (set-up, and every
    // capacitor event of the environment since).
    UCHAR powercut_flush_supported;
    volatile UCHAR powercut_flush_enabled;

    // ---- Completion: the rings, polling, the hardware events, the waiters
    completion_queue cqs[CQ_MAX_RINGS];
    ULONG cq_count;
    kpav_spinlock poll_lock;  // poll_running, idle_polls
    UCHAR poll_running;
    ULONG idle_polls;
    kpav_spinlock intr_mask_lock;
    volatile LONG unknown_events;
    channel_events events;  // the hardware events' counters and state (events.h)
    kpav_cv completion_cv;  // request_wait
    kpav_spinlock completion_lock;
    volatile LONG64 last_completion_us;
    ULONG64 completion_averages[3];  // passes, completions, average per pass

    // ---- The worker and the poller, the watchdog, the register dumps
    volatile LONG software_status;
    volatile LONG last_state_seen;  // by the worker; -1 before its first pass
    kpav_cv worker_cv;
    kpav_spinlock worker_lock;
    kpav_cv poller_cv;
    kpav_spinlock poller_lock;
    volatile LONG64 watchdog_check_us;
    volatile LONG rescues;

    // ---- Statistics and the kinfo nodes
    volatile LONG64 stats[REQUEST_TYPE_COUNT][STAT_COUNT];
    volatile LONG64 read_totals[3];
    volatile LONG64 read_counts_total;  // counted page reads, for the read-count policy
    struct kinfo_node* kinfo_dir;
    kpav_spinlock stats_lock;
    LONG64 interval_base[REQUEST_TYPE_COUNT][STAT_COUNT];  // the interval statistics' baseline
};

// ---- Inline definitions

inline const char* channel_name(const nand_dev* channel) {
    return pav_card_name(channel != nullptr ? channel->card : nullptr);
}
inline ULONG channel_state(const nand_dev* channel) {
    return (ULONG)ReadAcquire(&channel->state_now);
}
inline bool channel_failed(const nand_dev* channel) {
    return channel_state(channel) == CHANNEL_STATE_FAILED;
}
inline const nand_dev_client_ops* channel_client_ops(const nand_dev* channel) {
    return (const nand_dev_client_ops*)ReadPointerAcquire((PVOID const volatile*)&channel->client_ops);
}
