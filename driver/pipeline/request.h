// Hardware requests: every operation that reaches the card's NAND travels as a velkor_request,
// taken from its channel's pool together with an I/O context (tavrin_ioctx), filled as one
// request type, joined with others into a chain that completes as one unit, submitted to the
// channel pipeline and returned to the pool after its completion.
//
// The pool keeps the requests of a channel in a table indexed by their 1-based pool index (the
// tag the card echoes in its completion words, 14 bits wide). Each processor keeps a small cache
// of free requests and contexts in front of the pool's shared lists.
#pragma once

#include "driver/platform/os.h"
#include "driver/platform/sgl.h"
#include "driver/platform/sync.h"

struct nand_dev;
struct tavrin_ioctx;
struct velkor_request;
struct request_queue;
struct completion_queue;
struct lba_range_table;
struct dma_map;
struct hw_reg_item;
struct append_point;
struct ioc_bufs;
struct binary_command;
struct erase_result;
struct media_address;
struct eb_stride;

enum request_type : ULONG {
    REQUEST_UNINITIALIZED = 0,
    REQUEST_ERASE = 1,
    REQUEST_APPEND = 2,
    REQUEST_READ = 3,
    REQUEST_BARRIER = 4,
    REQUEST_PAGE_PROGRAM = 5,
    REQUEST_ADVANCE_AP = 6,
    REQUEST_OPEN_AP = 7,
    REQUEST_CLOSE_AP = 8,
    REQUEST_MASKED_PAGE_READ = 9,
    REQUEST_BINARY_COMMAND = 10,
    REQUEST_SAMPLE_PADS = 11,
    REQUEST_TYPE_COUNT = 12,
};

enum data_op : ULONG {
    DATA_OP_UNINITIALIZED = 0,
    DATA_OP_RAW_DATA = 1,     // "rd-raw-data"
    DATA_OP_PACKETS = 2,
    DATA_OP_ZEROS = 3,
    DATA_OP_RAW_PACKETS = 4,  // "rp-raw-packets"
    DATA_OP_DONT_CARE = 5,
    DATA_OP_CHECK_READ = 6,
    DATA_OP_FILL = 7,         // "fill-op"
    DATA_OP_COUNT = 8,
};

// Request flag bits.
constexpr ULONG64 REQ_FLUSH_WAITER = 1ull << 0;        // waits for the flush record(s) its data fills
constexpr ULONG64 REQ_FAILED = 1ull << 1;              // `fail` holds the error
constexpr ULONG64 REQ_CHAIN_HEAD = 1ull << 3;
constexpr ULONG64 REQ_CHAIN_TAIL = 1ull << 4;
constexpr ULONG64 REQ_CHECK_READ = 1ull << 5;
constexpr ULONG64 REQ_CALLER_FREES = 1ull << 7;        // retirement does not return the chain
constexpr ULONG64 REQ_MIXED_CHAIN = 1ull << 8;         // appends and barriers may share the chain
constexpr ULONG64 REQ_NO_READ_LEVELS_9 = 1ull << 9;
constexpr ULONG64 REQ_WAITER = 1ull << 10;             // a synchronous caller waits in request_wait
constexpr ULONG64 REQ_REQUEUED = 1ull << 11;           // front of its read queue
constexpr ULONG64 REQ_SAMPLE_12 = 1ull << 12;
constexpr ULONG64 REQ_GROOMER = 1ull << 15;
constexpr ULONG64 REQ_READ_LEVELS = 1ull << 16;        // read-level overrides are set
constexpr ULONG64 REQ_SAMPLE_18 = 1ull << 18;
constexpr ULONG64 REQ_NO_READ_COUNT = 1ull << 20;
constexpr ULONG64 REQ_LEVEL_RETRY = 1ull << 23;        // read-level retry: the retry's levels replace the block's
constexpr ULONG64 REQ_FLUSH_JOIN = 1ull << 24;         // joins the channel's pending flush when issued
constexpr ULONG64 REQ_BUFFER_RELEASED = 1ull << 25;    // on the head: the client's buffer notice runs
constexpr ULONG64 REQ_HIGH_PRIORITY = 1ull << 27;
constexpr ULONG64 REQ_ERASED_IS_ERROR = 1ull << 29;    // a read of erased media reports PAV_ERASED_MEDIA
constexpr ULONG64 REQ_PREPARE_ERROR = 1ull << 30;
constexpr ULONG64 REQ_FIXED_RETRY_WORD = 1ull << 31;   // the retry's levels are a family's fixed word
constexpr ULONG64 REQ_NO_FLUSH_FILL = 1ull << 32;
constexpr ULONG64 REQ_DMA_TO_HOST = 1ull << 33;
constexpr ULONG64 REQ_DMA_TO_DEVICE = 1ull << 34;
constexpr ULONG64 REQ_OUTSTANDING = 1ull << 35;
constexpr ULONG64 REQ_QUEUED = 1ull << 37;
constexpr ULONG64 REQ_EBH_SLOT = 1ull << 38;
constexpr ULONG64 REQ_EBF_SLOT = 1ull << 39;
constexpr ULONG64 REQ_EBI_SLOTS = 1ull << 40;
constexpr ULONG64 REQ_RETRY = 1ull << 41;
constexpr ULONG64 REQ_COMMANDS_WRITTEN = 1ull << 42;
constexpr ULONG64 REQ_WEAK_LANES = 1ull << 43;         // a lane read with corrected errors
constexpr ULONG64 REQ_MAGIC_RETRY = 1ull << 44;        // a packet header mismatched: read once more
constexpr ULONG64 REQ_PREPARE_CLEARS = 0x3FE00000000ull;  // bits 33-41, cleared before preparation

// Status values beside the negated errno set.
constexpr int PAV_ERASED_MEDIA = -1028;
constexpr int PAV_UNCORRECTABLE = -1024;

constexpr USHORT PAV_NO_EB = 65535;
constexpr ULONG REQUEST_INLINE_BYTES = 64;
// The card echoes a request's pool index in 14 bits: the pool never holds more.
constexpr ULONG REQUEST_TAG_LIMIT = 16383;
constexpr ULONG REQUEST_CPU_CACHE_MAX = 128;
constexpr ULONG64 REQUEST_CACHE_TRIM_US = 5000000;

// ---- The interface

// The two object caches, once per driver. 0 or -KPAV_ENOMEM (logged).
int request_caches_create();
void request_caches_destroy();

// Builds the channel's pool: `min_requests` pairs, growing to `max_requests` (at most 16383, the
// tag limit). 0 or -KPAV_ENOMEM ("<dev>: Inadequate memory to allocate %u requests. ...").
// PASSIVE_LEVEL.
int request_pool_init(nand_dev* channel);
// Frees every request and context; every one must be back in the pool. PASSIVE_LEVEL.
void request_pool_free(nand_dev* channel);
// Returns the processor's cached objects that waited there more than 5 s.
void request_pool_trim_percpu(nand_dev* channel, ULONG cpu);

// A context with its request, reset as a one-request chain; NULL on a failed channel or, without
// REQUEST_ALLOC_WAIT, an empty pool. With it the caller may sleep (below DISPATCH_LEVEL).
constexpr ULONG REQUEST_ALLOC_WAIT = 0x1;
tavrin_ioctx* request_alloc(nand_dev* channel, ULONG flags);
// One more request without a context, joined to the chain of *head_ref (it becomes the head
// when *head_ref is NULL). Never waits or grows the pool. At most DISPATCH_LEVEL.
velkor_request* request_alloc_chained(nand_dev* channel, velkor_request** head_ref);
// Returns a request (and its context). At most DISPATCH_LEVEL.
void request_free(velkor_request* request);
// Returns every request of the chain of `head`.
void request_free_list(velkor_request* head);
// The request of a pool index; NULL outside the table.
velkor_request* request_of_tag(nand_dev* channel, ULONG tag);

void request_join_group(nand_dev* channel, velkor_request* request, velkor_request* head);
void request_reset(velkor_request* request, velkor_request* head);
// Marks head and tail and checks the mix of types: 0, -KPAV_EIO on a failed channel, -KPAV_EINVAL.
int request_chain_validate(velkor_request* head);
// Waits until the context's chain completed. Below DISPATCH_LEVEL.
void request_wait(tavrin_ioctx* ioctx);

ULONG request_data_length(const velkor_request* request);
void request_media_address(media_address* out, const velkor_request* request);
// Maps a kernel buffer into *list, creating the list (one entry per page spanned) when the
// caller has none. 0, -KPAV_ENOMEM or the mapping error.
int sgl_map_buffer(sgl** list, const void* buffer, ULONG length);
// The last stride position start + k x step before the erase block's usable length less the
// reserve; start when the step is 0 or nothing fits.
ULONG64 eb_stride_limit(nand_dev* channel, const eb_stride* stride, USHORT eb);

// Printing: one request, and the other members of its chain as "related:".
void request_print_detail(const velkor_request* request, const char* prefix, bool print_sgl, int sgl_option,
                          bool post);
void request_print_chain(const velkor_request* request);
// The diagnostics' printers of a hardware request.
void dump_request(const velkor_request* request, const char* prefix);
void dump_request_related(const velkor_request* request);
const char* request_type_name(ULONG type);
const char* data_op_name(ULONG op);

// ---- The records

// A media address: byte offset within the erase block, and the erase block.
struct media_address {
    ULONG64 offset;
    USHORT eb;
    USHORT reserved[3];
};
static_assert(sizeof(media_address) == 16);

// Where an append's data landed: up to three runs of {erase block, logical packet} with their
// packet counts. The metadata-block layer's erase-block change callback reads it.
struct pav_log_vector {
    USHORT eb;
    ULONG lpkt;
};
struct pav_addr_block {
    ULONG count;  // at most 3
    pav_log_vector vectors[3];
    ULONG packet_counts[3];
};

// The stride of positions that masked page reads and stride limits walk in an erase block.
struct eb_stride {
    ULONG start;
    ULONG reserve;
    USHORT step;
};

// Completion of a chain: (head, bytes moved, latency in microseconds).
using request_done_fn = void (*)(velkor_request* head, ULONG64 bytes, ULONG64 latency_us);

union request_params {
    struct {
        USHORT eb;
        erase_result* result;  // zeroed result record of the synchronous builder, or NULL
    } erase;
    struct {
        append_point* ap;
        UCHAR opcode;
        ULONG64 magic;
        ULONG size;
        pav_addr_block lvec;
    } append;
    struct {
        UCHAR packet_kind;  // 144 user sectors, 160 system packets
        ULONG64 lba;
        ULONG data_length;
        ULONG transfer_length;
        ULONG64 packet_count;
        media_address address;
        void* recovery;  // read-recovery record
    } read;
    struct {
        append_point* ap;  // barrier, open append point
    } barrier;
    struct {
        append_point* ap;
        USHORT eb;
        UCHAR closed;
    } advance;
    struct {
        append_point* ap;
        USHORT eb;
    } close;
    struct {
        ULONG size;
        USHORT eb;
        USHORT page;
        ioc_bufs* buffer_set;  // the opener's buffer set, or NULL
    } page_program;
    struct {
        ULONG size;
        USHORT eb;
        USHORT page;
    } masked_read;
    struct {
        ULONG count;  // read-backs expected
        binary_command* buffer;  // the micro-operations, when the command has them
        const hw_reg_item* items;  // the port writes issued, as they stand
        ULONG item_count;
        ULONG* readback;  // the read-back payload, readback_words words; NULL: none wanted
        ULONG readback_words;
        volatile LONG received;
    } binary;
    struct {
        USHORT eb;
        ULONG page;
        ULONG page_count;
    } sample;
};

struct velkor_request {
    // ---- Identity: the pool's, fixed while the request lives
    nand_dev* channel;
    tavrin_ioctx* ioctx;  // NULL for the non-head members of a chain and while free
    USHORT pool_index;    // 1-based; the request's tag
    dma_map* dma_record;  // the request's own mapping record, created with it

    // ---- What the request is (its builder's)
    ULONG type;           // request_type
    ULONG data_op;
    ULONG64 flags;
    ULONG geometry_a;
    ULONG geometry_b;     // low 16 bits: packet size; high 16: on-media packet size
    request_params params;
    UCHAR inline_data[REQUEST_INLINE_BYTES];  // first word: time put on a processor's cache
    sgl* list;
    ULONG readlevel_override[8];  // per bank, the read-threshold parameter word; all ones: none
    // A read-level retry: the banks (dies) it covers, the parameter word of its last step and
    // the levels it tried per die and pad.
    ULONG retry_die_mask;
    ULONG retry_word;
    CHAR retry_levels[8][32];
    void* sample_buffer;
    request_done_fn done_fn;
    void* done_arg;
    ULONG64 range_lba;    // builders: the notice's callback; data writes: their first sector
    ULONG64 range_count;  // builders: the notice's argument; data writes: their sectors

    // ---- The chain it belongs to
    LIST_ENTRY chain_link;  // the chain's circular list; the free and cache lists while free
    velkor_request* chain_head;
    ULONG chain_count;         // in the head
    volatile LONG chain_fail;  // in the head: the chain's first error
    volatile LONG pending;     // in the head: members not retired
    volatile LONG queued;      // in the head: members on a scheduler queue
    LONG fail;

    // ---- Preparation and the submit
    dma_map* dma_map_in_use;
    ULONG flushes_needed;
    void* flush_owner;  // the append point or buffer set whose flush records the request fills
    ULONG read_class;   // 0 ordered; 1 read queue with per-erase-block read counting
    ULONG pad_index;
    ULONG merge_state;
    ULONG64 submit_us;
    lba_range_table* range_table;  // data writes: the table they are entered in at enqueue
    LIST_ENTRY range_link;

    // ---- The scheduler's queues
    ULONG64 seq;
    request_queue* queue;
    LIST_ENTRY queue_link;  // a queue, the Fail Q, a flush record's waiting list, a completed list

    // ---- Issue: the commands written for it
    ULONG issue_word;
    ULONG issue_pos;
    ULONG issue_end;
    UCHAR sequence_open;   // a read sequence of the request was framed and not yet ended
    UCHAR sequence_runs;   // read-buffer runs of the open sequence
    USHORT page_reads;
    USHORT pad_reads;
    USHORT plane_reads;
    volatile LONG64 issue_us;
    volatile LONG64 issue_seq;
    LONG64 ebh_slot;  // masks of the opener and footer slots held (bits 38, 39)
    LONG64 ebf_slot;
    ULONG ebi_mask;
    completion_queue* completion_ring;

    // ---- Completion: what the card still owes and what its words reported
    // Completions still owed by the card; the issue handlers raise them, the decoder lowers them.
    volatile LONG pending_dma;     // DMA-done words
    volatile LONG pending_bank;    // bank status words
    volatile LONG pending_report;  // report-done words
    volatile LONG pending_stats;   // page-statistics records
    volatile LONG cmd_done;
    // 1 from issue until one path takes the request for retirement: the card's completion, the
    // ordered collection, or the failure of everything. Whoever exchanges it to 0 retires it.
    volatile LONG retire_claim;
    ULONG erased_hint;
    ULONG bad_pad_map[15];  // pads reported bad for this request's rows
    // Lanes of a read's bank (bit = lane) that read uncorrectable, that read with corrected
    // errors, and the last lane that failed: what read recovery starts from.
    ULONG failed_lanes;
    ULONG weak_lanes;
    ULONG failed_lane;
    ULONG64 retry_state[3];

    // ---- Flush records it waits for: sequences [flush_first_seq, flush_last_seq]
    volatile LONG flush_waiting;
    ULONG flush_first_seq;
    ULONG flush_last_seq;
    LIST_ENTRY flush_link;

    // ---- Retirement
    ULONG64 bytes_done;
    USHORT eb_notice_count;
    USHORT eb_notices[3];  // erase blocks reported to the erase-block layer at retirement
};

// The I/O context. The request pointer comes first: callers reach the request through it.
struct tavrin_ioctx {
    velkor_request* request;
    nand_dev* channel;
    sgl* list;           // owned; capacity as the channel's sgl capacity
    volatile LONG done;  // bit 0: the chain completed
    LIST_ENTRY free_link;
    ULONG cpu;           // completion runs on this processor's cpu_wq thread
    ULONG64 cleared;
    ULONG64 cached_us;   // time put on a processor's cache
};

constexpr LONG IOCTX_DONE = 0x1;

// A DMA mapping record: a byte range of a request's scatter-gather list.
struct dma_map {
    ULONG offset;
    ULONG total_bytes;
    ULONG entries;
    ULONG reserved;
    sgl_entry* first;
    sgl_entry* last;
};

// One processor's cache of free requests and contexts. Only its processor uses it; the lock is
// uncontended then, and keeps the record sound where a thread is not alone on its processor.
struct request_cpu_cache {
    kpav_spinlock lock;
    LIST_ENTRY requests;
    ULONG request_count;
    LIST_ENTRY contexts;
    ULONG context_count;
};

struct request_pool {
    LIST_ENTRY free_contexts;
    LIST_ENTRY free_requests;
    volatile LONG free_context_count;
    volatile LONG free_request_count;
    ULONG lowest_free;
    ULONG waiter;
    kpav_cv cv;
    kpav_spinlock lock;
    request_cpu_cache* caches;  // one per possible processor
    ULONG cache_count;
    velkor_request** table;     // capacity + 1 slots, indexed by pool index
    USHORT total;               // pairs created
    ULONG capacity;             // pairs the pool may grow to: max_requests within the tag limit
};

// The chain's members in order, head first.
inline velkor_request* request_next(const velkor_request* member) {
    return CONTAINING_RECORD(member->chain_link.Flink, velkor_request, chain_link);
}
