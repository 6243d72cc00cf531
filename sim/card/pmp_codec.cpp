#include "sim/card/pmp_codec.h"

namespace sim::card::pmp {

uint16_t checksum(const uint8_t* bytes, size_t n) {
    // Whole words first, folded once at the end: the ones'-complement sum does not care.
    uint64_t sum = 0;
    for (size_t i = 0; i + 1 < n; i += 2) {
        sum += (uint64_t)bytes[i] | (uint64_t)bytes[i + 1] << 8;
    }
    if (n % 2 != 0) {
        sum += bytes[n - 1];
    }
    while (sum >> 16 != 0) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return (uint16_t)~sum;
}

std::vector<uint8_t> frame_bytes(const Frame& f) {
    std::vector<uint8_t> raw{magic, magic_second, version, (uint8_t)f.destination.size()};
    raw.insert(raw.end(), f.destination.begin(), f.destination.end());
    raw.push_back((uint8_t)f.source.size());
    raw.insert(raw.end(), f.source.begin(), f.source.end());
    raw.insert(raw.end(), f.header, f.header + 3);
    raw.push_back((uint8_t)f.payload.size());
    raw.insert(raw.end(), f.payload.begin(), f.payload.end());
    uint16_t sum = checksum(raw.data(), raw.size());
    raw.push_back((uint8_t)sum);
    raw.push_back((uint8_t)(sum >> 8));
    return raw;
}

std::vector<uint8_t> stuff(const std::vector<uint8_t>& raw) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < raw.size(); i++) {
        out.push_back(raw[i]);
        if (i > 0 && raw[i] == magic) {
            out.push_back(magic);
        }
    }
    return out;
}

void Decoder::reset() {
    raw_.clear();
    doubled_pending_ = false;
}

// Where the bytes so far stand: each field is checked once it is there.
Decoder::Check Decoder::check() const {
    const size_t n = raw_.size();
    if (n >= 2 && raw_[1] != magic_second) {
        return Check::bad_magic;
    }
    if (n >= 3 && raw_[2] != version) {
        return Check::bad_version;
    }
    size_t at = 3;
    for (int address = 0; address < 2; address++) {
        if (n <= at) {
            return Check::incomplete;
        }
        if (raw_[at] < 1 || raw_[at] > address_max) {
            return Check::bad_length;
        }
        at += 1 + raw_[at];
    }
    at += 3;  // the header
    if (n <= at) {
        return Check::incomplete;
    }
    size_t payload = raw_[at];
    if (payload < 1 || payload > payload_max) {
        return Check::bad_length;
    }
    size_t total = at + 1 + payload + 2;
    if (total > frame_max) {
        return Check::bad_length;
    }
    if (n < total) {
        return Check::incomplete;
    }
    uint16_t stored = (uint16_t)(raw_[total - 2] | raw_[total - 1] << 8);
    return stored == checksum(raw_.data(), total - 2) ? Check::complete : Check::bad_checksum;
}

std::optional<Frame> Decoder::take(uint8_t byte) {
    raw_.push_back(byte);
    Check c = check();
    switch (c) {
        case Check::incomplete:
            return std::nullopt;
        case Check::bad_magic: counters_.bad_magic++; break;
        case Check::bad_version: counters_.bad_version++; break;
        case Check::bad_length: counters_.bad_length++; break;
        case Check::bad_checksum: counters_.bad_checksum++; break;
        case Check::complete: {
            Frame f;
            size_t at = 3;
            f.destination.assign(raw_.begin() + (long)at + 1, raw_.begin() + (long)at + 1 + raw_[at]);
            at += 1 + raw_[at];
            f.source.assign(raw_.begin() + (long)at + 1, raw_.begin() + (long)at + 1 + raw_[at]);
            at += 1 + raw_[at];
            f.header[0] = raw_[at];
            f.header[1] = raw_[at + 1];
            f.header[2] = raw_[at + 2];
            at += 3;
            f.payload.assign(raw_.begin() + (long)at + 1, raw_.begin() + (long)at + 1 + raw_[at]);
            counters_.frames++;
            reset();
            return f;
        }
    }
    reset();
    return std::nullopt;
}

std::optional<Frame> Decoder::feed(uint8_t byte) {
    if (raw_.empty()) {
        if (byte != magic) {
            counters_.bad_magic++;
            return std::nullopt;
        }
        raw_.push_back(byte);
        return std::nullopt;
    }
    if (doubled_pending_) {
        doubled_pending_ = false;
        if (byte == magic) {
            return take(magic);
        }
        // The 0x43 was not doubled: it starts the next frame, and this byte follows it.
        counters_.broken++;
        reset();
        raw_.push_back(magic);
        return feed(byte);
    }
    if (byte == magic) {
        if (raw_.size() == 1) {
            counters_.bad_magic++;  // 0x43 0x43 at the start: the second one starts the frame
            return std::nullopt;
        }
        doubled_pending_ = true;
        return std::nullopt;
    }
    return take(byte);
}

}  // namespace sim::card::pmp
