// The card, as the machine and tests see it: a PCI function on the stand-in's bus whose BAR 0
// (64 KiB) the driver maps with MmMapIoSpace and reaches with READ_/WRITE_REGISTER_*, which DMAs
// through host addresses and signals one MSI-X message per completion ring. It runs on a thread
// of its own (the engine) and talks to the driver only through registers, DMA, completion words
// and MSI-X; it never runs driver code.
//
// How a test uses it (tests/sim/card/card_host.h and nand_host.h do all of this):
//
//     sim::kernel::boot();                                    // a machine first
//     sim::card::CardConfig config = sim::card::CardConfig::small();  // or CardConfig{}, bench()
//     config.channel.strict = false;                          // any field can be changed
//     config.media_path = dir + "/card0.media";               // empty: a temporary file
//     sim::card::Card card(config);                           // created and powered on
//     PDEVICE_OBJECT pdo = card.plug(0, 3, 0);                // on the bus, BAR 0 assigned
//     PHYSICAL_ADDRESS bar; bar.QuadPart = card.bar_address();
//     auto* regs = (volatile ULONG*)MmMapIoSpace(bar, Card::bar_size, MmNonCached);
//     IoConnectInterruptEx(...pdo...);                        // MSI-X message q = ring q
//     ... entries in host memory, WRITE_REGISTER_ULONG(regs + 0x118 / 4, bytes) ...
//     card.wait_idle();                                       // the engine has nothing left
//     card.inject("read_uncorrectable", "eb=3 bank=1 lane=0"); // faults by name (fault_plan.h)
//     card.protocol_faults(), card.counters(), card.completion_log(q), card.entry_trace()
//     card.segment_state(eb, bank, row), card.media_peek(...), card.media_poke(...)
//     card.power_cut(); card.power_on();                      // or power_off(); or destroy the
//                                                             // card: a kill, recovered by the
//                                                             // next card on the same file
//
// Registers and host memory are the interface: tests write ring entries into host memory they
// allocated (MmAllocateContiguousMemory), ring the doorbell, read completion words (with acquire
// loads: the card writes each word with a release store, a record before its first word) and
// take MSI-X messages through the stand-in's interrupt connection. Tests of driver code assert
// that protocol_faults() and stray_dma() stay empty (or set config.channel.strict, which stops
// the engine at the first one).
//
// The card's answers to what its design leaves open (the driver follows them): the tag word
// ring << 24 | index << 2 | subtype names the ring that reports; register 0 carries a row's data
// bytes / column unit; a row programs when armed (13 or 55 -> 3340) and full; filler is 0xF7,
// the power-cut pad 0xF3; port B kind 3 skips; the read runs start at the read stream's first
// byte (the column of register 60, or 0); a page read whose operation is
// config.channel.sample_operation is a sample (no randomizer check).
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
#include "sim/card/control_registers.h"
#include "sim/card/inspect.h"
#include "sim/card/media_file.h"
#include "sim/card/rows.h"
#include "sim/kernel/mmio_control.h"
#include "sim/kernel/pci_bus.h"

namespace sim::card {

class CardState;
struct Fault;

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
    // The controller side's register block (bring-up's CSR registers), called without the card's
    // mutex. One owner per register: the card keeps what the data channel owns, the windows
    // below 0x8000 and the MSI-X table, the NAND window's data registers, the controller control
    // word (0x9000: the channel reset; its other bits are stored and logged), the core-clock
    // derating and upset acknowledge, the hardware lock (0x90D8, also the card-memory select),
    // the identity, version, build and capability words (from CardConfig::controller and the
    // ring count), the power-cut registers (0x9380, 0x9388, 0x939C), the interrupt masks and
    // status (0xA004, 0xA008, 0xA040), the reset status 0xA044 and the NAND bus status 0xA204.
    // Everything else of the BAR (the unlock handshake, the firmware-type query, the rest of the
    // CSR block) is the controller's. Writes of the control word and of the lock (the card-memory
    // select) are handed to the controller after the card's own handling, outside the card's
    // mutex.
    void set_controller(sim::kernel::mmio_device* controller);


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
    // Threaded mode: waits (real time, bounded) until the engine can do nothing more and no
    // timed operation is in progress (with the machine clock frozen, operations whose time has
    // not come are left in progress: advance the clock and wait again); false on time-out.
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
    // The values written to the controller control word (0x9000), oldest first (the last 64).
    std::vector<uint32_t> control_writes();
    // The writes of the rle mode register (0x93A0) and the interrupt mask (0xA004), oldest first
    // (the last 256), each with the programs the card had counted before it.
    std::vector<ControlRegisters::logged_write> mode_writes();
    bool msix_enabled();
    bool msix_function_masked();
    ChannelState channel_state();
    std::vector<RowView> rows();
    const CardConfig& config() const { return config_; }
    // Processor time the engine thread has used, in seconds (0 in manual mode): what a benchmark
    // takes from the process's time to count the host's share alone.
    double engine_cpu_seconds();
    // Whether the calling thread is the engine thread (async-signal-safe: a sampler asks it).
    bool on_engine_thread() const { return engine_.joinable() && std::this_thread::get_id() == engine_.get_id(); }

    // --- Media (by erase block, bank and row: one bank's share of one page row) -------------------
    SegmentInfo segment_state(uint32_t eb, uint32_t bank, uint32_t row);
    // Bytes of a segment as stored (0xFF where nothing was programmed).
    std::vector<uint8_t> media_peek(uint32_t eb, uint32_t bank, uint32_t row, uint64_t offset, size_t length);
    // Writes bytes into a segment (an erased one becomes programmed).
    void media_poke(uint32_t eb, uint32_t bank, uint32_t row, uint64_t offset, const std::vector<uint8_t>& bytes);
    // Bytes one lane presents instead of the segment's, to reads whose lane mask is that lane.
    void poke_lane(uint32_t eb, uint32_t bank, uint32_t row, uint32_t lane, uint64_t offset,
                   const std::vector<uint8_t>& bytes);
    void erase_all();

  private:
    bool post_named_event(const Fault& fault);
    void engine_main();
    // After a host access: hand over the MSI-X messages presented meanwhile; with `wake`, wake
    // the engine once the lock is released (it is left released).
    void after_access(std::unique_lock<std::mutex>& lock, bool wake);
    void deliver_messages(std::unique_lock<std::mutex>& lock);
    bool answers() const;
    sim::kernel::mmio_device* controller_for(uint32_t offset);

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
    sim::kernel::mmio_device* controller_ = nullptr;
};

}  // namespace sim::card
