// The NAND part table and the parts' set-up and remap hooks.

#include "driver/pipeline/nand_parts.h"

#include "driver/card/hw_reset.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/platform/kassert.h"

namespace {

constexpr ULONG csr_part_mode = 0x25D8;
constexpr ULONG csr_1580 = 0x1580;

void set_mode_register(nand_dev* channel, ULONG value, ULONG value_1580) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    csr_write(channel->card->csr, csr_part_mode, value);
    channel->iface.capabilities |= 0x2;
    if (channel->iface.reg_1580) {
        csr_write(channel->card->csr, csr_1580, value_1580);
    }
}

// ONFi synchronous parts.
void sync_setup(nand_dev* channel, const nand_part_row* part) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    nand_interface& n = channel->iface;
    set_mode_register(channel, 1, 374);
    if (part->part_class == 1 && part->mgmt_required) {
        n.rl_words[0] = 0x00A100A0;
        n.rl_words[1] = 0x00A300A2;
        n.rl_words[2] = 0;
        n.rl_byte = 0xA4;
        n.rl_count = 160;
        n.rl_mask = 0xFF;
        n.rl_feature = n.planes == 2 ? 0x000301EF : 0x000309EF;
    }
    LONG64 p = n.period_override_ps != 0 ? n.period_override_ps : n.clock_period_ps;
    nand_timing_set& s = n.sets[2];
    // A long period would make the figure negative: it stays at 0 then, and at a byte's limit.
    LONG64 tccs = p == 0 ? 0 : (299999 - 8 * p) / p;
    s.tccs = (UCHAR)(tccs < 0 ? 0 : tccs > 255 ? 255 : tccs);
    s.tmisc[0] = 1;
    s.tmisc[2] = 0;
    s.tdelay1_ns = 700;
    s.tfeat_ns = 700;
    s.tadl_ns = 70;
}

void dual_plane_sync_setup(nand_dev* channel, const nand_part_row* part) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    channel->iface.blocks_per_group = 2048 / channel->iface.planes;
    sync_setup(channel, part);
}

// The maker's own parts.
void own_setup(nand_dev* channel, const nand_part_row* part) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    nand_interface& n = channel->iface;
    set_mode_register(channel, 0, 283);
    if (part->mgmt_required) {
        n.rl_words[0] = 17;
        n.rl_words[2] = 0x5D000000;
        n.rl_byte = 4;
        n.rl_count = 17;
        n.rl_mask = 0x7F;
        n.rl_feature = n.dies_per_bank < 2 ? 0x0006C100 : 0x0002C100;
    }
}

}  // namespace

ULONG nand_remap_split(nand_dev* channel, ULONG bank, ULONG block) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    (void)bank;
    if (block < 2048) {
        return block;
    }
    return (channel->iface.extended_range_bit >> channel->iface.page_bits) | (block - 2048);
}

ULONG nand_remap_offset(nand_dev* channel, ULONG bank, ULONG block) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    (void)channel;
    (void)bank;
    return block < 4276 ? block : block + 3917;
}

#define ONFI_TIMES 38000, 610000, 1800000, {550000, 4840000, 22000000}, 1000, 3000
#define OWN_TIMES 35200, 1796200, 6700000, {550000, 4840000, 22000000}, 1000, 3000
#define PART_FEATURES {0x20, 0x04, 0x00}, {0x01, 0x02}, {{0x03, 0x01}, {0x02, 0x01}, {0x01, 0x00}}
#define ONFI_PART(name, id, id_length, blocks, block_bits, setup, remap)                                     \
    {name, id, id_length, 1, 2, 16384, 1216, 512, 1, blocks, block_bits, 9, 5, 12000, 3250, 180, setup, remap, \
     1, 1, 5, 1, 0, ONFI_TIMES, PART_FEATURES}
#define OWN_PART(name, id)                                                                                  \
    {name, id, 6, 1, 1, 16384, 1280, 256, 3, 4276, 13, 8, 5, 12000, 3250, 84, own_setup, nand_remap_offset, \
     1, 0, 6, 8, 1, OWN_TIMES, PART_FEATURES}
#define ID(...) {__VA_ARGS__}

const nand_part_row nand_part_table[] = {
    ONFI_PART("NPT_ALDER", ID(0x6E, 0xA4, 0x3C, 0x58, 0xA9, 0x00, 0x00, 0x00), 5, 2048, 11, sync_setup, nullptr),
    ONFI_PART("NPT_BIRCH", ID(0x6E, 0xB4, 0x3C, 0x58, 0xA9, 0x41, 0x00, 0x00), 6, 2096, 12, dual_plane_sync_setup,
              nand_remap_split),
    ONFI_PART("NPT_CEDAR", ID(0x6E, 0xA4, 0x3C, 0x68, 0xA9, 0x00, 0x00, 0x00), 5, 2048, 11, sync_setup, nullptr),
    ONFI_PART("NPT_DAPHNE", ID(0x6E, 0xB4, 0x3C, 0x68, 0xA9, 0x41, 0x00, 0x00), 6, 2096, 12, dual_plane_sync_setup,
              nand_remap_split),
    OWN_PART("NPT_ELM", ID(0x3D, 0x84, 0x5A, 0x20, 0x7C, 0x12, 0x00, 0x00)),
    OWN_PART("NPT_FIR", ID(0x3D, 0x84, 0x5A, 0x28, 0x7C, 0x12, 0x00, 0x00)),
    OWN_PART("NPT_GORSE", ID(0x3D, 0x94, 0x5A, 0x28, 0x7C, 0x14, 0x00, 0x00)),
    {},
};

const nand_part_row* nand_part_find(const UCHAR* id, ULONG length) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    for (const nand_part_row* row = nand_part_table; row->name != nullptr; row++) {
        if (row->id_length <= length && RtlCompareMemory(row->id, id, row->id_length) == row->id_length) {
            return row;
        }
    }
    return nullptr;
}
