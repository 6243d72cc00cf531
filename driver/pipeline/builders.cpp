// The request builders.

#include "driver/pipeline/builders.h"

#include "driver/pipeline/pipeline.h"
#include "driver/pipeline/pipeline_internal.h"

namespace {

constexpr ULONG64 flush_join_and_wait = REQ_FLUSH_JOIN | REQ_FLUSH_WAITER;  // 0x1000001
constexpr ULONG64 append_flags = 0x6040;
constexpr ULONG64 submitted_append_flags = 0x402040;
constexpr ULONG64 system_packet_lba = 0xFFFFFFFFFF7A00ull;
constexpr UCHAR system_packet_kind = 160;

bool joins_flushes(const nand_dev* channel) {
    return channel->geometry.flushless == 0;
}

ULONG64 barrier_join_flags(const nand_dev* channel, ULONG flags) {
    bool join = (flags & BUILD_FLUSH_JOIN) != 0 || ((flags & BUILD_FLUSH_JOIN_IF_JOINING) != 0 && joins_flushes(channel));
    return join ? flush_join_and_wait : 0;
}

velkor_request* take(nand_dev* channel, tavrin_ioctx** context) {
    *context = request_alloc(channel, REQUEST_ALLOC_WAIT);
    return *context != nullptr ? (*context)->request : nullptr;
}

void copy_geometry(velkor_request* request, const append_point* ap) {
    request->geometry_a = ap->geometry_a;
    request->geometry_b = ap->geometry_b;
}

// The advance notice: the log that asked for the step learns the block it closed (the notice
// rides in range_lba, its argument in range_count, as the append notice's do).
void advance_notice(velkor_request* head, ULONG64, ULONG64) {
    auto notice = (advance_notice_fn)(ULONG_PTR)head->range_lba;
    if (head->chain_fail != 0 || head->fail != 0 || notice == nullptr) {
        return;
    }
    USHORT closed = head->params.advance.closed != 0 ? head->params.advance.eb : PAV_NO_EB;
    notice((void*)(ULONG_PTR)head->range_count, closed);
}

// The append notice: the caller's callback learns where the data landed.
void append_notice(velkor_request* head, ULONG64, ULONG64) {
    auto callback = (append_notice_fn)(ULONG_PTR)head->range_lba;
    if (callback != nullptr) {
        int status = head->chain_fail != 0 ? head->chain_fail : head->fail;
        callback(status, &head->params.append.lvec, (void*)(ULONG_PTR)head->range_count);
    }
}

// Raw and check reads need 8-byte alignment of offset and size.
bool aligned_read(nand_dev* channel, const media_address* address, ULONG size) {
    if (address->offset % 8 != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: unaligned read: %u:%llu\n", channel_name(channel), (ULONG)address->eb,
                   (unsigned long long)address->offset);
    } else if (size % 8 != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: invalid size: %d\n", channel_name(channel), (int)size);
    } else {
        return true;
    }
    kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 14338, "Internal software error.\n");
    return false;
}

// A raw or check read of `size` bytes at `address`, taken from the pool and filled, with `mapped`
// bytes of `buffer` (NULL: the request's inline area) in its list. 0, -22 for misaligned input
// (nothing taken), -12 without a request, -14 when the buffer cannot be mapped.
int start_aligned_read(nand_dev* channel, const media_address* address, ULONG size, ULONG data_op, ULONG64 flags,
                       void* buffer, ULONG mapped, tavrin_ioctx** context) {
    if (!aligned_read(channel, address, size)) {
        return -KPAV_EINVAL;
    }
    velkor_request* request = take(channel, context);
    if (request == nullptr) {
        return -KPAV_ENOMEM;
    }
    request->type = REQUEST_READ;
    request->data_op = data_op;
    request->flags |= flags;
    request->params.read.data_length = size;
    request->params.read.transfer_length = size;
    request->params.read.address = *address;
    if (kpav_sgl_map_bytes(request->list, buffer != nullptr ? buffer : request->inline_data, mapped) != 0) {
        request_free(request);
        return -KPAV_EFAULT;
    }
    return 0;
}

// Validates (printing the chain on an error) and submits; the submit's result.
int validate_and_submit(velkor_request* head) {
    if (request_chain_validate(head) != 0) {
        request_print_chain(head);
    }
    return submit_request(head);
}

// The page of `eb` that holds byte position `position`; false past the block.
bool page_of_position(nand_dev* channel, USHORT eb, ULONG64 position, ULONG* page, ULONG* pad) {
    eb_place place;
    if (!eb_locate(channel, eb, position, &place)) {
        return false;
    }
    ULONG pads = channel->geometry.pads != 0 ? channel->geometry.pads : 1;
    *page = (ULONG)(place.row * pads + place.pad);
    *pad = place.pad;
    return true;
}

// The synchronous sequence up to the wait; the chain is still the caller's afterwards.
int run_sync(tavrin_ioctx* ioctx) {
    velkor_request* head = ioctx->request;
    head->flags |= REQ_WAITER | REQ_CALLER_FREES;
    if (request_chain_validate(head) != 0) {
        request_print_chain(head);
    }
    submit_request(head);
    request_wait(ioctx);
    // A chain whose later member failed reports that failure, not the head's success.
    return head->fail != 0 ? head->fail : head->chain_fail;
}

}  // namespace

int request_submit_wait(tavrin_ioctx* ioctx) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    velkor_request* head = ioctx->request;
    int result = run_sync(ioctx);
    request_free_list(head);
    return result;
}

int request_barrier_sync(append_point* ap, ULONG flags) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    tavrin_ioctx* context;
    velkor_request* request = take(ap->channel, &context);
    if (request == nullptr) {
        return -KPAV_ENOMEM;
    }
    request->type = REQUEST_BARRIER;
    request->params.barrier.ap = ap;
    request->flags |= barrier_join_flags(ap->channel, flags);
    return request_submit_wait(context);
}

int request_advance_append_point_sync(append_point* ap, USHORT eb, UCHAR* out_closed, advance_notice_fn notice,
                                      void* arg) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    tavrin_ioctx* context;
    velkor_request* request = take(ap->channel, &context);
    if (request == nullptr) {
        return -KPAV_ENOMEM;
    }
    request->type = REQUEST_ADVANCE_AP;
    request->params.advance.ap = ap;
    request->params.advance.eb = eb;
    if (joins_flushes(ap->channel)) {
        request->flags |= flush_join_and_wait;
    }
    copy_geometry(request, ap);
    request->done_fn = advance_notice;
    request->range_lba = (ULONG64)(ULONG_PTR)notice;
    request->range_count = (ULONG64)(ULONG_PTR)arg;
    // The wait returns only once the chain is done with the request: its closed byte is final.
    int result = run_sync(context);
    if (out_closed != nullptr) {
        *out_closed = request->params.advance.closed;
    }
    request_free_list(request);
    return result;
}

int request_open_append_point_sync(append_point* ap) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    tavrin_ioctx* context;
    velkor_request* request = take(ap->channel, &context);
    if (request == nullptr) {
        return -KPAV_ENOMEM;
    }
    request->type = REQUEST_OPEN_AP;
    request->params.barrier.ap = ap;
    if (joins_flushes(ap->channel)) {
        request->flags |= flush_join_and_wait;
    }
    copy_geometry(request, ap);
    int result = request_submit_wait(context);
    if (result == 0) {
        InterlockedOr(&ap->flags, AP_OPEN);
    }
    return result;
}

int request_close_append_point_sync(append_point* ap, USHORT* out_eb) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    if ((ReadAcquire(&ap->flags) & AP_OPEN) == 0) {
        return 0;
    }
    tavrin_ioctx* context;
    velkor_request* request = take(ap->channel, &context);
    if (request == nullptr) {
        return -KPAV_ENOMEM;
    }
    request->type = REQUEST_CLOSE_AP;
    request->params.close.ap = ap;
    request->params.close.eb = PAV_NO_EB;
    request->flags |= flush_join_and_wait;
    copy_geometry(request, ap);
    int result = run_sync(context);
    if (out_eb != nullptr) {
        *out_eb = request->params.close.eb;
    }
    request_free_list(request);
    InterlockedAnd(&ap->flags, ~AP_OPEN);
    return result;
}

int request_erase_sync(nand_dev* channel, USHORT eb, erase_result* result, ULONG64 flags) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    tavrin_ioctx* context;
    velkor_request* request = take(channel, &context);
    if (request == nullptr) {
        return -KPAV_ENOMEM;
    }
    if (result != nullptr) {
        RtlZeroMemory(result, sizeof *result);
    }
    request->type = REQUEST_ERASE;
    request->params.erase.eb = eb;
    request->params.erase.result = result;
    request->flags |= flags;
    return request_submit_wait(context);
}

int request_page_program_sync(nand_dev* channel, USHORT eb, USHORT page, const void* buffer, ULONG size,
                              void* ignored1, void* ignored2, int extra) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(ignored1);
    UNREFERENCED_PARAMETER(ignored2);
    tavrin_ioctx* context;
    velkor_request* request = take(channel, &context);
    if (request == nullptr) {
        return -KPAV_ENOMEM;
    }
    request->type = REQUEST_PAGE_PROGRAM;
    request->data_op = DATA_OP_RAW_DATA;
    request->params.page_program.size = size;
    request->params.page_program.eb = eb;
    request->params.page_program.page = page;
    request->params.page_program.buffer_set = nullptr;
    if (joins_flushes(channel)) {
        request->flags |= REQ_FLUSH_JOIN | (extra != 0 ? REQ_FLUSH_WAITER : 0);
    }
    if (kpav_sgl_map_bytes(request->list, buffer, size) != 0) {
        request_free(request);
        return -KPAV_EFAULT;
    }
    return request_submit_wait(context);
}

int request_prepare_append(velkor_request* request, append_point* ap, const void* header, ULONG size, ULONG flags) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    // The header and what follows it must lie within the inline area that is mapped.
    if (size > REQUEST_INLINE_BYTES || size < 8) {
        return -KPAV_EINVAL;
    }
    if (header != request->inline_data) {
        RtlMoveMemory(request->inline_data, header, size);
    }
    const UCHAR* h = request->inline_data;
    request->type = REQUEST_APPEND;
    request->data_op = DATA_OP_RAW_DATA;
    request->params.append.ap = ap;
    request->params.append.opcode = h[0];
    ULONG64 high = ((ULONG64)h[1] << 16) | (ULONG64)(h[2] | (h[3] << 8));
    ULONG64 low = (ULONG64)h[4] | ((ULONG64)h[5] << 8) | ((ULONG64)h[6] << 16) | ((ULONG64)h[7] << 24);
    request->params.append.magic = (high << 32) | low;
    request->params.append.size = size;
    request->params.append.lvec.count = 0;
    copy_geometry(request, ap);
    request->flags |= barrier_join_flags(ap->channel, flags);
    if ((flags & BUILD_HIGH_PRIORITY) != 0) {
        request->flags |= REQ_HIGH_PRIORITY;
    }
    if ((flags & BUILD_GROOMER) != 0) {
        request->flags |= REQ_GROOMER;
    }
    request->flags |= append_flags;
    if (request->list == nullptr) {
        return -KPAV_EINVAL;
    }
    return kpav_sgl_map_bytes(request->list, request->inline_data, size);
}

int request_submit_append(append_point* ap, append_notice_fn notice, void* ignored1, const ULONG geometry[2],
                          ULONG64 header_word, ULONG count, const void* packets, void* ignored2, void* arg) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(ignored1);
    UNREFERENCED_PARAMETER(ignored2);
    ULONG packet = geometry[1] & 0xFFFF;
    if (packet == 0) {
        return -KPAV_EINVAL;
    }
    tavrin_ioctx* context;
    velkor_request* request = take(ap->channel, &context);
    if (request == nullptr) {
        return -KPAV_ENOMEM;
    }
    ULONG size = count * packet;
    if (kpav_sgl_map_bytes(request->list, packets, size) != 0) {
        request_free(request);
        return -KPAV_EFAULT;
    }
    request->type = REQUEST_APPEND;
    request->data_op = DATA_OP_PACKETS;
    request->params.append.ap = ap;
    request->params.append.size = size;
    request->params.append.opcode = (UCHAR)(header_word >> 56);
    request->params.append.magic = header_word & 0x00FFFFFFFFFFFFFFull;
    request->geometry_a = geometry[0];
    request->geometry_b = geometry[1];
    request->flags |= submitted_append_flags;
    request->done_fn = append_notice;
    request->range_lba = (ULONG64)(ULONG_PTR)notice;
    request->range_count = (ULONG64)(ULONG_PTR)arg;
    return validate_and_submit(request);
}

int media_read_raw(nand_dev* channel, const media_address* address, void* buffer, ULONG size, ULONG64 flags,
                   void* recovery, void* ignored, void* arg) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(ignored);
    tavrin_ioctx* context;
    int err = start_aligned_read(channel, address, size, DATA_OP_RAW_DATA, flags, buffer, size, &context);
    if (err != 0) {
        return err;
    }
    context->request->params.read.recovery = recovery;
    context->request->done_arg = arg;
    return request_submit_wait(context);
}

int media_read_packets_async(nand_dev* channel, const media_address* address, void* buffer, ULONG count,
                             request_done_fn done, void* ignored, void* arg) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(ignored);
    tavrin_ioctx* context;
    velkor_request* request = take(channel, &context);
    if (request == nullptr) {
        return -KPAV_ENOMEM;
    }
    request->type = REQUEST_READ;
    request->data_op = DATA_OP_PACKETS;
    request->geometry_a = channel->geometry.packet_geometry_a;
    request->geometry_b = channel->geometry.packet_geometry_b;
    auto& read = request->params.read;
    read.packet_kind = system_packet_kind;
    read.address = *address;
    read.lba = system_packet_lba;
    read.packet_count = count;
    read.data_length = (request->geometry_b & 0xFFFF) * count;
    read.transfer_length = (request->geometry_b >> 16) * count;
    request->done_fn = done;
    request->done_arg = arg;
    if (kpav_sgl_map_bytes(request->list, buffer, read.data_length) != 0) {
        request_free(request);
        return -KPAV_EFAULT;
    }
    return validate_and_submit(request);
}

int request_read_aligned(nand_dev* channel, const media_address* address, ULONG size) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    tavrin_ioctx* context;
    // The card checks what it reads; nothing comes back but 8 bytes into the request itself.
    int err = start_aligned_read(channel, address, size, DATA_OP_CHECK_READ, REQ_CHECK_READ, nullptr, 8, &context);
    return err != 0 ? err : request_submit_wait(context);
}

int request_prepare_masked_page_read(nand_dev* channel, const eb_stride* stride, masked_read_holder* holder,
                                     USHORT eb, ULONG index, ULONG extra, LONG64* out_first) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    velkor_request* request = holder->request;
    ULONG64 position = (ULONG64)stride->start + (ULONG64)stride->step * index + extra;
    ULONG page;
    ULONG pad;
    if (request == nullptr || !page_of_position(channel, eb, position, &page, &pad)) {
        return -KPAV_EINVAL;
    }
    RtlZeroMemory(holder->area, sizeof holder->area);
    request->type = REQUEST_MASKED_PAGE_READ;
    request->data_op = DATA_OP_RAW_DATA;
    request->params.masked_read.size = 0;
    request->params.masked_read.eb = eb;
    request->params.masked_read.page = (USHORT)page;
    request->geometry_a = stride->start;
    request->geometry_b = stride->reserve;
    if (request->list != nullptr) {
        int err = kpav_sgl_map_bytes(request->list, holder->area, sizeof holder->area);
        if (err != 0) {
            return err;
        }
    }
    if (out_first != nullptr) {
        *out_first = stride_index_of_page(channel, stride, eb, index, extra);
    }
    return 0;
}

LONG64 stride_index_of_page(nand_dev* channel, const eb_stride* stride, USHORT eb, ULONG index, ULONG extra) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (stride->step == 0) {
        return 0;
    }
    if (eb == PAV_NO_EB) {
        return -(LONG64)stride->start / stride->step;
    }
    ULONG64 position = (ULONG64)stride->start + (ULONG64)stride->step * index + extra;
    ULONG page;
    ULONG pad;
    if (!page_of_position(channel, eb, position, &page, &pad)) {
        return 0;
    }
    LONG64 offset = (LONG64)eb_page_offset(channel, eb, page) + (pad == 0 ? (LONG64)stride->start : 0);
    return (offset - (LONG64)stride->start) / stride->step;
}
