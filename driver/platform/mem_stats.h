// A memory counter pair: the bytes a pool holds now and the most it ever held. Pools of bios and
// metadata pages feed one per card; the kinfo view of the pair comes with the device statistics.
#pragma once

#include "driver/platform/os.h"

struct mem_stats {
    volatile LONG64 alloced_bytes;
    volatile LONG64 high_bytes;
};

inline void mem_stats_init(mem_stats* stats) {
    stats->alloced_bytes = 0;
    stats->high_bytes = 0;
}

// Adds `bytes` and raises the high-water mark when the new total passes it. Any IRQL.
inline void mem_stats_add(mem_stats* stats, ULONG64 bytes) {
    if (stats == nullptr) {
        return;
    }
    LONG64 now = InterlockedExchangeAdd64(&stats->alloced_bytes, (LONG64)bytes) + (LONG64)bytes;
    LONG64 high = ReadNoFence64(&stats->high_bytes);
    while (now > high) {
        LONG64 seen = InterlockedCompareExchange64(&stats->high_bytes, now, high);
        if (seen == high) {
            break;
        }
        high = seen;
    }
}

// Any IRQL.
inline void mem_stats_sub(mem_stats* stats, ULONG64 bytes) {
    if (stats != nullptr) {
        InterlockedExchangeAdd64(&stats->alloced_bytes, -(LONG64)bytes);
    }
}
