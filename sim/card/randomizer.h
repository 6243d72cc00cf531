// The data randomizer as the card sees it. Whitening is its own inverse and invisible to the
// host, so the card stores data as the host sends it; what it checks is that a read un-whitens
// with the sequence the write whitened with.
//
// A run word (register 112 on the write side, 480 on the read side): bit 31 randomized, bits
// 16-30 a value of the start table, bits 0-15 a length in randomizer units; bits 16-31 all zero
// is a plain run. The table: t[0] = 1, t[i+1] = (t[i] >> 1) ^ (0x7BD8 when bit 0 of t[i] is set);
// it holds every value 1..32767 once, so a value names its index.
//
// Runs lie back to back: a row's write runs from the row's first byte, a read's runs from the
// first byte of its read stream (the column of register 60, or 0). A randomized read run at
// segment offset o must start at index k_w + 8 x (o - o_w) mod 32767, where the write run that
// covers o starts at o_w with index k_w; a plain read run must lie where the write was plain.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim::card {

class Randomizer {
  public:
    static constexpr uint32_t period = 32767;

    static uint16_t value(uint32_t index);
    // The index whose table value is `value` (1..32767).
    static uint32_t index_of(uint16_t value);

    static bool plain(uint32_t run) { return (run & 0xFFFF0000u) == 0; }
    static bool randomized(uint32_t run) { return (run & 0x80000000u) != 0 && (run >> 16 & 0x7FFF) != 0; }
    static uint32_t units(uint32_t run) { return run & 0xFFFF; }

    // Checks the read run at segment offset `offset` against the write runs of the segment.
    // Returns an empty text when they agree, else what is wrong.
    static std::string check(const std::vector<uint32_t>& write_runs, uint32_t unit, uint64_t offset,
                             uint32_t read_run);
};

}  // namespace sim::card
