// NAND command cycles: the card has no NAND command logic beyond a byte port per bank and a
// small sequencer, so the host spells out every operation as address (and command) cycles,
// sequencer steps and transfer commands, framed as sequences the bank sequencer runs. This file
// holds those encodings: bank-port cycles and row addresses, sequence framing, the erase
// program, the row program of a flush record and its deferred start, the page-read and sample
// steps, the per-die program budget, and the data randomizer's run words.
//
// Everything here appends ring entries under the channel's issue lock and never fails: the
// issue loop checked the ring's credits before it ran a handler.
//
// Tag words (registers 80, 400, 520, 3408) carry ring << 24 | index << 2 | subtype: the
// completion ring that reports, the request's pool index (or the flush record's index) and the
// subtype (0 marker, 1 flush record, 2 request status step, 3 read sequence).
#pragma once

#include "driver/platform/os.h"

struct nand_dev;
struct velkor_request;
struct flush_record;

// NAND-window registers of the sequencer and the bank ports.
constexpr ULONG NAND_BUDGET = 0;
constexpr ULONG NAND_PROGRAM_PARAM_A = 8;
constexpr ULONG NAND_PROGRAM_PARAM_B = 12;
constexpr ULONG NAND_COLUMN = 60;
constexpr ULONG NAND_LENGTH = 64;
constexpr ULONG NAND_LANE_MASK_2 = 68;
constexpr ULONG NAND_LANE_MASK = 72;
constexpr ULONG NAND_WRITE_RUN = 112;
constexpr ULONG NAND_BANK_PORT = 156;  // + 32 x bank
constexpr ULONG NAND_STEP = 396;
constexpr ULONG NAND_STATUS_TAG = 400;
constexpr ULONG NAND_ROW_MARKER = 404;
constexpr ULONG NAND_READ_RUN = 480;
constexpr ULONG NAND_RUN_FINAL = 508;
constexpr ULONG NAND_RUN_WORD = 516;
constexpr ULONG NAND_SEQUENCE_TARGET = 520;
constexpr ULONG NAND_SEQUENCE_END = 524;
constexpr ULONG NAND_PROGRAM_GO = 3340;
constexpr ULONG NAND_READ_LEVEL = 3344;  // read-threshold parameter word of the next page read
constexpr ULONG NAND_FLUSH_TAG = 3408;

// Tag subtypes.
constexpr ULONG TAG_MARKER = 0;
constexpr ULONG TAG_FLUSH = 1;
constexpr ULONG TAG_STATUS = 2;
constexpr ULONG TAG_SEQUENCE = 3;
constexpr ULONG TAG_SEQUENCE_FLAG = 1u << 16;  // of a sequence target

// Sequencer steps (register 396) and their bits.
constexpr ULONG STEP_STATUS = 0x10;          // bit 4: a status step, reported by a bank word
constexpr ULONG STEP_HEADER = 0x20000B;
constexpr ULONG STEP_PROGRAM_START = 13;
constexpr ULONG STEP_ERASE_ONE = 19;         // one row address
constexpr ULONG STEP_ERASE_PLANES = 23;      // both planes' addresses
constexpr ULONG STEP_LONG_SEQUENCE = 1u << 27;  // cleared on sequences of 33 or more entries
constexpr ULONG SEQUENCE_LONG_ENTRIES = 33;
constexpr ULONG PROGRAM_GO_VALUE = 55;
constexpr ULONG RUN_WORD_STATS = 192;        // the read asks for a page-statistics record
constexpr ULONG RANDOMIZER_PERIOD = 32767;

// Flag bits a request carries into these encodings.
constexpr ULONG64 REQ_ALL_LANES = 1ull << 9;       // erase every lane, whatever the block's mask
constexpr ULONG64 REQ_STATS_16 = 1ull << 16;       // page statistics wanted
constexpr ULONG64 REQ_STATS_17 = 1ull << 17;
constexpr ULONG64 REQ_READ_MODE_8 = 1ull << 20;    // page reads in mode 8
constexpr ULONG64 REQ_MULTI_PLANE_READ = 1ull << 26;

inline ULONG nand_tag_word(ULONG ring, ULONG index, ULONG subtype) {
    return (ring & 0xFF) << 24 | (index & 0x3FFF) << 2 | (subtype & 3);
}
// The completion ring a request's words go to (0 when it has none).
ULONG nand_request_ring(const velkor_request* request);

// ---- Cycles
// One command cycle pair to bank `bank`'s port, low opcode first; each byte repeated in the four
// byte lanes so that every die of the bank row sees it.
void nand_command_cycle(nand_dev* channel, ULONG bank, USHORT opcodes);
// The row address of page `page` of `eb` on `plane` of `bank`.
ULONG nand_row_address(nand_dev* channel, USHORT eb, ULONG bank, ULONG page, ULONG plane);
// Three address cycles of a row address, low byte first, to the bank's port.
void nand_address_cycles(nand_dev* channel, ULONG bank, ULONG row_address);
// The same three bytes to each lane's own registers (lanes 0 .. lanes - 1).
void nand_lane_address_cycles(nand_dev* channel, ULONG lanes, ULONG row_address);
// Command, address, command: an operation of one row.
void nand_command_address_command(nand_dev* channel, ULONG bank, USHORT first, ULONG row_address, USHORT second);

// ---- Sequences
// Opens a read sequence for `request`: the header (next slot) and the target word; the header's
// ring index is the sequence start.
void nand_sequence_header(nand_dev* channel, velkor_request* request);
// A sequencer step; a status step (bit 4) is preceded by the request's tag word and owes one bank
// word.
void nand_status_step(nand_dev* channel, velkor_request* request, ULONG step);
// Ends the open sequence; a sequence of 33 or more entries clears bit 27 of its first entry.
void nand_sequence_end(nand_dev* channel, velkor_request* request);

// ---- Programs
// The erase of `eb` on every bank, by the channel's erase mode; each bank's step owes one bank
// word of `request`.
void nand_erase_program(nand_dev* channel, velkor_request* request, USHORT eb);
// The deferred program start of `bank`, when controller set-up left one pending.
void nand_deferred_program_start(nand_dev* channel, ULONG bank);
// The row program of a flush record, appended when the record is taken: write-side randomizer
// runs, the budget, the row's address cycles, the flush tag and the row marker.
void nand_row_program(nand_dev* channel, flush_record* record);
// The start of a flush record's row at its issue: the bank's deferred start, its lanes and the
// program go.
void nand_program_start(nand_dev* channel, flush_record* record);
// The per-die budget of `bank` for a row of `row_bytes` data bytes; the per-plane counts of the
// budget unit rounding go to out[0..1].
void nand_program_budget(nand_dev* channel, USHORT eb, ULONG bank, ULONG row_bytes, ULONG out[2]);

// ---- Reads
// The page read of row `row` of `bank` in `eb`: address cycles, the page-read step, the read-side
// randomizer runs for the first `stream_bytes` bytes of the read stream, and `pieces` read-buffer
// run words. The sequence must be open; the caller carves the stream and ends the sequence.
void nand_page_read(nand_dev* channel, velkor_request* request, USHORT eb, ULONG bank, ULONG row, ULONG stream_bytes,
                    ULONG pieces);
// The sample read of row `row` of `bank` in `eb` (the part's sample operation) and its read run.
void nand_sample_read(nand_dev* channel, velkor_request* request, USHORT eb, ULONG bank, ULONG row, ULONG length);
// The lanes of `bank` that hold data in `eb` (all lanes with REQ_ALL_LANES).
ULONG nand_lane_mask(nand_dev* channel, USHORT eb, ULONG bank, ULONG64 flags);

// ---- The data randomizer
// The start table: t[0] = 1, t[i + 1] = (t[i] >> 1) ^ (0x7BD8 when bit 0 of t[i] is set); 32767
// values, driver-wide, built on first use.
USHORT randomizer_table_value(ULONG index);
// Run words for `length` bytes at byte `offset` of bank `bank`'s segment of row `row` of `eb`
// (register 112 on the write side, 480 on the read side). Nothing with the randomizer off.
void nand_randomizer_runs(nand_dev* channel, USHORT eb, ULONG bank, ULONG row, ULONG offset, ULONG length,
                          ULONG reg);
// The byte address the run values of a segment derive from.
ULONG64 nand_segment_media_address(nand_dev* channel, USHORT eb, ULONG bank, ULONG row);
