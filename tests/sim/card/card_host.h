// A host for the card model's own tests: a booted machine with the card plugged in and its BAR
// mapped, a command ring and completion rings in contiguous host memory, and the card's MSI-X
// messages connected to a service routine that counts them. Everything goes through registers
// and host memory, as the driver's own paths will.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "sim/card/card.h"
#include "sim/kernel/interrupt.h"
#include "tests/support/kernel_fixture.h"

namespace card_test {

constexpr uint32_t empty_word = 0xFFAA55FF;
constexpr uint32_t ring_entries = 0x20000;
constexpr uint32_t cq_words = 0x40000;

// The small card with the strict mode off: tests that check what the card does after a
// protocol fault.
inline sim::card::CardConfig lenient() {
    sim::card::CardConfig c = sim::card::CardConfig::small();
    c.channel.strict = false;
    return c;
}

// NAND window register n at BAR 0x8000 + n.
constexpr uint32_t nand(uint32_t n) { return 0x8000 + n; }
// Register `offset` of completion window q.
constexpr uint32_t cq(unsigned q, uint32_t offset) { return 0x4000 + 0x200 * q + offset; }

class CardHost {
  public:
    explicit CardHost(const sim::card::CardConfig& config);
    ~CardHost();

    sim::card::Card card;

    uint32_t read(uint32_t offset);
    void write(uint32_t offset, uint32_t value);

    // The command ring, as the driver keeps it: entries appended at `write_index`, handed over
    // by `doorbell()` (split in two at the ring's end).
    void append(uint32_t reg, uint32_t value);
    void doorbell();
    uint32_t write_index = 0;
    uint32_t posted = 0;
    uint32_t doorbells_rung = 0;

    // Programs the command ring and `rings` completion rings, turns the engines on and enables
    // writes with interrupts held (the driver's set-up); `interrupt_mode` then puts every ring in
    // state 1 with its hold released (controller and pipeline start).
    void start(unsigned rings, bool interrupt_mode = true);
    unsigned rings() const { return rings_; }

    // Connects the card's MSI-X messages; each call of the service routine is counted per
    // message, with the processor and IRQL it ran at.
    void connect_interrupts();
    void disconnect_interrupts();
    uint32_t interrupts(unsigned q) const { return serviced_[q].load(); }
    // Waits (real time, bounded) until ring q's routine ran `n` times in all and no message
    // waits for its routine.
    bool wait_interrupts(unsigned q, uint32_t n, unsigned real_milliseconds = 5000);
    ULONG last_processor(unsigned q) const { return processor_[q].load(); }
    KIRQL last_irql(unsigned q) const { return irql_[q].load(); }

    // Completion ring q: the words from its head up to the first empty one, consumed (reset to
    // the empty pattern) and, when `acknowledge`, acknowledged with `ack_flags` (bit 31 = stay
    // masked).
    std::vector<uint32_t> drain(unsigned q, bool acknowledge = true, uint32_t ack_flags = 0);
    uint32_t word(unsigned q, uint32_t index) const;
    uint32_t head(unsigned q) const { return head_[q]; }

    // Lets the card finish what it was given (wait_idle or run_until_idle by its mode).
    void settle();

    uint64_t ring_address() const { return (uint64_t)(uintptr_t)ring_; }
    uint32_t* ring_memory() { return ring_; }

  private:
    static BOOLEAN service(PKINTERRUPT interrupt, PVOID context, ULONG message);

    volatile ULONG* regs_ = nullptr;
    uint32_t* ring_ = nullptr;
    std::array<uint32_t*, 16> cqs_ = {};
    std::array<uint32_t, 16> head_ = {};
    unsigned rings_ = 0;
    PIO_INTERRUPT_MESSAGE_INFO messages_ = nullptr;
    std::array<std::atomic<uint32_t>, 16> serviced_ = {};
    std::array<std::atomic<ULONG>, 16> processor_ = {};
    std::array<std::atomic<KIRQL>, 16> irql_ = {};
};

// A booted machine (KernelTest) with a CardHost made by `make_host`.
class CardTest : public KernelTest {
  protected:
    void TearDown() override {
        host_.reset();
        KernelTest::TearDown();
    }
    CardHost& make_host(sim::card::CardConfig config) {
        host_ = std::make_unique<CardHost>(config);
        return *host_;
    }
    std::unique_ptr<CardHost> host_;
};

}  // namespace card_test
