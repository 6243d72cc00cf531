#include "sim/card/read_level.h"

#include <cstdlib>

#include "sim/card/fault_plan.h"
#include "sim/card/read_sequence.h"

namespace sim::card {

int32_t read_level_of(uint32_t word, unsigned bits) {
    if (bits == 0 || bits > 8) {
        bits = 8;
    }
    uint32_t value = word & ((1u << bits) - 1);
    uint32_t sign = 1u << (bits - 1);
    return (value & sign) != 0 ? (int32_t)value - (int32_t)(1u << bits) : (int32_t)value;
}

uint32_t read_level_event(const FaultPlan& faults, const PageRead& read, uint32_t lane) {
    for (const Fault& f : faults.find_all("read_level_drift", {.eb = read.eb, .bank = read.bank})) {
        if (f.has("lane") && f.get("lane", 0) != lane) {
            continue;
        }
        auto needed = (int32_t)(int64_t)f.get("level", 0);
        auto window = (int32_t)f.get("window", 4);
        int32_t level = read.level_word.has_value() ? read_level_of(*read.level_word, (unsigned)f.get("bits", 8)) : 0;
        int32_t off = std::abs(level - needed);
        if (off > 2 * window) {
            return 105;
        }
        if (off > window) {
            return 104;
        }
    }
    return 0;
}

}  // namespace sim::card
