// The card's register dispatch by window, the engine's step, and what touches every part:
// power on and off, the channel reset, power cuts.

#include "sim/card/card_state.h"

#include "sim/kernel/control.h"

namespace sim::card {

CardState::CardState(const CardConfig& c)
    : config(c),
      pci(c.pci),
      media(std::make_unique<MediaStore>(c, c.media_path)),
      holdup(c.channel.holdup),
      torn_program(c.channel.torn_program),
      plain_(bar_size / 4, 0) {}

uint64_t CardState::now() const {
    return sim::kernel::machine_time();
}

bool CardState::owns(uint32_t offset) {
    return offset < NandWindow::base || NandWindow::claims(offset) || ControlRegisters::claims(offset) ||
           Msix::claims(offset);
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
    // A ring entry and an MMIO write go through the same handlers; the controller side's
    // microcode port is reached after the card's mutex is released.
    if (source == Source::ring && for_controller_side(offset)) {
        for_controller.push_back({offset, value});
        return true;
    }
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
        plain_[offset / 4] = value;  // what the NAND window's registers read back too
        if (NandWindow::claims(offset)) {
            return window.write(offset - NandWindow::base, value);
        }
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
    if (!powered) {
        return false;
    }
    bool progress = false;
    uint64_t t = now();
    if (auto due = completions.next_due(); due.has_value() && *due <= t) {
        completions.post_due(t);
        progress = true;
    }
    if (nand.finish_due(t)) {
        rows.start_ready();
        progress = true;
    }
    if (cut.pending) {
        power_loss();
        return true;
    }
    if (!halted && ring.step(budget)) {
        progress = true;
    }
    return progress;
}

std::optional<uint64_t> CardState::next_deadline() const {
    std::optional<uint64_t> a = completions.next_due();
    std::optional<uint64_t> b = powered ? nand.next_due() : std::nullopt;
    if (!a.has_value()) {
        return b;
    }
    return b.has_value() && *b < *a ? b : a;
}

bool CardState::flush_enabled() const {
    return (control.powercut_flush() & 1) != 0 && holdup == Holdup::present;
}

void CardState::power_on() {
    // What a kill left in the page buffers is settled as the power cut would have, with the
    // flush setting the card had then.
    bool flush = (media->persisted_powercut() & 1) != 0 && media->persisted_holdup() == Holdup::present;
    media->power_loss(flush, torn_program, config.channel.pcut_byte);
    for (uint32_t& r : plain_) {
        r = 0;
    }
    msix.power_on();
    completions.power_on();
    events.power_on();
    engines.reset();
    ring.power_on();
    control.power_on();
    rows.forget_all();
    port_a.reset();
    reads.reset();
    window.reset();
    direct.power_on();
    nand.power_loss(false);
    media->set_flush_settings(0, 0, holdup);
    cut = CutPlan{};
    halted = false;
    bus_lost = false;
    powered = true;
}

void CardState::power_loss() {
    bool flush = flush_enabled();
    nand.power_loss(flush);
    inspector.counters.rows_flushed += media->power_loss(flush, torn_program, config.channel.pcut_byte);
    rows.forget_all();
    port_a.reset();
    reads.reset();
    window.reset();
    completions.drop_pending();
    inspector.counters.power_cuts++;
    cut = CutPlan{};
    powered = false;
}

void CardState::channel_reset() {
    engines.reset();
    events.drop_latched();
    ring.channel_reset();
    completions.drop_pending();
    port_a.reset();
    rows.drop_unstarted();
    reads.reset();
    window.reset();
    nand.silence();
}

void CardState::note_program() {
    const CardCounters& c = inspector.counters;
    if ((cut.packets.has_value() && c.packets_programmed >= *cut.packets) ||
        (cut.programs.has_value() && c.programs >= *cut.programs)) {
        cut.pending = true;
    }
}

void CardState::port_a_source(std::vector<uint8_t> bytes) {
    port_a.source(std::move(bytes));
}

bool CardState::page_buffers_hold_data() const {
    return rows.hold_data();
}

void CardState::persist_flush_settings() {
    media->set_flush_settings(control.brownout_flush(), control.powercut_flush(), holdup);
}

void CardState::flush_page_buffers() {
    // The simulated cut of 5020: rows programmed as the power-cut flush would, no reports, and
    // the card goes on.
    nand.abandon_programs();
    inspector.counters.rows_flushed += media->power_loss(true, torn_program, config.channel.pcut_byte);
    rows.forget_all();
    port_a.reset();
}

void CardState::entry_done() {
    if (cut.entries.has_value() && inspector.counters.entries_replayed >= *cut.entries) {
        cut.pending = true;
    }
    if (cut.pending) {
        power_loss();
    }
}

}  // namespace sim::card
