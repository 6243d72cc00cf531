#include "driver/log/atomic_note.h"

#include "driver/log/apt.h"
#include "driver/log/datalog.h"
#include "driver/log/datalog_internal.h"
#include "driver/pipeline/builders.h"
#include "driver/pipeline/request.h"
#include "driver/platform/log.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/memory.h"

namespace {

// Where a note landed, learned by its completion.
struct note_landing {
    pav_addr_block placement;
};

void note_written(velkor_request* head, ULONG64, ULONG64) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ((note_landing*)head->done_arg)->placement = head->params.append.lvec;
}

// Appends one 64-byte note and waits until it is on the media: 0 or the error.
int append_note(pav_log* log, const atomic_note* note) {
    tavrin_ioctx* context = request_alloc(log->channel, REQUEST_ALLOC_WAIT);
    if (context == nullptr) {
        return -KPAV_ENOMEM;
    }
    velkor_request* request = context->request;
    int rc = request_prepare_append(request, &log->append_point->head, note, ATOMIC_NOTE_MIN_BYTES,
                                    BUILD_FLUSH_JOIN_IF_JOINING);
    if (rc != 0) {
        request_free(request);
        return rc;
    }
    note_landing landing{};
    request->done_fn = note_written;
    request->done_arg = &landing;
    rc = request_submit_wait(context);
    if (rc != 0) {
        return rc;
    }
    int marked = log->store_ops->mark_valid(log->store, log, &landing.placement);
    if (marked != 0) {
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 18469, "Unable to record packets in bitmap (%d).\n",
                    marked);
    }
    return 0;
}

}  // namespace

void atomic_discard_note_free(pav_log* log) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (log->discard_note != nullptr) {
        kpav_free(log->discard_note, KPAV_TAG_MAL);
        log->discard_note = nullptr;
        log->discard_note_bytes = 0;
    }
}

int atomic_discard_note_build(pav_log* log, USHORT first_leb, ULONG first_packet, USHORT last_leb, ULONG last_packet) {
    PAGED_CODE();
    if (first_leb >= log->eb_count || last_leb >= log->eb_count) {
        return -KPAV_EINVAL;
    }
    // Count the LEBs from the first to the last along the chain.
    ULONG entries = 1;
    for (USHORT leb = first_leb; leb != last_leb; entries++) {
        leb = log->lebs[leb].next;
        if (leb == PAV_NO_LEB || leb >= log->eb_count || entries > log->eb_count) {
            return -KPAV_EINVAL;
        }
    }
    ULONG bytes = atomic_note_bytes(entries);
    atomic_note* note = (atomic_note*)kpav_zalloc(bytes, KPAV_TAG_MAL);
    if (note == nullptr) {
        return -KPAV_ENOMEM;
    }
    pkt_header_encode(note->header, LOG_OP_SYSTEM, SYS_ADDR_DISCARD_NOTE);
    note->count = (USHORT)entries;
    USHORT leb = first_leb;
    for (ULONG i = 0; i < entries; i++, leb = log->lebs[leb].next) {
        atomic_note_entry* e = &atomic_note_entries(note)[i];
        ULONG capacity = datalog_leb_capacity(log, leb);
        e->sequence = log->lebs[leb].sequence;
        e->leb = leb;
        e->first_packet = i == 0 ? first_packet : 0;
        e->last_packet = i + 1 == entries ? last_packet : (capacity != 0 ? capacity - 1 : 0);
    }
    atomic_discard_note_free(log);
    log->discard_note = note;
    log->discard_note_bytes = bytes;
    return 0;
}

int atomic_discard_note_apply(pav_log* log, const atomic_note* note, ULONG bytes) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    // What media hands back is checked before any of it is used.
    if (bytes < 16 || note->count > (bytes - 16) / sizeof(atomic_note_entry)) {
        return -KPAV_EINVAL;
    }
    for (ULONG i = 0; i < note->count; i++) {
        const atomic_note_entry& e = atomic_note_entries(note)[i];
        // A range past the LEB's packets would wrap the packet and byte ends it sets.
        if (e.leb >= log->eb_count || !datalog_detail::in_channel_range(log, e.leb) ||
            e.first_packet > e.last_packet || e.last_packet >= datalog_leb_capacity(log, e.leb)) {
            return -KPAV_EINVAL;
        }
    }
    ULONG h = log->geometry.head_reserve;
    ULONG p = log->geometry.packet_size;
    for (ULONG i = 0; i < note->count; i++) {
        const atomic_note_entry& e = atomic_note_entries(note)[i];
        leb_record* record = &log->lebs[e.leb];
        ULONG state = record->func.value;
        if ((state != PAV_LEB_FUNC_WRITING && state != PAV_LEB_FUNC_CLOSED) || record->sequence != e.sequence) {
            continue;
        }
        record->discard_start = e.first_packet;
        record->discard_end = e.last_packet + 1;
        record->discard_byte_start = h + p * e.first_packet;
        record->discard_byte_end = h + p * (e.last_packet + 1);
    }
    return 0;
}

int atomic_discard_note_write(pav_log* log) {
    PAGED_CODE();
    const auto* note = (const atomic_note*)log->discard_note;
    if (note == nullptr) {
        return 0;
    }
    if (log->append_point == nullptr || (ReadAcquire(&log->append_point->head.flags) & AP_OPEN) == 0) {
        atomic_discard_note_free(log);
        return -KPAV_EINVAL;
    }
    // Normalised: the header, the zero fields, and at most two entries to a note.
    ULONG count = note->count;
    ULONG fits = (log->discard_note_bytes - 16) / sizeof(atomic_note_entry);
    count = count < fits ? count : fits;
    int rc = 0;
    for (ULONG first = 0; first < count && rc == 0; first += 2) {
        atomic_note piece{};
        pkt_header_encode(piece.header, LOG_OP_SYSTEM, SYS_ADDR_DISCARD_NOTE);
        piece.count = (USHORT)(count - first < 2 ? count - first : 2);
        for (ULONG i = 0; i < piece.count; i++) {
            const atomic_note_entry& e = atomic_note_entries(note)[first + i];
            piece.entries[i] = {e.sequence, e.first_packet, e.last_packet, 0, e.leb, 0};
        }
        rc = append_note(log, &piece);
    }
    atomic_discard_note_free(log);
    return rc;
}
