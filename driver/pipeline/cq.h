// Completion rings: host-memory rings of 32-bit words that the card writes and the host drains,
// one MSI-X vector and one 512-byte register window per ring. The drain decodes each word by its
// low byte, lowers the counts of the requests the words name, hands the reads that became
// complete to their processors' completion threads (ordered requests are collected by the
// worker in issue order), passes row completions to the flush records, and acknowledges what it
// consumed so that the card may reuse the words.
//
// Ring roles: ring 0 "admin" (binary commands, markers, read-backs), ring 1 "write" (writes,
// erases, rows; it holds the outstanding ring's completions), rings 2 and up "read-%u" per
// processor group. With one ring everything goes to ring 0.
//
// Any number of callers may drain one ring at once: the draining flag admits one, the others
// return CQ_DRAIN_MORE, and the poller's drain-again flag makes the active drainer report
// CQ_DRAIN_MORE to its caller. The drain runs at DISPATCH_LEVEL (the ring's DPC) or below.
#pragma once

#include "driver/platform/os.h"
#include "driver/platform/sync.h"

struct nand_dev;
struct pipeline_device;
struct velkor_request;

constexpr ULONG CQ_RING_WORDS = 0x40000;
constexpr ULONG CQ_RING_BYTES = CQ_RING_WORDS * 4;
constexpr ULONG CQ_EMPTY = 0xFFAA55FFu;
constexpr ULONG CQ_TERMINATOR = 0x00C0FFEEu;
constexpr ULONG CQ_ACK_BATCH = 0x20000;
constexpr ULONG CQ_CLEAN_GAP = 64;
constexpr ULONG CQ_ACK_MASKED = 0x80000000u;
constexpr ULONG CQ_MAX_RINGS = 16;
constexpr ULONG64 CQ_RECORD_WAIT_US = 1000000;

// Flags of a ring.
constexpr LONG CQ_DRAINING = 0x2;
constexpr LONG CQ_REARMED = 0x4;
constexpr LONG CQ_DRAIN_AGAIN = 0x8;

// What a drain (and a poll of the rings) answers: nothing was decoded, something was, or another
// drain ran meanwhile and the caller drains again.
constexpr int CQ_DRAINED_NOTHING = 0;
constexpr int CQ_DRAINED = 1;
constexpr int CQ_DRAIN_MORE = 2;

// Decode results.
constexpr ULONG CQ_HANDLED = 0x1;
constexpr ULONG CQ_COMPLETED = 0x2;  // a request went on the completion list
constexpr ULONG CQ_WAKE_WORKER = 0x4;

// Channel failure reasons of this file.
constexpr ULONG CHANNEL_FAIL_STATS_RECORD = 1024;
constexpr ULONG CHANNEL_FAIL_UNKNOWN_EVENT = 0x40000;
constexpr ULONG CHANNEL_FAIL_READBACK = 0x2000000;

struct completion_queue {
    nand_dev* owner;
    volatile ULONG* window;   // the ring's 512-byte register window
    volatile ULONG* csr;      // the card's NAND window
    kpav_spinlock lock;       // acknowledge-and-re-arm writes and the re-armed flag
    ULONG64 bus_address;
    volatile ULONG* ring;     // CQ_RING_WORDS words
    volatile ULONG head;      // next word to read (the drainer's)
    ULONG cleaned;            // words before this were reset to CQ_EMPTY (but the last 64)
    volatile LONG flags;      // CQ_DRAINING, CQ_REARMED, CQ_DRAIN_AGAIN
    volatile LONG marker_seen;  // a bank word of subtype 0 (a direct-command marker)
    ULONG index;
    volatile LONG framing_lost;  // a record ended badly: the words after it are consumed unread
    char name[40];            // "velkor-dov0", "velkor-dov0-admin", "-write", "-read-%u"
};

// Allocates, numbers and names the channel's rings: 0 or -KPAV_ENOMEM ("Alloc contig buffer of size
// %d failed", "%s: Inadequate memory - hw completions queue.\n"), nothing left allocated on
// failure. PASSIVE_LEVEL.
int cq_alloc(nand_dev* channel);
void cq_free(nand_dev* channel);

// CQ_DRAIN_MORE: another caller drains, or a drain-again request came meanwhile; else whether
// anything was decoded (CQ_DRAINED, CQ_DRAINED_NOTHING).
int drain_completion_queue(completion_queue* ring);
// The largest drain result over the rings, or 1 when a poll is already running.
int poll_completion_queues(nand_dev* channel);
ULONG decode_completion(completion_queue* ring, ULONG word, LIST_ENTRY* completed);
// Reads a record of `bytes` that ends with its terminator: 0, -KPAV_EIO (a foreign word where the
// terminator belongs), -KPAV_EAGAIN (no terminator within a second). Copies it when `out` is given.
int cq_read_record(completion_queue* ring, ULONG* out, ULONG bytes);
// Reads a read-back record's length word and payload (the 0x08 word taken): 0 when the payload
// fitted `capacity` words of `destination` (or there was none), -KPAV_EIO when it did not (consumed
// unread), -KPAV_EPIPE when the record is broken (logged, the channel failed).
int cq_take_readback(completion_queue* ring, ULONG word, ULONG* destination, ULONG capacity);
// The request of a tag; NULL for 0, a tag no request has, or a tag beyond the pool.
velkor_request* cq_lookup_tag(nand_dev* channel, ULONG tag);
// The unknown-event rule: logs the word and the interrupt status and fails the channel.
void cq_unknown_interrupt(completion_queue* ring, ULONG word);
// The request a word names when the card owes it something (issued, not yet retired); else NULL,
// and the channel fails (once) as for a word that names no request.
velkor_request* cq_owed_request(completion_queue* ring, ULONG word, ULONG tag);
// A record that did not end with its terminator: "Failed to get completion record size", the rest
// of the ring is consumed unread, and the channel fails (with a register dump) for `reason`.
void cq_record_failure(completion_queue* ring, ULONG bytes, ULONG word, ULONG reason);

// The NAND window's interrupt mask (0x2004), under the channel's mask lock.
void intr_mask_set(nand_dev* channel, ULONG bits);
void intr_mask_clear(nand_dev* channel, ULONG bits);

// Re-arms a ring that holds nothing (drains it once more first); the completion threads' pass.
void cq_rearm(completion_queue* ring);
// Holds every ring's interrupts (window offset 20).
void cq_stop_interrupts(nand_dev* channel);
// True when every ring's head word is the empty pattern.
bool cq_rings_empty(nand_dev* channel);
// The ring that reports ordered requests, drained while it holds words; re-armed when it had none.
int cq_drain_write_ring(nand_dev* channel);
// Every ring drained once; true when any held words.
bool cq_drain_all(nand_dev* channel);
// The ring of a vector (the interrupt DPC's work).
void cq_drain_vector(pipeline_device* card, ULONG ring);
