// The card's kinfo subtree: "dov%d/nand_dev" with the bus id and, per channel, the client's
// name, the per-type statistics (totals, and the growth since the last reading) and the
// geometry values.
#pragma once

#include "driver/card/pipeline_device.h"
#include "driver/platform/os.h"

// 0 or a negative errno (nothing is left on failure); 0 without a channel. PASSIVE_LEVEL.
int nand_dev_kinfo_create(pipeline_device* card);
void nand_dev_kinfo_remove(pipeline_device* card);
