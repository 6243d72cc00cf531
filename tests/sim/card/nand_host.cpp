#include "tests/sim/card/nand_host.h"

#include <cstring>

#include "sim/kernel/pool.h"

namespace card_test {

DmaBuffer::DmaBuffer(size_t size, uint8_t fill) : size_(size) {
    PHYSICAL_ADDRESS highest;
    highest.QuadPart = -1;
    data_ = (uint8_t*)MmAllocateContiguousMemory(size, highest);
    std::memset(data_, fill, size);
}

DmaBuffer::~DmaBuffer() {
    MmFreeContiguousMemory(data_);
}

NandOps::NandOps(CardHost& host) : h(host), g(host.card.config().geometry) {}

DmaBuffer& NandOps::keep(size_t size) {
    buffers_.push_back(std::make_unique<DmaBuffer>(size));
    return *buffers_.back();
}

uint32_t NandOps::row_address(uint32_t eb, uint32_t page, uint32_t plane, uint32_t bank) const {
    uint32_t block = (eb + g.first_block_offset) * g.planes + plane;
    uint32_t r = block << g.page_bits | page;
    return bank >= g.lun_boundary ? r | g.lun_bit : r;
}

void NandOps::address_cycles(uint32_t bank, uint32_t raw) {
    for (int i = 0; i < 3; i++) {
        uint32_t byte = raw >> (8 * i) & 0xFF;
        h.append(nand(156 + 32 * bank), byte * 0x01010101u);
    }
}

void NandOps::row_program(uint32_t bank, uint32_t eb, uint32_t page, uint32_t flush_index, uint32_t capacity,
                          const std::vector<uint32_t>& runs) {
    for (uint32_t run : runs) {
        h.append(nand(112), run);
    }
    h.append(nand(0), capacity / g.column_unit);
    h.append(nand(8), 0);
    h.append(nand(12), 0);
    for (uint32_t p = 0; p < g.planes; p++) {
        address_cycles(bank, row_address(eb, page, p, bank));
    }
    h.append(nand(3408), flush_tag(flush_index));
    h.append(nand(404), bank << 28 | 16);
}

void NandOps::packets(PacketAddress first, uint32_t count, const uint8_t* data, uint32_t tag, bool interrupt) {
    DmaBuffer& b = keep((size_t)count * sector);
    std::memcpy(b.data(), data, (size_t)count * sector);
    h.append(nand(84), first.low());
    h.append(nand(88), first.high());
    h.append(nand(76), transfer_word(2, count, unit / 8, interrupt));
    h.append(nand(80), tag);
    h.append(0x018, count * sector);
    h.append(0x020, (uint32_t)b.address());
    h.append(0x024, (uint32_t)(b.address() >> 32));
}

void NandOps::raw_data(const uint8_t* data, uint32_t bytes, uint32_t tag, bool interrupt) {
    DmaBuffer& b = keep(bytes);
    std::memcpy(b.data(), data, bytes);
    uint32_t words = bytes % 4096 == 0 ? 512 : bytes / 8;
    h.append(nand(76), transfer_word(0, bytes / 8 / words, words, interrupt));
    h.append(nand(80), tag);
    h.append(0x018, bytes);
    h.append(0x020, (uint32_t)b.address());
    h.append(0x024, (uint32_t)(b.address() >> 32));
}

void NandOps::filler(uint32_t bytes, uint32_t tag) {
    uint32_t words = bytes % 4096 == 0 ? 512 : bytes / 8;
    h.append(nand(76), transfer_word(1, bytes / 8 / words, words));
    h.append(nand(80), tag);
}

void NandOps::issue(uint32_t bank, uint32_t lane_mask) {
    h.append(nand(72), lane_mask);
    h.append(nand(396), bank << 28 | 13);
    h.append(nand(3340), 55);
}

void NandOps::erase(uint32_t bank, uint32_t eb, uint32_t tag, uint32_t lane_mask) {
    address_cycles(bank, row_address(eb, 0, 0, bank));
    h.append(nand(72), lane_mask);
    h.append(nand(400), tag);
    h.append(nand(396), bank << 28 | 19);
}

void NandOps::read(const Read& r) {
    h.append(nand(396), 0x20000B);
    h.append(nand(520), r.tag);
    if (r.column_length.size() == 2) {
        h.append(nand(60), r.column_length[0]);
        h.append(nand(64), r.column_length[1]);
    }
    address_cycles(r.bank, row_address(r.eb, r.page, 0, r.bank));
    h.append(nand(72), r.lane_mask);
    h.append(nand(396), ((r.operation & 31) | r.bank << 23 | 0x10000) << 5);
    for (uint32_t run : r.runs) {
        h.append(nand(480), run);
    }
    for (uint32_t w : r.run_words) {
        h.append(nand(516), w);
    }
    auto descriptors = [&] {
        for (const Read::Descriptor& d : r.descriptors) {
            h.append(nand(496), d.length | (d.interrupt ? 0x80000000u : 0));
            h.append(nand(500), (uint32_t)d.address);
            h.append(nand(504), (uint32_t)(d.address >> 32));
        }
    };
    if (r.descriptors_first) {
        descriptors();
    }
    for (uint32_t t : r.transfers) {
        if ((t & 7) == 2) {
            h.append(nand(488), r.expected.low());
            h.append(nand(492), r.expected.high());
        }
        h.append(nand(484), t);
    }
    if (!r.descriptors_first) {
        descriptors();
    }
    h.append(nand(524), 0);
}

void NandOps::direct(uint32_t bank, uint32_t lane_mask, const std::vector<uint32_t>& items) {
    h.append(nand(72), lane_mask);
    for (uint32_t item : items) {
        for (int i = 0; i < 4; i++) {
            h.append(nand(156 + 32 * bank), item >> (8 * i) & 0xFF);
        }
    }
    h.append(nand(400), 0);
    h.append(nand(396), bank << 28 | 26);
}

void NandOps::binary(uint32_t bank, const std::vector<uint32_t>& items, uint32_t tag) {
    for (uint32_t item : items) {
        for (int i = 0; i < 4; i++) {
            h.append(nand(156 + 32 * bank), item >> (8 * i) & 0xFF);
        }
    }
    h.append(nand(400), tag);
    h.append(nand(396), bank << 28 | 26);
}

std::vector<uint32_t> NandOps::run_and_drain(unsigned q) {
    h.doorbell();
    h.settle();
    return h.drain(q);
}

}  // namespace card_test
