// The Windows kernel as the system's code sees it on this machine: one header for the whole
// stand-in (reached through driver/platform/os.h, never directly).
#pragma once

#include <cstdarg>
#include <cstring>

#include "sim/kernel/bitmap.h"
#include "sim/kernel/bugcheck.h"
#include "sim/kernel/clock.h"
#include "sim/kernel/debug.h"
#include "sim/kernel/dpc.h"
#include "sim/kernel/interlocked.h"
#include "sim/kernel/interrupt.h"
#include "sim/kernel/io.h"
#include "sim/kernel/irp.h"
#include "sim/kernel/irql.h"
#include "sim/kernel/mdl.h"
#include "sim/kernel/mmio.h"
#include "sim/kernel/object.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/ports.h"
#include "sim/kernel/processors.h"
#include "sim/kernel/registry.h"
#include "sim/kernel/rtl_string.h"
#include "sim/kernel/storage.h"
#include "sim/kernel/strsafe.h"
#include "sim/kernel/sync.h"
#include "sim/kernel/thread.h"
#include "sim/kernel/types.h"
#include "sim/kernel/workitem.h"
