// Hardware events: the completion words whose low byte is not a request or bank opcode. They
// report pad errors of programs, erases and reads, magic mismatches of read packets, parity
// errors and single-event upsets, PCIe link errors, loss of the NAND clock lock or of the BAR
// mapping, decode errors and environment events. The decoder reads the records that follow some
// of them, records pad errors against flush records, requests and erase blocks, retries or
// fails requests, counts events, and fails the channel where the card can no longer be trusted.
//
// The decoder runs in the drain of a completion ring (one drainer per ring, rings in parallel):
// its counters are raised atomically, the PCIe report state is kept under its lock and the
// interrupt mask goes through the channel's mask lock.
#pragma once

#include "driver/platform/os.h"
#include "driver/platform/sync.h"

struct completion_queue;
struct nand_dev;
struct velkor_request;

// The event state's locks of a new channel (nand_dev_init).
void events_init(nand_dev* channel);

// The decoder: every low byte that is not a request or bank opcode. Returns 0.
ULONG events_decode(completion_queue* ring, ULONG word);

// Pad errors of a request's rows (pad bitmap by pad index): the pads outside the erase block's
// masks are dropped; the rest go to the request's bad-pad map (erases and page programs) and to
// the erase block, and fail the request where the pad-error rule says so.
void events_request_pad_errors(nand_dev* channel, velkor_request* request, const ULONG bitmap[15]);

// Read recovery's verdict on one pad of one bank of `eb`: without a log the block is flagged
// (flag bit 2); else the pad's error level rises to 176 in every plane and the block is noted
// once in the request's list of affected blocks.
void mark_eb_pads_failed(nand_dev* channel, velkor_request* request, USHORT eb, ULONG bank, ULONG pad);

// Channel failure reasons of the events.
constexpr ULONG CHANNEL_FAIL_WRITE_PARITY = 2;
constexpr ULONG CHANNEL_FAIL_READ_PARITY = 4;
constexpr ULONG CHANNEL_FAIL_CLOCK_LOCK = 8;
constexpr ULONG CHANNEL_FAIL_POISON = 16;
constexpr ULONG CHANNEL_FAIL_BAR_LOST = 32;
constexpr ULONG CHANNEL_FAIL_NARROW_PAD_RECORD = 128;  // 170, 187, 238 records
constexpr ULONG CHANNEL_FAIL_PAD_RECORD = 256;        // bank-group pad records
constexpr ULONG CHANNEL_FAIL_MAGIC = 512;
constexpr ULONG CHANNEL_FAIL_PAD_FATAL = 0x800000;    // fatal pad records; 104 and 105 records
constexpr ULONG CHANNEL_FAIL_DECODE = 0x1000000;

// NAND-window registers of the events.
constexpr ULONG NAND_UPSET_ACK = 4224;
constexpr ULONG NAND_BUS_STATUS = 8708;      // bit 31: the NAND clock is locked
constexpr ULONG NAND_PCIE_LINK_STATUS = 0x1400;

// Interrupt-mask bits the events set.
constexpr ULONG INTR_MASK_CLOCK_LOCK = 0x2000000;
constexpr ULONG INTR_MASK_MULTI_BIT_UPSET = 0x8000000;

// The PCIe link report repeats an unchanged error at most once an hour.
constexpr ULONG64 PCIE_REPORT_REPEAT_US = 3600ull * 1000000;

// A channel's event state.
struct channel_events {
    volatile LONG64 single_bit_upsets;
    volatile LONG64 multi_bit_upsets;
    volatile LONG64 fatal_upsets;
    volatile LONG64 pcie_interrupts;
    volatile LONG64 erase_pad_events;   // pad-error records of erases
    volatile LONG64 other_pad_events;   // pad-error records of other requests
    volatile LONG64 read_pad_errors;    // lanes that read uncorrectable
    volatile LONG64 histogram_dropped;  // histogram words that name no entry

    // The PCIe link report: bits reported since the remembered time.
    kpav_spinlock pcie_lock;
    ULONG pcie_reported;
    UCHAR pcie_reported_once;
    ULONG64 pcie_report_us;

    UCHAR status_ignore_mask;         // pad status bits that never count as failure
    volatile LONG scan_mode;          // bring-up scan: pad errors go to scan_pad_errors only
    volatile LONG scan_pad_errors[15];
    volatile LONG* histogram;         // the bank histogram (NULL: none)
    ULONG histogram_entries;
    volatile LONG64 mask_hold_until_us;  // upset events are ignored until then (0: no hold)
};
