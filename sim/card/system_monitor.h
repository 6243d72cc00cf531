// The controller's system monitor: the temperature, core and auxiliary supply voltage and hold-up
// capacitor readings (CSR 0x1314-0x1338) with the smallest and largest codes seen, the alarm
// registers (0x1300 temperature limit and over-temperature release, 0x1308/0x130C the capacitor
// window), and the alarm rules that raise environment status bits:
//
//     0x100  temperature       code >= low half of 0x1300
//     0x800  over-temperature  code >= 0xCA40, held until the code drops below the high half of 0x1300
//     0x200  core voltage      code < 0x51EC or > 0x58BE
//     0x400  aux voltage       code < 0x8EC0 or > 0xA400
//     0x1000 capacitor left its window (low <= code <= high), 0x2000 it entered it
//
// A bit is raised when its alarm becomes active after a sensor change or a write of 0x1300; the
// capacitor bits only on sensor changes (a write of its window re-baselines without an event). A
// controller reset puts the alarm registers back and takes the alarms' state silently. The owner
// posts the raised bits as the environment event (94 | bits) outside its register mutex; this
// class holds no lock of its own and is changed under the owner's.
#pragma once

#include <cstdint>
#include <map>

namespace sim::card {

struct SystemMonitorConfig {
    int32_t temp_mc = 45000;     // controller temperature, milli-degrees Celsius
    uint16_t core_code = 21824;  // 999 mV
    uint16_t aux_code = 39296;   // 1798 mV
    uint32_t cap_mv = 370;       // hold-up capacitor present
};

enum class Sensor { temperature, core, aux, capacitor };

class SystemMonitor {
  public:
    // Status bits of the environment event.
    static constexpr uint32_t temperature_bit = 0x100;
    static constexpr uint32_t core_bit = 0x200;
    static constexpr uint32_t aux_bit = 0x400;
    static constexpr uint32_t over_temperature_bit = 0x800;
    static constexpr uint32_t capacitor_bad_bit = 0x1000;
    static constexpr uint32_t capacitor_good_bit = 0x2000;
    static constexpr uint32_t event_low_byte = 94;

    // Value to code, as the monitor's converters give them (engineering units read back as the
    // configured whole degree for 0..127 degrees, voltages within one step below, capacitor
    // millivolts exactly).
    static uint16_t temperature_code(int32_t milli_c);
    static uint16_t voltage_code(uint32_t mv);
    static uint16_t capacitor_code(uint32_t mv);

    explicit SystemMonitor(const SystemMonitorConfig& config = {});

    static bool claims(uint32_t csr);
    uint32_t read(uint32_t csr) const;
    // A register write: the status bits it raised.
    uint32_t write(uint32_t csr, uint32_t value);
    // Sets a register without side effects (test set-up): an alarm register as written, a
    // reading's register as a raw word read back until that reading next changes.
    void poke(uint32_t csr, uint32_t value);
    // Controller reset: alarm registers to their reset values, min = max = current, alarms
    // re-taken without an event.
    void reset();

    // A reading changes (a raw code): the status bits raised.
    uint32_t set(Sensor sensor, uint16_t code);
    // Presets the smallest and largest codes seen of a supply (core or aux).
    void set_minmax(Sensor sensor, uint16_t min, uint16_t max);
    uint16_t code(Sensor sensor) const { return current_[index(sensor)]; }

  private:
    static unsigned index(Sensor s) { return (unsigned)s; }
    // Takes the alarms' state for the readings and registers now: the bits of the alarms that
    // became active (and, with `capacitor_events`, of the capacitor crossing its window).
    uint32_t evaluate(bool capacitor_events);
    bool capacitor_inside() const;

    uint16_t current_[4] = {};
    uint16_t min_[4] = {};
    uint16_t max_[4] = {};
    uint32_t temperature_alarm_ = 0;  // 0x1300
    uint32_t capacitor_high_ = 0;     // 0x1308
    uint32_t capacitor_low_ = 0;      // 0x130C
    bool temperature_active_ = false;
    bool over_temperature_active_ = false;
    bool core_active_ = false;
    bool aux_active_ = false;
    bool capacitor_was_inside_ = true;
    std::map<uint32_t, uint32_t> poked_;  // reading registers set as raw words
};

}  // namespace sim::card
