#include "driver/log/datalog_groom.h"

#include "driver/log/datalog.h"
#include "driver/pipeline/request.h"
#include "driver/platform/kassert.h"

void groom_waiters_init(groom_waiters* waiters) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_spinlock_init(&waiters->lock, "groomer");
    kpav_cv_init(&waiters->wake, "groomer");
    waiters->waiting = 0;
    waiters->woken = 0;
}

void groom_move_start(groom_move* move) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    groom_batch* batch = move->batch;
    InterlockedOr64(&batch->bits[move->index / 64], (LONG64)(1ull << (move->index % 64)));
    InterlockedIncrement(&batch->pending);
}

void groom_move_complete(groom_move* move, int status, const pav_addr_block* placement) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    pav_log* log = move->log;
    if (status == 0) {
        status = log->store_ops->record_moved(log->store, placement, move->first_key, move->count);
    }
    move->status = status;
    groom_batch* batch = move->batch;
    groom_waiters* groomer = batch->groomer;
    // The move is read for the last time here: once the batch is counted down it may be reused.
    InterlockedAnd64(&batch->bits[move->index / 64], ~(LONG64)(1ull << (move->index % 64)));
    if (InterlockedDecrement(&batch->pending) == 0 && groomer != nullptr) {
        kpav_spin_lock(&groomer->lock);
        if (ReadAcquire(&groomer->waiting) != 0) {
            InterlockedIncrement(&groomer->woken);
            kpav_cv_broadcast(&groomer->wake);
        }
        kpav_spin_unlock(&groomer->lock);
    }
}

void groom_move_write_done(velkor_request* head, ULONG64 bytes, ULONG64 latency_us) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(bytes);
    UNREFERENCED_PARAMETER(latency_us);
    int status = head->chain_fail != 0 ? head->chain_fail : head->fail;
    groom_move_complete((groom_move*)head->done_arg, status, &head->params.append.lvec);
}

ULONG groomer_phase_code(ULONG phase) {
    switch (phase) {
        case 1:
            return 0;
        case 5:
            return 1;
        case 2:
            return 5;
        case 3:
            return 3;
        case 4:
            return 7;
        default:
            return 8;
    }
}

int datalog_get_status(const pav_log* log, datalog_status* out, const groomer_status_source* groomer) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    RtlZeroMemory(out, sizeof *out);
    if (groomer == nullptr || groomer->state != GROOMER_RUNNING) {
        return 0;
    }
    out->groomer_enabled = groomer->enabled;
    out->code = groomer_phase_code(groomer->phase);
    out->metadata_room = datalog_metadata_room(log) + groomer->reserve;
    out->metadata_room_second = out->metadata_room + groomer->second;
    for (ULONG i = 0; i < 6; i++) {
        out->counters[i] = groomer->counters[i];
    }
    return 0;
}
