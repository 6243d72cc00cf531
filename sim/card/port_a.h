// Port A: host data into the write stream. A transfer command (76) waits for its tag word (80)
// and becomes a sink {kind, units, unit size, interrupt request, tag, media address}; the
// control-window descriptors queue source bytes read from host memory. The pump serves the
// oldest sink while it can: kind 0 moves source bytes, kind 1 (and 3, a fault) puts filler
// (0xF7) without DMA, kind 2 puts per unit an 8-byte packet header made from the media address
// (84 = header bytes 4-7, advanced by the unit's number without carry; 88 = bytes 0-3) and then
// unit - 8 source bytes.
//
// A sink is complete when all its bytes are placed in rows: the rows' committed length rises to
// its last byte, then, with an interrupt request and a request tag (subtype 2 or 3), the report
// 0x2D | index << 10 goes to the tag's ring.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "sim/card/reports.h"

namespace sim::card {

class CardState;

class PortA {
  public:
    explicit PortA(CardState& card) : card_(card) {}

    static bool claims(uint32_t n) { return n == 76 || n == 80 || n == 84 || n == 88; }
    void write(uint32_t n, uint32_t value);
    void source(std::vector<uint8_t> bytes);
    // Rows placed stream bytes: the sinks whose bytes are all placed complete.
    void placed();

    uint64_t unmatched_source_bytes() const { return source_bytes_; }
    size_t waiting_sinks() const { return sinks_.size(); }
    void reset();

  private:
    struct Sink {
        uint32_t kind = 0;
        uint32_t unit_bytes = 0;
        uint64_t total = 0;
        uint64_t done = 0;
        bool interrupt = false;
        Tag tag;
        uint32_t address_low = 0, address_high = 0;
        uint64_t end = 0;  // stream position after its last byte
    };

    void pump();
    uint64_t take_source(uint64_t most);

    CardState& card_;
    std::optional<uint32_t> command_;
    uint32_t address_low_ = 0, address_high_ = 0;
    std::deque<Sink> sinks_;   // not all bytes in the stream yet
    std::deque<Sink> pushed_;  // in the stream, waiting for their rows
    std::deque<std::vector<uint8_t>> sources_;
    uint64_t source_offset_ = 0;
    uint64_t source_bytes_ = 0;
};

}  // namespace sim::card
