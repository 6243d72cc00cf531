#include "sim/card/fault_plan.h"

#include <sstream>
#include <stdexcept>

namespace sim::card {
namespace {

struct fault_kind {
    const char* name;
    std::set<std::string> keys;  // besides `times`
};

// Every fault the card knows and the parameters it takes.
const fault_kind kinds[] = {
    {"event", {"word", "record", "ring", "no_terminator", "bad_terminator"}},
    {"record_truncate", {"kind", "wrong_word"}},
    {"readback", {"len", "tag", "payload"}},
    {"program_fail", {"eb", "bank", "row", "plane", "lane", "status"}},
    {"erase_fail", {"eb", "bank", "plane", "lane", "status"}},
    {"pad_fatal", {"bank"}},
    {"lane_dead", {"bank", "lane"}},
    {"read_uncorrectable", {"eb", "bank", "row", "lane", "event"}},
    {"read_weak", {"eb", "bank", "row", "lane"}},
    {"magic_corrupt", {"eb", "bank", "row", "packet"}},
    {"decode_error", {"eb", "bank", "row"}},
    {"read_level_drift", {"eb", "bank", "lane", "level", "window", "bits"}},
    {"stats", {"first", "second"}},
    {"stop_answering", {}},
    {"hold_doorbells", {"n"}},
    {"credit_unreadable", {}},
    {"bus_lost", {"after_reads"}},
    {"hw_lock", {"never", "busy"}},
    {"incomplete_reset", {}},
    {"engine_stuck", {"engine", "bits"}},
    {"drop_marker", {"bank"}},
    {"drop_readback", {"bank"}},
    {"feature_stuck", {"bank", "lane", "value"}},
    {"drop_interrupt", {"ring"}},
    {"delay_report", {"kind", "index", "ms"}},
    {"swap_flush", {}},
    {"dcm_unlock", {}},
    {"parity", {"event", "detail"}},
    {"poison", {}},
    {"bar_lost", {}},
    {"upset", {"kind", "detail"}},
    {"pcie_link", {"detail"}},
    {"histogram", {"record"}},
    {"record102", {"record"}},
    {"intr_status", {"value"}},
    {"power_cut", {"after_packets", "after_programs", "after_entries", "now"}},
    {"holdup", {"present", "absent", "failed"}},
    {"torn_program", {"torn", "erased", "complete"}},
    {"stray_dma_event", {"event"}},
    // The management processor's (ControllerBar::inject).
    {"pmp_dead", {}},
    {"pmp_silent_until_attention", {"n"}},
    {"pmp_refuse_address", {}},
    {"pmp_ignore", {"command"}},
    {"pmp_node_silent", {"node"}},
    {"pmp_wrong_sequence", {}},
    {"pmp_wrong_source", {}},
    {"pmp_corrupt", {"kind"}},
    {"pmp_data_len_overflow", {}},
    {"pmp_short_payload", {}},
    {"pmp_address_len9", {}},
    {"pmp_babble", {"n", "endless"}},
    {"pmp_tx_full", {}},
    {"pmp_tx_stall", {}},
    {"pmp_latency", {"us"}},
    {"pmp_kv_absent", {"node", "key"}},
    {"pmp_mid_section", {"node", "key", "section"}},
    {"pmp_samples_bytes", {"node", "set", "bytes"}},
    {"pmp_sensor", {"node", "set", "index", "value"}},
    {"pmp_power", {"node", "mw"}},
};

const fault_kind* kind_of(const std::string& name) {
    for (const fault_kind& k : kinds) {
        if (name == k.name) {
            return &k;
        }
    }
    return nullptr;
}

bool parse_number(const std::string& text, uint64_t* value) {
    if (text.empty()) {
        return false;
    }
    try {
        size_t used = 0;
        *value = std::stoull(text, &used, 0);
        return used == text.size();
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

Fault FaultPlan::parse(const std::string& name, const std::string& parameters) {
    const fault_kind* kind = kind_of(name);
    if (kind == nullptr) {
        throw std::invalid_argument("unknown card fault: " + name);
    }
    Fault f;
    f.name = name;
    std::istringstream in(parameters);
    std::string token;
    while (in >> token) {
        size_t eq = token.find('=');
        std::string key = token.substr(0, eq);
        if (key != "times" && key != "op" && kind->keys.count(key) == 0) {
            throw std::invalid_argument("card fault " + name + " takes no parameter " + key);
        }
        if (eq == std::string::npos) {
            f.flags.insert(key);
            continue;
        }
        std::string value = token.substr(eq + 1);
        uint64_t number = 0;
        if (key == "times") {
            if (value == "always") {
                f.times = -1;
            } else if (parse_number(value, &number) && number > 0) {
                f.times = (int64_t)number;
            } else {
                throw std::invalid_argument("card fault " + name + ": bad times=" + value);
            }
        } else if (value.size() >= 2 && value.front() == '[' && value.back() == ']') {
            std::istringstream items(value.substr(1, value.size() - 2));
            std::string item;
            while (std::getline(items, item, ',')) {
                if (!parse_number(item, &number)) {
                    throw std::invalid_argument("card fault " + name + ": bad list item " + item);
                }
                f.list.push_back((uint32_t)number);
            }
            f.flags.insert(key);
        } else if (parse_number(value, &number)) {
            f.numbers[key] = number;
        } else {
            f.words[key] = value;
        }
    }
    return f;
}

void FaultPlan::clear(const std::string& name) {
    for (auto it = faults_.begin(); it != faults_.end();) {
        it = it->name == name ? faults_.erase(it) : std::next(it);
    }
}

bool FaultPlan::active(const std::string& name) const {
    for (const Fault& f : faults_) {
        if (f.name == name) {
            return true;
        }
    }
    return false;
}

bool FaultPlan::matches(const Fault& f, const FaultSite& site) {
    auto agrees = [&f](const char* key, int64_t value) {
        return !f.has(key) || value < 0 || (int64_t)f.get(key, 0) == value;
    };
    if (!agrees("eb", site.eb) || !agrees("bank", site.bank) || !agrees("row", site.row) ||
        !agrees("plane", site.plane) || !agrees("ring", site.ring)) {
        return false;
    }
    auto op = f.words.find("op");
    return op == f.words.end() || site.op.empty() || op->second == site.op;
}

const Fault* FaultPlan::find(const std::string& name, const FaultSite& site) const {
    for (const Fault& f : faults_) {
        if (f.name == name && matches(f, site)) {
            return &f;
        }
    }
    return nullptr;
}

std::vector<Fault> FaultPlan::find_all(const std::string& name, const FaultSite& site) const {
    std::vector<Fault> found;
    for (const Fault& f : faults_) {
        if (f.name == name && matches(f, site)) {
            found.push_back(f);
        }
    }
    return found;
}

std::vector<Fault> FaultPlan::take_all(const std::string& name, const FaultSite& site) {
    std::vector<Fault> taken;
    for (auto it = faults_.begin(); it != faults_.end();) {
        if (it->name == name && matches(*it, site)) {
            taken.push_back(*it);
            if (it->times > 0 && --it->times == 0) {
                it = faults_.erase(it);
                continue;
            }
        }
        ++it;
    }
    return taken;
}

std::optional<Fault> FaultPlan::take_if(const std::string& name, const std::function<bool(const Fault&)>& wanted) {
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->name == name && wanted(*it)) {
            Fault f = *it;
            if (it->times > 0 && --it->times == 0) {
                faults_.erase(it);
            }
            return f;
        }
    }
    return std::nullopt;
}

std::optional<Fault> FaultPlan::take(const std::string& name, const FaultSite& site) {
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->name == name && matches(*it, site)) {
            Fault f = *it;
            if (it->times > 0 && --it->times == 0) {
                faults_.erase(it);
            }
            return f;
        }
    }
    return std::nullopt;
}

}  // namespace sim::card
