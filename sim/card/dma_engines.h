// The card's three DMA engines and their control words: 0x004 feeds port A from the
// control-window descriptors, 0x104 fetches the command ring, 0x2004 moves port B data to the
// host. A write stores the word. 0xF903 turns an engine on; a stop request (bit 9, as in 0xFA02)
// finishes the entry or transfer in progress (always done by the time the register answers)
// and reads with bits 9-10 clear; 0x800000 resets the engine and reads with bit 23 clear; 0
// turns it off. Fetch and replay run only while all three are on. The `engine_stuck` fault
// keeps chosen bits from clearing.
//
// The control-window descriptor (0x018 length, 0x01C bank select, 0x020 / 0x024 address) is
// latched here; the write to 0x024 reads the bytes from host memory at once for port A.
#pragma once

#include <array>
#include <cstdint>

namespace sim::card {

class CardState;

class DmaEngines {
  public:
    static constexpr uint32_t port_a_engine = 0x004;
    static constexpr uint32_t ring_engine = 0x104;
    static constexpr uint32_t port_b_engine = 0x2004;
    static constexpr uint32_t on_word = 0xF903;

    explicit DmaEngines(CardState& card) : card_(card) {}

    static bool claims(uint32_t offset) {
        return offset == port_a_engine || offset == ring_engine || offset == port_b_engine ||
               (offset >= 0x018 && offset <= 0x024);
    }
    uint32_t read(uint32_t offset) const;
    void write(uint32_t offset, uint32_t value);

    bool all_on() const;
    // Channel reset and power-on: every engine off, the descriptor latches cleared.
    void reset();

  private:
    static int index_of(uint32_t offset);
    void descriptor_complete();

    CardState& card_;
    std::array<uint32_t, 3> control_{};
    uint32_t length_ = 0, bank_select_ = 0, address_low_ = 0, address_high_ = 0;
};

}  // namespace sim::card
