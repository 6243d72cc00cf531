// The card's faults, injected by name with a parameter text, as tests and the machine's
// configuration file give them:
//
//     "program_fail bank=1 lane=0 status=0xE1 times=2"
//     "event word=0x67 record=[1,2,3] ring=1"
//     "hold_doorbells n=0"
//
// Parameters are `key=value` (decimal or 0x hex numbers, a word, or a list `[a,b,...]` without
// spaces) and bare flags. `times=N` gives a fault N uses (default 1), `times=always` makes it
// permanent. The match keys eb, bank, row, plane and op select the operations a fault applies
// to; a key left out matches all. An unknown name or key is refused (std::invalid_argument).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sim::card {

struct Fault {
    std::string name;
    std::map<std::string, uint64_t> numbers;
    std::map<std::string, std::string> words;
    std::vector<uint32_t> list;  // the one list parameter a fault may carry
    std::set<std::string> flags;
    int64_t times = 1;           // uses left; -1 = always

    bool has(const std::string& key) const { return numbers.count(key) != 0; }
    uint64_t get(const std::string& key, uint64_t otherwise) const {
        auto it = numbers.find(key);
        return it == numbers.end() ? otherwise : it->second;
    }
    bool flag(const std::string& key) const { return flags.count(key) != 0; }
};

// Where a fault is being considered; -1 leaves a coordinate out.
struct FaultSite {
    int64_t eb = -1, bank = -1, row = -1, plane = -1, ring = -1;
    std::string op;
};

class FaultPlan {
  public:
    // Parses and checks a fault; throws std::invalid_argument.
    static Fault parse(const std::string& name, const std::string& parameters);

    void add(const Fault& fault) { faults_.push_back(fault); }
    void clear(const std::string& name);
    void clear_all() { faults_.clear(); }
    bool active(const std::string& name) const;
    // The first fault of `name` that matches `site`, one use taken from it (it goes when none
    // is left).
    std::optional<Fault> take(const std::string& name, const FaultSite& site = {});
    // The same without using it up.
    const Fault* find(const std::string& name, const FaultSite& site = {}) const;

  private:
    static bool matches(const Fault& fault, const FaultSite& site);
    std::vector<Fault> faults_;
};

}  // namespace sim::card
