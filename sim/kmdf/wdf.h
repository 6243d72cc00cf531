// The Kernel-Mode Driver Framework as the driver sees it on this machine: one header for the
// whole framework stand-in (reached through driver/platform/os.h, never directly).
#pragma once

#include "sim/kmdf/childlist.h"
#include "sim/kmdf/device.h"
#include "sim/kmdf/driver.h"
#include "sim/kmdf/interface.h"
#include "sim/kmdf/interrupt.h"
#include "sim/kmdf/object.h"
#include "sim/kmdf/pnp.h"
#include "sim/kmdf/queue.h"
#include "sim/kmdf/registry.h"
#include "sim/kmdf/types.h"
#include "sim/kmdf/workitem.h"
