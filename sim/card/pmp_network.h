// The management processors behind the byte channel: a tree of nodes (targets), each with an
// address, a kind, flags, units, microcode versions, sensors and a key/value store. The node at
// the other end of the host's link gives the host its address (its own extended by the host's
// port); every node answers the commands addressed to it.
//
// Default network (PmpConfig::healthy): adapter {1} (kind 2) with port 1 down to the controller
// {1, 1} (kind 0), whose port 2 is the host's link; the host becomes {1, 1, 2}. The adapter
// holds its MID at key 0 and is the power monitor, carries the indicators and takes endurance
// reports; the controller holds its MID at key 0 and unit 1's at key 1.
//
// Answers: from the node's address to the request's source, header bytes 1 and 2 exchanged,
// payload {command, 0x01, n, sequence, argument, n data bytes}, n at most the request's data
// length field and 64 (acknowledgements carry none). Commands: 0 address, 1 target record, 3
// ports, 7 key/value (query: up to 64 bytes at an offset, an absent key reads all 0xFF; write:
// pieces staged, committed by the piece with flags bit 1), 8 / 9 / 34 samples of sets B, A and
// the fans (5 bytes each: sensor number, u32 value), 10 indicator, 39 link statistics, 43
// endurance report (nodes with flag bit 19), 53 power sample (nodes with flag bit 14), 54 sensor
// descriptor (52 bytes), 57 command set; anything else is acknowledged. Class 1 is echoed.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "sim/card/fault_plan.h"
#include "sim/card/mid_writer.h"
#include "sim/card/pmp_codec.h"

namespace sim::card {

struct PmpSensor {
    std::string name;
    std::string units;
    uint16_t divisor = 1;
    bool excluded = false;
    uint32_t nominal = 0;  // 12000 marks the 12 V supply
    uint32_t value = 0;    // set A: tenths of a degree Celsius; set B: mV
};

// Target record flag bits.
constexpr uint32_t pmp_has_set_b = 1u << 0;
constexpr uint32_t pmp_has_set_a = 1u << 1;
constexpr uint32_t pmp_indicators = 1u << 13;
constexpr uint32_t pmp_power_monitor = 1u << 14;
constexpr uint32_t pmp_has_fans = 1u << 17;
constexpr uint32_t pmp_endurance = 1u << 19;
constexpr uint32_t pmp_pcie_serial = 1u << 21;

struct PmpNodeConfig {
    std::vector<uint8_t> address;
    uint8_t kind = 0;  // 0 controller, 1 fpga, 2 adapter, 3 torvo, 4 mezz
    uint8_t unit_count = 0;
    uint32_t flags = 0;
    uint8_t unit_mask = 0;     // bit i: unit i present (1..3)
    uint8_t present_mask = 0;  // NAND modules
    std::array<uint8_t, 4> app_version{};
    std::array<uint8_t, 4> boot_version{};
    std::vector<uint8_t> ports;  // downstream port bytes
    std::vector<PmpSensor> set_a;
    std::vector<PmpSensor> set_b;
    std::vector<uint32_t> fans;  // RPM
    uint32_t power_mw = 0;
    std::map<uint8_t, std::vector<uint8_t>> kv;  // key -> 1024-byte value

    // The 39-byte target record of command 1.
    std::vector<uint8_t> record() const;
};

struct PmpConfig {
    std::vector<PmpNodeConfig> nodes;
    std::vector<uint8_t> link_node = {1, 1};  // the node at the other end of the host's link
    uint8_t host_port = 2;
    uint32_t latency_us = 0;              // answers become visible this much later
    uint32_t silent_until_attention = 0;  // frames ignored until this many attention pulses

    // The healthy card's network and MIDs.
    static PmpConfig healthy(const MidIdentity& identity = {});
    PmpNodeConfig* node(const std::vector<uint8_t>& address);
};

struct PmpIndicator {
    uint8_t setting = 0;
    uint64_t time_us = 0;
    uint32_t writes = 0;
};

class PmpNetwork {
  public:
    explicit PmpNetwork(const PmpConfig& config) : config_(config) {}

    // The answers to one frame from the host (none when the frame has no node or the node says
    // nothing). `counters` are the PMP side's thirteen link counters, for command 39.
    std::vector<pmp::Frame> handle(const pmp::Frame& request, FaultPlan& faults, const uint32_t counters[13],
                                   uint64_t now_us);

    PmpConfig& config() { return config_; }
    // A node's key/value value as stored (empty when absent).
    std::vector<uint8_t> kv(const std::vector<uint8_t>& node, uint8_t key) const;
    // The last setting of indicators 1, 2 and 4 of a node.
    std::map<uint32_t, PmpIndicator> indicators(const std::vector<uint8_t>& node) const;
    // The endurance reports a node took, oldest first.
    std::vector<std::vector<uint8_t>> endurance_reports(const std::vector<uint8_t>& node) const;
    uint32_t no_route() const { return no_route_; }

  private:
    std::vector<uint8_t> command_data(PmpNodeConfig& node, const pmp::Frame& request, FaultPlan& faults,
                                      const uint32_t counters[13], uint64_t now_us);

    PmpConfig config_;
    std::map<std::pair<std::vector<uint8_t>, uint8_t>, std::vector<uint8_t>> staging_;
    std::map<std::vector<uint8_t>, std::map<uint32_t, PmpIndicator>> indicators_;
    std::map<std::vector<uint8_t>, std::vector<std::vector<uint8_t>>> endurance_;
    uint32_t no_route_ = 0;
};

}  // namespace sim::card
