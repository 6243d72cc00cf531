// What the card's bring-up hands to the objects it makes: the operations its data channel calls
// back (controller set-up, media tuning and the management data's passes at start), and the work
// of the driver's per-processor threads (request retirement, ring re-arming and drains, request
// cache trims, deferred bio ends, the card list).
#pragma once

#include "driver/pipeline/channel_owner.h"
#include "driver/platform/cpu_wq_ops.h"

extern const channel_owner_ops controller_channel_ops;
extern const cpu_wq_ops controller_cpu_wq_ops;
