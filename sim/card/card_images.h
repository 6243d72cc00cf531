// The image containers in card memory (from 0x1F80000) and the two engines that check what the
// host loads from them:
//
// - the image builder: container 0 with NCE microcode records, container 1 with the ECC1 matrix
//   and table records, every field settable so a test can break one (the defaults are a healthy
//   card's: two NCE records, types 0x10100 and 0x20100, version 1.0.8, build 150000; ECC1 version
//   3, matrix S = 4, W = 64, table N = 16, R = 4). Layouts: container header {magic 0x02281989,
//   format, total size, id, lowest and highest (exclusive) revision served, date, revision, 16
//   zero bytes}; NCE record {0x11A2BFDC, 0, L, type | flags (bit 2 poisoned), version, build,
//   u16 CRC-16 of the payload's L & 0xFFFF bytes, u16 0, payload: sections {kind, n, n words},
//   the last of count 0}; ECC1 record {version, 0xBEEFCAFE, id, L, CRC-16 in the low half, data:
//   a 24-byte header (matrix: S at 16, W at 20; table: N at 12, R at 16) and the payload}. All
//   fields little-endian.
// - the microcode port (ring entries to BAR 0x8188, 0x8180, 0x8184): {1 -> 0x188} begins a
//   load, {w -> 0x180} begins a section, {w -> 0x184} adds to it, {0 -> 0x188} ends it; the
//   sections received are compared with the kind-1 sections of every NCE record of container 0:
//   a match runs that record, anything else is a bad image.
// - the ECC engine's load streams (0x63A8 table values, 0x42A4 section selects with 0x42A0
//   matrix words, 0x42A8 values), compared with what container 1's records call for.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace sim::card {

class CardMemory;

struct ImageSection {
    uint32_t kind;
    std::vector<uint32_t> words;
};

struct NceRecordConfig {
    uint32_t magic = 0x11A2BFDC;
    uint32_t second = 0;
    uint32_t type = 0x10100;
    uint32_t flags = 0;  // bit 2: poisoned
    uint32_t version = 0x00010008;
    uint32_t build = 150000;
    bool bad_crc = false;
    std::vector<ImageSection> sections;  // empty: the default payload of the type
};

struct Ecc1RecordConfig {
    bool present = true;
    uint32_t version = 3;
    uint32_t magic = 0xBEEFCAFE;
    uint32_t id = 0;
    bool bad_crc = false;
    uint32_t count = 0;   // matrix: S; table: N
    uint32_t second = 0;  // matrix: W; table: R
};

struct ContainerConfig {
    bool present = true;
    uint32_t magic = 0x02281989;
    uint32_t format = 1;
    uint32_t id = 0;
    uint32_t revision_low = 0x801C11;
    uint32_t revision_high = 0x802800;
    int64_t total_size = -1;  // -1: the size of what it holds
};

struct ImagesConfig {
    ContainerConfig microcode{true, 0x02281989, 1, 0, 0x801C11, 0x802800, -1};
    std::vector<NceRecordConfig> nce = {NceRecordConfig{}, NceRecordConfig{0x11A2BFDC, 0, 0x20100}};
    ContainerConfig ecc{true, 0x02281989, 1, 1, 0x801C11, 0x802800, -1};
    std::vector<Ecc1RecordConfig> ecc1 = {Ecc1RecordConfig{true, 3, 0xBEEFCAFE, 0, false, 4, 64},
                                        Ecc1RecordConfig{true, 3, 0xBEEFCAFE, 1, false, 16, 4}};
};

constexpr uint32_t image_chain_address = 0x1F80000;

// The default sections of an NCE record of `type`: a text, two register-write sections of 48
// and 16 pseudo-random words (seeded by the type, some with bit 31 set), the end.
std::vector<ImageSection> nce_default_sections(uint32_t type);
// The bytes of the container chain.
std::vector<uint8_t> build_image_chain(const ImagesConfig& config);
// The fixed pseudo-random payload of an ECC1 record (matrix words, or 5-byte table entries).
std::vector<uint8_t> ecc1_payload(const Ecc1RecordConfig& record);

// What the microcode port holds.
struct MicrocodeState {
    bool running = false;   // a record of container 0 runs
    bool bad_image = false; // the last load matched none
    uint32_t type = 0, version = 0, build = 0;
    uint32_t loads = 0;
    uint32_t stray_words = 0;
};

class MicrocodePort {
  public:
    static bool claims(uint32_t csr) { return csr == 0x180 || csr == 0x184 || csr == 0x188; }
    void write(uint32_t csr, uint32_t value, const CardMemory& memory);
    void reset() { state_.running = false; state_.bad_image = false; }
    const MicrocodeState& state() const { return state_; }

  private:
    bool loading_ = false;
    std::vector<std::vector<uint32_t>> received_;
    MicrocodeState state_;
};

// The ECC engine's load streams and whether each matched container 1.
struct EccLoadCheck {
    bool table_ok = false;
    bool matrix_ok = false;
    bool values_ok = false;
    size_t table_words = 0, matrix_words = 0, value_words = 0;
};

class EccEngine {
  public:
    static bool claims(uint32_t csr) { return csr == 0x63A8 || csr == 0x42A4 || csr == 0x42A0 || csr == 0x42A8; }
    void write(uint32_t csr, uint32_t value);
    void reset();
    EccLoadCheck check(const CardMemory& memory) const;

  private:
    std::vector<uint32_t> table_;
    std::vector<std::pair<uint32_t, uint32_t>> matrix_;  // {register, value}: selects and words in order
    std::vector<uint32_t> values_;
};

}  // namespace sim::card
