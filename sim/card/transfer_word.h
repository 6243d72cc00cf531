// The transfer command word of ports A (register 76) and B (484): bit 31 an interrupt request
// (port A only), bits 29-30 zero, bit 28 always set, bits 18-27 words (8-byte units) per unit,
// bits 3-17 the unit count, bits 0-2 the kind (0-3). Bytes moved = count x words x 8.
#pragma once

#include <cstdint>

namespace sim::card {

struct TransferWord {
    bool valid = false;
    bool interrupt = false;
    uint32_t words = 0;
    uint32_t units = 0;
    uint32_t kind = 0;

    uint32_t unit_bytes() const { return words * 8; }
    uint64_t bytes() const { return (uint64_t)units * words * 8; }

    static TransferWord decode(uint32_t v) {
        TransferWord t;
        t.interrupt = (v & 0x80000000u) != 0;
        t.words = v >> 18 & 0x3FF;
        t.units = v >> 3 & 0x7FFF;
        t.kind = v & 7;
        t.valid = (v & 0x10000000u) != 0 && (v & 0x60000000u) == 0 && t.kind <= 3 && t.words != 0 && t.units != 0;
        return t;
    }
};

}  // namespace sim::card
