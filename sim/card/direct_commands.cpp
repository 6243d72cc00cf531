#include "sim/card/direct_commands.h"

#include <cstring>

#include "sim/card/card_state.h"

namespace sim::card {
namespace {

struct code_spec {
    uint32_t code;
    unsigned args;
    bool answers;
};

constexpr code_spec specs[] = {
    {0, 1, false},  {1, 1, false},  {2, 1, false},  {3, 1, false},  {4, 2, true},   {8, 4, false},
    {9, 1, true},   {10, 1, true},  {11, 0, true},  {17, 3, false}, {18, 2, false}, {19, 2, false},
    {21, 0, true},  {23, 1, false}, {25, 1, true},  {26, 0, true},  {29, 2, true},  {30, 1, true},
    {31, 4, true},  {32, 4, true},
};

const code_spec* spec_of(uint32_t code) {
    for (const code_spec& s : specs) {
        if (s.code == code) {
            return &s;
        }
    }
    return nullptr;
}

uint64_t feature_key(unsigned bank, uint32_t lane, uint32_t address) {
    return (uint64_t)bank << 48 | (uint64_t)lane << 32 | address;
}

std::vector<uint32_t> words_of(const uint8_t* bytes, size_t n, size_t words) {
    std::vector<uint32_t> w(words, 0);
    std::memcpy(w.data(), bytes, std::min(n, words * 4));
    return w;
}

uint64_t vendor_key(unsigned bank, uint32_t lane, uint32_t target, uint32_t reg) {
    return (uint64_t)bank << 56 | (uint64_t)(lane & 0xFF) << 48 | (uint64_t)(target & 0xFF) << 40 | (reg & 0xFFFF);
}

}  // namespace

uint8_t DirectCommands::vendor(unsigned bank, uint32_t lane, uint32_t target, uint32_t reg) const {
    auto it = vendor_.find(vendor_key(bank, lane, target, reg));
    if (it != vendor_.end()) {
        return (uint8_t)it->second;
    }
    if ((card_.config.controller.vendor_uncalibrated_lanes >> lane & 1) != 0) {
        return 0;
    }
    switch (reg) {
        case 0x4B: return 0x20;
        case 0x4E: return 0x81;
        case 0x50: return 0x5B;
        case 0x51: return 0x6A;
        case 0x67: return 0x60;
        case 0xCB: return 0x87;
        default: return 0;
    }
}

uint32_t DirectCommands::feature(unsigned bank, uint32_t lane, uint32_t address) const {
    for (const Fault& f : card_.faults.find_all("feature_stuck", {.bank = bank})) {
        if (f.get("lane", lane) == lane) {
            return (uint32_t)f.get("value", 0xFF);
        }
    }
    auto it = features_.find(feature_key(bank, lane, address));
    return it == features_.end() ? 0 : it->second;
}

std::vector<std::vector<uint32_t>> DirectCommands::run(unsigned bank, uint32_t lane_mask,
                                                       const std::vector<uint8_t>& port) {
    std::vector<std::vector<uint32_t>> answers;
    if (port.size() % 4 != 0) {
        card_.protocol_fault("command_language", 0x8000 + 396, (uint32_t)port.size(),
                             "bank port bytes not a whole number of words");
    }
    std::vector<uint32_t> w(port.size() / 4);
    if (!w.empty()) {
        std::memcpy(w.data(), port.data(), w.size() * 4);
    }
    uint32_t lanes = card_.config.geometry.lanes;
    const ControllerIdentity& id = card_.config.controller;
    size_t i = 0;
    while (i < w.size()) {
        const code_spec* s = spec_of(w[i]);
        size_t needed = 1 + (s != nullptr ? s->args + (s->answers ? 1 : 0) : 0);
        if (s == nullptr || i + needed > w.size() ||
            (s->answers && w[i + needed - 1] != 239 && w[i + needed - 1] != 0xFFFFFFFF)) {
            card_.protocol_fault("command_language", 0x8000 + 396, w[i], "bank port: unknown code or broken sequence");
            break;
        }
        const uint32_t* arg = &w[i + 1];
        std::vector<uint32_t> payload;
        switch (s->code) {
            case 3: bank_config_[bank & 7] = arg[0]; break;
            case 4:
                for (uint32_t lane = 0; lane < lanes; lane++) {
                    if ((lane_mask >> lane & 1) != 0) {
                        features_[feature_key(bank, lane, arg[0])] = arg[1];
                    }
                }
                break;
            case 9:
                // Four groups of 32 bytes: byte i of group g is byte g of lane i's feature.
                payload.assign(32, 0);
                for (uint32_t g = 0; g < 4; g++) {
                    for (uint32_t lane = 0; lane < lanes && lane < 32; lane++) {
                        uint32_t byte = feature(bank, lane, arg[0]) >> (8 * g) & 0xFF;
                        payload[8 * g + lane / 4] |= byte << (8 * (lane % 4));
                    }
                }
                break;
            case 10: port_word_ = arg[0]; break;
            case 11: payload = {port_word_}; break;
            case 21: payload = words_of(id.nand_parameters.data(), id.nand_parameters.size(), 16); break;
            case 26: payload = words_of(id.nand_ident.data(), id.nand_ident.size(), 8); break;
            case 29:
                payload.assign((lanes + 3) / 4, 0);
                for (uint32_t lane = 0; lane < lanes && lane < 32; lane++) {
                    if ((lane_mask >> lane & 1) != 0 && vendor_selected_.count((uint64_t)bank << 32 | arg[1]) != 0) {
                        payload[lane / 4] |= (uint32_t)vendor(bank, lane, arg[1], arg[0]) << (8 * (lane % 4));
                    }
                }
                break;
            case 30: vendor_selected_[(uint64_t)bank << 32 | arg[0]] = true; break;
            case 31:
            case 32:
                for (uint32_t lane = 0; lane < lanes && lane < 32; lane++) {
                    if ((lane_mask >> lane & 1) != 0) {
                        vendor_[vendor_key(bank, lane, arg[3], arg[0])] =
                            (uint16_t)(s->code == 31 ? arg[1] & 0xFF : arg[1] & 0xFFFF);
                    }
                }
                break;
            default: break;
        }
        card_.inspector.counters.direct_sequences++;
        if (s->answers) {
            answers.push_back(std::move(payload));
        }
        i += needed;
    }
    return answers;
}

void DirectCommands::power_on() {
    port_word_ = 0;
    bank_config_ = {};
    features_.clear();
    vendor_selected_.clear();
}

}  // namespace sim::card
