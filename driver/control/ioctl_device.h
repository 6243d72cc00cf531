// The device-level dispatcher: the card's register, environment, NAND, management-processor,
// firmware and status requests, and the lock-mode operation. Numbers it does not serve answer
// -KPAV_ENOTTY.
#pragma once

#include "driver/card/pipeline_device.h"
#include "driver/control/control_record.h"
#include "driver/platform/os.h"

int ioctl_device(ULONG number, const control_record* record, pipeline_device* card);
