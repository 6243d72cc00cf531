#include "sim/card/pmp_channel.h"

#include <string>

namespace sim::card {
namespace {

constexpr size_t tx_capacity = 64;
constexpr size_t rx_capacity = 4096;
constexpr size_t kept_frames = 256;
constexpr uint8_t noise = 0x55;
constexpr uint32_t status_rx_empty = 0x1;
constexpr uint32_t status_tx_full = 0x8;

void keep(std::deque<pmp::Frame>& list, const pmp::Frame& f) {
    if (list.size() == kept_frames) {
        list.pop_front();
    }
    list.push_back(f);
}

// The index of the payload length byte in a frame's bytes.
size_t payload_length_at(const std::vector<uint8_t>& raw) {
    size_t at = 3 + 1 + raw[3];
    return at + 1 + raw[at] + 3;
}

}  // namespace

PmpChannel::PmpChannel(const PmpConfig& config, FaultPlan& faults)
    : network_(config), faults_(faults), silent_(config.silent_until_attention) {}

bool PmpChannel::visible(uint64_t now_us) const {
    return !rx_.empty() && rx_.front().second <= now_us;
}

void PmpChannel::drain_tx(uint64_t now_us) {
    while (!tx_.empty() && !faults_.active("pmp_tx_stall")) {
        uint8_t byte = tx_.front();
        tx_.pop_front();
        feed(byte, now_us);
    }
}

uint32_t PmpChannel::read_data(uint64_t now_us) {
    drain_tx(now_us);
    if (visible(now_us)) {
        uint8_t byte = rx_.front().first;
        rx_.pop_front();
        return (uint32_t)byte << 8;
    }
    const Fault* babble = faults_.find("pmp_babble");
    return babble != nullptr && babble->flag("endless") ? (uint32_t)noise << 8 : 0;
}

uint32_t PmpChannel::read_status(uint64_t now_us) {
    drain_tx(now_us);
    const Fault* babble = faults_.find("pmp_babble");
    bool endless = babble != nullptr && babble->flag("endless");
    uint32_t status = visible(now_us) || endless ? 0 : status_rx_empty;
    if (faults_.active("pmp_tx_full") || (faults_.active("pmp_tx_stall") && tx_.size() >= tx_capacity)) {
        status |= status_tx_full;
    }
    return status;
}

void PmpChannel::write_data(uint32_t value, uint64_t now_us) {
    if (faults_.active("pmp_tx_full") || tx_.size() >= tx_capacity) {
        counters_.tx_dropped++;
        return;
    }
    tx_.push_back((uint8_t)value);
    drain_tx(now_us);
}

void PmpChannel::attention() {
    tx_.clear();
    rx_.clear();
    decoder_.reset();
    if (silent_ > 0) {
        silent_--;
    }
    counters_.attention_pulses++;
}

void PmpChannel::babble(uint32_t bytes, uint64_t now_us) {
    for (uint32_t i = 0; i < bytes && rx_.size() < rx_capacity; i++) {
        rx_.emplace_back(noise, now_us);
    }
}

void PmpChannel::link_counters(uint32_t out[13]) const {
    const pmp::DecoderCounters& d = decoder_.counters();
    uint32_t values[13] = {d.frames,       counters_.answers, 0, 0, d.bad_magic, d.bad_version, d.bad_checksum, 0,
                           d.bad_length, counters_.rx_dropped + counters_.tx_dropped, d.broken, 0, 0};
    for (int i = 0; i < 13; i++) {
        out[i] = values[i];
    }
}

void PmpChannel::feed(uint8_t byte, uint64_t now_us) {
    std::optional<pmp::Frame> frame = decoder_.feed(byte);
    if (!frame) {
        return;
    }
    keep(frames_in_, *frame);
    if (silent_ > 0 || faults_.active("pmp_dead")) {
        counters_.ignored++;
        return;
    }
    uint32_t counters[13];
    link_counters(counters);
    for (const pmp::Frame& answer : network_.handle(*frame, faults_, counters, now_us)) {
        queue_answer(answer, now_us);
    }
}

void PmpChannel::queue_answer(const pmp::Frame& frame, uint64_t now_us) {
    keep(frames_out_, frame);
    counters_.answers++;
    std::vector<uint8_t> raw = pmp::frame_bytes(frame);
    std::string kind;
    if (std::optional<Fault> corrupt = faults_.take("pmp_corrupt")) {
        auto it = corrupt->words.find("kind");
        kind = it != corrupt->words.end() ? it->second : "bad_checksum";
    }
    if (kind == "bad_magic") {
        raw[1] ^= 0x01;
    } else if (kind == "bad_version") {
        raw[2] = 2;
    } else if (kind == "bad_checksum") {
        raw.back() ^= 0xFF;
    } else if (kind == "len_73") {
        raw[payload_length_at(raw)] = 73;
    } else if (kind == "len_0") {
        raw[payload_length_at(raw)] = 0;
    } else if (kind == "truncate") {
        raw.resize(raw.size() / 2);
    }
    std::vector<uint8_t> wire = pmp::stuff(raw);
    if (kind == "lone_43_21") {
        wire.insert(wire.begin() + (long)(wire.size() / 2), {pmp::magic, pmp::magic_second});
    }
    uint32_t latency = network_.config().latency_us;
    if (const Fault* slow = faults_.find("pmp_latency")) {
        latency = (uint32_t)slow->get("us", latency);
    }
    for (uint8_t b : wire) {
        if (rx_.size() >= rx_capacity) {
            counters_.rx_dropped++;
            continue;
        }
        rx_.emplace_back(b, now_us + latency);
    }
}

PmpChannel::Counters PmpChannel::counters() const {
    Counters c = counters_;
    c.decoder = decoder_.counters();
    return c;
}

}  // namespace sim::card
