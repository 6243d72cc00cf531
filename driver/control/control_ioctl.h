// The control interface's entry for a card's requests: the Linux-style number and the caller's
// record as the device shell locked it (control_record.h). 0 or a negative errno:
// -KPAV_EINVAL for a number refused while the card's lock mode is held or while it runs in
// minimal mode (with the refusal's message), -KPAV_ENOTTY for a number that is not the card's
// (the shell then tries its driver-private requests).
//
// Requests are told apart by exact comparison: those served here (the channel count, interface
// level, parameter count, version text, NV format bytes, write-mode summary, raw-access holds,
// attach, block-device pass-through, format, the MEL requests), the handlers of
// control_handlers.h, the partition and data-device requests of the store, and every other
// number for the device-level dispatcher (ioctl_device.h).
#pragma once

#include "driver/card/pipeline_device.h"
#include "driver/control/control_record.h"
#include "driver/platform/os.h"

int Control_ioctl(pipeline_device* card, ULONG number, const control_record* record);

// The lock-mode operation (PAV_IOCTL_LOCK_MODE's 8-byte record: u32 operation at 0, u32 owner
// id at 4): 0 release, 1 take, 2 query, 3 clear. 0, -KPAV_EBUSY (taken already, or held for a
// query), -KPAV_EINVAL (an unknown operation, or a release of a lock not held once),
// -KPAV_EFAULT. Any operation that runs writes the owner id back at 4. PASSIVE_LEVEL.
int lock_mode_operation(pipeline_device* card, const control_record* record);

// PAV_IOCTL_HOLD (`take`) and PAV_IOCTL_RELEASE: the record's i32 must be 0 or below
// (-KPAV_EINVAL). A hold is refused with -KPAV_EBUSY while the data device has the card claimed;
// a release without a hold with -KPAV_EINVAL. PASSIVE_LEVEL.
int raw_access_hold(pipeline_device* card, bool take, const control_record* record);
