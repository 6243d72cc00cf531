// The control interface's entry for a card's requests: the Linux-style number and the caller's
// buffer. 0 or a negative errno; -KPAV_ENOTTY for a number it does not know (the shell then tries
// its driver-private requests), -KPAV_EINVAL for one refused in lock or minimal mode.
//
// The request handlers join here as they are built; until then every number is unknown.
#pragma once

#include "driver/card/pipeline_device.h"
#include "driver/platform/os.h"

int Control_ioctl(pipeline_device* card, ULONG number, void* buffer);

