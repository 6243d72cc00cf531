// What the channel calls in the card's bring-up above it: controller set-up and media tuning
// (the NAND controller, read levels, read recovery, the environment, the health poll thread),
// the management data's passes at start and the erase-block map's alerts. The bring-up that
// makes the channel hands its table over (channel_pipeline_init); a channel made without one
// (tests, benchmarks) has channel_owner_defaults, whose rules are described beside each slot.
// A table starts from the defaults and replaces what it implements, as the client's does
// (channel_client.h).
#pragma once

#include "driver/platform/os.h"

struct nand_dev;
struct velkor_request;

struct channel_owner_ops {
    // ---- Per request (at most DISPATCH_LEVEL)
    // Read recovery: run first on every retired request. 0 when it is not finished (it was
    // resubmitted or put on the Fail Q), non-zero when retirement goes on. Default: finished.
    int (*read_recovery_complete)(nand_dev* channel, velkor_request* request);
    // Asked on every Nth counted page read of an erase block: 2 refresh the block, 1 sample
    // this read, 0 nothing (the default).
    int (*read_count_policy)(nand_dev* channel, USHORT eb, ULONG64 read_count);
    // The read-level value of a pad of the block; all ones for none (the default).
    ULONG (*eb_pad_read_level)(nand_dev* channel, USHORT eb, ULONG pad);
    // The read levels: an erase block changed state (its erase count, write time or condition);
    // and the refresh of every die's default level once the blocks' headers are known.
    // Default: nothing.
    void (*readlevel_eb_update)(nand_dev* channel, USHORT eb);
    void (*readlevel_refresh_all)(nand_dev* channel);
    // The environment monitor's handler of an environment event word (voltage, thermal, power
    // cut); check_spurious is 1 from the completion rings. Default: the word is dropped.
    void (*env_interrupt)(nand_dev* channel, ULONG word, int check_spurious);
    // The erase-block map: a block in its map finished a request. Default: nothing.
    void (*mel_alert_leb)(nand_dev* channel, USHORT eb, int counters_set);
    // The watchdog's check of the card's bus (fails the channel when a register reads all
    // ones). Default: none.
    void (*check_lost_bus)(nand_dev* channel);

    // ---- Set-up, start, stop and free (PASSIVE_LEVEL)
    // Non-zero: the FPGA's voltages are out of range. Default: 0.
    int (*check_fpga_voltages)(nand_dev* channel);
    // The NAND controller's initialisation: fills the channel's geometry. 0 or a negative
    // errno. Default: 0, the geometry stays as the channel's maker filled it.
    int (*nand_controller_init)(nand_dev* channel);
    // The erase-block information for the geometry the controller found (ebinfo_init); its
    // failure puts the card in minimal mode. Default: 0, none (the channel's uniform geometry).
    int (*ebinfo_init)(nand_dev* channel);
    void (*program_env_alarms)(nand_dev* channel);
    // The PCIe power monitor, thermal monitoring and the PCI counter snapshot.
    void (*channel_monitors_setup)(nand_dev* channel);
    // The read-error recovery slots: 0 or -KPAV_ENOMEM (set-up fails with it). Default: 0.
    int (*read_recovery_init)(nand_dev* channel);
    void (*read_recovery_free)(nand_dev* channel);
    void (*readlevel_free)(nand_dev* channel);
    // The health poll thread.
    void (*smp_thread_start)(nand_dev* channel);
    void (*smp_thread_stop)(nand_dev* channel);
    // The management data's rle pass at start, the management data's read (the erase-block map
    // and every block's headers: 0 or an error, which leaves the card unattachable), and the
    // per-bank bad-pad-mask chains built after it was read (0, or the OR of the chains'
    // statuses). Default: 0.
    int (*mgmt_data_rle_scan)(nand_dev* channel);
    int (*bad_pad_mask_chains)(nand_dev* channel);
    int (*mgmt_data_read)(nand_dev* channel);
    // What the bring-up hung on the erase-block information (the erase-block map) goes before
    // the information does. Default: nothing.
    void (*ebinfo_release)(nand_dev* channel);
};

int owner_request_finished(nand_dev* channel, velkor_request* request);
int owner_no_read_count_policy(nand_dev* channel, USHORT eb, ULONG64 read_count);
ULONG owner_no_read_level(nand_dev* channel, USHORT eb, ULONG pad);
void owner_no_eb_notice(nand_dev* channel, USHORT eb);
void owner_drop_env_word(nand_dev* channel, ULONG word, int check_spurious);
void owner_no_mel_alert(nand_dev* channel, USHORT eb, int counters_set);
void owner_no_step(nand_dev* channel);
int owner_step_done(nand_dev* channel);

inline constexpr channel_owner_ops channel_owner_defaults = {
    owner_request_finished,
    owner_no_read_count_policy,
    owner_no_read_level,
    owner_no_eb_notice,  // readlevel_eb_update
    owner_no_step,       // readlevel_refresh_all
    owner_drop_env_word,
    owner_no_mel_alert,
    owner_no_step,     // check_lost_bus
    owner_step_done,   // check_fpga_voltages
    owner_step_done,   // nand_controller_init
    owner_step_done,   // ebinfo_init
    owner_no_step,     // program_env_alarms
    owner_no_step,     // channel_monitors_setup
    owner_step_done,   // read_recovery_init
    owner_no_step,     // read_recovery_free
    owner_no_step,     // readlevel_free
    owner_no_step,     // smp_thread_start
    owner_no_step,     // smp_thread_stop
    owner_step_done,   // mgmt_data_rle_scan
    owner_step_done,   // bad_pad_mask_chains
    owner_step_done,   // mgmt_data_read
    owner_no_step,     // ebinfo_release
};
