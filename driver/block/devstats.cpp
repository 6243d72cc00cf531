// Per-device I/O statistics and their kinfo views.
#include "driver/block/devstats.h"

#include "driver/platform/errno_table.h"
#include "driver/platform/kinfo.h"
#include "driver/platform/memory.h"

namespace {

volatile LONG64 tsc_per_usec_cached = 0;

const char* const type_names[DEVSTATS_TYPES] = {"read", "write", "dcard", "other"};
const char* const threshold_names[DEVSTATS_TYPES] = {
    "read_high_duration_threshold", "write_high_duration_threshold", "dcard_high_duration_threshold",
    "other_high_duration_threshold"};

ULONG saturating_increment(ULONG value) {
    return value == 0xFFFFFFFFu ? value : value + 1;
}

// A calibration that measured nothing (a stopped clock) still divides safely.
ULONG64 ticks_per_usec_of(const devstats* stats) {
    return stats->ticks_per_usec != 0 ? stats->ticks_per_usec : 1;
}

// Thresholds travel in microseconds and are kept in ticks.
int threshold_access(void* variable, ULONG direction, kinfo_desc* read, kinfo_desc* write) {
    PAGED_CODE();
    auto* io = (devstats_io*)variable;
    ULONG64 per_usec = ticks_per_usec_of(io->owner);
    kpav_spin_lock(io->owner->lock);
    if (direction == KINFO_WRITE) {
        io->threshold_ticks = *(const ULONG64*)write->buffer * per_usec;
    } else {
        *(ULONG64*)read->buffer = io->threshold_ticks / per_usec;
    }
    kpav_spin_unlock(io->owner->lock);
    return 0;
}

int show_stats(void* priv, ULONG direction, kinfo_seq* seq) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(direction);
    auto* stats = (devstats*)priv;
    ULONG counts[3];
    kpav_spin_lock(stats->lock);
    for (ULONG i = 0; i < 3; i++) {
        counts[i] = stats->client_counts[i];
        if (!kinfo_seq_measure_only(seq)) {
            stats->client_counts[i] = 0;
        }
    }
    kpav_spin_unlock(stats->lock);
    kinfo_seq_printf(seq, ".duration_per_us               %llu\n", stats->ticks_per_usec);
    for (ULONG i = 0; i < 3; i++) {
        kinfo_seq_printf(seq, ".client_defined_count[%u]       %u\n", i, counts[i]);
    }
    return 0;
}

int show_header(void* priv, ULONG direction, kinfo_seq* seq) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(priv);
    UNREFERENCED_PARAMETER(direction);
    kinfo_seq_printf(seq, "Type  Aborts Errors            Successes >HiDur            Tot-Bytes   Max-Bytes   "
                          "Avg-Bytes Tot-Dur(us) Avg-Dur(us) Max-Dur(us)   IOPs MB/s\n");
    return 0;
}

// One type's line; reading it takes the counters and clears them (but not the threshold). A
// size query only measures and leaves them alone.
int show_io(void* priv, ULONG direction, kinfo_seq* seq) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(direction);
    auto* io = (devstats_io*)priv;
    devstats* stats = io->owner;
    kpav_spin_lock(stats->lock);
    devstats_io copy = *io;
    if (!kinfo_seq_measure_only(seq)) {
        ULONG64 threshold = io->threshold_ticks;
        RtlZeroMemory(io, sizeof *io);
        io->owner = stats;
        io->threshold_ticks = threshold;
    }
    kpav_spin_unlock(stats->lock);

    ULONG64 per_usec = ticks_per_usec_of(stats);
    ULONG errors = copy.errors - copy.error_baseline;
    ULONG64 successes = copy.completions - errors - copy.aborts - copy.bad_durations;
    ULONG64 total_us = copy.total_ticks / per_usec;
    ULONG64 average_us = 0, average_bytes = 0, iops = 0, mbps = 0;
    // Guarded on the microseconds themselves: a few ticks make 0 us.
    if (total_us != 0 && successes != 0) {
        average_us = total_us / successes;
        average_bytes = copy.total_bytes / successes;
        iops = successes * 1000000 / total_us;
        mbps = copy.total_bytes / total_us;
    }
    if (copy.bad_durations != 0) {
        kinfo_seq_printf(seq, "bad_duration_count %llu\n", copy.bad_durations);
    }
    const char* name = type_names[io - stats->io];
    kinfo_seq_printf(seq, "%-5s %6u %6u %20llu %6u %20llu %11llu %11llu %11llu %11llu %11llu %6llu %4llu\n", name,
                     copy.aborts, errors, successes, copy.high_durations, copy.total_bytes, copy.max_bytes,
                     average_bytes, total_us, average_us, copy.max_ticks / per_usec, iops, mbps);
    return 0;
}

int show_mem_alloced(void* priv, ULONG direction, kinfo_seq* seq) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(direction);
    kinfo_seq_printf(seq, "%llu\n", (ULONG64)ReadNoFence64(&((mem_stats*)priv)->alloced_bytes));
    return 0;
}

int show_mem_high(void* priv, ULONG direction, kinfo_seq* seq) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(direction);
    kinfo_seq_printf(seq, "%llu\n", (ULONG64)ReadNoFence64(&((mem_stats*)priv)->high_bytes));
    return 0;
}

int show_mem_all(void* priv, ULONG direction, kinfo_seq* seq) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(direction);
    auto* stats = (mem_stats*)priv;
    kinfo_seq_printf(seq, "alloced_bytes: %llu\n", (ULONG64)ReadNoFence64(&stats->alloced_bytes));
    kinfo_seq_printf(seq, "high_bytes:    %llu\n", (ULONG64)ReadNoFence64(&stats->high_bytes));
    return 0;
}

}  // namespace

ULONG64 kpav_tsc_per_usec() {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    LONG64 cached = ReadNoFence64(&tsc_per_usec_cached);
    if (cached != 0) {
        return (ULONG64)cached;
    }
    ULONG64 start = kpav_read_tsc();
    kpav_udelay(100);
    ULONG64 measured = (kpav_read_tsc() - start) / 100;
    if (measured == 0) {
        measured = 1;
    }
    InterlockedCompareExchange64(&tsc_per_usec_cached, (LONG64)measured, 0);
    return (ULONG64)ReadNoFence64(&tsc_per_usec_cached);
}

int devstats_alloc(devstats** out, void* ignored, kpav_spinlock* lock) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(ignored);
    *out = nullptr;
    auto* stats = (devstats*)kpav_zalloc(sizeof(devstats), KPAV_TAG_MAL);
    if (stats == nullptr) {
        return -KPAV_ENOMEM;
    }
    stats->lock = lock;
    stats->ticks_per_usec = kpav_tsc_per_usec();
    for (devstats_io& io : stats->io) {
        io.owner = stats;
    }
    *out = stats;
    return 0;
}

void devstats_free(devstats** stats) {
    PAGED_CODE();
    if (*stats == nullptr) {
        return;
    }
    devstats_kinfo_exit(*stats);
    kpav_free(*stats, KPAV_TAG_MAL);
    *stats = nullptr;
}

ULONG devstats_record(devstats* stats, ULONG command, ULONG64 bytes, int status, ULONG64 ticks) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (stats == nullptr || stats->enabled == 0) {
        return 0;
    }
    ULONG type = command >= 1 && command <= 3 ? command - 1 : DEVSTATS_OTHER;
    devstats_io* io = &stats->io[type];
    io->completions++;
    if (status != 0) {
        io->errors = saturating_increment(io->errors);
        return 0;
    }
    if (ticks == 0) {
        io->bad_durations++;
        return 0;
    }
    io->total_bytes += bytes;
    io->total_ticks += ticks;
    if (bytes > io->max_bytes) {
        io->max_bytes = bytes;
    }
    if (ticks > io->max_ticks) {
        io->max_ticks = ticks;
    }
    if (io->threshold_ticks != 0 && ticks > io->threshold_ticks) {
        io->high_durations = saturating_increment(io->high_durations);
        return io->high_durations;
    }
    return 0;
}

int devstats_kinfo_init(devstats* stats, void* ignored, kinfo_node* parent) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(ignored);
    if (parent == nullptr) {
        return 0;
    }
    int rc = kinfo_create_dir(parent, "devstats", &stats->dir);
    if (rc != 0) {
        return rc;
    }
    // A node that cannot be made is left out; the rest of the view still serves.
    kinfo_create_text(stats->dir, "stats", nullptr, show_stats, stats);
    kinfo_create_value(stats->dir, KINFO_UINT32, "enabled", KINFO_MODE_RW, &stats->enabled, sizeof(ULONG), nullptr);
    for (ULONG i = 0; i < DEVSTATS_TYPES; i++) {
        kinfo_create_value(stats->dir, KINFO_UINT64, threshold_names[i], KINFO_MODE_RW, &stats->io[i],
                           sizeof(ULONG64), threshold_access);
    }
    if (kinfo_create_dir(stats->dir, "io", &stats->io_dir) == 0) {
        kinfo_create_text(stats->io_dir, "0hdr", nullptr, show_header, stats);
        for (ULONG i = 0; i < DEVSTATS_TYPES; i++) {
            kinfo_create_text(stats->io_dir, type_names[i], nullptr, show_io, &stats->io[i]);
        }
    }
    return 0;
}

void devstats_kinfo_exit(devstats* stats) {
    PAGED_CODE();
    // "io" goes with its parent.
    stats->io_dir = nullptr;
    if (stats->dir != nullptr) {
        kinfo_remove(&stats->dir);
    }
}

int mem_stats_kinfo_init(mem_stats* stats, kinfo_node* parent, kinfo_node** out_dir) {
    PAGED_CODE();
    kinfo_node* dir = nullptr;
    int rc = kinfo_create_dir(parent, "mem_stats", &dir);
    if (out_dir != nullptr) {
        *out_dir = dir;
    }
    if (rc != 0) {
        return rc;
    }
    kinfo_create_text(dir, "alloced_bytes", nullptr, show_mem_alloced, stats);
    kinfo_create_text(dir, "high_bytes", nullptr, show_mem_high, stats);
    kinfo_create_text(dir, "all", nullptr, show_mem_all, stats);
    return 0;
}
