#include "sim/card/controller.h"

#include <algorithm>
#include <stdexcept>

#include "sim/kernel/control.h"

namespace sim::card {
namespace {

constexpr uint32_t csr_control = 0x1000;
constexpr uint32_t csr_fwtype_answer = 0x10B0;
constexpr uint32_t csr_fwtype_query = 0x10D0;
constexpr uint32_t csr_select = 0x10D8;
constexpr uint32_t csr_grant = 0x10F0;
constexpr uint32_t csr_key = 0x10F4;
constexpr uint32_t csr_unlocked = 0x10F8;
constexpr uint32_t csr_kind = 0x1200;
constexpr uint32_t csr_cap_a = 0x1204;
constexpr uint32_t csr_fw_version = 0x1208;
constexpr uint32_t csr_build = 0x120C;
constexpr uint32_t csr_cap_b = 0x1238;
constexpr uint32_t csr_incomplete_reset = 0x2044;
constexpr uint32_t csr_reset_flush = 0x139C;
constexpr uint32_t csr_memory_data = 0x10A0;
constexpr uint32_t csr_memory_address = 0x10A4;
constexpr uint32_t csr_memory_command = 0x10A8;
constexpr uint32_t csr_pmp_data = 0x1180;
constexpr uint32_t csr_pmp_status = 0x1188;
constexpr uint32_t csr_ecc_caps = 0x6384;
constexpr uint32_t attention_bit = 0x08000000;
constexpr uint32_t unlock_key = 0x5E13C7A2;
constexpr uint32_t unlocked_word = 0xCAFECAFE;
constexpr size_t write_log_size = 4096;

uint64_t now_us() {
    return sim::kernel::machine_time() / 10;
}

}  // namespace

ControllerBar::ControllerBar(Card& card, const ControllerConfig& config)
    : card_(card), config_(config), regs_(bar_size / 4, 0), pmp_(config.pmp, faults_), memory_(config.factory), nand_(config.nand),
      monitor_(config.env) {
    memory_.write(image_chain_address, build_image_chain(config.images));
    write_family_record(memory_, config.family);
    power_on();
}

void ControllerBar::power_on() {
    auto set = [this](uint32_t csr, uint32_t v) { regs_[(csr_base + csr) / 4] = v; };
    set(csr_kind, config_.kind & 0x7F);
    set(csr_cap_a, (config_.total_pads & 0xFF) << 4 | (config_.eq_hw ? 1u << 21 : 0) | (config_.smp ? 1u << 28 : 0) |
                       (config_.level & 3) << 30);
    set(csr_fw_version, config_.fw_version);
    set(csr_build, config_.build_word);
    set(csr_cap_b, config_.capability_b());
    set(0x1210, 0x5EED0001);
    set(0x1214, 0x5EED0002);
    set(0x1218, 0x5EED0003);
    set(0x121C, 0x5EED0004);
    set(0x1220, 0x5EED0005);
    set(0x1224, 3);
    set(0x1240, 64);
    set(0x1244, 8);
    set(0x1248, config_.family.location_register);
    set(0x124C, config_.total_pads - 1);
    set(0x1250, 1130496);
    set(0x1254, 0x00080008);
    set(0x1258, 0xCAFECAFE);
    set(0x1268, 0xCAFECAFE);
    set(0x126C, 50000000);
    set(0x1400, 0x00100000);
    set(0x2204, 0x80010008);
    set(0x2004, 0xFFFFFFFF);
    set(0x2008, 0xFFFFFFFF);
    set(csr_incomplete_reset, config_.incomplete_reset ? 1 : 0);
    set(csr_ecc_caps, config_.ecc_caps);
    unlocked_ = config_.start_unlocked;
}

void ControllerBar::controller_reset() {
    resets_++;
    // The NAND side's plain registers clear; identity, unlock state and the rest stay.
    for (uint32_t csr = 0x2000; csr < 0x7000; csr += 4) {
        if (csr != 0x2204 && csr != csr_incomplete_reset && csr != csr_ecc_caps) {
            regs_[(csr_base + csr) / 4] = 0;
        }
    }
    regs_[(csr_base + 0x2004) / 4] = 0xFFFFFFFF;
    regs_[(csr_base + 0x2008) / 4] = 0xFFFFFFFF;
    nand_.reset();
    monitor_.reset();
    microcode_.reset();
    ecc_.reset();
}

uint32_t ControllerBar::mmio_read32(uint32_t offset) {
    if (card_.bus_lost() || offset >= bar_size || offset % 4 != 0) {
        return 0xFFFFFFFF;
    }
    std::lock_guard<std::mutex> g(mutex_);
    if (offset >= csr_base) {
        return csr_read(offset - csr_base);
    }
    return regs_[offset / 4];
}

void ControllerBar::mmio_write32(uint32_t offset, uint32_t value) {
    if (card_.bus_lost() || offset >= bar_size || offset % 4 != 0) {
        return;
    }
    uint32_t raised = 0;
    {
        std::lock_guard<std::mutex> g(mutex_);
        if (offset >= csr_base) {
            csr_write(offset - csr_base, value);
        } else {
            regs_[offset / 4] = value;
        }
        std::swap(raised, env_raised_);
    }
    post_environment(raised);
}

void ControllerBar::post_environment(uint32_t bits) {
    if (bits != 0) {
        card_.post_event(SystemMonitor::event_low_byte | bits);
    }
}

uint32_t ControllerBar::csr_read(uint32_t offset) {
    if (Diagnostics::owns(offset)) {
        return diag_.read(offset);
    }
    uint32_t& reg = regs_[(csr_base + offset) / 4];
    if (NandControl::claims(offset)) {
        return nand_.read(offset, now_us());
    }
    if (SystemMonitor::claims(offset)) {
        return monitor_.read(offset);
    }
    switch (offset) {
        case csr_unlocked:
            return unlocked_ ? unlocked_word : 0;
        case csr_grant:
            return unlocked_ || granted_ ? 1 : 0;
        case csr_select:
            if (busy_reads_ > 0) {
                busy_reads_--;
                return 0;
            }
            return reg;
        case csr_fwtype_query:
            if (!config_.fwtype_never && fwtype_written_at_ != 0 &&
                now_us() >= fwtype_written_at_ + config_.fwtype_delay_us) {
                return reg | 0x200;
            }
            return reg & ~0x200u;
        case csr_fwtype_answer:
            return config_.fallback_firmware ? 3 : 0;
        case csr_pmp_data:
            return pmp_.read_data(now_us());
        case csr_pmp_status:
            return pmp_.read_status(now_us());
        case csr_memory_data:
            return memory_.read_data();
        default:
            return reg;
    }
}

// Edges of the control word's attention bit; the reset word (all ones) is none.
void ControllerBar::control_written(uint32_t value) {
    if (value == 0xFFFFFFFF) {
        attention_ = false;
    } else if ((value & attention_bit) != 0) {
        attention_ = true;
    } else if (attention_) {
        attention_ = false;
        pmp_.attention();
    }
}

void ControllerBar::csr_write(uint32_t offset, uint32_t value) {
    if (log_.size() == write_log_size) {
        log_.erase(log_.begin(), log_.begin() + write_log_size / 2);
    }
    log_.push_back({offset, value});
    if (Diagnostics::owns(offset)) {
        diag_.write(offset, value);
        return;
    }
    uint32_t& reg = regs_[(csr_base + offset) / 4];
    if (!unlocked_ && offset != csr_grant && offset != csr_key) {
        writes_while_locked_++;  // counted; the write still takes effect
    }
    if (NandControl::claims(offset)) {
        nand_.write(offset, value, now_us());
        return;
    }
    if (MicrocodePort::claims(offset)) {
        microcode_.write(offset, value, memory_);
        return;
    }
    if (EccEngine::claims(offset)) {
        ecc_.write(offset, value);
    }
    if (SystemMonitor::claims(offset)) {
        env_raised_ |= monitor_.write(offset, value);
        return;
    }
    switch (offset) {
        case csr_grant:
            if (value == 1 && !config_.unlock_never && ++grant_requests_ >= config_.unlock_grant_after) {
                granted_ = true;
            }
            return;
        case csr_key:
            if (value == unlock_key && granted_) {
                unlocked_ = true;
            }
            return;
        case csr_select:
            if (value != 0 && reg == 0) {
                busy_reads_ = config_.lock_busy_reads;
            }
            reg = value;
            return;
        case csr_fwtype_query:
            reg = value;
            fwtype_written_at_ = now_us() == 0 ? 1 : now_us();
            return;
        case csr_control:
            if (value == 0xFFFFFFFF) {
                controller_reset();
            }
            control_written(value);
            reg = value;
            return;
        case csr_pmp_data:
            pmp_.write_data(value, now_us());
            return;
        case csr_memory_address:
            memory_.write_address(value);
            reg = value;
            return;
        case csr_memory_command:
            memory_.write_command(value, regs_[(csr_base + csr_select) / 4]);
            reg = value;
            return;
        case csr_reset_flush:
            if (value == 0 && reg == 1) {
                regs_[(csr_base + csr_incomplete_reset) / 4] &= ~1u;
            }
            reg = value;
            return;
        case csr_kind:
        case csr_cap_a:
        case csr_fw_version:
        case csr_build:
        case csr_cap_b:
        case csr_incomplete_reset:
        case csr_ecc_caps:
            return;  // read-only
        default:
            reg = value;
            return;
    }
}

uint32_t ControllerBar::peek(uint32_t csr_offset) {
    std::lock_guard<std::mutex> g(mutex_);
    if (SystemMonitor::claims(csr_offset)) {
        return monitor_.read(csr_offset);
    }
    return regs_[(csr_base + csr_offset) / 4];
}

void ControllerBar::poke(uint32_t csr_offset, uint32_t value) {
    std::lock_guard<std::mutex> g(mutex_);
    if (SystemMonitor::claims(csr_offset)) {
        monitor_.poke(csr_offset, value);
        return;
    }
    regs_[(csr_base + csr_offset) / 4] = value;
}

std::vector<ControllerBar::write_record> ControllerBar::csr_writes(uint32_t csr_offset) {
    std::lock_guard<std::mutex> g(mutex_);
    std::vector<write_record> out;
    for (const write_record& w : log_) {
        if (w.offset == csr_offset) {
            out.push_back(w);
        }
    }
    return out;
}

uint32_t ControllerBar::controller_resets() {
    std::lock_guard<std::mutex> g(mutex_);
    return resets_;
}

uint32_t ControllerBar::writes_while_locked() {
    std::lock_guard<std::mutex> g(mutex_);
    return writes_while_locked_;
}

bool ControllerBar::unlocked() {
    std::lock_guard<std::mutex> g(mutex_);
    return unlocked_;
}

void ControllerBar::inject(const std::string& name, const std::string& parameters) {
    if (name.rfind("pmp_", 0) != 0) {
        throw std::invalid_argument("not a fault of the controller side: " + name);
    }
    Fault f = FaultPlan::parse(name, parameters);
    std::lock_guard<std::mutex> g(mutex_);
    std::vector<uint8_t> address(f.list.begin(), f.list.end());
    if (name == "pmp_sensor" || name == "pmp_power") {
        PmpNodeConfig* node = pmp_.network().config().node(address);
        if (node == nullptr) {
            throw std::invalid_argument(name + ": no such node");
        }
        if (name == "pmp_power") {
            node->power_mw = (uint32_t)f.get("mw", node->power_mw);
            return;
        }
        auto set = f.words.find("set");
        std::string which = set != f.words.end() ? set->second : "a";
        size_t index = f.get("index", 0);
        uint32_t value = (uint32_t)f.get("value", 0);
        if (which == "fans") {
            node->fans.resize(std::max(node->fans.size(), index + 1));
            node->fans[index] = value;
        } else {
            std::vector<PmpSensor>& sensors = which == "b" ? node->set_b : node->set_a;
            sensors.resize(std::max(sensors.size(), index + 1));
            sensors[index].value = value;
        }
        return;
    }
    if (name == "pmp_silent_until_attention") {
        pmp_.set_silent_until_attention((uint32_t)f.get("n", 1));
        return;
    }
    if (name == "pmp_babble" && !f.flag("endless")) {
        pmp_.babble((uint32_t)f.get("n", 1), now_us());
        return;
    }
    faults_.add(f);
}

void ControllerBar::clear(const std::string& name) {
    std::lock_guard<std::mutex> g(mutex_);
    faults_.clear(name);
}

PmpChannel::Counters ControllerBar::pmp_counters() {
    std::lock_guard<std::mutex> g(mutex_);
    return pmp_.counters();
}

std::vector<uint8_t> ControllerBar::pmp_kv(const std::vector<uint8_t>& node, uint8_t key) {
    std::lock_guard<std::mutex> g(mutex_);
    return pmp_.network().kv(node, key);
}

void ControllerBar::pmp_set_kv(const std::vector<uint8_t>& node, uint8_t key, const std::vector<uint8_t>& value) {
    std::lock_guard<std::mutex> g(mutex_);
    PmpNodeConfig* n = pmp_.network().config().node(node);
    if (n == nullptr) {
        throw std::invalid_argument("no such management processor node");
    }
    n->kv[key] = value;
}

std::map<uint32_t, PmpIndicator> ControllerBar::pmp_indicators(const std::vector<uint8_t>& node) {
    std::lock_guard<std::mutex> g(mutex_);
    return pmp_.network().indicators(node);
}

std::vector<pmp::Frame> ControllerBar::pmp_frames_in() {
    std::lock_guard<std::mutex> g(mutex_);
    return {pmp_.frames_in().begin(), pmp_.frames_in().end()};
}

std::vector<pmp::Frame> ControllerBar::pmp_frames_out() {
    std::lock_guard<std::mutex> g(mutex_);
    return {pmp_.frames_out().begin(), pmp_.frames_out().end()};
}

uint64_t ControllerBar::memory_words_read() {
    std::lock_guard<std::mutex> g(mutex_);
    return memory_.words_read();
}

MicrocodeState ControllerBar::microcode() {
    std::lock_guard<std::mutex> g(mutex_);
    return microcode_.state();
}

EccLoadCheck ControllerBar::ecc_load_check() {
    std::lock_guard<std::mutex> g(mutex_);
    return ecc_.check(memory_);
}

void ControllerBar::memory_glitch(uint32_t address, uint32_t count) {
    std::lock_guard<std::mutex> g(mutex_);
    memory_.glitch(address, count);
}

std::vector<NandControl::Cycle> ControllerBar::nand_cycles() {
    std::lock_guard<std::mutex> g(mutex_);
    return nand_.cycles();
}

uint16_t ControllerBar::drp(uint32_t address) {
    std::lock_guard<std::mutex> g(mutex_);
    return nand_.drp(address);
}

uint32_t ControllerBar::nand_period_ps() {
    std::lock_guard<std::mutex> g(mutex_);
    return nand_.period_ps();
}

bool ControllerBar::nand_clock_locked() {
    std::lock_guard<std::mutex> g(mutex_);
    return nand_.locked(now_us());
}

uint8_t ControllerBar::die_timing_mode(uint32_t bank, uint32_t pad, uint32_t lun) {
    std::lock_guard<std::mutex> g(mutex_);
    return nand_.timing_mode(bank, pad, lun);
}

std::array<uint8_t, 4> ControllerBar::die_feature(uint32_t bank, uint32_t pad, uint8_t address, uint32_t lun) {
    std::lock_guard<std::mutex> g(mutex_);
    return nand_.feature(bank, pad, address, lun);
}

void ControllerBar::env_set(Sensor sensor, uint16_t code) {
    uint32_t raised = 0;
    {
        std::lock_guard<std::mutex> g(mutex_);
        raised = monitor_.set(sensor, code);
    }
    post_environment(raised);
}

void ControllerBar::env_set_minmax(Sensor sensor, uint16_t min, uint16_t max) {
    std::lock_guard<std::mutex> g(mutex_);
    monitor_.set_minmax(sensor, min, max);
}

void ControllerBar::env_raise(uint32_t bits) {
    post_environment(bits & ~0xFFu);
}

uint16_t ControllerBar::env_code(Sensor sensor) {
    std::lock_guard<std::mutex> g(mutex_);
    return monitor_.code(sensor);
}

}  // namespace sim::card
