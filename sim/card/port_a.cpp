#include "sim/card/port_a.h"

#include <algorithm>
#include <cstring>

#include "sim/card/card_state.h"
#include "sim/card/transfer_word.h"

namespace sim::card {

void PortA::write(uint32_t n, uint32_t value) {
    switch (n) {
        case 84: address_low_ = value; return;
        case 88: address_high_ = value; return;
        case 76: {
            TransferWord t = TransferWord::decode(value);
            if (!t.valid) {
                card_.protocol_fault("transfer_bad_word", 0x8000 + n, value, "port A transfer word without bit 28 or of kind 4-7");
                return;
            }
            if (command_.has_value()) {
                card_.protocol_fault("transfer_unpaired", 0x8000 + n, value, "port A transfer command before the last one's tag word");
            }
            command_ = value;
            return;
        }
        case 80: {
            if (!command_.has_value()) {
                card_.protocol_fault("transfer_unpaired", 0x8000 + n, value, "port A tag word without a transfer command");
                return;
            }
            TransferWord t = TransferWord::decode(*command_);
            command_.reset();
            Sink s;
            s.kind = t.kind;
            if (t.kind == 3) {
                card_.protocol_fault("transfer_bad_word", 0x8000 + 76, 0, "port A transfer of kind 3, taken as kind 1");
                s.kind = 1;
            }
            s.unit_bytes = t.unit_bytes();
            s.total = t.bytes();
            s.interrupt = t.interrupt;
            s.tag.word = value;
            s.address_low = address_low_;
            s.address_high = address_high_;
            sinks_.push_back(s);
            pump();
            return;
        }
        default: return;
    }
}

void PortA::source(std::vector<uint8_t> bytes) {
    if (bytes.empty()) {
        return;
    }
    source_bytes_ += bytes.size();
    sources_.push_back(std::move(bytes));
    pump();
}

uint64_t PortA::take_source(uint64_t most) {
    uint64_t taken = 0;
    while (taken < most && !sources_.empty()) {
        std::vector<uint8_t>& front = sources_.front();
        uint64_t n = std::min<uint64_t>(most - taken, front.size() - source_offset_);
        card_.rows.push(front.data() + source_offset_, n);
        source_offset_ += n;
        taken += n;
        if (source_offset_ == front.size()) {
            sources_.pop_front();
            source_offset_ = 0;
        }
    }
    source_bytes_ -= taken;
    return taken;
}

void PortA::pump() {
    RowQueue& rows = card_.rows;
    while (!sinks_.empty()) {
        Sink& s = sinks_.front();
        if (s.kind == 1) {
            rows.push_fill(card_.config.channel.fill_byte, s.total - s.done);
            s.done = s.total;
        } else if (s.kind == 0) {
            s.done += take_source(s.total - s.done);
        } else {
            while (s.done < s.total) {
                uint64_t in_unit = s.done % s.unit_bytes;
                if (in_unit == 0) {
                    // The packet header: the media address words, the low word advanced by the
                    // unit's number (no carry into the high word).
                    auto unit = (uint32_t)(s.done / s.unit_bytes);
                    uint32_t header[2] = {s.address_high, s.address_low + unit};
                    uint8_t bytes[8];
                    std::memcpy(bytes, header, 8);
                    rows.note_packet();
                    uint64_t n = std::min<uint64_t>(8, s.unit_bytes);
                    rows.push(bytes, n);
                    s.done += n;
                    continue;
                }
                uint64_t taken = take_source(s.unit_bytes - in_unit);
                s.done += taken;
                if (taken == 0) {
                    break;
                }
            }
        }
        if (s.done < s.total) {
            break;  // waiting for source bytes
        }
        s.end = rows.pushed();
        pushed_.push_back(s);
        sinks_.pop_front();
    }
    placed();
}

void PortA::placed() {
    while (!pushed_.empty() && pushed_.front().end <= card_.rows.placed()) {
        Sink s = pushed_.front();
        pushed_.pop_front();
        // The rows keep the command's bytes over a power cut before the host hears it is done.
        card_.rows.commit(s.end);
        if (!s.interrupt) {
            continue;
        }
        if (s.tag.subtype() == tag_request || s.tag.subtype() == tag_sequence) {
            Report r;
            r.ring = s.tag.ring();
            r.kind = ReportKind::report;
            r.index = s.tag.index();
            r.words = {report_done_word(s.tag.index())};
            card_.completions.post(std::move(r));
        } else {
            card_.protocol_fault("tag_subtype", 0x8000 + 80, s.tag.word, "report-done request on a tag that names no request");
        }
    }
}

void PortA::reset() {
    command_.reset();
    address_low_ = address_high_ = 0;
    sinks_.clear();
    pushed_.clear();
    sources_.clear();
    source_offset_ = 0;
    source_bytes_ = 0;
}

}  // namespace sim::card
