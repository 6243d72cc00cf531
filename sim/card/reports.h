// What the card writes into completion rings: completion words, the records that follow some of
// them (each ending in the terminator 0x00C0FFEE), and the tag word that names a request, a
// flush record or a marker and the ring that reports it.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace sim::card {

constexpr uint32_t record_terminator = 0x00C0FFEE;

// Tag word (registers 80, 400, 520, 3408 and 0x01C): ring << 24 | index << 2 | subtype.
struct Tag {
    uint32_t word = 0;
    unsigned ring() const { return word >> 24; }
    uint32_t index() const { return word >> 2 & 0x3FFF; }
    unsigned subtype() const { return word & 3; }
};
enum TagSubtype : unsigned { tag_marker = 0, tag_flush = 1, tag_request = 2, tag_sequence = 3 };

inline uint32_t dma_done_word(uint32_t index, bool erased) { return 0x5Bu | (erased ? 1u << 8 : 0) | index << 10; }
inline uint32_t report_done_word(uint32_t index) { return 0x2Du | index << 10; }
inline uint32_t bank_word(unsigned bank, unsigned subtype, uint32_t index) {
    return (0x20u + bank) | subtype << 8 | index << 10;
}

// Which operation a report belongs to (for delayed or swapped reports and inspection).
enum class ReportKind { event, flush, erase, dma, report, marker, readback, stats, status };

// One report: its first word, then the words of its record. `ring` is the ring the tag names;
// the completion unit falls back to ring 0 when that ring is not programmed.
struct Report {
    unsigned ring = 0;
    ReportKind kind = ReportKind::event;
    uint32_t index = 0;
    std::vector<uint32_t> words;
};

// A record: the first word, its body, the terminator.
inline std::vector<uint32_t> record(uint32_t first, std::initializer_list<uint32_t> body) {
    std::vector<uint32_t> w{first};
    w.insert(w.end(), body);
    w.push_back(record_terminator);
    return w;
}

inline std::vector<uint32_t> record(uint32_t first, const std::vector<uint32_t>& body) {
    std::vector<uint32_t> w{first};
    w.insert(w.end(), body.begin(), body.end());
    w.push_back(record_terminator);
    return w;
}

// A read-back: the length word L (payload words + 1) and its terminator, the payload, and a
// second terminator (also when the payload is empty).
inline std::vector<uint32_t> readback_record(uint32_t first, const std::vector<uint32_t>& payload) {
    std::vector<uint32_t> w{first, (uint32_t)payload.size() + 1, record_terminator};
    w.insert(w.end(), payload.begin(), payload.end());
    w.push_back(record_terminator);
    return w;
}

}  // namespace sim::card
