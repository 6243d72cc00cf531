// The bank-port command language, run when a step 26 reaches a bank: the bank's port bytes read
// as little-endian words, each sequence a code, its arguments and (for the codes that answer)
// a terminator, 239 or 0xFFFFFFFF. Every terminated sequence answers one read-back payload.
//
//   code        args  ends  payload                       effect
//   0, 1, 2, 23  1     -                                  recorded
//   3            1     -                                  the bank's configuration word
//   4            2     yes   none                         feature (address, value) of each lane of the mask
//   8            4     -                                  recorded
//   9            1     yes   32 words: group g, byte i = byte g of lane i's feature
//   10           1     yes   none                         the port word := value
//   11           0     yes   1 word: the port word
//   17           3     -                                  recorded (part features)
//   18, 19       2     -                                  recorded
//   21           0     yes   16 words: the parameter page
//   25           1     yes   none                         recorded
//   26           0     yes   8 words: 30 identification bytes, 2 zeros
//   29           2     yes   ceil(lanes / 4) words       vendor register (register, target) of
//                                                         each lane of the mask (0 for other lanes,
//                                                         or before code 30 selected the target)
//   30           1     yes   none                         selects the target's vendor registers
//   31, 32       4     yes   none                         vendor register (register, value, third,
//                                                         target) := value (31: its low byte)
//
// An unknown code, a sequence cut short or a port whose byte count is not a multiple of 4 is
// the protocol fault `command_language`: the rest of the port is dropped, no read-back for it.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <vector>

namespace sim::card {

class CardState;

class DirectCommands {
  public:
    explicit DirectCommands(CardState& card) : card_(card) {}

    // The read-back payloads of the bank's sequences, in order.
    std::vector<std::vector<uint32_t>> run(unsigned bank, uint32_t lane_mask, const std::vector<uint8_t>& port);

    void power_on();

  private:
    uint32_t feature(unsigned bank, uint32_t lane, uint32_t address) const;

    CardState& card_;
    uint32_t port_word_ = 0;
    std::array<uint32_t, 8> bank_config_ = {};
    std::map<uint64_t, uint32_t> features_;  // by bank, lane and address
    uint8_t vendor(unsigned bank, uint32_t lane, uint32_t target, uint32_t reg) const;
    std::map<uint64_t, uint16_t> vendor_;     // written vendor registers, by bank, lane, target and register
    std::map<uint64_t, bool> vendor_selected_;  // by bank and target
};

}  // namespace sim::card
