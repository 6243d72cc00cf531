#include "tests/sim/card/card_host.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "sim/kernel/interlocked.h"
#include "sim/kernel/mmio.h"
#include "sim/kernel/irql.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/processors.h"

namespace card_test {
namespace {

void* contiguous(size_t bytes) {
    PHYSICAL_ADDRESS highest;
    highest.QuadPart = -1;
    return MmAllocateContiguousMemory(bytes, highest);
}

}  // namespace

CardHost::CardHost(const sim::card::CardConfig& config) : card(config) {
    card.plug(0, 4, 0);
    PHYSICAL_ADDRESS bar;
    bar.QuadPart = (LONGLONG)card.bar_address();
    regs_ = (volatile ULONG*)MmMapIoSpace(bar, sim::card::Card::bar_size, MmNonCached);
    ring_ = (uint32_t*)contiguous(8ull * ring_entries);
    std::memset(ring_, 0, 8ull * ring_entries);
}

CardHost::~CardHost() {
    disconnect_interrupts();
    card.pause();
    MmUnmapIoSpace((PVOID)regs_, sim::card::Card::bar_size);
    card.unplug();
    MmFreeContiguousMemory(ring_);
    for (uint32_t* q : cqs_) {
        if (q != nullptr) {
            MmFreeContiguousMemory(q);
        }
    }
}

uint32_t CardHost::read(uint32_t offset) {
    return READ_REGISTER_ULONG(regs_ + offset / 4);
}

void CardHost::write(uint32_t offset, uint32_t value) {
    WRITE_REGISTER_ULONG(regs_ + offset / 4, value);
}

void CardHost::append(uint32_t reg, uint32_t value) {
    ring_[2 * write_index] = value;
    ring_[2 * write_index + 1] = reg;
    write_index = (write_index + 1) % ring_entries;
}

void CardHost::doorbell() {
    if (posted > write_index) {
        write(0x118, (ring_entries - posted) * 8);
        posted = 0;
        doorbells_rung++;
    }
    if (write_index != posted) {
        write(0x118, (write_index - posted) * 8);
        posted = write_index;
        doorbells_rung++;
    }
}

void CardHost::start(unsigned rings, bool interrupt_mode) {
    rings_ = rings;
    write(0x120, (uint32_t)ring_address());
    write(0x124, (uint32_t)(ring_address() >> 32));
    write(0x128, 0x100000);
    for (unsigned q = 0; q < rings; q++) {
        if (cqs_[q] == nullptr) {
            cqs_[q] = (uint32_t*)contiguous(4ull * cq_words);
        }
        for (uint32_t i = 0; i < cq_words; i++) {
            cqs_[q][i] = empty_word;
        }
        head_[q] = 0;
        auto address = (uint64_t)(uintptr_t)cqs_[q];
        write(cq(q, 0x008), 0x80000000);
        write(cq(q, 0x008), 0);
        write(cq(q, 0x000), 2);
        write(cq(q, 0x018), (uint32_t)address);
        write(cq(q, 0x01C), (uint32_t)(address >> 32));
        write(cq(q, 0x020), 0x100000);
    }
    write(0x004, 0xF903);
    write(0x104, 0xF903);
    write(0x2004, 0xF903);
    for (unsigned q = 0; q < rings; q++) {
        write(cq(q, 0x010), 1);
        write(cq(q, 0x014), 1);
    }
    if (interrupt_mode) {
        for (unsigned q = 0; q < rings; q++) {
            write(cq(q, 0x000), 1);
            write(cq(q, 0x014), 0);
        }
    }
}

BOOLEAN CardHost::service(PKINTERRUPT, PVOID context, ULONG message) {
    auto* host = (CardHost*)context;
    host->processor_[message] = KeGetCurrentProcessorNumber();
    host->irql_[message] = KeGetCurrentIrql();
    host->serviced_[message]++;
    return TRUE;
}

void CardHost::connect_interrupts() {
    IO_CONNECT_INTERRUPT_PARAMETERS p{};
    p.Version = CONNECT_MESSAGE_BASED;
    p.MessageBased.PhysicalDeviceObject = card.device_object();
    p.MessageBased.ConnectionContext.InterruptMessageTable = &messages_;
    p.MessageBased.MessageServiceRoutine = service;
    p.MessageBased.ServiceContext = this;
    NTSTATUS status = IoConnectInterruptEx(&p);
    EXPECT_EQ(status, STATUS_SUCCESS);
}

void CardHost::disconnect_interrupts() {
    if (messages_ == nullptr) {
        return;
    }
    IO_DISCONNECT_INTERRUPT_PARAMETERS p{};
    p.Version = CONNECT_MESSAGE_BASED;
    p.ConnectionContext.InterruptMessageTable = messages_;
    IoDisconnectInterruptEx(&p);
    messages_ = nullptr;
}

bool CardHost::wait_interrupts(unsigned q, uint32_t n, unsigned real_milliseconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(real_milliseconds);
    // The count reached, and no message is left waiting for its routine.
    while (serviced_[q].load() < n || sim::kernel::queued_interrupts() != 0) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return true;
}

uint32_t CardHost::word(unsigned q, uint32_t index) const {
    return (uint32_t)ReadAcquire((LONG const volatile*)&cqs_[q][index % cq_words]);
}

std::vector<uint32_t> CardHost::drain(unsigned q, bool acknowledge, uint32_t ack_flags) {
    std::vector<uint32_t> words;
    for (;;) {
        uint32_t w = word(q, head_[q]);
        if (w == empty_word) {
            break;
        }
        words.push_back(w);
        cqs_[q][head_[q]] = empty_word;
        head_[q] = (head_[q] + 1) % cq_words;
    }
    if (acknowledge) {
        write(cq(q, 0x028), (uint32_t)words.size() | ack_flags);
    }
    return words;
}

void CardHost::settle() {
    if (card.config().channel.mode == sim::card::EngineMode::manual) {
        card.run_until_idle();
    } else {
        EXPECT_TRUE(card.wait_idle());
    }
}

}  // namespace card_test
