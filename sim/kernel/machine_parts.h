// Internal to the stand-in: how boot reaches the parts of the machine that keep state.
#pragma once

#include <string>

#include "sim/kernel/control.h"

namespace sim::kernel::parts {

void reset_processors(const machine_config& config);
void reset_debug();
void reset_registry();  // registry.cpp
void reset_pci_bus();   // pci_bus.cpp: unplugs every function, clears the port latch
void reset_mmio();      // mmio.cpp: detaches every device, drops every mapping
void reset_pnp();       // pnp.cpp: NUMA nodes of devices, symbolic links
void reset_interrupts();  // interrupt.cpp: message targets and counters
void echo_to_log(const std::string& text);

}  // namespace sim::kernel::parts
