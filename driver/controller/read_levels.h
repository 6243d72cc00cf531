// Read levels (dynamic equalization): for every erase block, die (bank) and pad a signed level
// that reads send to the NAND as its read-threshold parameters. A level is the equalization
// table's cell for the block's erase count and temperature-weighted age, plus an offset learned
// from reads that needed a retry. Also the retry sequence of read-error recovery, the per-block
// updates the store asks for and the refresh of each die's default level.
//
// The channel's context (nand_dev::readlevel) exists once readlevel_setup found the controller's
// equalization hardware and the family's parameters; without it every operation does nothing
// (the retry sequence has no retry, a block has no parameter word). Table writes and the reads
// that feed a parameter word take the context's spin lock: at most DISPATCH_LEVEL unless said.
#pragma once

#include "driver/platform/os.h"
#include "driver/platform/sync.h"

struct nand_dev;
struct velkor_request;
struct drive_tuning;

// ---- Set-up and tear-down

// Decodes the family's drive tuning and allocates the level tables: every level L0 (the cell
// for erase count 100 at one day), every offset 0. 0 (also when the channel has no equalization
// hardware: nothing is set up then), or the decode's error or -KPAV_ENOMEM, after which the
// hardware flag is cleared and nothing is left. PASSIVE_LEVEL.
int readlevel_setup(nand_dev* channel);
// Frees the context (tables and tuning). Safe without one.
void readlevel_free(nand_dev* channel);

// ---- The store's notices

// An erase block changed state: in states 4 and 9 its offsets become the family's retry offset,
// in state 5 they are cleared (states 3 and 7 are left alone); its levels are recomputed.
void readlevel_eb_update(nand_dev* channel, USHORT eb);
// Each die's default level: the most frequent level over the pads of every usable block, each
// level spread over its neighbours.
void readlevel_refresh_all(nand_dev* channel);

// ---- Reads

// The parameter word of a read at `level`: for each of the family's levels k, the base level k
// plus `level`, clamped to the family's range and masked with the part's value mask, at bits 8k.
ULONG readlevel_apply(const nand_dev* channel, LONG level);
// The parameter word of reads of `bank` in `eb`: readlevel_apply of the median level of the
// block's pads in that bank; all ones without read levels.
ULONG readlevel_eb_word(nand_dev* channel, USHORT eb, ULONG bank);

// ---- Retries (read-error recovery)

// The next read-level retry of `request` on `die` of `eb`, from *retry_index (0 to start): sets
// the request's levels and per-bank parameter word and advances the index; false when the
// sequence is exhausted (the request's retry state of the die is then cleared) or there are no
// read levels.
bool readlevel_retry_next(nand_dev* channel, velkor_request* request, ULONG* retry_index, USHORT eb, ULONG die);
// The retry succeeded: the levels it used become the block's (the offsets learn the difference
// to the table's), or, with a family's fixed words, the block is reported for attention. The
// request's retry state of the die is cleared.
void readlevel_retry_success(nand_dev* channel, velkor_request* request, USHORT eb, ULONG die);

// ---- The health pass (buffers of dies x pads bytes, die-major)

// clamp(table cell) of every pad of every die of `eb`.
void readlevel_table_fill(nand_dev* channel, USHORT eb, CHAR* out);
// clamp(table cell + learned offset) of every pad of every die of `eb`.
void readlevel_levels_fill(nand_dev* channel, USHORT eb, CHAR* out);
// Stores learned levels: offset = new - base, level = new, for every pad of every die of `eb`.
void readlevel_learn_dies(nand_dev* channel, USHORT eb, const CHAR* levels, const CHAR* base);

// ---- Parts (also for tests)

constexpr ULONG READLEVEL_DIES_MAX = 8;
constexpr ULONG READLEVEL_PADS_MAX = 32;

// The ageing speed at `celsius` (0..100) relative to 40 C, times 10^6.
extern const ULONG readlevel_temperature_factor[101];
// Seconds at 40 C equivalent to `elapsed` seconds at `celsius`: the temperature is held to
// 0..100 (above 100 logged), the result saturates at 0xFFFFFFFF.
ULONG readlevel_weighted_age(ULONG elapsed, LONG celsius);
// The temperature-weighted age of `eb` (one day when the system time is not running).
ULONG readlevel_eb_age(nand_dev* channel, USHORT eb);
// The equalization table's cell for an erase count and an age in seconds.
CHAR eq_table_cell(const drive_tuning* tuning, ULONG erase_count, ULONG age_seconds);
// The card's temperature the ages are weighted with, in degrees Celsius.
LONG readlevel_temperature(nand_dev* channel);

// A die's parameter entry: its base levels and a level.
struct readlevel_entry {
    CHAR base_word[4];
    CHAR level;
};

struct readlevel_context {
    ULONG ebs, dies, pads;
    // pads x dies x ebs bytes each, index (dies x eb + die) x pads + pad.
    CHAR* offsets;     // learned
    CHAR* levels;      // in use
    CHAR* retry_base;  // the table level a retry started from
    readlevel_entry defaults[READLEVEL_DIES_MAX];  // each die's default level
    readlevel_entry retry_entries[READLEVEL_DIES_MAX];
    ULONG histogram[256];
    drive_tuning* tuning;
    // The family's values (the channel's management info) and the part's value mask.
    UCHAR level_count;
    CHAR level_min, level_max;
    CHAR retry_low, retry_high, retry_step, retry_offset;
    CHAR base_word[4];
    UCHAR spread;
    UCHAR fixed_count;
    const ULONG* fixed_words;
    ULONG value_mask;
    volatile LONG time_warned;
    kpav_spinlock lock;  // the tables, the entries and the histogram
};
