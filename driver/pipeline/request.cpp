// Chains, their validation, the wait of a synchronous caller and what a request moves.

#include "driver/pipeline/pipeline_internal.h"
#include "driver/pipeline/request.h"

namespace {

void clear_for_chain(nand_dev* channel, velkor_request* request, velkor_request* head) {
    request->channel = channel;
    request->type = REQUEST_UNINITIALIZED;
    request->data_op = DATA_OP_UNINITIALIZED;
    request->flags = 0;
    request->chain_fail = 0;
    request->fail = 0;
    if (head != request) {
        InsertTailList(&head->chain_link, &request->chain_link);
        request->chain_head = head;
        request->chain_count = 0;
        head->chain_count++;
    } else {
        InitializeListHead(&request->chain_link);
        request->chain_head = request;
        request->chain_count = 1;
    }
    request->dma_map_in_use = nullptr;
    request->list = nullptr;
    request->done_fn = nullptr;
    request->issue_word = 0;
    request->eb_notice_count = 0;
    for (ULONG& level : request->readlevel_override) {
        level = 0xFFFFFFFFu;
    }
    request->retry_die_mask = 0;
}

}  // namespace

void request_join_group(nand_dev* channel, velkor_request* request, velkor_request* head) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    clear_for_chain(channel, request, head);
}

void request_reset(velkor_request* request, velkor_request* head) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    clear_for_chain(request->channel, request, head);
    request->bytes_done = 0;
    request->submit_us = 0;
    request->seq = 0;
    request->flush_owner = nullptr;
    request->ebi_mask = 0;
    request->ebh_slot = 0;
    request->ebf_slot = 0;
    request->queue = nullptr;
    request->read_class = 0;
    request->completion_ring = nullptr;
    RtlZeroMemory(request->retry_state, sizeof request->retry_state);
    // What the issue and completion paths leave behind must not reach the next use.
    RtlZeroMemory(&request->params, sizeof request->params);
    request->sample_buffer = nullptr;
    request->range_lba = 0;
    request->range_count = 0;
    InitializeListHead(&request->range_link);
    InitializeListHead(&request->queue_link);
    InitializeListHead(&request->flush_link);
    request->pending = 0;
    request->queued = 0;
    request->flushes_needed = 0;
    request->pad_index = 0;
    request->cmd_done = 0;
    request->issue_pos = 0;
    request->issue_end = 0;
    request->page_reads = 0;
    request->pad_reads = 0;
    request->plane_reads = 0;
    WriteNoFence64(&request->issue_us, 0);
    WriteNoFence64(&request->issue_seq, 0);
    request->pending_dma = 0;
    request->pending_bank = 0;
    request->pending_report = 0;
    request->pending_stats = 0;
    request->merge_state = 0;
    request->erased_hint = 0;
    WriteRelease(&request->retire_claim, 0);  // the watchdog and the drains read it on any thread
    request->flush_waiting = 0;
    request->flush_first_seq = 0;
    request->flush_last_seq = 0;
    request->range_table = nullptr;
    RtlZeroMemory(request->bad_pad_map, sizeof request->bad_pad_map);
    request->failed_lanes = 0;
    request->weak_lanes = 0;
    request->failed_lane = 0;
}

int request_chain_validate(velkor_request* head) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    head->flags |= REQ_CHAIN_HEAD;
    int result = channel_failed(head->channel) ? -KPAV_EIO : 0;
    velkor_request* last = head;
    for (velkor_request* member = request_next(head); member != head; member = request_next(member)) {
        last = member;
        if (member->type == head->type) {
            continue;
        }
        bool mix_allowed = (head->flags & REQ_MIXED_CHAIN) != 0 &&
                           ((head->type == REQUEST_APPEND && member->type == REQUEST_BARRIER) ||
                            (head->type == REQUEST_BARRIER && member->type == REQUEST_APPEND));
        if (!mix_allowed && result == 0) {
            result = -KPAV_EINVAL;
        }
    }
    last->flags |= REQ_CHAIN_TAIL;
    if (result != 0) {
        InterlockedCompareExchange(&head->chain_fail, result, 0);
        velkor_request* member = head;
        do {
            member->flags |= REQ_FAILED;
            member->fail = result;
            member = request_next(member);
        } while (member != head);
    }
    return result;
}

void request_wait(tavrin_ioctx* ioctx) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    nand_dev* channel = ioctx->channel;
    kpav_spin_lock(&channel->completion_lock);
    while ((ReadAcquire(&ioctx->done) & IOCTX_DONE) == 0) {
        kpav_cv_timedwait(&channel->completion_cv, &channel->completion_lock, KPAV_NO_TIMEOUT, false);
    }
    kpav_spin_unlock(&channel->completion_lock);
}

ULONG request_data_length(const velkor_request* request) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const request_params& p = request->params;
    switch (request->type) {
        case REQUEST_APPEND:
            return p.append.size;
        case REQUEST_READ:
            return p.read.data_length;
        case REQUEST_PAGE_PROGRAM:
            return p.page_program.size;
        case REQUEST_MASKED_PAGE_READ:
            return p.masked_read.size;
        case REQUEST_SAMPLE_PADS: {
            nand_dev* channel = request->channel;
            const nand_geometry& g = channel->geometry;
            ULONG pads = g.pads != 0 ? g.pads : 1;
            ULONG planes = g.planes != 0 ? g.planes : 1;
            ULONG page_size = eb_pad_capacity(channel, p.sample.eb, p.sample.page % pads);
            return page_size * pads * planes * p.sample.page_count;
        }
        default:
            return 0;
    }
}

void request_media_address(media_address* out, const velkor_request* request) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    RtlZeroMemory(out, sizeof *out);
    const request_params& p = request->params;
    switch (request->type) {
        case REQUEST_READ:
            *out = p.read.address;
            return;
        case REQUEST_MASKED_PAGE_READ:
            out->eb = p.masked_read.eb;
            out->offset = eb_page_offset(request->channel, p.masked_read.eb, p.masked_read.page);
            return;
        case REQUEST_SAMPLE_PADS:
            out->eb = p.sample.eb;
            out->offset = eb_page_offset(request->channel, p.sample.eb, p.sample.page);
            return;
        default:
            out->eb = PAV_NO_EB;
            return;
    }
}

int sgl_map_buffer(sgl** list, const void* buffer, ULONG length) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    sgl* made = nullptr;
    if (*list == nullptr) {
        ULONG_PTR first = (ULONG_PTR)buffer / 4096;
        ULONG_PTR last = length != 0 ? ((ULONG_PTR)buffer + length - 1) / 4096 : first;
        int err = kpav_sgl_create(nullptr, &made, (ULONG)(last - first + 1));
        if (err != 0) {
            return err;
        }
    }
    sgl* target = made != nullptr ? made : *list;
    int err = kpav_sgl_map_bytes(target, buffer, length);
    if (err != 0) {
        kpav_sgl_free(made);
        return err;
    }
    if (made != nullptr) {
        *list = made;
    }
    return 0;
}

ULONG64 eb_stride_limit(nand_dev* channel, const eb_stride* stride, USHORT eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (stride->step == 0) {
        return stride->start;
    }
    ULONG64 usable = eb_usable_length(channel, eb);
    // A block shorter than its reserve and start has no room at all: the start, not a wrap.
    if (usable < stride->reserve || usable - stride->reserve <= stride->start) {
        return stride->start;
    }
    ULONG64 limit = usable - stride->reserve;
    ULONG64 steps = (limit - stride->start - 1) / stride->step;
    return stride->start + steps * stride->step;
}
