// The card as the machine sees it. So far it answers configuration space (reads and writes of
// 1, 2 or 4 bytes at offsets below 4096, through the PCI bus of the kernel stand-in); the BAR
// windows, rings, media and the controller join it as the driver comes to use them.
//
// One card mutex guards the card's state; every access takes it on the caller's thread.
#pragma once

#include <mutex>

#include "sim/card/config.h"
#include "sim/card/pci_function.h"
#include "sim/kernel/pci_bus.h"

namespace sim::card {

class Card : public sim::kernel::pci_config_space {
  public:
    explicit Card(const CardConfig& config = {});

    // An access of another size, or one that leaves the space, reads all ones and writes
    // nothing; so does every access while the bus is lost.
    ULONG config_read(ULONG offset, ULONG size) override;
    void config_write(ULONG offset, ULONG size, ULONG value) override;

    // The card drops off the bus (surprise removal, a dead link) or comes back.
    void set_bus_lost(bool lost);
    bool bus_lost();

    bool msix_enabled();
    bool msix_function_masked();
    const CardConfig& config() const { return config_; }

  private:
    static bool valid_access(ULONG offset, ULONG size);

    const CardConfig config_;
    std::mutex mutex_;
    PciFunction pci_;
    bool bus_lost_ = false;
};

}  // namespace sim::card
