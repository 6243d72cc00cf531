// NAND operations as the driver's issue handlers write them into the command ring: row programs
// with their flush tags, port A packets and filler, program starts, erases, read sequences with
// port B carving, direct and binary commands. For the card model's own tests.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "tests/sim/card/card_host.h"

namespace card_test {

// Host memory the card may reach by DMA.
class DmaBuffer {
  public:
    explicit DmaBuffer(size_t size, uint8_t fill = 0);
    ~DmaBuffer();
    DmaBuffer(const DmaBuffer&) = delete;
    DmaBuffer& operator=(const DmaBuffer&) = delete;
    uint8_t* data() { return data_; }
    size_t size() const { return size_; }
    uint64_t address() const { return (uint64_t)(uintptr_t)data_; }
    std::vector<uint8_t> bytes(size_t offset, size_t length) const {
        return std::vector<uint8_t>(data_ + offset, data_ + offset + length);
    }

  private:
    uint8_t* data_;
    size_t size_;
};

// Tag words: ring << 24 | index << 2 | subtype.
inline uint32_t flush_tag(uint32_t index) { return index << 2 | 0x1000001; }
inline uint32_t request_tag(uint32_t index, unsigned ring = 1) { return (uint32_t)ring << 24 | index << 2 | 2; }
inline uint32_t sequence_tag(uint32_t index, unsigned ring = 2) { return (uint32_t)ring << 24 | 1u << 16 | index << 2 | 3; }

// A 56-bit packet address and its opcode as the media-address registers carry them.
struct PacketAddress {
    uint64_t address;
    uint8_t opcode = 0x90;
    uint32_t low() const { return (uint32_t)address; }
    uint32_t high() const {
        return opcode | (uint32_t)(address >> 48 & 0xFF) << 8 | (uint32_t)(address >> 32 & 0xFFFF) << 16;
    }
};

inline uint32_t transfer_word(uint32_t kind, uint32_t units, uint32_t words, bool interrupt = false) {
    return (interrupt ? 0x80000000u : 0) | 1u << 28 | words << 18 | units << 3 | kind;
}

class NandOps {
  public:
    static constexpr uint32_t sector = 512;
    static constexpr uint32_t unit = sector + 8;  // an on-media packet

    explicit NandOps(CardHost& host);

    uint32_t row_address(uint32_t eb, uint32_t page, uint32_t plane, uint32_t bank) const;
    void address_cycles(uint32_t bank, uint32_t raw);
    // The row program of a flush record: budget, address cycles of every plane, flush tag,
    // marker. `runs` go to register 112 first.
    void row_program(uint32_t bank, uint32_t eb, uint32_t page, uint32_t flush_index, uint32_t capacity,
                     const std::vector<uint32_t>& runs = {});
    // Port A: `count` packets of `sector` bytes from `data` (count x sector bytes), their headers
    // from `first`; the command asks for report-done with `tag` when `interrupt`.
    void packets(PacketAddress first, uint32_t count, const uint8_t* data, uint32_t tag, bool interrupt);
    void raw_data(const uint8_t* data, uint32_t bytes, uint32_t tag, bool interrupt);
    void filler(uint32_t bytes, uint32_t tag);
    // Program start of the bank (lane mask, step 13) and program go (55 -> 3340).
    void issue(uint32_t bank, uint32_t lane_mask);
    void erase(uint32_t bank, uint32_t eb, uint32_t tag, uint32_t lane_mask);

    // A read sequence: header, target, address cycles, page-read step, `runs`, run words,
    // then the port B commands and the descriptors, then the end.
    struct Read {
        uint32_t bank = 0, eb = 0, page = 0;
        uint32_t tag = sequence_tag(1);
        uint32_t lane_mask = 3;
        uint32_t operation = 0;
        std::vector<uint32_t> runs;
        std::vector<uint32_t> run_words;
        std::vector<uint32_t> column_length;  // {column, length} in column units, or empty
        std::vector<uint32_t> transfers;      // 484 words (kind 2 preceded by the expected address)
        PacketAddress expected{0};
        struct Descriptor {
            uint64_t address;
            uint32_t length;
            bool interrupt;
        };
        std::vector<Descriptor> descriptors;
        bool descriptors_first = false;
    };
    void read(const Read& r);

    // A direct command: lane mask, the items (each word as four byte writes) to the bank's port,
    // the marker tag {0 -> 400} and step 26.
    void direct(uint32_t bank, uint32_t lane_mask, const std::vector<uint32_t>& items);
    // A binary command: items, status tag `tag`, step 26.
    void binary(uint32_t bank, const std::vector<uint32_t>& items, uint32_t tag);

    // Rings the doorbell, lets the card finish and drains ring q.
    std::vector<uint32_t> run_and_drain(unsigned q);

    CardHost& h;
    const sim::card::NandGeometry& g;

  private:
    DmaBuffer& keep(size_t size);
    std::vector<std::unique_ptr<DmaBuffer>> buffers_;
};

// A CardTest whose host runs three completion rings (admin, write, read) with NandOps on it.
class NandTest : public CardTest {
  protected:
    NandOps& start(const sim::card::CardConfig& config = lenient()) {
        CardHost& h = make_host(config);
        h.start(3);
        ops_ = std::make_unique<NandOps>(h);
        return *ops_;
    }
    // Ends the card (a test of several cards in a row).
    void stop() {
        ops_.reset();
        host_.reset();
    }
    void TearDown() override {
        ops_.reset();
        CardTest::TearDown();
    }
    std::unique_ptr<NandOps> ops_;
};

}  // namespace card_test
