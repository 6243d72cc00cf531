#include "sim/card/nand_array.h"

#include <algorithm>

#include "sim/card/card_state.h"

namespace sim::card {
namespace {

constexpr uint8_t good = 0xE0;
constexpr uint8_t failed_status = 0xE1;

// The host's test: a lane failed when ((s & ~ignore) + 0x40) & 0xDF is not zero.
bool failed(uint8_t s) {
    return ((s + 0x40) & 0xDF) != 0;
}

uint64_t units_of(uint64_t ns) {
    return (ns + 99) / 100;  // machine time counts 100 ns
}

}  // namespace

bool NandArray::free_for_operation(unsigned bank) const {
    return banks_[bank].op == Op::idle && !card_.rows.bank_has_ready(bank);
}

std::array<std::vector<uint8_t>, 2> NandArray::lane_status(const char* fault, unsigned bank, uint32_t eb, int64_t row,
                                                           const uint32_t masks[2], bool two_planes, bool* fatal) {
    uint32_t lanes = card_.config.geometry.lanes;
    std::array<std::vector<uint8_t>, 2> status = {std::vector<uint8_t>(lanes, good), std::vector<uint8_t>(lanes, good)};
    FaultSite site{.eb = eb, .bank = bank, .row = row};
    *fatal = card_.faults.take("pad_fatal", {.bank = bank}).has_value();
    unsigned planes = two_planes ? 2 : 1;
    auto apply = [&](const Fault& f, uint8_t value) {
        for (unsigned p = 0; p < planes; p++) {
            if (f.has("plane") && f.get("plane", 0) != p) {
                continue;
            }
            for (uint32_t lane = 0; lane < lanes; lane++) {
                if ((masks[p] >> lane & 1) != 0 && (!f.has("lane") || f.get("lane", 0) == lane)) {
                    status[p][lane] = value;
                }
            }
        }
    };
    for (const Fault& f : card_.faults.take_all(fault, site)) {
        apply(f, (uint8_t)f.get("status", failed_status));
    }
    for (const Fault& f : card_.faults.find_all("lane_dead", {.bank = bank})) {
        apply(f, 0x00);
    }
    return status;
}

bool NandArray::any_failed(const std::array<std::vector<uint8_t>, 2>& status, const uint32_t masks[2]) const {
    for (unsigned p = 0; p < 2; p++) {
        for (uint32_t lane = 0; lane < status[p].size(); lane++) {
            if ((masks[p] >> lane & 1) != 0 && failed(status[p][lane])) {
                return true;
            }
        }
    }
    return false;
}

std::vector<uint32_t> NandArray::pad_record(unsigned bank, Tag tag,
                                            const std::array<std::vector<uint8_t>, 2>& status) const {
    // Both plane sections always (a one-plane card sends 0xE0 for the second), each of
    // ceil(lanes / 4) words, lane i in byte i mod 4 of word i / 4, padding bytes 0xE0.
    uint32_t lanes = card_.config.geometry.lanes;
    uint32_t q = (lanes + 3) / 4;
    std::vector<uint32_t> body{tag.word};
    for (unsigned p = 0; p < 2; p++) {
        for (uint32_t w = 0; w < q; w++) {
            uint32_t word = 0;
            for (uint32_t b = 0; b < 4; b++) {
                uint32_t lane = 4 * w + b;
                uint8_t s = lane < lanes && p < card_.config.geometry.planes ? status[p][lane] : good;
                word |= (uint32_t)s << (8 * b);
            }
            body.push_back(word);
        }
    }
    return record(16 + bank, body);
}

void NandArray::report(unsigned bank, Tag tag, bool fatal, bool lane_failed,
                       const std::array<std::vector<uint8_t>, 2>& status, ReportKind kind, unsigned subtype) {
    if (fatal || lane_failed) {
        Report r;
        r.ring = tag.ring();
        r.kind = ReportKind::event;
        r.words = fatal ? record((16 + bank) | 1u << 29, {tag.word, 0, 0, 0}) : pad_record(bank, tag, status);
        card_.completions.post(std::move(r));
    }
    Report done;
    done.ring = tag.ring();
    done.kind = kind;
    done.index = tag.index();
    done.words = {bank_word(bank, subtype, tag.index())};
    card_.completions.post(std::move(done));
}

void NandArray::start_program(Row& row) {
    row.programming = true;
    card_.media->buffer(row.buffer).state = journal_programming;
    card_.rows.count_packets(row);
    Bank& b = banks_[row.bank];
    b.op = Op::program;
    b.buffer = row.buffer;
    b.silent = false;
    b.blocking = false;
    uint64_t ns = card_.config.timing.program_ns;
    if (ns == 0) {
        complete_program(row.bank);
    } else {
        b.due = card_.now() + units_of(ns);
    }
}

void NandArray::complete_program(unsigned bank) {
    Bank& b = banks_[bank];
    b.op = Op::idle;
    Row* row = card_.rows.find(b.buffer);
    if (row == nullptr) {
        return;
    }
    uint32_t masks[2] = {row->lane_mask, row->lane_mask};
    bool fatal = false;
    auto status = lane_status("program_fail", bank, row->eb, row->row, masks, card_.config.geometry.planes == 2, &fatal);
    bool lane_failed = any_failed(status, masks);
    uint64_t segment = card_.media->segment_id(row->eb, row->bank, row->row);
    if (!row->usable) {
        card_.media->drop_buffer(row->buffer);
    } else if (!card_.media->program_buffer(row->buffer, row->capacity)) {
        card_.protocol_fault("program_not_erased", 0x8000 + 404, row->bank,
                             "program of a segment that was not erased: it is torn");
    }
    for (unsigned p = 0; p < 2; p++) {
        for (uint32_t lane = 0; lane < status[p].size(); lane++) {
            if ((masks[p] >> lane & 1) != 0 && failed(status[p][lane])) {
                bad_lanes_[segment] |= 1ull << (32 * p + lane);
            }
        }
    }
    card_.inspector.counters.programs++;
    card_.inspector.counters.packets_programmed += row->packets;
    bool has_tag = row->has_flush_tag;
    Tag tag = row->flush_tag;
    card_.rows.remove(b.buffer);
    if (has_tag && !b.silent) {
        report(bank, tag, fatal, lane_failed, status, ReportKind::flush, tag_flush);
    }
    card_.note_program();
}

void NandArray::start_erase(unsigned bank, const EraseRequest& erase) {
    Bank& b = banks_[bank];
    b.op = Op::erase;
    b.erase = erase;
    b.silent = false;
    b.blocking = false;
    uint64_t ns = card_.config.timing.erase_ns;
    if (ns == 0) {
        complete_erase(bank);
    } else {
        b.due = card_.now() + units_of(ns);
    }
}

void NandArray::complete_erase(unsigned bank) {
    Bank& b = banks_[bank];
    b.op = Op::idle;
    EraseRequest e = b.erase;
    uint32_t lanes = card_.config.geometry.lanes;
    std::array<std::vector<uint8_t>, 2> status = {std::vector<uint8_t>(lanes, good), std::vector<uint8_t>(lanes, good)};
    bool fatal = false;
    if (e.per_lane) {
        for (unsigned p = 0; p < 2; p++) {
            for (uint32_t lane = 0; lane < lanes; lane++) {
                if ((e.masks[p] >> lane & 1) != 0) {
                    status[p][lane] = failed_status;
                }
            }
        }
    } else {
        card_.media->erase(e.eb, bank);
        for (uint32_t row = 0; row < card_.config.geometry.rows; row++) {
            uint64_t segment = card_.media->segment_id(e.eb, bank, row);
            bad_lanes_.erase(segment);
            for (uint32_t lane = 0; lane < lanes; lane++) {
                lane_pokes_.erase({segment, lane});
            }
        }
        status = lane_status("erase_fail", bank, e.eb, -1, e.masks, e.two_planes, &fatal);
        card_.inspector.counters.erases++;
    }
    if (e.has_tag && !b.silent) {
        report(bank, e.tag, fatal, any_failed(status, e.masks), status, ReportKind::erase, e.tag.subtype());
    }
}

bool NandArray::occupy(unsigned bank, Op op, uint64_t ns) {
    Bank& b = banks_[bank];
    if (b.op == op && b.blocking) {
        if (card_.now() >= b.due) {
            b.op = Op::idle;
            b.blocking = false;
            return true;
        }
        return false;
    }
    if (b.op != Op::idle) {
        return false;
    }
    if (ns == 0) {
        return true;
    }
    b.op = op;
    b.blocking = true;
    b.due = card_.now() + units_of(ns);
    return false;
}

bool NandArray::finish_due(uint64_t now) {
    bool any = false;
    for (unsigned bank = 0; bank < banks_.size(); bank++) {
        Bank& b = banks_[bank];
        if (b.blocking || b.due > now) {
            continue;
        }
        if (b.op == Op::program) {
            complete_program(bank);
            any = true;
        } else if (b.op == Op::erase) {
            complete_erase(bank);
            any = true;
        }
    }
    return any;
}

std::optional<uint64_t> NandArray::next_due() const {
    std::optional<uint64_t> due;
    for (const Bank& b : banks_) {
        if (b.op != Op::idle && (!due.has_value() || b.due < *due)) {
            due = b.due;
        }
    }
    return due;
}

uint64_t NandArray::bad_lanes(uint64_t segment) const {
    auto it = bad_lanes_.find(segment);
    return it == bad_lanes_.end() ? 0 : it->second;
}

void NandArray::poke_lane(uint64_t segment, uint32_t lane, uint64_t offset, std::vector<uint8_t> bytes) {
    lane_pokes_[{segment, lane}].push_back({offset, std::move(bytes)});
}

void NandArray::apply_lane_pokes(uint64_t segment, uint32_t lane, uint64_t stream_offset, std::vector<uint8_t>& stream,
                                 size_t at, size_t length) const {
    auto it = lane_pokes_.find({segment, lane});
    if (it == lane_pokes_.end()) {
        return;
    }
    for (const LanePoke& p : it->second) {
        uint64_t from = std::max(p.offset, stream_offset);
        uint64_t to = std::min(p.offset + p.bytes.size(), stream_offset + length);
        for (uint64_t o = from; o < to; o++) {
            stream[at + (o - stream_offset)] = p.bytes[o - p.offset];
        }
    }
}

void NandArray::silence() {
    for (Bank& b : banks_) {
        if (b.blocking) {
            b.op = Op::idle;
            b.blocking = false;
        } else if (b.op != Op::idle) {
            b.silent = true;
        }
    }
}

void NandArray::power_loss(bool flush) {
    for (unsigned bank = 0; bank < banks_.size(); bank++) {
        Bank& b = banks_[bank];
        if (b.op == Op::erase && flush && !b.erase.per_lane) {
            card_.media->erase(b.erase.eb, bank);
        }
        b = Bank{};
    }
}

void NandArray::abandon_programs() {
    for (Bank& b : banks_) {
        if (b.op == Op::program) {
            b = Bank{};
        }
    }
}

}  // namespace sim::card
