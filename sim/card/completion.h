// Completion rings: per ring, the 512-byte register window at BAR 0x4000 + 0x200 x q, the
// producer count P and acknowledged count A (64-bit; the ring index is count mod 0x40000), the
// armed flag, and the queue of reports waiting to be written.
//
// A ring is programmed when its base is non-zero and its bytes register latched 0x100000; it is
// writable when programmed, in state 1 (interrupts) or 2 (polled) and with write enable set.
// Reports drain in posting order while the ring is writable and the whole report fits in
// 0x40000 - 128 unacknowledged words; a report is never split. A record's words are written
// before its first word. After a drain that wrote words, an armed ring in state 1 with its hold
// clear signals its MSI-X vector (q) and is disarmed; an acknowledge without bit 31 re-arms it.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>

#include "sim/card/inspect.h"
#include "sim/card/reports.h"

namespace sim::card {

class CardState;

class CompletionUnit {
  public:
    static constexpr uint32_t window_base = 0x4000;
    static constexpr uint32_t window_size = 0x200;
    static constexpr uint32_t ring_words = 0x40000;
    static constexpr uint32_t ring_bytes = 0x100000;
    static constexpr uint32_t margin = 128;  // words the card leaves free ahead of the host

    explicit CompletionUnit(CardState& card) : card_(card) {}

    static bool claims(uint32_t offset) {
        return offset >= window_base && offset < window_base + max_rings * window_size;
    }
    uint32_t read(uint32_t offset);
    void write(uint32_t offset, uint32_t value);

    // Queues a report on the ring its tag names (ring 0 when that ring is not programmed) and
    // drains that ring. Delayed and swapped reports (faults) are held here first.
    void post(Report report);
    // Reports held back by a delay fault whose time has come are posted; the earliest time a
    // held report is due (machine time), if any.
    void post_due(uint64_t now);
    std::optional<uint64_t> next_due() const;

    bool programmed(unsigned q) const;
    // Interrupt status as register 0xA040 reads it (ring 0's view).
    uint32_t interrupt_status() const;
    // Channel reset: every ring's waiting reports are dropped.
    void drop_pending();
    void power_on();

  private:
    struct Ring {
        uint32_t state = 0;
        uint32_t rx_word = 0;
        uint32_t write_enable = 0;
        uint32_t hold = 0;
        uint32_t base_low = 0, base_high = 0;
        uint32_t bytes = 0;
        uint32_t word9 = 0;
        bool latched = false;
        uint64_t produced = 0;      // P
        uint64_t acknowledged = 0;  // A
        bool armed = true;
        uint64_t words_written = 0;
        std::deque<Report> pending;
    };
    struct Delayed {
        uint64_t due;
        Report report;
    };

    bool writable(const Ring& r) const;
    void enqueue(Report report);
    void drain(unsigned q);
    void signal(unsigned q);
    void signal_if_armed(unsigned q);
    void restart(Ring& r);

    CardState& card_;
    std::array<Ring, max_rings> rings_;
    std::deque<Delayed> delayed_;
    std::optional<Report> swapped_;  // the first flush word of a swapped pair
};

}  // namespace sim::card
