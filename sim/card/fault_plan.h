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
//
// Names (parameters):
//   events at once      event (word record=[..] ring no_terminator bad_terminator), parity (event
//                       detail), poison, bar_lost, upset (kind=single|page_parity|multi|fatal|event
//                       detail), pcie_link (detail), histogram (record), record102 (record),
//                       dcm_unlock
//   answers             record_truncate (kind wrong_word), readback (len tag payload=[..]),
//                       drop_marker (bank), drop_readback (bank), drop_interrupt (ring),
//                       delay_report (kind=flush|erase|dma|report index ms), swap_flush,
//                       intr_status (value), stray_dma_event (event), feature_stuck (bank
//                       lane value: the lane's features read `value` whatever was set)
//   lanes               program_fail (eb bank row plane lane status), erase_fail (eb bank plane
//                       lane status), pad_fatal (bank), lane_dead (bank lane),
//                       read_uncorrectable (eb bank row lane event), read_weak (eb bank row
//                       lane), magic_corrupt (eb bank row packet), decode_error (eb bank row),
//                       stats (first second), read_level_drift (eb bank level window bits
//                       lane: read_level.h)
//   transport           stop_answering, hold_doorbells (n; Card::release_doorbells),
//                       credit_unreadable, bus_lost (after_reads), hw_lock (never | busy=N),
//                       incomplete_reset, engine_stuck (engine bits)
//   power               power_cut (after_packets | after_programs | after_entries; none: now),
//                       holdup (present | absent | failed), torn_program (torn | erased | complete)
//
// The management processor's faults go to the controller side (ControllerBar::inject; node=[a,b]
// names a node by its address):
//   link                pmp_dead, pmp_silent_until_attention (n), pmp_tx_full, pmp_tx_stall,
//                       pmp_latency (us), pmp_babble (n | endless)
//   answers             pmp_refuse_address, pmp_ignore (command), pmp_node_silent (node),
//                       pmp_wrong_sequence, pmp_wrong_source, pmp_corrupt (kind=bad_magic |
//                       bad_version | bad_checksum | len_73 | len_0 | lone_43_21 | truncate),
//                       pmp_data_len_overflow, pmp_short_payload, pmp_address_len9
//   data                pmp_kv_absent (node key), pmp_mid_section (node key section: that
//                       section's check broken), pmp_samples_bytes (node set=a|b|fans bytes),
//                       pmp_sensor (node set index value: set at once), pmp_power (node mw)
#pragma once

#include <cstdint>
#include <functional>
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
    // The first fault of `name` that `wanted` accepts, one use taken from it.
    std::optional<Fault> take_if(const std::string& name, const std::function<bool(const Fault&)>& wanted);
    // Every fault of `name` that matches, one use taken from each.
    std::vector<Fault> take_all(const std::string& name, const FaultSite& site = {});
    // The same without using it up.
    const Fault* find(const std::string& name, const FaultSite& site = {}) const;
    std::vector<Fault> find_all(const std::string& name, const FaultSite& site = {}) const;

  private:
    static bool matches(const Fault& fault, const FaultSite& site);
    std::vector<Fault> faults_;
};

}  // namespace sim::card
