#include "sim/card/read_sequence.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "sim/card/card_state.h"
#include "sim/card/randomizer.h"
#include "sim/card/read_level.h"
#include "sim/card/transfer_word.h"

namespace sim::card {

void ReadSequence::ensure_open(uint32_t n, uint32_t value) {
    if (!open_) {
        card_.protocol_fault("sequence_unbalanced", 0x8000 + n, value, "read-side register outside a read sequence");
        open_ = true;
        tag_.word = 0;
    }
}

void ReadSequence::header() {
    if (open_) {
        card_.protocol_fault("sequence_unbalanced", 0x8000 + 396, 0, "sequence header inside an open sequence");
        post_queued();
        close();
    }
    open_ = true;
}

void ReadSequence::write(uint32_t n, uint32_t value) {
    switch (n) {
        case 60:
            if (open_) {
                column_ = value;
                column_set_ = true;
            }
            return;
        case 64:
            if (open_) {
                length_ = value;
                length_set_ = true;
            }
            return;
        case 480: ensure_open(n, value); read_run(value); return;
        case 484: ensure_open(n, value); transfer(value); return;
        case 488: expected_low_ = value; return;
        case 492: expected_high_ = value; return;
        case 496: descriptor_length_ = value; return;
        case 500: descriptor_low_ = value; return;
        case 504: {
            ensure_open(n, value);
            Descriptor d;
            d.address = (uint64_t)value << 32 | descriptor_low_;
            d.length = descriptor_length_ & 0x7FFFFFFFu;
            d.interrupt = (descriptor_length_ & 0x80000000u) != 0;
            if (d.address % 8 != 0 || d.length % 8 != 0) {
                card_.inspector.counters.unaligned_dma++;
            }
            descriptors_.push_back(d);
            fill_descriptors();
            return;
        }
        case 508: return;  // the run's final word: recorded in the trace only
        case 516: ensure_open(n, value); run_word(value); return;
        case 520: ensure_open(n, value); tag_.word = value; return;
        case 524:
            if (!open_) {
                card_.protocol_fault("sequence_unbalanced", 0x8000 + n, value, "sequence end with no open sequence");
                return;
            }
            if (!outbound_.empty() || !descriptors_.empty()) {
                card_.protocol_fault("portb_imbalance", 0x8000 + n, value,
                                     "sequence ends with port B bytes or descriptors unpaired");
            }
            post_queued();
            close();
            return;
        default: return;
    }
}

void ReadSequence::begin_page_read(const PageRead& read) {
    ensure_open(396, 0);
    pending_ = read;
}

bool ReadSequence::finish_page_read() {
    if (!card_.nand.occupy(pending_->bank, NandArray::Op::read, card_.config.timing.read_ns)) {
        return false;
    }
    PageRead r = *pending_;
    pending_.reset();
    card_.inspector.counters.reads++;
    if (!r.usable) {
        return true;
    }
    const NandGeometry& g = card_.config.geometry;
    MediaStore& media = *card_.media;
    uint64_t segment = media.segment_id(r.eb, r.bank, r.row);
    SegmentInfo info = media.segment(segment);
    uint64_t start = column_set_ ? (uint64_t)column_ * g.column_unit : 0;
    uint64_t length = length_set_ ? (uint64_t)length_ * g.column_unit
                                  : (g.segment_max() > start ? g.segment_max() - start : 0);
    size_t at = stream_.size();
    stream_.resize(at + length);
    media.read_segment(segment, start, stream_.data() + at, length);
    uint32_t lanes = r.lane_mask & ((1u << g.lanes) - 1);
    if (std::popcount(lanes) == 1) {
        card_.nand.apply_lane_pokes(segment, (uint32_t)std::countr_zero(lanes), start, stream_, at, length);
    }
    Loaded l;
    l.segment = segment;
    l.eb = r.eb;
    l.bank = r.bank;
    l.row = r.row;
    l.stream_at = at;
    l.segment_offset = start;
    l.erased = info.kind == SegmentKind::erased;
    l.sample = r.operation == card_.config.channel.sample_operation;
    l.lane_mask = r.lane_mask;
    l.operation = r.operation;
    if (!l.erased) {
        l.write_runs = media.write_runs(segment);
    }
    erased_ = erased_ || l.erased;
    loaded_.push_back(std::move(l));
    queue_lane_events(r, segment, info.kind == SegmentKind::torn);
    if (card_.faults.take("decode_error", {.eb = r.eb, .bank = r.bank, .row = r.row}).has_value()) {
        Report e;
        e.ring = tag_.ring();
        e.words = record(204, {tag_.word, 0});
        events_.push_back(std::move(e));
    }
    return true;
}

void ReadSequence::queue_lane_events(const PageRead& r, uint64_t segment, bool torn) {
    uint32_t lanes = card_.config.geometry.lanes;
    uint32_t mask = r.lane_mask & (lanes >= 32 ? 0xFFFFFFFFu : (1u << lanes) - 1);
    if (mask == 0) {
        return;
    }
    auto first_lane = (uint32_t)std::countr_zero(mask);
    FaultSite site{.eb = r.eb, .bank = r.bank, .row = r.row};
    std::optional<Fault> uncorrectable = card_.faults.take("read_uncorrectable", site);
    std::optional<Fault> weak = card_.faults.take("read_weak", site);
    std::vector<Fault> dead = card_.faults.find_all("lane_dead", {.bank = r.bank});
    uint64_t bad = card_.nand.bad_lanes(segment);
    for (uint32_t lane = 0; lane < lanes; lane++) {
        if ((mask >> lane & 1) == 0) {
            continue;
        }
        uint32_t event = 0;
        bool lane_dead = std::any_of(dead.begin(), dead.end(),
                                     [lane](const Fault& f) { return !f.has("lane") || f.get("lane", 0) == lane; });
        if (torn || (bad >> lane & 1) != 0 || (bad >> (32 + lane) & 1) != 0 || lane_dead) {
            event = 105;
        } else if (uncorrectable.has_value() && uncorrectable->get("lane", first_lane) == lane) {
            event = (uint32_t)uncorrectable->get("event", 105);
        } else if (weak.has_value() && weak->get("lane", first_lane) == lane) {
            event = 104;
        } else {
            event = read_level_event(card_.faults, r, lane);
        }
        if (event == 0) {
            continue;
        }
        // The lane's rank among the set bits of the read's lane mask.
        auto rank = (uint32_t)std::popcount(mask & ((1u << lane) - 1));
        bool narrow = event == 170 || event == 187;
        Report e;
        e.ring = tag_.ring();
        e.words = record(event, {narrow ? tag_.word & 0xFFFFFF : tag_.word, narrow ? rank & 0xFFFFFF : rank});
        events_.push_back(std::move(e));
    }
}

void ReadSequence::read_run(uint32_t value) {
    const NandGeometry& g = card_.config.geometry;
    uint64_t length = (uint64_t)Randomizer::units(value) * g.randomizer_unit;
    if (card_.config.channel.randomizer_check && !loaded_.empty()) {
        const Loaded& l = loaded_.front();
        if (!l.erased && !l.sample && run_offset_ >= l.stream_at) {
            uint64_t offset = l.segment_offset + (run_offset_ - l.stream_at);
            std::string why = Randomizer::check(l.write_runs, g.randomizer_unit, offset, value);
            if (!why.empty()) {
                card_.protocol_fault("randomizer_mismatch", 0x8000 + 480, value, why);
                if (card_.config.channel.randomizer_garble) {
                    for (uint64_t p = run_offset_; p < run_offset_ + length && p < stream_.size(); p++) {
                        stream_[p] ^= 0x5A;
                    }
                }
            }
        }
    }
    run_offset_ += length;
}

void ReadSequence::run_word(uint32_t value) {
    if ((value & 0xC0) != 0xC0) {
        return;
    }
    uint32_t lanes = card_.config.geometry.lanes;
    std::vector<LaneStats> stats(lanes);
    if (const Fault* f = card_.faults.find("stats")) {
        for (LaneStats& s : stats) {
            s.first = (uint16_t)f->get("first", 0);
            s.second = (uint16_t)f->get("second", 0);
        }
    } else if (card_.config.channel.stats) {
        StatsQuery q;
        if (!loaded_.empty()) {
            const Loaded& l = loaded_.front();
            q.eb = l.eb;
            q.bank = l.bank;
            q.row = l.row;
            q.lane_mask = l.lane_mask;
            q.operation = l.operation;
            q.sample = l.sample;
        }
        q.budget_a = card_.window.param_a();
        q.budget_b = card_.window.param_b();
        std::vector<LaneStats> given = card_.config.channel.stats(q);
        std::copy_n(given.begin(), std::min(given.size(), stats.size()), stats.begin());
    }
    std::vector<uint32_t> body{tag_.word, value};
    for (const LaneStats& s : stats) {
        body.push_back((uint32_t)s.first | (uint32_t)s.second << 16);
    }
    Report r;
    r.ring = tag_.ring();
    r.kind = ReportKind::stats;
    r.index = tag_.index();
    r.words = record(0x30u | tag_.index() << 10, body);
    stats_.push_back(std::move(r));
}

void ReadSequence::carve(uint64_t length, std::vector<uint8_t>& out) {
    out.assign(length, 0xFF);
    if (cursor_ < stream_.size() && length > 0) {
        uint64_t n = std::min<uint64_t>(length, stream_.size() - cursor_);
        std::memcpy(out.data(), stream_.data() + cursor_, n);
    }
    if (cursor_ + length > stream_.size() && !overrun_reported_) {
        overrun_reported_ = true;
        card_.protocol_fault("stream_overrun", 0x8000 + 484, (uint32_t)length, "port B read past the end of the read stream");
    }
    cursor_ += length;
}

void ReadSequence::deliver(std::vector<uint8_t> bytes) {
    if (bytes.empty()) {
        return;
    }
    Outbound o;
    o.data = std::move(bytes);
    outbound_.push_back(std::move(o));
}

void ReadSequence::transfer(uint32_t value) {
    TransferWord t = TransferWord::decode(value & 0x7FFFFFFFu);
    if (!t.valid || (value & 0x80000000u) != 0) {
        card_.protocol_fault("transfer_bad_word", 0x8000 + 484, value, "port B transfer word bad or with bit 31");
        if (!t.valid) {
            return;
        }
    }
    bool page = !loaded_.empty();
    if (!page && t.kind != 1) {
        card_.protocol_fault("no_page_loaded", 0x8000 + 484, value, "port B carves a stream no page read loaded");
    }
    switch (t.kind) {
        case 0: {
            std::vector<uint8_t> out;
            carve(t.bytes(), out);
            deliver(std::move(out));
            break;
        }
        case 1: {
            Outbound o;
            o.zeros = t.bytes();
            outbound_.push_back(std::move(o));
            break;
        }
        case 2: {
            const Loaded* l = page ? &loaded_.front() : nullptr;
            for (uint32_t u = 0; u < t.units; u++) {
                uint64_t at = cursor_;
                std::vector<uint8_t> unit;
                carve(t.unit_bytes(), unit);
                if (page && !erased_ && unit.size() >= 8) {
                    uint32_t stored[2];
                    std::memcpy(stored, unit.data(), 8);
                    uint32_t expected[2] = {expected_high_, expected_low_ + u};
                    if (const Fault* f = card_.faults.find("magic_corrupt", {.eb = l->eb, .bank = l->bank, .row = l->row});
                        f != nullptr && (!f->has("packet") || f->get("packet", 0) == packets_checked_)) {
                        card_.faults.take("magic_corrupt", {.eb = l->eb, .bank = l->bank, .row = l->row});
                        stored[1] ^= 1;
                    }
                    packets_checked_++;
                    bool same_address = (stored[0] & 0xFFFFFF00u) == (expected[0] & 0xFFFFFF00u) && stored[1] == expected[1];
                    bool same_class = (stored[0] & 0xF0) == (expected[0] & 0xF0);
                    if (!same_address || !same_class) {
                        Report e;
                        e.ring = tag_.ring();
                        e.words = record(44, {tag_.word, (uint32_t)at, expected[0], expected[1], stored[0], stored[1]});
                        events_.push_back(std::move(e));
                    }
                }
                if (unit.size() > 8) {
                    deliver(std::vector<uint8_t>(unit.begin() + 8, unit.end()));
                }
            }
            break;
        }
        default:
            cursor_ += t.bytes();
            break;
    }
    fill_descriptors();
}

void ReadSequence::fill_descriptors() {
    while (!descriptors_.empty()) {
        Descriptor& d = descriptors_.front();
        while (d.filled < d.length && !outbound_.empty()) {
            Outbound& o = outbound_.front();
            uint64_t n = std::min<uint64_t>(o.size() - o.offset, d.length - d.filled);
            if (o.data.empty()) {
                card_.host.fill(d.address + d.filled, 0, n, "port B descriptor");
            } else {
                card_.host.write(d.address + d.filled, o.data.data() + o.offset, n, "port B descriptor");
            }
            d.filled += (uint32_t)n;
            o.offset += n;
            if (o.offset == o.size()) {
                outbound_.pop_front();
            }
        }
        if (d.filled < d.length) {
            return;
        }
        if (d.interrupt) {
            post_queued();
            Report done;
            done.ring = tag_.ring();
            done.kind = ReportKind::dma;
            done.index = tag_.index();
            done.words = {dma_done_word(tag_.index(), erased_)};
            card_.completions.post(std::move(done));
        }
        descriptors_.pop_front();
    }
}

void ReadSequence::post_queued() {
    for (Report& r : events_) {
        card_.events.post_record(std::move(r));
    }
    for (Report& r : stats_) {
        card_.completions.post(std::move(r));
    }
    events_.clear();
    stats_.clear();
}

void ReadSequence::close() {
    open_ = false;
    tag_.word = 0;
    column_ = length_ = 0;
    column_set_ = length_set_ = false;
    stream_.clear();
    cursor_ = 0;
    erased_ = false;
    loaded_.clear();
    run_offset_ = 0;
    events_.clear();
    stats_.clear();
    outbound_.clear();
    descriptors_.clear();
    packets_checked_ = 0;
    overrun_reported_ = false;
}

void ReadSequence::reset() {
    close();
    pending_.reset();
    expected_low_ = expected_high_ = 0;
    descriptor_length_ = descriptor_low_ = 0;
}

}  // namespace sim::card
