// Internal to the stand-in: the failure-injection plan (see control.h).
#pragma once

#include "sim/kernel/control.h"

namespace sim::kernel::faults {

// Counts one attempt at `site` (for `tag`, 0 = untagged) and says whether it must fail.
bool should_fail(fault_site site, ULONG tag = 0);
void reset();

}  // namespace sim::kernel::faults
