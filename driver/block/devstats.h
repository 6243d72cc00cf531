// Per-device I/O statistics: for every completed request, by type (read, write, discard, other),
// counts, errors, bytes and durations in time-stamp ticks, with a high-duration threshold per
// type. Published in the kinfo tree under "devstats"; reading a type's line takes its counters
// and clears them. Also the calibration of time-stamp ticks per microsecond and the kinfo view
// of a memory counter pair (driver/platform/mem_stats.h).
#pragma once

#include "driver/platform/mem_stats.h"
#include "driver/platform/os.h"
#include "driver/platform/sync.h"

struct kinfo_node;
struct devstats;

enum devstats_type : ULONG {
    DEVSTATS_READ = 0,
    DEVSTATS_WRITE = 1,
    DEVSTATS_DCARD = 2,
    DEVSTATS_OTHER = 3,
    DEVSTATS_TYPES = 4,
};

struct devstats_io {
    devstats* owner;
    ULONG64 completions;
    ULONG64 bad_durations;  // completions that carried no duration
    ULONG64 total_bytes;
    ULONG64 total_ticks;
    ULONG64 max_bytes;
    ULONG64 max_ticks;
    ULONG64 threshold_ticks;  // 0: none
    ULONG high_durations;
    ULONG errors;
    ULONG aborts;
    ULONG error_baseline;     // subtracted from the error count when shown
};

struct devstats {
    kpav_spinlock* lock;  // the owning device's counter lock
    kinfo_node* io_dir;
    devstats_io io[DEVSTATS_TYPES];
    kinfo_node* dir;
    ULONG client_counts[3];
    ULONG enabled;  // 0: nothing is recorded
    ULONG64 ticks_per_usec;
};

// The time-stamp counter the durations are measured in. Any IRQL.
inline ULONG64 kpav_read_tsc() {
    return (ULONG64)KeQueryPerformanceCounter(nullptr).QuadPart;
}
// Ticks per microsecond, measured once per driver over a 100 us pause; never 0.
ULONG64 kpav_tsc_per_usec();

// 0 or -KPAV_ENOMEM. The record counts nothing until "enabled" is set. PASSIVE_LEVEL, as is free.
int devstats_alloc(devstats** out, void* ignored, kpav_spinlock* lock);
void devstats_free(devstats** stats);
// Records one completed request (command 1 read, 2 write, 3 discard, else other) under the
// device's counter lock: the type's new high-duration count when this one took longer than the
// threshold, else 0. At most DISPATCH_LEVEL.
ULONG devstats_record(devstats* stats, ULONG command, ULONG64 bytes, int status, ULONG64 ticks);
// Publishes "devstats" under `parent` (nothing without one): 0 or the directory's error.
int devstats_kinfo_init(devstats* stats, void* ignored, kinfo_node* parent);
// Removes the published nodes.
void devstats_kinfo_exit(devstats* stats);

// "mem_stats" with "alloced_bytes", "high_bytes" and "all" under `parent`: 0 or the
// directory's error (a failing value node is left out).
int mem_stats_kinfo_init(mem_stats* stats, kinfo_node* parent, kinfo_node** out_dir);
