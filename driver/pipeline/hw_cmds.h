// The command ring: the host drives the card through one ring of register writes per channel.
// Every operation becomes a run of hw_cmd entries {value, register}; the card fetches them by
// DMA after a doorbell and replays them in order. This file holds the ring record, the encoders
// that append entries, the doorbell and its credits, the programming of the ring and
// completion-ring bases and the start and quiesce of the card's three DMA engines.
//
// Registers are BAR offsets: the control window at 0x0000, the second DMA window at 0x2000, the
// completion windows at 0x4000 (512 bytes each) and the NAND window at 0x8000; an entry for NAND
// register 76 carries 0x804C.
//
// Appends and doorbells run under the channel's issue lock; nothing here takes a lock. No
// encoder checks for room: the issue loop keeps more than 32768 entries free before it runs a
// handler. The ring's write index is the channel's ring_producer, which the issue loop reads.
#pragma once

#include "driver/platform/os.h"

struct nand_dev;

// One ring entry as the card fetches it (little-endian).
struct hw_cmd {
    ULONG value;
    ULONG reg;
};
static_assert(sizeof(hw_cmd) == 8);
static_assert(offsetof(hw_cmd, reg) == 4);

constexpr ULONG HW_CMDS_ENTRIES = 0x20000;
constexpr ULONG HW_CMDS_MASK = 0x1FFFF;
constexpr ULONG HW_CMDS_BYTES = HW_CMDS_ENTRIES * sizeof(hw_cmd);
constexpr ULONG HW_NO_INDEX = 0xFFFFFFFFu;
constexpr ULONG HW_IRQ_BIT = 0x80000000u;

// Windows of the register BAR.
constexpr ULONG BAR_CONTROL = 0x0000;
constexpr ULONG BAR_SECOND_DMA = 0x2000;
constexpr ULONG BAR_CQ_WINDOWS = 0x4000;
constexpr ULONG BAR_NAND = 0x8000;
constexpr ULONG CQ_WINDOW_BYTES = 0x200;

// Control-window registers.
constexpr ULONG REG_ENGINE_A = 0x004;        // write-side DMA engine
constexpr ULONG REG_DESC_LENGTH = 0x018;     // control-window DMA descriptor
constexpr ULONG REG_DESC_BANK = 0x01C;
constexpr ULONG REG_DESC_ADDR_LO = 0x020;
constexpr ULONG REG_DESC_ADDR_HI = 0x024;
constexpr ULONG REG_ENGINE_RING = 0x104;     // command-ring engine
constexpr ULONG REG_DOORBELL = 0x118;
constexpr ULONG REG_RING_BASE_LO = 0x120;
constexpr ULONG REG_RING_BASE_HI = 0x124;
constexpr ULONG REG_RING_BYTES = 0x128;
constexpr ULONG REG_CREDIT = 0x148;
constexpr ULONG REG_ENGINE_B = BAR_SECOND_DMA + 0x004;  // read-side DMA engine

// NAND-window registers (window offsets).
constexpr ULONG NAND_PORT_A_TRANSFER = 76;
constexpr ULONG NAND_PORT_A_BANK = 80;
constexpr ULONG NAND_PORT_A_ADDR_LO = 84;
constexpr ULONG NAND_PORT_A_ADDR_HI = 88;
constexpr ULONG NAND_PORT_B_TRANSFER = 484;
constexpr ULONG NAND_PORT_B_ADDR_LO = 488;
constexpr ULONG NAND_PORT_B_ADDR_HI = 492;
constexpr ULONG NAND_PORT_B_DESC_LENGTH = 496;
constexpr ULONG NAND_PORT_B_DESC_ADDR_LO = 500;
constexpr ULONG NAND_PORT_B_DESC_ADDR_HI = 504;
constexpr ULONG NAND_CORECLK_DERATING = 4116;
constexpr ULONG NAND_BROWNOUT_FLUSH = 4992;
constexpr ULONG NAND_POWERCUT_FLUSH = 5000;
constexpr ULONG NAND_INTR_MASK = 0x2004;
constexpr ULONG NAND_INTR_MASK2 = 0x2008;
constexpr ULONG NAND_INTR_STATUS = 0x2040;
// The controller's rle mode register: the management data's rle pass at start writes 0 to it
// while it programs and all ones when it is done. The driver only writes it; its meaning is the
// controller's.
constexpr ULONG NAND_RLE_MODE = 0x13A0;
// The interrupt source the rle pass holds masked while it programs.
constexpr ULONG INTR_MASK_RLE = 0x400000;

// Completion-window registers (window offsets).
constexpr ULONG CQW_STATE = 0;
constexpr ULONG CQW_RX_BUFFER = 4;
constexpr ULONG CQW_RESET = 8;
constexpr ULONG CQW_WRITE_ENABLE = 16;
constexpr ULONG CQW_HOLD = 20;  // interrupts of the ring held
constexpr ULONG CQW_BASE_LO = 24;
constexpr ULONG CQW_BASE_HI = 28;
constexpr ULONG CQW_BYTES = 32;
constexpr ULONG CQW_ACK = 40;
constexpr ULONG CQW_RETRIGGER = 100;

// Transfer kinds.
constexpr ULONG XFER_DATA = 0;
constexpr ULONG XFER_FILL = 1;     // port A: filler without DMA; port B: zeros
constexpr ULONG XFER_PACKETS = 2;  // preceded by a media address
constexpr ULONG XFER_SKIP = 3;     // port B: pass over bytes of the read stream
// The largest piece of a page run: 32767 units of 4 KiB less nothing but whole words.
constexpr ULONG XFER_PIECE_MAX = 0x7FFFFF8;

struct hw_cmds {
    hw_cmd* entries;   // HW_CMDS_ENTRIES, physically contiguous
    ULONG posted;      // first entry not yet handed to the card
    ULONG size;
    ULONG mask;
    ULONG transfer_irq_index;  // the most recent port A transfer command
    ULONG dma_irq_index;       // first entry of the last port B descriptor of a mode-1 walk
    ULONG sequence_start;      // start word of the NAND sequence being built
    UCHAR sequence_slot;
    UCHAR bank_select;         // a bank-select write precedes every control-window descriptor
    UCHAR engines_running;
    volatile ULONG* bar;       // the register BAR
    nand_dev* credit_owner;    // whose free-entry count every append lowers
    ULONG64 bus_address;
    ULONG64 doorbell_writes;   // counted
};

// A register item of a direct or binary command: with split set, four entries carry the value's
// bytes 0 to 3.
struct hw_reg_item {
    ULONG value;
    ULONG reg;  // BAR offset
    UCHAR split;
};

// Register access with the barrier every register write takes.
ULONG hw_read(nand_dev* channel, ULONG bar_offset);
void hw_write(nand_dev* channel, ULONG bar_offset, ULONG value);

// The ring's life: 0 or -KPAV_ENOMEM ("%s: Unable to allocate memory - hw_cmds.\n"). PASSIVE_LEVEL.
int hw_cmds_alloc(nand_dev* channel);
void hw_cmds_free(nand_dev* channel);
// Ring and completion-ring bases, engines on, completion windows writing with interrupts held.
void hw_cmds_program_bases(nand_dev* channel);
// Stops the three engines (0xFA02, then 0x800000, then 0; polls of 10 x 10 ms whose time-outs
// are not errors) and the completion windows' writes. Below DISPATCH_LEVEL it sleeps.
void hw_cmds_quiesce(nand_dev* channel);

// The credit word (control 0x148); all ones when the card is gone.
ULONG hw_cmds_credit_word(nand_dev* channel);
// Sets the cached credits from a credit word; an all-ones word leaves them as they are.
void hw_cmds_apply_credit_word(nand_dev* channel, ULONG word);
// Entries written and not yet handed to the card.
ULONG hw_cmds_unposted(const nand_dev* channel);
// Hands every unposted entry to the card: one doorbell write, two when they wrap.
void ring_doorbell(nand_dev* channel);
// The end of a kick: with unposted entries, the pending DMA interrupt request goes on its entry
// and the doorbell rings.
void hw_cmds_announce(nand_dev* channel);

// ---- Encoders
ULONG hw_cmds_append(nand_dev* channel, ULONG value, ULONG bar_offset);
inline ULONG hw_cmds_append_nand(nand_dev* channel, ULONG value, ULONG nand_register) {
    return hw_cmds_append(channel, value, BAR_NAND + nand_register);
}
// bit 28 | words << 18 | count << 3 | kind.
inline ULONG hw_transfer_word(ULONG words, ULONG count, ULONG kind) {
    return 0x10000000u | (words & 0x3FF) << 18 | (count & 0x7FFF) << 3 | (kind & 7);
}
// The media address of the next packets: address bits 0-31, then bits 32-47 << 16 | bits 48-55
// << 8 | the packet flag byte.
void hw_media_address_a(nand_dev* channel, ULONG64 address, UCHAR flag);
void hw_media_address_b(nand_dev* channel, ULONG64 address, UCHAR flag);
// A port A transfer of `bytes` (unit_bytes 0: 4 KiB pages and a remainder), each command followed
// by the bank word; the last command's index becomes the transfer interrupt index.
void hw_transfer_a(nand_dev* channel, ULONG bytes, ULONG unit_bytes, ULONG kind, ULONG bank_word);
// A port B transfer command of `bytes`, as above, without bank word.
void hw_transfer_b(nand_dev* channel, ULONG bytes, ULONG unit_bytes, ULONG kind);
// Port B skip of `bytes` (kind 3, in pages).
void hw_page_run_b(nand_dev* channel, ULONG bytes);
// Port B packets: the media address, then `count` units of `unit_bytes`.
void hw_data_run_b(nand_dev* channel, ULONG64 address, UCHAR flag, ULONG count, ULONG unit_bytes);
// The same, cut in two where the address's low word would pass 2^32 (the card does not carry).
void hw_split_data_run_b(nand_dev* channel, ULONG64 address, UCHAR flag, ULONG count, ULONG unit_bytes);
// Port A filler of `bytes` in pieces of at most XFER_PIECE_MAX.
void hw_page_run_a(nand_dev* channel, ULONG64 bytes, ULONG bank_word);
// A control-window DMA descriptor (host data of writes).
void hw_dma_descriptor_a(nand_dev* channel, ULONG length, ULONG64 address, ULONG bank_word);
// A port B DMA descriptor; returns the index of its first entry (its length).
ULONG hw_dma_descriptor_b(nand_dev* channel, ULONG length, ULONG64 address);
void hw_register_items(nand_dev* channel, const hw_reg_item* items, ULONG count);
