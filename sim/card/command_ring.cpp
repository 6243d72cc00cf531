#include "sim/card/command_ring.h"

#include <algorithm>

#include "sim/card/card_state.h"

namespace sim::card {
namespace {
constexpr uint32_t base_low = 0x120, base_high = 0x124, bytes_register = 0x128;
constexpr uint32_t fetch_limit_register = 0x11C, consumed_register = 0x12C, replayed_register = 0x130;
}  // namespace

uint32_t CommandRing::queued_entries() const {
    uint32_t n = 0;
    for (uint32_t d : doorbells_) {
        n += d;
    }
    return n;
}

uint32_t CommandRing::read(uint32_t offset) {
    switch (offset) {
        case base_low: return base_low_;
        case base_high: return base_high_;
        case bytes_register: return bytes_;
        case fetch_limit_register: return (consumed_ + queued_entries()) % entries;
        case consumed_register: return consumed_;
        case replayed_register: return (uint32_t)replayed_;
        case credit: {
            if (card_.faults.take("credit_unreadable").has_value()) {
                return 0xFFFFFFFF;
            }
            uint32_t held = std::min<uint32_t>((uint32_t)doorbells_.size(), 1023);
            return held | ((entries - consumed_) % entries) << 13;
        }
        default: return 0;
    }
}

void CommandRing::write(uint32_t offset, uint32_t value) {
    switch (offset) {
        case base_low: base_low_ = value; return;
        case base_high: base_high_ = value; return;
        case bytes_register:
            bytes_ = value;
            latched_ = value == ring_bytes;
            if (!latched_) {
                card_.protocol_fault("ring_size", offset, value, "command ring bytes other than 0x100000");
            }
            consumed_ = 0;
            doorbells_.clear();
            replay_.clear();
            generation_++;
            return;
        case doorbell: break;
        default: return;  // the diagnostics and the credit word are read-only
    }
    uint32_t bytes = value;
    if (bytes % 8 != 0 || bytes == 0 || bytes > ring_bytes) {
        card_.protocol_fault("doorbell_align", offset, value, "doorbell not a multiple of 8, 0 or too large");
        bytes = std::min(bytes, ring_bytes) & ~7u;
    }
    uint32_t n = bytes / 8;
    uint32_t room = entries - queued_entries();
    if (n > room) {
        card_.protocol_fault("doorbell_overrun", offset, value, "more entries announced than the ring holds");
        n = room;
    }
    if (n == 0) {
        return;
    }
    doorbells_.push_back(n);
    card_.inspector.counters.doorbells++;
}

bool CommandRing::may_fetch() const {
    return latched_ && !doorbells_.empty() && (!held_ || allowance_ > 0) && card_.dma_allowed() &&
           !card_.faults.active("stop_answering");
}

void CommandRing::fetch() {
    uint32_t n = doorbells_.front();
    doorbells_.pop_front();
    if (held_) {
        allowance_--;
    }
    uint64_t base = (uint64_t)base_high_ << 32 | base_low_;
    std::vector<uint32_t> words(2 * (size_t)n);
    uint32_t first = std::min(n, entries - consumed_);
    card_.host.read(base + 8ull * consumed_, words.data(), 8ull * first, "command ring");
    if (first < n) {
        card_.host.read(base, words.data() + 2 * (size_t)first, 8ull * (n - first), "command ring");
    }
    for (uint32_t i = 0; i < n; i++) {
        replay_.push_back({words[2 * i], words[2 * i + 1], (consumed_ + i) % entries});
    }
    consumed_ = (consumed_ + n) % entries;
    card_.inspector.counters.doorbells_fetched++;
    card_.inspector.counters.entries_fetched += n;
}

bool CommandRing::replayable(const Entry& e) {
    if (e.reg % 4 != 0 || e.reg > 0xFFFC) {
        card_.protocol_fault("register_misaligned", e.reg, e.value, "ring entry register not a multiple of 4 below 0x10000");
        return false;
    }
    if (e.reg == doorbell || (e.reg >= base_low && e.reg <= bytes_register) || e.reg == credit ||
        Msix::claims(e.reg)) {
        card_.protocol_fault("register_not_replayable", e.reg, e.value, "ring entry to a register the ring may not write");
        return false;
    }
    return true;
}

bool CommandRing::step(unsigned budget) {
    bool progress = false;
    while (budget > 0 && latched_ && card_.engines.all_on() && !card_.halted && card_.dma_allowed()) {
        if (replay_.empty()) {
            if (!may_fetch()) {
                break;
            }
            fetch();
            progress = true;
            continue;
        }
        Entry e = replay_.front();
        uint64_t generation = generation_;
        current_ = e.index;
        if (replayable(e)) {
            if (!card_.write(e.reg, e.value, Source::ring)) {
                current_ = no_entry;
                break;  // it must wait: the same entry again later
            }
            card_.inspector.trace(e.index, e.reg, e.value, card_.now());
            card_.inspector.counters.entries_replayed++;
            replayed_++;
        }
        current_ = no_entry;
        if (generation == generation_) {
            replay_.pop_front();
        }
        progress = true;
        budget--;
        card_.entry_done();
    }
    return progress;
}

void CommandRing::engine_reset() {
    consumed_ = (consumed_ + queued_entries()) % entries;
    doorbells_.clear();
    replay_.clear();
    generation_++;
}

void CommandRing::channel_reset() {
    consumed_ = 0;
    doorbells_.clear();
    replay_.clear();
    generation_++;
}

void CommandRing::power_on() {
    base_low_ = base_high_ = bytes_ = 0;
    latched_ = false;
    consumed_ = 0;
    doorbells_.clear();
    replay_.clear();
    replayed_ = 0;
    current_ = no_entry;
    held_ = false;
    allowance_ = 0;
    generation_++;
}

}  // namespace sim::card
