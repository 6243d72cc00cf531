// Read levels: the read-threshold parameter word a page read carries, and what it does to the
// read's errors.
//
// The host writes the word to register 3344 (BAR 0x8D10) before a page-read step; the step takes
// it (the latch is then empty, and a step without a word reads at the part's own thresholds,
// level 0). The read's level is the word's byte 0 as a signed number of `bits` bits (8 for the
// ONFi families, 7 for the maker's own with the value mask 0x7F); the families' base levels are 0.
//
// A block drifts by the fault `read_level_drift` (eb, bank, level, window, bits, lane): reads of
// that bank of that block need `level`. A lane read at a level off by at most `window` (default
// 4) is clean; off by up to twice that it is corrected (event 104); further off it is
// uncorrectable (event 105). Every lane of the read's mask is hit, or only `lane` when given.
// The fault is not used up by reads (times counts nothing): it stays until cleared.
#pragma once

#include <cstdint>
#include <optional>

namespace sim::card {

class FaultPlan;
struct PageRead;

constexpr uint32_t read_level_register = 3344;

// The word latched for the next page-read step.
class ReadLevelLatch {
  public:
    void latch(uint32_t word) { word_ = word; }
    std::optional<uint32_t> take() {
        std::optional<uint32_t> w = word_;
        word_.reset();
        return w;
    }
    void reset() { word_.reset(); }

  private:
    std::optional<uint32_t> word_;
};

// The level byte 0 of `word` gives, as a `bits`-bit signed number.
int32_t read_level_of(uint32_t word, unsigned bits);
// The event a lane of the page read draws from the block's drift: 0 none, 104 corrected, 105
// uncorrectable.
uint32_t read_level_event(const FaultPlan& faults, const PageRead& read, uint32_t lane);

}  // namespace sim::card
