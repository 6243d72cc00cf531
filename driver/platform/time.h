// Coarse time in microseconds, from the system tick count: one tick of resolution.
#pragma once

#include "driver/platform/os.h"

// Microseconds since boot: tick count x clock increment (100 ns units) / 10. Any IRQL.
ULONGLONG kpav_get_usecs();
// Microseconds of `ticks` clock ticks, counted in whole microseconds per tick.
ULONGLONG kpav_ticks_to_usecs(ULONGLONG ticks);
// Whole microseconds per tick for a clock increment: 1000000 / (10000000 / increment), so an
// increment that does not divide a second evenly is rounded (100144 gives 10101, not 10014.4).
ULONG kpav_usecs_per_tick(ULONG increment);
