// Direct hardware commands: controller bring-up and the control interface talk to the NAND banks
// outside the request pipeline. A direct command writes a lane mask and a byte sequence to one
// bank's command port through the command ring, followed by a completion marker the card answers
// on ring 0; a sequence that asks for data is answered by a read-back record, which the direct
// read-back decoder copies into the waiting caller's buffer. Binary-command requests carry the
// same port writes through the pipeline like any other request.
//
// Bank command port: NAND window register 156 + 32 x bank, one byte per entry. A sequence is a
// code, its arguments and 239, each a 32-bit word sent as four byte entries (bytes 0 to 3); the
// card answers each 239-ended sequence with one read-back (no payload for most codes).
//
// Only one direct command runs on a channel at a time (bring-up and the control interface take
// turns); appends happen under the issue lock, waits with it released.
#pragma once

#include "driver/pipeline/hw_cmds.h"
#include "driver/platform/os.h"

struct nand_dev;
struct completion_queue;
struct velkor_request;

// ---- Interface

// Under the caller's issue lock: clears ring 0's marker flag, appends the completion marker of
// `code` for `bank` ({0 -> 400}, {bank << 28 | (code & 15) | 16 -> 396}) and hands everything
// unposted to the card.
void hw_cmds_post_sync(nand_dev* channel, ULONG bank, ULONG code);
// Waits for ring 0's marker: 1 ms, then (timeout - 1000) / 10 stalls of 10 us, draining ring 0
// after each. 0 when seen, -1 when not.
int hw_cmds_wait_sync(nand_dev* channel, ULONG timeout_us);

// Takes the issue lock once the ring has room for a direct command (more than 32768 entries and
// 10 doorbells free): true with the lock held. False (lock not held) when the channel failed,
// has no ring, or no room came within 500 ms.
bool direct_lock_with_room(nand_dev* channel);

// Appends {lane_mask -> 72}, the items and the marker (code 10) once the ring has room for them:
// 0, or 1 when the channel failed or no room came within 500 ms (nothing written then). Does not
// wait for the marker.
int direct_command(nand_dev* channel, ULONG bank, ULONG lane_mask, const hw_reg_item* items, ULONG count);

// The direct read-back: armed before a command is written, answered by the decoder. The wait
// drains ring 0 like hw_cmds_wait_sync for 1.5 s: 0 when a read-back came, 0xFFFFFFFF when not.
void direct_readback_arm(nand_dev* channel, ULONG* destination, ULONG capacity_words);
ULONG direct_readback_wait(nand_dev* channel);

// Sequence routines: each runs one sequence on `bank` with every pad of the bank selected and
// waits for its read-back. 0 when the read-back came and fitted, else 1.
// Code 21: the bank's parameter page (64 bytes, 16 words).
int nand_read_parameter_page(nand_dev* channel, ULONG bank, ULONG out[16]);
// Code 26: the bank's identification bytes (30 bytes and two zeros, 8 words).
int nand_read_identification(nand_dev* channel, ULONG bank, ULONG out[8]);
// Code 4 (feature 146 := 0 on every pad), then code 9 (feature 146 read back, 32 words: four
// groups of 32 bytes, byte i of a group is pad i's). Also 1 when any pad outside the channel's
// pad mask reports a non-zero byte.
int nand_set_feature(nand_dev* channel, ULONG bank);
// Code 30: selects NAND management information (one byte argument).
int nand_mgmt_select(nand_dev* channel, ULONG bank, UCHAR selector);
// Code 29: reads NAND management information (two byte arguments) into `out`, at most
// `capacity` words.
int nand_mgmt_read(nand_dev* channel, ULONG bank, UCHAR first, UCHAR second, ULONG* out, ULONG capacity);
// Code 31: four byte arguments.
int nand_mgmt_set(nand_dev* channel, ULONG bank, const UCHAR args[4]);
// Code 32: four arguments, the second 16-bit, the others bytes.
int nand_mgmt_set_wide(nand_dev* channel, ULONG bank, UCHAR a, USHORT b, UCHAR c, UCHAR d);

// Writes `n` words (n groups of four bytes, each byte one port entry, bytes 0 to 3) to each bank
// of `bank_mask` (bits 0-7) in turn with `lane_mask` selected, waiting up to 1.5 s for each
// bank's marker. 0, or 1 at the first bank that failed (later banks untouched). Mask 0: 0.
int bank_cmd_write(nand_dev* channel, ULONG bank_mask, ULONG lane_mask, ULONG n, const ULONG* words);
// The all-pads lane mask of a bank, and the all-banks mask.
ULONG direct_all_pads(const nand_dev* channel);
ULONG direct_all_banks(const nand_dev* channel);

// Bank configuration, code 3 to bank 0 with every bank selected:
// word = ((c << 19 | a | 0x100) << 8) | (wide ? 0x2000000 : 0x1000000) | b. 0, or -4096 ("%s:
// Unable to set bank configuration.\n").
int nand_set_bank_config(nand_dev* channel, ULONG a, ULONG b, bool wide, ULONG c);
// The NAND part's features (codes 17, 18, 19 from the channel's row of the part table) to every
// bank. 0, or 1 when the part is not in the table or a bank did not answer.
int nand_set_part_features(nand_dev* channel);

// Binary-command requests (type 10): each takes a request and context from the pool (may wait,
// below DISPATCH_LEVEL), marks it waited on and freed by the caller, expects one read-back and
// carries its port writes in the request's inline item area. NULL when none could be had
// ("%s: Unable to allocate ioctx.\n", "%s: Could not allocate request.\n").
// Reads the port word of `bank` into buffer[0].
velkor_request* binary_read_port(nand_dev* channel, ULONG bank, ULONG* buffer);
// Sets the port word (through bank 0's port); answers without payload.
velkor_request* binary_set_port_word(nand_dev* channel, ULONG value);
// Code 25 with `argument` to `bank`; answers without payload.
velkor_request* binary_marker_read(nand_dev* channel, ULONG argument, ULONG bank);
// The bad-pad mask of `bank` (the pads no block in use has) as the bank's port word: code 10,
// the mask and the end to the bank's own port; answers without payload.
velkor_request* binary_bad_pad_mask(nand_dev* channel, ULONG bank, ULONG mask);
// One such chain per bank of `masks` (banks of the channel, at most 8), each submitted and waited
// for in turn: 0, or the OR of the statuses (a chain that could not be built counts as 1).
// Below DISPATCH_LEVEL.
int bad_pad_mask_chains_run(nand_dev* channel, const ULONG* masks, ULONG banks);

// The issue handler of binary commands: the items as they stand, the request's status tag
// written to 400 before each trigger step. Under the issue lock.
int issue_binary_command(nand_dev* channel, velkor_request* request);

// The 0x08 decoder of the channel (cq_decoder_ops::direct_readback): read-backs that name no
// request (index 0) belong to direct commands.
bool direct_readback_decode(completion_queue* ring, ULONG word, ULONG* result);

// ---- The read-back state a channel keeps

// pending: 0 idle, 1 armed, 2 the decoder is filling it. status: -KPAV_EIO until a read-back fits.
struct direct_readback {
    volatile LONG pending;
    ULONG* destination;
    ULONG capacity;  // words
    volatile LONG status;
    volatile LONG done;
};

constexpr ULONG DIRECT_MARKER_CODE = 10;
constexpr ULONG DIRECT_SEQUENCE_END = 239;
constexpr ULONG DIRECT_TRIGGER_STEP = 26;  // bank << 28 | 26: marker or binary trigger
constexpr ULONG DIRECT_WAIT_US = 1500000;
