// The card's facade: the engine thread, the host's accesses under the card's mutex, MSI-X
// messages handed to the interrupt controller with the mutex released, power and faults.

#include "sim/card/card.h"

#include <pthread.h>
#include <time.h>

#include <chrono>

#include "sim/card/card_state.h"
#include "sim/kernel/control.h"
#include "sim/kernel/interrupt.h"
#include "sim/kernel/thread_state.h"
#include "sim/kernel/timeline.h"

namespace sim::card {
namespace {

constexpr unsigned engine_budget = 256;  // entries replayed per hold of the mutex
constexpr ULONG control_word = 0x9000;
constexpr ULONG select_register = 0x90D8;

}  // namespace

Card::Card(const CardConfig& config) : config_(config), state_(std::make_unique<CardState>(config)) {
    state_->power_on();
    if (config_.channel.mode == EngineMode::threaded) {
        engine_ = std::thread([this] { engine_main(); });
    }
}

double Card::engine_cpu_seconds() {
    clockid_t clock;
    timespec ts;
    if (!engine_.joinable() || pthread_getcpuclockid(engine_.native_handle(), &clock) != 0 ||
        clock_gettime(clock, &ts) != 0) {
        return 0;
    }
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

Card::~Card() {
    {
        std::lock_guard<std::mutex> g(mutex_);
        stopping_ = true;
    }
    work_.notify_all();
    if (engine_.joinable()) {
        engine_.join();
    }
    unplug();
}

// ---------------------------------------------------------------------------------------------
// The machine's bus

PDEVICE_OBJECT Card::plug(ULONG bus, ULONG device, ULONG function) {
    PDEVICE_OBJECT pdo = sim::kernel::pci_plug(bus, device, function, this);
    if (pdo == nullptr) {
        return nullptr;
    }
    uint64_t physical = sim::kernel::mmio_allocate_range(bar_size);
    {
        std::lock_guard<std::mutex> g(mutex_);
        state_->pci.write(0x10, 4, (uint32_t)physical);
        state_->pci.write(0x14, 4, (uint32_t)(physical >> 32));
    }
    sim::kernel::mmio_attach(physical, bar_size, this);
    bar_physical_ = physical;
    device_object_ = pdo;
    location_[0] = bus;
    location_[1] = device;
    location_[2] = function;
    return pdo;
}

void Card::unplug() {
    if (device_object_ == nullptr) {
        return;
    }
    sim::kernel::mmio_detach(bar_physical_);
    // A machine booted since may have another function there.
    if (sim::kernel::pci_device_object(location_[0], location_[1], location_[2]) == device_object_) {
        sim::kernel::pci_unplug(location_[0], location_[1], location_[2]);
    }
    device_object_ = nullptr;
}

std::vector<uint32_t> Card::control_writes() {
    std::lock_guard<std::mutex> g(mutex_);
    return state_->control.control_writes();
}

std::vector<ControlRegisters::logged_write> Card::mode_writes() {
    std::lock_guard<std::mutex> g(mutex_);
    return state_->control.mode_writes();
}

uint64_t Card::bar_address() {
    std::lock_guard<std::mutex> g(mutex_);
    return state_->pci.bar_address();
}

// ---------------------------------------------------------------------------------------------
// Host accesses

sim::kernel::mmio_device* Card::controller_for(uint32_t offset) {
    std::lock_guard<std::mutex> g(mutex_);
    return offset < bar_size && !CardState::owns(offset) ? controller_ : nullptr;
}

bool Card::answers() const {
    return state_->powered && !state_->bus_lost;
}

void Card::deliver_messages(std::unique_lock<std::mutex>& lock) {
    if (!state_->for_controller.empty()) {
        std::vector<std::pair<uint32_t, uint32_t>> writes;
        writes.swap(state_->for_controller);
        if (sim::kernel::mmio_device* c = controller_) {
            lock.unlock();
            for (auto [offset, value] : writes) {
                c->mmio_write32(offset, value);
            }
            lock.lock();
        }
    }
    std::vector<MsixMessage> messages = state_->msix.take_messages();
    if (messages.empty()) {
        return;
    }
    lock.unlock();
    for (const MsixMessage& m : messages) {
        sim::kernel::msi_deliver(m.address, m.data);
    }
    lock.lock();
}

void Card::after_access(std::unique_lock<std::mutex>& lock, bool wake) {
    deliver_messages(lock);
    if (wake) {
        // Woken with the mutex still held, the engine would only go back to sleep on it.
        idle_ = false;
        lock.unlock();
        work_.notify_one();
    }
}

ULONG Card::config_read(ULONG offset, ULONG size) {
    std::lock_guard<std::mutex> g(mutex_);
    bool valid = (size == 1 || size == 2 || size == 4) && offset + size <= PciFunction::config_size;
    if (!answers() || !valid) {
        return size == 1 ? 0xFFu : size == 2 ? 0xFFFFu : 0xFFFFFFFFu;
    }
    return state_->pci.read(offset, size);
}

void Card::config_write(ULONG offset, ULONG size, ULONG value) {
    std::unique_lock<std::mutex> lock(mutex_);
    bool valid = (size == 1 || size == 2 || size == 4) && offset + size <= PciFunction::config_size;
    if (!answers() || !valid) {
        return;
    }
    state_->pci.write(offset, size, value);
    state_->msix.release_pending();  // the enable or the function mask may have changed
    after_access(lock, false);
}

void Card::set_controller(sim::kernel::mmio_device* controller) {
    std::lock_guard<std::mutex> g(mutex_);
    controller_ = controller;
}

ULONG Card::mmio_read32(ULONG offset) {
    if (sim::kernel::mmio_device* c = controller_for(offset)) {
        return c->mmio_read32(offset);
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (reads_until_lost_ == 0) {
        state_->bus_lost = true;
        reads_until_lost_ = -1;
    } else if (reads_until_lost_ > 0) {
        reads_until_lost_--;
    }
    if (!answers() || offset % 4 != 0 || offset >= bar_size) {
        return 0xFFFFFFFF;
    }
    uint32_t value = state_->read(offset);
    after_access(lock, false);
    return value;
}

void Card::mmio_write32(ULONG offset, ULONG value) {
    if (sim::kernel::mmio_device* c = controller_for(offset)) {
        c->mmio_write32(offset, value);
        return;
    }
    sim::kernel::mmio_device* observer = nullptr;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!answers() || offset % 4 != 0 || offset >= bar_size) {
            return;
        }
        state_->write(offset, value, Source::mmio);
        // The controller side sees the control word (its attention pulses) and the select register
        // (card-memory reads) too; the card answers their reads.
        if (offset == control_word || offset == select_register) {
            observer = controller_;
        }
        after_access(lock, true);
    }
    if (observer != nullptr) {
        observer->mmio_write32(offset, value);
    }
}

// ---------------------------------------------------------------------------------------------
// The engine

void Card::engine_main() {
    sim::kernel::start_stand_in_thread("card-engine");  // the host keeps its processor when it rings
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        bool progress = !paused_ && state_->step(engine_budget);
        deliver_messages(lock);
        if (progress) {
            continue;
        }
        // Nothing more can be done now. A timed operation in progress is waited for, unless the
        // machine clock is frozen: then only a test moving the clock ends it.
        std::optional<uint64_t> deadline = paused_ ? std::nullopt : state_->next_deadline();
        if (!deadline.has_value() || sim::kernel::clock_rate() <= 0) {
            idle_ = true;
            idle_changed_.notify_all();
        }
        if (!deadline.has_value()) {
            work_.wait(lock);
            continue;
        }
        // Sleep until machine time reaches the deadline, looking again now and then, since the
        // clock's rate may change meanwhile.
        auto until = sim::kernel::timeline::real_deadline(*deadline);
        auto soon = std::chrono::steady_clock::now() + std::chrono::milliseconds(1);
        work_.wait_until(lock, until < soon ? until : soon);
    }
}

bool Card::run_until_idle() {
    std::unique_lock<std::mutex> lock(mutex_);
    bool any = false;
    for (;;) {
        bool progress = !paused_ && state_->step(engine_budget);
        deliver_messages(lock);
        if (!progress) {
            return any;
        }
        any = true;
    }
}

bool Card::wait_idle(unsigned real_milliseconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (config_.channel.mode == EngineMode::manual) {
        return true;
    }
    // The engine looks at the card as it is now (the clock may have moved) before it says idle.
    idle_ = false;
    work_.notify_one();
    return idle_changed_.wait_for(lock, std::chrono::milliseconds(real_milliseconds), [this] { return idle_; });
}

void Card::pause() {
    std::lock_guard<std::mutex> g(mutex_);
    paused_ = true;
}

void Card::resume() {
    std::unique_lock<std::mutex> lock(mutex_);
    paused_ = false;
    after_access(lock, true);
}

// ---------------------------------------------------------------------------------------------
// Power

void Card::power_off() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (state_->powered) {
        state_->power_loss();
    }
}

void Card::power_cut() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (state_->powered) {
        state_->power_loss();
    }
}

void Card::power_on() {
    std::unique_lock<std::mutex> lock(mutex_);
    state_->power_on();
    reads_until_lost_ = -1;
    after_access(lock, true);
}

bool Card::powered() {
    std::lock_guard<std::mutex> g(mutex_);
    return state_->powered;
}

bool Card::bus_lost() {
    std::lock_guard<std::mutex> g(mutex_);
    return !answers();
}

void Card::set_bus_lost(bool lost) {
    std::unique_lock<std::mutex> lock(mutex_);
    state_->bus_lost = lost;
    after_access(lock, true);
}

// ---------------------------------------------------------------------------------------------
// Faults

void Card::inject(const std::string& name, const std::string& parameters) {
    Fault f = FaultPlan::parse(name, parameters);
    std::unique_lock<std::mutex> lock(mutex_);
    CardState& s = *state_;
    if (name == "event") {
        std::vector<uint32_t> record = f.list;
        if (f.flag("record") && !f.flag("no_terminator")) {
            record.push_back(f.flag("bad_terminator") ? 0x0BADC0DE : record_terminator);
        }
        s.events.post((uint32_t)f.get("word", 0), record, (unsigned)f.get("ring", 0));
    } else if (name == "bus_lost") {
        if (f.has("after_reads")) {
            reads_until_lost_ = (int64_t)f.get("after_reads", 0);
        } else {
            s.bus_lost = true;
        }
    } else if (name == "hold_doorbells") {
        s.ring.hold((uint32_t)f.get("n", 0));
    } else if (name == "incomplete_reset") {
        s.control.set_incomplete_reset();
    } else if (name == "power_cut") {
        const CardCounters& c = s.inspector.counters;
        if (f.has("after_entries")) {
            s.cut.entries = c.entries_replayed + f.get("after_entries", 0);
        } else if (f.has("after_packets")) {
            s.cut.packets = c.packets_programmed + f.get("after_packets", 0);
        } else if (f.has("after_programs")) {
            s.cut.programs = c.programs + f.get("after_programs", 0);
        } else if (s.powered) {
            s.power_loss();
        }
    } else if (name == "holdup") {
        s.holdup = f.flag("absent") ? Holdup::absent : f.flag("failed") ? Holdup::failed : Holdup::present;
        s.persist_flush_settings();
    } else if (name == "torn_program") {
        s.torn_program = f.flag("erased") ? TornOutcome::erased
                         : f.flag("complete") ? TornOutcome::complete
                                              : TornOutcome::torn;
    } else if (name == "dcm_unlock") {
        s.control.set_clock_unlocked();
        s.events.post(95);
    } else if (!post_named_event(f)) {
        s.faults.add(f);
    }
    after_access(lock, true);
}

bool Card::post_named_event(const Fault& f) {
    CardState& s = *state_;
    auto detail = (uint32_t)f.get("detail", 0);
    std::vector<uint32_t> record = f.list;
    if (f.name == "parity") {
        s.events.post((uint32_t)f.get("event", 92) | detail);
    } else if (f.name == "poison") {
        s.events.post(96);
    } else if (f.name == "bar_lost") {
        s.events.post(97);
    } else if (f.name == "upset") {
        const std::string kind = f.words.count("kind") != 0 ? f.words.at("kind") : "single";
        uint32_t word = kind == "page_parity" ? 99 | (detail & 0xFFF00)
                        : kind == "multi"     ? 100 | 1u << 10
                        : kind == "fatal"     ? 100 | 1u << 9
                        : kind == "event"     ? 100
                                              : 99 | 0x100000;
        s.events.post(word);
    } else if (f.name == "pcie_link") {
        s.events.post(103 | (detail != 0 ? detail : 1u << 8));
    } else if (f.name == "histogram") {
        record.resize(3, 0);
        record.push_back(record_terminator);
        s.events.post(238, record);
    } else if (f.name == "record102") {
        record.resize(31, 0);
        record.push_back(record_terminator);
        s.events.post(102, record);
    } else {
        return false;
    }
    return true;
}

void Card::clear(const std::string& name) {
    std::unique_lock<std::mutex> lock(mutex_);
    state_->faults.clear(name);
    if (name == "hold_doorbells") {
        state_->ring.unhold();
    }
    after_access(lock, true);
}

void Card::clear_all() {
    std::unique_lock<std::mutex> lock(mutex_);
    state_->faults.clear_all();
    state_->ring.unhold();
    reads_until_lost_ = -1;
    after_access(lock, true);
}

void Card::release_doorbells(uint32_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    state_->ring.release(n);
    after_access(lock, true);
}

void Card::post_event(uint32_t word) {
    std::unique_lock<std::mutex> lock(mutex_);
    state_->events.post(word);
    after_access(lock, true);
}

// ---------------------------------------------------------------------------------------------
// Inspection

CardCounters Card::counters() {
    std::lock_guard<std::mutex> g(mutex_);
    return state_->inspector.counters;
}

std::vector<ProtocolFault> Card::protocol_faults() {
    std::lock_guard<std::mutex> g(mutex_);
    return state_->inspector.protocol_faults;
}

std::vector<StrayDma> Card::stray_dma() {
    std::lock_guard<std::mutex> g(mutex_);
    return state_->inspector.stray_dma;
}

std::vector<TracedEntry> Card::entry_trace() {
    std::lock_guard<std::mutex> g(mutex_);
    return state_->inspector.entry_trace();
}

std::vector<uint32_t> Card::completion_log(unsigned ring) {
    std::lock_guard<std::mutex> g(mutex_);
    return state_->inspector.completion_log(ring);
}

uint32_t Card::peek(uint32_t offset) {
    std::lock_guard<std::mutex> g(mutex_);
    FaultPlan saved = state_->faults;
    uint32_t value = state_->read(offset & 0xFFFC);
    state_->faults = saved;
    return value;
}

ChannelState Card::channel_state() {
    std::lock_guard<std::mutex> g(mutex_);
    CardState& s = *state_;
    ChannelState c;
    c.port_a_source_bytes = s.port_a.unmatched_source_bytes();
    c.port_a_waiting_commands = s.port_a.waiting_sinks();
    c.unplaced_bytes = s.rows.pushed() - s.rows.placed();
    c.rows = s.rows.view().size();
    c.read_sequence_open = s.reads.is_open();
    return c;
}

std::vector<RowView> Card::rows() {
    std::lock_guard<std::mutex> g(mutex_);
    return state_->rows.view();
}

SegmentInfo Card::segment_state(uint32_t eb, uint32_t bank, uint32_t row) {
    std::lock_guard<std::mutex> g(mutex_);
    return state_->media->segment(state_->media->segment_id(eb, bank, row));
}

std::vector<uint8_t> Card::media_peek(uint32_t eb, uint32_t bank, uint32_t row, uint64_t offset, size_t length) {
    std::lock_guard<std::mutex> g(mutex_);
    std::vector<uint8_t> bytes(length);
    state_->media->read_segment(state_->media->segment_id(eb, bank, row), offset, bytes.data(), length);
    return bytes;
}

void Card::media_poke(uint32_t eb, uint32_t bank, uint32_t row, uint64_t offset, const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> g(mutex_);
    state_->media->poke(state_->media->segment_id(eb, bank, row), offset, bytes.data(), bytes.size());
}

void Card::poke_lane(uint32_t eb, uint32_t bank, uint32_t row, uint32_t lane, uint64_t offset,
                     const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> g(mutex_);
    state_->nand.poke_lane(state_->media->segment_id(eb, bank, row), lane, offset, bytes);
}

void Card::erase_all() {
    std::lock_guard<std::mutex> g(mutex_);
    state_->media->erase_all();
}

bool Card::msix_enabled() {
    std::lock_guard<std::mutex> g(mutex_);
    return state_->pci.msix_enabled();
}

bool Card::msix_function_masked() {
    std::lock_guard<std::mutex> g(mutex_);
    return state_->pci.msix_function_masked();
}

}  // namespace sim::card
