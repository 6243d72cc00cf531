// The issue handlers of the append point: append, advance, open and close, with the steps they
// share: opening an erase block (its opener record, an erase first when the block asks for one,
// its footer and first index record), the index records and their entries, and closing a block
// (the pending index record, the footer in the block's last pad row, filler to the end).
//
// An append point's position runs in step with the flush records: bytes are accounted before
// their transfers go out, so the card has the row for them when they arrive, and every write
// goes a pad row at a time, so the card never waits for a page buffer that only later bytes of
// the same write would free. When a flush padded the point's row meanwhile, the point resumes
// at the next pad row.

#include "driver/pipeline/issue_internal.h"
#include "driver/pipeline/nand_cmds.h"
#include "driver/pipeline/pipeline.h"
#include "driver/pipeline/pipeline_internal.h"
#include "driver/pipeline/prepare.h"

namespace {

// Request flag bits of appends.
constexpr ULONG64 REQ_STRIDE_PAD = 1ull << 6;     // pad to the point's packet slot first
constexpr ULONG64 REQ_END_PAD = 1ull << 13;       // pad to the next packet slot after the data

// Index records and their entries.
constexpr USHORT INDEX_RECORD_KIND = 258;
constexpr ULONG INDEX_HEADER_BYTES = 48;
constexpr ULONG INDEX_ENTRY_BYTES = 8;
constexpr ULONG INDEX_RESERVED_BYTES = 8184;
constexpr ULONG INDEX_ROOM = 3;                   // entries one packet run may need
constexpr UCHAR INDEX_VERSION = 2;                // positions in 8-byte units
constexpr ULONG64 INDEX_ADDRESS = 0xFFFFFFFFFF7A00ull;
constexpr UCHAR SYSTEM_PACKET_FLAG = 160;
constexpr UCHAR DATA_PACKET_FLAG = 144;
constexpr UCHAR POSITION_ENTRY = 0x8C;
constexpr ULONG RUN_ENTRY_MAX = 128;

// The footer, the block's closing record at its limit: a packet header whose low address word is
// the block's check word, the index kind (positions in 8-byte units), flags, the index records
// as slots {slot, packets, position}, then the block's entry list up to a zero word. The block
// scan reads LOG_CLOSING_BYTES there.
constexpr UCHAR FOOTER_KIND = 133;
constexpr ULONG64 FOOTER_ADDRESS = 0xFFFFFFFAF60000ull;
constexpr UCHAR FOOTER_VERSION = 2;
constexpr ULONG FOOTER_NOT_USABLE = 0x1;
constexpr ULONG FOOTER_HEADER_BYTES = 24;
constexpr ULONG FOOTER_SLOT_BYTES = 8;
constexpr ULONG FOOTER_LIST_AT = FOOTER_HEADER_BYTES + AP_FOOTER_ENTRIES * FOOTER_SLOT_BYTES;
constexpr ULONG LOG_CLOSING_BYTES = 10016;

// Failure reasons of the open step.
constexpr ULONG FAIL_NO_OPENER = 0x80000;
constexpr ULONG FAIL_NO_SPACE = 0x100000;

// The block's flag-word bit that tells the log a block was closed.
constexpr ULONG EB_FLAG_CLOSED = 0x4;

void fail_with(velkor_request* request, int error) {
    if ((request->flags & REQ_FAILED) == 0 || request->fail == 0) {
        request->fail = error;
    }
    request->flags |= REQ_FAILED;
}

bool failed(const velkor_request* request) {
    return (request->flags & REQ_FAILED) != 0;
}

ULONG unit_of(const append_point* ap) {
    return ap->geometry_b >> 16;
}

ULONG payload_of(const append_point* ap) {
    return ap->geometry_b & 0xFFFF;
}

// Takes a free slot of a buffer set: its index, or -1.
LONG take_slot(ioc_bufs* set) {
    if (set == nullptr || set->flags == nullptr) {
        return -1;
    }
    for (ULONG i = 0; i < set->count; i++) {
        if ((InterlockedOr(&set->flags[i], IOC_SLOT_BUSY) & IOC_SLOT_BUSY) == 0) {
            return (LONG)i;
        }
    }
    return -1;
}

UCHAR* slot_data(ioc_bufs* set, ULONG slot) {
    return (UCHAR*)set->bufs[slot].data;
}

void put16(UCHAR* at, ULONG value) {
    at[0] = (UCHAR)value;
    at[1] = (UCHAR)(value >> 8);
}

void put32(UCHAR* at, ULONG value) {
    put16(at, value);
    put16(at + 2, value >> 16);
}

void put64(UCHAR* at, ULONG64 value) {
    put32(at, (ULONG)value);
    put32(at + 4, (ULONG)(value >> 32));
}

// The eight header bytes of a packet: flag byte, address bits 48-55, 32-47, 0-31.
void put_packet_header(UCHAR* at, UCHAR flag, ULONG64 address) {
    at[0] = flag;
    at[1] = (UCHAR)(address >> 48);
    put16(at + 2, (ULONG)(address >> 32));
    put32(at + 4, (ULONG)address);
}

// The append point's position where the next write goes. When the open row is another one, the
// point's own row was padded by a flush: the point goes on at the next pad row, and any other
// open row is padded and issued.
void resume_position(nand_dev* channel, append_point* ap) {
    ap_write_state& w = ap->write;
    flush_record* open = channel->flush.current;
    if (open != nullptr && open->eb == w.eb && open->media_offset + open->bytes == w.position) {
        return;
    }
    eb_place place;
    if (eb_locate(channel, w.eb, w.position, &place) && place.in_pad != 0) {
        w.position += place.pad_capacity - place.in_pad;
    }
    flush_position next{w.eb, w.position};
    issue_close_open_row(channel, &next);
}

// Writes `bytes` at the point's position for `request` a pad row at a time. The card holds a
// row in a page buffer until the row is full and waits for a free buffer at the next row, so
// the rows of a long write (a large append, the rest of a block at its close) accounted all
// before their bytes would outnumber its buffers and stop it. Each row is accounted, then
// `send(from, count)` sends the write's bytes [from, from + count) that now have their rows:
// whole `grain`s of them, a grain the row ends inside going out after the next row. 0, the
// request's error when accounting failed it, or the first error `send` returns.
template <typename Send>
int write_by_rows(nand_dev* channel, append_point* ap, velkor_request* request, ULONG64 bytes, ULONG grain,
                  Send send) {
    ap_write_state& w = ap->write;
    ULONG64 accounted = 0;
    ULONG64 sent = 0;
    while (accounted < bytes) {
        ULONG64 piece = bytes - accounted;
        eb_place place;
        if (eb_locate(channel, w.eb, w.position, &place) && place.pad_capacity - place.in_pad < piece) {
            piece = place.pad_capacity - place.in_pad;
        }
        flush_position position{w.eb, w.position};
        flush_account_bytes(channel, &position, request, piece);
        if (failed(request)) {
            return request->fail;
        }
        w.position += piece;
        accounted += piece;
        ULONG64 ready = accounted == bytes ? bytes : accounted / grain * grain;
        if (ready > sent) {
            int rc = send(sent, ready - sent);
            if (rc != 0) {
                return rc;
            }
            sent = ready;
        }
    }
    return 0;
}

// Packet transfers of `count` packets of `unit` bytes on media from `address` on: one media
// address per transfer command, since the card advances only the address's low word.
void send_packets(nand_dev* channel, ULONG64 address, UCHAR flag, ULONG64 count, ULONG unit, ULONG tag) {
    while (count != 0) {
        ULONG64 to_wrap = 0x100000000ull - (address & 0xFFFFFFFFull);
        ULONG piece = count < 32767 ? (ULONG)count : 32767;
        piece = to_wrap < piece ? (ULONG)to_wrap : piece;
        hw_media_address_a(channel, address, flag);
        hw_transfer_a(channel, piece * unit, unit, XFER_PACKETS, tag);
        address += piece;
        count -= piece;
    }
}

// Writes `bytes` of filler at the point's position for `request`.
void write_filler(nand_dev* channel, append_point* ap, velkor_request* request, ULONG64 bytes) {
    if (failed(request)) {
        return;
    }
    ULONG tag = issue_port_a_tag(request);
    write_by_rows(channel, ap, request, bytes, 1, [&](ULONG64, ULONG64 count) {
        hw_page_run_a(channel, count, tag);
        InterlockedExchangeAdd64(&channel->padding_bytes, (LONG64)count);
        return 0;
    });
}

// Filler up to the next packet slot.
void pad_to_stride(nand_dev* channel, append_point* ap, velkor_request* request) {
    ap_write_state& w = ap->write;
    ULONG unit = unit_of(ap);
    if (unit == 0 || w.position <= w.base) {
        return;
    }
    ULONG64 into = (w.position - w.base) % unit;
    if (into != 0) {
        write_filler(channel, ap, request, unit - into);
    }
}

// Writes the first `bytes` bytes of a buffer-set slot at the point's position: as packets of the
// point's geometry with `flag` and `address` when `packets` is not 0, else as they stand.
int write_slot(nand_dev* channel, append_point* ap, velkor_request* request, ioc_bufs* set, ULONG slot, ULONG bytes,
               ULONG packets, UCHAR flag, ULONG64 address) {
    ULONG tag = issue_port_a_tag(request);
    if (packets == 0) {
        return write_by_rows(channel, ap, request, bytes, 1, [&](ULONG64 from, ULONG64 count) {
            hw_transfer_a(channel, (ULONG)count, 0, XFER_DATA, tag);
            return ioc_slot_map_range(request, set, slot, (ULONG)from, (ULONG)count, false);
        });
    }
    ULONG unit = unit_of(ap);
    ULONG payload = bytes / packets;
    return write_by_rows(channel, ap, request, (ULONG64)packets * unit, unit, [&](ULONG64 from, ULONG64 count) {
        ULONG64 first = from / unit;
        send_packets(channel, address + first, flag, count / unit, unit, tag);
        return ioc_slot_map_range(request, set, slot, (ULONG)(first * payload), (ULONG)(count / unit * payload),
                                  false);
    });
}

// ---- Index records

ULONG index_capacity(const append_point* ap) {
    ULONG size = ap->index_set->size;
    // Records are written as whole packets taken from the buffer: no more than it holds.
    ULONG payload = payload_of(ap);
    ULONG whole = payload != 0 ? size / payload * payload : size;
    ULONG usable = whole < size ? whole : size;
    ULONG by_room = usable > INDEX_HEADER_BYTES ? (usable - INDEX_HEADER_BYTES) / INDEX_ENTRY_BYTES : 0;
    ULONG by_size = size > INDEX_RESERVED_BYTES ? (size - INDEX_RESERVED_BYTES) / INDEX_ENTRY_BYTES : by_room;
    return by_size < by_room ? by_size : by_room;
}

// Takes and clears the next index record; without a free buffer the footer notes the overflow.
void take_index(append_point* ap) {
    ap_write_state& w = ap->write;
    LONG slot = ap->index_set != nullptr ? take_slot(ap->index_set) : -1;
    if (slot < 0 || slot >= 32) {
        if (slot >= 0) {
            ioc_slot_release(ap->index_set, (ULONG)slot);
        }
        w.footer_overflow = 1;
        w.index_slot = 0;
        return;
    }
    UCHAR* record = slot_data(ap->index_set, (ULONG)slot);
    RtlZeroMemory(record, ap->index_set->size);
    w.index_slot = (ULONG)slot + 1;
    w.index_entries = 0;
    w.index_capacity = index_capacity(ap);
    w.index_running = w.position / 8;
}

void add_entry(append_point* ap, ULONG64 word) {
    ap_write_state& w = ap->write;
    if (w.index_slot == 0 || w.index_entries >= w.index_capacity) {
        return;
    }
    UCHAR* record = slot_data(ap->index_set, w.index_slot - 1);
    put64(record + INDEX_HEADER_BYTES + w.index_entries * INDEX_ENTRY_BYTES, word);
    w.index_entries++;
}

// Words of the footer's list it has room for (one more ends the list).
ULONG footer_list_capacity(const append_point* ap) {
    ULONG size = ap->footer_set->size < LOG_CLOSING_BYTES ? ap->footer_set->size : LOG_CLOSING_BYTES;
    return size > FOOTER_LIST_AT + INDEX_ENTRY_BYTES ? (size - FOOTER_LIST_AT) / INDEX_ENTRY_BYTES - 1 : 0;
}

void add_footer_entry(append_point* ap, ULONG64 word) {
    ap_write_state& w = ap->write;
    if (w.footer_slot == 0) {
        return;
    }
    if (w.footer_words >= footer_list_capacity(ap)) {
        w.footer_overflow = 1;  // the list is incomplete: the block is walked instead
        return;
    }
    put64(slot_data(ap->footer_set, w.footer_slot - 1) + FOOTER_LIST_AT + w.footer_words * INDEX_ENTRY_BYTES, word);
    w.footer_words++;
}

// The entry words of a run of `count` packets of flag byte `flag` from `address` at `at` (8-byte
// units), following on from `running`: 1 or 2 words into `out`.
ULONG run_entries(ULONG64 at, ULONG64 running, ULONG count, UCHAR flag, ULONG64 address, ULONG64 out[2]) {
    bool continues = at == running;
    if (continues && flag == DATA_PACKET_FLAG && count >= 2 && count <= RUN_ENTRY_MAX) {
        out[0] = (ULONG64)(count - 1) << 56 | address;
        return 1;
    }
    ULONG n = 0;
    if (!continues || count != 1) {
        out[n++] = (ULONG64)POSITION_ENTRY << 56 | (ULONG64)(count & 0xFFFF) << 32 | (at & 0xFFFFFFFF);
    }
    out[n++] = (ULONG64)flag << 56 | address;
    return n;
}

// The entries of a run of `count` packets of flag byte `flag` from `address` at `position`: in
// the index record being filled, and in the footer's list of the whole block.
void index_run(append_point* ap, ULONG64 position, ULONG count, UCHAR flag, ULONG64 address) {
    ap_write_state& w = ap->write;
    ULONG64 at = position / 8;
    ULONG64 units = (ULONG64)count * unit_of(ap) / 8;
    address &= 0x00FFFFFFFFFFFFFFull;
    ULONG64 words[2];
    ULONG n = run_entries(at, w.index_running, count, flag, address, words);
    for (ULONG i = 0; i < n; i++) {
        add_entry(ap, words[i]);
    }
    n = run_entries(at, w.footer_running, count, flag, address, words);
    for (ULONG i = 0; i < n; i++) {
        add_footer_entry(ap, words[i]);
    }
    w.index_running = at + units;
    w.footer_running = at + units;
}

// Writes the index record being filled (at the next packet slot) and notes it in the footer.
int write_index(nand_dev* channel, append_point* ap, velkor_request* request) {
    ap_write_state& w = ap->write;
    if (w.index_slot == 0) {
        return 0;
    }
    ULONG slot = w.index_slot - 1;
    w.index_slot = 0;
    pad_to_stride(channel, ap, request);
    if (failed(request)) {
        ioc_slot_release(ap->index_set, slot);
        return request->fail;
    }
    UCHAR* record = slot_data(ap->index_set, slot);
    ULONG bytes = INDEX_HEADER_BYTES + w.index_entries * INDEX_ENTRY_BYTES;
    put16(record + 0, INDEX_RECORD_KIND);
    put16(record + 2, w.eb);
    put32(record + 4, unit_of(ap));
    put32(record + 8, unit_of(ap) - INDEX_ENTRY_BYTES);
    put32(record + 12, (ULONG)(w.position / 8));
    put32(record + 16, (bytes - INDEX_HEADER_BYTES) / 8 + 1);
    put32(record + 20, w.footer_count);
    record[24] = INDEX_VERSION;
    put16(record + 32, (ULONG)w.index_sequence);  // the record's slot in the footer
    if (w.footer_count != 0) {
        const ap_footer_entry& last = w.footer[w.footer_count - 1];
        put16(record + 34, (ULONG)last.sequence);
        put32(record + 40, last.units);
        put32(record + 44, last.position);
    }
    ULONG payload = payload_of(ap);
    ULONG packets = payload != 0 ? (bytes + payload - 1) / payload : 0;
    ULONG64 start = w.position;
    request->ebi_mask |= 1u << slot;
    request->flags |= REQ_EBI_SLOTS;
    int rc = packets != 0 ? write_slot(channel, ap, request, ap->index_set, slot, packets * payload, packets,
                                       SYSTEM_PACKET_FLAG, INDEX_ADDRESS)
                          : -KPAV_EINVAL;
    if (rc != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Unable to map dma for EBI.\n", channel_name(channel));
        fail_with(request, rc);
        return rc;
    }
    ULONG units = (ULONG)((w.position - start) / 8);
    if (w.footer_count < AP_FOOTER_ENTRIES) {
        w.footer[w.footer_count++] = ap_footer_entry{w.index_sequence, units, (ULONG)(start / 8)};
    } else {
        w.footer_overflow = 1;
    }
    w.index_sequence++;
    return 0;
}

// ---- Open and close

void write_footer(nand_dev* channel, append_point* ap, velkor_request* request) {
    ap_write_state& w = ap->write;
    if (w.footer_slot == 0) {
        return;
    }
    ULONG slot = w.footer_slot - 1;
    w.footer_slot = 0;
    ULONG bytes = FOOTER_LIST_AT + (w.footer_words + 1) * INDEX_ENTRY_BYTES;
    ULONG64 usable = eb_usable_length(channel, w.eb);
    if (w.position + bytes > usable || ap->footer_set->size < bytes) {
        ioc_slot_release(ap->footer_set, slot);  // no room left for it
        return;
    }
    UCHAR* footer = slot_data(ap->footer_set, slot);
    put_packet_header(footer, FOOTER_KIND, FOOTER_ADDRESS + w.eb);
    footer[8] = FOOTER_VERSION;
    put32(footer + 12, w.footer_overflow != 0 ? FOOTER_NOT_USABLE : 0);
    ULONG unit = unit_of(ap);
    ULONG most = 0;
    for (ULONG i = 0; i < w.footer_count; i++) {
        ULONG packets = unit != 0 ? (ULONG)((ULONG64)w.footer[i].units * 8 / unit) : 0;
        most = packets > most ? packets : most;
        UCHAR* entry = footer + FOOTER_HEADER_BYTES + i * FOOTER_SLOT_BYTES;
        put16(entry, (ULONG)w.footer[i].sequence);
        put16(entry + 2, packets);
        put32(entry + 4, w.footer[i].position);
    }
    put16(footer + 18, w.footer_count);  // slots
    put16(footer + 20, most);            // packets of the longest record
    put16(footer + 22, w.footer_count);  // entries
    put64(footer + FOOTER_LIST_AT + w.footer_words * INDEX_ENTRY_BYTES, 0);
    request->ebf_slot |= 1ll << slot;
    request->flags |= REQ_EBF_SLOT;
    int rc = write_slot(channel, ap, request, ap->footer_set, slot, bytes, 0, 0, 0);
    if (rc != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Unable to map dma for EBF.\n", channel_name(channel));
        fail_with(request, rc);
    }
}

// Where appends of the block just opened stop, given where its packet slots end. A flush may pad
// the open row at any time, and the point then goes on at the next row: after data in the row
// that holds the slots' end, that next row would lie past the place of the closing index record
// and footer. Appends stop at that row's start instead, unless the block's first slots lie in
// that row too.
ULONG64 appends_end(nand_dev* channel, const ap_write_state& w, ULONG64 slots_end) {
    eb_place place;
    if (!eb_locate(channel, w.eb, slots_end, &place) || place.in_pad == 0) {
        return slots_end;
    }
    ULONG64 row = slots_end - place.in_pad;
    return row > w.base ? row : slots_end;
}

// Closes the point's block: the pending index record, the footer in the last pad row, filler to
// the block's end, and the block handed back to the log.
int close_eb(nand_dev* channel, append_point* ap, velkor_request* request) {
    ap_write_state& w = ap->write;
    if (w.has_eb == 0) {
        return 0;
    }
    resume_position(channel, ap);
    int rc = 0;
    if (w.index_slot != 0 && w.index_entries == 0) {
        ioc_slot_release(ap->index_set, w.index_slot - 1);
        w.index_slot = 0;
    }
    rc = write_index(channel, ap, request);
    ULONG64 usable = eb_usable_length(channel, w.eb);
    if (rc == 0 && w.footer_slot != 0 && w.position <= w.limit) {
        write_filler(channel, ap, request, w.limit - w.position);
        if (!failed(request)) {
            write_footer(channel, ap, request);
        }
    }
    if (w.footer_slot != 0) {
        ioc_slot_release(ap->footer_set, w.footer_slot - 1);
        w.footer_slot = 0;
    }
    if (w.index_slot != 0) {
        ioc_slot_release(ap->index_set, w.index_slot - 1);
        w.index_slot = 0;
    }
    if (!failed(request) && w.position < usable) {
        write_filler(channel, ap, request, usable - w.position);
    }
    if (failed(request)) {
        rc = request->fail;
        fail_channel(channel, 0, 0);
    }
    ebinfo_set_flags(channel, w.eb, EB_FLAG_CLOSED);
    w.last_closed = w.eb;
    w.has_eb = 0;
    w.has_data = 0;
    w.eb = PAV_NO_EB;
    return rc;
}

// Opens a new block for the point: the log's new block and its opener record, the block's
// erase first when it asks for one, the footer and the first index record.
int open_eb(nand_dev* channel, append_point* ap, velkor_request* request) {
    ap_write_state& w = ap->write;
    LONG slot = take_slot(ap->opener_set);
    if (slot < 0 || slot >= 64) {
        if (slot >= 0) {
            ioc_slot_release(ap->opener_set, (ULONG)slot);
        }
        kpav_print(KPAV_CLASS_ERROR, "%s: Out of EBH buffers -- failing channel\n", channel_name(channel));
        fail_with(request, -KPAV_EIO);
        fail_channel(channel, 0, FAIL_NO_OPENER);
        return -KPAV_EIO;
    }
    const nand_dev_client_ops* ops = channel_client_ops(channel);
    USHORT eb = PAV_NO_EB;
    ULONG length = 0;
    UCHAR* opener = slot_data(ap->opener_set, (ULONG)slot);
    int rc = ops->new_append_eb(channel, &eb, PAV_NO_EB, opener, &length);
    if (rc == 0 && (eb == PAV_NO_EB || eb_usable_length(channel, eb) == 0)) {
        rc = -KPAV_ENOSPC;
    }
    if (rc != 0) {
        ioc_slot_release(ap->opener_set, (ULONG)slot);
        kpav_print(KPAV_CLASS_ERROR, "%s: Out of space for request (%d) (transition start %u+%llu)\n",
                   channel_name(channel), rc, (unsigned)w.eb, (unsigned long long)w.position);
        w.has_eb = 0;
        w.eb = PAV_NO_EB;
        fail_with(request, rc);
        fail_channel(channel, 0, FAIL_NO_SPACE);
        return rc;
    }
    if (ebinfo_condition(channel, eb) == EB_CONDITION_ERASE_FIRST) {
        nand_erase_program(channel, request, eb);
        ebinfo_raise_condition(channel, eb, EB_CONDITION_REERASE);
        request->flags |= REQ_COMMANDS_WRITTEN;
    }
    w.eb = eb;
    w.has_eb = 1;
    w.has_data = 0;
    w.position = 0;
    w.packets = 0;
    w.pad_count = channel->geometry.pads;
    w.index_sequence = 0;
    w.footer_count = 0;
    w.footer_overflow = 0;
    w.footer_words = 0;
    w.footer_running = 0;
    // The opener: the buffer's bytes, and filler for a record longer than the buffer.
    length = (length + 7) / 8 * 8;
    ULONG from_buffer = length < ap->opener_set->size ? length : ap->opener_set->size / 8 * 8;
    request->ebh_slot |= 1ll << slot;
    request->flags |= REQ_EBH_SLOT;
    if (from_buffer != 0) {
        rc = write_slot(channel, ap, request, ap->opener_set, (ULONG)slot, from_buffer, 0, 0, 0);
        if (rc != 0 && !failed(request)) {
            kpav_print(KPAV_CLASS_ERROR, "%s: Unable to map dma for EBO.\n", channel_name(channel));
            fail_with(request, rc);
        }
        if (rc != 0) {
            fail_channel(channel, 0, 0);
            return rc;
        }
    }
    write_filler(channel, ap, request, length - from_buffer);
    if (failed(request)) {
        return request->fail;
    }
    w.base = w.position;
    // Packet slots stop at the tail reserve; the closing record goes after the last slot and a
    // full index record. Appends stop at the start of the row the last slot ends in.
    ULONG64 usable = eb_usable_length(channel, eb);
    ULONG64 reserve_at = usable > ap->tail_reserve ? usable - ap->tail_reserve : 0;
    ULONG unit = unit_of(ap);
    ULONG64 slots = reserve_at > w.base && unit != 0 ? (reserve_at - w.base) / unit : 0;
    w.limit = w.base + slots * unit + issue_index_record_room(ap);
    w.end = appends_end(channel, w, w.base + slots * unit);
    LONG footer = take_slot(ap->footer_set);
    if (footer >= 64) {
        ioc_slot_release(ap->footer_set, (ULONG)footer);
        footer = -1;
    }
    w.footer_slot = footer >= 0 ? (ULONG)footer + 1 : 0;
    if (footer >= 0) {
        RtlZeroMemory(slot_data(ap->footer_set, (ULONG)footer), ap->footer_set->size);
    }
    take_index(ap);
    return 0;
}

// ---- The append itself

struct append_job {
    ULONG unit;        // on-media bytes of a packet
    ULONG payload;     // host bytes of a packet
    ULONG64 packets;   // packets still to write
    ULONG64 done;      // packets written
    bool as_packets;   // packet transfers (headers made by the card); else the bytes as they stand
    ULONG raw_bytes;   // the bytes of a raw append
};

// Notes where a run landed for the erase-block change callback.
void note_run(velkor_request* request, const append_point* ap, ULONG count) {
    pav_addr_block& lvec = request->params.append.lvec;
    const ap_write_state& w = ap->write;
    if (lvec.count != 0 && lvec.vectors[lvec.count - 1].eb == w.eb) {
        lvec.packet_counts[lvec.count - 1] += count;
        return;
    }
    if (lvec.count >= 3) {
        return;
    }
    ULONG unit = unit_of(ap);
    lvec.vectors[lvec.count].eb = w.eb;
    lvec.vectors[lvec.count].lpkt = unit != 0 ? (ULONG)((w.position - w.base) / unit) : 0;
    lvec.packet_counts[lvec.count] = count;
    lvec.count++;
}

// Writes `count` packets (or the raw bytes) at the point's position.
void write_run(nand_dev* channel, append_point* ap, velkor_request* request, append_job* job, ULONG count) {
    ap_write_state& w = ap->write;
    if ((request->flags & REQ_STRIDE_PAD) != 0) {
        pad_to_stride(channel, ap, request);
    }
    if (w.index_slot != 0 && w.index_entries + INDEX_ROOM > w.index_capacity) {
        if (write_index(channel, ap, request) != 0) {
            return;
        }
        take_index(ap);
    }
    if (failed(request)) {
        return;
    }
    const auto& append = request->params.append;
    ULONG64 media = job->as_packets ? (ULONG64)count * job->unit : job->raw_bytes;
    ULONG64 start = w.position;
    note_run(request, ap, count);
    ULONG tag = issue_port_a_tag(request);
    int rc;
    if (job->as_packets) {
        rc = write_by_rows(channel, ap, request, media, job->unit, [&](ULONG64 from, ULONG64 bytes) {
            ULONG64 first = job->done + from / job->unit;
            ULONG64 packets = bytes / job->unit;
            send_packets(channel, append.magic + first, append.opcode, packets, job->unit, tag);
            sgl_walk(channel, request, request->dma_map_in_use, (ULONG)(first * job->payload),
                     (ULONG)(packets * job->payload), SGL_WALK_CONTROL, tag);
            return 0;
        });
    } else {
        rc = write_by_rows(channel, ap, request, media, 1, [&](ULONG64 from, ULONG64 bytes) {
            hw_transfer_a(channel, (ULONG)bytes, 0, XFER_DATA, tag);
            sgl_walk(channel, request, request->dma_map_in_use, (ULONG)from, (ULONG)bytes, SGL_WALK_CONTROL, tag);
            return 0;
        });
    }
    if (rc != 0) {
        return;
    }
    index_run(ap, start, count, append.opcode, append.magic + job->done);
    w.packets += count;
    w.has_data = 1;
    job->done += count;
    job->packets -= count;
    if ((request->flags & REQ_END_PAD) != 0) {
        pad_to_stride(channel, ap, request);
    }
}

// Packets of the job that fit before the block's end (all or nothing for a raw append).
ULONG64 packets_that_fit(const append_point* ap, const velkor_request* request, const append_job* job) {
    const ap_write_state& w = ap->write;
    ULONG64 at = w.position;
    if ((request->flags & REQ_STRIDE_PAD) != 0 && job->unit != 0 && at > w.base && (at - w.base) % job->unit != 0) {
        at += job->unit - (at - w.base) % job->unit;
    }
    // Room for an index record written first, when the one being filled is full.
    if (w.index_slot != 0 && w.index_entries + INDEX_ROOM > w.index_capacity) {
        ULONG bytes = INDEX_HEADER_BYTES + w.index_entries * INDEX_ENTRY_BYTES;
        at += (ULONG64)(bytes + job->payload - 1) / job->payload * job->unit;
    }
    if (at >= w.end) {
        return 0;
    }
    if (!job->as_packets) {
        return at + job->raw_bytes <= w.end ? job->packets : 0;
    }
    ULONG64 room = (w.end - at) / job->unit;
    return room < job->packets ? room : job->packets;
}

}  // namespace

ULONG issue_index_record_room(const append_point* ap) {
    ULONG payload = payload_of(ap);
    if (ap->index_set == nullptr || payload == 0) {
        return 0;
    }
    ULONG bytes = INDEX_HEADER_BYTES + index_capacity(ap) * INDEX_ENTRY_BYTES;
    return (bytes + payload - 1) / payload * unit_of(ap);
}

int issue_append(nand_dev* channel, velkor_request* request) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    auto* ap = request->params.append.ap;
    const auto& append = request->params.append;
    append_job job{};
    job.unit = request->geometry_b >> 16;
    job.payload = request->geometry_b & 0xFFFF;
    if (ap == nullptr || job.payload == 0 || job.unit <= job.payload || job.unit % 8 != 0 || append.size == 0) {
        return -KPAV_EINVAL;
    }
    switch (request->data_op) {
        case DATA_OP_PACKETS:
            if (append.size % job.payload != 0 || job.unit != unit_of(ap)) {
                return -KPAV_EINVAL;
            }
            job.as_packets = true;
            job.packets = append.size / job.payload;
            break;
        case DATA_OP_RAW_DATA:
        case DATA_OP_RAW_PACKETS:
            if (append.size % 8 != 0) {
                return -KPAV_EINVAL;
            }
            job.raw_bytes = append.size;
            job.packets = append.size / job.payload != 0 ? append.size / job.payload : 1;
            break;
        default:
            return -KPAV_EINVAL;
    }
    ap_write_state& w = ap->write;
    request->params.append.lvec.count = 0;
    channel->ring.transfer_irq_index = HW_NO_INDEX;
    // A block of the point is written in one piece at a time: at most two changes of block.
    for (ULONG changes = 0; job.packets != 0 && !failed(request);) {
        if (w.has_eb != 0) {
            resume_position(channel, ap);
        }
        ULONG64 fit = w.has_eb != 0 ? packets_that_fit(ap, request, &job) : 0;
        if (fit == 0) {
            if (changes == 2 || (w.has_eb != 0 && w.has_data == 0)) {
                fail_with(request, -KPAV_EINVAL);  // larger than an empty block holds
                break;
            }
            changes++;
            if (close_eb(channel, ap, request) != 0 || open_eb(channel, ap, request) != 0) {
                break;
            }
            continue;
        }
        write_run(channel, ap, request, &job, (ULONG)fit);
    }
    if (!failed(request)) {
        issue_transfer_ending(channel, request);
    }
    return 0;
}

int issue_advance_append_point(nand_dev* channel, velkor_request* request) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    auto* ap = request->params.advance.ap;
    if (ap == nullptr) {
        return -KPAV_EINVAL;
    }
    ap_write_state& w = ap->write;
    if (w.has_eb != 0 && w.eb == request->params.advance.eb && w.has_data != 0) {
        request->params.advance.closed = 1;
        channel->ring.transfer_irq_index = HW_NO_INDEX;
        if (close_eb(channel, ap, request) == 0) {
            issue_transfer_ending(channel, request);
        }
    } else {
        request->params.advance.closed = 0;
    }
    return 0;
}

int issue_open_append_point(nand_dev* channel, velkor_request* request) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    auto* ap = request->params.barrier.ap;
    if (ap == nullptr) {
        return -KPAV_EINVAL;
    }
    ap_write_state& w = ap->write;
    if (w.has_eb == 0) {
        w.eb = PAV_NO_EB;
        w.position = 0;
        w.index_slot = 0;
        w.footer_slot = 0;
    }
    w.last_closed = PAV_NO_EB;
    if ((ReadNoFence(&ap->flags) & AP_DEDICATED_LOG) != 0) {
        if (channel->dedicated_ap != nullptr && channel->dedicated_ap != ap) {
            return -KPAV_ENODEV;
        }
        channel->dedicated_ap = ap;
    }
    if (w.linked == 0) {
        InsertTailList(&channel->append_points, &w.link);
        w.linked = 1;
    }
    return 0;
}

int issue_close_append_point(nand_dev* channel, velkor_request* request) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    auto* ap = request->params.close.ap;
    if (ap == nullptr) {
        return -KPAV_EINVAL;
    }
    ap_write_state& w = ap->write;
    if ((ReadNoFence(&ap->flags) & AP_OPEN) != 0) {
        request->params.close.eb = w.has_eb != 0 ? w.eb : PAV_NO_EB;
        if (w.has_eb != 0) {
            channel->ring.transfer_irq_index = HW_NO_INDEX;
            if (close_eb(channel, ap, request) == 0) {
                issue_transfer_ending(channel, request);
            }
        }
        w.eb = PAV_NO_EB;
    }
    if (channel->dedicated_ap == ap) {
        channel->dedicated_ap = nullptr;
    }
    // A closed point leaves the channel's list: its context may be freed after this.
    if (w.linked != 0) {
        RemoveEntryList(&w.link);
        w.linked = 0;
    }
    return 0;
}
