// The NAND interface of a channel: the fitted part's geometry and clock, the interface timing
// sets, the clock manager (a clock generator reprogrammed through its dynamic reconfiguration
// port), the ONFi timing mode, the interface timing registers, the direct NAND bus (single
// command, address and data cycles through one register), the vendor parameter check of the
// maker's own parts and the timing report.
//
// The NAND controller's initialisation calls, in order: nand_timing_defaults, nand_part_setup
// (with the identification bytes the banks answered), nand_timing_program, a 1 ms pause, and later
// nand_mgmt_calibrate. It fills the inputs of nand_interface first (pads, banks, page buffer,
// the flags and overrides below).
//
// Runs single-threaded in the card's bring-up, below DISPATCH_LEVEL unless said; the direct bus
// and the clock manager's port must not be interleaved with other traffic to the same registers.
#pragma once

#include "driver/pipeline/nand_media.h"
#include "driver/pipeline/nand_parts.h"
#include "driver/platform/os.h"

struct nand_dev;
struct csr_dump_printer;

// One interface timing set, in controller ticks unless said.
struct nand_timing_set {
    UCHAR kind;
    UCHAR tread[2];  // first, second
    UCHAR tread00;
    UCHAR twrite[2];
    UCHAR tcmd[2];
    UCHAR tcmd00;
    UCHAR taddr[2];
    UCHAR tce[2];
    UCHAR tccs;
    UCHAR tadl_ticks;
    UCHAR tsel[3];   // nibbles, low first
    ULONG tdbsy;
    UCHAR tcad;
    UCHAR tmisc[3];  // bytes, high first
    USHORT tdelay1_ns, tfeat_ns, tadl_ns, twrite0_ns, twrite1_ns;
    ULONG bus_hold;
};

constexpr ULONG NAND_KIND_ASYNC = 0;
constexpr ULONG NAND_KIND_OWN_DDR = 1;
constexpr ULONG NAND_KIND_ONFI_SYNC = 2;

// The channel's NAND interface record (nand_dev::iface).
struct nand_interface {
    // ---- Inputs the controller's initialisation sets before the part set-up
    ULONG pads;               // pads of a bank
    ULONG pad_groups;         // pad groups; dies per bank follow `dies` only when it equals `banks`
    ULONG banks;
    ULONG dies;               // dies of a bank position
    ULONG chip_count;         // chips the direct bus addresses (1-based chip numbers 1..chip_count)
    ULONG page_buffer_bytes;  // the controller's page buffer per bank
    ULONG extended_range_bit; // block-number bit of the extended range (a power of two)
    ULONG pad_masks[8];       // pads of each pad group
    UCHAR two_planes_allowed;
    UCHAR synchronous;        // the part may run its double-data-rate interface
    UCHAR clock_programmable; // the driver programs the clock manager
    UCHAR three_quarter;      // the strobe may take the three-quarter phase
    UCHAR microcode_bus;      // microcode drives the NAND bus
    UCHAR reg_1580;           // the part set-up writes register 0x1580
    UCHAR eq_capable;         // equalization hardware (cleared without a management info record)
    ULONG period_override_ps;
    ULONG phase_override;

    // ---- What the part set-up fills
    const nand_part_row* part;
    ULONG interface_kind;
    ULONG part_class;
    ULONG clock_period_ps, clock_delay_ps, phase_nibble;
    ULONG nand_clock_hz, controller_clock_hz;
    ULONG page_data, page_spare, page_total;
    ULONG pages_per_block, blocks_per_group, planes, multiplane_mode;
    UCHAR block_bits, page_bits;
    ULONG die_reserve, dies_per_bank;
    ULONG capabilities;  // bit 1: the part set-up ran
    UCHAR maker_code;
    UCHAR bus_width[2];
    UCHAR bus_status[2];
    const nand_media_policy* policy;
    ULONG scan_interval;
    const nand_mgmt_info* mgmt;
    nand_mgmt_info mgmt_values;
    // The read-level command fields the read levels use.
    ULONG rl_words[3];
    UCHAR rl_byte;
    ULONG rl_count;
    ULONG rl_mask;
    ULONG rl_feature;
    // The three timing sets, by interface kind, and the bus hold in use.
    nand_timing_set sets[3];
    ULONG bus_hold;

    // ---- Card images (card_images.h)
    ULONG ucode_version, ucode_build, ucode_flags;
    ULONG codeword_groups;  // at least 1
    ULONG ecc_codeword, ecc_field, ecc_parity, ecc_data, ecc_codewords;
};

// ---- Part set-up

// Fills the three timing sets with their defaults; the clock period, delay and phase start at 0.
void nand_timing_defaults(nand_dev* channel);
// Sets the channel up for the part that answered `id` (NAND_PART_ID_MAX bytes): 0, or -1024 when
// no row matches (no message), the row cannot be applied, or the clock or the timing mode cannot
// be set.
int nand_part_setup(nand_dev* channel, const UCHAR* id);
// Programs the timing registers from the set of the current interface kind.
void nand_timing_program(nand_dev* channel);
// Reprograms the clock manager: true when it locked with the new settings.
bool mmcm_set_clock(nand_dev* channel, ULONG period_ps, ULONG delay_ps, ULONG phase_nibble, bool allow_three_quarter);
// Chooses the ONFi timing mode from the period and sets it on the dies: true on success.
bool onfi_timing_setup(nand_dev* channel);
// The ONFi timing mode of a period: 5 below 12000 ps ... 1 below 50000 ps; 0 beyond.
ULONG onfi_mode_of(ULONG period_ps);
// Nanoseconds in NAND clock ticks (rounded up).
ULONG nand_ns_to_ticks(ULONG ns, ULONG hz);

// The vendor parameter check of parts with a vendor parameter set: 0, -1024 (no part, or its
// management info missing) or -4096 (a die that fails, or whose pads disagree).
int nand_mgmt_calibrate(nand_dev* channel);

// The timing report of a register dump, read back from the registers ("pavinf" lines). At most
// DISPATCH_LEVEL.
void print_nand_timing(nand_dev* channel, ULONG bus_bytes, csr_dump_printer* out);

// The feature-0x92 reset of every bank: over the direct bus with a read-back, or (microcode on
// the bus) through each bank's command port ("%s: set feature failed on bank: %d\n"). True when
// every bank took it.
bool nand_set_feature_all_banks(nand_dev* channel, UCHAR value);

// ---- Direct NAND bus

// GET FEATURES of `address` on chip 1: parameter bytes 1 to 4 of pad 0 into out[0..3].
void nand_get_feature(nand_dev* channel, UCHAR address, UCHAR out[4]);
// SET FEATURES of `address` to `value` (three zero parameters) on every chip, after a GET
// FEATURES preamble.
void nand_set_feature_bus(nand_dev* channel, UCHAR address, UCHAR value);
// READ ID of chip `die` (0-based): eight passes, each copying `bytes` bytes (the pads' bytes,
// pad 0 first) into out + 32 x pass.
void nand_read_id(nand_dev* channel, ULONG die, ULONG bytes, UCHAR* out);
// READ STATUS of chip `die` (0-based): `bytes` bytes of the pads' status into out.
void nand_read_status(nand_dev* channel, ULONG die, ULONG bytes, UCHAR* out);
