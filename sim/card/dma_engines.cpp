#include "sim/card/dma_engines.h"

#include <vector>

#include "sim/card/card_state.h"

namespace sim::card {
namespace {

constexpr uint32_t stop_bits = 0x600;
constexpr uint32_t reset_bit = 0x800000;

bool is_on(uint32_t word) {
    return (word & 1) != 0 && (word & (stop_bits | reset_bit)) == 0;
}

}  // namespace

int DmaEngines::index_of(uint32_t offset) {
    switch (offset) {
        case port_a_engine: return 0;
        case ring_engine: return 1;
        case port_b_engine: return 2;
        default: return -1;
    }
}

uint32_t DmaEngines::read(uint32_t offset) const {
    int i = index_of(offset);
    if (i < 0) {
        switch (offset) {
            case 0x018: return length_;
            case 0x01C: return bank_select_;
            case 0x020: return address_low_;
            case 0x024: return address_high_;
            default: return 0;
        }
    }
    // The stop and the reset are done by the time anyone reads: their bits read clear unless a
    // fault holds them.
    uint32_t stuck = 0;
    if (const Fault* f = card_.faults.find("engine_stuck");
        f != nullptr && (!f->has("engine") || f->get("engine", 0) == offset)) {
        stuck = (uint32_t)f->get("bits", stop_bits | reset_bit);
    }
    return control_[(size_t)i] & ~((stop_bits | reset_bit) & ~stuck);
}

void DmaEngines::write(uint32_t offset, uint32_t value) {
    int i = index_of(offset);
    if (i < 0) {
        switch (offset) {
            case 0x018: length_ = value; break;
            case 0x01C: bank_select_ = value; break;  // data placement follows the rows, not this
            case 0x020: address_low_ = value; break;
            case 0x024: address_high_ = value; descriptor_complete(); break;
            default: break;
        }
        return;
    }
    control_[(size_t)i] = value;
    if ((value & reset_bit) != 0 && offset == ring_engine) {
        card_.ring.engine_reset();
    }
}

bool DmaEngines::all_on() const {
    return is_on(control_[0]) && is_on(control_[1]) && is_on(control_[2]);
}

void DmaEngines::descriptor_complete() {
    uint32_t length = length_;
    if ((length & 0x80000000u) != 0) {
        card_.protocol_fault("stray_bit31", 0x018, length_, "bit 31 on a control-window descriptor length");
        length &= 0x7FFFFFFFu;
    }
    uint64_t address = (uint64_t)address_high_ << 32 | address_low_;
    if (length % 8 != 0 || address % 8 != 0) {
        card_.inspector.counters.unaligned_dma++;
    }
    std::vector<uint8_t> bytes(length);
    card_.host.read(address, bytes.data(), length, "port A descriptor");
    card_.port_a_source(std::move(bytes));
}

void DmaEngines::reset() {
    control_ = {};
    length_ = bank_select_ = address_low_ = address_high_ = 0;
}

}  // namespace sim::card
