// The card's data block device: what it keeps beside its bdev record (the forward map it reads
// and writes through the metadata table, its open count, read-only mode with its twelve reasons
// and run state), its operations that do not move data, and the block device-control requests
// of type 'h' that every device answers.
#pragma once

#include "driver/block/bdev.h"
#include "driver/platform/os.h"
#include "driver/platform/sync.h"

struct mdt_context;

// Read-only reasons, by index.
enum bdev_ro_reason : ULONG {
    BDEV_RO_NONE = 0,
    BDEV_RO_USER = 1,
    BDEV_RO_THERMAL = 11,
    BDEV_RO_REASONS = 12,
};
const char* bdev_ro_reason_name(ULONG reason);

// Write modes.
constexpr ULONG BDEV_WRITE_NORMAL = 0;
constexpr ULONG BDEV_WRITE_REDUCED = 1;
constexpr ULONG BDEV_WRITE_READ_ONLY = 2;

// Run states.
constexpr ULONG BDEV_RUN_ATTACHED = 2;
constexpr ULONG BDEV_RUN_RUNNING = 3;
constexpr ULONG BDEV_RUN_QUIESCING = 4;
constexpr ULONG BDEV_RUN_TORN_DOWN = 9;

struct bdev_data {
    mdt_context* mdt;
    volatile LONG open_count;
    ULONG read_only_switch;        // bit 0
    ULONG write_mode;
    ULONG mode_reason;
    volatile LONG levels[BDEV_RO_REASONS];  // each reason's level, 0 to 2
    kpav_spinlock mode_lock;       // one recompute at a time
    kpav_state run_state;
    UCHAR atomic_writes;
    UCHAR persistent_trim;
    volatile LONG atomic_refused;  // the atomic refusal was logged once
    ULONG largest_write;           // sectors the log writes at once; 0: no bound of its own
    ULONG largest_read;            // sectors one read request carries at most; 0: no bound of its own
    volatile LONG64 read_bytes;    // bytes asked of reads
    volatile LONG64 zero_read_bytes;  // bytes of reads that found no data (filled with zeros)
    struct read_defrag_context* read_defrag;  // none: reads are not defragmented

    // Write throttling: the packets reserved by writes in flight, under the throttle lock;
    // writers that find no room wait on the condition.
    kpav_spinlock throttle_lock;
    kpav_cv throttle_cv;
    ULONG64 reserved;
    ULONG64 reserve_unit;          // packets; the log's packets per LEB
    ULONG64 groomer_reserve;       // packets the groomer keeps for itself; 0 without a groomer
    volatile LONG64 last_reduced_us;  // the last write in reduced mode
    volatile LONG64 write_bytes;   // packet bytes handed to the log
    // Completion: whether the channel's completions come in batches (checked once a second).
    volatile LONG64 busy_checked_us;
    volatile LONG completions_busy;
};

// Sets up the record for `device` (its owner becomes the record) with the data device's
// operations. PASSIVE_LEVEL.
void bdev_data_init(bdev* device, bdev_data* data, mdt_context* mdt);
extern const bdev_ops bdev_data_ops;

ULONG bdev_write_mode(bdev* device);
// The block interface's bracket hook (when set): 1 before a read's walk of the forward map or a
// write's space reservation, 0 after.
void bdev_bracket(bdev* device, int starting);
// Recomputes the mode from the levels: the highest level, the first reason that holds it.
void bdev_update_read_only(bdev* device);
// The user's request: every level back to 0. 0, or -KPAV_ENODEV without a device.
int bdev_clear_read_only(bdev* device);

// Operations (slots of bdev_data_ops).
int bdev_open(bdev* device);
int bdev_release(bdev* device);
int bdev_has_feature(bdev* device, const void* id);  // a 128-bit id as two u64 words
int bdev_set_run_state(bdev* device, ULONG request);  // -KPAV_ENOTTY always
int bdev_ioctl(bdev* device, ULONG code, void* user_record);

// Checks a write chain before any of it is built: 0, -KPAV_EINVAL (a bio neither write nor discard,
// a write above 2048 sectors, mixed atomic flags, more than 256 bios, an atomic chain the device's
// format does not support) or -KPAV_E2BIG (a write above the log's largest write). At most
// DISPATCH_LEVEL.
constexpr ULONG BDEV_MAX_CHAIN_BIOS = 256;
constexpr ULONG64 BDEV_MAX_WRITE_SECTORS = 2048;
int bdev_write_validate(bdev* device, bio* first);

// The data path's writes (bdev_write.cpp). Each returns 0 or a negative errno and ends the chain
// itself, except that bdev_submit_write returns -KPAV_ENOSPC (no room yet) and -KPAV_EBUSY
// (throttled) with the status stored in the first bio and the chain not ended: the submitter
// retries it. At most DISPATCH_LEVEL.
int bdev_submit_write(bdev* device, bio* first);
int bdev_submit_flush(bdev* device, bio* first);
// Reserves room for `packets` in the log's erased space: 0, -KPAV_EROFS (read-only), -KPAV_EIO (the
// log failed or is stopping), -KPAV_ENOSPC (no room and the caller may not wait). A waiting caller
// waits in steps of 10 ms until room is freed. Below DISPATCH_LEVEL when it may wait.
int write_reserve(bdev* device, ULONG64 packets, bool may_wait);
// The reduced-mode pacing (one write per millisecond; -KPAV_EBUSY for a caller that may not wait),
// then the reservation; -KPAV_EIO when the device was torn down meanwhile (nothing stays reserved).
int write_throttle(bdev* device, ULONG64 packets, bool may_wait);
// Copies a packet-location record (a trim note): its 8-byte header, its run count (u16 at byte
// 8, then six zero bytes) and its runs of 24 bytes {sectors u64, start u64, 0}. The bytes
// copied.
size_t pkt_loc_copy(void* dest, const void* src);
// Gives reserved packets back and wakes the writers that wait for room.
void write_unreserve(bdev* device, ULONG64 packets);
// Bios end on their processor's thread (when completions come in batches) instead of at once.
// Off by default.
extern volatile LONG bdev_deferred_completion;

// Requests of every device kind: -KPAV_ENOTTY for a code it does not know.
int bdev_ioctl_common(bdev* device, ULONG code, void* user_record);

// Request codes.
constexpr ULONG BDEV_IOC_SIZE = 0x80106844;
constexpr ULONG BDEV_IOC_VERSION = 0x84006847;
constexpr ULONG BDEV_IOC_MAPPED = 0xC020684C;
constexpr ULONG BDEV_IOC_EXTENTS = 0xC070684E;
constexpr ULONG BDEV_IOC_118 = 0xC0306876;
constexpr ULONG BDEV_IOC_DISCARD = 0x40206865;
constexpr ULONG BDEV_IOC_CAPABILITIES = 0xC020689A;
constexpr ULONG BDEV_IOC_IDENTITY = 0xC058681F;

#pragma pack(push, 1)
struct bdev_size_record {
    ULONG64 bytes;
    ULONG sector_size;
    ULONG zero;
};
struct bdev_mapped_record {
    ULONG version;  // 1
    ULONG reserved;
    ULONG64 mapped;  // out
    ULONG64 start;
    ULONG64 count;   // not 0
};
struct bdev_extent {
    ULONG64 start;
    ULONG64 length;
    UCHAR mapped;
    UCHAR reserved[7];
};
struct bdev_extent_record {
    ULONG version;  // 1
    ULONG maximum;  // 1 to 100
    ULONG flags;
    ULONG set_cursor;
    ULONG64 filter_value;
    ULONG64 filter_mask;
    ULONG64 erase_age;
    ULONG64 start;
    ULONG64 count;
    ULONG64 cursor;
    ULONG64 remaining;
    ULONG found;
    UCHAR reserved[12];
    bdev_extent extents[1];  // `maximum` of them in the caller's buffer
};
struct bdev_discard_record {
    ULONG64 start;
    ULONG64 count;
    ULONG64 erase_age;  // seconds; 0: no limit
    UCHAR wait;
    UCHAR reserved[7];
};
struct bdev_identity_record {
    LONG request;  // 0 or negative on entry
    ULONG kind;    // 3
    char bus_name[33];
    char serial[33];  // zeros when the card has none
    UCHAR reserved[6];
    ULONG level;   // the interface level
    ULONG reserved2;
};
#pragma pack(pop)
static_assert(sizeof(bdev_discard_record) == 32);
static_assert(sizeof(bdev_identity_record) == 88);
static_assert(offsetof(bdev_identity_record, level) == 80);
static_assert(sizeof(bdev_size_record) == 16);
static_assert(sizeof(bdev_mapped_record) == 32);
static_assert(sizeof(bdev_extent) == 24);
static_assert(sizeof(bdev_extent_record) == 112);
static_assert(offsetof(bdev_extent_record, found) == 72);

constexpr ULONG BDEV_EXTENT_UNMAPPED = 0x1;
constexpr ULONG BDEV_EXTENT_MAPPED = 0x2;
constexpr ULONG BDEV_EXTENT_JOIN = 0x4;
constexpr ULONG BDEV_EXTENT_MAX = 100;
