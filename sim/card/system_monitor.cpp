#include "sim/card/system_monitor.h"

#include <algorithm>

namespace sim::card {
namespace {

constexpr uint32_t csr_temperature_alarm = 0x1300;
constexpr uint32_t csr_capacitor_high = 0x1308;
constexpr uint32_t csr_capacitor_low = 0x130C;
constexpr uint32_t csr_temperature = 0x1314;
constexpr uint32_t csr_core = 0x1318;
constexpr uint32_t csr_aux = 0x131C;
constexpr uint32_t csr_core_minmax = 0x1324;
constexpr uint32_t csr_aux_minmax = 0x1328;
constexpr uint32_t csr_capacitor = 0x1338;

constexpr uint32_t temperature_alarm_reset = 0xC7B4B5C0;  // 85 degrees; release at 120
constexpr uint32_t capacitor_high_reset = 0xFFFF;
constexpr uint32_t capacitor_low_reset = 0;
constexpr uint16_t over_temperature_trigger = 0xCA40;  // 125 degrees
constexpr uint16_t core_low = 0x51EC, core_high = 0x58BE;
constexpr uint16_t aux_low = 0x8EC0, aux_high = 0xA400;

uint16_t clamp16(int64_t v) {
    return (uint16_t)std::clamp<int64_t>(v, 0, 0xFFFF);
}

}  // namespace

uint16_t SystemMonitor::temperature_code(int32_t milli_c) {
    int64_t kelvin = (int64_t)milli_c + 273150;
    if (kelvin <= 0) {
        return 0;
    }
    return clamp16((kelvin * 65536 + 503975 - 1) / 503975);
}

uint16_t SystemMonitor::voltage_code(uint32_t mv) {
    return clamp16(((int64_t)mv * 1024 / 3000) << 6);
}

uint16_t SystemMonitor::capacitor_code(uint32_t mv) {
    return clamp16(((int64_t)mv * 65535 + 999) / 1000);
}

SystemMonitor::SystemMonitor(const SystemMonitorConfig& config) {
    current_[index(Sensor::temperature)] = temperature_code(config.temp_mc);
    current_[index(Sensor::core)] = config.core_code;
    current_[index(Sensor::aux)] = config.aux_code;
    current_[index(Sensor::capacitor)] = capacitor_code(config.cap_mv);
    reset();
}

bool SystemMonitor::claims(uint32_t csr) {
    switch (csr) {
        case csr_temperature_alarm:
        case csr_capacitor_high:
        case csr_capacitor_low:
        case csr_temperature:
        case csr_core:
        case csr_aux:
        case csr_core_minmax:
        case csr_aux_minmax:
        case csr_capacitor:
            return true;
        default:
            return false;
    }
}

uint32_t SystemMonitor::read(uint32_t csr) const {
    if (auto it = poked_.find(csr); it != poked_.end()) {
        return it->second;
    }
    auto minmax = [this](Sensor s) { return (uint32_t)max_[index(s)] << 16 | min_[index(s)]; };
    switch (csr) {
        case csr_temperature_alarm: return temperature_alarm_;
        case csr_capacitor_high: return capacitor_high_;
        case csr_capacitor_low: return capacitor_low_;
        case csr_temperature:
            return (uint32_t)max_[index(Sensor::temperature)] << 16 | current_[index(Sensor::temperature)];
        case csr_core: return current_[index(Sensor::core)];
        case csr_aux: return current_[index(Sensor::aux)];
        case csr_core_minmax: return minmax(Sensor::core);
        case csr_aux_minmax: return minmax(Sensor::aux);
        case csr_capacitor: return current_[index(Sensor::capacitor)];
        default: return 0;
    }
}

uint32_t SystemMonitor::write(uint32_t csr, uint32_t value) {
    switch (csr) {
        case csr_temperature_alarm:
            temperature_alarm_ = value;
            return evaluate(false);
        case csr_capacitor_high:
            capacitor_high_ = value;
            capacitor_was_inside_ = capacitor_inside();
            return 0;
        case csr_capacitor_low:
            capacitor_low_ = value;
            capacitor_was_inside_ = capacitor_inside();
            return 0;
        default:
            return 0;  // the readings are read-only
    }
}

void SystemMonitor::poke(uint32_t csr, uint32_t value) {
    switch (csr) {
        case csr_temperature_alarm: temperature_alarm_ = value; return;
        case csr_capacitor_high: capacitor_high_ = value; return;
        case csr_capacitor_low: capacitor_low_ = value; return;
        default: poked_[csr] = value; return;
    }
}

void SystemMonitor::reset() {
    temperature_alarm_ = temperature_alarm_reset;
    capacitor_high_ = capacitor_high_reset;
    capacitor_low_ = capacitor_low_reset;
    for (unsigned i = 0; i < 4; i++) {
        min_[i] = max_[i] = current_[i];
    }
    temperature_active_ = over_temperature_active_ = core_active_ = aux_active_ = false;
    capacitor_was_inside_ = capacitor_inside();
    evaluate(false);  // taken silently
}

uint32_t SystemMonitor::set(Sensor sensor, uint16_t code) {
    unsigned i = index(sensor);
    static constexpr uint32_t registers[4][2] = {{csr_temperature, 0},
                                                 {csr_core, csr_core_minmax},
                                                 {csr_aux, csr_aux_minmax},
                                                 {csr_capacitor, 0}};
    for (uint32_t r : registers[i]) {
        poked_.erase(r);
    }
    current_[i] = code;
    min_[i] = std::min(min_[i], code);
    max_[i] = std::max(max_[i], code);
    return evaluate(true);
}

void SystemMonitor::set_minmax(Sensor sensor, uint16_t min, uint16_t max) {
    min_[index(sensor)] = min;
    max_[index(sensor)] = max;
}

bool SystemMonitor::capacitor_inside() const {
    uint32_t c = current_[index(Sensor::capacitor)];
    return c >= (capacitor_low_ & 0xFFFF) && c <= (capacitor_high_ & 0xFFFF);
}

uint32_t SystemMonitor::evaluate(bool capacitor_events) {
    uint32_t raised = 0;
    auto alarm = [&raised](bool& active, bool now, uint32_t bit) {
        if (now && !active) {
            raised |= bit;
        }
        active = now;
    };
    uint16_t t = current_[index(Sensor::temperature)];
    alarm(temperature_active_, t >= (temperature_alarm_ & 0xFFFF), temperature_bit);
    bool over = t >= over_temperature_trigger || (over_temperature_active_ && t >= (temperature_alarm_ >> 16));
    alarm(over_temperature_active_, over, over_temperature_bit);
    uint16_t core = current_[index(Sensor::core)];
    alarm(core_active_, core < core_low || core > core_high, core_bit);
    uint16_t aux = current_[index(Sensor::aux)];
    alarm(aux_active_, aux < aux_low || aux > aux_high, aux_bit);
    bool inside = capacitor_inside();
    if (capacitor_events && inside != capacitor_was_inside_) {
        raised |= inside ? capacitor_good_bit : capacitor_bad_bit;
    }
    capacitor_was_inside_ = inside;
    return raised;
}

}  // namespace sim::card
