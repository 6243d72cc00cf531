// The erase-block scan: an erase block's index record (the closing entry, opcode 0x85, at the
// block's stride limit) names up to 32 records of the block, each read into a slot of the scan
// context by a chunked packet read; a record may name the next one of its slot, which is read
// when it arrives. Reads complete on the pipeline's threads; the scanning thread waits until
// every read is back.
#pragma once

#include "driver/platform/os.h"
#include "driver/platform/sync.h"

struct nand_dev;
struct velkor_request;

constexpr UCHAR EB_INDEX_OPCODE = 0x85;
constexpr ULONG EB_INDEX_CHECK_BASE = 0xFAF60000u;
constexpr ULONG EB_INDEX_ENTRIES = 32;
constexpr ULONG EB_INDEX_HEAD_BYTES = 24 + EB_INDEX_ENTRIES * 8;
constexpr ULONG EB_INDEX_KIND_EIGHTHS = 2;  // offsets count in units of 8 bytes
constexpr ULONG EB_INDEX_UNUSABLE = 0x1;    // flags bit 0

#pragma pack(push, 1)
struct eb_index_entry {
    USHORT slot;
    USHORT sectors;
    ULONG offset;  // bytes, or eighths in kind 2; 0: none
};
// The head of the index record as it lies on media (little-endian); the block's ebi list
// follows it.
struct eb_index_record {
    UCHAR opcode;       // 0x85
    UCHAR reserved1[3];
    ULONG check;        // EB + 0xFAF60000
    UCHAR kind;         // 0, 1 or 2
    UCHAR zero9[3];
    ULONG flags;
    USHORT zero16;
    USHORT slot_count;
    USHORT sectors_per_slot;
    USHORT entry_count;  // at most 32
    eb_index_entry entries[EB_INDEX_ENTRIES];
};
// The head of a slot's record (48 bytes).
struct eb_slot_record {
    UCHAR kind;
    UCHAR b1;
    UCHAR b2;
    UCHAR reserved3;
    ULONG words[5];
    eb_index_entry next;  // a non-zero offset names the next record of the slot
    USHORT record_index;  // the slot it belongs to
    USHORT w1;
    USHORT w2;
    UCHAR reserved38[10];
};
#pragma pack(pop)
static_assert(sizeof(eb_index_entry) == 8);
static_assert(sizeof(eb_index_record) == EB_INDEX_HEAD_BYTES);
static_assert(offsetof(eb_index_record, flags) == 12);
static_assert(offsetof(eb_index_record, slot_count) == 18);
static_assert(offsetof(eb_index_record, entries) == 24);
static_assert(sizeof(eb_slot_record) == 48);
static_assert(offsetof(eb_slot_record, next) == 24);
static_assert(offsetof(eb_slot_record, record_index) == 32);

struct eb_scan_context;

struct eb_scan_slot {
    eb_scan_context* owner;
    ULONG size;       // bytes of the buffer
    UCHAR* buffer;
    ULONG count;      // the slot count, given to every slot when a scan runs
    ULONG records;    // records read into the slot (bounds a chain)
};

struct eb_scan_context {
    nand_dev* channel;
    UCHAR* index;           // LOG_INDEX_RECORD_BYTES: the index record and its list
    ULONG64 limit;          // the block's stride limit
    USHORT eb;
    volatile LONG first_error;
    ULONG outstanding;
    kpav_cv cv;
    kpav_spinlock lock;
    ULONG slot_capacity;
    ULONG slot_size;
    eb_scan_slot* slots;
};

// PASSIVE_LEVEL. 0 or -KPAV_ENOMEM; a context of one slot.
int eb_scan_create(nand_dev* channel, eb_scan_context** out);
void eb_scan_free(eb_scan_context* context);
// Room for `slots` slots of `size` bytes each, every buffer zeroed: 0 or -KPAV_ENOMEM.
int eb_scan_resize(eb_scan_context* context, ULONG slots, ULONG size);

// Reads the index record of `eb` at its stride limit (returned through *out_limit) into
// `*index` (allocated when NULL): 0; -KPAV_ENOENT for erased media or a record that is not a valid
// index of this block; -KPAV_ENOMEM; another read error.
int eb_scan_read_index(nand_dev* channel, UCHAR** index, USHORT eb, ULONG64* out_limit, bool retry);
// Reads the index of `eb` and every record it names: 0, -KPAV_ENOENT (no usable index),
// -KPAV_ENOMEM, -KPAV_EFAULT (a record off the stride grid: the block gets flag 8), -KPAV_EINVAL,
// or the first read error.
int eb_scan_begin(nand_dev* channel, USHORT eb, eb_scan_context* context, bool retry);
// Reads the records the context's index names and waits for them: 0, -KPAV_ENOENT (a submission
// failed),
// -KPAV_EINVAL (a slot's record names another slot), or the first error.
int eb_scan_run(eb_scan_context* context);
// One record read: 0, -KPAV_EFAULT, -KPAV_EINVAL, or the submission's error.
int eb_scan_submit(eb_scan_context* context, const eb_index_entry* entry);
// The completion of a record read (the pipeline's chunked-read completion).
void eb_scan_complete(velkor_request* head, ULONG64 bytes, ULONG64 latency_us);
// The records the index announces: slot count x sectors per slot.
ULONG eb_scan_record_total(const eb_scan_context* context);
const eb_index_record* eb_scan_index(const eb_scan_context* context);
// The block's ebi list: the words after the index record's head (up to its end).
const ULONG64* eb_scan_ebi(const eb_scan_context* context, ULONG* out_count);
void ebread_addr_copy(eb_index_entry* to, const eb_index_entry* from);
