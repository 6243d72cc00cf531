// What tests see of the card's inside: counters, the protocol faults and stray DMAs it detected,
// the entries it replayed and the words it wrote. Card returns copies taken under its mutex
// (card.h); the Inspector below is the card's own record of them.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace sim::card {

constexpr unsigned max_rings = 16;

struct CardCounters {
    uint64_t doorbells = 0;          // doorbell writes accepted
    uint64_t doorbells_fetched = 0;
    uint64_t entries_fetched = 0;
    uint64_t entries_replayed = 0;
    std::array<uint64_t, max_rings> words = {};         // completion words written, per ring
    std::array<uint64_t, max_rings> msix_signals = {};  // messages presented, per vector
    std::map<uint32_t, uint64_t> records;  // records written, by the low byte of their first word
    uint64_t acknowledges = 0;
    uint64_t retriggers = 0;
    uint64_t programs = 0;
    uint64_t reads = 0;
    uint64_t erases = 0;
    uint64_t packets_programmed = 0;
    uint64_t events_posted = 0;
    uint64_t events_masked = 0;
    uint64_t unaligned_dma = 0;
    uint64_t upset_acknowledges = 0;
    uint64_t direct_sequences = 0;
    uint64_t readbacks = 0;
    uint64_t power_cuts = 0;
    uint64_t rows_flushed = 0;  // rows the power-loss routine (or 5020) programmed
};

// A violation of the protocol by the host, detected by the card (never injected). `ring_index`
// is the command-ring index of the entry being replayed, or 0xFFFFFFFF for an MMIO access.
struct ProtocolFault {
    std::string code;
    uint32_t ring_index = 0;
    uint32_t reg = 0;
    uint32_t value = 0;
    std::string text;
};

// A DMA to or from an address the host had not made reachable.
struct StrayDma {
    uint64_t address = 0;
    uint64_t length = 0;
    bool to_host = false;
    std::string context;
};

// What waits in the channel (normal while the host is between commands; at the end of a
// host's work, data the host sent and the card could not place).
struct ChannelState {
    uint64_t port_a_source_bytes = 0;   // descriptor bytes no port A command took yet
    uint64_t port_a_waiting_commands = 0;  // port A commands waiting for source bytes
    uint64_t unplaced_bytes = 0;        // stream bytes no row took yet
    uint64_t rows = 0;                  // rows in page buffers
    bool read_sequence_open = false;
};

struct TracedEntry {
    uint32_t ring_index = 0;
    uint32_t reg = 0;
    uint32_t value = 0;
    uint64_t time = 0;  // machine time, 100 ns units
};

class Inspector {
  public:
    static constexpr size_t trace_size = 4096;
    static constexpr size_t log_words = 1 << 16;  // the completion log keeps each ring's last words

    CardCounters counters;
    std::vector<ProtocolFault> protocol_faults;
    std::vector<StrayDma> stray_dma;

    void trace(uint32_t ring_index, uint32_t reg, uint32_t value, uint64_t time) {
        if (trace_.size() == trace_size) {
            trace_.pop_front();
        }
        trace_.push_back({ring_index, reg, value, time});
    }
    void log_word(unsigned ring, uint32_t word) {
        auto& log = logs_[ring];
        if (log.size() == log_words) {
            log.pop_front();
        }
        log.push_back(word);
    }
    std::vector<TracedEntry> entry_trace() const { return {trace_.begin(), trace_.end()}; }
    std::vector<uint32_t> completion_log(unsigned ring) const {
        return ring < max_rings ? std::vector<uint32_t>(logs_[ring].begin(), logs_[ring].end())
                                : std::vector<uint32_t>();
    }

  private:
    std::deque<TracedEntry> trace_;
    std::array<std::deque<uint32_t>, max_rings> logs_;
};

}  // namespace sim::card
