// The in-flight range table: data writes that are queued or on the card, by logical sector. The
// data log owns the table (its range locks read it and remove writes from it); the pipeline
// enters each write of a data chain as it queues it. A range of 1 to 2048 sectors lives in the
// bucket of its first sector; a longer one in the list of large ranges.
#pragma once

#include "driver/platform/os.h"
#include "driver/platform/sync.h"

struct velkor_request;

constexpr ULONG64 LBA_RANGE_LARGE = 2048;  // sectors; longer ranges go to the large list

struct lba_range_bucket {
    kpav_spinlock lock;
    LIST_ENTRY list;
};

struct lba_range_table {
    ULONG bucket_count;
    lba_range_bucket* buckets;
    ULONG64 width;  // sectors per bucket
    kpav_spinlock lock;  // the large list
    LIST_ENTRY large;
    volatile LONG large_count;
};

// 0 or -KPAV_ENOMEM. Buckets of `width` sectors (at least 1), `bucket_count` of them (at least 1).
int lba_range_table_init(lba_range_table* table, ULONG bucket_count, ULONG64 width);
void lba_range_table_free(lba_range_table* table);
// The bucket that holds ranges starting at `lba`: the one its first sector falls in, the last
// bucket for everything beyond.
ULONG lba_range_bucket_of(const lba_range_table* table, ULONG64 lba);
// Enters a write (its range_lba, range_count) into the table; a zero count is not entered.
void lba_range_insert(lba_range_table* table, velkor_request* request);
// Takes a write out of the table (it must be in it).
void lba_range_remove(lba_range_table* table, velkor_request* request);
