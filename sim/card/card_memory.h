// The card's memory (32 MiB, erased bytes 0xFF) and the window through which the host reads it a
// 16-bit word at a time: 0x10A4 the word address (byte address / 2, low 24 bits), 0x10A8 the
// command (each 5 latches the addressed word into 0x10A0, 1 ends the access), 0x10A0 the word in
// its upper 16 bits. Word w = (M[2w] << 8) | M[2w + 1]: the byte at the lower address is the
// upper half, so a host that stores the upper byte first gets the memory byte for byte, and the
// multi-byte fields below read little-endian. With the select register (0x10D8) at 0 the latch
// reads 0xFFFF.
//
// Contents built at power-on from the configuration: the factory record at 0x1F10000 (168 bytes:
// magic 0xCAFED00D, 0, eight u32 values, two 64-byte texts); the controller writes the image
// containers at 0x1F80000 (card_images.h).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sim::card {

struct FactoryRecordConfig {
    bool present = true;
    uint32_t magic = 0xCAFED00D;
    uint32_t values[8] = {8, 9, 3, 0, 0, 0, 0, 51234};  // major, minor, micro at 8, 12, 16; build at 36
    std::string text[2] = {"Velkor factory image", "factory 2026-12-10"};
};

class CardMemory {
  public:
    static constexpr uint32_t size = 0x2000000;
    static constexpr uint32_t factory_record = 0x1F10000;

    explicit CardMemory(const FactoryRecordConfig& factory);

    uint8_t byte(uint32_t address) const;
    void write(uint32_t address, const std::vector<uint8_t>& bytes);
    uint16_t word(uint32_t word_address) const;

    // The window registers; `select` is the select register's value at the time.
    void write_address(uint32_t value) { address_ = value & 0xFFFFFF; }
    void write_command(uint32_t value, uint32_t select);
    uint32_t read_data() const { return (uint32_t)latched_ << 16; }

    // The next `count` reads of the word holding `address` flip its bit 0 (a flaky read).
    void glitch(uint32_t address, uint32_t count) {
        glitch_word_ = (address & 0x1FFFFFF) / 2;
        glitch_count_ = count;
    }

    // Accesses ended (command 1).
    uint64_t words_read() const { return words_read_; }

  private:
    static constexpr uint32_t page_size = 0x10000;
    std::map<uint32_t, std::unique_ptr<std::array<uint8_t, page_size>>> pages_;
    uint32_t address_ = 0;
    uint16_t latched_ = 0xFFFF;
    uint64_t words_read_ = 0;
    uint32_t glitch_word_ = 0;
    uint32_t glitch_count_ = 0;
};

}  // namespace sim::card
