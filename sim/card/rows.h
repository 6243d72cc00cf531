// The write side's page buffers: the write stream that port A feeds, and the rows (one page
// buffer each) that a row-program marker (404) creates, in creation order.
//
// A row has a capacity (register 0 x column unit, latched at its marker); the stream places its
// bytes into the first row that is not full, splitting at capacity, and bytes that find no row
// wait in the stream for a later marker. So row k holds the stream's bytes from the sum of the
// capacities of the rows before it. Placed bytes go to the row's page buffer (its journal slot
// in the media file) at once. A row is armed by a program-start step of its bank (13: the bank's
// oldest unarmed row) or by 55 -> 3340 (the oldest unarmed row); armed and full, it is ready and
// programs when its bank is free, ready rows of a bank in queue order.
//
// Committed length: the bytes of complete port A commands (all their bytes placed); the power-cut
// flush keeps exactly those.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "sim/card/reports.h"

namespace sim::card {

class CardState;

struct Row {
    unsigned buffer = 0;  // page buffer: the media journal entry
    uint32_t bank = 0, eb = 0, row = 0, plane_mask = 0;
    bool usable = true;   // false: its address named no erase block; it takes bytes, programs nothing
    uint32_t capacity = 0;
    uint32_t filled = 0;
    uint32_t committed = 0;
    bool has_flush_tag = false;
    Tag flush_tag;
    std::vector<uint32_t> write_runs;
    uint32_t budget = 0, param_a = 0, param_b = 0;
    uint32_t lane_mask = 0;  // register 72 when it was armed
    bool armed = false;
    bool programming = false;
    uint64_t stream_start = 0;
    uint32_t packets = 0;  // kind-2 packets whose header lies in the row, counted at its program
};

// What tests see of a row.
struct RowView {
    uint32_t bank, eb, row;
    uint32_t capacity, filled, committed;
    bool armed, programming;
};

class RowQueue {
  public:
    explicit RowQueue(CardState& card) : card_(card) {}

    // Appends a row (its page buffer taken); false when every page buffer is in use.
    bool create(Row row);

    // The write stream.
    void push(const uint8_t* bytes, size_t length);
    void push_fill(uint8_t byte, uint64_t length);
    void note_packet();  // a packet header starts at the current end of the stream
    uint64_t pushed() const { return pushed_; }
    uint64_t placed() const { return placed_; }
    // Every byte before stream position `end` belongs to a complete command.
    void commit(uint64_t end);

    void arm_bank(unsigned bank, uint32_t lane_mask);
    void arm_oldest(uint32_t lane_mask);
    // Starts the programs of ready rows whose banks are free.
    void start_ready();
    bool bank_has_ready(unsigned bank) const;

    Row* find(unsigned buffer);
    // A program starts: the row's packets are counted (every header in its range is known once
    // it is full).
    void count_packets(Row& row);
    void remove(unsigned buffer);

    bool hold_data() const;
    std::vector<RowView> view() const;
    // Channel reset: rows not yet programming are dropped with their page buffers, the stream's
    // waiting bytes too; the row positions start again.
    void drop_unstarted();
    // After the power-loss routine freed every page buffer.
    void forget_all();

  private:
    struct Chunk {
        std::vector<uint8_t> data;  // or, when empty, `fill` bytes of `fill_byte`
        uint64_t fill = 0;
        uint8_t fill_byte = 0;
        uint64_t offset = 0;
        uint64_t size() const { return data.empty() ? fill : data.size(); }
    };

    void place();
    bool ready(const Row& r) const { return r.armed && !r.programming && r.filled == r.capacity; }

    CardState& card_;
    std::deque<Row> rows_;
    std::deque<Chunk> waiting_;
    uint64_t pushed_ = 0;
    uint64_t placed_ = 0;
    uint64_t capacity_end_ = 0;
    std::deque<uint64_t> headers_;  // stream positions of kind-2 packet headers
};

}  // namespace sim::card
