// The control side of the card's NAND dies and of its NAND clock, as the controller's bring-up
// reaches them through registers:
//
// - the clock manager (0x1004 control, 0x1008 status): 128 registers behind a dynamic
//   reconfiguration port (a rising enable bit 24 runs one read, or a write with bit 25, of the
//   register named in bits 16-22, and sets the ready bit 16 of 0x1008 with the value in its low
//   half), held by bit 23 and locked (0x1008 bit 17) a little after its release when the
//   divider of register 0x0A (high + low) is 2..126. Its period is that divider in nanoseconds.
// - the direct NAND bus (0x2280 enable, 0x2284 one cycle per write, 0x22A8-0x22C4 read data):
//   bits 28-31 chip c (target c - 1: bank = target mod banks, LUN = target / banks), bits 16-23
//   the byte, bit 5 CLE, bit 4 ALE, bit 0 WE, bit 1 RE. A rising WE latches a command, an
//   address or a data byte; a rising RE puts the next output byte of every pad of the chip into
//   the data registers (pad p in byte p mod 4 of register p / 4; 0 when it has none). Commands:
//   0xFF reset, 0x90 READ ID (address 0: the eight ID bytes; 0x20: "ONFI" and 0), 0xEE GET
//   FEATURES, 0xEF SET FEATURES (address, then four data bytes; feature 1 sets the timing mode),
//   0x70 READ STATUS (0xE0 ready, 0x60 write-protected, 0 no die).
//
// The dies answer with the ID bytes of the configured part (nand_part_id) unless a pad has its
// own; the driver's part table carries the same bytes.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace sim::card {

struct NandDiesConfig {
    std::string part = "NPT_ALDER";
    uint32_t banks = 8;  // banks present
    uint32_t pads = 30;  // pads of a bank
    uint32_t luns = 1;
    std::vector<std::pair<uint32_t, uint32_t>> absent;   // {bank, pad} without a die
    std::vector<std::pair<uint32_t, uint32_t>> write_protected;
    std::map<std::pair<uint32_t, uint32_t>, std::array<uint8_t, 8>> ids;  // a pad's own ID bytes
    // The clock manager.
    uint32_t lock_delay_us = 10;
    bool never_lock = false;
    bool drp_never_ready = false;
};

// The READ ID bytes of a part of the table; throws std::invalid_argument for another name.
std::array<uint8_t, 8> nand_part_id(const std::string& part);

class NandControl {
  public:
    explicit NandControl(const NandDiesConfig& config);

    static bool claims(uint32_t csr_offset);
    uint32_t read(uint32_t csr_offset, uint64_t now_us);
    void write(uint32_t csr_offset, uint32_t value, uint64_t now_us);
    // A controller reset: the direct bus goes off (dies and clock keep their state).
    void reset();

    // Inspection.
    struct Cycle {
        uint32_t chip;
        char kind;  // 'C' command, 'A' address, 'D' data
        uint8_t byte;
    };
    const std::vector<Cycle>& cycles() const { return cycles_; }
    uint16_t drp(uint32_t address) const { return drp_[address & 0x7F]; }
    uint32_t period_ps() const;
    bool locked(uint64_t now_us) const;
    uint8_t timing_mode(uint32_t bank, uint32_t pad, uint32_t lun = 0) const;
    std::array<uint8_t, 4> feature(uint32_t bank, uint32_t pad, uint8_t address, uint32_t lun = 0) const;
    uint32_t cycles_ignored() const { return cycles_ignored_; }

  private:
    struct Die {
        bool present = true;
        bool write_protected = false;
        std::array<uint8_t, 8> id{};
        std::map<uint8_t, std::array<uint8_t, 4>> features;
        uint8_t timing_mode = 0;
    };
    struct Chip {
        uint8_t command = 0;
        int address = -1;
        std::vector<uint8_t> data;
        std::array<std::deque<uint8_t>, 32> out;
    };

    Die* die(uint32_t bank, uint32_t pad, uint32_t lun);
    const Die* die(uint32_t bank, uint32_t pad, uint32_t lun) const;
    void cycle(uint32_t word);
    void command(uint32_t chip, uint8_t byte);
    void address(uint32_t chip, uint8_t byte);
    void data(uint32_t chip, uint8_t byte);
    void strobe(uint32_t chip);
    void clock_control(uint32_t value, uint64_t now_us);
    bool divider_valid() const;

    const NandDiesConfig config_;
    std::vector<Die> dies_;  // (bank x pads + pad) x luns + lun
    std::map<uint32_t, Chip> chips_;
    std::array<uint32_t, 8> data_regs_{};
    uint32_t enable_ = 0;
    uint32_t last_cycle_ = 0;
    uint32_t cycles_ignored_ = 0;
    std::vector<Cycle> cycles_;
    // Clock manager.
    std::array<uint16_t, 128> drp_{};
    uint32_t control_ = 0;
    bool ready_ = false;
    uint16_t out_ = 0;
    bool held_ = false;
    bool released_ = true;
    uint64_t released_at_ = 0;
};

}  // namespace sim::card
