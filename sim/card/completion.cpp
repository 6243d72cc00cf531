#include "sim/card/completion.h"

#include "sim/card/card_state.h"

namespace sim::card {
namespace {

enum window_register : uint32_t {
    w_state = 0x000,
    w_rx = 0x004,
    w_reset = 0x008,
    w_producer = 0x00C,
    w_write_enable = 0x010,
    w_hold = 0x014,
    w_base_low = 0x018,
    w_base_high = 0x01C,
    w_bytes = 0x020,
    w_word9 = 0x024,
    w_acknowledge = 0x028,
    w_acknowledged = 0x058,
    w_pending = 0x05C,
    w_interrupt = 0x060,
    w_retrigger = 0x064,
    w_written = 0x090,
};

const char* kind_name(ReportKind kind) {
    switch (kind) {
        case ReportKind::flush: return "flush";
        case ReportKind::erase: return "erase";
        case ReportKind::dma: return "dma";
        case ReportKind::report: return "report";
        default: return "";
    }
}

}  // namespace

bool CompletionUnit::programmed(unsigned q) const {
    const Ring& r = rings_[q];
    return r.latched && ((uint64_t)r.base_high << 32 | r.base_low) != 0;
}

bool CompletionUnit::writable(const Ring& r) const {
    unsigned q = (unsigned)(&r - rings_.data());
    return programmed(q) && (r.state == 1 || r.state == 2) && r.write_enable != 0;
}

uint32_t CompletionUnit::read(uint32_t offset) {
    unsigned q = (offset - window_base) / window_size;
    const Ring& r = rings_[q];
    switch (offset % window_size) {
        case w_state: return r.state;
        case w_rx: return r.rx_word;
        case w_producer: return (uint32_t)(r.produced % ring_words);
        case w_write_enable: return r.write_enable;
        case w_hold: return r.hold;
        case w_base_low: return r.base_low;
        case w_base_high: return r.base_high;
        case w_bytes: return r.bytes;
        case w_word9: return r.word9;
        case w_acknowledged: return (uint32_t)(r.acknowledged % ring_words);
        case w_pending: return (uint32_t)(r.produced - r.acknowledged);
        case w_interrupt: {
            bool words = r.produced > r.acknowledged;
            bool held = r.armed && words && (r.hold != 0 || r.state != 1);
            return (r.armed ? 1u : 0) | (held ? 2u : 0) | (r.pending.empty() ? 0 : 4u);
        }
        case w_written: return (uint32_t)r.words_written;
        default: return 0;
    }
}

void CompletionUnit::restart(Ring& r) {
    r.produced = r.acknowledged = 0;
    r.armed = true;
    r.pending.clear();
}

void CompletionUnit::write(uint32_t offset, uint32_t value) {
    unsigned q = (offset - window_base) / window_size;
    Ring& r = rings_[q];
    switch (offset % window_size) {
        case w_state: {
            uint32_t was = r.state;
            r.state = value;
            if (value == 1 && was != 1) {
                signal_if_armed(q);
            }
            break;
        }
        case w_rx: r.rx_word = value; break;
        case w_reset:
            if ((value & 0x80000000u) != 0) {
                r.state = 0;
                restart(r);
            }
            break;
        case w_write_enable: r.write_enable = value; break;
        case w_hold: {
            uint32_t was = r.hold;
            r.hold = value;
            if (was != 0 && value == 0) {
                signal_if_armed(q);
            }
            break;
        }
        case w_base_low: r.base_low = value; break;
        case w_base_high: r.base_high = value; break;
        case w_bytes:
            r.bytes = value;
            r.latched = value == ring_bytes;
            if (!r.latched) {
                card_.protocol_fault("ring_size", offset, value, "completion ring bytes other than 0x100000");
            }
            restart(r);
            break;
        case w_word9: r.word9 = value; break;
        case w_acknowledge: {
            card_.inspector.counters.acknowledges++;
            uint64_t count = value & 0x7FFFFFFFu;
            if (count > r.produced - r.acknowledged) {
                card_.protocol_fault("ack_overrun", offset, value, "acknowledge of more words than are pending");
                count = r.produced - r.acknowledged;
            }
            r.acknowledged += count;
            if ((value & 0x80000000u) == 0) {
                r.armed = true;
                if (r.produced > r.acknowledged && r.state == 1 && r.hold == 0) {
                    signal(q);
                }
            } else {
                r.armed = false;
            }
            break;
        }
        case w_retrigger:
            if (value == 1) {
                card_.inspector.counters.retriggers++;
                if (r.produced > r.acknowledged && r.state == 1 && r.hold == 0) {
                    signal(q);
                }
            }
            break;
        default: break;
    }
    // Space, the state or the enable may have changed.
    drain(q);
}

void CompletionUnit::signal(unsigned q) {
    rings_[q].armed = false;
    if (card_.faults.take("drop_interrupt", {.ring = q}).has_value()) {
        return;
    }
    card_.msix.signal(q);
}

void CompletionUnit::signal_if_armed(unsigned q) {
    const Ring& r = rings_[q];
    if (r.armed && r.produced > r.acknowledged && r.state == 1 && r.hold == 0) {
        signal(q);
    }
}

void CompletionUnit::post(Report report) {
    if (auto f = card_.faults.find("delay_report");
        f != nullptr && f->words.count("kind") != 0 && f->words.at("kind") == kind_name(report.kind) &&
        (!f->has("index") || f->get("index", 0) == report.index)) {
        uint64_t due = card_.now() + f->get("ms", 0) * 10000;
        card_.faults.take("delay_report");
        delayed_.push_back({due, std::move(report)});
        return;
    }
    if (report.kind == ReportKind::flush) {
        if (swapped_.has_value()) {
            Report first = std::move(*swapped_);
            swapped_.reset();
            enqueue(std::move(report));
            enqueue(std::move(first));
            return;
        }
        if (card_.faults.take("swap_flush").has_value()) {
            swapped_ = std::move(report);
            return;
        }
    }
    enqueue(std::move(report));
}

void CompletionUnit::enqueue(Report report) {
    unsigned q = report.ring < max_rings && programmed(report.ring) ? report.ring : 0;
    if (report.words.size() > 1 && report.words.back() == record_terminator) {
        // A record whose terminator never comes (or is some other word), for the host's waits.
        uint32_t kind = report.words[0] & 0xFF;
        uint32_t group = kind >= 16 && kind < 32 ? 16 : kind;
        if (const Fault* f = card_.faults.find("record_truncate");
            f != nullptr && (!f->has("kind") || f->get("kind", 0) == kind || f->get("kind", 0) == group)) {
            bool wrong = f->flag("wrong_word");
            card_.faults.take("record_truncate");
            if (wrong) {
                report.words.back() = 0x0BADC0DE;
            } else {
                report.words.pop_back();
            }
        }
    }
    if (report.words.size() > 1) {
        card_.inspector.counters.records[report.words[0] & 0xFF]++;
    }
    rings_[q].pending.push_back(std::move(report));
    drain(q);
}

void CompletionUnit::post_due(uint64_t now) {
    for (auto it = delayed_.begin(); it != delayed_.end();) {
        if (it->due <= now) {
            Report r = std::move(it->report);
            it = delayed_.erase(it);
            enqueue(std::move(r));
        } else {
            ++it;
        }
    }
}

std::optional<uint64_t> CompletionUnit::next_due() const {
    std::optional<uint64_t> due;
    for (const Delayed& d : delayed_) {
        if (!due.has_value() || d.due < *due) {
            due = d.due;
        }
    }
    return due;
}

void CompletionUnit::drain(unsigned q) {
    Ring& r = rings_[q];
    bool wrote = false;
    uint64_t base = (uint64_t)r.base_high << 32 | r.base_low;
    while (writable(r) && !r.pending.empty() && card_.dma_allowed()) {
        const std::vector<uint32_t>& words = r.pending.front().words;
        if (r.produced + words.size() - r.acknowledged > ring_words - margin) {
            break;
        }
        // The record first, the first word last: a host that sees the first word finds the
        // whole report behind it.
        for (size_t k = words.size(); k-- > 0;) {
            uint64_t at = base + 4 * ((r.produced + k) % ring_words);
            card_.host.write_word(at, words[k], "completion word");
        }
        for (uint32_t w : words) {
            card_.inspector.log_word(q, w);
        }
        r.produced += words.size();
        r.words_written += words.size();
        card_.inspector.counters.words[q] += words.size();
        r.pending.pop_front();
        wrote = true;
    }
    if (wrote) {
        signal_if_armed(q);
    }
}

uint32_t CompletionUnit::interrupt_status() const {
    const Ring& r = rings_[0];
    uint64_t words = r.produced - r.acknowledged;
    uint32_t status = 0;
    if (!r.armed && words > 0) {
        status |= 1;
    }
    if (!r.pending.empty()) {
        status |= 1u << 9;
    }
    if (words == 0) {
        status |= 1u << 10;
    }
    uint64_t bytes = words * 4 > 0xFFFF ? 0xFFFF : words * 4;
    return status | (uint32_t)bytes << 16;
}

void CompletionUnit::drop_pending() {
    for (Ring& r : rings_) {
        r.pending.clear();
    }
    delayed_.clear();
    swapped_.reset();
}

void CompletionUnit::power_on() {
    for (Ring& r : rings_) {
        r = Ring{};
    }
    delayed_.clear();
    swapped_.reset();
}

}  // namespace sim::card
