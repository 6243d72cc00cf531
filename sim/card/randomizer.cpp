#include "sim/card/randomizer.h"

#include <array>
#include <sstream>

namespace sim::card {
namespace {

struct tables {
    std::array<uint16_t, Randomizer::period> value{};
    std::array<uint32_t, Randomizer::period + 1> index{};
    tables() {
        uint32_t t = 1;
        for (uint32_t i = 0; i < Randomizer::period; i++) {
            value[i] = (uint16_t)t;
            index[t] = i;
            t = (t >> 1) ^ ((t & 1) != 0 ? 0x7BD8u : 0u);
        }
    }
};

const tables& the_tables() {
    static const tables t;
    return t;
}

}  // namespace

uint16_t Randomizer::value(uint32_t index) {
    return the_tables().value[index % period];
}

uint32_t Randomizer::index_of(uint16_t v) {
    return the_tables().index[v % (period + 1)];
}

std::string Randomizer::check(const std::vector<uint32_t>& write_runs, uint32_t unit, uint64_t offset,
                              uint32_t read_run) {
    // Find the write run that covers `offset`; past the last one the write was plain.
    uint64_t at = 0;
    for (uint32_t w : write_runs) {
        uint64_t end = at + (uint64_t)units(w) * unit;
        if (offset >= at && offset < end) {
            if (plain(read_run) || !randomized(read_run)) {
                if (!plain(w) && randomized(w)) {
                    return "a plain read run over randomized data";
                }
                return "";
            }
            if (!randomized(w)) {
                return "a randomized read run over plain data";
            }
            uint32_t k_w = index_of((uint16_t)(w >> 16 & 0x7FFF));
            uint32_t k_r = index_of((uint16_t)(read_run >> 16 & 0x7FFF));
            uint64_t expected = (k_w + 8 * ((offset - at) % period)) % period;
            if (expected != k_r) {
                std::ostringstream why;
                why << "read run at offset " << offset << " starts at index " << k_r << ", the data at " << expected;
                return why.str();
            }
            return "";
        }
        at = end;
    }
    return randomized(read_run) ? "a randomized read run where the write had no run" : "";
}

}  // namespace sim::card
