// Reading register dumps back out of the driver's log, as the person who finds one there would:
// the lines between "<card>: BEGIN CSR DUMP" and "<card>: END CSR DUMP", Base64-decoded, then
// the LZ4 block behind its 4-byte length header decompressed.
#pragma once

#include <lz4.h>

#include <cstdint>
#include <string>
#include <vector>

namespace csr_dump_decode {

// Standard Base64; an empty vector when the text is not valid.
inline std::vector<uint8_t> base64(const std::string& text, bool* ok = nullptr) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<uint8_t> out;
    if (ok != nullptr) {
        *ok = text.size() % 4 == 0;
    }
    for (size_t i = 0; i + 4 <= text.size(); i += 4) {
        uint32_t group = 0;
        int pad = 0;
        for (int k = 0; k < 4; k++) {
            char c = text[i + k];
            size_t v = alphabet.find(c);
            if (c == '=') {
                pad++;
                v = 0;
            } else if (v == std::string::npos) {
                if (ok != nullptr) {
                    *ok = false;
                }
                return {};
            }
            group = group << 6 | (uint32_t)v;
        }
        out.push_back((uint8_t)(group >> 16));
        if (pad < 2) {
            out.push_back((uint8_t)(group >> 8));
        }
        if (pad < 1) {
            out.push_back((uint8_t)group);
        }
    }
    return out;
}

// One printed dump block of `card` found in `lines` (the n-th, from 0).
struct block {
    bool found = false;
    bool contiguous = true;          // no other line between BEGIN and END
    std::vector<std::string> lines;  // the Base64 text of each line
    std::vector<uint8_t> bytes;      // decoded
};

inline block find_block(const std::vector<std::string>& log, const std::string& card, size_t nth = 0) {
    block b;
    const std::string begin = card + ": BEGIN CSR DUMP\n";
    const std::string end = card + ": END CSR DUMP\n";
    const std::string data = card + ": CSR DUMP: ";
    size_t seen = 0;
    for (size_t i = 0; i < log.size(); i++) {
        if (log[i] != begin || seen++ != nth) {
            continue;
        }
        std::string text;
        for (size_t k = i + 1; k < log.size(); k++) {
            if (log[k] == end) {
                b.found = true;
                b.bytes = base64(text);
                return b;
            }
            if (log[k].rfind(data, 0) != 0) {
                b.contiguous = false;
                continue;
            }
            std::string chunk = log[k].substr(data.size());
            if (!chunk.empty() && chunk.back() == '\n') {
                chunk.pop_back();
            }
            b.lines.push_back(chunk);
            text += chunk;
        }
        return b;
    }
    return b;
}

// The dump's text: the length header's bytes decompressed; empty when the block does not decode.
inline std::string decompress(const std::vector<uint8_t>& bytes) {
    if (bytes.size() < 4) {
        return {};
    }
    uint32_t length = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | (uint32_t)bytes[3] << 24;
    std::string text(length, '\0');
    int n = LZ4_decompress_safe((const char*)bytes.data() + 4, text.data(), (int)bytes.size() - 4, (int)length);
    if (n != (int)length) {
        return {};
    }
    return text;
}

}  // namespace csr_dump_decode

namespace csr_dump_decode {

// The text of the last dump of `card` printed in `log`; empty when none was.
inline std::string last_printed(const std::vector<std::string>& log, const std::string& card) {
    std::string text;
    for (size_t nth = 0;; nth++) {
        block b = find_block(log, card, nth);
        if (!b.found) {
            return text;
        }
        text = decompress(b.bytes);
    }
}

// Blocks of `card` begun in `log`.
inline size_t printed_count(const std::vector<std::string>& log, const std::string& card) {
    size_t n = 0;
    for (const std::string& line : log) {
        n += line == card + ": BEGIN CSR DUMP\n" ? 1 : 0;
    }
    return n;
}

}  // namespace csr_dump_decode
