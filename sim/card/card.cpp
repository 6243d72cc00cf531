#include "sim/card/card.h"

namespace sim::card {

Card::Card(const CardConfig& config) : config_(config), pci_(config.pci) {}

bool Card::valid_access(ULONG offset, ULONG size) {
    return (size == 1 || size == 2 || size == 4) && offset < PciFunction::config_size &&
           offset + size <= PciFunction::config_size;
}

ULONG Card::config_read(ULONG offset, ULONG size) {
    std::lock_guard<std::mutex> g(mutex_);
    if (bus_lost_ || !valid_access(offset, size)) {
        return size == 1 ? 0xFFu : size == 2 ? 0xFFFFu : 0xFFFFFFFFu;
    }
    return pci_.read(offset, size);
}

void Card::config_write(ULONG offset, ULONG size, ULONG value) {
    std::lock_guard<std::mutex> g(mutex_);
    if (bus_lost_ || !valid_access(offset, size)) {
        return;
    }
    pci_.write(offset, size, value);
}

bool Card::bus_lost() {
    std::lock_guard<std::mutex> g(mutex_);
    return bus_lost_;
}

void Card::set_bus_lost(bool lost) {
    std::lock_guard<std::mutex> g(mutex_);
    bus_lost_ = lost;
}

bool Card::msix_enabled() {
    std::lock_guard<std::mutex> g(mutex_);
    return pci_.msix_enabled();
}

bool Card::msix_function_masked() {
    std::lock_guard<std::mutex> g(mutex_);
    return pci_.msix_function_masked();
}

}  // namespace sim::card
