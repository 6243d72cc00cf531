// The card's register BAR as far as the controller's bring-up reads it: the CSR block at BAR
// 0x8000 with the identity, firmware and capability words, the register-access unlock
// handshake, the select/hardware-lock echo register, the firmware-type query and the control
// word (controller reset, minimal-mode notice).
//
// Alone (the model's own tests) it answers the whole BAR. Plugged behind a Card
// (Card::set_controller, as the machine does) it sees only what the card does not own: the card
// answers the data channel's windows and the registers both sides name (control word, lock,
// identity words, power-cut registers, masks, statuses; see Card::set_controller), from the same
// configuration the machine gives both.
//
// It also holds the management processor behind the byte channel (pmp_channel.h, with its
// network of nodes, sensors and manufacturing data: pmp_network.h) and the card memory with its
// factory record (card_memory.h), and the system monitor (system_monitor.h) with its readings
// and alarms, whose environment events it hands to the card (Card::post_event), outside its
// mutex, so that the card's interrupt mask gates them. Writes of the control word and of the select register, which
// the card owns, reach it too (the card hands them over): an attention pulse on the control word
// goes to the management processor, and the card-memory window reads 0xFFFF while nothing is
// selected.
//
// Register accesses run synchronously on the caller's thread under the BAR's mutex; behaviour
// that takes time (the firmware-type answer, answers of the management processor) is computed
// from machine time at the next read.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "sim/card/card.h"
#include "sim/card/card_images.h"
#include "sim/card/card_memory.h"
#include "sim/card/diagnostics.h"
#include "sim/card/family_record.h"
#include "sim/card/fault_plan.h"
#include "sim/card/nand_control.h"
#include "sim/card/pmp_channel.h"
#include "sim/card/system_monitor.h"
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
    PmpConfig pmp = PmpConfig::healthy();  // the management processor's nodes (with smp)
    FactoryRecordConfig factory;        // the factory record in card memory
    NandDiesConfig nand;                // the NAND dies and the clock manager (nand_control.h)
    ImagesConfig images;                // the image containers in card memory (card_images.h)
    uint32_t ecc_caps = 0x00070089;     // 0x6384: largest codeword 4416, parity 256
    FamilyRecordConfig family;          // the firmware family record (0x1248 names its place)
    SystemMonitorConfig env;            // the system monitor's readings at power-on

    // Capability word B (0x1238) as these settings make it.
    uint32_t capability_b() const {
        return (microcode_mode ? 1u << 3 : 0) | (sni ? 1u << 5 : 0) | (cq_count & 0xF) << 8 |
               (fw_unsupported ? 1u << 18 : 0) | (seu_text ? 1u << 19 : 0);
    }
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

    // The management processor's faults by name (fault_plan.h, "pmp_..."); those that change a
    // value (pmp_sensor, pmp_power, pmp_babble, pmp_silent_until_attention) act at once.
    void inject(const std::string& name, const std::string& parameters = "");
    void clear(const std::string& name);
    // Its state: channel counters, a node's key/value value (empty when absent) and indicators,
    // the frames seen both ways.
    PmpChannel::Counters pmp_counters();
    std::vector<uint8_t> pmp_kv(const std::vector<uint8_t>& node, uint8_t key);
    // Replaces a node's key/value value (a MID written by tests); throws for an unknown node.
    void pmp_set_kv(const std::vector<uint8_t>& node, uint8_t key, const std::vector<uint8_t>& value);
    std::map<uint32_t, PmpIndicator> pmp_indicators(const std::vector<uint8_t>& node);
    std::vector<pmp::Frame> pmp_frames_in();
    std::vector<pmp::Frame> pmp_frames_out();
    // Card-memory words the host read.
    uint64_t memory_words_read();
    // The diagnostic registers (trace records, status FIFO entries and their faults), changed
    // under the BAR's mutex.
    template <typename F>
    void diagnostics(F change) {
        std::lock_guard<std::mutex> g(mutex_);
        change(diag_);
    }
    // The NAND dies and the clock manager: the direct-bus cycles decoded, a clock manager
    // register, the NAND clock period it gives, a die's timing mode and feature.
    std::vector<NandControl::Cycle> nand_cycles();
    uint16_t drp(uint32_t address);
    uint32_t nand_period_ps();
    bool nand_clock_locked();
    // The microcode port and the ECC engine's load check; the next `count` reads of the card-memory
    // word holding `address` come back with bit 0 flipped.
    MicrocodeState microcode();
    EccLoadCheck ecc_load_check();
    void memory_glitch(uint32_t address, uint32_t count);
    uint8_t die_timing_mode(uint32_t bank, uint32_t pad, uint32_t lun = 0);
    // The system monitor (system_monitor.h): a reading changes (a raw code) and raises what its
    // alarms say; the smallest and largest codes seen of a supply are preset; an environment event
    // is raised without any reading changing (a spurious one). Events go to the card (94 | bits)
    // through its interrupt mask.
    void env_set(Sensor sensor, uint16_t code);
    void env_set_minmax(Sensor sensor, uint16_t min, uint16_t max);
    void env_raise(uint32_t bits);
    uint16_t env_code(Sensor sensor);
    std::array<uint8_t, 4> die_feature(uint32_t bank, uint32_t pad, uint8_t address, uint32_t lun = 0);

  private:
    void power_on();
    void controller_reset();
    uint32_t csr_read(uint32_t offset);
    void csr_write(uint32_t offset, uint32_t value);
    void control_written(uint32_t value);
    // Posts the environment bits raised under the mutex; called after it is released.
    void post_environment(uint32_t bits);

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
    FaultPlan faults_;
    PmpChannel pmp_;
    CardMemory memory_;
    Diagnostics diag_;
    NandControl nand_;
    MicrocodePort microcode_;
    EccEngine ecc_;
    SystemMonitor monitor_;
    uint32_t env_raised_ = 0;  // raised under the mutex, posted after it
    bool attention_ = false;  // control word bit 27 set, its clearing awaited
};

}  // namespace sim::card
