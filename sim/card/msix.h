// The MSI-X table (16 entries at BAR 0xF000: address low, address high, data, vector control
// with bit 0 = masked) and the pending bits (BAR 0xF800). A message is presented when MSI-X is
// enabled, the function is not masked and its entry is not masked; otherwise its pending bit is
// set and it is presented as soon as all three allow it. Presented messages are collected here
// and handed to the interrupt controller by the card once its mutex is released.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

namespace sim::card {

class CardState;

struct MsixMessage {
    uint64_t address;
    uint32_t data;
};

class Msix {
  public:
    static constexpr uint32_t table_offset = 0xF000;
    static constexpr uint32_t pba_offset = 0xF800;
    static constexpr unsigned vectors = 16;

    explicit Msix(CardState& card) : card_(card) {}

    static bool claims(uint32_t offset) {
        return (offset >= table_offset && offset < table_offset + 16 * vectors) ||
               (offset >= pba_offset && offset < pba_offset + 8);
    }
    uint32_t read(uint32_t offset) const;
    void write(uint32_t offset, uint32_t value);

    void signal(unsigned vector);
    // Presents the pending messages that may go now (after the enable, the function mask or an
    // entry's mask changed).
    void release_pending();
    std::vector<MsixMessage> take_messages();
    void power_on();

  private:
    bool may_present(unsigned vector) const;
    void present(unsigned vector);

    CardState& card_;
    std::array<std::array<uint32_t, 4>, vectors> table_{};
    uint32_t pending_ = 0;
    std::vector<MsixMessage> messages_;
};

}  // namespace sim::card
