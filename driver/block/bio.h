// Bios: the block layer's requests. One or more bios chained together carry a read, write,
// discard or flush of a sector range to a block device. Each device has a pool of bios taken
// from the driver-wide cache; every bio taken is handed a request of the device's card, whose
// scatter-gather list carries its data. bdev_submit_bio counts a chain and hands it to the
// device's operations; bio_endio accounts its completion, calls its callback and wakes its
// waiter or returns it.
#pragma once

#include "driver/block/bdev.h"
#include "driver/platform/cpu_wq_ops.h"
#include "driver/platform/mem_stats.h"
#include "driver/platform/os.h"
#include "driver/platform/sync.h"

struct sgl;
struct tavrin_ioctx;
struct velkor_request;

enum bio_command : ULONG {
    BIO_READ = 1,
    BIO_WRITE = 2,
    BIO_DISCARD = 3,
    BIO_FLUSH = 4,
};

// Bio flags. The low 16 bits travel with the chain.
constexpr LONG BIO_SYNC = 0x10;       // a waiter calls bio_wait
constexpr LONG BIO_IN_FLIGHT = 0x40;  // from submission to completion
constexpr LONG BIO_DONE = 0x80;       // a synchronous bio completed
constexpr LONG BIO_CALLBACK_OWNS = 0x200;  // the callback takes the chain over
constexpr LONG BIO_ATOMIC = 0x100;    // the chain is written all or nothing
constexpr LONG BIO_NO_WAIT = 0x20;    // the submitter may not wait (busy or full: try later)
constexpr LONG BIO_PREPARE_FAILED = 0x400;  // the chain's head request failed its preparation
constexpr LONG BIO_FLUSH_JOIN = 0x1;  // the write or flush joins the channel's flush

// What a read of the data device keeps in its bio while its passes run: the sectors still to
// read, the range as first given (the buffer starts there), the requests kept from the pass
// before (linked through their chain links) and the requests built in the current pass.
struct bio_read_state {
    ULONG64 start;
    ULONG64 count;
    ULONG64 first_start;
    ULONG64 first_count;
    LIST_ENTRY spares;
    ULONG built;
};

// Called at completion with the bytes of the whole chain and its status.
using bio_end_fn = void (*)(bio* first, ULONG64 bytes, int status);

struct bio {
    bdev* origin;  // the device the bio was taken for
    bdev* target;  // the device that executes it
    bio_pool* pool;
    tavrin_ioctx* ioctx;  // the request's I/O context
    sgl* list;            // the request's scatter-gather list
    LIST_ENTRY pool_link;
    LONG status;
    volatile LONG flags;
    ULONG command;  // bio_command
    ULONG cpu;      // the submitting processor
    bio_end_fn callback;
    void* callback_context;
    ULONG64 start_us;
    ULONG64 start_tsc;
    ULONG64 read_mappings;  // added to the device's read statistics at completion
    ULONG64 discard_mark;   // a log position handed with discards; all ones when none
    ULONG64 base;           // first sector; all ones when unset
    ULONG64 count;          // sectors
    bio* next;
    cpu_wq_deferred_bio deferred;  // a completion ended later on the processor's thread
    ULONG trim;                    // a discard on the data device: how it is carried out
    velkor_request* trim_note;     // the request whose trim note carries the discard's run
    bio_read_state read;           // a data-device read in progress
};

constexpr ULONG BIO_OBJECT_SIZE = 280;  // what the memory accounting counts per bio

struct bio_pool {
    kpav_cv free_waiters;   // threads waiting for a free bio
    kpav_cv drain_waiters;  // shutdown and destroy waiting for the bios to come back
    kpav_spinlock lock;
    LIST_ENTRY free_list;   // LIFO
    ULONG free_count;
    ULONG waiters;
    ULONG allocated;        // taken from the cache
    ULONG reserve;          // free bios that must be present before one is handed out
    ULONG in_use;
    ULONG sgl_entries;      // per request, for the memory accounting
    ULONG shutting_down;
    mem_stats* memory;
};

// Driver start and exit: the bio cache, and the interface table with the disk front end's
// operations in entry 1 (NULL leaves every entry unused). 0 or -KPAV_ENOMEM. PASSIVE_LEVEL.
int kpav_bio_init(const kpav_block_ops* disk_ops);
// The per-processor threads' end of a bio whose end was deferred to them (cpu_wq_ops::end_bio).
void bio_end_deferred(cpu_wq_deferred_bio* deferred, int status);
void kpav_bio_exit();

// Takes the pool's first bios from the cache: 0, or -KPAV_ENOMEM with nothing left allocated.
// PASSIVE_LEVEL, as are shutdown and destroy.
int bio_pool_create(bio_pool** out, void* ignored, ULONG sgl_entries, mem_stats* memory);
// Refuses new bios (-KPAV_EIO) and waits until none is in use. NULL does nothing.
void bio_pool_shutdown(bio_pool* pool);
// Takes bios again after a shutdown.
void bio_pool_reopen(bio_pool* pool);
// Waits for every bio to come back, then frees them and the pool.
void bio_pool_destroy(bio_pool** pool, mem_stats* memory);

// A zeroed bio for `device` with a request of the device's card: 0, -KPAV_EIO (the pool is shut),
// -KPAV_ENOMEM (no bio or request; at DISPATCH_LEVEL also where a wait would be needed). Below
// DISPATCH_LEVEL the call waits for a bio when all are taken.
int bio_alloc(bio_pool* pool, bdev* device, bio** out);
// Returns a bio to its pool (the request is the caller's). At most DISPATCH_LEVEL.
void bio_free(bio_pool* pool, bio* b);
// Returns the chain's requests, then every bio of the chain.
void bio_free_chain(bio* first);
// Returns every request of the chain of `head` with its context.
void bio_free_requests(velkor_request* head);

// Counts the chain and hands it to its target device: the operation's result, or -KPAV_EINVAL for
// an unknown command (the chain is ended with -KPAV_EINVAL). At most DISPATCH_LEVEL.
int bdev_submit_bio(bio* first);
// A chain the device's operation hands back unfinished for a retry (-KPAV_ENOSPC no room yet,
// -KPAV_EBUSY throttled) is returned with that status and is no longer counted in flight on the
// device. A submitter that will not retry ends it with bio_end_handed_back: `device` is the one it
// was handed back from (counted again, then ended with `status`). At most DISPATCH_LEVEL.
void bio_end_handed_back(bdev* device, bio* first, int status);
// Discards [base, base + count) of `device` with the log position `discard_mark` (all ones:
// none), through `b` or a bio taken from the device's pool: 0 or a negative errno (-KPAV_ENOMEM
// without a bio). With `wait` the call waits for the discard and returns its status
// (PASSIVE_LEVEL); without, the bio ends on its own and the submission's result is returned.
int bdev_discard_range(bdev* device, bio* b, ULONG64 base, ULONG64 count, void* unused1, void* unused2,
                       ULONG64 discard_mark, int wait);
// Writes one block of `buffer` (the device's block size, reachable by the card's DMA) at
// `sector` through `b` or a bio taken from the device's pool, and waits until it is on the media
// (it joins the channel's flush): the write's status,
// -KPAV_ENOMEM without a bio. The sector may lie in the forward map's reserved range when the
// device is the card's data device. PASSIVE_LEVEL.
int datalog_internal_write(bdev* device, ULONG64 sector, bio* b, const void* buffer);
// Ends a chain: accounts it, calls its callback, wakes its waiter or returns it.
void bio_endio(bio* first, int status);
// Waits for a synchronous bio (BIO_SYNC) to complete: its status. Below DISPATCH_LEVEL.
int bio_wait(bio* b);
// Completion statistics of a chain on `device`.
void bdev_io_account(bdev* device, bio* first, int status, ULONG64 microseconds);
// One line per bio of the chain.
void bio_dump_chain(bio* first);

// Sectors of the whole chain.
ULONG64 bio_chain_sectors(const bio* first);
