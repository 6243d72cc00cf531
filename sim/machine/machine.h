// A whole simulated Windows host: it boots the kernel stand-in, loads orrimand and strovane,
// plugs in cards (each a PCI function with its register BAR and its device stack: orrimand's
// filter below strovane's function device) and runs PnP; it opens control devices by name and
// sends them device-control requests; stopping it powers the cards down and unloads the drivers.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/card/card.h"
#include "sim/card/controller.h"
#include "sim/kernel/control.h"
#include "sim/kmdf/control.h"

namespace sim::machine {

struct card_options {
    ULONG bus = 3;
    ULONG device = 0;
    ULONG function = 0;
    ULONG slot = 0;                    // the UI number
    std::optional<USHORT> numa_node;   // what the system reports for the card; none: unknown
    ULONG messages = 16;               // MSI-X messages granted
    bool hardware_id_without_subsys = false;
    sim::card::CardConfig card;
    sim::card::ControllerConfig controller;
};

struct machine_options {
    sim::kernel::machine_config kernel;
    std::string state_directory;  // its registry.txt is loaded at boot and saved at stop; empty: nothing is kept
};

class Machine {
  public:
    // Boots. A registry.txt in the state directory that cannot be read whole throws
    // std::runtime_error naming the file and line (nothing is saved over it then); a missing one
    // boots with an empty registry.
    explicit Machine(const machine_options& options = {});
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Loads orrimand, then strovane (their service keys exist in the registry). The status of
    // the first entry that fails.
    NTSTATUS load_drivers();
    // Plugs a card in and starts it through PnP; returns its index (also when its start failed:
    // see started()).
    size_t plug(const card_options& options);
    bool started(size_t card) const;
    NTSTATUS start_status(size_t card) const;
    // Removes the card as PnP does (power down to D3-final, release, delete its devices).
    void unplug(size_t card);
    // Powers every card down, removes them, unloads the drivers (in reverse load order) and
    // saves the registry. false when the save failed (`error` says why); later calls repeat the
    // first one's result.
    bool stop(std::string* error = nullptr);

    size_t cards() const { return cards_.size(); }
    sim::card::Card& card(size_t index) { return *cards_[index]->card; }
    sim::card::ControllerBar& bar(size_t index) { return *cards_[index]->bar; }
    sim::kmdf::device_stack* stack(size_t index) { return cards_[index]->stack; }
    WDFDEVICE function_device(size_t index);
    PDRIVER_OBJECT strovane() const { return strovane_; }
    PDRIVER_OBJECT orrimand() const { return orrimand_; }

    // The I/O manager: "\\.\dovN" (or any "\DosDevices\" link) to an open handle.
    NTSTATUS open(const std::string& name, WDFFILEOBJECT* file);
    NTSTATUS device_control(WDFFILEOBJECT file, ULONG code, void* buffer, ULONG input_length, ULONG output_length,
                            ULONG_PTR* information);
    void close(WDFFILEOBJECT file);

    static const char* service_key(const char* driver);

  private:
    struct plugged {
        card_options options;
        std::unique_ptr<sim::card::Card> card;
        std::unique_ptr<sim::card::ControllerBar> bar;
        ULONG64 bar_physical = 0;
        sim::kmdf::device_stack* stack = nullptr;
        NTSTATUS status = STATUS_SUCCESS;
        bool removed = false;
    };
    machine_options options_;
    std::vector<std::unique_ptr<plugged>> cards_;
    PDRIVER_OBJECT orrimand_ = nullptr;
    PDRIVER_OBJECT strovane_ = nullptr;
    std::mutex mutex_;
    bool stopped_ = false;
    std::string stop_error_;
};

}  // namespace sim::machine
