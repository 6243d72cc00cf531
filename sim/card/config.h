// CardConfig: one record for the whole card. Each component of the model takes its own part
// of it; what is here is the PCI function's part (identity, link, power figures, the
// capability chain and the error bits a card presents at power-on). Defaults are a healthy
// card's.
#pragma once

#include <cstdint>

namespace sim::card {

struct PciConfig {
    uint16_t vendor = 0x5EC7;
    uint16_t device = 0x0301;
    uint16_t subsys_vendor = 0x5EC7;
    uint16_t subsys_device = 0x0010;
    uint8_t revision = 0x01;
    uint32_t class_code = 0x018000;  // mass storage, other

    // Link capabilities and status.
    uint8_t link_speed = 2;  // 5 GT/s
    uint8_t link_width = 8;

    // Slot power limit. Without an implemented slot the figure is the captured value in the
    // device capabilities; with one it is also in the slot capabilities, and the PCI Express
    // capabilities register says the slot is implemented.
    uint32_t slot_power_mw = 25000;
    bool slot_implemented = false;

    // Aggregate counters of the vendor capability at 0x100.
    uint32_t aggregate0 = 0x00010000;
    uint32_t aggregate1 = 0x0E000000;

    // Variants of the capability chains.
    bool aer = true;             // false: the vendor capability is the last extended one
    bool cap_loop = false;       // the PCI Express capability points back to the first one
    bool pcie_cap = true;        // false: the standard list holds no PCI Express capability
    bool ext_cap_loop = false;   // the vendor capability points at itself

    // Error bits latched at power-on (they clear when written with ones).
    uint16_t device_status = 0;           // bits 0-3: correctable, non-fatal, fatal, unsupported
    uint32_t aer_uncorrectable_status = 0;  // e.g. bit 20, unsupported request
    uint32_t aer_correctable_status = 0;    // e.g. bit 13, advisory non-fatal
};

struct CardConfig {
    PciConfig pci;
};

}  // namespace sim::card
