// The read side: the open read sequence and port B.
//
// A sequence opens with its header step, takes its tag from 520 (ring << 24 | index << 2 | 3)
// and its window from 60 / 64 (column and length in column units), and closes with 524. A
// page-read step loads the addressed segment into the sequence's read stream: its bytes from the
// column for the length (to the end of the segment's full size when no length was given), 0xFF
// where nothing was programmed. Lanes of the read's lane mask that are bad, torn or hit by a read
// fault queue an event (105, 104 weak, 170 / 187 when a fault says so) with its record; a run
// word with 0xC0 queues a page-statistics record (0x30).
//
// Port B commands carve the stream at its cursor into outbound bytes: kind 0 delivers, kind 1
// delivers zeros without the stream, kind 2 delivers packets (each unit's stored header is
// checked against the expected media address of 488 / 492, the low word advanced per unit;
// a mismatch queues event 44 and the payload is still delivered), kind 3 skips. Outbound bytes
// fill the port B descriptors (496 / 500 / 504) in order, whichever comes first; a filled
// descriptor with bit 31 posts the queued events, then the statistics records, then
// 0x5B | erased << 8 | index << 10, all to the tag's ring.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "sim/card/reports.h"

namespace sim::card {

class CardState;

// A page read as its step and the bank's command port give it.
struct PageRead {
    unsigned bank = 0;
    uint32_t eb = 0, row = 0;
    bool usable = false;  // the address named an erase block of the card
    uint32_t operation = 0;
    uint32_t lane_mask = 0;
    std::optional<uint32_t> level_word;  // the read-threshold word it carries (read_level.h)
};

class ReadSequence {
  public:
    explicit ReadSequence(CardState& card) : card_(card) {}

    static bool claims(uint32_t n) { return n == 60 || n == 64 || (n >= 480 && n <= 524 && n % 4 == 0); }
    void write(uint32_t n, uint32_t value);
    void header();
    // A page-read step: begun once (its address taken from the bank's port), then ended when
    // the bank has read (false: not yet, replay the step again).
    bool page_read_pending() const { return pending_.has_value(); }
    void begin_page_read(const PageRead& read);
    bool finish_page_read();

    bool is_open() const { return open_; }
    // Channel reset and power loss: the sequence and everything queued in it are dropped.
    void reset();

  private:
    struct Descriptor {
        uint64_t address = 0;
        uint32_t length = 0;
        uint32_t filled = 0;
        bool interrupt = false;
    };
    struct Outbound {
        std::vector<uint8_t> data;  // or, when empty, `zeros` zero bytes
        uint64_t zeros = 0;
        uint64_t offset = 0;
        uint64_t size() const { return data.empty() ? zeros : data.size(); }
    };
    struct Loaded {
        uint64_t segment = 0;
        uint32_t eb = 0, bank = 0, row = 0;
        uint64_t stream_at = 0;       // where its bytes start in the read stream
        uint64_t segment_offset = 0;  // the segment offset of that first byte
        uint32_t lane_mask = 0;
        uint32_t operation = 0;
        bool erased = false;
        bool sample = false;
        std::vector<uint32_t> write_runs;
    };
    void ensure_open(uint32_t n, uint32_t value);
    void close();
    void post_queued();
    void transfer(uint32_t value);
    void carve(uint64_t length, std::vector<uint8_t>& out);
    void deliver(std::vector<uint8_t> bytes);
    void fill_descriptors();
    void read_run(uint32_t value);
    void run_word(uint32_t value);
    void queue_lane_events(const PageRead& read, uint64_t segment, bool torn);

    CardState& card_;
    bool open_ = false;
    Tag tag_;
    uint32_t column_ = 0, length_ = 0;
    bool column_set_ = false, length_set_ = false;
    std::vector<uint8_t> stream_;
    uint64_t cursor_ = 0;
    bool erased_ = false;
    std::vector<Loaded> loaded_;
    uint64_t run_offset_ = 0;  // stream offset of the next read run
    std::vector<Report> events_;
    std::vector<Report> stats_;
    std::deque<Outbound> outbound_;
    std::deque<Descriptor> descriptors_;
    uint32_t expected_low_ = 0, expected_high_ = 0;
    uint32_t descriptor_length_ = 0, descriptor_low_ = 0;
    uint32_t packets_checked_ = 0;
    bool overrun_reported_ = false;
    std::optional<PageRead> pending_;
};

}  // namespace sim::card
