// The reverse sort: the other collector that rebuilds the forward map after an unclean stop,
// for logs whose reverse map would not fit in memory (or whose addresses do not fit 32 bits).
// The log scan appends one 16-byte record per run of packets or trim: {sector range,
// log-ordered packet address, trim flag}; the build radix-sorts them by sector and merges them so
// that what was written last wins, trims cutting older data, and fills every shard of the
// forward map with the bulk builder. 32 bytes per record (two arrays).
//
// An ordered address is 16 + (the erase block's place in write order) x LEB span + packet offset:
// comparing two compares when they were written.
//
// Single-threaded, before the device takes I/O: PASSIVE_LEVEL throughout.
#pragma once

#include "driver/fmap/lrbtree.h"

// bytes 0-6 first sector; byte 7 bits 32-39 of the ordered address; bytes 8-11 length (bits
// 0-30) and trim flag (bit 31); bytes 12-15 bits 0-31 of the ordered address.
struct rsort_record {
    ULONG64 head;
    ULONG length;
    ULONG address;
};
static_assert(sizeof(rsort_record) == 16, "16-byte records");

// A record array: a top table of directory pages (512 record pages each), record pages of 256.
struct rsort_array {
    rsort_record*** top;
    ULONG top_slots;
};

struct rsort_ctx {
    rsort_array source;
    rsort_array sorted;
    ULONG* counters;       // 3 x 65536 digit counters
    pav_log* log;
    ULONG64 limit;         // records the memory budget allows
    ULONG shard_count;
    ULONG64 used;
    ULONG64 allocated;     // a multiple of 65536
    ULONG steps;           // growth steps taken
    ULONG64 consumed;
    USHORT* ordinal_of;    // per LEB its place in write order (65535: not in the chain)
    USHORT* leb_of;        // per place in write order its LEB
    ULONG ordered_lebs;
};

constexpr ULONG64 RSORT_STEP = 65536;
constexpr ULONG64 RSORT_MAX_RECORDS = 0xFFFDFFFF;

// Creates a context for up to `record_limit` records (the memory budget in records) over the
// log's chain as it is now (its write order). `shard_count` is the forward map's sector shards.
// 0 or -KPAV_ENOMEM (nothing left allocated).
int rsort_create(rsort_ctx** out, ULONG64 record_limit, pav_log* log, ULONG shard_count);
// Makes room for n more records: 0, or -KPAV_ENOMEM beyond the budget or without memory.
int rsort_reserve(rsort_ctx* ctx, ULONG64 n);
// Appends a record: data (trim false) at packets (leb, offset).. of the range, or a trim ordered
// as if written at (leb, offset). 0; -KPAV_EINVAL for a range beyond 2^48 sectors, an LEB not in
// the chain, or data packets the LEB does not have; -KPAV_ERANGE for an ordered address past 40
// bits; -KPAV_ENOMEM.
int rsort_add(rsort_ctx* ctx, const lrbtree_range* range, bool trim, USHORT leb, ULONG offset);
// Appends a trim at log position (sequence << 24 | offset): its LEB is the one of that sequence,
// or, when no LEB has it, it counts as written after every packet of the LEB written before. A
// position older than every LEB of the chain cuts nothing and is dropped.
int rsort_add_at_log_position(rsort_ctx* ctx, const lrbtree_range* range, ULONG64 position);
// Sorts and merges every record into the forward map's sector range (whose shards must be
// empty), recording the packets it maps as valid: 0 or the first failing shard's error.
int rsort_build_forward_map(lrbtree* fmap, rsort_ctx* ctx, const lrbtree_validity* validity);
void rsort_destroy(rsort_ctx** ctx);
