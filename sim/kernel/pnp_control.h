// The Plug and Play manager's control surface, for the machine and for tests.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sim/kernel/io.h"
#include "sim/kernel/types.h"

namespace sim::kernel {

// The node IoGetDeviceNumaNode answers for the physical device object (none: not found).
void set_device_numa_node(PDEVICE_OBJECT physical_device, std::optional<USHORT> node);

// The target of a symbolic link ("\DosDevices\dov0", any case); none when there is no link.
std::optional<std::u16string> symbolic_link_target(const std::u16string& link_name);
std::vector<std::u16string> symbolic_links();

}  // namespace sim::kernel
