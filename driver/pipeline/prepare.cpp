// Preparation by request type.

#include "driver/pipeline/prepare.h"

#include "driver/pipeline/pipeline_internal.h"
#include "driver/platform/thread.h"

namespace {

// A read-level retry brings its own levels.
constexpr ULONG64 no_read_levels = (1ull << 9) | (1ull << 12) | REQ_RETRY | REQ_LEVEL_RETRY;
constexpr ULONG64 sample_flags = REQ_SAMPLE_12 | REQ_SAMPLE_18;

// The completion rings: binary commands on the "admin" ring, writes on the "write" ring, reads
// on the ring of the processor that submits them. With one ring everything goes to it.
completion_queue* admin_ring(nand_dev* channel) {
    pipeline_device* card = channel->card;
    return card != nullptr && card->completion_queue_count > 0 ? card->completion_queues[0] : nullptr;
}

completion_queue* write_ring(nand_dev* channel) {
    pipeline_device* card = channel->card;
    if (card == nullptr || card->completion_queue_count == 0) {
        return nullptr;
    }
    return card->completion_queues[card->completion_queue_count > 1 ? 1 : 0];
}

completion_queue* read_ring(nand_dev* channel) {
    pipeline_device* card = channel->card;
    if (card == nullptr) {
        return nullptr;
    }
    ULONG cpu = kpav_current_cpu();
    if (card->cpu_queues != nullptr && cpu < kpav_max_cpus() && card->cpu_queues[cpu] != nullptr) {
        return card->cpu_queues[cpu];
    }
    return admin_ring(channel);
}

// Sets the read-level override of one pad when the block has a level for it.
void note_read_level(nand_dev* channel, velkor_request* request, USHORT eb, ULONG pad) {
    if ((request->flags & no_read_levels) != 0 || pad >= 8) {
        return;
    }
    ULONG level = eb_pad_read_level(channel, eb, pad);
    if (level != 0xFFFFFFFFu) {
        request->readlevel_override[pad] = level;
        request->flags |= REQ_READ_LEVELS;
    }
}

// An append-point context owns the flush its writes join unless it says otherwise.
void take_flush_owner(velkor_request* request, append_point* ap) {
    if (ap != nullptr && (ReadNoFence(&ap->flags) & AP_NOT_FLUSH_OWNER) == 0) {
        request->flush_owner = ap;
    }
}

int prepare_uninitialized(nand_dev* channel, velkor_request*) {
    kpav_print(KPAV_CLASS_ERROR, "%s: Attempt to process uninitialized request.\n", channel_name(channel));
    return -KPAV_EINVAL;
}

int prepare_erase(nand_dev* channel, velkor_request* request) {
    request->completion_ring = write_ring(channel);
    request->bytes_done = eb_usable_length(channel, request->params.erase.eb);
    return 0;
}

int prepare_append(nand_dev* channel, velkor_request* request) {
    request->completion_ring = write_ring(channel);
    auto* ap = request->params.append.ap;
    take_flush_owner(request, ap);
    // An append point's second word carries the on-media packet size in its high half: only the
    // packet size (its low half) sizes the records, else every append would ask for all of them.
    ULONG owner_words[2] = {ap != nullptr ? ap->geometry_a : 0, ap != nullptr ? ap->geometry_b & 0xFFFF : 0};
    compute_flushes_needed(channel, request, request->params.append.size, ap != nullptr ? owner_words : nullptr);
    request->params.append.lvec.count = 0;
    return request_dma_map(request, false);
}

int prepare_read(nand_dev* channel, velkor_request* request) {
    request->read_class = 1;
    request->completion_ring = read_ring(channel);
    auto& read = request->params.read;
    if (request->data_op != DATA_OP_ZEROS) {
        USHORT eb = read.address.eb;
        eb_place place;
        if (!eb_locate(channel, eb, read.address.offset, &place)) {
            return -KPAV_EINVAL;
        }
        request->pad_index = place.pad;
        ULONG64 position = read.address.offset;
        ULONG64 remaining = read.transfer_length;
        while (remaining > 0) {
            if (!eb_locate(channel, eb, position, &place)) {
                return -KPAV_EINVAL;  // the block ends before the read does
            }
            note_read_level(channel, request, eb, place.pad);
            ULONG64 piece = place.pad_capacity - place.in_pad;
            piece = piece < remaining ? piece : remaining;
            remaining -= piece;
            position += piece;
        }
    }
    int err = request_dma_map(request, true);
    if (err != 0) {
        return err;
    }
    request->bytes_done = read.transfer_length;
    auto* recovery = (read_recovery_record*)read.recovery;
    if (recovery != nullptr) {
        RtlZeroMemory(recovery->scratch, sizeof recovery->scratch);
        bool erased_retry = (request->flags & REQ_RETRY) != 0 && (request->flags & REQ_ERASED_IS_ERROR) != 0;
        if (!erased_retry) {
            recovery->state = 0;
        }
    }
    return 0;
}

int prepare_barrier(nand_dev* channel, velkor_request* request) {
    request->completion_ring = write_ring(channel);
    take_flush_owner(request, request->params.barrier.ap);
    return 0;
}

int prepare_page_program(nand_dev* channel, velkor_request* request) {
    request->completion_ring = write_ring(channel);
    auto* set = request->params.page_program.buffer_set;
    const void* owner = set != nullptr ? (const void*)set : channel->flush_context;
    compute_flushes_needed(channel, request, request->params.page_program.size, owner);
    if (request->data_op == DATA_OP_FILL) {
        return 0;
    }
    int err = request_dma_map(request, false);
    if (err != 0) {
        return err;
    }
    if (set != nullptr && (set->state & IOC_NOT_FLUSH_OWNER) == 0) {
        request->flush_owner = set;
    }
    return 0;
}

// Advance and close: the flush records of a step that may write the block's footer and index.
int prepare_append_point_step(nand_dev* channel, velkor_request* request) {
    request->completion_ring = write_ring(channel);
    const void* ap = request->params.advance.ap;
    ULONG64 bytes = 0;
    if (ap != nullptr) {
        const ULONG* words = flush_owner_words(ap);
        LONG64 b = (LONG64)(words[1] & 0xFFFF) - 4;  // the packet size: see prepare_append
        LONG64 n = (LONG64)words[0] + b * 2;
        bytes = n > 0 ? (ULONG64)n : 0;
    }
    ULONG64 pages = flush_pages(channel, bytes);
    if ((request->flags & REQ_NO_FLUSH_FILL) == 0) {
        pages += (ULONG64)channel->geometry.pads * channel->geometry.flush_fill_count;
    }
    ULONG64 needed = pages + 1;
    request->flushes_needed = (ULONG)(needed < FLUSH_RECORD_COUNT ? needed : FLUSH_RECORD_COUNT);
    return 0;
}

int prepare_open(nand_dev* channel, velkor_request* request) {
    request->completion_ring = write_ring(channel);
    return 0;
}

int prepare_masked_page_read(nand_dev* channel, velkor_request* request) {
    request->completion_ring = read_ring(channel);
    ULONG pads = channel->geometry.pads != 0 ? channel->geometry.pads : 1;
    auto& masked = request->params.masked_read;
    request->pad_index = masked.page % pads;
    note_read_level(channel, request, masked.eb, request->pad_index);
    int err = request_dma_map(request, true);
    if (err != 0) {
        return err;
    }
    request->read_class = 1;
    request->bytes_done = eb_pad_capacity(channel, masked.eb, request->pad_index);
    return 0;
}

int prepare_binary_command(nand_dev* channel, velkor_request* request) {
    request->completion_ring = admin_ring(channel);
    request->cmd_done = 0;
    auto* command = request->params.binary.buffer;
    if (command == nullptr) {
        // Port writes without micro-operations: the read-backs are counted as the builder set them.
        return request->params.binary.items != nullptr && request->params.binary.item_count != 0 ? 0 : -KPAV_EINVAL;
    }
    ULONG valid = 0;
    for (const binary_micro_op& op : command->ops) {
        valid += op.valid != 0 ? 1 : 0;
    }
    if (valid > BINARY_COMMAND_MAX_OPS) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Invalid binary command size.\n", channel_name(channel));
        // A refused command is an error like any other: callers test for a negative result.
        return -KPAV_EINVAL;
    }
    ULONG expected = request->params.binary.count;
    if (command->first == BINARY_NO_LINK) {
        return expected == 0 ? 0 : -KPAV_EINVAL;
    }
    ULONG links = 0;
    ULONG index = command->first;
    while (index != BINARY_NO_LINK) {
        if (index > valid || index >= BINARY_COMMAND_SLOTS || links >= BINARY_COMMAND_SLOTS) {
            return -KPAV_EINVAL;
        }
        ULONG next = command->ops[index].link;
        command->ops[index].link = request->pool_index;
        links++;
        index = next;
    }
    if (links != expected) {
        return -KPAV_EINVAL;
    }
    command->first = BINARY_NO_LINK;
    request->cmd_done = 0;
    return 0;
}

int prepare_sample_pads(nand_dev* channel, velkor_request* request) {
    request->completion_ring = read_ring(channel);
    if ((request->flags & sample_flags) == 0 || request->sample_buffer == nullptr) {
        return -KPAV_EINVAL;
    }
    ULONG pads = channel->geometry.pads != 0 ? channel->geometry.pads : 1;
    request->pad_index = request->params.sample.page % pads;
    int err = request_dma_map(request, true);
    if (err != 0) {
        return err;
    }
    request->read_class = 1;
    return 0;
}

using prepare_handler = int (*)(nand_dev* channel, velkor_request* request);

const prepare_handler request_prepare_table[REQUEST_TYPE_COUNT] = {
    prepare_uninitialized,     prepare_erase,       prepare_append,           prepare_read,
    prepare_barrier,           prepare_page_program, prepare_append_point_step, prepare_open,
    prepare_append_point_step, prepare_masked_page_read, prepare_binary_command, prepare_sample_pads,
};

}  // namespace

ULONG64 flush_pages(const nand_dev* channel, ULONG64 bytes) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG page = channel->geometry.page_size != 0 ? channel->geometry.page_size : 1;
    ULONG64 pages = (bytes + page - 1) / page;
    return bytes >= page ? pages + 1 : pages;
}

int compute_flushes_needed(nand_dev* channel, velkor_request* request, ULONG size, const void* owner) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG64 bytes = size;
    if (request->data_op == DATA_OP_PACKETS) {
        ULONG packet = request->geometry_b & 0xFFFF;
        ULONG on_media = request->geometry_b >> 16;
        bytes = packet != 0 ? (bytes / packet) * on_media : bytes;
    }
    ULONG64 accounted = bytes;
    if (owner != nullptr) {
        const ULONG* words = flush_owner_words(owner);
        LONG64 n = (LONG64)words[0] + (LONG64)bytes + (LONG64)words[1] * 2 - 8;
        accounted = n > 0 ? (ULONG64)n : 0;
    }
    ULONG64 pages = flush_pages(channel, accounted);
    if ((request->flags & REQ_NO_FLUSH_FILL) == 0) {
        pages += (ULONG64)channel->geometry.pads * channel->geometry.flush_fill_count;
    }
    // More than the channel has could never be granted: the request would wait forever.
    ULONG64 needed = pages + 1;
    request->flushes_needed = (ULONG)(needed < FLUSH_RECORD_COUNT ? needed : FLUSH_RECORD_COUNT);
    request->bytes_done = bytes;
    return 0;
}

int request_dma_map(velkor_request* request, bool to_host) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (request->dma_map_in_use != nullptr) {
        return 0;
    }
    nand_dev* channel = request->channel;
    velkor_request* head = request->chain_head != nullptr ? request->chain_head : request;
    if (head->ioctx == nullptr || request->list == nullptr) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Attempt to automatically DMA map a request without an associated ioctx.\n",
                   channel_name(channel));
        return -KPAV_EINVAL;
    }
    sgl* list = request->list;
    if ((LONG)list->mapped < 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Unable to map request\n", channel_name(channel));
        return (LONG)list->mapped;
    }
    dma_map* map = request->dma_record;
    map->offset = 0;
    map->reserved = 0;
    map->total_bytes = list->total_bytes;
    map->entries = list->used;
    map->first = list->used != 0 ? &sgl_entries(list)[0] : nullptr;
    map->last = list->used != 0 ? &sgl_entries(list)[list->used - 1] : nullptr;
    request->dma_map_in_use = map;
    request->flags |= to_host ? REQ_DMA_TO_HOST : REQ_DMA_TO_DEVICE;
    return 0;
}

int request_prepare(velkor_request* request) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    nand_dev* channel = request->channel;
    request->flushes_needed = 0;
    if (channel_failed(channel) || status_test(channel, PIPE_EXIT)) {
        return -KPAV_EIO;
    }
    ULONG type = request->type < REQUEST_TYPE_COUNT ? request->type : REQUEST_UNINITIALIZED;
    int result = request_prepare_table[type](channel, request);
    if (result != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Request %s %p %s %d\n", channel_name(channel),
                   request_type_name(request->type), (void*)request,
                   result == -KPAV_EOPNOTSUPP ? "unsupported" : "invalid", result);
        request->flags |= REQ_PREPARE_ERROR;
    }
    return result;
}

int request_chain_prepare(velkor_request* head) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    WriteNoFence(&head->pending, (LONG)head->chain_count);
    WriteNoFence(&head->queued, (LONG)head->chain_count);
    if (head->chain_fail != 0) {
        return head->chain_fail;
    }
    int first_error = 0;
    velkor_request* member = head;
    do {
        member->flags &= ~REQ_PREPARE_CLEARS;
        int err = request_prepare(member);
        if (err != 0 && first_error == 0) {
            first_error = err;
        }
        member = request_next(member);
    } while (member != head);
    if (first_error != 0) {
        InterlockedCompareExchange(&head->chain_fail, first_error, 0);
        member = head;
        do {
            member->fail = first_error;
            member->flags |= REQ_FAILED;
            member = request_next(member);
        } while (member != head);
    }
    return first_error;
}
