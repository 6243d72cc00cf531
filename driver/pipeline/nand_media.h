// What the driver knows of each NAND family's media: the media policy records (rated wear,
// read-disturb refresh limits, read sampling, data retention), the NAND management info records
// that parametrise the read levels, the page class of a page within a block, the drive tuning
// strings (endurance and equalization parameters as compact numbers) with the equalization
// formula that turns them into the equalization table, and a median over selected pads.
//
// Pure logic, no locks; any IRQL unless said. The equalization formula works in single precision
// (expf); the rest is integer arithmetic.
#pragma once

#include "driver/platform/os.h"

struct nand_dev;

// ---- Records

// A media policy record; the table ends with key 0.
struct nand_media_policy {
    ULONG key;
    ULONG rated_wear;        // erase count at the end of rated life
    ULONG values_a[2];       // the second is the equalization formula's third input
    ULONG scan_interval;     // copied into the channel
    ULONG sample_interval;   // every Nth read of an erase block is sampled
    ULONG read_limit_worn;   // refresh limit at or beyond rated wear
    ULONG read_limit_new;    // refresh limit up to a tenth of rated wear
    ULONG retention_days_worn;
    ULONG retention_days_new;
    ULONG values_b[2];       // read by the log's agents and the channel; the first in 1/10000 of rated wear
    ULONG last;
};
extern const nand_media_policy nand_media_policy_table[];

constexpr ULONG NAND_TUNING_BYTES_MAX = 128;
constexpr ULONG NAND_FIXED_RETRY_MAX = 18;

// A NAND management info record; the table ends with key 0. The read levels read its values.
struct nand_mgmt_info {
    ULONG key;
    UCHAR level_count;  // levels per parameter word
    CHAR level_min, level_max;
    CHAR retry_low, retry_high, retry_step;
    CHAR retry_offset;
    CHAR base_word[4];
    UCHAR endurance_length;
    UCHAR endurance[NAND_TUNING_BYTES_MAX];
    UCHAR equalization_length;
    UCHAR equalization[NAND_TUNING_BYTES_MAX];
    UCHAR spread;
    UCHAR fixed_retry_count;
    ULONG fixed_retry[NAND_FIXED_RETRY_MAX];
};
extern const nand_mgmt_info nand_mgmt_info_table[];

// ---- Lookups

// The policy record with `key`; NULL when none has it.
const nand_media_policy* nand_media_policy_find(ULONG key);
// The management info record with `key`; NULL when none has it.
const nand_mgmt_info* nand_mgmt_info_lookup(ULONG key);
// The channel keeps the record with `key` (a reference and a copy of its values): 0, or
// -KPAV_EINVAL when no record has the key.
int nand_mgmt_info_find(nand_dev* channel, ULONG key);

// ---- Wear policy (the channel's policy record; without one: 0, the longest retention)

constexpr ULONG READ_POLICY_NOTHING = 0;
constexpr ULONG READ_POLICY_SAMPLE = 1;
constexpr ULONG READ_POLICY_REFRESH = 2;
// What a read of an erase block that has been erased `erase_count` times and read `read_count`
// times asks for: nothing, a sample of this read, or a refresh of the block.
ULONG read_count_policy_of(const nand_media_policy* policy, ULONG erase_count, ULONG64 read_count);
ULONG read_count_policy(nand_dev* channel, ULONG erase_count, ULONG64 read_count);
// The wear scale: v up to 64, then 32 steps per doubling.
ULONG wear_scale(ULONG v);
// Seconds data written at `wear` erases is kept.
ULONG retention_seconds_of(const nand_media_policy* policy, ULONG wear);
ULONG retention_seconds(nand_dev* channel, ULONG wear);
// The class of `page` within a block for the policy's family (key 5: 1, 2 or 3; key 6: 2 or 3);
// other families leave *out unchanged.
void page_class_of(const nand_media_policy* policy, ULONG page, ULONG* out);
void page_class(nand_dev* channel, ULONG page, ULONG* out);

// ---- Drive tuning

constexpr ULONG ENDURANCE_STRING_BYTES = 27;
constexpr ULONG EQUALIZATION_STRING_BYTES = 31;
constexpr ULONG EQ_COLUMNS = 24;
constexpr ULONG EQ_ROWS_MAX = 1000;
// The upper age bounds of the equalization table's columns, in seconds.
extern const ULONG eq_column_age_seconds[EQ_COLUMNS];

// The equalization parameters as decoded.
struct eq_parameters {
    UCHAR type;
    UCHAR q;  // quantum
    UCHAR d;  // divisor
    UCHAR extra[2];
    float f[9];
    ULONG start, end, step;  // erase counts
};

// The drive tuning of a channel: its endurance values, equalization parameters, the model
// descriptor chosen and the equalization table (rows x EQ_COLUMNS signed cells; NULL when not
// capable).
struct drive_tuning {
    UCHAR endurance_type;
    float endurance[13];
    eq_parameters eq;
    const struct nand_model_descriptor* model;
    ULONG rows;
    CHAR* table;
};

// A compact number: an 11-bit two's-complement mantissa in bits 5-15, a 5-bit two's-complement
// exponent in bits 0-4; mantissa x 10^(exponent - 2).
float compact_number(USHORT word);
// The equalization formula with the parameters f, an erase count x, the policy value y and an
// age bound z in seconds: the result truncated toward zero, saturated at the 32-bit limits.
LONG eq_formula(const float f[9], ULONG x, ULONG y, ULONG z);
// Decodes a 31-byte equalization string: 0, or -KPAV_EINVAL for another length.
int eq_parameters_decode(const UCHAR* bytes, ULONG length, eq_parameters* out);

// Decodes the management info's strings into a new tuning record at *tuning (which the caller
// frees with drive_tuning_free; it is set even on failure once allocated). `capable`: the
// channel's equalization-capable flag; `policy_value`: the policy's third value. 0, -KPAV_ENOMEM
// or -KPAV_EINVAL, each failure logged with `name`. Below DISPATCH_LEVEL (pool, floating point).
int drive_tuning_decode(const char* name, bool capable, ULONG policy_value, const nand_mgmt_info* info,
                        drive_tuning** tuning);
void drive_tuning_free(drive_tuning* tuning);
// A cell of the equalization table.
inline CHAR eq_cell(const drive_tuning* tuning, ULONG row, ULONG column) {
    return tuning->table[row * EQ_COLUMNS + column];
}

// ---- Median

// The lower median of the values of the pads set in `pad_mask` (pad k: bit k, at most 32);
// 0 for an empty mask. `values` is left as it was.
LONG pad_mask_median(ULONG pad_mask, const CHAR* values);
