#include "sim/card/card_images.h"

#include <algorithm>
#include <cstring>

#include "sim/card/card_memory.h"
#include "sim/card/mid_writer.h"

namespace sim::card {
namespace {

constexpr uint32_t container_magic = 0x02281989;
constexpr uint32_t nce_magic = 0x11A2BFDC;
constexpr uint32_t ecc1_magic = 0xBEEFCAFE;
constexpr uint32_t header_bytes = 48;

void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; i++) {
        out.push_back((uint8_t)(v >> (8 * i)));
    }
}

void set32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) {
        out[at + i] = (uint8_t)(v >> (8 * i));
    }
}

uint32_t get32(const std::vector<uint8_t>& in, size_t at) {
    return in[at] | in[at + 1] << 8 | in[at + 2] << 16 | (uint32_t)in[at + 3] << 24;
}

// A fixed pseudo-random sequence.
uint32_t next_random(uint32_t& state) {
    state = state * 1664525u + 1013904223u;
    return state;
}

std::vector<uint8_t> container(const ContainerConfig& config, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> out;
    put32(out, config.magic);
    put32(out, config.format);
    uint32_t total = config.total_size >= 0 ? (uint32_t)config.total_size : (uint32_t)(header_bytes + body.size());
    put32(out, total);
    put32(out, config.id);
    put32(out, config.revision_low);
    put32(out, config.revision_high);
    put32(out, 0x20261210);
    put32(out, 7);
    out.resize(header_bytes, 0);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

std::vector<uint8_t> nce_record(const NceRecordConfig& config) {
    std::vector<uint8_t> payload;
    std::vector<ImageSection> sections = config.sections.empty() ? nce_default_sections(config.type) : config.sections;
    for (const ImageSection& s : sections) {
        put32(payload, s.kind);
        put32(payload, (uint32_t)s.words.size());
        for (uint32_t w : s.words) {
            put32(payload, w);
        }
    }
    std::vector<uint8_t> out;
    put32(out, config.magic);
    put32(out, config.second);
    put32(out, (uint32_t)payload.size());
    put32(out, config.type | config.flags);
    put32(out, config.version);
    put32(out, config.build);
    uint16_t crc = crc16_ccitt_false(payload.data(), payload.size() & 0xFFFF);
    if (config.bad_crc) {
        crc ^= 0x0101;
    }
    out.push_back((uint8_t)crc);
    out.push_back((uint8_t)(crc >> 8));
    out.push_back(0);
    out.push_back(0);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<uint8_t> ecc1_record(const Ecc1RecordConfig& config) {
    std::vector<uint8_t> data(24, 0);
    if (config.id == 0) {
        set32(data, 16, config.count);
        set32(data, 20, config.second);
    } else {
        set32(data, 12, config.count);
        set32(data, 16, config.second);
    }
    std::vector<uint8_t> payload = ecc1_payload(config);
    data.insert(data.end(), payload.begin(), payload.end());
    std::vector<uint8_t> out;
    put32(out, config.version);
    put32(out, config.magic);
    put32(out, config.id);
    put32(out, (uint32_t)data.size());
    uint16_t crc = crc16_ccitt_false(data.data(), data.size() & 0xFFFF);
    put32(out, config.bad_crc ? crc ^ 0x0101u : crc);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

// The chain as the card memory holds it: {id, address of the body, body size} of each container
// up to the first bad header.
struct FoundContainer {
    uint32_t id;
    std::vector<uint8_t> body;
};

std::vector<uint8_t> read_bytes(const CardMemory& memory, uint32_t address, uint32_t length) {
    std::vector<uint8_t> out(length);
    for (uint32_t i = 0; i < length; i++) {
        out[i] = memory.byte(address + i);
    }
    return out;
}

bool find_container(const CardMemory& memory, uint32_t id, std::vector<uint8_t>* body) {
    uint32_t address = image_chain_address;
    for (int n = 0; n < 64 && address + header_bytes <= CardMemory::size; n++) {
        std::vector<uint8_t> h = read_bytes(memory, address, header_bytes);
        uint32_t total = get32(h, 8);
        if (get32(h, 0) != container_magic || get32(h, 4) == 0 || total < header_bytes ||
            total > CardMemory::size - address) {
            return false;
        }
        if (get32(h, 12) == id) {
            *body = read_bytes(memory, address + header_bytes, total - header_bytes);
            return true;
        }
        address += total;
    }
    return false;
}

// The kind-1 sections of an NCE payload; false when it does not parse.
bool register_sections(const std::vector<uint8_t>& body, size_t at, size_t length,
                       std::vector<std::vector<uint32_t>>* out) {
    size_t end = at + length;
    while (at + 8 <= end) {
        uint32_t kind = get32(body, at);
        uint32_t n = get32(body, at + 4);
        at += 8;
        if (n == 0) {
            return true;
        }
        if ((uint64_t)n * 4 > end - at) {
            return false;
        }
        if (kind == 1) {
            std::vector<uint32_t> words(n);
            for (uint32_t i = 0; i < n; i++) {
                words[i] = get32(body, at + 4 * i);
            }
            out->push_back(std::move(words));
        }
        at += 4ull * n;
    }
    return false;
}

// The ECC1 record with `id` of container 1's body: its data bytes.
bool ecc1_data(const std::vector<uint8_t>& body, uint32_t id, std::vector<uint8_t>* data) {
    size_t at = 0;
    while (at + 20 <= body.size()) {
        if (get32(body, at + 4) != ecc1_magic) {
            return false;
        }
        uint32_t length = get32(body, at + 12);
        if (length > body.size() - at - 20) {
            return false;
        }
        if (get32(body, at + 8) == id) {
            data->assign(body.begin() + (long)at + 20, body.begin() + (long)(at + 20 + length));
            return true;
        }
        at += 20 + length;
    }
    return false;
}

}  // namespace

std::vector<ImageSection> nce_default_sections(uint32_t type) {
    std::string text = type == 0x20100 ? "NCE image own DDR" : "NCE image for ONFi";
    ImageSection t{2, {}};
    for (size_t i = 0; i < text.size(); i += 4) {
        uint32_t w = 0;
        for (size_t b = 0; b < 4 && i + b < text.size(); b++) {
            w |= (uint32_t)(uint8_t)text[i + b] << (8 * b);
        }
        t.words.push_back(w);
    }
    uint32_t state = type;
    ImageSection a{1, {}};
    for (int i = 0; i < 48; i++) {
        a.words.push_back(next_random(state));
    }
    ImageSection b{1, {}};
    for (int i = 0; i < 16; i++) {
        b.words.push_back(next_random(state) | (i % 3 == 0 ? 0x80000000u : 0));
    }
    return {t, a, b, ImageSection{0, {}}};
}

std::vector<uint8_t> ecc1_payload(const Ecc1RecordConfig& record) {
    uint32_t state = 0xECC1 + record.id;
    std::vector<uint8_t> out;
    if (record.id == 0) {
        uint64_t words = (uint64_t)(record.second / 32) * record.count * record.count;
        for (uint64_t i = 0; i < words && i < 65536; i++) {
            put32(out, next_random(state));
        }
    } else {
        for (uint32_t i = 0; i < record.count && i < 65536; i++) {
            for (int b = 0; b < 5; b++) {
                out.push_back((uint8_t)(next_random(state) >> 24));
            }
        }
    }
    return out;
}

std::vector<uint8_t> build_image_chain(const ImagesConfig& config) {
    std::vector<uint8_t> chain;
    if (config.microcode.present) {
        std::vector<uint8_t> body;
        for (const NceRecordConfig& r : config.nce) {
            std::vector<uint8_t> record = nce_record(r);
            body.insert(body.end(), record.begin(), record.end());
        }
        std::vector<uint8_t> c = container(config.microcode, body);
        chain.insert(chain.end(), c.begin(), c.end());
    }
    if (config.ecc.present) {
        std::vector<uint8_t> body;
        for (const Ecc1RecordConfig& r : config.ecc1) {
            if (r.present) {
                std::vector<uint8_t> record = ecc1_record(r);
                body.insert(body.end(), record.begin(), record.end());
            }
        }
        std::vector<uint8_t> c = container(config.ecc, body);
        chain.insert(chain.end(), c.begin(), c.end());
    }
    return chain;
}

// ---- Microcode port

void MicrocodePort::write(uint32_t csr, uint32_t value, const CardMemory& memory) {
    if (csr == 0x188 && value == 1) {
        loading_ = true;
        received_.clear();
        return;
    }
    if (csr == 0x188 && value == 0) {
        if (!loading_) {
            return;
        }
        loading_ = false;
        state_.loads++;
        state_.running = false;
        state_.bad_image = true;
        std::vector<uint8_t> body;
        if (!find_container(memory, 0, &body)) {
            return;
        }
        size_t at = 0;
        while (at + 28 <= body.size() && get32(body, at) == nce_magic) {
            uint32_t length = get32(body, at + 8);
            if (length > body.size() - at - 28) {
                break;
            }
            std::vector<std::vector<uint32_t>> sections;
            if (register_sections(body, at + 28, length, &sections) && sections == received_) {
                state_.running = true;
                state_.bad_image = false;
                state_.type = get32(body, at + 12) & ~4u;
                state_.version = get32(body, at + 16);
                state_.build = get32(body, at + 20);
                return;
            }
            at += 28 + length;
        }
        return;
    }
    if (!loading_) {
        state_.stray_words++;
        return;
    }
    if (csr == 0x180) {
        received_.push_back({value});
    } else if (csr == 0x184 && !received_.empty()) {
        received_.back().push_back(value);
    } else {
        state_.stray_words++;
    }
}

// ---- ECC engine

void EccEngine::write(uint32_t csr, uint32_t value) {
    switch (csr) {
        case 0x63A8: table_.push_back(value); break;
        case 0x42A4:
        case 0x42A0: matrix_.push_back({csr, value}); break;
        case 0x42A8: values_.push_back(value); break;
        default: break;
    }
}

void EccEngine::reset() {
    table_.clear();
    matrix_.clear();
    values_.clear();
}

EccLoadCheck EccEngine::check(const CardMemory& memory) const {
    EccLoadCheck out;
    out.table_words = table_.size();
    out.matrix_words = matrix_.size();
    out.value_words = values_.size();
    std::vector<uint8_t> body, matrix, table;
    if (!find_container(memory, 1, &body) || !ecc1_data(body, 0, &matrix) || !ecc1_data(body, 1, &table) ||
        matrix.size() < 24 || table.size() < 24) {
        return out;
    }
    uint32_t n = get32(table, 12);
    uint32_t r = get32(table, 16);
    std::vector<uint32_t> values;
    for (uint32_t e = 0; e < n && 24 + 5ull * e + 5 <= table.size(); e++) {
        const uint8_t* b = &table[24 + 5 * e];
        for (uint32_t m = 0; m < 4; m++) {
            uint32_t v = b[4 - m] | (b[0] & 1u) << 8 | (b[0] >> (m + 1) & 1u) << 9;
            values.push_back(v);
        }
    }
    std::vector<uint32_t> expect_table;
    for (uint64_t k = 0; r >= 1 && k < (uint64_t)(r - 1) * n && k < values.size(); k++) {
        expect_table.push_back(values[k] | (uint32_t)(k & 0xFFF) << 10 | 0x80000000u);
    }
    expect_table.push_back(15);
    out.table_ok = table_ == expect_table;

    uint32_t s = get32(matrix, 16);
    uint32_t w = get32(matrix, 20);
    std::vector<std::pair<uint32_t, uint32_t>> expect_matrix;
    size_t word = 0;
    for (uint32_t i = 0; i < s && i < 32; i++) {
        expect_matrix.push_back({0x42A4, 1u << i});
        for (uint32_t j = 0; j < (w / 32) * s && 24 + 4 * (word + 1) <= matrix.size(); j++, word++) {
            expect_matrix.push_back({0x42A0, get32(matrix, 24 + 4 * word)});
        }
    }
    out.matrix_ok = matrix_ == expect_matrix;

    std::vector<uint32_t> expect_values;
    for (size_t k = 0; k < values.size(); k++) {
        expect_values.push_back(values[k] << 16 | (uint32_t)(k & 0x1FF));
    }
    out.values_ok = values_ == expect_values;
    return out;
}

}  // namespace sim::card
