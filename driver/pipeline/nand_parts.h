// The NAND parts the driver knows, one row each: the READ ID answer that names the part, its
// geometry, interface kind and clock, the hooks that set the controller up for it and remap its
// block numbers, the keys of its media policy and management info, its operation times, and the
// feature values its banks are set up with. The part set-up (nand_timing.h) copies the fitted
// part's row into the channel.
//
// The identification bytes are the parts' own; the card model's NAND dies answer the same bytes
// (the card model's description lists them).
#pragma once

#include "driver/platform/os.h"

struct nand_dev;

constexpr ULONG NAND_PART_ID_MAX = 8;

struct nand_part_row {
    const char* name;  // NULL ends the table
    UCHAR id[NAND_PART_ID_MAX];
    ULONG id_length;   // significant bytes of id (5 or 6)
    ULONG part_class;
    ULONG interface_kind;  // 2 ONFi synchronous, 1 the maker's own double data rate; 0 asynchronous
    ULONG page_bytes;
    ULONG spare_bytes;
    ULONG pages_per_block;
    ULONG multiplane_mode;
    ULONG blocks;
    UCHAR block_bits;
    UCHAR page_bits;
    ULONG clock_mode;       // the phase nibble (bits 4-7 of the NAND mode register)
    ULONG clock_period_ps;
    ULONG clock_delay_ps;
    ULONG die_reserve;
    void (*setup_hook)(nand_dev* channel, const nand_part_row* part);  // may be NULL
    ULONG (*remap_hook)(nand_dev* channel, ULONG bank, ULONG block);    // may be NULL
    UCHAR mgmt_required;
    UCHAR clear_feature_92;
    ULONG family_key;
    ULONG mgmt_key;
    ULONG vendor_param_key;
    ULONG t_read_ns, t_prog_ns, t_erase_ns;
    ULONG t_timeout_ns[3];
    ULONG t_stat_ns;
    ULONG t_extra_ns;
    ULONG features[3];       // the banks' part features: code 17's values
    ULONG features_b[2];     // code 18's values
    ULONG mode_pairs[3][2];  // code 19's pair: interface kind 2, kind 1, any other
};

// The table, ended by a row whose name is NULL.
extern const nand_part_row nand_part_table[];

// The first row whose significant identification bytes begin `id` (`length` bytes); NULL when
// none does. Any IRQL.
const nand_part_row* nand_part_find(const UCHAR* id, ULONG length);

// The block-number remaps: parts of 2096 blocks put the blocks from 2048 on in the extended
// range; the maker's own parts skip a hole after block 4276.
ULONG nand_remap_split(nand_dev* channel, ULONG bank, ULONG block);
ULONG nand_remap_offset(nand_dev* channel, ULONG bank, ULONG block);
