// The data channel of a card: its set-up inside the card record, its start, stop and free, as
// the card's bring-up calls them, each a table of steps.
//
// Set-up runs at probe, before the card's interrupts are connected: the channel record, the
// command ring and the completion-ring records always; in minimal mode nothing more. Otherwise
// the completion rings, their registers and the engines, the NAND controller, the erase-block
// information and the request pool follow. Start releases the rings' interrupts and starts the
// worker and the poller; a channel failure reported during set-up or start is held back until
// the end of start, which then answers -1030.

#include "driver/pipeline/channel_setup.h"

#include "driver/card/pci_counters.h"

#include "driver/card/cpu_queues.h"
#include "driver/card/hw_reset.h"
#include "driver/pipeline/issue.h"
#include "driver/pipeline/nand_cmds.h"
#include "driver/pipeline/nand_kinfo.h"
#include "driver/pipeline/pipeline.h"
#include "driver/pipeline/pipeline_internal.h"
#include "driver/platform/cpu_wq.h"
#include "driver/platform/memory.h"
#include "driver/platform/params.h"

namespace {

constexpr ULONG setup_ebinfo = 0x1;
constexpr ULONG setup_pool = 0x2;

bool card_minimal(const nand_dev* channel) {
    return channel->card != nullptr && (channel->card->minimal_mode_reasons & 1) != 0;
}

void cq_window_write(nand_dev* channel, ULONG q, ULONG offset, ULONG value) {
    hw_write(channel, BAR_CQ_WINDOWS + q * CQ_WINDOW_BYTES + offset, value);
}

// ---- Set-up, the part that runs in minimal mode too

int step_fpga(void* context) {
    auto* channel = (nand_dev*)context;
    return channel->owner->check_fpga_voltages(channel) != 0 ? CHANNEL_FPGA_VOLTAGE_ERROR : 0;
}

int step_command_ring(void* context) {
    return hw_cmds_alloc((nand_dev*)context);
}

void undo_command_ring(void* context) {
    hw_cmds_free((nand_dev*)context);
}

// One ring, unless several are wanted and the controller can: then its capability says how many.
int step_cq_records(void* context) {
    auto* channel = (nand_dev*)context;
    pipeline_device* card = channel->card;
    ULONG count = 1;
    if (enable_multq_at_load != 0 && card->csr != nullptr) {
        count = card_cq_count(card->csr);
    }
    channel->cq_count = count;
    for (ULONG q = 0; q < CQ_MAX_RINGS; q++) {
        channel->cqs[q].owner = channel;
        channel->cqs[q].index = q;
        card->completion_queues[q] = q < count ? &channel->cqs[q] : nullptr;
    }
    card->completion_queue_count = count;
    return cpu_wq_attach_card(card);
}

void undo_cq_records(void* context) {
    auto* channel = (nand_dev*)context;
    pipeline_device* card = channel->card;
    cpu_wq_detach_card(card);
    for (completion_queue*& q : card->completion_queues) {
        q = nullptr;
    }
    card->special_queues[0] = card->special_queues[1] = nullptr;
    card->completion_queues_in_use = 0;
}

const kpav_step record_steps[] = {
    {"FPGA voltages", step_fpga, nullptr},
    {"command ring", step_command_ring, undo_command_ring},
    {"completion-queue records", step_cq_records, undo_cq_records},
};

// ---- Set-up, the rest

int step_cq_rings(void* context) {
    return cq_alloc((nand_dev*)context);
}

// A processor's completion thread may still be re-arming a ring after its last request
// retired: every thread finishes the pass it is in before the rings go.
void undo_cq_rings(void* context) {
    cpu_wq_kick_all();
    cq_free((nand_dev*)context);
}

int step_env_alarms(void* context) {
    auto* channel = (nand_dev*)context;
    channel->owner->program_env_alarms(channel);
    return 0;
}

int step_ring_registers(void* context) {
    hw_cmds_program_bases((nand_dev*)context);
    return 0;
}

// The engines stop before the memory they read goes.
void undo_ring_registers(void* context) {
    hw_cmds_quiesce((nand_dev*)context);
}

int step_nand_controller(void* context) {
    auto* channel = (nand_dev*)context;
    int rc = channel->owner->nand_controller_init(channel);
    if (rc < 0) {
        return rc;
    }
    // A channel that no NAND controller set-up gave banks and pads has nothing to run.
    if (channel->geometry.banks == 0 || channel->geometry.pads == 0) {
        return -KPAV_ENODEV;
    }
    // The credits as the card sees them now.
    hw_cmds_apply_credit_word(channel, hw_cmds_credit_word(channel));
    return 0;
}

int step_ebinfo(void* context) {
    auto* channel = (nand_dev*)context;
    int rc = channel->owner->ebinfo_init(channel);
    if (rc != 0) {
        channel->card->minimal_mode_reasons |= 1;
        return rc;
    }
    channel->setup_flags |= setup_ebinfo;
    return 0;
}

void undo_ebinfo(void* context) {
    auto* channel = (nand_dev*)context;
    if ((channel->setup_flags & setup_ebinfo) != 0) {
        channel->owner->ebinfo_release(channel);
        ebinfo_exit(channel);
    }
    channel->setup_flags &= ~setup_ebinfo;
}

int step_request_pool(void* context) {
    auto* channel = (nand_dev*)context;
    if (min_requests > max_requests) {
        kpav_print(KPAV_CLASS_WARNING, "%s: min_requests > max_request, reducing to %u", channel_name(channel),
                   (ULONG)max_requests);
        min_requests = max_requests;
    }
    int rc = pipeline_step_pool(channel);
    if (rc != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Inadequate memory - req alloc.\n", channel_name(channel));
        return rc;
    }
    channel->setup_flags |= setup_pool;
    return 0;
}

void undo_request_pool(void* context) {
    auto* channel = (nand_dev*)context;
    pipeline_undo_pool(channel);
    channel->setup_flags &= ~setup_pool;
}

int step_monitors(void* context) {
    auto* channel = (nand_dev*)context;
    channel->owner->channel_monitors_setup(channel);
    return channel->owner->read_recovery_init(channel);
}

void undo_monitors(void* context) {
    auto* channel = (nand_dev*)context;
    channel->owner->read_recovery_free(channel);
    channel->owner->readlevel_free(channel);
}

const kpav_step hardware_steps[] = {
    {"completion rings", step_cq_rings, undo_cq_rings},
    {"environment alarms", step_env_alarms, nullptr},
    {"ring registers", step_ring_registers, undo_ring_registers},
    {"request queues", pipeline_step_queues, nullptr},
    {"NAND controller", step_nand_controller, nullptr},
    {"erase-block information", step_ebinfo, undo_ebinfo},
    {"flush records", pipeline_step_flush_records, pipeline_undo_flush_records},
    {"request pool", step_request_pool, undo_request_pool},
    {"outstanding ring", pipeline_step_outstanding_ring, pipeline_undo_outstanding_ring},
    {"monitors and read recovery", step_monitors, undo_monitors},
};

// ---- Start

// Releases the rings' interrupts; at stop the hardware stops: every event masked, the rings'
// interrupts held, and a last re-trigger so that words still pending are seen by a poll.
int step_interrupts(void* context) {
    auto* channel = (nand_dev*)context;
    for (ULONG q = 0; q < channel->cq_count; q++) {
        cq_window_write(channel, q, CQW_HOLD, 0);
    }
    return 0;
}

void pipeline_hw_stop(void* context) {
    auto* channel = (nand_dev*)context;
    hw_write(channel, BAR_NAND + NAND_INTR_MASK, 0xFFFFFFFF);
    hw_write(channel, BAR_NAND + NAND_INTR_MASK2, 0xFFFFFFFF);
    cq_stop_interrupts(channel);
    for (ULONG q = 0; q < channel->cq_count; q++) {
        cq_window_write(channel, q, CQW_RETRIGGER, 1);
    }
}

int step_health_thread(void* context) {
    auto* channel = (nand_dev*)context;
    channel->owner->smp_thread_start(channel);
    return 0;
}

void undo_health_thread(void* context) {
    auto* channel = (nand_dev*)context;
    channel->owner->smp_thread_stop(channel);
}

// The end of the window in which failures were held back: one reported meanwhile fails start.
int step_deferred_failures(void* context) {
    auto* channel = (nand_dev*)context;
    kpav_spin_lock(&channel->deferral_lock);
    LONG flags = InterlockedAnd(&channel->deferral_flags, ~(FAIL_DEFER | FAIL_QUEUED | FAIL_QUEUED_DUMP));
    kpav_spin_unlock(&channel->deferral_lock);
    if ((flags & FAIL_QUEUED) == 0) {
        return 0;
    }
    kpav_print(KPAV_CLASS_ERROR, "%s: Error interrupt during initialization.\n", channel_name(channel));
    if ((flags & FAIL_QUEUED_DUMP) != 0) {
        csr_dump_request(channel->card, 1, nullptr, 1);
        channel_service_requests(channel);
    }
    return CHANNEL_START_FAILED;
}

int step_management_data(void* context) {
    auto* channel = (nand_dev*)context;
    int rc = channel->owner->mgmt_data_rle_scan(channel);
    if (rc != 0) {
        return rc;
    }
    if (channel->ecc_bypass != 0) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: ECC bypass mode, disabling LEB map and attach.\n", channel_name(channel));
        velkor_load_eb_map = 0;
        channel->init_blocked = 1;
    }
    if (velkor_load_eb_map != 0 && channel->owner->mgmt_data_read(channel) == 0 && channel->bad_pad_step != 0) {
        int status = channel->owner->bad_pad_mask_chains(channel);
        if (status != 0) {
            kpav_print(KPAV_CLASS_ERROR,
                       "%s: Failed to initialize NAND controller bad pad mask for all banks. (%d)\n",
                       channel_name(channel), status);
        }
    }
    if (channel->controller_flush_writes != 0) {
        hw_write(channel, BAR_NAND + NAND_BROWNOUT_FLUSH, 0xFFFFFFFF);
        hw_write(channel, BAR_NAND + NAND_POWERCUT_FLUSH, 1);
    }
    return 0;
}

const kpav_step start_steps[] = {
    {"completion interrupts", step_interrupts, pipeline_hw_stop},
    {"health poll thread", step_health_thread, undo_health_thread},
    {"pipeline threads", pipeline_step_threads, pipeline_undo_threads},
    {"deferred failures", step_deferred_failures, nullptr},
    {"management data", step_management_data, nullptr},
};

// ---- The channel on a card

const channel_backend_ops ring_backend = {
    hw_cmds_credit_word,
    hw_cmds_announce,
    [](nand_dev* channel, ULONG value) { hw_write(channel, BAR_NAND + NAND_CORECLK_DERATING, value); },
    cq_drain_write_ring,
    cq_drain_all,
    poll_completion_queues,
    cq_rings_empty,
    cq_stop_interrupts,
    nand_row_program,
    nand_program_start,
    issue_pad_row,
    issue_dma_transfer,
};

}  // namespace

int channel_pipeline_init(pipeline_device* card, const channel_owner_ops* owner) {
    PAGED_CODE();
    auto* channel = (nand_dev*)kpav_zalloc(sizeof(nand_dev), KPAV_TAG_MAL);
    if (channel == nullptr) {
        return -KPAV_ENOMEM;
    }
    nand_dev_init(channel, card);
    pci_counters_snapshot(card);
    channel->owner = owner != nullptr ? owner : &channel_owner_defaults;
    channel->backend = &ring_backend;
    channel->issue_table = request_issue_table;
    channel->client_name = "";
    kpav_spinlock_init(&channel->poll_lock, "poll");
    kpav_spinlock_init(&channel->intr_mask_lock, "interrupt mask");
    kpav_spinlock_init(&channel->stats_lock, "statistics");
    // Until start has run to its end, a channel failure is held back and reported by start.
    channel->deferral_flags = FAIL_DEFER;
    int rc = kpav_steps_run(&channel->setup, record_steps, ARRAYSIZE(record_steps), channel, channel_name(channel));
    if (rc != 0 || card_minimal(channel)) {
        return rc;
    }
    return kpav_steps_run(&channel->run, hardware_steps, ARRAYSIZE(hardware_steps), channel, channel_name(channel));
}

int channel_pipeline_start(pipeline_device* card) {
    PAGED_CODE();
    nand_dev* channel = card->nand;
    if (channel == nullptr || channel->run.done != ARRAYSIZE(hardware_steps)) {
        return 0;  // no channel to start (minimal mode)
    }
    return kpav_steps_run(&channel->start, start_steps, ARRAYSIZE(start_steps), channel, channel_name(channel));
}

void channel_pipeline_stop(pipeline_device* card) {
    PAGED_CODE();
    if (card->nand != nullptr) {
        kpav_steps_undo(&card->nand->start, card->nand);
    }
}

void channel_pipeline_free(pipeline_device* card) {
    PAGED_CODE();
    nand_dev* channel = card->nand;
    if (channel == nullptr) {
        return;
    }
    kpav_steps_undo(&channel->start, channel);
    cq_stop_interrupts(channel);
    kpav_steps_undo(&channel->run, channel);
    kpav_steps_undo(&channel->setup, channel);
    card->nand = nullptr;
    kpav_free(channel, KPAV_TAG_MAL);
}

void pipeline_rearm_queues(completion_queue* const* queues, ULONG count) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    for (ULONG i = 0; i < count; i++) {
        cq_rearm(queues[i]);
    }
}

void pipeline_drain_cpu_queue(pipeline_device* card, ULONG cpu) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (card->cpu_queues != nullptr && card->cpu_queues[cpu] != nullptr) {
        drain_completion_queue(card->cpu_queues[cpu]);
    }
}

void fail_card_channel(pipeline_device* card, bool dump, ULONG reason) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (card->nand != nullptr) {
        fail_channel(card->nand, dump ? 1 : 0, reason);
    }
}

int channel_reinit(nand_dev* channel) {
    PAGED_CODE();
    if (!channel_failed(channel)) {
        quiesce_channel(channel);
    }
    int rc = channel->owner->nand_controller_init(channel);
    if (rc < 0) {
        fail_channel(channel, 1, CHANNEL_FAIL_REINIT);
        return rc;
    }
    channel_set_state(channel, CHANNEL_STATE_RUNNING);
    return rc;
}
