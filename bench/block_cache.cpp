#include "bench/block_cache.h"

#include "driver/log/mblk.h"
#include "sim/kernel/control.h"

bool block_cache_once() {
    static const bool made = [] {
        // The benchmarks before may still be ending their threads.
        sim::kernel::wait_for_system_threads(10000);
        sim::kernel::boot();
        return mblk_cache_init() == 0;
    }();
    return made;
}
