// The command ring's entries as tests read them back: {register, value} pairs in ring order.
#pragma once

#include <ostream>
#include <vector>

#include "driver/pipeline/hw_cmds.h"
#include "driver/pipeline/nand_dev.h"

struct ring_entry {
    ULONG reg;
    ULONG value;
    bool operator==(const ring_entry& o) const { return reg == o.reg && value == o.value; }
};

inline std::ostream& operator<<(std::ostream& out, const ring_entry& e) {
    return out << "{0x" << std::hex << e.reg << ", 0x" << e.value << std::dec << "}";
}

// The entries appended since *seen, which moves to the ring's write index.
inline std::vector<ring_entry> ring_entries_since(const nand_dev* channel, ULONG* seen) {
    std::vector<ring_entry> out;
    ULONG end = (ULONG)channel->ring_producer;
    for (; *seen != end; *seen = (*seen + 1) & HW_CMDS_MASK) {
        out.push_back({channel->ring.entries[*seen].reg, channel->ring.entries[*seen].value});
    }
    return out;
}
