// The command ring: 0x20000 entries of {u32 value, u32 register} in host memory (base 0x120 /
// 0x124, latched by 0x128 = 0x100000), handed to the card by doorbells (0x118, a byte count of
// new entries), fetched by DMA and replayed in ring order, each entry applied through the same
// register handler as an MMIO write.
//
// The credit word (0x148) tells the host what the card holds: bits 0-9 the doorbells not yet
// fetched (saturating at 1023), bits 13-31 (0x20000 - consumed) mod 0x20000, consumed counted
// at fetch. Diagnostics: 0x11C the fetch limit, 0x12C consumed, 0x130 entries replayed.
//
// Replay stops at an entry that must wait (a busy bank, no free page buffer) and resumes with
// it; it also stops while any engine is off.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

namespace sim::card {

class CardState;

class CommandRing {
  public:
    static constexpr uint32_t entries = 0x20000;
    static constexpr uint32_t ring_bytes = 0x100000;
    static constexpr uint32_t doorbell = 0x118;
    static constexpr uint32_t credit = 0x148;
    static constexpr uint32_t no_entry = 0xFFFFFFFF;

    explicit CommandRing(CardState& card) : card_(card) {}

    static bool claims(uint32_t offset) {
        return offset == doorbell || (offset >= 0x11C && offset <= 0x130) || offset == credit;
    }
    uint32_t read(uint32_t offset);
    void write(uint32_t offset, uint32_t value);

    // Fetches and replays up to `budget` entries; false when nothing could be done.
    bool step(unsigned budget);
    // Ring index of the entry being replayed; no_entry outside replay.
    uint32_t current_index() const { return current_; }

    // A doorbell hold (`hold_doorbells`) lets `n` more doorbells through.
    void hold(uint32_t allowance) { held_ = true; allowance_ = allowance; }
    void release(uint32_t n) { allowance_ += n; }
    void unhold() { held_ = false; }

    // Reset of the ring engine: the doorbell queue emptied, consumed moved to the fetch limit,
    // the replay buffer dropped.
    void engine_reset();
    // Channel reset: the same with fetch and consumed at 0; the ring stays latched.
    void channel_reset();
    void power_on();

  private:
    struct Entry {
        uint32_t value;
        uint32_t reg;
        uint32_t index;
    };

    bool may_fetch() const;
    void fetch();
    bool replayable(const Entry& e);
    uint32_t queued_entries() const;

    CardState& card_;
    uint32_t base_low_ = 0, base_high_ = 0, bytes_ = 0;
    bool latched_ = false;
    uint32_t consumed_ = 0;             // entries fetched, mod 0x20000
    std::deque<uint32_t> doorbells_;    // entries announced by each unfetched doorbell
    std::deque<Entry> replay_;
    uint64_t replayed_ = 0;
    uint32_t current_ = no_entry;
    uint64_t generation_ = 0;  // raised whenever the replay buffer is dropped
    bool held_ = false;
    uint32_t allowance_ = 0;
};

}  // namespace sim::card
