// Hardware events: the decoder of every completion word that is not a request or bank opcode.

#include "driver/pipeline/events.h"

#include "driver/pipeline/nand_cmds.h"
#include "driver/pipeline/pipeline.h"
#include "driver/pipeline/pipeline_internal.h"

namespace {

constexpr ULONG pad_bits = 480;
constexpr ULONG pad_words = 15;
constexpr ULONG max_pads = 30;
constexpr ULONG upset_wait_us = 10000;  // the card settles before the channel fails
constexpr ULONG page_buffer_parity_limit = 0x100000;
constexpr ULONG pcie_quiet_bits = 0x20067;     // the event byte and the fatal bit
constexpr ULONG pcie_fatal = 1u << 17;
constexpr ULONG pcie_named_bits = 0x51F00;     // bits 8-12, 16 and 18; the fatal bit aside
constexpr ULONG upset_multi_bit = 1u << 10;
constexpr ULONG upset_fatal = 1u << 9;
constexpr ULONG fatal_pad_record = 1u << 29;
constexpr UCHAR pad_error_level = 145;
constexpr UCHAR pad_failed_level = 176;
constexpr LONG eb_flag_pads_failed = 0x4;
constexpr ULONG64 req_stats_by_row = 1ull << 28;  // sample reads: 16-bit slots per row
constexpr ULONG stats_slots = 962;
constexpr ULONG stats_row_pads = 30;

const char* const write_page_parity = "Write Path Page Buffer Parity Error Detected";
const char* const single_bit_upset = "Single Bit Event Upset Error Detected";
const char* const multi_bit_upset = "Multi Bit Event Upset Error Detected";
const char* const fatal_upset = "SEU Fatal Error Detected";

// Events without a record that log one line and fail the channel with a register dump.
struct parity_event {
    ULONG low;
    const char* message;
    ULONG reason;
    bool clear_flush_writes;
};

const parity_event parity_events[] = {
    {92, "%s: Write Path Parity Error Detected - completion: %8.8x\n", CHANNEL_FAIL_WRITE_PARITY, true},
    {93, "%s: Read Path Parity Error Detected - completion: %8.8x\n", CHANNEL_FAIL_READ_PARITY, false},
    {224, "%s: Encoder Parity Error Detected - completion: %8.8x\n", CHANNEL_FAIL_WRITE_PARITY, true},
};

channel_events* events_of(nand_dev* channel) {
    return &channel->events;
}

ULONG nand_read(nand_dev* channel, ULONG reg) {
    return hw_read(channel, BAR_NAND + reg);
}

void nand_write(nand_dev* channel, ULONG reg, ULONG value) {
    hw_write(channel, BAR_NAND + reg, value);
}

ULONG banks_of(const nand_dev* channel) {
    return channel->geometry.banks != 0 ? channel->geometry.banks : 1;
}

ULONG planes_of(const nand_dev* channel) {
    return channel->geometry.planes == 2 ? 2 : 1;
}

// Pads of one bank: the width of its lane masks and of a pad record's plane sections.
ULONG pads_of(const nand_dev* channel) {
    ULONG pads = channel->geometry.total_pads != 0 ? channel->geometry.total_pads : channel->geometry.pads;
    return pads == 0 ? 1 : pads > max_pads ? max_pads : pads;
}

void request_dump(nand_dev* channel, const char* reason) {
    if (channel->card != nullptr) {
        csr_dump_request(channel->card, 1, reason, 1);
    }
}

// Reads the record after `word`; a record that does not end fails the channel with `reason`.
bool read_record(completion_queue* ring, ULONG word, ULONG* out, ULONG bytes, ULONG reason) {
    if (cq_read_record(ring, out, bytes) == 0) {
        return true;
    }
    cq_record_failure(ring, bytes, word, reason);
    return false;
}

void improperly_handled(nand_dev* channel, ULONG word) {
    kpav_print(KPAV_CLASS_ERROR, "%s: Improperly handled interrupt: %8.8x\n", channel_name(channel), word);
}

bool any_bit(const ULONG* bitmap) {
    for (ULONG w = 0; w < pad_words; w++) {
        if (bitmap[w] != 0) {
            return true;
        }
    }
    return false;
}

// Keeps the pads that the block uses (its lane mask of each bank, in every plane); true when any
// is left.
bool keep_eb_pads(nand_dev* channel, USHORT eb, ULONG* bitmap) {
    ULONG used[pad_words] = {};
    ULONG pads = pads_of(channel);
    ULONG planes = planes_of(channel);
    for (ULONG bank = 0; bank < banks_of(channel); bank++) {
        ULONG lanes = nand_lane_mask(channel, eb, bank, 0);
        for (ULONG plane = 0; plane < planes; plane++) {
            for (ULONG pad = 0; pad < pads; pad++) {
                ULONG bit = (bank * planes + plane) * pads + pad;
                if (bit < pad_bits && (lanes >> pad & 1) != 0) {
                    used[bit / 32] |= 1u << (bit % 32);
                }
            }
        }
    }
    for (ULONG w = 0; w < pad_words; w++) {
        bitmap[w] &= used[w];
    }
    return any_bit(bitmap);
}

// The erase block whose pads a request's rows name.
USHORT request_eb(const velkor_request* request) {
    const request_params& p = request->params;
    switch (request->type) {
        case REQUEST_ERASE:
            return p.erase.eb;
        case REQUEST_PAGE_PROGRAM:
            return p.page_program.eb;
        case REQUEST_APPEND:
            return p.append.lvec.count != 0 && p.append.lvec.count <= 3 ? p.append.lvec.vectors[p.append.lvec.count - 1].eb
                                                                        : PAV_NO_EB;
        default: {
            media_address address;
            request_media_address(&address, request);
            return address.eb;
        }
    }
}

// Records `eb` once in the request's list of affected blocks (three places).
void note_eb_once(velkor_request* request, USHORT eb) {
    for (ULONG i = 0; i < request->eb_notice_count && i < 3; i++) {
        if (request->eb_notices[i] == eb) {
            return;
        }
    }
    if (request->eb_notice_count < 3) {
        request->eb_notices[request->eb_notice_count++] = eb;
    }
}

// A row's pad errors: the flush record learns the pads its block uses.
void flush_pad_errors(nand_dev* channel, ULONG index, ULONG* bitmap) {
    flush_records* f = &channel->flush;
    if (index >= FLUSH_RECORD_COUNT || f->pool == nullptr) {
        return;
    }
    kpav_spin_lock(&f->lock);
    bool issued = f->pool[index].issued != 0;
    USHORT eb = f->pool[index].eb;
    kpav_spin_unlock(&f->lock);
    if (issued && keep_eb_pads(channel, eb, bitmap)) {
        flush_note_bad_pads(channel, index, bitmap, pad_words);
    }
}

// A fatal pad record: the operation it names did not complete on any pad of the group, whatever
// its completion word says later.
void fail_group(completion_queue* ring, ULONG word, ULONG tag_word, ULONG group) {
    nand_dev* channel = ring->owner;
    ULONG pads = pads_of(channel);
    ULONG planes = planes_of(channel);
    ULONG bitmap[pad_words] = {};
    for (ULONG bit = group * planes * pads; bit < (group + 1) * planes * pads && bit < pad_bits; bit++) {
        bitmap[bit / 32] |= 1u << (bit % 32);
    }
    ULONG index = tag_word >> 2 & 0x3FFF;
    if ((tag_word & 3) == 1) {
        flush_pad_errors(channel, index, bitmap);
        return;
    }
    velkor_request* request = cq_owed_request(ring, word, index);
    if (request != nullptr) {
        request->flags |= REQ_FAILED;
        if (request->fail == 0) {
            request->fail = -KPAV_EIO;
        }
    }
}

// 16-31: the pad status of a program or erase on one bank group.
void bank_group_record(completion_queue* ring, ULONG word) {
    nand_dev* channel = ring->owner;
    channel_events* ev = events_of(channel);
    ULONG group = (word & 0xFF) - 16;
    bool known = group < banks_of(channel);
    if (!known) {
        cq_unknown_interrupt(ring, word);
    }
    if ((word & fatal_pad_record) != 0) {
        ULONG record[4];
        if (read_record(ring, word, record, sizeof record, CHANNEL_FAIL_PAD_RECORD)) {
            fail_channel(channel, 1, CHANNEL_FAIL_PAD_FATAL);
            if (known) {
                fail_group(ring, word, record[0], group);
            }
        }
        return;
    }
    ULONG pads = pads_of(channel);
    ULONG section = (pads + 3) / 4;  // words of one plane
    ULONG record[1 + 2 * ((max_pads + 3) / 4)];
    if (!read_record(ring, word, record, (1 + 2 * section) * 4, CHANNEL_FAIL_PAD_RECORD) || !known) {
        return;
    }
    ULONG planes = planes_of(channel);
    UCHAR ignore = ev->status_ignore_mask;
    ULONG bitmap[pad_words] = {};
    for (ULONG plane = 0; plane < planes; plane++) {
        for (ULONG pad = 0; pad < pads; pad++) {
            ULONG status = record[1 + plane * section + pad / 4] >> (8 * (pad % 4)) & 0xFF;
            ULONG bit = (group * planes + plane) * pads + pad;
            if ((((status & ~(ULONG)ignore) + 0x40) & 0xDF) != 0 && bit < pad_bits) {
                bitmap[bit / 32] |= 1u << (bit % 32);
            }
        }
    }
    if (!any_bit(bitmap)) {
        return;
    }
    if (ReadAcquire(&ev->scan_mode) != 0) {
        for (ULONG w = 0; w < pad_words; w++) {
            InterlockedOr(&ev->scan_pad_errors[w], (LONG)bitmap[w]);
        }
        return;
    }
    ULONG index = record[0] >> 2 & 0x3FFF;
    if ((record[0] & 3) == 1) {
        flush_pad_errors(channel, index, bitmap);
        return;
    }
    velkor_request* request = cq_owed_request(ring, word, index);
    if (request != nullptr) {
        events_request_pad_errors(channel, request, bitmap);
    }
}

// The lanes a read's page reads used: the n-th of them is the lane an error record names.
ULONG read_lane_map(nand_dev* channel, const velkor_request* request) {
    ULONG bank = request->pad_index % banks_of(channel);
    switch (request->type) {
        case REQUEST_READ:
            return nand_lane_mask(channel, request->params.read.address.eb, bank, request->flags);
        case REQUEST_MASKED_PAGE_READ:
            return nand_lane_mask(channel, request->params.masked_read.eb, bank, request->flags);
        case REQUEST_SAMPLE_PADS:
            return nand_lane_mask(channel, request->params.sample.eb, bank, request->flags);
        default:
            return nand_lane_mask(channel, PAV_NO_EB, bank, REQ_ALL_LANES);
    }
}

// The position of the n-th set bit of `mask` (from 0); -1 when it has fewer.
LONG nth_set_bit(ULONG mask, ULONG n) {
    for (LONG bit = 0; bit < 32; bit++) {
        if ((mask >> bit & 1) != 0 && n-- == 0) {
            return bit;
        }
    }
    return -1;
}

// A lane that failed, in the statistics buffer of a read that wants page statistics.
void mark_lane_stats(nand_dev* channel, velkor_request* request, ULONG lane) {
    auto* slots = (ULONG*)request->sample_buffer;
    if (slots == nullptr) {
        return;
    }
    if ((request->flags & req_stats_by_row) != 0) {
        auto* halves = (USHORT*)slots;
        ULONG row = request->params.sample.page_count - (ULONG)ReadNoFence(&request->pending_stats);
        ULONG slot = row * stats_row_pads + lane;
        if (slot < 480) {
            halves[slot] = 0xFFFF;
            halves[480 + slot] = 0xFFFF;
        }
        return;
    }
    ULONG base = planes_of(channel) * (request->pad_index % banks_of(channel)) * channel->geometry.pads;
    if (482 + base + lane < stats_slots) {
        slots[2 + base + lane] = 0xFFFFFFFFu;
        slots[482 + base + lane] = 0xFFFFFFFFu;
        slots[0] = 0xFFFFFFFFu;
        slots[1] = base + lane;
    }
}

// 104, 105, 170, 187: one lane of a read, named by its rank among the read's lanes.
void read_pad_error(completion_queue* ring, ULONG word) {
    nand_dev* channel = ring->owner;
    ULONG low = word & 0xFF;
    bool narrow = low == 170 || low == 187;
    ULONG record[2];
    if (!read_record(ring, word, record, sizeof record, narrow ? CHANNEL_FAIL_NARROW_PAD_RECORD : CHANNEL_FAIL_PAD_FATAL)) {
        return;
    }
    ULONG tag_word = narrow ? record[0] & 0xFFFFFF : record[0];
    ULONG rank = narrow ? record[1] & 0xFFFFFF : record[1];
    velkor_request* request = cq_owed_request(ring, word, tag_word >> 2 & 0x3FFF);
    if (request == nullptr) {
        return;
    }
    ULONG lanes = read_lane_map(channel, request);
    LONG lane = nth_set_bit(lanes, rank);
    if (lane < 0) {
        // Card data is not trusted: a rank beyond the read's lanes names no pad.
        kpav_print(KPAV_CLASS_ERROR, "%s: Pad error %8.8x names lane %u of lane mask 0x%x.\n", channel_name(channel), word,
                   rank, lanes);
        fail_channel(channel, 1, CHANNEL_FAIL_BAD_COMPLETION);
        return;
    }
    if ((request->flags & REQ_STATS_17) != 0 || request->type == REQUEST_SAMPLE_PADS) {
        mark_lane_stats(channel, request, (ULONG)lane);
    }
    if (low == 104) {
        request->weak_lanes |= 1u << lane;
        request->flags |= REQ_WEAK_LANES;
        return;
    }
    request->failed_lanes |= 1u << lane;
    request->failed_lane = (ULONG)lane;
    InterlockedIncrement64(&events_of(channel)->read_pad_errors);
    // The data of a failed lane is not what was written: the read must not succeed.
    if (request->fail == 0) {
        request->fail = PAV_UNCORRECTABLE;
    }
}

// 44: a packet's stored header is not the one the read expected.
void magic_mismatch(completion_queue* ring, ULONG word) {
    nand_dev* channel = ring->owner;
    ULONG record[6];
    if (!read_record(ring, word, record, sizeof record, CHANNEL_FAIL_MAGIC)) {
        return;
    }
    ULONG tag = record[0] >> 2 & 0x3FFF;
    velkor_request* request = cq_lookup_tag(channel, tag);
    if (request == nullptr || ReadAcquire(&request->retire_claim) == 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Magic mismatch tag 0x%x slipped by us.\n", channel_name(channel), tag);
        request_dump(channel, nullptr);
        fail_channel(channel, 0, CHANNEL_FAIL_MAGIC);
        return;
    }
    if ((request->flags & REQ_FAILED) != 0) {
        return;
    }
    media_address address;
    request_media_address(&address, request);
    ULONG banks = banks_of(channel);
    ULONG segment = 0;
    ULONG in_segment = 0;
    eb_place place;
    if (eb_locate(channel, address.eb, address.offset, &place)) {
        segment = (ULONG)place.row * banks + place.pad;
        in_segment = (ULONG)place.in_pad;
    }
    const char* name = channel_name(channel);
    ULONG64 magic = request->type == REQUEST_READ ? request->params.read.lba : 0;
    kpav_print(KPAV_CLASS_ERROR,
               "%s: magic mismatch %s %s %u+%llu size: %u (0x%x) magic request: %llx expected: %x:%x received: %x:%x\n",
               name, request_type_name(request->type), data_op_name(request->data_op), (ULONG)address.eb,
               address.offset, request_data_length(request), word, magic, record[2], record[3], record[4], record[5]);
    kpav_print(KPAV_CLASS_ERROR, "%s: addr = %u:%u:%u.\n", name, (ULONG)address.eb, segment, in_segment);
    for (ULONG bank = 0; bank < 8; bank++) {
        kpav_print(KPAV_CLASS_ERROR, "%s: EB %u[%u] valid = 0x%x.\n", name, (ULONG)address.eb, bank,
                   nand_lane_mask(channel, address.eb, bank, 0));
    }
    kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 12307, "Unexpected media contents - mismatch.\n");
    dump_request(request, "mismatcher");
    request->fail = -KPAV_EIO;
    request->flags |= REQ_FAILED;
    request_dump(channel, nullptr);
    if ((request->flags & REQ_RETRY) != 0) {
        fail_channel(channel, 0, 0);
        return;
    }
    // Read once more: the retire path resubmits it (the media address stays in the request).
    request->fail = PAV_UNCORRECTABLE;
    request->flags |= REQ_MAGIC_RETRY;
    kpav_print(KPAV_CLASS_ERROR, "%s: retrying magic mismatch request (bank %u).\n", name, segment % banks);
}

// 204: the card's validator saw a decode error; a read already being retried is left alone.
void decode_error_check(completion_queue* ring, ULONG word) {
    nand_dev* channel = ring->owner;
    ULONG record[2];
    if (!read_record(ring, word, record, sizeof record, CHANNEL_FAIL_DECODE)) {
        return;
    }
    velkor_request* request = cq_lookup_tag(channel, record[0] >> 2 & 0x3FFF);
    if (request != nullptr && ReadAcquire(&request->retire_claim) != 0 && request->fail == PAV_UNCORRECTABLE) {
        return;
    }
    kpav_print(KPAV_CLASS_ERROR, "%s: Validator indicates an apparent decode error.\n", channel_name(channel));
    fail_channel(channel, 1, CHANNEL_FAIL_DECODE);
}

// 238: one count of the bank histogram. The entry comes from card data: one outside the table
// is counted and dropped.
void bank_histogram(completion_queue* ring, ULONG word) {
    nand_dev* channel = ring->owner;
    channel_events* ev = events_of(channel);
    ULONG record[3];
    auto* table = (volatile LONG*)ReadPointerAcquire((PVOID const volatile*)&ev->histogram);
    if (!read_record(ring, word, record, sizeof record, CHANNEL_FAIL_NARROW_PAD_RECORD) || table == nullptr) {
        return;
    }
    LONG64 banks = channel->geometry.banks;
    ULONG value = record[1];
    LONG64 spread = (LONG64)(value & 0xFFF) + (LONG64)(value >> 12 & 0xFFF) - 1;
    spread = spread < banks ? spread : banks;
    LONG64 entry = (banks + 1) * (LONG64)(value >> 24) + spread;
    if (spread < 0 || entry >= (LONG64)ev->histogram_entries) {
        InterlockedIncrement64(&ev->histogram_dropped);
        return;
    }
    InterlockedIncrement(&table[entry]);
}

// 103: a PCIe link error. Bits not reported before print at once; an unchanged error prints
// again only an hour after the remembered report.
void pcie_link_error(nand_dev* channel, ULONG word) {
    channel_events* ev = events_of(channel);
    ULONG64 count = (ULONG64)InterlockedIncrement64(&ev->pcie_interrupts);
    ULONG fresh = word & ~pcie_quiet_bits;
    ULONG64 now = pipe_now_us();
    bool print = false;
    kpav_spin_lock(&ev->pcie_lock);
    if ((fresh & ~ev->pcie_reported) != 0) {
        print = true;
        if (ev->pcie_reported_once == 0) {
            ev->pcie_reported_once = 1;
            ev->pcie_report_us = now;
        }
        ev->pcie_reported |= fresh;
    } else if (ev->pcie_reported_once == 0 || now - ev->pcie_report_us > PCIE_REPORT_REPEAT_US) {
        print = true;
        ev->pcie_reported_once = 1;
        ev->pcie_report_us = now;
        ev->pcie_reported = 0;
    }
    kpav_spin_unlock(&ev->pcie_lock);
    if (!print) {
        return;
    }
    const char* name = channel_name(channel);
    if ((word & pcie_fatal) != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: PCIe fatal link error detected - interrupt val[0]: %8.8x\n", name, word);
    } else {
        kpav_print(KPAV_CLASS_ERROR, "%s: PCIe non-fatal link error detected - interrupt val[0]: %8.8x\n", name, word);
    }
    static const struct {
        ULONG bit;
        const char* line;
    } details[] = {
        {16, "%s:    * PCIe link error. Loss of PLL lock, loss of GTP lock, malformed TLP, internal overflow in PCIe core.\n"},
        {8, "%s:    * PCIe link symbol unlock detected.\n"},
        {10, "%s:    * PCIe link disparity detected.\n"},
        {9, "%s:    * PCIe link 8B 10B detected.\n"},
        {11, "%s:    * PCIe link TLP replay detected.\n"},
        {12, "%s:    * PCIe link TLP NAK detected.\n"},
    };
    for (const auto& d : details) {
        if ((word >> d.bit & 1) != 0) {
            kpav_print(KPAV_CLASS_ERROR, d.line, name);
        }
    }
    if ((word & pcie_named_bits) == 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s:    * Unknown PCIe link error detected.\n", name);
    }
    kpav_print(KPAV_CLASS_ERROR, "%s:   * PCIE Link Status: 0x%08x. Total PCIe interrupt recieved: %llu\n", name,
               nand_read(channel, NAND_PCIE_LINK_STATUS), count);
}

void clear_flush_writes(nand_dev* channel) {
    nand_write(channel, NAND_BROWNOUT_FLUSH, 0);
    nand_write(channel, NAND_POWERCUT_FLUSH, 0);
}

// 99: a page-buffer parity error on the write path (below 0x100000), else a single-bit upset.
void page_buffer_upset(nand_dev* channel, ULONG word) {
    const char* name = channel_name(channel);
    if (word < page_buffer_parity_limit) {
        kpav_print(KPAV_CLASS_ERROR, "%s: %s - interrupt: %8.8x\n", name, write_page_parity, word);
        clear_flush_writes(channel);
        fail_channel(channel, 1, CHANNEL_FAIL_WRITE_PARITY);
        return;
    }
    InterlockedIncrement64(&events_of(channel)->single_bit_upsets);
    kpav_print(KPAV_CLASS_WARNING, "%s: %s - interrupt: %8.8x\n", name, single_bit_upset, word);
    nand_write(channel, NAND_UPSET_ACK, 1);
}

// 100: an event upset, multi-bit (masked from now on), fatal or single-bit.
void event_upset(nand_dev* channel, ULONG word) {
    channel_events* ev = events_of(channel);
    LONG64 hold = ReadNoFence64(&ev->mask_hold_until_us);
    if (hold != 0 && pipe_now_us() < (ULONG64)hold) {
        return;
    }
    const char* what;
    if ((word & upset_multi_bit) != 0) {
        what = multi_bit_upset;
        intr_mask_set(channel, INTR_MASK_MULTI_BIT_UPSET);
        InterlockedIncrement64(&ev->multi_bit_upsets);
    } else if ((word & upset_fatal) != 0) {
        what = fatal_upset;
        InterlockedIncrement64(&ev->fatal_upsets);
    } else {
        what = single_bit_upset;
        InterlockedIncrement64(&ev->single_bit_upsets);
    }
    kpav_print(KPAV_CLASS_ERROR, "%s: %s - interrupt: %8.8x\n", channel_name(channel), what, word);
    nand_write(channel, NAND_UPSET_ACK, 1);
}

// 95: the NAND clock lost its lock.
void clock_lock_lost(nand_dev* channel) {
    intr_mask_set(channel, INTR_MASK_CLOCK_LOCK);
    ULONG status = nand_read(channel, NAND_BUS_STATUS);
    kpav_print(KPAV_CLASS_ERROR, "%s: Nand DCM lost lock....DCM Lock = %d.\n", channel_name(channel), (int)(status >> 31));
    kpav_udelay(upset_wait_us);
    fail_channel(channel, 1, CHANNEL_FAIL_CLOCK_LOCK);
}

bool parity_event_of(nand_dev* channel, ULONG word) {
    for (const parity_event& e : parity_events) {
        if (e.low != (word & 0xFF)) {
            continue;
        }
        kpav_print(KPAV_CLASS_ERROR, e.message, channel_name(channel), word);
        if (e.clear_flush_writes) {
            clear_flush_writes(channel);
        }
        fail_channel(channel, 1, e.reason);
        return true;
    }
    return false;
}

}  // namespace

void events_init(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_spinlock_init(&channel->events.pcie_lock, "PCIe report");
}

ULONG events_decode(completion_queue* ring, ULONG word) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    nand_dev* channel = ring->owner;
    ULONG low = word & 0xFF;
    if (low >= 16 && low <= 31) {
        bank_group_record(ring, word);
        return 0;
    }
    if (parity_event_of(channel, word)) {
        return 0;
    }
    switch (low) {
        case 8:
        case 15:
        case 32: case 33: case 34: case 35: case 36: case 37: case 38: case 39:
        case 45:
        case 48:
        case 49:
        case 91:
            improperly_handled(channel, word);
            return 0;
        case 44:
            magic_mismatch(ring, word);
            return 0;
        case 94: {
            channel->owner->env_interrupt(channel, word, 1);
            return 0;
        }
        case 95:
            clock_lock_lost(channel);
            return 0;
        case 96:
            request_dump(channel, "Poison Pkt detected from host.");
            kpav_udelay(upset_wait_us);
            fail_channel(channel, 1, CHANNEL_FAIL_POISON);
            return 0;
        case 97:
            kpav_print(KPAV_CLASS_ERROR, "%s: Lost PCIE BAR mapping.\n", channel_name(channel));
            kpav_udelay(upset_wait_us);
            fail_channel(channel, 1, CHANNEL_FAIL_BAR_LOST);
            return 0;
        case 98:
            return 0;
        case 99:
            page_buffer_upset(channel, word);
            return 0;
        case 100:
            event_upset(channel, word);
            return 0;
        case 102:
            read_record(ring, word, nullptr, 124, 0);
            return 0;
        case 103:
            pcie_link_error(channel, word);
            return 0;
        case 104:
        case 105:
        case 170:
        case 187:
            read_pad_error(ring, word);
            return 0;
        case 204:
            decode_error_check(ring, word);
            return 0;
        case 238:
            bank_histogram(ring, word);
            return 0;
        default:
            // Below 8, 239 and above, and every byte the card does not send.
            cq_unknown_interrupt(ring, word);
            return 0;
    }
}

void events_request_pad_errors(nand_dev* channel, velkor_request* request, const ULONG bitmap[15]) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    channel_events* ev = events_of(channel);
    USHORT eb = request_eb(request);
    ULONG kept[pad_words];
    for (ULONG w = 0; w < pad_words; w++) {
        kept[w] = bitmap[w];
    }
    if (eb == PAV_NO_EB || !keep_eb_pads(channel, eb, kept)) {
        return;
    }
    if (request->type == REQUEST_ERASE || request->type == REQUEST_PAGE_PROGRAM) {
        for (ULONG w = 0; w < pad_words; w++) {
            request->bad_pad_map[w] |= kept[w];
        }
    }
    if (request->type == REQUEST_ERASE) {
        InterlockedIncrement64(&ev->erase_pad_events);
    } else {
        InterlockedIncrement64(&ev->other_pad_events);
        ebinfo_merge_pad_mask(channel, eb, kept);
        if (channel_client_ops(channel)->hardware_failed(channel)) {
            for (ULONG bit = 0; bit < pad_bits; bit++) {
                if ((kept[bit / 32] >> (bit % 32) & 1) != 0) {
                    ebinfo_record_pad_error(channel, eb, bit, pad_error_level);
                }
            }
        }
        note_eb_once(request, eb);
    }
    if (flush_pad_error_fails(request)) {
        request->flags |= REQ_FAILED;
        if (request->fail == 0) {
            request->fail = -KPAV_EIO;
        }
    }
}

void mark_eb_pads_failed(nand_dev* channel, velkor_request* request, USHORT eb, ULONG bank, ULONG pad) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (channel->client == nullptr) {
        ebinfo_set_flags(channel, eb, eb_flag_pads_failed);
        return;
    }
    ULONG planes = planes_of(channel);
    ULONG pads = pads_of(channel);
    for (ULONG plane = 0; plane < planes; plane++) {
        ULONG index = (bank * planes + plane) * pads + pad;
        if (index < pad_bits) {
            ebinfo_record_pad_error(channel, eb, index, pad_failed_level);
        }
    }
    note_eb_once(request, eb);
}
