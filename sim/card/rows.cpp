#include "sim/card/rows.h"

#include <algorithm>

#include "sim/card/card_state.h"

namespace sim::card {

bool RowQueue::create(Row row) {
    if (card_.media->free_buffers() == 0) {
        return false;
    }
    JournalEntry e{};
    e.state = journal_filling;
    e.eb = row.eb;
    e.bank = row.bank;
    e.row = row.row;
    e.plane_mask = row.plane_mask;
    e.capacity = row.capacity;
    e.flush_tag = row.flush_tag.word;
    e.has_flush_tag = row.has_flush_tag ? 1 : 0;
    int buffer = card_.media->take_buffer(e);
    card_.media->set_buffer_runs((unsigned)buffer, row.write_runs);
    row.buffer = (unsigned)buffer;
    row.stream_start = capacity_end_;
    capacity_end_ += row.capacity;
    rows_.push_back(std::move(row));
    place();
    return true;
}

void RowQueue::push(const uint8_t* bytes, size_t length) {
    if (length == 0) {
        return;
    }
    Chunk c;
    c.data.assign(bytes, bytes + length);
    waiting_.push_back(std::move(c));
    pushed_ += length;
    place();
}

void RowQueue::push_fill(uint8_t byte, uint64_t length) {
    if (length == 0) {
        return;
    }
    Chunk c;
    c.fill = length;
    c.fill_byte = byte;
    waiting_.push_back(std::move(c));
    pushed_ += length;
    place();
}

void RowQueue::note_packet() {
    headers_.push_back(pushed_);
}

void RowQueue::place() {
    bool placed_any = false;
    auto row = rows_.begin();
    while (placed_ < pushed_ && placed_ < capacity_end_ && !waiting_.empty()) {
        // The first row that is not full: rows fill in queue order.
        while (row != rows_.end() && row->filled == row->capacity) {
            ++row;
        }
        Chunk& c = waiting_.front();
        uint64_t n = std::min(c.size() - c.offset, (uint64_t)(row->capacity - row->filled));
        if (c.data.empty()) {
            card_.media->fill_buffer(row->buffer, row->filled, c.fill_byte, n);
        } else {
            card_.media->write_buffer(row->buffer, row->filled, c.data.data() + c.offset, n);
        }
        // The bytes are in the slot before the row's count says so.
        row->filled += (uint32_t)n;
        card_.media->buffer(row->buffer).filled = row->filled;
        placed_ += n;
        c.offset += n;
        if (c.offset == c.size()) {
            waiting_.pop_front();
        }
        placed_any = true;
    }
    if (placed_any) {
        card_.port_a.placed();
        start_ready();
    }
}

void RowQueue::commit(uint64_t end) {
    for (Row& r : rows_) {
        if (r.stream_start >= end) {
            break;
        }
        auto c = (uint32_t)std::min<uint64_t>(r.capacity, end - r.stream_start);
        if (c > r.committed) {
            r.committed = c;
            card_.media->buffer(r.buffer).committed = c;
        }
    }
}

void RowQueue::arm_bank(unsigned bank, uint32_t lane_mask) {
    for (Row& r : rows_) {
        if (r.bank == bank && !r.armed) {
            r.armed = true;
            r.lane_mask = lane_mask;
            card_.media->buffer(r.buffer).state = journal_armed;
            break;
        }
    }
    start_ready();
}

void RowQueue::arm_oldest(uint32_t lane_mask) {
    for (Row& r : rows_) {
        if (!r.armed) {
            r.armed = true;
            r.lane_mask = lane_mask;
            card_.media->buffer(r.buffer).state = journal_armed;
            break;
        }
    }
    start_ready();
}

void RowQueue::start_ready() {
    // A program with no NAND time ends inside start_program and removes its row: look again
    // from the front each time.
    for (;;) {
        Row* next = nullptr;
        std::vector<bool> bank_seen(8, false);
        for (Row& r : rows_) {
            if (r.programming || r.bank >= 8 || bank_seen[r.bank]) {
                continue;
            }
            if (ready(r)) {
                if (card_.nand.bank_idle(r.bank)) {
                    next = &r;
                    break;
                }
                bank_seen[r.bank] = true;  // its later rows wait behind it
            }
        }
        if (next == nullptr || !card_.dma_allowed()) {
            return;
        }
        card_.nand.start_program(*next);
    }
}

bool RowQueue::bank_has_ready(unsigned bank) const {
    for (const Row& r : rows_) {
        if (r.bank == bank && (ready(r) || r.programming)) {
            return true;
        }
    }
    return false;
}

Row* RowQueue::find(unsigned buffer) {
    for (Row& r : rows_) {
        if (r.buffer == buffer) {
            return &r;
        }
    }
    return nullptr;
}

void RowQueue::count_packets(Row& row) {
    uint64_t end = row.stream_start + row.capacity;
    auto first = std::lower_bound(headers_.begin(), headers_.end(), row.stream_start);
    auto last = std::lower_bound(headers_.begin(), headers_.end(), end);
    row.packets = (uint32_t)(last - first);
}

void RowQueue::remove(unsigned buffer) {
    for (auto it = rows_.begin(); it != rows_.end(); ++it) {
        if (it->buffer == buffer) {
            rows_.erase(it);
            break;
        }
    }
    // Headers before every remaining row (and before the stream's unplaced end) are counted.
    uint64_t oldest = capacity_end_;
    for (const Row& r : rows_) {
        if (!r.programming) {
            oldest = std::min(oldest, r.stream_start);
        }
    }
    while (!headers_.empty() && headers_.front() < oldest) {
        headers_.pop_front();
    }
}

bool RowQueue::hold_data() const {
    for (const Row& r : rows_) {
        if (r.filled > 0) {
            return true;
        }
    }
    return false;
}

std::vector<RowView> RowQueue::view() const {
    std::vector<RowView> v;
    for (const Row& r : rows_) {
        v.push_back({r.bank, r.eb, r.row, r.capacity, r.filled, r.committed, r.armed, r.programming});
    }
    return v;
}

void RowQueue::drop_unstarted() {
    for (auto it = rows_.begin(); it != rows_.end();) {
        if (it->programming) {
            ++it;
            continue;
        }
        card_.media->drop_buffer(it->buffer);
        it = rows_.erase(it);
    }
    waiting_.clear();
    headers_.clear();
    pushed_ = placed_ = capacity_end_ = 0;
}

void RowQueue::forget_all() {
    rows_.clear();
    waiting_.clear();
    headers_.clear();
    pushed_ = placed_ = capacity_end_ = 0;
}

}  // namespace sim::card
