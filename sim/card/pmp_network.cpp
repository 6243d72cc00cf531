#include "sim/card/pmp_network.h"

#include <algorithm>

namespace sim::card {
namespace {

constexpr size_t value_size = 1024;
constexpr size_t data_max = 64;
constexpr size_t descriptor_size = 52;
constexpr size_t record_size = 39;
constexpr uint8_t served[] = {0, 1, 3, 7, 8, 9, 10, 34, 39, 43, 53, 54, 57};

void put_u32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; i++) {
        out.push_back((uint8_t)(v >> (8 * i)));
    }
}

void put_u64(std::vector<uint8_t>& out, uint64_t v) {
    put_u32(out, (uint32_t)v);
    put_u32(out, (uint32_t)(v >> 32));
}

uint32_t argument_of(const pmp::Frame& f) {
    return (uint32_t)f.payload[4] | (uint32_t)f.payload[5] << 8 | (uint32_t)f.payload[6] << 16 |
           (uint32_t)f.payload[7] << 24;
}

bool names_node(const Fault& f, const std::vector<uint8_t>& address) {
    return !f.flag("node") || std::vector<uint8_t>(f.list.begin(), f.list.end()) == address;
}

// Whether a fault of `name` for this node (and key, when given) is active.
bool applies(const FaultPlan& faults, const char* name, const std::vector<uint8_t>& node, int key = -1) {
    for (const Fault& f : faults.find_all(name)) {
        if (names_node(f, node) && (key < 0 || f.get("key", (uint64_t)key) == (uint64_t)key)) {
            return true;
        }
    }
    return false;
}

// Set "a", "b" or "fans" of a fault, as the command that reads it.
uint8_t set_command(const Fault& f) {
    auto it = f.words.find("set");
    std::string set = it != f.words.end() ? it->second : "a";
    return set == "b" ? 8 : set == "fans" ? 34 : 9;
}

std::vector<uint8_t> samples(const PmpNodeConfig& node, uint8_t command) {
    std::vector<uint8_t> out;
    auto add = [&out](size_t index, uint32_t value) {
        out.push_back((uint8_t)index);
        put_u32(out, value);
    };
    if (command == 34) {
        for (size_t i = 0; i < node.fans.size(); i++) {
            add(i, node.fans[i]);
        }
    } else {
        const std::vector<PmpSensor>& set = command == 9 ? node.set_a : node.set_b;
        for (size_t i = 0; i < set.size(); i++) {
            add(i, set[i].value);
        }
    }
    return out;
}

std::vector<uint8_t> descriptor(const PmpSensor& s, size_t index) {
    std::vector<uint8_t> d(descriptor_size, 0);
    d[0] = (uint8_t)index;
    d[1] = (uint8_t)s.divisor;
    d[2] = (uint8_t)(s.divisor >> 8);
    std::copy_n(s.name.begin(), std::min<size_t>(s.name.size(), 31), d.begin() + 3);
    std::copy_n(s.units.begin(), std::min<size_t>(s.units.size(), 7), d.begin() + 35);
    d[43] = s.excluded ? 1 : 0;
    d[44] = (uint8_t)s.nominal;
    d[45] = (uint8_t)(s.nominal >> 8);
    d[46] = (uint8_t)(s.nominal >> 16);
    d[47] = (uint8_t)(s.nominal >> 24);
    return d;
}

// Breaks the check of section `index` of a MID value.
void break_section(std::vector<uint8_t>& value, uint64_t index) {
    size_t at = 0;
    for (uint64_t i = 0; at + 4 <= value.size(); i++) {
        size_t length = (size_t)(value[at + 2] | value[at + 3] << 8);
        if (value[at] != 2 || at + 4 + length > value.size() || length < 2) {
            return;
        }
        if (i == index) {
            value[at + 2 + length] ^= 0x5A;
            return;
        }
        at += 4 + length;
    }
}

pmp::Frame answer_to(const pmp::Frame& request, const std::vector<uint8_t>& from, std::vector<uint8_t> data,
                     uint8_t header_flags = 0) {
    pmp::Frame f;
    f.destination = request.source;
    f.source = from;
    f.header[0] = header_flags;
    f.header[1] = request.header[2];
    f.header[2] = request.header[1];
    f.payload = {request.payload[0], 0x01, (uint8_t)data.size(), request.payload[3]};
    f.payload.insert(f.payload.end(), request.payload.begin() + 4, request.payload.begin() + 8);
    f.payload.insert(f.payload.end(), data.begin(), data.end());
    return f;
}

}  // namespace

std::vector<uint8_t> PmpNodeConfig::record() const {
    std::vector<uint8_t> r(record_size, 0);
    r[0] = 1;
    r[1] = kind;
    r[2] = unit_count;
    r[3] = (uint8_t)flags;
    r[4] = (uint8_t)(flags >> 8);
    r[5] = (uint8_t)(flags >> 16);
    r[6] = (uint8_t)(flags >> 24);
    r[7] = unit_mask;
    r[8] = present_mask;
    std::copy(app_version.begin(), app_version.end(), r.begin() + 9);
    std::copy(boot_version.begin(), boot_version.end(), r.begin() + 13);
    return r;
}

PmpNodeConfig* PmpConfig::node(const std::vector<uint8_t>& address) {
    for (PmpNodeConfig& n : nodes) {
        if (n.address == address) {
            return &n;
        }
    }
    return nullptr;
}

PmpConfig PmpConfig::healthy(const MidIdentity& identity) {
    PmpConfig c;
    PmpNodeConfig adapter;
    adapter.address = {1};
    adapter.kind = 2;
    adapter.unit_count = 1;
    adapter.flags = 0x000A6003;
    adapter.app_version = {2, 3, 1, 17};
    adapter.boot_version = {1, 0, 4, 2};
    adapter.ports = {1};
    adapter.set_a = {{"inlet", "C", 10, false, 0, 300}, {"outlet", "C", 10, false, 0, 380}};
    adapter.set_b = {{"12V", "V", 1000, false, 12000, 12100}, {"3V3", "V", 1000, false, 3300, 3300}};
    adapter.fans = {6000};
    adapter.power_mw = 18000;
    adapter.kv[0] = default_adapter_mid(identity).bytes();

    PmpNodeConfig controller;
    controller.address = {1, 1};
    controller.kind = 0;
    controller.unit_count = 2;
    controller.flags = 0x00000003;
    controller.unit_mask = 0x02;
    controller.present_mask = 0x0F;
    controller.app_version = {2, 3, 1, 17};
    controller.boot_version = {1, 0, 4, 2};
    controller.ports = {2};
    for (int i = 0; i < 4; i++) {
        controller.set_a.push_back({"nand" + std::to_string(i), "C", 10, false, 0, 450});
    }
    controller.set_b = {{"vccint", "V", 1000, false, 0, 1000}, {"vccaux", "V", 1000, false, 0, 1800}};
    controller.kv[0] = default_controller_mid(identity).bytes();
    controller.kv[1] = default_unit_mid(identity).bytes();

    c.nodes = {adapter, controller};
    return c;
}

std::vector<uint8_t> PmpNetwork::command_data(PmpNodeConfig& node, const pmp::Frame& request, FaultPlan& faults,
                                              const uint32_t counters[13], uint64_t now_us) {
    const std::vector<uint8_t>& p = request.payload;
    uint8_t command = p[0];
    bool carries_data = (p[1] & 0x01) != 0;
    size_t asked = std::min<size_t>(carries_data ? 0 : p[2], data_max);
    uint32_t argument = argument_of(request);
    const uint8_t* data = p.data() + 8;
    size_t data_length = std::min<size_t>(p[2], p.size() - 8);
    auto window = [asked](const std::vector<uint8_t>& all, size_t offset) {
        if (offset >= all.size()) {
            return std::vector<uint8_t>{};
        }
        size_t n = std::min(asked, all.size() - offset);
        return std::vector<uint8_t>(all.begin() + (long)offset, all.begin() + (long)(offset + n));
    };
    switch (command) {
        case 1: return window(node.record(), 0);
        case 3: {
            std::vector<uint8_t> out;
            for (uint8_t port : node.ports) {
                out.push_back(port);
                out.push_back(0);
            }
            return window(out, 0);
        }
        case 7: {
            uint8_t key = (uint8_t)(argument >> 24);
            size_t offset = argument & 0xFFFFFF;
            if (carries_data) {
                auto slot = std::make_pair(node.address, key);
                auto staged = staging_.find(slot);
                if (staged == staging_.end()) {
                    auto stored = node.kv.find(key);
                    staged = staging_.emplace(slot, stored != node.kv.end() ? stored->second
                                                                             : std::vector<uint8_t>(value_size, 0xFF))
                                 .first;
                }
                for (size_t i = 0; i < data_length && offset + i < value_size; i++) {
                    staged->second[offset + i] = data[i];
                }
                if ((p[1] & 0x02) != 0) {
                    node.kv[key] = staged->second;
                    staging_.erase(staged);
                }
                return {};
            }
            auto stored = node.kv.find(key);
            bool absent = stored == node.kv.end() || applies(faults, "pmp_kv_absent", node.address, key);
            std::vector<uint8_t> value = absent ? std::vector<uint8_t>(value_size, 0xFF) : stored->second;
            for (const Fault& f : faults.find_all("pmp_mid_section")) {
                if (names_node(f, node.address) && f.get("key", key) == (uint64_t)key) {
                    break_section(value, f.get("section", 0));
                }
            }
            return window(value, offset);
        }
        case 8:
        case 9:
        case 34: {
            std::vector<uint8_t> all = samples(node, command);
            for (const Fault& f : faults.find_all("pmp_samples_bytes")) {
                if (names_node(f, node.address) && set_command(f) == command) {
                    all.resize(f.get("bytes", 0), 0);
                }
            }
            return window(all, argument);
        }
        case 10:
            if (carries_data && data_length >= 1) {
                PmpIndicator& i = indicators_[node.address][argument];
                i.setting = data[0];
                i.time_us = now_us;
                i.writes++;
            }
            return {};
        case 39: {
            std::vector<uint8_t> out;
            for (int i = 0; i < 13; i++) {
                put_u32(out, counters[i]);
            }
            return window(out, 0);
        }
        case 43:
            if ((node.flags & pmp_endurance) != 0 && carries_data) {
                endurance_[node.address].emplace_back(data, data + data_length);
            }
            return {};
        case 53: {
            if ((node.flags & pmp_power_monitor) == 0) {
                return {};
            }
            uint32_t supply = 12000;
            for (const PmpSensor& s : node.set_b) {
                if (s.nominal == 12000 && s.value != 0) {
                    supply = s.value;
                    break;
                }
            }
            uint32_t current = (uint32_t)((uint64_t)node.power_mw * 1000 / supply);
            std::vector<uint8_t> out;
            put_u64(out, 10);
            put_u64(out, 10ull * supply);
            put_u64(out, 10ull * current);
            put_u32(out, current);
            put_u32(out, current);
            return window(out, 0);
        }
        case 54: {
            size_t index = (argument >> 16) & 0xFF;
            const std::vector<PmpSensor>& set = (argument & 1u << 24) != 0 ? node.set_a : node.set_b;
            return index < set.size() ? window(descriptor(set[index], index), 0) : std::vector<uint8_t>{};
        }
        case 57: {
            std::vector<uint8_t> out(32, 0);
            for (uint8_t c : served) {
                out[c / 8] |= (uint8_t)(1 << (c % 8));
            }
            return window(out, 0);
        }
        default:
            return {};
    }
}

std::vector<pmp::Frame> PmpNetwork::handle(const pmp::Frame& request, FaultPlan& faults, const uint32_t counters[13],
                                           uint64_t now_us) {
    std::vector<uint8_t> to = request.destination;
    // {1, 0} (length 1, byte 0): the node at the other end of the host's link.
    bool to_link_node = to == std::vector<uint8_t>{0};
    if (to_link_node) {
        to = config_.link_node;
    }
    PmpNodeConfig* node = config_.node(to);
    if (node == nullptr) {
        no_route_++;
        return {};
    }
    if (applies(faults, "pmp_node_silent", node->address)) {
        return {};
    }
    if (request.header[2] == 1) {  // echo
        pmp::Frame echo = request;
        echo.destination = request.source;
        echo.source = node->address;
        echo.header[1] = request.header[2];
        echo.header[2] = request.header[1];
        return {echo};
    }
    if (request.header[2] != 3 || request.payload.size() < 8) {
        return {};
    }
    uint8_t command = request.payload[0];
    if (faults.take_if("pmp_ignore", [command](const Fault& f) { return f.get("command", command) == command; })) {
        return {};
    }
    std::vector<pmp::Frame> out;
    if (command == 0 && (request.payload[1] & 0x01) == 0) {
        if (!to_link_node && node->address != config_.link_node) {
            out.push_back(answer_to(request, node->address, {}));
        } else if (faults.take("pmp_refuse_address")) {
            out.push_back(answer_to(request, node->address, {}, 0x02));
        } else {
            std::vector<uint8_t> data{(uint8_t)(node->address.size() + 1)};
            data.insert(data.end(), node->address.begin(), node->address.end());
            data.push_back(config_.host_port);
            if (faults.take("pmp_address_len9")) {
                data = {9, 1, 1, 1, 1, 1, 1, 1, 1, 2};
            }
            out.push_back(answer_to(request, node->address, data));
        }
        return out;
    }
    pmp::Frame good = answer_to(request, node->address, command_data(*node, request, faults, counters, now_us));
    if (faults.take("pmp_wrong_sequence")) {
        pmp::Frame wrong = good;
        wrong.payload[3]++;
        out.push_back(wrong);
    }
    if (faults.take("pmp_wrong_source")) {
        pmp::Frame wrong = good;
        wrong.source.back() ^= 0x40;
        out.push_back(wrong);
    }
    if (faults.take("pmp_data_len_overflow")) {
        pmp::Frame bad = good;
        bad.payload[2] = 200;
        out.push_back(bad);
        return out;
    }
    if (faults.take("pmp_short_payload")) {
        pmp::Frame bad = good;
        bad.payload.resize(5);
        out.push_back(bad);
        return out;
    }
    out.push_back(good);
    return out;
}

std::vector<uint8_t> PmpNetwork::kv(const std::vector<uint8_t>& node, uint8_t key) const {
    for (const PmpNodeConfig& n : config_.nodes) {
        if (n.address == node) {
            auto it = n.kv.find(key);
            return it != n.kv.end() ? it->second : std::vector<uint8_t>{};
        }
    }
    return {};
}

std::map<uint32_t, PmpIndicator> PmpNetwork::indicators(const std::vector<uint8_t>& node) const {
    auto it = indicators_.find(node);
    return it != indicators_.end() ? it->second : std::map<uint32_t, PmpIndicator>{};
}

std::vector<std::vector<uint8_t>> PmpNetwork::endurance_reports(const std::vector<uint8_t>& node) const {
    auto it = endurance_.find(node);
    return it != endurance_.end() ? it->second : std::vector<std::vector<uint8_t>>{};
}

}  // namespace sim::card
