// NAND command cycles, sequence framing, programs, reads and the data randomizer's run words.

#include "driver/pipeline/nand_cmds.h"

#include "driver/pipeline/cq.h"
#include "driver/pipeline/pipeline_internal.h"
#include "driver/platform/once.h"

namespace {

constexpr ULONG lfsr_taps = 0x7BD8;
constexpr ULONG max_banks = 8;
constexpr ULONG max_lanes = 30;
// Per-lane address registers of lanes 2 and up fall on the read-side randomizer, port B and the
// sequence registers (4 x (3 x lane + 112 + i) reaches 480 at lane 2): only two lanes fit.
constexpr ULONG lane_address_lanes = 2;

USHORT start_table[RANDOMIZER_PERIOD];
volatile LONG start_table_once = KPAV_ONCE_NOT_RUN;

void build_start_table() {
    ULONG t = 1;
    for (ULONG i = 0; i < RANDOMIZER_PERIOD; i++) {
        start_table[i] = (USHORT)t;
        t = (t >> 1) ^ ((t & 1) != 0 ? lfsr_taps : 0);
    }
}

ULONG planes_of(const nand_dev* channel) {
    return channel->geometry.planes != 0 ? channel->geometry.planes : 1;
}

// Lanes of a bank: its pads (a row's segments are the banks).
ULONG lanes_of(const nand_dev* channel) {
    return channel->geometry.total_pads;
}

ULONG all_lanes(const nand_dev* channel) {
    ULONG lanes = lanes_of(channel);
    return lanes >= 32 ? 0xFFFFFFFFu : (1u << lanes) - 1;
}

ULONG bank_port(ULONG bank) {
    return NAND_BANK_PORT + 32 * (bank & (max_banks - 1));
}

void port_byte(nand_dev* channel, ULONG bank, ULONG byte) {
    hw_cmds_append_nand(channel, (byte & 0xFF) * 0x01010101u, bank_port(bank));
}

USHORT eb_seed(nand_dev* channel, USHORT eb) {
    return ebinfo_seed(channel, eb);
}

// One address per plane: a row of a bank spans its planes.
void row_addresses(nand_dev* channel, USHORT eb, ULONG bank, ULONG page) {
    for (ULONG plane = 0; plane < planes_of(channel); plane++) {
        nand_address_cycles(channel, bank, nand_row_address(channel, eb, bank, page, plane));
    }
}

}  // namespace

ULONG nand_request_ring(const velkor_request* request) {
    return request != nullptr && request->completion_ring != nullptr ? request->completion_ring->index : 0;
}

void nand_command_cycle(nand_dev* channel, ULONG bank, USHORT opcodes) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    port_byte(channel, bank, opcodes & 0xFF);
    port_byte(channel, bank, opcodes >> 8);
}

ULONG nand_row_address(nand_dev* channel, USHORT eb, ULONG bank, ULONG page, ULONG plane) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const nand_geometry& g = channel->geometry;
    ULONG block = ((ULONG)eb + g.first_block_offset) * planes_of(channel) + plane;
    if (g.remap_block != nullptr) {
        block = g.remap_block(channel, bank, block);
    }
    ULONG width = g.page_bits + g.block_bits;
    ULONG mask = width >= 32 ? 0xFFFFFFFFu : (1u << width) - 1;
    ULONG row = ((block << g.page_bits) | (page >> g.column_shift)) & mask;
    if (bank >= g.lun_boundary) {
        row |= g.lun_bit;
    }
    return row;
}

void nand_address_cycles(nand_dev* channel, ULONG bank, ULONG row_address) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    for (ULONG i = 0; i < 3; i++) {
        port_byte(channel, bank, row_address >> (8 * i));
    }
}

void nand_lane_address_cycles(nand_dev* channel, ULONG lanes, ULONG row_address) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    for (ULONG lane = 0; lane < lanes && lane < max_lanes; lane++) {
        for (ULONG i = 0; i < 3; i++) {
            hw_cmds_append_nand(channel, row_address >> (8 * i) & 0xFF, 4 * (3 * lane + 112 + i));
        }
    }
}

void nand_command_address_command(nand_dev* channel, ULONG bank, USHORT first, ULONG row_address, USHORT second) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    nand_command_cycle(channel, bank, first);
    nand_address_cycles(channel, bank, row_address);
    nand_command_cycle(channel, bank, second);
}

void nand_sequence_header(nand_dev* channel, velkor_request* request) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    hw_cmds& ring = channel->ring;
    ULONG slots = channel->geometry.sequence_slots != 0 ? channel->geometry.sequence_slots : 1;
    ring.sequence_slot = (UCHAR)((ring.sequence_slot + 1) % slots);
    ring.sequence_start = hw_cmds_append_nand(channel, (ULONG)ring.sequence_slot << 28 | STEP_HEADER, NAND_STEP);
    hw_cmds_append_nand(channel,
                        nand_tag_word(nand_request_ring(request), request->pool_index, TAG_SEQUENCE) | TAG_SEQUENCE_FLAG,
                        NAND_SEQUENCE_TARGET);
    request->sequence_open = 1;
    request->sequence_runs = 0;
}

void nand_status_step(nand_dev* channel, velkor_request* request, ULONG step) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if ((step & STEP_STATUS) != 0) {
        hw_cmds_append_nand(channel, nand_tag_word(nand_request_ring(request), request->pool_index, TAG_STATUS),
                            NAND_STATUS_TAG);
        InterlockedIncrement(&request->pending_bank);
    }
    hw_cmds_append_nand(channel, step, NAND_STEP);
}

void nand_sequence_end(nand_dev* channel, velkor_request* request) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    hw_cmds& ring = channel->ring;
    ULONG end = hw_cmds_append_nand(channel, 0, NAND_SEQUENCE_END);
    if (ring.sequence_start != HW_NO_INDEX) {
        ULONG entries = (end + 1 - ring.sequence_start + ring.size) & ring.mask;
        if (entries >= SEQUENCE_LONG_ENTRIES) {
            ring.entries[ring.sequence_start].value &= ~STEP_LONG_SEQUENCE;
        }
        ring.sequence_start = HW_NO_INDEX;
    }
    if (request != nullptr) {
        request->sequence_open = 0;
    }
}

ULONG nand_lane_mask(nand_dev* channel, USHORT eb, ULONG bank, ULONG64 flags) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if ((flags & REQ_ALL_LANES) != 0) {
        return all_lanes(channel);
    }
    return ebinfo_lane_mask(channel, eb, bank) & all_lanes(channel);
}

void nand_erase_program(nand_dev* channel, velkor_request* request, USHORT eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const nand_geometry& g = channel->geometry;
    ULONG mode = g.erase_mode;
    if (mode == 2 && lanes_of(channel) > lane_address_lanes) {
        mode = planes_of(channel) > 1 ? 1 : 0;
    }
    for (ULONG bank = 0; bank < g.banks && bank < max_banks; bank++) {
        nand_deferred_program_start(channel, bank);
        ULONG lanes = nand_lane_mask(channel, eb, bank, request->flags);
        ULONG first = nand_row_address(channel, eb, bank, 0, 0);
        if (mode == 0) {
            nand_address_cycles(channel, bank, first);
            hw_cmds_append_nand(channel, lanes, NAND_LANE_MASK);
            nand_status_step(channel, request, bank << 28 | STEP_ERASE_ONE);
            continue;
        }
        if (mode == 1) {
            nand_address_cycles(channel, bank, first);
            nand_address_cycles(channel, bank, nand_row_address(channel, eb, bank, 0, 1));
        } else {
            nand_lane_address_cycles(channel, lanes_of(channel), first);
        }
        hw_cmds_append_nand(channel, lanes, NAND_LANE_MASK);
        hw_cmds_append_nand(channel, lanes, NAND_LANE_MASK_2);
        nand_status_step(channel, request, bank << 28 | STEP_ERASE_PLANES);
    }
}

void nand_deferred_program_start(nand_dev* channel, ULONG bank) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (bank >= max_banks || channel->pending_program_start[bank] == 0) {
        return;
    }
    const nand_part_commands& part = channel->geometry.part;
    hw_cmds_append_nand(channel, all_lanes(channel), NAND_LANE_MASK);
    hw_cmds_append_nand(channel, part.program_param_a, NAND_PROGRAM_PARAM_A);
    hw_cmds_append_nand(channel, part.program_param_b, NAND_PROGRAM_PARAM_B);
    if ((part.program_flags & NAND_PROGRAM_ZERO_ROW) != 0) {
        if ((part.program_flags & NAND_PROGRAM_ZERO_PAIR) != 0) {
            nand_command_cycle(channel, bank, 0);
        }
        nand_address_cycles(channel, bank, 0);
    }
    hw_cmds_append_nand(channel, bank << 28 | STEP_PROGRAM_START, NAND_STEP);
    channel->pending_program_start[bank] = 0;
}

void nand_program_budget(nand_dev* channel, USHORT, ULONG, ULONG row_bytes, ULONG out[2]) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const nand_geometry& g = channel->geometry;
    const nand_part_commands& part = g.part;
    ULONG planes = planes_of(channel);
    ULONG per_page = part.pages_per_budget_unit != 0 ? part.pages_per_budget_unit : 1;
    ULONG group = part.budget_group != 0 ? part.budget_group : 1;
    for (ULONG plane = 0; plane < 2; plane++) {
        out[plane] = 0;
        if (plane >= planes) {
            continue;
        }
        ULONG count = row_bytes / planes;
        ULONG units = (count + per_page - 1) / per_page;
        out[plane] = (units - 1 + group) / group * part.budget_unit * group;
    }
    ULONG unit = g.column_unit != 0 ? g.column_unit : 1;
    hw_cmds_append_nand(channel, row_bytes / unit, NAND_BUDGET);
    hw_cmds_append_nand(channel, part.program_param_a, NAND_PROGRAM_PARAM_A);
    hw_cmds_append_nand(channel, part.program_param_b, NAND_PROGRAM_PARAM_B);
}

void nand_row_program(nand_dev* channel, flush_record* record) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const nand_geometry& g = channel->geometry;
    eb_place place;
    ULONG row = eb_locate(channel, record->eb, record->media_offset, &place) ? (ULONG)place.row : 0;
    nand_randomizer_runs(channel, record->eb, record->bank, row, 0, record->capacity, NAND_WRITE_RUN);
    ULONG budget[2];
    nand_program_budget(channel, record->eb, record->bank, record->capacity, budget);
    row_addresses(channel, record->eb, record->bank, row);
    hw_cmds_append_nand(channel, nand_tag_word(1, record->index, TAG_FLUSH), NAND_FLUSH_TAG);
    hw_cmds_append_nand(channel, record->bank << 28 | (g.part.row_marker_code & 15) | 16, NAND_ROW_MARKER);
}

void nand_program_start(nand_dev* channel, flush_record* record) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    nand_deferred_program_start(channel, record->bank);
    // The row takes the lanes of register 72 when it is armed.
    hw_cmds_append_nand(channel, nand_lane_mask(channel, record->eb, record->bank, 0), NAND_LANE_MASK);
    hw_cmds_append_nand(channel, PROGRAM_GO_VALUE, NAND_PROGRAM_GO);
}

void nand_page_read(nand_dev* channel, velkor_request* request, USHORT eb, ULONG bank, ULONG row, ULONG stream_bytes,
                    ULONG pieces) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const nand_geometry& g = channel->geometry;
    const nand_part_commands& part = g.part;
    row_addresses(channel, eb, bank, row);
    hw_cmds_append_nand(channel, nand_lane_mask(channel, eb, bank, request->flags), NAND_LANE_MASK);
    if ((request->flags & REQ_READ_LEVELS) != 0 && bank < 8 && request->readlevel_override[bank] != 0xFFFFFFFFu) {
        hw_cmds_append_nand(channel, request->readlevel_override[bank], NAND_READ_LEVEL);
    }
    ULONG mode = 0;
    if ((request->flags & REQ_READ_MODE_8) != 0) {
        mode = 8;
    } else if ((part.read_options & NAND_READ_ALTERNATE) != 0) {
        mode = 9;
    }
    ULONG step = ((part.read_operation & 31) | (bank & 7) << 23 | 0x10000) << 5 | mode;
    bool single_plane = planes_of(channel) == 1;
    if ((part.read_options & NAND_READ_SINGLE_PLANE_OPTION) != 0 && (request->flags & REQ_MULTI_PLANE_READ) == 0 &&
        single_plane) {
        step |= STEP_LONG_SEQUENCE;
    }
    hw_cmds_append_nand(channel, step, NAND_STEP);
    nand_randomizer_runs(channel, eb, bank, row, 0, stream_bytes, NAND_READ_RUN);
    if (g.run_words_off != 0 || pieces == 0) {
        return;
    }
    ULONG unit = g.column_unit != 0 ? g.column_unit : 1;
    ULONG word = ((stream_bytes / unit) / pieces - 1) << 8 | 16;
    // Bit 16 also says "read levels overridden": statistics are wanted only where a buffer takes
    // them.
    bool stats = (request->flags & REQ_STATS_17) != 0 ||
                 ((request->flags & REQ_STATS_16) != 0 && request->sample_buffer != nullptr);
    if (stats) {
        word |= RUN_WORD_STATS;
    }
    for (ULONG i = 0; i < pieces; i++) {
        if (stats) {
            InterlockedIncrement(&request->pending_stats);
        }
        hw_cmds_append_nand(channel, word, NAND_RUN_WORD);
        request->sequence_runs++;
    }
}

void nand_sample_read(nand_dev* channel, velkor_request* request, USHORT eb, ULONG bank, ULONG row, ULONG length) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const nand_geometry& g = channel->geometry;
    row_addresses(channel, eb, bank, row);
    hw_cmds_append_nand(channel, nand_lane_mask(channel, eb, bank, request->flags), NAND_LANE_MASK);
    hw_cmds_append_nand(channel, ((g.part.sample_operation & 31) | (bank & 7) << 23 | 0x10000) << 5, NAND_STEP);
    if (g.randomizer_off != 0) {
        return;
    }
    ULONG unit = g.randomizer_unit != 0 ? g.randomizer_unit : 1;
    ULONG run = eb_seed(channel, eb) != 0 ? length / unit
                                          : (ULONG)randomizer_table_value(0) << 16 | (length / unit & 0xFFFF);
    hw_cmds_append_nand(channel, run & 0x7FFFFFFFu, NAND_READ_RUN);
}

USHORT randomizer_table_value(ULONG index) {
    kpav_run_once(&start_table_once, build_start_table);
    return start_table[index % RANDOMIZER_PERIOD];
}

ULONG64 nand_segment_media_address(nand_dev* channel, USHORT eb, ULONG bank, ULONG row) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG64 address = (ULONG64)row * eb_row_capacity(channel, eb);
    for (ULONG b = 0; b < bank; b++) {
        address += eb_pad_capacity(channel, eb, b);
    }
    return address;
}

void nand_randomizer_runs(nand_dev* channel, USHORT eb, ULONG bank, ULONG row, ULONG offset, ULONG length,
                          ULONG reg) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const nand_geometry& g = channel->geometry;
    if (g.randomizer_off != 0 || length == 0) {
        return;
    }
    ULONG unit = g.randomizer_unit != 0 ? g.randomizer_unit : 1;
    USHORT seed = eb_seed(channel, eb);
    ULONG plain_end = (g.plain_units + 1) * unit;
    if (seed != 0 && bank == 0 && offset < plain_end) {
        ULONG plain = plain_end - offset < length ? plain_end - offset : length;
        hw_cmds_append_nand(channel, plain / unit, reg);
        offset += plain;
        length -= plain;
    }
    if (length == 0) {
        return;
    }
    ULONG64 media = nand_segment_media_address(channel, eb, bank, row) + offset;
    ULONG index = (ULONG)((seed + media * 8) % RANDOMIZER_PERIOD);
    ULONG run = (ULONG)randomizer_table_value(index) << 16 | ((length + unit - 1) / unit & 0xFFFF);
    if (seed != 0) {
        run |= 0x80000000u;
    }
    hw_cmds_append_nand(channel, run, reg);
}
