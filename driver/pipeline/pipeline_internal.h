// Helpers shared by the pipeline's own files.
#pragma once

#include "driver/pipeline/eb_geometry.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/pipeline/services.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/os.h"
#include "driver/platform/time.h"

inline ULONG64 pipe_now_us() {
    return kpav_get_usecs();
}

inline void status_set(nand_dev* channel, LONG bits) {
    InterlockedOr(&channel->software_status, bits);
}
inline void status_clear(nand_dev* channel, LONG bits) {
    InterlockedAnd(&channel->software_status, ~bits);
}
inline bool status_test(nand_dev* channel, LONG bits) {
    return (ReadAcquire(&channel->software_status) & bits) != 0;
}
// Clears the bits; true when any was set.
inline bool status_take(nand_dev* channel, LONG bits) {
    return (InterlockedAnd(&channel->software_status, ~bits) & bits) != 0;
}

inline void stat_add(nand_dev* channel, ULONG type, ULONG stat, ULONG64 value) {
    if (type < REQUEST_TYPE_COUNT) {
        InterlockedExchangeAdd64(&channel->stats[type][stat], (LONG64)value);
    }
}

inline velkor_request* request_of_queue_link(LIST_ENTRY* link) {
    return CONTAINING_RECORD(link, velkor_request, queue_link);
}

// The register-dump services a submit and a worker pass run.
void channel_service_requests(nand_dev* channel);

// The request-queue lock's holders add a chain to a queue through these.
inline request_queue* channel_queue(nand_dev* channel, ULONG index) {
    return &channel->queues[index];
}

// Takes a request for retirement: true for the one caller that does.
inline bool request_claim(velkor_request* request) {
    return InterlockedExchange(&request->retire_claim, 0) != 0;
}

// Raises IRQL to DISPATCH_LEVEL and tries the spin lock once.
bool kpav_spin_trylock(kpav_spinlock* lock);
