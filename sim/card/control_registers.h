// The controller registers the channel needs, in the NAND window: the channel reset (4096 =
// 0xFFFFFFFF), the hardware lock echo (4312, also the card-memory select), the identity words the
// driver reads before it sets up the channel, the power-cut controls (4992, 5000, 5020 and the
// reset status 0xA044), the interrupt masks and status, the NAND bus status.
//
// BAR offsets: 0x9000 control, 0x9014 core-clock derating, 0x9080 upset acknowledge, 0x90D8
// lock, 0x9200 / 0x9208 / 0x920C / 0x9238 identity, kind, version, build and capability words,
// 0x9380 brownout flush, 0x9388 power-cut flush, 0x939C simulated power cut, 0xA004 / 0xA008
// interrupt masks, 0xA040 interrupt status (read) and pad group count (write), 0xA044 reset
// status, 0xA204 NAND bus status, 0x93A0 the rle mode register.
//
// The rle mode register (0x93A0) only stores what is written and reads it back (all ones at
// power-on): the driver's rle pass at start writes 0 to it while it programs and all ones after.
// The model gives it no further behaviour. Its writes and those of the interrupt mask (0xA004)
// are logged with the number of programs the card had done at the time, so a test sees what the
// two registers held while the pass programmed.
#pragma once

#include <cstdint>
#include <vector>

namespace sim::card {

class CardState;

class ControlRegisters {
  public:
    explicit ControlRegisters(CardState& card) : card_(card) {}

    static bool claims(uint32_t offset);
    uint32_t read(uint32_t offset);
    void write(uint32_t offset, uint32_t value);

    uint32_t brownout_flush() const { return brownout_; }
    uint32_t powercut_flush() const { return powercut_; }
    // The next probe of 0xA044 reads bit 0 set until the simulated cut clears it.
    void set_incomplete_reset() { incomplete_reset_ = true; }
    void set_clock_unlocked() { clock_unlocked_ = true; }
    void power_on();
    // The values written to the controller control word (0x9000), oldest first (the last 64).
    const std::vector<uint32_t>& control_writes() const { return control_writes_; }
    // Writes of the rle mode register and the interrupt mask, oldest first (the last 256).
    struct logged_write {
        uint32_t offset;
        uint32_t value;
        uint64_t programs;  // the card's programs counted before this write
    };
    const std::vector<logged_write>& mode_writes() const { return mode_writes_; }

  private:
    void log_mode_write(uint32_t offset, uint32_t value);

    CardState& card_;
    uint32_t control_ = 0;
    std::vector<uint32_t> control_writes_;
    std::vector<logged_write> mode_writes_;
    uint32_t rle_mode_ = 0xFFFFFFFF;
    uint32_t derating_ = 0;
    uint32_t lock_ = 0;
    uint32_t lock_busy_reads_ = 0;
    uint32_t brownout_ = 0;
    uint32_t powercut_ = 0;
    uint32_t simulated_cut_ = 0;
    uint32_t pad_groups_ = 0;
    bool incomplete_reset_ = false;
    bool clock_unlocked_ = false;
};

}  // namespace sim::card
