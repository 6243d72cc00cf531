#include "sim/card/media_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace sim::card {
namespace {

constexpr char magic[8] = {'V', 'K', 'C', 'A', 'R', 'D', 'M', '1'};
constexpr uint32_t layout_version = 1;
constexpr uint32_t page = 4096;
constexpr uint32_t programmed_bit = 1u << 31;
constexpr uint32_t torn_bit = 1u << 30;
constexpr uint32_t slot_mask = 0x0FFFFFFF;

uint64_t round_up(uint64_t n, uint64_t to) {
    return (n + to - 1) / to * to;
}

uint32_t crc32(const uint8_t* p, size_t n) {
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < n; i++) {
        crc ^= p[i];
        for (int k = 0; k < 8; k++) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
        }
    }
    return ~crc;
}

struct SlotHeader {
    uint64_t segment;
    uint32_t length;
    uint32_t run_count;
    uint32_t runs[MediaStore::max_runs];
};

void full_pwrite(int fd, const void* data, size_t length, uint64_t offset) {
    auto* p = (const uint8_t*)data;
    while (length > 0) {
        ssize_t n = ::pwrite(fd, p, length, (off_t)offset);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw std::runtime_error(std::string("card media file: write failed: ") + std::strerror(errno));
        }
        p += n;
        length -= (size_t)n;
        offset += (uint64_t)n;
    }
}

void full_pread(int fd, void* data, size_t length, uint64_t offset) {
    auto* p = (uint8_t*)data;
    while (length > 0) {
        ssize_t n = ::pread(fd, p, length, (off_t)offset);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            std::memset(p, 0, length);  // beyond the end of a sparse file: never written
            return;
        }
        p += n;
        length -= (size_t)n;
        offset += (uint64_t)n;
    }
}

int open_temporary() {
    const char* dir = std::getenv("TMPDIR");
    std::string base = dir != nullptr && *dir != 0 ? dir : "/tmp";
    int fd = ::open(base.c_str(), O_TMPFILE | O_RDWR, 0600);
    if (fd >= 0) {
        return fd;
    }
    std::string pattern = base + "/card-media-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back(0);
    fd = ::mkstemp(name.data());
    if (fd >= 0) {
        ::unlink(name.data());
    }
    return fd;
}

}  // namespace

struct MediaStore::Header {
    char magic[8];
    uint32_t version;
    uint32_t banks, lanes, planes, eb_count, rows, page_data, page_spare, page_bits, block_bits;
    uint32_t first_block_offset, lun_boundary, lun_bit, column_unit, randomizer_unit, plain_units;
    uint32_t segment_max, slot_stride, page_buffers;
    uint32_t brownout, powercut, holdup;
    uint32_t crc;  // of every byte before it
};

MediaStore::MediaStore(const CardConfig& config, const std::string& path)
    : geometry_(config.geometry), page_buffers_(config.channel.page_buffers) {
    fd_ = path.empty() ? open_temporary() : ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        throw std::runtime_error("card media file " + path + ": " + std::strerror(errno));
    }
    uint64_t index_bytes = round_up(geometry_.segments() * 4, page);
    uint64_t journal_bytes = round_up((uint64_t)page_buffers_ * sizeof(JournalEntry), page);
    slots_base_ = page + index_bytes + journal_bytes;
    slot_stride_ = page + round_up(geometry_.segment_max(), page);
    slot_count_ = geometry_.segments() + page_buffers_;
    map_size_ = slots_base_;

    struct stat st {};
    ::fstat(fd_, &st);
    bool fresh = st.st_size == 0;
    if ((uint64_t)st.st_size < map_size_ && ::ftruncate(fd_, (off_t)map_size_) != 0) {
        ::close(fd_);
        throw std::runtime_error("card media file " + path + ": " + std::strerror(errno));
    }
    void* m = ::mmap(nullptr, map_size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (m == MAP_FAILED) {
        ::close(fd_);
        throw std::runtime_error("card media file " + path + ": " + std::strerror(errno));
    }
    map_ = (uint8_t*)m;
    header_ = (Header*)map_;
    index_ = (uint32_t*)(map_ + page);
    journal_ = (JournalEntry*)(map_ + page + index_bytes);
    try {
        check_or_format(fresh);
    } catch (...) {
        ::munmap(map_, map_size_);
        ::close(fd_);
        throw;
    }
    scan_free_slots();
}

MediaStore::~MediaStore() {
    ::munmap(map_, map_size_);
    ::close(fd_);
}

void MediaStore::write_header_crc() {
    header_->crc = crc32((const uint8_t*)header_, offsetof(Header, crc));
}

void MediaStore::check_or_format(bool fresh) {
    Header want{};
    std::memcpy(want.magic, magic, sizeof magic);
    want.version = layout_version;
    const NandGeometry& g = geometry_;
    want.banks = g.banks;
    want.lanes = g.lanes;
    want.planes = g.planes;
    want.eb_count = g.eb_count;
    want.rows = g.rows;
    want.page_data = g.page_data;
    want.page_spare = g.page_spare;
    want.page_bits = g.page_bits;
    want.block_bits = g.block_bits;
    want.first_block_offset = g.first_block_offset;
    want.lun_boundary = g.lun_boundary;
    want.lun_bit = g.lun_bit;
    want.column_unit = g.column_unit;
    want.randomizer_unit = g.randomizer_unit;
    want.plain_units = g.plain_units;
    want.segment_max = g.segment_max();
    want.slot_stride = (uint32_t)slot_stride_;
    want.page_buffers = page_buffers_;
    if (fresh) {
        *header_ = want;
        write_header_crc();
        return;
    }
    if (std::memcmp(header_->magic, magic, sizeof magic) != 0 || header_->version != layout_version ||
        header_->crc != crc32((const uint8_t*)header_, offsetof(Header, crc))) {
        throw std::runtime_error("card media file is not a card's media or is damaged");
    }
    // Everything up to the persisted settings must agree.
    if (std::memcmp(header_, &want, offsetof(Header, brownout)) != 0) {
        throw std::runtime_error("card media file holds another geometry than the card's configuration");
    }
}

void MediaStore::scan_free_slots() {
    std::vector<bool> used(slot_count_, false);
    for (uint64_t id = 0; id < geometry_.segments(); id++) {
        uint32_t slot = index_[id] & slot_mask;
        if (slot != 0 && slot - 1 < slot_count_) {
            used[slot - 1] = true;
        }
    }
    free_buffers_ = 0;
    for (unsigned i = 0; i < page_buffers_; i++) {
        if (journal_[i].state != journal_free) {
            used[journal_[i].slot] = true;
            next_sequence_ = std::max(next_sequence_, journal_[i].sequence + 1);
        } else {
            free_buffers_++;
        }
    }
    free_slots_.clear();
    for (uint64_t s = slot_count_; s-- > 0;) {
        if (!used[s]) {
            free_slots_.push_back((uint32_t)s);
        }
    }
}

uint64_t MediaStore::segment_id(uint32_t eb, uint32_t bank, uint32_t row) const {
    return ((uint64_t)eb * geometry_.banks + bank) * geometry_.rows + row;
}

SegmentInfo MediaStore::segment(uint64_t id) const {
    uint32_t e = index_[id];
    SegmentInfo info;
    if ((e & torn_bit) != 0) {
        info.kind = SegmentKind::torn;
    } else if ((e & programmed_bit) != 0) {
        info.kind = SegmentKind::programmed;
    } else {
        return info;
    }
    if ((e & slot_mask) != 0) {
        SlotHeader h{};
        full_pread(fd_, &h, sizeof h, slot_offset((e & slot_mask) - 1));
        info.length = h.length;
    }
    return info;
}

void MediaStore::read_segment(uint64_t id, uint64_t offset, uint8_t* out, size_t length) const {
    std::memset(out, 0xFF, length);
    uint32_t slot = index_[id] & slot_mask;
    if (slot == 0) {
        return;
    }
    SlotHeader h{};
    full_pread(fd_, &h, sizeof h, slot_offset(slot - 1));
    if (offset >= h.length) {
        return;
    }
    size_t n = (size_t)std::min<uint64_t>(length, h.length - offset);
    full_pread(fd_, out, n, slot_offset(slot - 1) + page + offset);
}

std::vector<uint32_t> MediaStore::write_runs(uint64_t id) const {
    uint32_t slot = index_[id] & slot_mask;
    if (slot == 0) {
        return {};
    }
    SlotHeader h{};
    full_pread(fd_, &h, sizeof h, slot_offset(slot - 1));
    return std::vector<uint32_t>(h.runs, h.runs + std::min(h.run_count, max_runs));
}

uint32_t MediaStore::take_slot() {
    uint32_t slot = free_slots_.back();
    free_slots_.pop_back();
    return slot;
}

void MediaStore::free_slot(uint32_t slot, uint32_t length) {
    // Give the space back; the slot reads as zeros (an empty header) from now on.
    ::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, (off_t)slot_offset(slot),
                (off_t)(page + round_up(length, page)));
    free_slots_.push_back(slot);
}

int MediaStore::take_buffer(const JournalEntry& row) {
    for (unsigned i = 0; i < page_buffers_; i++) {
        if (journal_[i].state == journal_free) {
            JournalEntry e = row;
            e.sequence = next_sequence_++;
            e.slot = take_slot();
            e.filled = e.committed = 0;
            uint32_t state = e.state;
            e.state = journal_free;
            journal_[i] = e;
            SlotHeader h{};
            h.segment = segment_id(e.eb, e.bank, e.row);
            full_pwrite(fd_, &h, sizeof h, slot_offset(e.slot));
            journal_[i].state = state;  // in use only once everything else is in place
            free_buffers_--;
            return (int)i;
        }
    }
    return -1;
}

void MediaStore::write_buffer(unsigned index, uint64_t offset, const uint8_t* bytes, size_t length) {
    full_pwrite(fd_, bytes, length, slot_offset(journal_[index].slot) + page + offset);
}

void MediaStore::fill_buffer(unsigned index, uint64_t offset, uint8_t byte, size_t length) {
    std::vector<uint8_t> chunk(std::min<size_t>(length, 65536), byte);
    while (length > 0) {
        size_t n = std::min(length, chunk.size());
        write_buffer(index, offset, chunk.data(), n);
        offset += n;
        length -= n;
    }
}

void MediaStore::set_buffer_runs(unsigned index, const std::vector<uint32_t>& runs) {
    SlotHeader h{};
    h.segment = segment_id(journal_[index].eb, journal_[index].bank, journal_[index].row);
    h.run_count = (uint32_t)std::min<size_t>(runs.size(), max_runs);
    std::copy(runs.begin(), runs.begin() + h.run_count, h.runs);
    full_pwrite(fd_, &h, sizeof h, slot_offset(journal_[index].slot));
}

bool MediaStore::program_buffer(unsigned index, uint32_t length) {
    JournalEntry& e = journal_[index];
    uint64_t id = segment_id(e.eb, e.bank, e.row);
    bool erased = (index_[id] & (programmed_bit | torn_bit)) == 0 && (index_[id] & slot_mask) == 0;
    if (erased) {
        SlotHeader h{};
        full_pread(fd_, &h, sizeof h, slot_offset(e.slot));
        h.length = length;
        full_pwrite(fd_, &h, sizeof h, slot_offset(e.slot));
        index_[id] = (e.slot + 1) | programmed_bit;
    } else {
        index_[id] |= torn_bit;
        free_slot(e.slot, e.filled);
    }
    e.state = journal_free;
    free_buffers_++;
    return erased;
}

void MediaStore::drop_buffer(unsigned index) {
    JournalEntry& e = journal_[index];
    free_slot(e.slot, e.filled);
    e.state = journal_free;
    free_buffers_++;
}

std::vector<unsigned> MediaStore::buffers_in_use() const {
    std::vector<unsigned> used;
    for (unsigned i = 0; i < page_buffers_; i++) {
        if (journal_[i].state != journal_free) {
            used.push_back(i);
        }
    }
    std::sort(used.begin(), used.end(),
              [this](unsigned a, unsigned b) { return journal_[a].sequence < journal_[b].sequence; });
    return used;
}

void MediaStore::erase(uint32_t eb, uint32_t bank) {
    for (uint32_t row = 0; row < geometry_.rows; row++) {
        uint64_t id = segment_id(eb, bank, row);
        uint32_t slot = index_[id] & slot_mask;
        if (index_[id] == 0) {
            continue;
        }
        uint32_t length = slot != 0 ? segment(id).length : 0;
        index_[id] = 0;
        if (slot != 0) {
            free_slot(slot - 1, length);
        }
    }
}

void MediaStore::tear(uint64_t id) {
    index_[id] |= torn_bit;
}

void MediaStore::poke(uint64_t id, uint64_t offset, const uint8_t* bytes, size_t length) {
    uint32_t slot = index_[id] & slot_mask;
    SlotHeader h{};
    if (slot == 0) {
        uint32_t s = take_slot();
        h.segment = id;
        full_pwrite(fd_, &h, sizeof h, slot_offset(s));
        index_[id] = (s + 1) | programmed_bit;
        slot = s + 1;
    }
    full_pread(fd_, &h, sizeof h, slot_offset(slot - 1));
    full_pwrite(fd_, bytes, length, slot_offset(slot - 1) + page + offset);
    if (offset + length > h.length) {
        h.length = (uint32_t)(offset + length);
        full_pwrite(fd_, &h, sizeof h, slot_offset(slot - 1));
    }
}

void MediaStore::erase_all() {
    for (uint32_t eb = 0; eb < geometry_.eb_count; eb++) {
        for (uint32_t bank = 0; bank < geometry_.banks; bank++) {
            erase(eb, bank);
        }
    }
}

void MediaStore::set_flush_settings(uint32_t brownout, uint32_t powercut, Holdup holdup) {
    header_->brownout = brownout;
    header_->powercut = powercut;
    header_->holdup = (uint32_t)holdup;
    write_header_crc();
}

uint32_t MediaStore::persisted_powercut() const {
    return header_->powercut;
}

Holdup MediaStore::persisted_holdup() const {
    return (Holdup)header_->holdup;
}

unsigned MediaStore::power_loss(bool flush, TornOutcome torn, uint8_t pad) {
    unsigned programmed = 0;
    for (unsigned i : buffers_in_use()) {
        JournalEntry& e = journal_[i];
        if (e.state == journal_programming) {
            if (flush || torn == TornOutcome::complete) {
                programmed += program_buffer(i, e.capacity) ? 1 : 0;
            } else if (torn == TornOutcome::torn) {
                uint64_t id = segment_id(e.eb, e.bank, e.row);
                program_buffer(i, e.capacity);
                tear(id);
            } else {
                drop_buffer(i);
            }
            continue;
        }
        if (!flush || e.committed == 0) {
            drop_buffer(i);
            continue;
        }
        // Only whole commands count: what came after the last complete one is padding.
        fill_buffer(i, e.committed, pad, e.capacity - e.committed);
        e.filled = e.capacity;
        programmed += program_buffer(i, e.capacity) ? 1 : 0;
    }
    return programmed;
}

}  // namespace sim::card
