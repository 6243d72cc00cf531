// The controller's diagnostic registers: the NCE trace handshake (0x22E4 control, 0x22C8 data,
// 0x209C session, 0x2094) and the status FIFO (0x2054 state and pop, 0x2058..0x2064 the head
// entry). Records and entries are put in by tests; the host reads them out as the card's
// design says.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace sim::card {

class Diagnostics {
  public:
    // A trace record: its header word (count << 18 | class << 16 | id) and its data words.
    struct TraceRecord {
        uint32_t header;
        std::vector<uint32_t> words;
    };
    using FifoEntry = std::array<uint32_t, 4>;  // the words at 0x2058, 0x205C, 0x2060, 0x2064

    // True for the offsets this component answers.
    static bool owns(uint32_t csr_offset);
    uint32_t read(uint32_t csr_offset);
    void write(uint32_t csr_offset, uint32_t value);

    void add_trace(const TraceRecord& record) { trace_.push_back(record); }
    void add_fifo(const FifoEntry& entry) { fifo_.push_back(entry); }
    // Faults: the FIFO never reports empty (its last entry repeats); the session stays busy with
    // no record; the trace cannot be read; the stale bit never clears.
    bool fifo_stuck = false;
    bool trace_busy_stuck = false;
    bool trace_unreadable = false;
    bool trace_stale = false;
    bool trace_stale_stuck = false;

    size_t fifo_left() const { return fifo_.size(); }
    size_t trace_left() const { return trace_.size(); }

  private:
    bool record_available() const;

    std::deque<TraceRecord> trace_;
    std::deque<FifoEntry> fifo_;
    FifoEntry last_popped_{};
    bool session_ = false;
    bool unreadable_seen_ = false;
    size_t record_ = 0;
    long word_ = -1;
};

}  // namespace sim::card
