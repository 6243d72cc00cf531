// The card's PCI function: its 4 KiB configuration image with per-byte write masks, the
// write-1-to-clear bits, and the capability chains as a healthy card or one of its configured
// variants presents them.
//
// Standard capabilities: power management at 0x40, MSI-X at 0x50, PCI Express at 0x70.
// Extended capabilities: the vendor capability with the two aggregate counters at 0x100, then
// Advanced Error Reporting at 0x140.
#pragma once

#include <cstdint>

#include "sim/card/config.h"

namespace sim::card {

class PciFunction {
  public:
    static constexpr uint32_t config_size = 4096;
    static constexpr uint32_t pm_cap = 0x40;
    static constexpr uint32_t msix_cap = 0x50;
    static constexpr uint32_t pcie_cap = 0x70;
    static constexpr uint32_t vendor_ext_cap = 0x100;
    static constexpr uint32_t aer_cap = 0x140;

    explicit PciFunction(const PciConfig& config);

    // `size` is 1, 2 or 4 and the access lies inside the space (the caller checks).
    uint32_t read(uint32_t offset, uint32_t size) const;
    // Read-only bits keep their value, writable bits take the new one, and write-1-to-clear
    // bits written with 1 clear.
    void write(uint32_t offset, uint32_t size, uint32_t value);

    bool msix_enabled() const;
    bool msix_function_masked() const;
    // BAR 0's address, as the host (or the machine's firmware) programmed it.
    uint64_t bar_address() const;

    // The slot power limit as the PCI Express registers encode it: an 8-bit value and a scale
    // of 1000, 100, 10 or 1 mW per unit (the finest scale that holds the figure exactly).
    static void encode_power(uint32_t milliwatts, uint32_t* value, uint32_t* scale);

  private:
    void put(uint32_t offset, uint32_t size, uint32_t value, uint32_t writable = 0, uint32_t clear_on_one = 0);

    uint8_t image_[config_size] = {};
    uint8_t writable_[config_size] = {};
    uint8_t clear_on_one_[config_size] = {};
};

}  // namespace sim::card
