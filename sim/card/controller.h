// The card's register BAR as far as the controller's bring-up reads it: the CSR block at BAR
// 0x8000 with the identity, firmware and capability words, the register-access unlock
// handshake, the select/hardware-lock echo register, the firmware-type query and the control
// word (controller reset, minimal-mode notice). Every other BAR offset is plain storage for now
// (the DMA, ring and completion windows join with the data channel).
//
// Register accesses run synchronously on the caller's thread under the BAR's mutex; behaviour
// that takes time (the firmware-type answer) is computed from machine time at the next read.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "sim/card/card.h"
#include "sim/kernel/mmio_control.h"

namespace sim::card {

struct ControllerConfig {
    uint32_t kind = 7;                  // 0x1200 bits 0-6
    uint32_t fw_version = 0x802403;     // 0x1208: 8.9.3
    uint32_t build_word = 51234;        // 0x120C
    bool smp = true;                    // 0x1204 bit 28
    uint32_t total_pads = 30;           // 0x1204 bits 4-11
    bool eq_hw = true;                  // 0x1204 bit 21
    uint32_t level = 2;                 // 0x1204 bits 30-31
    uint32_t cq_count = 6;              // 0x1238 bits 8-11 (16 is written as 0)
    bool microcode_mode = true;         // 0x1238 bit 3
    bool sni = true;                    // 0x1238 bit 5
    bool seu_text = true;               // 0x1238 bit 19
    bool fw_unsupported = false;        // 0x1238 bit 18
    bool fallback_firmware = false;     // 0x10B0 answers 3
    bool fwtype_never = false;          // 0x10D0 bit 9 never set
    uint32_t fwtype_delay_us = 50;
    bool start_unlocked = false;
    uint32_t unlock_grant_after = 1;    // grant requests before 0x10F0 reads 1
    bool unlock_never = false;
    uint32_t lock_busy_reads = 0;       // 0x10D8 reads 0 this often after a lock request
    bool incomplete_reset = false;      // 0x2044 bit 0 at power-on
};

class ControllerBar : public sim::kernel::mmio_device {
  public:
    static constexpr uint32_t bar_size = 0x10000;
    static constexpr uint32_t csr_base = 0x8000;

    ControllerBar(Card& card, const ControllerConfig& config = {});

    uint32_t mmio_read32(uint32_t offset) override;
    void mmio_write32(uint32_t offset, uint32_t value) override;

    // Inspection: a register's value without side effects, and the CSR writes seen (offset in
    // the CSR block, value), oldest first.
    uint32_t peek(uint32_t csr_offset);
    void poke(uint32_t csr_offset, uint32_t value);
    struct write_record {
        uint32_t offset;
        uint32_t value;
    };
    std::vector<write_record> csr_writes(uint32_t csr_offset);
    uint32_t controller_resets();
    uint32_t writes_while_locked();
    bool unlocked();
    const ControllerConfig& config() const { return config_; }

  private:
    void power_on();
    void controller_reset();
    uint32_t csr_read(uint32_t offset);
    void csr_write(uint32_t offset, uint32_t value);

    Card& card_;
    const ControllerConfig config_;
    std::mutex mutex_;
    std::vector<uint32_t> regs_;  // the whole BAR, one word per 4 bytes
    std::vector<write_record> log_;
    bool unlocked_ = false;
    bool granted_ = false;
    uint32_t grant_requests_ = 0;
    uint32_t busy_reads_ = 0;
    uint64_t fwtype_written_at_ = 0;  // machine time in microseconds
    uint32_t resets_ = 0;
    uint32_t writes_while_locked_ = 0;
};

}  // namespace sim::card
