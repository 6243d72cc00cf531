#include "sim/card/control_registers.h"

#include "sim/card/card_state.h"

namespace sim::card {
namespace {

enum : uint32_t {
    r_control = 0x9000,
    r_derating = 0x9014,
    r_upset_ack = 0x9080,
    r_lock = 0x90D8,
    r_identity = 0x9200,
    r_version = 0x9208,
    r_build = 0x920C,
    r_capability = 0x9238,
    r_brownout = 0x9380,
    r_powercut = 0x9388,
    r_simulated_cut = 0x939C,
    r_rle_mode = 0x93A0,
    r_mask = 0xA004,
    r_misc_mask = 0xA008,
    r_status = 0xA040,
    r_reset_status = 0xA044,
    r_nand_bus = 0xA204,
};

}  // namespace

bool ControlRegisters::claims(uint32_t offset) {
    switch (offset) {
        case r_control: case r_derating: case r_upset_ack: case r_lock: case r_identity: case r_version:
        case r_build: case r_capability: case r_brownout: case r_powercut: case r_simulated_cut: case r_mask:
        case r_misc_mask: case r_status: case r_reset_status: case r_nand_bus: case r_rle_mode:
            return true;
        default:
            return false;
    }
}

uint32_t ControlRegisters::read(uint32_t offset) {
    const ControllerIdentity& id = card_.config.controller;
    switch (offset) {
        case r_control: return control_;
        case r_derating: return derating_;
        case r_lock: {
            const Fault* f = card_.faults.find("hw_lock");
            if (f != nullptr && f->flag("never")) {
                return 0;
            }
            if (lock_busy_reads_ > 0) {
                lock_busy_reads_--;
                return 0;
            }
            return lock_;
        }
        case r_identity: return id.controller_kind & 0x7F;
        case r_version: return id.firmware_version;
        case r_build: return id.build_word;
        case r_capability:
            return (card_.config.controller.capability_bits & ~0xF00u) | (card_.config.channel.ring_count & 0xF) << 8;
        case r_brownout: return brownout_;
        case r_powercut: return powercut_;
        case r_simulated_cut: return simulated_cut_;
        case r_rle_mode: return rle_mode_;
        case r_mask: return card_.events.mask();
        case r_misc_mask: return card_.events.misc_mask();
        case r_status: {
            if (const Fault* f = card_.faults.find("intr_status")) {
                return (uint32_t)f->get("value", 0);
            }
            return card_.completions.interrupt_status();
        }
        case r_reset_status: return incomplete_reset_ || card_.page_buffers_hold_data() ? 1 : 0;
        case r_nand_bus: return clock_unlocked_ ? id.nand_bus_status & 0x7FFFFFFF : id.nand_bus_status;
        default: return 0;
    }
}

void ControlRegisters::write(uint32_t offset, uint32_t value) {
    switch (offset) {
        case r_control:
            control_ = value;
            if (control_writes_.size() == 64) {
                control_writes_.erase(control_writes_.begin());
            }
            control_writes_.push_back(value);
            if (value == 0xFFFFFFFF) {
                card_.channel_reset();
            }
            return;
        case r_derating: derating_ = value; return;
        case r_upset_ack:
            if (value == 1) {
                card_.inspector.counters.upset_acknowledges++;
            }
            return;
        case r_lock:
            // A grant request (a non-zero value over a free lock) may be kept waiting; writing the
            // same value again does not start the wait over.
            if (value != 0 && lock_ == 0) {
                const Fault* f = card_.faults.find("hw_lock");
                lock_busy_reads_ = f != nullptr ? (uint32_t)f->get("busy", 0) : 0;
            }
            lock_ = value;
            return;
        case r_brownout:
            brownout_ = value;
            card_.persist_flush_settings();
            return;
        case r_powercut:
            powercut_ = value;
            card_.persist_flush_settings();
            return;
        case r_simulated_cut:
            if (value == 1 && simulated_cut_ == 0) {
                card_.flush_page_buffers();
                incomplete_reset_ = false;
            }
            simulated_cut_ = value;
            return;
        case r_mask:
            log_mode_write(offset, value);
            card_.events.set_mask(value);
            return;
        case r_rle_mode:
            log_mode_write(offset, value);
            rle_mode_ = value;
            return;
        case r_misc_mask: card_.events.set_misc_mask(value); return;
        case r_status: pad_groups_ = value; return;
        default: return;  // identity, reset status and bus status are read-only
    }
}

void ControlRegisters::log_mode_write(uint32_t offset, uint32_t value) {
    if (mode_writes_.size() == 256) {
        mode_writes_.erase(mode_writes_.begin());
    }
    mode_writes_.push_back({offset, value, card_.inspector.counters.programs});
}

void ControlRegisters::power_on() {
    rle_mode_ = 0xFFFFFFFF;
    control_ = derating_ = lock_ = lock_busy_reads_ = 0;
    brownout_ = powercut_ = simulated_cut_ = pad_groups_ = 0;
    incomplete_reset_ = false;
    clock_unlocked_ = false;
}

}  // namespace sim::card
