#include "driver/log/apt.h"

#include "driver/log/datalog.h"
#include "driver/log/datalog_append.h"
#include "driver/log/log_entry.h"
#include "driver/log/mgmt.h"
#include "driver/pipeline/builders.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/pipeline/prepare.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/memory.h"

ULONG apt_index_buffer_size(ULONG page_size) {
    return ((ULONG)((ULONG64)page_size * 15 / 100) + 8191) / 8 * 8;
}

apt_context* apt_context_create(nand_dev* channel, const char* name, const eb_layout* layout, ULONG units) {
    PAGED_CODE();
    eb_table* table = ebinfo_table(channel);
    if (table == nullptr) {
        return nullptr;
    }
    apt_context* context = (apt_context*)kpav_zalloc(sizeof(apt_context), KPAV_TAG_MAL);
    if (context == nullptr) {
        return nullptr;
    }
    context->head.channel = channel;
    context->head.geometry_a = channel->geometry.packet_geometry_a;
    context->head.geometry_b = layout->sector_size | (ULONG)(layout->sector_size + table->geometry.packet_overhead) << 16;
    for (ULONG i = 0; i + 1 < sizeof(context->name) && name[i] != 0; i++) {
        context->name[i] = name[i];
    }
    context->layout = *layout;
    context->units = units;
    context->current_eb = EB_NONE;
    const store_geometry& g = table->geometry;
    if (ioc_alloc(&context->opener, APT_OPENER_BUFFERS, mgmt_region_size(&g), nullptr, nullptr, context->name) != 0 ||
        ioc_alloc(&context->footer, APT_FOOTER_BUFFERS, APT_FOOTER_BYTES, nullptr, nullptr, context->name) != 0 ||
        ioc_alloc(&context->index, APT_INDEX_BUFFERS, apt_index_buffer_size(g.page_size), nullptr, nullptr,
                  context->name) != 0) {
        ioc_free(&context->opener);
        ioc_free(&context->footer);
        ioc_free(&context->index);
        kpav_free(context, KPAV_TAG_MAL);
        return nullptr;
    }
    context->head.opener_set = &context->opener;
    context->head.footer_set = &context->footer;
    context->head.index_set = &context->index;
    return context;
}

void apt_context_free(apt_context* context) {
    PAGED_CODE();
    if (context == nullptr) {
        return;
    }
    nand_dev* channel = context->head.channel;
    eb_info* info = ebinfo_get(channel, context->current_eb);
    if (info != nullptr && info->condition == EB_COND_REERASE) {
        ebinfo_note_erase(channel, context->current_eb);
        ebinfo_raise_condition(channel, context->current_eb, EB_COND_BLANK);
    }
    ioc_free(&context->opener);
    ioc_free(&context->footer);
    ioc_free(&context->index);
    kpav_free(context, KPAV_TAG_MAL);
}

int apt_take_erased_eb(nand_dev* channel, apt_eb_request* request) {
    PAGED_CODE();
    request->eb = EB_NONE;
    request->taken = 0;
    USHORT eb = EB_NONE;
    if (ebinfo_pick_erased_eb(channel, &eb) != 0) {
        return -KPAV_ENOSPC;
    }
    eb_info* info = ebinfo_get(channel, eb);
    if (eb == EB_NONE || info == nullptr) {
        return -KPAV_EINVAL;
    }
    if (info->condition == EB_COND_ERASE_FIRST) {
        // The erase's retirement books it and raises the block to blank.
        int rc = request_erase_sync(channel, eb, nullptr, 0);
        if (rc != 0) {
            return rc;
        }
    }
    request->eb = eb;
    request->taken = 1;
    return 0;
}

// ---- EB notes

namespace {

// One note in flight: its append and its packet (the note's body after the header, then zeros).
struct eb_note_write {
    datalog_append_req append;
    eb_note_tracker* tracker;
    USHORT eb;
    ULONG64 value;
    UCHAR packet[1];  // the log's sector size
};

void tracker_drop(eb_note_tracker* tracker, int status) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (status != 0) {
        InterlockedCompareExchange(&tracker->first_error, status, 0);
    }
    kpav_spin_lock(&tracker->lock);
    if (InterlockedDecrement(&tracker->count) == 1) {
        kpav_cv_broadcast(&tracker->drained);
    }
    kpav_spin_unlock(&tracker->lock);
}

void eb_note_written(datalog_append_req* request) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    auto* w = (eb_note_write*)request->context;
    pav_log* log = request->log;
    if (request->status == 0 && log->counters != nullptr && w->eb < log->eb_count) {
        // Later re-recordings find the note where it now lies.
        WriteRelease64((volatile LONG64*)&log->counters[w->eb].note_address, (LONG64)request->runs[0].address);
    }
    eb_note_tracker* tracker = w->tracker;
    int status = request->status;
    kpav_free(w, KPAV_TAG_VML);
    tracker_drop(tracker, status);
}

}  // namespace

void eb_note_tracker_init(eb_note_tracker* tracker) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    tracker->count = 1;
    tracker->first_error = 0;
    kpav_spinlock_init(&tracker->lock, "EB notes");
    kpav_cv_init(&tracker->drained, "EB notes");
}

int eb_note_tracker_wait(eb_note_tracker* tracker) {
    PAGED_CODE();
    kpav_spin_lock(&tracker->lock);
    while (ReadAcquire(&tracker->count) != 1) {
        kpav_cv_timedwait(&tracker->drained, &tracker->lock, KPAV_NO_TIMEOUT, false);
    }
    kpav_spin_unlock(&tracker->lock);
    return ReadAcquire(&tracker->first_error);
}

UCHAR eb_note_state(const pav_log* log, USHORT eb) {
    if (eb >= log->eb_count) {
        return 0;
    }
    switch (log->lebs[eb].func.value) {
        case PAV_LEB_FUNC_ERASED:
            return 2;
        case PAV_LEB_FUNC_WRITING:
        case PAV_LEB_FUNC_CLOSED:
            return 1;
        case PAV_LEB_FUNC_RETIRED:
            return 3;
        default:
            return 0;
    }
}

int eb_note_write_async(apt_context* context, USHORT eb, ULONG64 value, eb_note_tracker* tracker) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    nand_dev* channel = context->head.channel;
    auto* log = (pav_log*)channel->client;
    if (log == nullptr || log->append_point != context || eb >= log->eb_count) {
        return -KPAV_EINVAL;
    }
    eb_note note;
    int rc = eb_note_build(channel, &note, eb, eb_note_state(log, eb));
    if (rc != 0) {
        return rc;
    }
    auto* w = (eb_note_write*)kpav_zalloc(offsetof(eb_note_write, packet) + log->sector_size, KPAV_TAG_VML);
    if (w == nullptr) {
        return -KPAV_ENOMEM;
    }
    ULONG body = sizeof note - PKT_HEADER_SIZE;
    RtlCopyMemory(w->packet, (const UCHAR*)&note + PKT_HEADER_SIZE, body < log->sector_size ? body : log->sector_size);
    w->tracker = tracker;
    w->eb = eb;
    w->value = value;
    w->append.kind = LOG_OP_SYSTEM;
    w->append.address = SYS_ADDR_EB_NOTE + eb;
    w->append.count = 1;
    w->append.packets = w->packet;
    w->append.done = eb_note_written;
    w->append.context = w;
    InterlockedIncrement(&tracker->count);
    rc = datalog_append(log, &w->append);
    if (rc != 0) {
        InterlockedDecrement(&tracker->count);
        kpav_free(w, KPAV_TAG_VML);
    }
    return rc;
}
