#include "driver/log/apt.h"

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
