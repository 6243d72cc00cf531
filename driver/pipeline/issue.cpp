// The issue handlers of the request types that move no append point: erase, read (with its zero
// and check forms), page program, masked page read, sample pads, barrier; the common endings; row
// padding and buffer-set transfers for the flush records and buffer sets. Binary commands are
// issued by direct_cmds.cpp.

#include "driver/pipeline/issue.h"

#include "driver/pipeline/issue_internal.h"
#include "driver/pipeline/nand_cmds.h"
#include "driver/pipeline/pipeline_internal.h"

namespace {

constexpr ULONG check_read_bytes = 8;
constexpr ULONG sample_tail_bytes = 8;
constexpr ULONG sample_fixed_word = 0x10040008;  // one unit of one word, kind 0
constexpr ULONG header_bytes = 8;

ULONG banks_of(const nand_dev* channel) {
    return channel->geometry.banks != 0 ? channel->geometry.banks : 1;
}

int issue_uninitialized(nand_dev* channel, velkor_request*) {
    kpav_print(KPAV_CLASS_ERROR, "%s: Attempt to process uninitialized request\n", channel_name(channel));
    return 0;
}

int issue_erase(nand_dev* channel, velkor_request* request) {
    USHORT eb = request->params.erase.eb;
    ebinfo_raise_condition(channel, eb, EB_CONDITION_ERASING);  // below 6, or blank, becomes 6
    nand_erase_program(channel, request, eb);
    request->flags |= REQ_COMMANDS_WRITTEN;
    return 0;
}

int issue_barrier(nand_dev*, velkor_request*) {
    return 0;
}

// Port B carving of one row piece of a packet read: `at` is the media offset of the piece's
// first byte, `length` its bytes. Delivers payloads (the headers of whole packets are checked by
// the card) and returns the bytes delivered.
ULONG carve_packets(nand_dev* channel, velkor_request* request, ULONG64 at, ULONG length) {
    const auto& read = request->params.read;
    ULONG unit = request->geometry_b >> 16;
    ULONG delivered = 0;
    ULONG64 first = read.address.offset;
    ULONG64 end = at + length;
    // The rest of a packet that began in the row before: its header was passed there.
    ULONG64 into = (at - first) % unit;
    if (into != 0) {
        ULONG64 packet_end = at + (unit - into);
        ULONG64 stop = packet_end < end ? packet_end : end;
        if (into < header_bytes) {
            ULONG64 header_left = header_bytes - into;
            ULONG64 skip = header_left < stop - at ? header_left : stop - at;
            hw_page_run_b(channel, (ULONG)skip);
            at += skip;
        }
        if (stop > at) {
            hw_transfer_b(channel, (ULONG)(stop - at), 0, XFER_DATA);
            delivered += (ULONG)(stop - at);
        }
        at = stop;
    }
    ULONG64 whole = (end - at) / unit;
    if (whole > 0) {
        ULONG64 index = (at - first) / unit;
        hw_split_data_run_b(channel, read.lba + index, read.packet_kind, (ULONG)whole, unit);
        delivered += (ULONG)(whole * (unit - header_bytes));
        at += whole * unit;
    }
    if (at < end) {
        // A packet the row ends inside: its header is passed over, the rest of the row delivered.
        ULONG64 skip = end - at < header_bytes ? end - at : header_bytes;
        hw_page_run_b(channel, (ULONG)skip);
        at += skip;
        if (at < end) {
            hw_transfer_b(channel, (ULONG)(end - at), 0, XFER_DATA);
            delivered += (ULONG)(end - at);
        }
    }
    return delivered;
}

int issue_zero_read(nand_dev* channel, velkor_request* request) {
    nand_sequence_header(channel, request);
    ULONG total = request->params.read.data_length;
    for (ULONG done = 0; done < total;) {
        ULONG piece = total - done < XFER_PIECE_MAX ? total - done : XFER_PIECE_MAX;
        sgl_walk(channel, request, request->dma_map_in_use, done, piece, SGL_WALK_PORT_B, 0);
        hw_transfer_b(channel, piece, 0, XFER_FILL);
        done += piece;
    }
    issue_dma_ending(channel, request);
    return 0;
}

int issue_read(nand_dev* channel, velkor_request* request) {
    const auto& read = request->params.read;
    switch (request->data_op) {
        case DATA_OP_ZEROS:
            return issue_zero_read(channel, request);
        case DATA_OP_RAW_DATA:
        case DATA_OP_PACKETS:
        case DATA_OP_RAW_PACKETS:
        case DATA_OP_CHECK_READ:
            break;
        default:
            return -KPAV_EIO;
    }
    if (request->data_op == DATA_OP_PACKETS && (request->geometry_b >> 16) <= header_bytes) {
        return -KPAV_EINVAL;
    }
    bool check = request->data_op == DATA_OP_CHECK_READ;
    USHORT eb = read.address.eb;
    ULONG64 at = read.address.offset;
    ULONG64 remaining = read.transfer_length;
    ULONG delivered = 0;
    while (remaining > 0) {
        eb_place place;
        if (!eb_locate(channel, eb, at, &place)) {
            request->fail = -KPAV_EINVAL;  // the block ends before the read does
            request->flags |= REQ_FAILED;
            break;
        }
        ULONG in_row = (ULONG)(place.pad_capacity - place.in_pad);
        ULONG piece = remaining < in_row ? (ULONG)remaining : in_row;
        ULONG wanted = check ? (piece < check_read_bytes ? piece : check_read_bytes) : piece;
        ULONG stream = (ULONG)place.in_pad + wanted;
        nand_sequence_header(channel, request);
        nand_page_read(channel, request, eb, place.pad, (ULONG)place.row, stream, 1);
        if (place.in_pad != 0) {
            hw_page_run_b(channel, (ULONG)place.in_pad);
        }
        ULONG bytes;
        if (request->data_op == DATA_OP_PACKETS) {
            bytes = carve_packets(channel, request, at, piece);
        } else {
            hw_transfer_b(channel, wanted, 0, XFER_DATA);
            bytes = wanted;
        }
        sgl_walk(channel, request, request->dma_map_in_use, delivered, bytes, SGL_WALK_PORT_B, 0);
        request->page_reads++;
        request->pad_reads++;
        request->plane_reads = (USHORT)(request->plane_reads + (channel->geometry.planes != 0 ? channel->geometry.planes : 1));
        if (bytes != 0) {
            issue_dma_ending(channel, request);
        } else {
            nand_sequence_end(channel, request);
        }
        delivered += bytes;
        at += piece;
        remaining -= piece;
        if (check) {
            break;  // the check's bytes come from its first row; the rest is not wanted
        }
    }
    return 0;
}

// The segment (bank of a row) a page number names: page = row x banks + bank.
void page_place(nand_dev* channel, ULONG page, ULONG* row, ULONG* bank) {
    *row = page / banks_of(channel);
    *bank = page % banks_of(channel);
}

int issue_masked_page_read(nand_dev* channel, velkor_request* request) {
    const auto& masked = request->params.masked_read;
    ULONG row;
    ULONG bank;
    page_place(channel, masked.page, &row, &bank);
    ULONG capacity = eb_pad_capacity(channel, masked.eb, bank);
    const dma_map* map = request->dma_map_in_use;
    ULONG length = map != nullptr ? map->total_bytes : 0;
    length = length < capacity ? length : capacity;
    nand_sequence_header(channel, request);
    nand_page_read(channel, request, masked.eb, bank, row, length, 1);
    sgl_walk(channel, request, map, 0, length, SGL_WALK_PORT_B, 0);
    if (length != 0) {
        hw_transfer_b(channel, length, 0, XFER_DATA);
    }
    issue_dma_ending(channel, request);
    return 0;
}

int issue_sample_pads(nand_dev* channel, velkor_request* request) {
    const auto& sample = request->params.sample;
    ULONG pages = sample.page_count != 0 ? sample.page_count : 1;
    for (ULONG i = 0; i < pages; i++) {
        ULONG row;
        ULONG bank;
        page_place(channel, sample.page + i * banks_of(channel), &row, &bank);
        ULONG capacity = eb_pad_capacity(channel, sample.eb, bank);
        nand_sequence_header(channel, request);
        nand_sample_read(channel, request, sample.eb, bank, row, capacity);
        if (request->sample_buffer != nullptr) {
            ULONG unit = channel->geometry.column_unit != 0 ? channel->geometry.column_unit : 1;
            InterlockedIncrement(&request->pending_stats);
            hw_cmds_append_nand(channel, (capacity / unit - 1) << 8 | 16 | RUN_WORD_STATS, NAND_RUN_WORD);
        }
        if (i + 1 < pages) {
            nand_sequence_end(channel, request);
            continue;
        }
        if (capacity > sample_tail_bytes) {
            hw_page_run_b(channel, capacity - sample_tail_bytes);
        }
        hw_cmds_append_nand(channel, sample_fixed_word, NAND_PORT_B_TRANSFER);
        sgl_walk(channel, request, request->dma_map_in_use, 0, sample_tail_bytes, SGL_WALK_PORT_B, 0);
        issue_dma_ending(channel, request);
    }
    request->flags |= REQ_COMMANDS_WRITTEN;
    return 0;
}

}  // namespace

ULONG issue_port_a_tag(const velkor_request* request) {
    return nand_tag_word(nand_request_ring(request), request->pool_index, TAG_STATUS);
}

void issue_transfer_ending(nand_dev* channel, velkor_request* request) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    hw_cmds& ring = channel->ring;
    if (ring.transfer_irq_index == HW_NO_INDEX) {
        return;
    }
    ring.entries[ring.transfer_irq_index].value |= HW_IRQ_BIT;
    ring.transfer_irq_index = HW_NO_INDEX;
    InterlockedIncrement(&request->pending_report);
    request->flags |= REQ_COMMANDS_WRITTEN;
}

void issue_dma_ending(nand_dev* channel, velkor_request* request) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    hw_cmds& ring = channel->ring;
    if (ring.dma_irq_index != HW_NO_INDEX) {
        ring.entries[ring.dma_irq_index].value |= HW_IRQ_BIT;
        ring.dma_irq_index = HW_NO_INDEX;
        InterlockedIncrement(&request->pending_dma);
        request->flags |= REQ_COMMANDS_WRITTEN;
    }
    nand_sequence_end(channel, request);
}

void issue_close_open_row(nand_dev* channel, const flush_position* next) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    flush_record* record = channel->flush.current;
    if (record == nullptr) {
        return;
    }
    if (next != nullptr && record->eb == next->eb && record->media_offset + record->bytes == next->offset) {
        return;  // the write goes on where the row stands
    }
    issue_pad_row(channel, record);
}

void issue_pad_row(nand_dev* channel, flush_record* record) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (record == nullptr || channel->flush.current != record) {
        return;
    }
    ULONG left = record->capacity > record->bytes ? record->capacity - record->bytes : 0;
    flush_position position{record->eb, record->media_offset + record->bytes};
    if (left != 0) {
        ULONG saved = channel->ring.transfer_irq_index;
        hw_page_run_a(channel, left, nand_tag_word(1, record->index, TAG_FLUSH));
        channel->ring.transfer_irq_index = saved;
        InterlockedExchangeAdd64(&channel->padding_bytes, left);
        flush_account_bytes(channel, &position, nullptr, left);
    }
    if (channel->flush.current == record) {
        flush_issue(channel);
    }
}

int issue_page_program(nand_dev* channel, velkor_request* request) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const auto& program = request->params.page_program;
    flush_position position{program.eb, eb_page_offset(channel, program.eb, program.page)};
    eb_place place;
    if (program.size == 0 || !eb_locate(channel, program.eb, position.offset, &place) ||
        position.offset + program.size > eb_usable_length(channel, program.eb)) {
        return -KPAV_EINVAL;
    }
    issue_close_open_row(channel, &position);
    ULONG tag = issue_port_a_tag(request);
    if (request->data_op == DATA_OP_FILL) {
        hw_page_run_a(channel, program.size, tag);
    } else {
        hw_transfer_a(channel, program.size, 0, XFER_DATA, tag);
        sgl_walk(channel, request, request->dma_map_in_use, 0, program.size, SGL_WALK_CONTROL, tag);
    }
    flush_account_bytes(channel, &position, request, program.size);
    issue_transfer_ending(channel, request);
    return 0;
}

void issue_dma_transfer(nand_dev* channel, const ioc_transfer* transfer) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (transfer == nullptr || transfer->map == nullptr) {
        return;
    }
    ULONG tag = transfer->request != nullptr ? issue_port_a_tag(transfer->request) : 0;
    dma_map view = *transfer->map;
    view.entries -= (ULONG)(transfer->first - transfer->map->first);
    view.first = transfer->first;
    view.offset = 0;
    view.total_bytes = transfer->start_offset + transfer->remaining;
    sgl_walk(channel, transfer->request, &view, transfer->start_offset, transfer->remaining,
             transfer->to_host ? SGL_WALK_PORT_B : SGL_WALK_CONTROL, tag);
}

const request_issue_handler request_issue_table[REQUEST_TYPE_COUNT] = {
    issue_uninitialized,
    issue_erase,
    issue_append,
    issue_read,
    issue_barrier,
    issue_page_program,
    issue_advance_append_point,
    issue_open_append_point,
    issue_close_append_point,
    issue_masked_page_read,
    issue_binary_command,
    issue_sample_pads,
};
