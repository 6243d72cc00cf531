#include "driver/log/datalog_append.h"

#include "driver/log/apt.h"
#include "driver/log/datalog.h"
#include "driver/pipeline/builders.h"
#include "driver/pipeline/issue.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"

namespace {

// The lowest opcode of a packet the log appends (below it are the space and note entries).
constexpr UCHAR LOWEST_PACKET_KIND = 0x80;

append_point* point_of(pav_log* log) {
    return log != nullptr && log->append_point != nullptr ? &log->append_point->head : nullptr;
}

int append_notice(int status, const pav_addr_block* runs, void* arg) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    auto* request = (datalog_append_req*)arg;
    pav_log* log = request->log;
    request->status = status;
    request->run_count = 0;
    ULONG count = runs->count <= 3 ? runs->count : 3;
    for (ULONG i = 0; i < count; i++) {
        USHORT leb = runs->vectors[i].eb;
        if (leb >= log->eb_count) {
            request->status = status != 0 ? status : -KPAV_EIO;  // the card named no block of the log
            break;
        }
        datalog_run& run = request->runs[request->run_count++];
        run.leb = leb;
        run.offset = runs->vectors[i].lpkt;
        run.packets = runs->packet_counts[i];
        run.address = pav_log_addr(log, leb, run.offset);
    }
    if (request->status == 0 && request->run_count == 0) {
        request->status = -KPAV_EIO;
    }
    if (request->status == 0) {
        const datalog_run& last = request->runs[request->run_count - 1];
        pav_log_advance_written_pos(log, last.leb, last.offset + last.packets);
    }
    request->done(request);
    return 0;
}

}  // namespace

ULONG datalog_append_tail_reserve(const pav_log* log) {
    // The closing record then lies at the block's stride limit, where the block scan reads it,
    // and the closing index record in the packet slots before it.
    const append_point* ap = log->append_point != nullptr ? &log->append_point->head : nullptr;
    return log->geometry.tail_reserve + (ap != nullptr ? issue_index_record_room(ap) : 0);
}

int datalog_open_append_point(pav_log* log) {
    PAGED_CODE();
    append_point* ap = point_of(log);
    if (ap == nullptr) {
        return -KPAV_EINVAL;
    }
    ap->tail_reserve = datalog_append_tail_reserve(log);
    return request_open_append_point_sync(ap);
}

int datalog_close_append_point(pav_log* log) {
    PAGED_CODE();
    append_point* ap = point_of(log);
    if (ap == nullptr) {
        return 0;
    }
    USHORT closed = PAV_NO_LEB;
    int rc = request_close_append_point_sync(ap, &closed);
    if (rc == 0 && closed != PAV_NO_LEB) {
        datalog_close_leb(log, closed);
        pav_log_set_written_leb(log, closed);
    }
    log->append_point->current_eb = EB_NONE;
    return rc;
}

int datalog_advance_and_close(pav_log* log, USHORT leb) {
    PAGED_CODE();
    append_point* ap = point_of(log);
    if (ap == nullptr) {
        return -KPAV_EINVAL;
    }
    UCHAR closed = 0;
    // The step's notice moves the written position to the LEB's end.
    int rc = request_advance_append_point_sync(ap, leb, &closed, datalog_written_leb_notice, log);
    if (rc == 0 && closed != 0) {
        datalog_close_leb(log, leb);
    }
    return rc;
}

int datalog_append(pav_log* log, datalog_append_req* request) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    append_point* ap = point_of(log);
    if (ap == nullptr || (ReadAcquire(&ap->flags) & AP_OPEN) == 0 || request == nullptr || request->count == 0 ||
        request->kind < LOWEST_PACKET_KIND || request->packets == nullptr || request->done == nullptr) {
        return -KPAV_EINVAL;
    }
    request->log = log;
    request->status = 0;
    request->run_count = 0;
    const ULONG geometry[2] = {ap->geometry_a, ap->geometry_b};
    ULONG64 word = (ULONG64)request->kind << 56 | (request->address & 0x00FFFFFFFFFFFFFFull);
    return request_submit_append(ap, append_notice, nullptr, geometry, word, request->count, request->packets,
                                 nullptr, request);
}
