// CardConfig: one record for the whole card. Each component of the model takes its own part of
// it: the PCI function its identity and capability chains, the channel its rings and page
// buffers, the NAND array its geometry and timing, the media store its file. Defaults are a
// healthy card's; the presets give the three sizes the tests, the machine and the benchmarks
// use (CardConfig::small(), CardConfig{}, CardConfig::bench()), and any field can be changed
// after taking one.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim::card {

struct PciConfig {
    uint16_t vendor = 0x5EC7;
    uint16_t device = 0x0301;
    uint16_t subsys_vendor = 0x5EC7;
    uint16_t subsys_device = 0x0010;
    uint8_t revision = 0x01;
    uint32_t class_code = 0x018000;  // mass storage, other

    // Link capabilities and status.
    uint8_t link_speed = 2;  // 5 GT/s
    uint8_t link_width = 8;

    // Slot power limit. Without an implemented slot the figure is the captured value in the
    // device capabilities; with one it is also in the slot capabilities, and the PCI Express
    // capabilities register says the slot is implemented.
    uint32_t slot_power_mw = 25000;
    bool slot_implemented = false;

    // Aggregate counters of the vendor capability at 0x100.
    uint32_t aggregate0 = 0x00010000;
    uint32_t aggregate1 = 0x0E000000;

    // Variants of the capability chains.
    bool aer = true;             // false: the vendor capability is the last extended one
    bool cap_loop = false;       // the PCI Express capability points back to the first one
    bool pcie_cap = true;        // false: the standard list holds no PCI Express capability
    bool ext_cap_loop = false;   // the vendor capability points at itself

    // Error bits latched at power-on (they clear when written with ones).
    uint16_t device_status = 0;           // bits 0-3: correctable, non-fatal, fatal, unsupported
    uint32_t aer_uncorrectable_status = 0;  // e.g. bit 20, unsupported request
    uint32_t aer_correctable_status = 0;    // e.g. bit 13, advisory non-fatal
};

// How the NAND array is laid out, as the host addresses it.
struct NandGeometry {
    uint32_t banks = 4;                // 1..8
    uint32_t lanes = 8;                // per bank (the driver's pad count), 1..30
    uint32_t planes = 2;               // 1 or 2
    uint32_t eb_count = 64;            // erase blocks, 10..65535
    uint32_t rows = 512;               // pages per block of the NAND part
    uint32_t page_data = 16384;        // bytes per lane and page
    uint32_t page_spare = 1216;
    uint32_t page_bits = 9;            // row address: page in the low bits, block above
    uint32_t block_bits = 11;
    uint32_t first_block_offset = 0;
    uint32_t lun_boundary = 8;         // banks at or above it carry the LUN bit
    uint32_t lun_bit = 1u << 20;
    uint32_t column_unit = 8;          // bytes per unit of the budget, column and length words
    uint32_t randomizer_unit = 512;    // bytes per randomizer unit
    uint32_t plain_units = 10;

    // One bank's share of one page row: every lane and plane, data and spare.
    uint32_t segment_max() const { return planes * lanes * (page_data + page_spare); }
    uint64_t segments() const { return (uint64_t)eb_count * banks * rows; }
};

// NAND operation times in nanoseconds of machine time; 0 finishes an operation within the
// replay of the entry that starts it.
struct NandTiming {
    uint64_t read_ns = 0;
    uint64_t program_ns = 0;
    uint64_t erase_ns = 0;
    uint64_t direct_ns = 0;
};

enum class Holdup { present, absent, failed };
// What a program in progress becomes when power is lost without the power-cut flush.
enum class TornOutcome { torn, erased, complete };
enum class EngineMode { threaded, manual };

// One lane's page statistics: the two counts of a 0x30 record entry.
struct LaneStats {
    uint16_t first = 0;
    uint16_t second = 0;
};

// What the statistics hook is told about a read that asked for page statistics.
struct StatsQuery {
    uint32_t eb = 0, bank = 0, row = 0;
    uint32_t lane_mask = 0;
    uint32_t operation = 0;
    bool sample = false;
    std::vector<uint32_t> read_runs;
    uint32_t budget_a = 0, budget_b = 0;
    uint32_t erase_count = 0;
};
using StatsHook = std::function<std::vector<LaneStats>(const StatsQuery&)>;

struct ChannelConfig {
    uint32_t ring_count = 0;     // completion rings in the capability word (0 = 16)
    uint32_t page_buffers = 256;
    uint8_t fill_byte = 0xF7;    // port A kind-1 filler
    uint8_t pcut_byte = 0xF3;    // power-cut padding of a row
    Holdup holdup = Holdup::present;
    TornOutcome torn_program = TornOutcome::torn;
    bool randomizer_check = true;
    bool randomizer_garble = false;
    uint32_t sample_operation = 31;  // the page-read operation index of a sample read
    // The first protocol fault or stray DMA stops the engine, so that a test fails at the
    // faulty entry (the fault stays in the inspection lists).
    bool strict = false;
    EngineMode mode = EngineMode::threaded;
    StatsHook stats;  // empty: every lane {0, 0}
};

// Words the controller side reports; the channel reads the ones it needs.
struct ControllerIdentity {
    uint32_t controller_kind = 7;         // 0x9200 bits 0-6; 7 = several completion rings
    uint32_t firmware_version = 0x802405;  // 0x9208
    uint32_t build_word = 0x00001F40;     // 0x920C
    uint32_t nand_bus_status = 0x80010008;  // 0xA204; bit 31 = NAND clock locked
    uint32_t capability_bits = 0;         // 0x9238 but for the ring count (bits 8-11)
    std::array<uint8_t, 30> nand_ident{};   // identification bytes of code 26
    std::array<uint8_t, 64> nand_parameters{};  // parameter page of code 21
    // The dies' vendor registers at power-on: calibrated (0x36 = 0x00, 0x4B = 0x20, 0x4E = 0x81,
    // 0x50 = 0x5B, 0x51 = 0x6A, 0x67 = 0x60, 0xCB = 0x87), except the lanes of this mask, whose
    // registers are all 0.
    uint32_t vendor_uncalibrated_lanes = 0;
};

struct CardConfig {
    PciConfig pci;
    NandGeometry geometry;
    NandTiming timing;
    ChannelConfig channel;
    ControllerIdentity controller;
    // The media file; empty: a temporary file that goes with the card.
    std::string media_path;

    // 2 banks of 2 lanes on one plane, 16 erase blocks, 4 completion rings, 64 page buffers,
    // strict: the model's own tests.
    static CardConfig small();
    // 8 banks of 16 lanes on two planes, 256 erase blocks, 1024 page buffers, real NAND times.
    static CardConfig bench();
};

}  // namespace sim::card
