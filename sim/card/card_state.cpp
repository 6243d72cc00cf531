// The card's register dispatch by window, and the resets that touch every part.

#include "sim/card/card_state.h"

#include "sim/kernel/control.h"

namespace sim::card {

CardState::CardState(const CardConfig& c) : config(c), pci(c.pci), plain_(bar_size / 4, 0) {}

uint64_t CardState::now() const {
    return sim::kernel::machine_time();
}

uint32_t CardState::read(uint32_t offset) {
    if (DmaEngines::claims(offset)) {
        return engines.read(offset);
    }
    if (CommandRing::claims(offset)) {
        return ring.read(offset);
    }
    if (offset > 0x2004 && offset < 0x4000) {
        return 0;  // the read-side engine's diagnostics
    }
    if (CompletionUnit::claims(offset)) {
        return completions.read(offset);
    }
    if (ControlRegisters::claims(offset)) {
        return control.read(offset);
    }
    if (Msix::claims(offset)) {
        return msix.read(offset);
    }
    return plain_[offset / 4];
}

bool CardState::write(uint32_t offset, uint32_t value, Source source) {
    (void)source;
    if (DmaEngines::claims(offset)) {
        engines.write(offset, value);
    } else if (CommandRing::claims(offset)) {
        ring.write(offset, value);
    } else if (CompletionUnit::claims(offset)) {
        completions.write(offset, value);
    } else if (ControlRegisters::claims(offset)) {
        control.write(offset, value);
    } else if (Msix::claims(offset)) {
        msix.write(offset, value);
    } else {
        plain_[offset / 4] = value;
    }
    return true;
}

void CardState::protocol_fault(const char* code, uint32_t reg, uint32_t value, const std::string& text) {
    inspector.protocol_faults.push_back({code, ring.current_index(), reg, value, text});
    if (config.channel.strict) {
        halted = true;
    }
}

void CardState::stray_dma(uint64_t address, uint64_t length, bool to_host, const char* context) {
    inspector.stray_dma.push_back({address, length, to_host, context});
    if (config.channel.strict) {
        halted = true;
    }
    if (const Fault* f = faults.find("stray_dma_event")) {
        events.post((uint32_t)f->get("event", 96));
    }
}

bool CardState::step(unsigned budget) {
    bool progress = false;
    uint64_t t = now();
    if (auto due = completions.next_due(); due.has_value() && *due <= t) {
        completions.post_due(t);
        progress = true;
    }
    if (!halted && ring.step(budget)) {
        progress = true;
    }
    return progress;
}

std::optional<uint64_t> CardState::next_deadline() const {
    return completions.next_due();
}

void CardState::power_on() {
    for (uint32_t& r : plain_) {
        r = 0;
    }
    msix.power_on();
    completions.power_on();
    events.power_on();
    engines.reset();
    ring.power_on();
    control.power_on();
    halted = false;
    bus_lost = false;
    powered = true;
}

void CardState::channel_reset() {
    engines.reset();
    ring.channel_reset();
    completions.drop_pending();
}

void CardState::port_a_source(std::vector<uint8_t> bytes) {
    (void)bytes;
}

bool CardState::page_buffers_hold_data() const {
    return false;
}

void CardState::persist_flush_settings() {}

void CardState::flush_page_buffers() {}

void CardState::entry_done() {}

}  // namespace sim::card
