#include "sim/card/nand_control.h"

#include <algorithm>
#include <stdexcept>

namespace sim::card {
namespace {

constexpr uint32_t csr_clock_control = 0x1004;
constexpr uint32_t csr_clock_status = 0x1008;
constexpr uint32_t csr_direct_enable = 0x2280;
constexpr uint32_t csr_direct_cycle = 0x2284;
constexpr uint32_t csr_direct_data = 0x22A8;
constexpr uint32_t data_registers = 8;
constexpr size_t cycle_log_size = 65536;

struct PartId {
    const char* name;
    std::array<uint8_t, 8> id;
};
const PartId part_ids[] = {
    {"NPT_ALDER", {0x6E, 0xA4, 0x3C, 0x58, 0xA9, 0x00, 0x00, 0x00}},
    {"NPT_BIRCH", {0x6E, 0xB4, 0x3C, 0x58, 0xA9, 0x41, 0x00, 0x00}},
    {"NPT_CEDAR", {0x6E, 0xA4, 0x3C, 0x68, 0xA9, 0x00, 0x00, 0x00}},
    {"NPT_DAPHNE", {0x6E, 0xB4, 0x3C, 0x68, 0xA9, 0x41, 0x00, 0x00}},
    {"NPT_ELM", {0x3D, 0x84, 0x5A, 0x20, 0x7C, 0x12, 0x00, 0x00}},
    {"NPT_FIR", {0x3D, 0x84, 0x5A, 0x28, 0x7C, 0x12, 0x00, 0x00}},
    {"NPT_GORSE", {0x3D, 0x94, 0x5A, 0x28, 0x7C, 0x14, 0x00, 0x00}},
};

}  // namespace

std::array<uint8_t, 8> nand_part_id(const std::string& part) {
    for (const PartId& p : part_ids) {
        if (part == p.name) {
            return p.id;
        }
    }
    throw std::invalid_argument("no such NAND part: " + part);
}

NandControl::NandControl(const NandDiesConfig& config) : config_(config) {
    std::array<uint8_t, 8> id = nand_part_id(config.part);
    dies_.resize((size_t)config.banks * config.pads * config.luns);
    for (Die& d : dies_) {
        d.id = id;
    }
    for (auto [bank, pad] : config.absent) {
        for (uint32_t lun = 0; lun < config.luns; lun++) {
            if (Die* d = die(bank, pad, lun)) {
                d->present = false;
            }
        }
    }
    for (auto [bank, pad] : config.write_protected) {
        for (uint32_t lun = 0; lun < config.luns; lun++) {
            if (Die* d = die(bank, pad, lun)) {
                d->write_protected = true;
            }
        }
    }
    for (const auto& [where, bytes] : config.ids) {
        for (uint32_t lun = 0; lun < config.luns; lun++) {
            if (Die* d = die(where.first, where.second, lun)) {
                d->id = bytes;
            }
        }
    }
    // The clock manager's power-on registers: divider 8 (8000 ps) on its outputs.
    for (uint32_t a : {0x0A, 0x0C, 0x0E, 0x10, 0x06}) {
        drp_[a] = 0x0104;
    }
    drp_[0x28] = 0xFFFF;
}

bool NandControl::claims(uint32_t csr) {
    return csr == csr_clock_control || csr == csr_clock_status || csr == csr_direct_enable ||
           csr == csr_direct_cycle || (csr >= csr_direct_data && csr < csr_direct_data + 4 * data_registers);
}

NandControl::Die* NandControl::die(uint32_t bank, uint32_t pad, uint32_t lun) {
    if (bank >= config_.banks || pad >= config_.pads || lun >= config_.luns) {
        return nullptr;
    }
    return &dies_[((size_t)bank * config_.pads + pad) * config_.luns + lun];
}

const NandControl::Die* NandControl::die(uint32_t bank, uint32_t pad, uint32_t lun) const {
    return const_cast<NandControl*>(this)->die(bank, pad, lun);
}

bool NandControl::divider_valid() const {
    uint32_t divider = (drp_[0x0A] >> 6 & 0x3F) + (drp_[0x0A] & 0x3F);
    return divider >= 2 && divider <= 126;
}

uint32_t NandControl::period_ps() const {
    return ((drp_[0x0A] >> 6 & 0x3F) + (drp_[0x0A] & 0x3F)) * 1000;
}

bool NandControl::locked(uint64_t now_us) const {
    return !held_ && released_ && !config_.never_lock && divider_valid() &&
           now_us >= released_at_ + config_.lock_delay_us;
}

uint32_t NandControl::read(uint32_t csr, uint64_t now_us) {
    switch (csr) {
        case csr_clock_control:
            return control_;
        case csr_clock_status:
            return (ready_ ? 1u << 16 : 0) | (locked(now_us) ? 1u << 17 : 0) | out_;
        case csr_direct_enable:
            return enable_;
        case csr_direct_cycle:
            return last_cycle_;
        default:
            return data_regs_[(csr - csr_direct_data) / 4];
    }
}

void NandControl::write(uint32_t csr, uint32_t value, uint64_t now_us) {
    switch (csr) {
        case csr_clock_control:
            clock_control(value, now_us);
            return;
        case csr_direct_enable:
            enable_ = value;
            return;
        case csr_direct_cycle:
            if ((enable_ & 1) == 0) {
                cycles_ignored_++;
                last_cycle_ = value;
                return;
            }
            cycle(value);
            return;
        default:
            return;  // the data registers are read-only
    }
}

void NandControl::reset() {
    enable_ = 0;
    last_cycle_ = 0;
    chips_.clear();
    data_regs_ = {};
}

void NandControl::clock_control(uint32_t value, uint64_t now_us) {
    bool enable_rising = (value >> 24 & 1) != 0 && (control_ >> 24 & 1) == 0;
    bool hold = (value >> 23 & 1) != 0;
    control_ = value;
    if (hold && !held_) {
        held_ = true;
        released_ = false;
    } else if (!hold && held_) {
        held_ = false;
        released_ = true;
        released_at_ = now_us;
    }
    if (enable_rising) {
        ready_ = false;
        if (config_.drp_never_ready) {
            return;
        }
        uint32_t a = value >> 16 & 0x7F;
        if ((value >> 25 & 1) != 0) {
            drp_[a] = (uint16_t)value;
        }
        out_ = drp_[a];
        ready_ = true;
    }
}

void NandControl::cycle(uint32_t word) {
    uint32_t chip = word >> 28;
    uint8_t byte = (uint8_t)(word >> 16);
    bool we_rising = (word & 1) != 0 && (last_cycle_ & 1) == 0;
    bool re_rising = (word & 2) != 0 && (last_cycle_ & 2) == 0;
    last_cycle_ = word;
    if (we_rising) {
        char kind = (word & 0x20) != 0 ? 'C' : (word & 0x10) != 0 ? 'A' : 'D';
        if (cycles_.size() == cycle_log_size) {
            cycles_.erase(cycles_.begin(), cycles_.begin() + cycle_log_size / 2);
        }
        cycles_.push_back({chip, kind, byte});
        if (kind == 'C') {
            command(chip, byte);
        } else if (kind == 'A') {
            address(chip, byte);
        } else {
            data(chip, byte);
        }
    }
    if (re_rising) {
        strobe(chip);
    }
}

void NandControl::command(uint32_t chip, uint8_t byte) {
    Chip& c = chips_[chip];
    c.command = byte;
    c.address = -1;
    c.data.clear();
    for (auto& q : c.out) {
        q.clear();
    }
    if (chip == 0) {
        return;
    }
    uint32_t target = chip - 1;
    uint32_t bank = target % config_.banks;
    uint32_t lun = target / config_.banks;
    for (uint32_t pad = 0; pad < config_.pads && pad < 32; pad++) {
        Die* d = die(bank, pad, lun);
        if (byte == 0xFF && d != nullptr && d->present) {
            d->timing_mode = 0;
            d->features.clear();
        } else if (byte == 0x70) {
            uint8_t status = d == nullptr || !d->present ? 0x00 : d->write_protected ? 0x60 : 0xE0;
            c.out[pad].push_back(status);
        }
    }
}

void NandControl::address(uint32_t chip, uint8_t byte) {
    Chip& c = chips_[chip];
    c.address = byte;
    if (chip == 0) {
        return;
    }
    uint32_t target = chip - 1;
    uint32_t bank = target % config_.banks;
    uint32_t lun = target / config_.banks;
    for (uint32_t pad = 0; pad < config_.pads && pad < 32; pad++) {
        const Die* d = die(bank, pad, lun);
        if (d == nullptr || !d->present) {
            continue;
        }
        if (c.command == 0x90) {
            if (byte == 0x00) {
                c.out[pad].assign(d->id.begin(), d->id.end());
            } else if (byte == 0x20) {
                c.out[pad] = {'O', 'N', 'F', 'I', 0};
            }
        } else if (c.command == 0xEE) {
            auto f = d->features.find(byte);
            std::array<uint8_t, 4> p = f != d->features.end() ? f->second : std::array<uint8_t, 4>{};
            c.out[pad].assign(p.begin(), p.end());
        }
    }
}

void NandControl::data(uint32_t chip, uint8_t byte) {
    Chip& c = chips_[chip];
    if (c.command != 0xEF || c.address < 0 || chip == 0) {
        return;
    }
    c.data.push_back(byte);
    if (c.data.size() < 4) {
        return;
    }
    uint32_t target = chip - 1;
    uint32_t bank = target % config_.banks;
    uint32_t lun = target / config_.banks;
    for (uint32_t pad = 0; pad < config_.pads; pad++) {
        Die* d = die(bank, pad, lun);
        if (d == nullptr || !d->present) {
            continue;
        }
        d->features[(uint8_t)c.address] = {c.data[0], c.data[1], c.data[2], c.data[3]};
        if (c.address == 0x01) {
            d->timing_mode = c.data[0];
        }
    }
    c.data.clear();
}

void NandControl::strobe(uint32_t chip) {
    Chip& c = chips_[chip];
    data_regs_ = {};
    for (uint32_t pad = 0; pad < 32; pad++) {
        uint8_t byte = 0;
        if (!c.out[pad].empty()) {
            byte = c.out[pad].front();
            c.out[pad].pop_front();
        }
        data_regs_[pad / 4] |= (uint32_t)byte << (8 * (pad % 4));
    }
}

uint8_t NandControl::timing_mode(uint32_t bank, uint32_t pad, uint32_t lun) const {
    const Die* d = die(bank, pad, lun);
    return d != nullptr ? d->timing_mode : 0;
}

std::array<uint8_t, 4> NandControl::feature(uint32_t bank, uint32_t pad, uint8_t address, uint32_t lun) const {
    const Die* d = die(bank, pad, lun);
    if (d == nullptr) {
        return {};
    }
    auto f = d->features.find(address);
    return f != d->features.end() ? f->second : std::array<uint8_t, 4>{};
}

}  // namespace sim::card
