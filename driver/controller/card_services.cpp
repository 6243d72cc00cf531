#include "driver/controller/card_services.h"

#include "driver/block/bio.h"
#include "driver/controller/card_list.h"
#include "driver/controller/environment.h"
#include "driver/controller/read_levels.h"
#include "driver/controller/startup.h"
#include "driver/log/mel.h"
#include "driver/log/mgmt.h"
#include "driver/pipeline/channel_setup.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/platform/kassert.h"

namespace {

// The watchdog's lost-bus check of a channel is its card's.
void channel_lost_bus_check(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (channel->card != nullptr) {
        check_lost_bus(channel->card);
    }
}

}  // namespace

// Read recovery, read levels, the NAND controller's initialisation and the erase-block
// information's creation with its geometry come with the controller's bring-up; until then their
// slots keep the plain rules.
constexpr channel_owner_ops controller_channel_ops = [] {
    channel_owner_ops ops = channel_owner_defaults;
    ops.check_lost_bus = channel_lost_bus_check;
    ops.env_interrupt = env_interrupt;
    ops.check_fpga_voltages = check_fpga_voltages;
    ops.program_env_alarms = program_env_alarms;
    ops.eb_pad_read_level = readlevel_eb_word;
    ops.readlevel_free = readlevel_free;
    ops.readlevel_eb_update = readlevel_eb_update;
    ops.readlevel_refresh_all = readlevel_refresh_all;
    ops.mgmt_data_rle_scan = mgmt_data_rle_scan;
    ops.mgmt_data_read = mgmt_data_read_at_start;
    ops.bad_pad_mask_chains = mgmt_bad_pad_mask_chains;
    ops.ebinfo_release = mel_free;
    return ops;
}();

constexpr cpu_wq_ops controller_cpu_wq_ops = {
    pipeline_run_completions,
    pipeline_rearm_queues,
    pipeline_drain_cpu_queue,
    pipeline_request_of_link,
    pipeline_trim_cached_requests,
    bio_end_deferred,
    pav_driver_list_walk,
};
