#include "driver/pipeline/nand_timing.h"

#include "driver/card/csr_dump.h"
#include "driver/card/hw_reset.h"
#include "driver/pipeline/direct_cmds.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/params.h"
#include "driver/platform/sync.h"

namespace {

constexpr int part_failed = -1024;
constexpr int vendor_failed = -4096;

// Registers.
constexpr ULONG csr_clock_control = 0x1004;
constexpr ULONG csr_clock_status = 0x1008;
constexpr ULONG csr_nand_mode = 0x2010;
constexpr ULONG csr_nand_clock = 0x1230;
constexpr ULONG csr_controller_clock = 0x1234;
constexpr ULONG csr_direct_enable = 0x2280;
constexpr ULONG csr_direct_cycle = 0x2284;
constexpr ULONG csr_direct_data = 0x22A8;

constexpr ULONG clock_hold = 0x800000;
constexpr ULONG drp_ready = 1u << 16;
constexpr ULONG clock_locked = 1u << 17;
constexpr ULONG drp_ready_polls = 100;
constexpr ULONG lock_polls = 1000;

constexpr ULONG default_nand_hz = 125000000;
constexpr ULONG default_controller_hz = 200000000;

volatile ULONG* csr_of(nand_dev* channel) {
    return channel->card->csr;
}

// ---- Timing set defaults, by interface kind.
const nand_timing_set default_sets[3] = {
    {0, {1, 0}, 0, {1, 0}, {2, 0}, 0, {4, 2}, {0, 0}, 6, 0, {4, 0, 1}, 1000, 0, {1, 0, 5},
     500, 500, 70, 156, 120, 8192},
    {1, {3, 1}, 0, {2, 2}, {4, 4}, 0, {4, 4}, {0, 0}, 13, 11, {3, 0, 1}, 1000, 0, {5, 3, 2},
     300, 300, 70, 156, 120, 8192},
    {2, {3, 1}, 0, {2, 2}, {4, 4}, 0, {4, 4}, {0, 0}, 7, 6, {3, 0, 1}, 1000, 0, {5, 3, 2},
     500, 500, 70, 156, 120, 8192},
};

// ---- Vendor parameter sets.
struct vendor_check {
    UCHAR reg, value, third;
};
struct vendor_set {
    USHORT reg;
    SHORT value;
    USHORT third;
};
struct vendor_params {
    ULONG key;
    ULONG check_count;
    const vendor_check* checks;
    ULONG set_count;
    const vendor_set* sets;
};
const vendor_check key1_checks[] = {
    {0x36, 0x00, 0xFF}, {0x4B, 0x20, 0xFF}, {0x4E, 0x81, 0xFF}, {0x50, 0x5B, 0xFF},
    {0x51, 0x6A, 0xFF}, {0x67, 0x60, 0xFF}, {0xCB, 0x87, 0xFF},
};
const vendor_set key1_sets[] = {
    {0x94, -5, 0xFF}, {0x96, 4, 0xFF},  {0x97, 2, 0xFF},  {0x98, 4, 0xFF},  {0x99, -2, 0xFF},
    {0x9A, -6, 0xFF}, {0x9B, -6, 0xFF}, {0x9D, -4, 0xFF}, {0xA4, 2, 0xFF},  {0xA5, 2, 0xFF},
    {0xA6, 2, 0xFF},  {0xA8, 2, 0xFF},  {0xA9, 2, 0xFF},  {0xAA, -1, 0xFF}, {0xAD, 2, 0xFF},
    {0xB2, -4, 0xFF}, {0xB3, -2, 0xFF}, {0xB4, 1, 0xFF},  {0xB8, -3, 0xFF},
};
const vendor_params vendor_param_table[] = {
    {1, ARRAYSIZE(key1_checks), key1_checks, ARRAYSIZE(key1_sets), key1_sets},
    {0, 0, nullptr, 0, nullptr},
};

void mgmt_missing(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_print(KPAV_CLASS_NORMAL, "%s: NAND mgmt info required and not found.\n", channel_name(channel));
}

// ---- Direct bus cycles

void bus_write(nand_dev* channel, ULONG value) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    csr_write(csr_of(channel), csr_direct_cycle, value);
    KeStallExecutionProcessor(10);
}

ULONG bus_word(ULONG chip, UCHAR byte) {
    return (chip << 12 | byte) << 16;
}

void bus_command(nand_dev* channel, ULONG chip, UCHAR byte) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG w = bus_word(chip, byte);
    bus_write(channel, w + 0x120);
    bus_write(channel, w + 0x121);
    bus_write(channel, w + 0x120);
    bus_write(channel, w + 0x100);
}

void bus_address(nand_dev* channel, ULONG chip, UCHAR byte) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG w = bus_word(chip, byte);
    bus_write(channel, w + 0x110);
    bus_write(channel, w + 0x111);
    bus_write(channel, w + 0x110);
    bus_write(channel, w + 0x100);
}

void bus_data(nand_dev* channel, ULONG chip, UCHAR byte) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG w = bus_word(chip, byte);
    bus_write(channel, w + 0x100);
    bus_write(channel, w + 0x101);
    bus_write(channel, w + 0x101);
    bus_write(channel, w + 0x100);
}

void bus_read(nand_dev* channel, ULONG chip) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    bus_write(channel, chip << 28);
    for (int i = 0; i < 3; i++) {
        bus_write(channel, (chip << 28) + 2);
    }
    bus_write(channel, chip << 28);
}

// The pads' bytes of the last read cycle, pad 0 first (at most 32).
void bus_copy(nand_dev* channel, ULONG bytes, UCHAR* out) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG n = bytes < 32 ? bytes : 32;
    for (ULONG i = 0; i < n; i += 4) {
        ULONG word = csr_read(csr_of(channel), csr_direct_data + i);
        for (ULONG b = 0; b < 4 && i + b < n; b++) {
            out[i + b] = (UCHAR)(word >> (8 * b));
        }
    }
}

void bus_begin(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    csr_write(csr_of(channel), csr_direct_enable, 1);
}

void bus_end(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    csr_write(csr_of(channel), csr_direct_enable, 0);
}

void get_feature_cycles(nand_dev* channel, UCHAR address, UCHAR out[4]) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    bus_command(channel, 1, 0xEE);
    bus_address(channel, 1, address);
    for (ULONG i = 0; i < 4; i++) {
        bus_read(channel, 1);
        out[i] = (UCHAR)csr_read(csr_of(channel), csr_direct_data);
    }
}

// ---- Clock manager

bool drp_wait_ready(nand_dev* channel, ULONG* value) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    for (ULONG i = 0; i < drp_ready_polls; i++) {
        ULONG status = csr_read(csr_of(channel), csr_clock_status);
        if ((status & drp_ready) != 0) {
            *value = status & 0xFFFF;
            return true;
        }
        KeStallExecutionProcessor(1);
    }
    return false;
}

bool drp_update(nand_dev* channel, ULONG address, ULONG value, ULONG mask) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    volatile ULONG* csr = csr_of(channel);
    ULONG old = 0;
    csr_write(csr, csr_clock_control, (address | 0x180) << 16);
    csr_write(csr, csr_clock_control, (address | 0x80) << 16);
    if (!drp_wait_ready(channel, &old)) {
        return false;
    }
    ULONG next = ((old & ~mask) | value) & 0xFFFF;
    csr_write(csr, csr_clock_control, (address | 0x380) << 16 | next);
    csr_write(csr, csr_clock_control, (address | 0x80) << 16 | next);
    return drp_wait_ready(channel, &old);
}

ULONG mode_bits(ULONG kind) {
    return kind == NAND_KIND_ONFI_SYNC ? 1 : kind == NAND_KIND_OWN_DDR ? 2 : 0;
}

// ---- Part set-up

int apply_row(nand_dev* channel, const nand_part_row* part, const UCHAR* id) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    nand_interface& n = channel->iface;
    n.part = part;
    n.phase_nibble = part->clock_mode;
    n.clock_period_ps = part->clock_period_ps;
    n.clock_delay_ps = part->clock_delay_ps;
    n.page_data = part->page_bytes;
    n.page_spare = part->spare_bytes;
    n.page_total = part->page_bytes + part->spare_bytes;
    n.part_class = part->part_class;
    n.interface_kind = part->interface_kind;

    ULONG64 two_plane_bytes = (ULONG64)n.page_total * n.pads * 2;
    if (two_plane_bytes <= n.page_buffer_bytes && n.two_planes_allowed) {
        n.multiplane_mode = part->multiplane_mode;
        n.planes = 2;
    } else {
        n.multiplane_mode = 0;
        n.planes = 1;
    }
    n.blocks_per_group = part->blocks / n.planes;
    n.block_bits = part->block_bits;
    n.page_bits = part->page_bits;
    n.pages_per_block = part->pages_per_block;
    n.die_reserve = part->die_reserve;
    n.dies_per_bank = n.banks == n.pad_groups && n.dies > 1 ? n.dies : 1;

    csr_write(csr_of(channel), 0x25D8, 0);
    n.capabilities |= 0x2;
    nand_geometry& g = channel->geometry;
    if (part->remap_hook != nullptr) {
        g.remap_block = part->remap_hook;
    }
    RtlCopyMemory(g.part_id, id, NAND_PART_ID_MAX);
    g.part_id_length = (UCHAR)part->id_length;
    g.nand_mode = (UCHAR)part->interface_kind;

    if (part->mgmt_required) {
        if (nand_mgmt_info_find(channel, part->mgmt_key) != 0) {
            mgmt_missing(channel);
            return part_failed;
        }
    } else {
        n.eq_capable = 0;
    }
    n.policy = nand_media_policy_find(part->family_key);
    if (n.policy == nullptr) {
        mgmt_missing(channel);
        return part_failed;
    }
    n.scan_interval = n.policy->scan_interval;
    if (part->clear_feature_92) {
        (void)nand_set_feature_all_banks(channel, 0);
    }
    if (part->setup_hook != nullptr) {
        part->setup_hook(channel, part);
    }
    return 0;
}

// ---- Timing registers

// A time for the five converted registers: 0 up to 4 ticks, 1 for 5 or 6, then ticks - 6.
ULONG converted(ULONG ns, ULONG hz) {
    ULONG t = nand_ns_to_ticks(ns, hz);
    return t <= 4 ? 0 : t <= 6 ? 1 : t - 6;
}

ULONG ticks_to_ns(ULONG ticks, ULONG hz) {
    if (hz == 0) {
        return 0;
    }
    return (ULONG)(((ULONG64)ticks * 1000000000ull + hz - 1) / hz);
}

void print_pair(csr_dump_printer* out, const char* name, const char* label, ULONG a, ULONG b, ULONG bus_bytes) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG period = (a + 1 + b) * 5;
    csr_dump_printf(out, "pavinf %s: %s(%d,%d) %dns %dMhz %dMBps\n", name, label, a, b, period, 1000 / period,
                    bus_bytes * 1000 / period);
}

}  // namespace

ULONG nand_ns_to_ticks(ULONG ns, ULONG hz) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    return (ULONG)(((ULONG64)ns * hz + 999999999ull) / 1000000000ull);
}

ULONG onfi_mode_of(ULONG period_ps) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    return period_ps < 12000 ? 5 : period_ps < 15000 ? 4 : period_ps < 20000 ? 3 : period_ps < 30000 ? 2
           : period_ps < 50000 ? 1 : 0;
}

void nand_timing_defaults(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    nand_interface& n = channel->iface;
    for (ULONG k = 0; k < 3; k++) {
        n.sets[k] = default_sets[k];
    }
    n.clock_period_ps = 0;
    n.clock_delay_ps = 0;
    n.phase_nibble = 0;
}

int nand_part_setup(nand_dev* channel, const UCHAR* id) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    nand_interface& n = channel->iface;
    const nand_part_row* part = nand_part_find(id, NAND_PART_ID_MAX);
    if (part == nullptr) {
        return part_failed;
    }
    if (apply_row(channel, part, id) != 0) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Unable to setup with nand info.\n", channel_name(channel));
        return part_failed;
    }
    n.maker_code = id[0];
    n.bus_width[0] = n.bus_width[1] = n.microcode_bus ? 2 : 1;
    n.bus_status[0] = n.bus_status[1] = 0;
    n.nand_clock_hz = csr_read(csr_of(channel), csr_nand_clock);
    if (n.nand_clock_hz == 0) {
        n.nand_clock_hz = default_nand_hz;
    }
    n.controller_clock_hz = csr_read(csr_of(channel), csr_controller_clock);
    if (n.controller_clock_hz == 0) {
        n.controller_clock_hz = default_controller_hz;
    }
    if (n.period_override_ps != 0) {
        n.clock_period_ps = n.period_override_ps;
        n.clock_delay_ps = n.period_override_ps;
    }
    if (n.phase_override != 0) {
        n.phase_nibble = n.phase_override;
    }
    if (n.interface_kind != NAND_KIND_ASYNC && n.clock_period_ps == 0) {
        n.synchronous = 0;
        n.clock_programmable = 0;
    }
    if (n.interface_kind == NAND_KIND_ONFI_SYNC) {
        return onfi_timing_setup(channel) ? 0 : part_failed;
    }
    if (n.interface_kind == NAND_KIND_OWN_DDR) {
        if (!n.synchronous) {
            n.interface_kind = NAND_KIND_ASYNC;
            return 0;
        }
        n.bus_width[0] = n.bus_width[1] = 2;
        if (n.clock_programmable &&
            !mmcm_set_clock(channel, n.clock_period_ps, n.clock_delay_ps, n.phase_nibble, n.three_quarter != 0)) {
            return part_failed;
        }
    }
    return 0;
}

bool onfi_timing_setup(nand_dev* channel) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    nand_interface& n = channel->iface;
    if (n.synchronous) {
        ULONG mode = onfi_mode_of(n.clock_period_ps);
        if (mode == 0) {
            kpav_print(KPAV_CLASS_NORMAL, "%s: Unsupported ONFi timing\n", channel_name(channel));
        }
        if (!n.microcode_bus) {
            nand_set_feature_bus(channel, 0x01, (UCHAR)(0x10 | mode));
        }
        n.bus_width[0] = n.bus_width[1] = 2;
    } else {
        n.interface_kind = NAND_KIND_ASYNC;
        if (!n.microcode_bus) {
            nand_set_feature_bus(channel, 0x01, 0x04);
        }
    }
    if (n.clock_programmable) {
        return mmcm_set_clock(channel, n.clock_period_ps, n.clock_delay_ps, n.phase_nibble, n.three_quarter != 0);
    }
    return true;
}

bool mmcm_set_clock(nand_dev* channel, ULONG period, ULONG delay, ULONG phase_nibble, bool allow_three_quarter) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    const char* name = channel_name(channel);
    if (period == 0) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Invalid NAND clock period - %u\n", name, period);
        return false;
    }
    if (period % 1000 != 0) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: MMCM Period invalid - %u\n", name, period);
        return false;
    }
    if (delay % 125 != 0) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: MMCM Delay invalid - %u\n", name, delay);
        return false;
    }
    ULONG divider = period / 1000;
    ULONG high = divider / 2;
    ULONG low = divider % 2 != 0 ? high + 1 : high;
    ULONG edge = divider % 2 != 0 ? 0x80 : 0;
    ULONG q = period / 4;
    bool three_quarter = false;
    if (allow_three_quarter && !(delay > period / 4 && delay < 3 * period / 4)) {
        q = 3 * period / 4;
        three_quarter = true;
    }
    ULONG delay_time = q / 1000;
    ULONG phase_mux = (q % 1000) / 125;
    volatile ULONG* csr = csr_of(channel);
    csr_write(csr, csr_nand_mode,
              mode_bits(channel->iface.interface_kind) | (phase_nibble < 255 ? (phase_nibble & 15) << 4 : 0) |
                  (three_quarter ? 4 : 0));

    ULONG divided = high << 6 | low;
    const ULONG writes[][3] = {
        {0x28, 0xFFFF, 0xFFFF},
        {0x0A, divided, 0xEFFF},
        {0x0B, edge, 0x3FF},
        {0x0C, phase_mux << 13 | divided, 0xEFFF},
        {0x0D, edge | delay_time, 0x3FF},
        {0x0E, ((delay % 1000) / 125) << 13 | divided, 0xEFFF},
        {0x0F, edge | delay / 1000, 0x3FF},
        {0x10, divided, 0xEFFF},
        {0x11, edge, 0x3FF},
        {0x06, phase_mux << 13 | divided, 0xEFFF},
        {0x07, edge | delay_time, 0x3FF},
    };
    csr_write(csr, csr_clock_control, clock_hold);
    bool written = true;
    for (const auto& w : writes) {
        if (!drp_update(channel, w[0], w[1], w[2])) {
            written = false;
            break;
        }
    }
    csr_write(csr, csr_clock_control, 0);
    bool locked = false;
    for (ULONG i = 0; i < lock_polls && !locked; i++) {
        locked = (csr_read(csr, csr_clock_status) & clock_locked) != 0;
        if (!locked) {
            KeStallExecutionProcessor(1);
        }
    }
    if (!locked) {
        return false;
    }
    if (!written) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Failed to set DRP clock\n", name);
        return false;
    }
    channel->iface.nand_clock_hz = (ULONG)(1000000000000ull / period);
    channel->iface.controller_clock_hz = channel->iface.nand_clock_hz;
    return true;
}

void nand_timing_program(nand_dev* channel) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    nand_interface& n = channel->iface;
    const nand_timing_set& s = n.sets[n.interface_kind < 3 ? n.interface_kind : 0];
    volatile ULONG* csr = csr_of(channel);
    ULONG hz = n.nand_clock_hz != 0 ? n.nand_clock_hz : default_nand_hz;
    csr_write(csr, 0x2258, (ULONG)s.tsel[2] << 8 | (ULONG)s.tsel[1] << 4 | s.tsel[0]);
    csr_write(csr, 0x2250, s.tread[0]);
    csr_write(csr, 0x2254, s.tread[1]);
    csr_write(csr, 0x225C, s.twrite[0]);
    csr_write(csr, 0x2260, s.twrite[1]);
    csr_write(csr, 0x25C4, (ULONG)s.tmisc[0] << 16 | (ULONG)s.tmisc[1] << 8 | s.tmisc[2]);
    csr_write(csr, 0x2244, s.tcmd[0]);
    csr_write(csr, 0x2240, s.tcmd00);
    csr_write(csr, 0x2248, s.tcmd[1]);
    csr_write(csr, 0x224C, s.tread00);
    csr_write(csr, 0x2264, s.taddr[0]);
    csr_write(csr, 0x2268, s.taddr[1]);
    csr_write(csr, 0x2238, s.tce[0]);
    csr_write(csr, 0x223C, s.tce[1]);
    csr_write(csr, 0x25C0, s.tccs);
    csr_write(csr, 0x2620, s.tadl_ticks);
    csr_write(csr, 0x25C8, s.tdbsy);
    csr_write(csr, 0x226C, s.tcad);
    csr_write(csr, 0x25BC, s.bus_hold);
    csr_write(csr, 0x2610, converted(s.tdelay1_ns, hz));
    csr_write(csr, 0x2614, converted(s.tfeat_ns, hz));
    csr_write(csr, 0x2618, converted(s.tadl_ns, hz));
    csr_write(csr, 0x261C, converted(s.twrite1_ns, hz) << 8 | converted(s.twrite0_ns, hz));
    n.bus_hold = s.bus_hold;
    const nand_part_row* part = n.part;
    if (part == nullptr) {
        return;
    }
    csr_write(csr, 0x2580, nand_ns_to_ticks(part->t_read_ns, hz));
    csr_write(csr, 0x2584, nand_ns_to_ticks(part->t_prog_ns, hz));
    csr_write(csr, 0x2588, nand_ns_to_ticks(part->t_erase_ns, hz));
    csr_write(csr, 0x258C, nand_ns_to_ticks(part->t_extra_ns, hz));
    csr_write(csr, 0x2590, nand_ns_to_ticks(part->t_stat_ns, hz));
    if (use_command_timeouts != 0) {
        csr_write(csr, 0x2594, nand_ns_to_ticks(part->t_timeout_ns[0], hz));
        csr_write(csr, 0x2598, nand_ns_to_ticks(part->t_timeout_ns[1], hz));
        csr_write(csr, 0x259C, nand_ns_to_ticks(part->t_timeout_ns[2], hz));
    }
}

void print_nand_timing(nand_dev* channel, ULONG bus_bytes, csr_dump_printer* out) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const char* name = channel_name(channel);
    volatile ULONG* csr = csr_of(channel);
    auto r = [csr](ULONG offset) { return csr_read(csr, offset); };
    print_pair(out, name, "tcmd   ", r(0x2244), r(0x2248), bus_bytes);
    print_pair(out, name, "taddr  ", r(0x2264), r(0x2268), bus_bytes);
    print_pair(out, name, "tread  ", r(0x2250), r(0x2254), bus_bytes);
    print_pair(out, name, "twrite ", r(0x225C), r(0x2260), bus_bytes);
    csr_dump_printf(out, "pavinf %s: tce    (%d,%d)\n", name, r(0x2238), r(0x223C));
    csr_dump_printf(out, "pavinf %s: tsel (0x%08x)\n", name, r(0x2258));
    csr_dump_printf(out, "pavinf %s: bus_hold (%d)\n", name, r(0x25BC));
    csr_dump_printf(out, "pavinf %s: tcmd00 (%d)  tread00(%d)\n", name, r(0x2240), r(0x224C));
    csr_dump_printf(out, "pavinf %s: tccs   (%d)\n", name, r(0x25C0));
    csr_dump_printf(out, "pavinf %s: tadl (%d) tdbsy(%d) tcad(%d)\n", name, r(0x2620), r(0x25C8), r(0x226C) & 7);
    csr_dump_printf(out, "pavinf %s: tmisc  (0x%08x)\n", name, r(0x25C4));
    if (channel->iface.eq_capable) {
        ULONG w = r(0x261C);
        csr_dump_printf(out, "pavinf %s: tdelay1  (%d) tfeat (%d) tadl (%d) twrite0 (%d) twrite1 (%d)\n", name,
                        r(0x2610), r(0x2614), r(0x2618), w & 0xFF, w >> 8 & 0xFF);
    }
    if (!channel->iface.microcode_bus) {
        ULONG hz = channel->iface.nand_clock_hz;
        const struct {
            const char* label;
            ULONG offset;
        } times[] = {{"tREAD ", 0x2580}, {"tPROG ", 0x2584}, {"tERASE", 0x2588}, {"tSTAT ", 0x2590}};
        for (const auto& t : times) {
            ULONG ticks = r(t.offset);
            csr_dump_printf(out, "pavinf %s: %s ticks (%d) ns (%d)\n", name, t.label, ticks, ticks_to_ns(ticks, hz));
        }
    }
}

// ---- Direct NAND bus

void nand_get_feature(nand_dev* channel, UCHAR address, UCHAR out[4]) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    bus_begin(channel);
    get_feature_cycles(channel, address, out);
    bus_end(channel);
}

void nand_set_feature_bus(nand_dev* channel, UCHAR address, UCHAR value) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    UCHAR preamble[4];
    bus_begin(channel);
    get_feature_cycles(channel, address, preamble);
    ULONG chips = channel->iface.chip_count != 0 ? channel->iface.chip_count : 1;
    for (ULONG chip = 1; chip <= chips; chip++) {
        bus_command(channel, chip, 0xEF);
        bus_address(channel, chip, address);
        bus_data(channel, chip, value);
        for (int i = 0; i < 3; i++) {
            bus_data(channel, chip, 0);
        }
    }
    bus_end(channel);
}

void nand_read_id(nand_dev* channel, ULONG die, ULONG bytes, UCHAR* out) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG chip = die + 1;
    bus_begin(channel);
    bus_command(channel, chip, 0x90);
    bus_address(channel, chip, 0);
    kpav_udelay(10000);
    for (ULONG pass = 0; pass < 8; pass++) {
        bus_read(channel, chip);
        bus_copy(channel, bytes, out + 32 * pass);
    }
    bus_end(channel);
}

void nand_read_status(nand_dev* channel, ULONG die, ULONG bytes, UCHAR* out) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG chip = die + 1;
    bus_begin(channel);
    bus_command(channel, chip, 0x70);
    kpav_udelay(10000);
    bus_read(channel, chip);
    bus_copy(channel, bytes, out);
    bus_end(channel);
}

bool nand_set_feature_all_banks(nand_dev* channel, UCHAR value) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    const UCHAR feature = 0x92;
    if (!channel->iface.microcode_bus) {
        nand_set_feature_bus(channel, feature, value);
        UCHAR back[4] = {};
        nand_get_feature(channel, feature, back);
        return back[0] == value;
    }
    bool ok = true;
    for (ULONG bank = 0; bank < channel->iface.banks; bank++) {
        if (nand_set_feature(channel, bank) != 0) {
            kpav_print(KPAV_CLASS_NORMAL, "%s: set feature failed on bank: %d\n", channel_name(channel), bank);
            ok = false;
        }
    }
    return ok;
}

// ---- Vendor parameter check

int nand_mgmt_calibrate(nand_dev* channel) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    const nand_interface& n = channel->iface;
    if (n.part == nullptr) {
        mgmt_missing(channel);
        return part_failed;
    }
    if (n.part->vendor_param_key == 0) {
        return 0;
    }
    const vendor_params* set = vendor_param_table;
    while (set->key != 0 && set->key != n.part->vendor_param_key) {
        set++;
    }
    if (set->key == 0) {
        mgmt_missing(channel);
        return part_failed;
    }
    ULONG banks = n.banks != 0 ? n.banks : 1;
    ULONG dies = banks * (n.dies_per_bank != 0 ? n.dies_per_bank : 1);
    ULONG groups = n.pad_groups != 0 ? n.pad_groups : 1;
    // Die i is on bank i mod banks, target i / banks: each (bank, target) once.
    for (ULONG i = 0; i < dies; i++) {
        if (nand_mgmt_select(channel, i % banks, (UCHAR)(i / banks)) != 0) {
            return vendor_failed;
        }
    }
    for (ULONG i = 0; i < dies; i++) {
        ULONG bank = i % banks;
        UCHAR target = (UCHAR)(i / banks);
        UCHAR counts[32] = {};
        ULONG reads = 0;
        for (ULONG c = 0; c < set->check_count; c++) {
            const vendor_check& check = set->checks[c];
            if (check.reg == 0x36) {
                continue;
            }
            ULONG words[8] = {};
            if (nand_mgmt_read(channel, bank, check.reg, target, words, ARRAYSIZE(words)) != 0) {
                return vendor_failed;
            }
            reads++;
            for (ULONG pad = 0; pad < 32; pad++) {
                if ((UCHAR)(words[pad / 4] >> (8 * (pad % 4))) == check.value) {
                    counts[pad]++;
                }
            }
        }
        ULONG mask = n.pad_masks[i % groups % ARRAYSIZE(n.pad_masks)];
        ULONG set_pads = 0;
        ULONG pads = 0;
        for (ULONG pad = 0; pad < 32; pad++) {
            if ((mask >> pad & 1) == 0) {
                continue;
            }
            pads++;
            if (counts[pad] == reads) {
                set_pads++;
            } else if (counts[pad] != 0) {
                return vendor_failed;  // a pad that holds some of the values and not others
            }
        }
        if (set_pads != 0 && set_pads != pads) {
            return vendor_failed;
        }
        bool calibrated = pads != 0 && set_pads == pads;
        for (ULONG c = 0; c < set->check_count; c++) {
            const UCHAR args[4] = {set->checks[c].reg, set->checks[c].value, set->checks[c].third, target};
            if (nand_mgmt_set(channel, bank, args) != 0) {
                return vendor_failed;
            }
        }
        if (!calibrated) {
            for (ULONG s = 0; s < set->set_count; s++) {
                const vendor_set& e = set->sets[s];
                if (nand_mgmt_set_wide(channel, bank, (UCHAR)e.reg, (USHORT)e.value, (UCHAR)e.third, target) != 0) {
                    return vendor_failed;
                }
            }
        }
    }
    return 0;
}
