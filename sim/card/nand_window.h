// The NAND window's data-channel registers (BAR 0x8000 + n): the latches the next row, erase,
// read or direct command takes (budget 0, program parameters 8 / 12, lane masks 72 / 68, the
// write-side randomizer runs 112, the status tag 400, the flush tag 3408), the bank command ports
// (156 + 32 x b, one byte per write), the sequencer steps (396), the row-program marker (404),
// program go (3340) and the read-threshold word of the next page read (3344, read_level.h).
// Port A and the read side have registers of their own (port_a.h, read_sequence.h); this window
// routes to them.
//
// Sequencer steps (396): bit 21 set: the read-sequence header (bits 0-4 = 11) or a page-read
// step (bits 0-4 = 0, 8 or 9; bank bits 28-30, operation bits 5-9); bit 21 clear, bank in bits
// 28-31: 13 program start (arms the bank's oldest unarmed row), 19 / 23 erase (one address, or
// the two planes'), 26 direct marker or binary command, any other value 16-31 a status step
// reported like a marker. Steps with bit 4 take the status tag.
//
// Row addresses in a bank's port: 3 bytes each, page in the low `page_bits`, block above (the
// LUN bit stripped at or above the LUN boundary); EB = block / planes - first block offset,
// plane = block mod planes. Several addresses of one operation name one EB and page and distinct
// planes; anything else is `bad_row_address` and the first address is used.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "sim/card/read_level.h"
#include "sim/card/reports.h"

namespace sim::card {

class CardState;

class NandWindow {
  public:
    static constexpr uint32_t base = 0x8000;
    static constexpr uint32_t size = 0x1000;

    explicit NandWindow(CardState& card) : card_(card) {}

    // The data channel's registers of the window (the rest belong to the controller side).
    static bool claims(uint32_t offset);
    // False when the entry must wait (a busy bank, no free page buffer).
    bool write(uint32_t n, uint32_t value);

    uint32_t param_a() const { return param_a_; }
    uint32_t param_b() const { return param_b_; }
    // Channel reset and power loss: latches, ports and any held step are dropped.
    void reset();

  private:
    struct Address {
        uint32_t eb = 0, page = 0, plane = 0;
        bool valid = false;
    };
    struct Addresses {
        bool usable = false;  // the first address names an erase block of the card
        uint32_t eb = 0, page = 0, plane_mask = 0;
        unsigned count = 0;
    };
    struct PendingDirect {
        unsigned bank;
        bool marker;
    };

    bool step(uint32_t value);
    bool marker(uint32_t value);
    bool erase(unsigned bank, unsigned code);
    bool direct(unsigned bank);
    void status_step(unsigned bank, uint32_t value);
    std::optional<Tag> take_status_tag(uint32_t value);
    std::vector<uint8_t> take_port(unsigned bank);
    Addresses decode(unsigned bank, const std::vector<uint8_t>& port, unsigned most, uint32_t reg, uint32_t value);
    Address decode_one(unsigned bank, uint32_t raw) const;

    CardState& card_;
    uint32_t budget_ = 0, param_a_ = 0, param_b_ = 0;
    uint32_t lane_mask_ = 0, second_mask_ = 0;
    std::optional<Tag> status_tag_;
    std::optional<Tag> flush_tag_;
    ReadLevelLatch read_level_;
    std::vector<uint32_t> write_runs_;
    std::array<std::vector<uint8_t>, 8> ports_;
    std::optional<PendingDirect> pending_direct_;
};

}  // namespace sim::card
