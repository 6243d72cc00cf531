// The byte channel between the host and the management processor: the data register (CSR
// 0x1180; a write sends the byte in bits 0-7, a read pops the received byte into bits 8-15, 0 when
// none) and the status register (CSR 0x1188: bit 0 nothing received, bit 3 transmitter full), a
// 64-byte transmit FIFO and a 4096-byte receive FIFO whose bytes become visible at a model time.
// The PMP takes every transmitted byte at once (unless stalled), decodes the host's frames with
// its own codec, has the network answer them and queues the answers, stuffed, for the host.
//
// An attention pulse (CSR 0x1000 bit 27 set, then cleared) empties both FIFOs and the decoder
// and counts down the "silent until attention" pulses. The link faults (dead, silent, corrupted
// answers, babble, stalls, latency) are applied here, the others by the network.
#pragma once

#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

#include "sim/card/fault_plan.h"
#include "sim/card/pmp_codec.h"
#include "sim/card/pmp_network.h"

namespace sim::card {

class PmpChannel {
  public:
    PmpChannel(const PmpConfig& config, FaultPlan& faults);

    uint32_t read_data(uint64_t now_us);
    uint32_t read_status(uint64_t now_us);
    void write_data(uint32_t value, uint64_t now_us);
    void attention();
    // Noise in the receive FIFO, at once.
    void babble(uint32_t bytes, uint64_t now_us);
    void set_silent_until_attention(uint32_t pulses) { silent_ = pulses; }

    PmpNetwork& network() { return network_; }
    const PmpNetwork& network() const { return network_; }

    // Inspection.
    struct Counters {
        uint32_t attention_pulses = 0;
        uint32_t answers = 0;       // frames queued for the host
        uint32_t ignored = 0;       // frames dropped while dead or silent
        uint32_t tx_dropped = 0;
        uint32_t rx_dropped = 0;
        pmp::DecoderCounters decoder;
    };
    Counters counters() const;
    // The host's frames decoded and the answers sent (before any corruption), the last 256.
    const std::deque<pmp::Frame>& frames_in() const { return frames_in_; }
    const std::deque<pmp::Frame>& frames_out() const { return frames_out_; }

  private:
    void feed(uint8_t byte, uint64_t now_us);
    void queue_answer(const pmp::Frame& frame, uint64_t now_us);
    void drain_tx(uint64_t now_us);
    bool visible(uint64_t now_us) const;
    void link_counters(uint32_t out[13]) const;

    PmpNetwork network_;
    FaultPlan& faults_;
    pmp::Decoder decoder_;
    std::deque<uint8_t> tx_;
    std::deque<std::pair<uint8_t, uint64_t>> rx_;  // byte, visible from
    uint32_t silent_ = 0;
    Counters counters_;
    std::deque<pmp::Frame> frames_in_;
    std::deque<pmp::Frame> frames_out_;
};

}  // namespace sim::card
