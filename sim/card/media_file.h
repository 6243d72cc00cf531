// The NAND media in a sparse file, so that what the card programmed survives the machine's
// process: a power cut or a kill loses only what a real card loses.
//
// Layout (4 KiB aligned regions):
//   header   magic "VKCARDM1", version 1, the geometry, segment_max, slot stride, page-buffer
//            count, the persisted flush settings (4992, 5000, holdup), CRC-32 of the header;
//   index    one u32 per segment, id = (EB x banks + bank) x rows + row: bits 0-27 slot + 1
//            (0 = none), bit 30 torn, bit 31 programmed; no bit: erased;
//   journal  one 64-byte entry per page buffer: state (0 free, 1 filling, 2 armed,
//            3 programming), the row's address, capacity, filled and committed lengths, flush
//            tag, creation sequence, slot;
//   slots    fixed stride (4096 + segment_max rounded up to 4 KiB): a slot header (segment id,
//            length, up to 12 write runs), then the data.
// The header, index and journal are mapped; slots are read and written with pread / pwrite.
// Both end in the page cache at once, so a killed process leaves them for the next power-on.
//
// Ordering that makes a kill the same as a power cut: a byte reaches its slot before its row's
// filled count; committed rises after the bytes; a program writes the slot header before the
// index entry and frees the journal entry after it; an erase clears index entries before it
// frees their slots. A free slot is one that no index or journal entry names; free slots are
// found by a scan when the file is opened and their space is given back when they are freed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/card/config.h"

namespace sim::card {

enum class SegmentKind { erased, programmed, torn };

struct SegmentInfo {
    SegmentKind kind = SegmentKind::erased;
    uint32_t length = 0;  // bytes programmed (0 when erased)
};

struct JournalEntry {
    uint32_t state;  // JournalState
    uint32_t eb, bank, row;
    uint32_t plane_mask;
    uint32_t capacity, filled, committed;
    uint32_t flush_tag;
    uint32_t has_flush_tag;
    uint64_t sequence;
    uint32_t slot;
    uint32_t reserved[3];
};
static_assert(sizeof(JournalEntry) == 64);

enum JournalState : uint32_t { journal_free = 0, journal_filling = 1, journal_armed = 2, journal_programming = 3 };

class MediaStore {
  public:
    static constexpr uint32_t max_runs = 12;

    // Opens (or creates, every segment erased) the file at `path`; an empty path makes a
    // temporary file that goes with the store. Throws std::runtime_error when the file holds
    // another geometry or cannot be used.
    MediaStore(const CardConfig& config, const std::string& path);
    ~MediaStore();
    MediaStore(const MediaStore&) = delete;
    MediaStore& operator=(const MediaStore&) = delete;

    uint64_t segment_id(uint32_t eb, uint32_t bank, uint32_t row) const;
    SegmentInfo segment(uint64_t id) const;
    // Up to `length` bytes from `offset` of a programmed or torn segment; bytes it does not
    // hold read 0xFF.
    void read_segment(uint64_t id, uint64_t offset, uint8_t* out, size_t length) const;
    std::vector<uint32_t> write_runs(uint64_t id) const;

    // Page buffers: a journal entry and the slot its bytes go to.
    int take_buffer(const JournalEntry& row);  // -1 when none is free
    JournalEntry& buffer(unsigned index) { return journal_[index]; }
    void write_buffer(unsigned index, uint64_t offset, const uint8_t* bytes, size_t length);
    void fill_buffer(unsigned index, uint64_t offset, uint8_t byte, size_t length);
    void set_buffer_runs(unsigned index, const std::vector<uint32_t>& runs);
    // Programs the buffer's segment with its first `length` bytes: programmed when the segment
    // was erased, else torn (false). The buffer is freed.
    bool program_buffer(unsigned index, uint32_t length);
    void drop_buffer(unsigned index);
    unsigned free_buffers() const { return free_buffers_; }
    // Journal entries in use, oldest first.
    std::vector<unsigned> buffers_in_use() const;

    void erase(uint32_t eb, uint32_t bank);
    void tear(uint64_t id);
    // Test access: bytes written into a segment (an erased one becomes programmed).
    void poke(uint64_t id, uint64_t offset, const uint8_t* bytes, size_t length);
    void erase_all();

    // The flush settings a later power-on recovers with.
    void set_flush_settings(uint32_t brownout, uint32_t powercut, Holdup holdup);
    uint32_t persisted_powercut() const;
    Holdup persisted_holdup() const;

    // The power-loss routine over the journal: with `flush`, every row with committed bytes is
    // padded from there with `pad` and programmed (a row already programming completes whole);
    // without it, rows are lost and a row programming ends as `torn`. Every buffer is freed.
    // Returns the rows programmed.
    unsigned power_loss(bool flush, TornOutcome torn, uint8_t pad);

  private:
    struct Header;
    uint64_t slot_offset(uint32_t slot) const { return slots_base_ + (uint64_t)slot * slot_stride_; }
    uint32_t take_slot();
    void free_slot(uint32_t slot, uint32_t length);
    void write_header_crc();
    void check_or_format(bool fresh);
    void scan_free_slots();

    const NandGeometry geometry_;
    const uint32_t page_buffers_;
    int fd_ = -1;
    uint8_t* map_ = nullptr;
    size_t map_size_ = 0;
    Header* header_ = nullptr;
    uint32_t* index_ = nullptr;
    JournalEntry* journal_ = nullptr;
    uint64_t slots_base_ = 0;
    uint64_t slot_stride_ = 0;
    uint64_t slot_count_ = 0;
    std::vector<uint32_t> free_slots_;
    unsigned free_buffers_ = 0;
    uint64_t next_sequence_ = 1;
};

}  // namespace sim::card
