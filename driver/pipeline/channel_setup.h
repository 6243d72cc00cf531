// A card's data channel as the card's bring-up drives it: set-up inside the card record, start,
// stop and free, each a table of steps; a failure found by the bring-up while the channel runs;
// and the work the per-processor threads do for the channel's requests and rings.
#pragma once

#include "driver/card/pipeline_device.h"
#include "driver/pipeline/channel_owner.h"
#include "driver/platform/os.h"

struct cpu_wq;
struct completion_queue;

// Sets up the card's channel with the bring-up's operations (`owner`; NULL: the defaults): the
// channel record, the command ring and the completion-ring records always; unless the card is in
// minimal mode, the completion rings and their registers, the NAND controller, the erase-block
// information, the flush records, the request pool, the monitors and read recovery. 0, the
// failing step's errno, or CHANNEL_FPGA_VOLTAGE_ERROR. PASSIVE_LEVEL.
int channel_pipeline_init(pipeline_device* card, const channel_owner_ops* owner);
// Starts the channel set up in full: interrupts, the health poll thread, the worker and the
// poller, the management data at start. 0 (also: no channel to start), CHANNEL_START_FAILED when
// a failure was reported during set-up or start, or the failing step's errno. PASSIVE_LEVEL.
int channel_pipeline_start(pipeline_device* card);
// Undoes the start; the free undoes everything (safe on a partly set-up channel). PASSIVE_LEVEL.
void channel_pipeline_stop(pipeline_device* card);
void channel_pipeline_free(pipeline_device* card);
// A failure the bring-up finds while the channel runs (a lost bus) fails the channel: its
// requests end, it takes its dump when asked. Nothing without a channel. At most DISPATCH_LEVEL.
void fail_card_channel(pipeline_device* card, bool dump, ULONG reason);

// A failure reported while set-up or start held failures back.
constexpr int CHANNEL_START_FAILED = -1030;
constexpr int CHANNEL_FPGA_VOLTAGE_ERROR = -4096;

// ---- The per-processor threads' work for the channels (on the processor's own thread)
// Retires the completed requests of `completed` as one batch; returns how many ran.
ULONG pipeline_run_completions(LIST_ENTRY* completed, cpu_wq* record);
// Re-arms completion queues remembered during a pass.
void pipeline_rearm_queues(completion_queue* const* queues, ULONG count);
// Drains the card's completion queue of processor `cpu` once more as that processor's thread ends.
void pipeline_drain_cpu_queue(pipeline_device* card, ULONG cpu);
// The request that embeds a completed-list link (for the per-processor dump).
void* pipeline_request_of_link(LIST_ENTRY* link);
// Returns the card's requests cached for processor `cpu` that waited there more than 5 s.
void pipeline_trim_cached_requests(pipeline_device* card, ULONG cpu);
