// Internal to the card model: everything the card mutex guards, and how the parts reach each
// other. Card (card.h) holds one CardState and calls it with its mutex held; the parts call back
// into it for what another part owns (a register write, a report, a protocol fault).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/card/command_ring.h"
#include "sim/card/completion.h"
#include "sim/card/config.h"
#include "sim/card/control_registers.h"
#include "sim/card/direct_commands.h"
#include "sim/card/dma_engines.h"
#include "sim/card/events.h"
#include "sim/card/fault_plan.h"
#include "sim/card/host_memory.h"
#include "sim/card/inspect.h"
#include "sim/card/media_file.h"
#include "sim/card/msix.h"
#include "sim/card/nand_array.h"
#include "sim/card/nand_window.h"
#include "sim/card/pci_function.h"
#include "sim/card/port_a.h"
#include "sim/card/read_sequence.h"
#include "sim/card/rows.h"

namespace sim::card {

// Who writes a register: the host through its mapping, or the card replaying a ring entry.
enum class Source { mmio, ring };

class CardState {
  public:
    static constexpr uint32_t bar_size = 0x10000;

    explicit CardState(const CardConfig& config);

    const CardConfig config;
    PciFunction pci;
    Inspector inspector;
    FaultPlan faults;
    HostMemory host{*this};
    Msix msix{*this};
    CompletionUnit completions{*this};
    EventUnit events{*this};
    DmaEngines engines{*this};
    CommandRing ring{*this};
    ControlRegisters control{*this};
    std::unique_ptr<MediaStore> media;
    RowQueue rows{*this};
    PortA port_a{*this};
    ReadSequence reads{*this};
    NandArray nand{*this};
    NandWindow window{*this};
    DirectCommands direct{*this};

    bool powered = false;
    bool bus_lost = false;
    bool halted = false;  // strict mode stopped at a protocol fault or stray DMA
    Holdup holdup;
    TornOutcome torn_program;

    // A power cut planned by the `power_cut` fault: at these counts of replayed entries,
    // programmed packets or programs (absolute), or at once.
    struct CutPlan {
        std::optional<uint64_t> entries, packets, programs;
        bool pending = false;
    } cut;

    bool dma_allowed() const { return powered && !bus_lost; }
    uint64_t now() const;  // machine time, 100 ns units

    // The BAR offsets the data channel owns; the others are the controller side's.
    static bool owns(uint32_t offset);
    // A 32-bit register access at a BAR offset (a multiple of 4 below 0x10000). A write returns
    // false when the entry must wait (only ring entries to the NAND window ever do).
    uint32_t read(uint32_t offset);
    bool write(uint32_t offset, uint32_t value, Source source);

    void protocol_fault(const char* code, uint32_t reg, uint32_t value, const std::string& text);
    void stray_dma(uint64_t address, uint64_t length, bool to_host, const char* context);

    // The engine's work: reports whose delay ended, NAND operations that finished, then up to
    // `budget` ring entries. False when nothing could be done.
    bool step(unsigned budget);
    // The machine time of the next timed event (a NAND operation ending, a delayed report).
    std::optional<uint64_t> next_deadline() const;

    // Power comes: the media's journal is recovered (a kill left it as a power cut would),
    // every register takes its power-on value.
    void power_on();
    // Power goes: the power-loss routine (flush when 5000 bit 0 is set and the holdup present),
    // then the card is off the bus.
    void power_loss();
    bool flush_enabled() const;
    // The channel reset of register 4096 (0xFFFFFFFF).
    void channel_reset();
    // A program ended: the counts toward a planned cut.
    void note_program();

    // The NAND side: port A's source bytes from a control-window descriptor; whether a page
    // buffer holds data that was not programmed; the flush settings to the media header; the
    // simulated power cut of register 5020; the end of a replayed entry (power cut counts).
    void port_a_source(std::vector<uint8_t> bytes);
    bool page_buffers_hold_data() const;
    void persist_flush_settings();
    void flush_page_buffers();
    void entry_done();

  private:
  public:
    // Ring entries for the controller side's microcode port (BAR 0x8180-0x8188), in order; the
    // card hands them over outside its mutex.
    std::vector<std::pair<uint32_t, uint32_t>> for_controller;
    static bool for_controller_side(uint32_t offset) { return offset >= 0x8180 && offset <= 0x8188; }

  private:
    std::vector<uint32_t> plain_;  // registers nobody claims: they read back what was written
};

}  // namespace sim::card
