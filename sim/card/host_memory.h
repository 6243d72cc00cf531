// DMA: the card reads and writes host memory by bus address, which is the host address. Only
// memory the stand-in lets devices reach (non-paged pool, contiguous memory, locked pages) is
// touched; any other address is a stray DMA: recorded, its read gives 0xFF bytes and its write
// is dropped. Nothing moves while the bus is lost or the card has no power.
//
// Completion words are written as single 32-bit release stores, so a host that reads a word
// with an acquire load also sees the record and data written before it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim::card {

class CardState;

class HostMemory {
  public:
    explicit HostMemory(CardState& card) : card_(card) {}

    // False (and a stray DMA recorded) when the range is not reachable.
    bool read(uint64_t address, void* destination, size_t length, const char* context);
    bool write(uint64_t address, const void* source, size_t length, const char* context);
    bool fill(uint64_t address, uint8_t byte, size_t length, const char* context);
    bool write_word(uint64_t address, uint32_t word, const char* context);

  private:
    bool reachable(uint64_t address, size_t length, bool to_host, const char* context);
    CardState& card_;
};

}  // namespace sim::card
