#include "sim/card/pci_function.h"

namespace sim::card {

namespace {
constexpr uint32_t units_mw[4] = {1000, 100, 10, 1};
}

void PciFunction::encode_power(uint32_t milliwatts, uint32_t* value, uint32_t* scale) {
    for (uint32_t s = 0; s < 4; s++) {
        if (milliwatts % units_mw[s] == 0 && milliwatts / units_mw[s] <= 255) {
            *value = milliwatts / units_mw[s];
            *scale = s;
            return;
        }
    }
    // Not exact at any scale: the nearest figure the coarsest scale can say.
    *value = milliwatts / 1000 > 255 ? 255 : milliwatts / 1000;
    *scale = 0;
}

PciFunction::PciFunction(const PciConfig& c) {
    // Header.
    put(0x00, 2, c.vendor);
    put(0x02, 2, c.device);
    put(0x04, 2, 0, 0x0546);                          // command: I/O, memory, parity, SERR, INTx off
    put(0x06, 2, 0x0010, 0, 0xF900);                  // status: capability list; error bits RW1C
    put(0x08, 1, c.revision);
    put(0x09, 1, c.class_code & 0xFF);
    put(0x0A, 1, c.class_code >> 8 & 0xFF);
    put(0x0B, 1, c.class_code >> 16 & 0xFF);
    put(0x0C, 1, 0, 0xFF);                            // cache line size
    put(0x0E, 1, 0x00);                               // header type 0
    put(0x10, 4, 0x00000004, 0xFFFF0000);             // BAR 0: 64-bit memory, 64 KiB
    put(0x14, 4, 0x00000000, 0xFFFFFFFF);
    put(0x2C, 2, c.subsys_vendor);
    put(0x2E, 2, c.subsys_device);
    put(0x34, 1, pm_cap);
    put(0x3C, 1, 0, 0xFF);                            // interrupt line
    put(0x3D, 1, 1);                                  // interrupt pin A

    // Power management.
    put(pm_cap, 1, 0x01);
    put(pm_cap + 1, 1, msix_cap);
    put(pm_cap + 2, 2, 0x0003);
    put(pm_cap + 4, 2, 0, 0x0003);                    // power state

    // MSI-X: 16 vectors, table and pending bits in BAR 0.
    uint32_t after_msix = c.pcie_cap ? pcie_cap : (c.cap_loop ? pm_cap : 0);
    put(msix_cap, 1, 0x11);
    put(msix_cap + 1, 1, after_msix);
    put(msix_cap + 2, 2, 0x000F, 0xC000);             // function mask, enable
    put(msix_cap + 4, 4, 0x0000F000);
    put(msix_cap + 8, 4, 0x0000F800);

    // PCI Express.
    if (c.pcie_cap) {
        uint32_t value;
        uint32_t scale;
        encode_power(c.slot_power_mw, &value, &scale);
        put(pcie_cap, 1, 0x10);
        put(pcie_cap + 1, 1, c.cap_loop ? pm_cap : 0);
        put(pcie_cap + 2, 2, c.slot_implemented ? 0x0102 : 0x0002);
        put(pcie_cap + 4, 4, 0x1 | value << 18 | scale << 26);     // device capabilities
        put(pcie_cap + 8, 2, 0, 0x79FF);                           // device control
        put(pcie_cap + 10, 2, c.device_status & 0xF, 0, 0x000F);   // device status
        put(pcie_cap + 12, 4, (uint32_t)c.link_speed | (uint32_t)c.link_width << 4);
        put(pcie_cap + 16, 2, 0, 0xFFFF);                          // link control
        put(pcie_cap + 18, 2, (uint32_t)c.link_speed | (uint32_t)c.link_width << 4);
        put(pcie_cap + 20, 4, c.slot_implemented ? (value << 7 | scale << 15) : 0);
    }

    // Vendor capability with the aggregate counters, then AER.
    uint32_t after_vendor = c.ext_cap_loop ? vendor_ext_cap : (c.aer ? aer_cap : 0);
    put(vendor_ext_cap, 4, 0x000B | 1u << 16 | after_vendor << 20);
    put(vendor_ext_cap + 4, 4, c.aggregate0);
    put(vendor_ext_cap + 8, 4, c.aggregate1);
    if (c.aer) {
        put(aer_cap, 4, 0x0001 | 2u << 16);
        put(aer_cap + 4, 4, c.aer_uncorrectable_status, 0, 0xFFFFFFFF);
        put(aer_cap + 8, 4, 0, 0xFFFFFFFF);             // uncorrectable mask
        put(aer_cap + 12, 4, 0x00062030, 0xFFFFFFFF);   // uncorrectable severity
        put(aer_cap + 16, 4, c.aer_correctable_status, 0, 0xFFFFFFFF);
        put(aer_cap + 20, 4, 0x00002000, 0xFFFFFFFF);   // correctable mask
        put(aer_cap + 24, 4, 0, 0xFFFFFFFF);            // capabilities and control
    }
}

void PciFunction::put(uint32_t offset, uint32_t size, uint32_t value, uint32_t writable, uint32_t clear_on_one) {
    for (uint32_t i = 0; i < size; i++) {
        image_[offset + i] = (uint8_t)(value >> (8 * i));
        writable_[offset + i] = (uint8_t)(writable >> (8 * i));
        clear_on_one_[offset + i] = (uint8_t)(clear_on_one >> (8 * i));
    }
}

uint32_t PciFunction::read(uint32_t offset, uint32_t size) const {
    uint32_t value = 0;
    for (uint32_t i = 0; i < size; i++) {
        value |= (uint32_t)image_[offset + i] << (8 * i);
    }
    return value;
}

void PciFunction::write(uint32_t offset, uint32_t size, uint32_t value) {
    for (uint32_t i = 0; i < size; i++) {
        auto byte = (uint8_t)(value >> (8 * i));
        uint8_t& cell = image_[offset + i];
        cell = (uint8_t)((cell & ~writable_[offset + i]) | (byte & writable_[offset + i]));
        cell = (uint8_t)(cell & ~(byte & clear_on_one_[offset + i]));
    }
}

bool PciFunction::msix_enabled() const {
    return (read(msix_cap + 2, 2) & 0x8000) != 0;
}

bool PciFunction::msix_function_masked() const {
    return (read(msix_cap + 2, 2) & 0x4000) != 0;
}

uint64_t PciFunction::bar_address() const {
    return (uint64_t)(read(0x10, 4) & ~0xFu) | (uint64_t)read(0x14, 4) << 32;
}

}  // namespace sim::card
