// The card, as the machine and tests see it: a PCI function on the stand-in's bus whose BAR 0
// (64 KiB) the driver maps with MmMapIoSpace and reaches with READ_/WRITE_REGISTER_*, which DMAs
// through host addresses and signals one MSI-X message per completion ring. It runs on a thread
// of its own (the engine) and talks to the driver only through registers, DMA, completion words
// and MSI-X; it never runs driver code.
//
// How a test uses it:
//
//     sim::kernel::boot();                                   // a machine first
//     sim::card::CardConfig config = sim::card::CardConfig::small();
//     config.channel.strict = false;                         // any field can be changed
//     sim::card::Card card(config);                          // created and powered on
//     PDEVICE_OBJECT pdo = card.plug(0, 3, 0);               // on the bus, BAR 0 assigned
//     PHYSICAL_ADDRESS bar; bar.QuadPart = card.bar_address();
//     auto* regs = (volatile ULONG*)MmMapIoSpace(bar, sim::card::Card::bar_size, MmNonCached);
//     WRITE_REGISTER_ULONG(regs + 0x118 / 4, 8);             // ring the doorbell ...
//     IoConnectInterruptEx(...) with pdo                     // MSI-X messages reach an ISR
//     card.inject("read_uncorrectable", "eb=3 bank=1 lane=0");  // faults by name (fault_plan.h)
//     card.wait_idle();                                      // the engine has nothing left to do
//     card.protocol_faults(), card.counters(), card.peek(...)   // inspection
//     card.power_cut();                                      // or power_off(), then power_on()
//
// Registers and host memory are the interface: tests write ring entries into host memory they
// allocated (MmAllocateContiguousMemory), ring the doorbell, read completion words (with acquire
// loads: the card writes each word with a release store, a record before its first word) and
// take MSI-X messages through the stand-in's interrupt connection.
//
// In manual mode (config.channel.mode) there is no engine thread: nothing runs until the test
// calls run_until_idle(). It is for the model's own tests; a driver that waits for the card
// would wait forever.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/card/config.h"
#include "sim/card/inspect.h"
#include "sim/kernel/mmio_control.h"
#include "sim/kernel/pci_bus.h"

namespace sim::card {

class CardState;

class Card : public sim::kernel::pci_config_space, public sim::kernel::mmio_device {
  public:
    static constexpr uint32_t bar_size = 0x10000;

    // Powers the card on: opens or creates its media file and recovers it (section "power"
    // below), then answers the bus. Throws std::runtime_error when the media file holds another
    // geometry.
    explicit Card(const CardConfig& config = CardConfig::small());
    // Power goes as in a killed machine: the engine stops and nothing is flushed, so the next
    // card on the same media file recovers what the page buffers held.
    ~Card() override;
    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;

    // --- On the machine's bus ------------------------------------------------------------------
    // Plugs the function in at the location (the machine must be booted), gives BAR 0 a physical
    // address as firmware does and decodes it; returns the function's device object (NULL when
    // the location is taken). unplug() undoes it; the destructor unplugs a plugged card.
    PDEVICE_OBJECT plug(ULONG bus = 0, ULONG device = 0, ULONG function = 0);
    void unplug();
    PDEVICE_OBJECT device_object() const { return device_object_; }
    uint64_t bar_address();

    // --- The host's accesses ---------------------------------------------------------------------
    ULONG config_read(ULONG offset, ULONG size) override;
    void config_write(ULONG offset, ULONG size, ULONG value) override;
    // BAR 0, as the stand-in's register accessors reach it (32-bit registers at BAR offsets).
    // With the bus lost or no power: reads all ones, writes ignored. Offsets the channel does
    // not own go to the controller's registers when one is set (set_controller), else they read
    // back what was written.
    ULONG mmio_read32(ULONG offset) override;
    void mmio_write32(ULONG offset, ULONG value) override;


    // --- Power -----------------------------------------------------------------------------------
    // A clean removal of power after the driver stopped; the power-loss routine runs.
    void power_off();
    // Power lost at once: the power-loss routine (rows in page buffers programmed when the
    // power-cut flush is on), then the card is off the bus until power_on().
    void power_cut();
    void power_on();
    bool powered();
    // The card drops off the bus (or comes back): reads all ones, no DMA, no MSI-X.
    void set_bus_lost(bool lost);
    bool bus_lost();

    // --- Faults (names and parameters: fault_plan.h and the card's design) ----------------------
    // Faults that happen at once (event, parity, upset, dcm_unlock, power_cut now, ...) happen
    // in this call; the others wait for the operations they match.
    void inject(const std::string& name, const std::string& parameters = "");
    void clear(const std::string& name);
    void clear_all();
    // With `hold_doorbells`: lets `n` more doorbells be fetched.
    void release_doorbells(uint32_t n);
    // An event word from the controller side (environment, 94 | bits), masks applied.
    void post_event(uint32_t word);

    // --- The engine ------------------------------------------------------------------------------
    void pause();
    void resume();
    // Manual mode: runs the engine's work on the calling thread until nothing can be done now;
    // true when anything was done.
    bool run_until_idle();
    // Threaded mode: waits (real time, bounded) until the engine has nothing left to do and no
    // operation is in progress; false on time-out.
    bool wait_idle(unsigned real_milliseconds = 5000);

    // --- Inspection (copies taken under the card's mutex) ----------------------------------------
    CardCounters counters();
    std::vector<ProtocolFault> protocol_faults();
    std::vector<StrayDma> stray_dma();
    std::vector<TracedEntry> entry_trace();
    // Every word written to ring q, in order (the last 65536).
    std::vector<uint32_t> completion_log(unsigned ring);
    // A register as the host would read it, without the read's side effects on faults.
    uint32_t peek(uint32_t offset);
    bool msix_enabled();
    bool msix_function_masked();
    const CardConfig& config() const { return config_; }

  private:
    void engine_main();
    // After a host access: wake the engine and hand over the MSI-X messages presented meanwhile.
    void after_access(std::unique_lock<std::mutex>& lock, bool wake);
    void deliver_messages(std::unique_lock<std::mutex>& lock);
    bool answers() const;

    const CardConfig config_;
    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable idle_changed_;
    std::unique_ptr<CardState> state_;
    std::thread engine_;
    bool stopping_ = false;
    bool paused_ = false;
    bool idle_ = false;
    int64_t reads_until_lost_ = -1;
    PDEVICE_OBJECT device_object_ = nullptr;
    ULONG location_[3] = {};
    uint64_t bar_physical_ = 0;
};

}  // namespace sim::card
