// Events: completion words that report something other than an operation's end (environment,
// clock lock, parity and upsets, PCIe link errors, read and pad errors), with their records.
// The interrupt mask (BAR 0xA004) suppresses three of them: 94 by 0x1000000, 95 by 0x2000000,
// 100 by 0x8000000; a masked event is counted. A masked environment event (94) is latched: its
// status bits wait, ORed, until the mask bit is cleared, which posts them as one event; a channel
// reset drops them. The other masked events are dropped, never delivered later. The misc mask
// (0xA008) is stored only. Events that name no operation go to ring 0.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/card/reports.h"

namespace sim::card {

class CardState;

class EventUnit {
  public:
    static constexpr uint32_t mask_register = 0xA004;
    static constexpr uint32_t misc_mask_register = 0xA008;

    explicit EventUnit(CardState& card) : card_(card) {}

    // Posts `word` (with the record words after it, terminator included, when it has one) to
    // `ring`, unless its mask bit is set. False when masked.
    bool post(uint32_t word, const std::vector<uint32_t>& record = {}, unsigned ring = 0);
    // An event about an operation (a read's lane errors, a magic mismatch), built by its part.
    void post_record(Report report);

    uint32_t mask() const { return mask_; }
    uint32_t misc_mask() const { return misc_mask_; }
    // Clearing the environment mask bit posts the latched environment bits.
    void set_mask(uint32_t value);
    void set_misc_mask(uint32_t value) { misc_mask_ = value; }
    void power_on() { mask_ = misc_mask_ = pending_env_ = 0; }
    void drop_latched() { pending_env_ = 0; }
    uint32_t latched_env() const { return pending_env_; }

  private:
    CardState& card_;
    uint32_t mask_ = 0;
    uint32_t misc_mask_ = 0;
    uint32_t pending_env_ = 0;  // status bits of masked environment events
};

}  // namespace sim::card
