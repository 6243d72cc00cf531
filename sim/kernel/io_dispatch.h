// Internal to the stand-in: where IoCallDriver finds the routine that serves a device.
//
// The devices the stand-in serves itself (the PCI bus's functions) register their routine
// here; a device without one answers every request with STATUS_INVALID_DEVICE_REQUEST.
#pragma once

#include "sim/kernel/irp.h"

namespace sim::kernel::io {

using dispatch_routine = NTSTATUS (*)(PDEVICE_OBJECT device, PIRP irp);

void set_dispatch(PDEVICE_OBJECT device, dispatch_routine routine);
void clear_dispatch(PDEVICE_OBJECT device);

}  // namespace sim::kernel::io
