#include "sim/card/msix.h"

#include "sim/card/card_state.h"

namespace sim::card {

uint32_t Msix::read(uint32_t offset) const {
    if (offset >= pba_offset) {
        return offset == pba_offset ? pending_ : 0;
    }
    uint32_t entry = (offset - table_offset) / 16;
    return table_[entry][(offset - table_offset) % 16 / 4];
}

void Msix::write(uint32_t offset, uint32_t value) {
    if (offset >= pba_offset) {
        return;  // the pending bits are read-only
    }
    uint32_t entry = (offset - table_offset) / 16;
    uint32_t word = (offset - table_offset) % 16 / 4;
    table_[entry][word] = word == 3 ? (value & 1) : value;
    if (word == 3) {
        release_pending();
    }
}

bool Msix::may_present(unsigned vector) const {
    return card_.pci.msix_enabled() && !card_.pci.msix_function_masked() && (table_[vector][3] & 1) == 0;
}

void Msix::present(unsigned vector) {
    const auto& e = table_[vector];
    messages_.push_back({(uint64_t)e[0] | (uint64_t)e[1] << 32, e[2]});
    card_.inspector.counters.msix_signals[vector]++;
}

void Msix::signal(unsigned vector) {
    if (vector >= vectors || !card_.dma_allowed()) {
        return;
    }
    if (may_present(vector)) {
        present(vector);
    } else {
        pending_ |= 1u << vector;
    }
}

void Msix::release_pending() {
    if (!card_.dma_allowed()) {
        return;
    }
    for (unsigned v = 0; v < vectors; v++) {
        if ((pending_ & 1u << v) != 0 && may_present(v)) {
            pending_ &= ~(1u << v);
            present(v);
        }
    }
}

std::vector<MsixMessage> Msix::take_messages() {
    std::vector<MsixMessage> out;
    out.swap(messages_);
    return out;
}

void Msix::power_on() {
    for (auto& e : table_) {
        e = {0, 0, 0, 1};
    }
    pending_ = 0;
    messages_.clear();
}

}  // namespace sim::card
