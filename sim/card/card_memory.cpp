#include "sim/card/card_memory.h"

#include <algorithm>

namespace sim::card {
namespace {

void put_u32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) {
        out[at + i] = (uint8_t)(v >> (8 * i));
    }
}

}  // namespace

CardMemory::CardMemory(const FactoryRecordConfig& factory) {
    if (factory.present) {
        std::vector<uint8_t> record(168, 0);
        put_u32(record, 0, factory.magic);
        for (int i = 0; i < 8; i++) {
            put_u32(record, 8 + 4 * i, factory.values[i]);
        }
        for (int t = 0; t < 2; t++) {
            std::copy_n(factory.text[t].begin(), std::min<size_t>(factory.text[t].size(), 63), record.begin() + 40 + 64 * t);
        }
        write(factory_record, record);
    }
}

uint8_t CardMemory::byte(uint32_t address) const {
    auto it = pages_.find(address / page_size);
    return it != pages_.end() ? (*it->second)[address % page_size] : 0xFF;
}

void CardMemory::write(uint32_t address, const std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i < bytes.size() && address + i < size; i++) {
        uint32_t a = address + (uint32_t)i;
        auto& page = pages_[a / page_size];
        if (!page) {
            page = std::make_unique<std::array<uint8_t, page_size>>();
            page->fill(0xFF);
        }
        (*page)[a % page_size] = bytes[i];
    }
}

uint16_t CardMemory::word(uint32_t word_address) const {
    uint32_t a = (word_address & 0xFFFFFF) * 2;
    return (uint16_t)(byte(a) << 8 | byte(a + 1));
}

void CardMemory::write_command(uint32_t value, uint32_t select) {
    if (value == 5) {
        latched_ = select == 0 ? 0xFFFF : word(address_);
        if (select != 0 && glitch_count_ > 0 && address_ == glitch_word_) {
            latched_ ^= 1;
        }
    } else if (value == 1) {
        words_read_++;
        if (glitch_count_ > 0 && address_ == glitch_word_) {
            glitch_count_--;
        }
    }
}

}  // namespace sim::card
