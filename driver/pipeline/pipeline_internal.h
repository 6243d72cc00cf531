// Helpers shared by the pipeline's own files.
#pragma once

#include "driver/pipeline/eb_geometry.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/card/csr_dump.h"
#include "driver/pipeline/ebinfo.h"
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

// Room in the command ring for one more issue pass or direct command (the issue lock's holder).
inline bool channel_credits_ok(const nand_dev* channel) {
    return channel->free_doorbells >= CREDIT_MIN_DOORBELLS && channel->free_entries >= CREDIT_MIN_ENTRIES;
}

// Takes a request for retirement: true for the one caller that does.
inline bool request_claim(velkor_request* request) {
    return InterlockedExchange(&request->retire_claim, 0) != 0;
}

// Raises IRQL to DISPATCH_LEVEL and tries the spin lock once.
bool kpav_spin_trylock(kpav_spinlock* lock);

// The pipeline's own set-up and start steps (context: the channel).
int pipeline_step_queues(void* context);
int pipeline_step_flush_records(void* context);
void pipeline_undo_flush_records(void* context);
int pipeline_step_pool(void* context);
void pipeline_undo_pool(void* context);
int pipeline_step_outstanding_ring(void* context);
void pipeline_undo_outstanding_ring(void* context);
int pipeline_step_threads(void* context);
// Stops the threads, drains the channel unless it failed, reports what is still outstanding.
void pipeline_undo_threads(void* context);
