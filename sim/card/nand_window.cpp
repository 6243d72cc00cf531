#include "sim/card/nand_window.h"

#include "sim/card/card_state.h"

namespace sim::card {
namespace {
constexpr uint32_t step_register = 0x8000 + 396;
constexpr uint32_t marker_register = 0x8000 + 404;
}  // namespace

bool NandWindow::claims(uint32_t offset) {
    if (offset < base || offset >= base + size || offset % 4 != 0) {
        return false;
    }
    uint32_t n = offset - base;
    switch (n) {
        case 0: case 8: case 12: case 60: case 64: case 68: case 72: case 76: case 80: case 84: case 88: case 112:
        case 396: case 400: case 404: case 3340: case 3408: case read_level_register:
            return true;
        default:
            // The bank command ports, and the per-lane address bytes with the read side's
            // registers among them.
            return (n >= 156 && n < 156 + 32 * 8 && (n - 156) % 32 == 0) || (n >= 448 && n <= 816);
    }
}

bool NandWindow::write(uint32_t n, uint32_t value) {
    if (PortA::claims(n)) {
        card_.port_a.write(n, value);
        return true;
    }
    if (ReadSequence::claims(n)) {
        card_.reads.write(n, value);
        return true;
    }
    switch (n) {
        case 0: budget_ = value; return true;
        case 8: param_a_ = value; return true;
        case 12: param_b_ = value; return true;
        case 68: second_mask_ = value; return true;
        case 72: lane_mask_ = value; return true;
        case 112: write_runs_.push_back(value); return true;
        case 396: return step(value);
        case 400: status_tag_ = Tag{value}; return true;
        case 404: return marker(value);
        case 3340:
            if (value != 55) {
                card_.protocol_fault("go_value", base + n, value, "program go with a value other than 55");
            } else {
                card_.rows.arm_oldest(lane_mask_);
            }
            return true;
        case read_level_register: read_level_.latch(value); return true;
        case 3408:
            flush_tag_ = Tag{value};
            if (flush_tag_->subtype() != tag_flush) {
                card_.protocol_fault("tag_subtype", base + n, value, "flush tag that is not of subtype 1");
            }
            return true;
        default:
            if (n >= 156 && n < 156 + 32 * 8 && (n - 156) % 32 == 0) {
                ports_[(n - 156) / 32].push_back((uint8_t)value);
            }
            return true;  // everything else is only stored
    }
}

std::vector<uint8_t> NandWindow::take_port(unsigned bank) {
    std::vector<uint8_t> port;
    port.swap(ports_[bank]);
    return port;
}

std::optional<Tag> NandWindow::take_status_tag(uint32_t value) {
    if (!status_tag_.has_value()) {
        card_.protocol_fault("step_no_tag", step_register, value, "status step without a status tag");
        return std::nullopt;
    }
    Tag t = *status_tag_;
    status_tag_.reset();
    return t;
}

NandWindow::Address NandWindow::decode_one(unsigned bank, uint32_t raw) const {
    const NandGeometry& g = card_.config.geometry;
    Address a;
    if (bank >= g.lun_boundary) {
        raw &= ~g.lun_bit;
    }
    a.page = raw & ((1u << g.page_bits) - 1);
    uint32_t block = raw >> g.page_bits;
    a.plane = block % g.planes;
    if (block / g.planes < g.first_block_offset) {
        return a;
    }
    a.eb = block / g.planes - g.first_block_offset;
    a.valid = a.eb < g.eb_count && a.page < g.rows;
    return a;
}

NandWindow::Addresses NandWindow::decode(unsigned bank, const std::vector<uint8_t>& port, unsigned most, uint32_t reg,
                                         uint32_t value) {
    Addresses a;
    size_t count = port.size() / 3;
    if (port.size() % 3 != 0 || count == 0 || count > most) {
        card_.protocol_fault("bad_row_address", reg, value, "bank port does not hold 1 to planes row addresses");
    }
    if (count == 0) {
        return a;
    }
    count = std::min<size_t>(count, most);
    auto raw = [&port](size_t i) {
        return (uint32_t)port[3 * i] | (uint32_t)port[3 * i + 1] << 8 | (uint32_t)port[3 * i + 2] << 16;
    };
    Address first = decode_one(bank, raw(0));
    if (!first.valid) {
        card_.protocol_fault("bad_row_address", reg, value, "row address beyond the card's erase blocks");
        return a;
    }
    a.usable = true;
    a.eb = first.eb;
    a.page = first.page;
    a.plane_mask = 1u << first.plane;
    a.count = 1;
    for (size_t i = 1; i < count; i++) {
        Address o = decode_one(bank, raw(i));
        if (!o.valid || o.eb != first.eb || o.page != first.page || (a.plane_mask >> o.plane & 1) != 0) {
            card_.protocol_fault("bad_row_address", reg, value, "row addresses of one operation disagree");
            break;
        }
        a.plane_mask |= 1u << o.plane;
        a.count++;
    }
    return a;
}

bool NandWindow::step(uint32_t value) {
    const NandGeometry& g = card_.config.geometry;
    if ((value & 1u << 21) != 0) {
        unsigned low = value & 31;
        if (low == 11 && (value & 0x0FDFFFE0u) == 0) {
            card_.reads.header();
            return true;
        }
        if (low != 0 && low != 8 && low != 9) {
            card_.protocol_fault("step_unknown", step_register, value, "sequencer step of no known form");
            return true;
        }
        unsigned bank = value >> 28 & 7;
        if (bank >= g.banks) {
            card_.protocol_fault("step_bad_bank", step_register, value, "step for a bank the card does not have");
            return true;
        }
        if (!card_.reads.page_read_pending()) {
            if (!card_.nand.free_for_operation(bank)) {
                return false;
            }
            Addresses a = decode(bank, take_port(bank), g.planes, step_register, value);
            PageRead r;
            r.bank = bank;
            r.eb = a.eb;
            r.row = a.page;
            r.usable = a.usable;
            r.operation = value >> 5 & 31;
            r.lane_mask = lane_mask_;
            r.level_word = read_level_.take();
            card_.reads.begin_page_read(r);
        }
        return card_.reads.finish_page_read();
    }
    unsigned code = value & 31;
    unsigned bank = value >> 28;
    if ((value & 0x0FFFFFE0u) != 0 || (code < 16 && code != 13)) {
        card_.protocol_fault("step_unknown", step_register, value, "sequencer step of no known form");
        return true;
    }
    if (bank >= g.banks) {
        card_.protocol_fault("step_bad_bank", step_register, value, "step for a bank the card does not have");
        return true;
    }
    switch (code) {
        case 13:
            take_port(bank);  // an empty or zero address: nothing to do with it
            card_.rows.arm_bank(bank, lane_mask_);
            return true;
        case 19:
        case 23: return erase(bank, code);
        case 26: return direct(bank);
        default: status_step(bank, value); return true;
    }
}

bool NandWindow::marker(uint32_t value) {
    const NandGeometry& g = card_.config.geometry;
    unsigned bank = value >> 28;
    if ((value & 0x0FFFFFF0u) != 0x10) {
        card_.protocol_fault("step_unknown", marker_register, value, "row-program marker of no known form");
        return true;
    }
    if (bank >= g.banks) {
        card_.protocol_fault("step_bad_bank", marker_register, value, "row marker for a bank the card does not have");
        return true;
    }
    if (card_.media->free_buffers() == 0) {
        return false;  // every page buffer is in use: wait for a program to end
    }
    Addresses a = decode(bank, take_port(bank), g.planes, marker_register, value);
    Row row;
    row.bank = bank;
    row.eb = a.eb;
    row.row = a.page;
    row.plane_mask = a.plane_mask;
    row.usable = a.usable;
    uint64_t capacity = (uint64_t)budget_ * g.column_unit;
    if (capacity == 0 || capacity > g.segment_max()) {
        card_.protocol_fault("row_capacity", marker_register, budget_, "row budget of 0 or above the segment's size");
        capacity = g.segment_max();
    }
    row.capacity = (uint32_t)capacity;
    if (flush_tag_.has_value()) {
        row.has_flush_tag = true;
        row.flush_tag = *flush_tag_;
        flush_tag_.reset();
    } else {
        card_.protocol_fault("row_no_flush_tag", marker_register, value, "row marker with no flush tag: it reports nothing");
    }
    row.write_runs.swap(write_runs_);
    row.budget = budget_;
    row.param_a = param_a_;
    row.param_b = param_b_;
    card_.rows.create(std::move(row));
    return true;
}

bool NandWindow::erase(unsigned bank, unsigned code) {
    if (!card_.nand.free_for_operation(bank)) {
        return false;
    }
    uint32_t value = bank << 28 | code;
    std::optional<Tag> tag = take_status_tag(value);
    std::vector<uint8_t> port = take_port(bank);
    EraseRequest e;
    e.has_tag = tag.has_value();
    if (tag.has_value()) {
        e.tag = *tag;
    }
    e.masks[0] = lane_mask_;
    e.masks[1] = second_mask_;
    e.two_planes = code == 23;
    if (port.empty()) {
        card_.protocol_fault("per_lane_unsupported", step_register, value, "erase without a row address (per-lane form)");
        e.per_lane = true;
    } else {
        Addresses a = decode(bank, port, code == 23 ? 2 : 1, step_register, value);
        e.eb = a.eb;
        e.per_lane = !a.usable;  // nothing erased; every lane reports failure
    }
    card_.nand.start_erase(bank, e);
    return true;
}

bool NandWindow::direct(unsigned bank) {
    if (!pending_direct_.has_value()) {
        if (!card_.nand.free_for_operation(bank)) {
            return false;
        }
        std::optional<Tag> tag = take_status_tag(bank << 28 | 26);
        std::vector<uint8_t> port = take_port(bank);
        bool binary = tag.has_value() && (tag->subtype() == tag_request || tag->subtype() == tag_sequence);
        if (tag.has_value() && tag->subtype() == tag_flush) {
            card_.protocol_fault("tag_subtype", step_register, tag->word, "bank command with a flush tag");
        }
        for (std::vector<uint32_t>& payload : card_.direct.run(bank, lane_mask_, port)) {
            if (card_.faults.take("drop_readback", {.bank = bank}).has_value()) {
                continue;
            }
            uint32_t index = binary ? tag->index() : 0;
            Report r;
            r.ring = binary ? tag->ring() : 0;
            r.kind = ReportKind::readback;
            r.index = index;
            if (std::optional<Fault> f = card_.faults.take("readback")) {
                if (f->flag("payload")) {
                    payload = f->list;
                }
                r.words = readback_record(0x08u | (uint32_t)f->get("tag", index) << 8, payload);
                r.words[1] = (uint32_t)f->get("len", payload.size() + 1);
            } else {
                r.words = readback_record(0x08u | index << 8, payload);
            }
            card_.inspector.counters.readbacks++;
            card_.completions.post(std::move(r));
        }
        pending_direct_ = PendingDirect{bank, tag.has_value() && !binary};
    }
    if (!card_.nand.occupy(pending_direct_->bank, NandArray::Op::direct, card_.config.timing.direct_ns)) {
        return false;
    }
    if (pending_direct_->marker && !card_.faults.take("drop_marker", {.bank = bank}).has_value()) {
        Report r;
        r.ring = 0;
        r.kind = ReportKind::marker;
        r.words = {bank_word(bank, tag_marker, 0)};
        card_.completions.post(std::move(r));
    }
    pending_direct_.reset();
    return true;
}

void NandWindow::status_step(unsigned bank, uint32_t value) {
    std::optional<Tag> tag = take_status_tag(value);
    if (!tag.has_value()) {
        return;
    }
    Report r;
    r.ring = tag->ring();
    r.kind = ReportKind::status;
    r.index = tag->index();
    r.words = {bank_word(bank, tag->subtype(), tag->index())};
    card_.completions.post(std::move(r));
}

void NandWindow::reset() {
    budget_ = param_a_ = param_b_ = 0;
    lane_mask_ = second_mask_ = 0;
    read_level_.reset();
    status_tag_.reset();
    flush_tag_.reset();
    write_runs_.clear();
    for (auto& p : ports_) {
        p.clear();
    }
    pending_direct_.reset();
}

}  // namespace sim::card
