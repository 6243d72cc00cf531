// Records of the pipeline's callers that requests point at: the head of an append-point context,
// the IOC buffer sets that issue handlers lend to requests, the binary-command buffer and the
// read-recovery record. A flush owner (an append-point context, a buffer set, the channel's
// flush context) begins with its two owner words, which size the flush records its writes take.
#pragma once

#include "driver/platform/os.h"
#include "driver/platform/sgl.h"

struct nand_dev;
struct velkor_request;
struct dma_map;

// Append-point context flags.
constexpr LONG AP_NOT_FLUSH_OWNER = 0x4;  // its writes do not make it the flush owner
constexpr LONG AP_OPEN = 0x8000;
constexpr LONG AP_DEDICATED_LOG = 0x10000;  // the channel's one point of a dedicated log

// An IOC buffer set: fixed DMA-mapped buffers lent to requests by slot.
constexpr LONG IOC_SLOT_BUSY = 0x1;
constexpr LONG IOC_SLOT_MAPPED = 0x2;  // mapped for a transfer, or waited on
constexpr LONG IOC_NOT_FLUSH_OWNER = 0x4;

struct ioc_buf {
    void* data;
    sgl* list;
    dma_map* map;
    volatile LONG* waiter;  // the word a waiter for this slot watches; cleared when it frees
};

struct ioc_bufs {
    LONG state;    // -1 when not in use (owner word A)
    ULONG size;    // bytes per buffer (owner word B)
    ULONG count;
    volatile LONG* flags;  // per buffer: IOC_SLOT_*
    ioc_buf* bufs;
};

// Where an append point writes, kept by the issue handlers under the channel's issue lock. All
// zero is a point with no erase block.
constexpr ULONG AP_FOOTER_ENTRIES = 32;
struct ap_footer_entry {
    ULONG64 sequence;  // of the index record in its erase block
    ULONG units;       // its length, 8-byte units
    ULONG position;    // where it starts, 8-byte units
};
struct ap_write_state {
    LIST_ENTRY link;         // the channel's list of append points (linked while open)
    UCHAR linked;
    UCHAR has_eb;
    UCHAR has_data;          // packets written since the block opened
    USHORT eb;               // PAV_NO_EB when none
    USHORT last_closed;      // the block the last close step closed (PAV_NO_EB: none)
    ULONG64 position;        // next byte of the block
    ULONG64 base;            // where packet slots start (after the opener)
    ULONG64 end;             // where appends stop: the last packet slot's end within the usable
                             // length less the tail reserve, moved back to its row's start
    ULONG64 limit;           // where the closing record goes: the packet slot after the last one
                             // appends may fill, and room for a full index record
    ULONG pad_count;         // pads of a row when the block opened
    ULONG64 packets;         // packets written in the block
    // The index record being filled: slot + 1 (0: none), its entries and where they stand.
    ULONG index_slot;
    ULONG index_entries;
    ULONG index_capacity;
    ULONG64 index_running;   // running position, 8-byte units
    ULONG64 index_sequence;  // records written in the block
    // The footer: slot + 1 (0: none), its list of index records.
    ULONG footer_slot;
    ULONG footer_count;
    UCHAR footer_overflow;   // an index record or entry could not be kept: the index is not usable
    ULONG footer_words;      // entries of the block's list copied into the footer
    ULONG64 footer_running;  // where the list's next entry would continue, 8-byte units
    ap_footer_entry footer[AP_FOOTER_ENTRIES];
};

// The head of the data log's append-point context.
struct append_point {
    ULONG geometry_a;  // copied into its requests (owner word A)
    ULONG geometry_b;  // low 16: packet size, high 16: on-media packet size (owner word B)
    nand_dev* channel;
    volatile LONG flags;       // AP_*
    ioc_bufs* opener_set;      // EB-opener buffers (EBH)
    ioc_bufs* footer_set;      // EB-footer buffers (EBF)
    ioc_bufs* index_set;       // EB-index buffers (EBI), up to 32 slots per request
    ULONG tail_reserve;        // bytes at a block's end kept for its closing index record and footer
    ap_write_state write;
};

inline const ULONG* flush_owner_words(const void* owner) {
    return (const ULONG*)owner;
}

// A DMA transfer of a buffer-set slot, handed to the ring's descriptor writer.
struct ioc_transfer {
    nand_dev* channel;
    velkor_request* request;
    dma_map* map;
    sgl_entry* first;
    ULONG start_offset;  // within the first entry
    ULONG remaining;     // bytes, the last entry shortened by the map's trailing cut
    bool to_host;
};

// A binary command: micro-operations linked from `first` (BINARY_NO_LINK: none).
constexpr ULONG BINARY_NO_LINK = 0xFFFFFFFFu;
constexpr ULONG BINARY_COMMAND_SLOTS = 16;
constexpr ULONG BINARY_COMMAND_MAX_OPS = 7;

struct binary_micro_op {
    UCHAR valid;
    UCHAR reserved[3];
    ULONG link;   // next operation, BINARY_NO_LINK at the end; the request's tag once prepared
    ULONG value;
    ULONG reg;
};

struct binary_command {
    ULONG first;
    ULONG reserved;
    binary_micro_op ops[BINARY_COMMAND_SLOTS];
};

// The head of the read-recovery record of a read.
constexpr ULONG READ_RECOVERY_SCRATCH = 60;
struct read_recovery_record {
    UCHAR scratch[READ_RECOVERY_SCRATCH];  // cleared before every issue
    ULONG state;                           // cleared unless an erased-as-error read is retried
};
