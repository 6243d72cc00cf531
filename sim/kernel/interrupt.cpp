// Message-signalled interrupts: connections and the vector table. A message's service routine
// runs on its target processor's thread (processor_queue.h), before the DPCs it queues there.

#include "sim/kernel/interrupt.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

#include "sim/kernel/bugcheck.h"
#include "sim/kernel/control.h"
#include "sim/kernel/mmio_control.h"
#include "sim/kernel/irql.h"
#include "sim/kernel/machine_parts.h"
#include "sim/kernel/pci_bus.h"
#include "sim/kernel/processor_queue.h"
#include "sim/kernel/processors.h"
#include "sim/kernel/thread_state.h"

struct KINTERRUPT {
    ULONG message;
    ULONG vector;
    ULONG processor;
    KIRQL irql;
    KIRQL synchronize_irql;
    KSPIN_LOCK own_lock;
    PKSPIN_LOCK lock;
    PKMESSAGE_SERVICE_ROUTINE routine;
    PVOID context;
    sim::kernel::pending_interrupt pending;  // its place on its processor's queue
};

namespace sim::kernel {
namespace {

constexpr ULONG first_vector = 0x60;
constexpr UCHAR msix_capability_id = 0x11;

struct connection {
    PDEVICE_OBJECT physical_device_object;
    std::vector<KINTERRUPT*> interrupts;
    PIO_INTERRUPT_MESSAGE_INFO table;
};

// Lock order: table_mutex before a processor's queue.
std::mutex table_mutex;
std::map<ULONG, KINTERRUPT*> vectors;
std::vector<connection*> connections;
std::map<std::pair<PDEVICE_OBJECT, ULONG>, ULONG> targets;
ULONG next_vector = first_vector;
std::atomic<ULONG> strays{0};
std::atomic<ULONG> unclaimed{0};

// On the target processor's thread.
void service(void* context) {
    auto* interrupt = (KINTERRUPT*)context;
    thread_state& t = current_thread();
    t.irql = interrupt->synchronize_irql;
    KeAcquireSpinLockAtDpcLevel(interrupt->lock);
    BOOLEAN claimed = interrupt->routine(interrupt, interrupt->context, interrupt->message);
    if (t.irql != interrupt->synchronize_irql) {
        std::fprintf(stderr, "sim: interrupt service routine %p returned at IRQL %u\n", (void*)interrupt->routine,
                     t.irql);
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, (ULONG_PTR)interrupt->routine, t.irql, interrupt->synchronize_irql, 0);
    }
    KeReleaseSpinLockFromDpcLevel(interrupt->lock);
    if (!claimed) {
        unclaimed++;
    }
}

struct pci_location {
    ULONG bus, device, function;
    ULONG read(ULONG offset, ULONG size) const { return pci_config_read(bus, device, function, offset, size); }
    void write(ULONG offset, ULONG size, ULONG value) const {
        pci_config_write(bus, device, function, offset, size, value);
    }
};

// Offset of the function's MSI-X capability; 0 when it has none.
ULONG find_msix(const pci_location& f) {
    if ((f.read(0x06, 2) & 0x10) == 0) {
        return 0;
    }
    ULONG at = f.read(0x34, 1) & 0xFC;
    for (int hops = 0; at >= 0x40 && hops < 48; hops++) {
        if (f.read(at, 1) == msix_capability_id) {
            return at;
        }
        at = f.read(at + 1, 1) & 0xFC;
    }
    return 0;
}

// Physical address of the memory BAR `index`; 0 when it has none.
uint64_t bar_address(const pci_location& f, ULONG index) {
    ULONG low = f.read(0x10 + 4 * index, 4);
    if ((low & 1) != 0) {
        return 0;
    }
    uint64_t address = low & ~0xFu;
    if ((low >> 1 & 3) == 2 && index < 5) {
        address |= (uint64_t)f.read(0x14 + 4 * index, 4) << 32;
    }
    return address;
}

}  // namespace

void msi_deliver(uint64_t address, ULONG data) {
    std::lock_guard<std::mutex> g(table_mutex);
    auto it = vectors.find(data);
    if (it == vectors.end() || address != (msi_address_base | (uint64_t)it->second->processor << 12)) {
        strays++;
        return;
    }
    request_interrupt(&it->second->pending);
}

void msi_set_target(PDEVICE_OBJECT physical_device_object, ULONG message, ULONG processor) {
    std::lock_guard<std::mutex> g(table_mutex);
    targets[{physical_device_object, message}] = processor;
}

ULONG msi_stray_messages() {
    return strays;
}

ULONG msi_unclaimed_interrupts() {
    return unclaimed;
}

ULONG queued_interrupts() {
    return pending_interrupts();
}

namespace parts {
void reset_interrupts() {
    std::lock_guard<std::mutex> g(table_mutex);
    targets.clear();
    strays = 0;
    unclaimed = 0;
}
}  // namespace parts

}  // namespace sim::kernel

using namespace sim::kernel;

NTSTATUS IoConnectInterruptEx(PIO_CONNECT_INTERRUPT_PARAMETERS parameters) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, 0, KeGetCurrentIrql(), PASSIVE_LEVEL, 0);
    }
    if (parameters == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (parameters->Version != CONNECT_MESSAGE_BASED) {
        return parameters->Version == CONNECT_FULLY_SPECIFIED || parameters->Version == CONNECT_LINE_BASED
                   ? STATUS_NOT_SUPPORTED
                   : STATUS_INVALID_PARAMETER;
    }
    auto& m = parameters->MessageBased;
    pci_location f{};
    if (m.MessageServiceRoutine == nullptr || m.ConnectionContext.Generic == nullptr ||
        !pci_location_of(m.PhysicalDeviceObject, &f.bus, &f.device, &f.function)) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG cap = find_msix(f);
    if (cap == 0) {
        return STATUS_NOT_SUPPORTED;
    }
    ULONG control = f.read(cap + 2, 2);
    ULONG count = (control & 0x7FF) + 1;
    ULONG table_word = f.read(cap + 4, 4);
    uint64_t bar = bar_address(f, table_word & 7);
    if (bar == 0) {
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    uint64_t table_address = bar + (table_word & ~7u);

    auto* c = new connection{m.PhysicalDeviceObject, {}, nullptr};
    size_t bytes = sizeof(IO_INTERRUPT_MESSAGE_INFO) + (count - 1) * sizeof(IO_INTERRUPT_MESSAGE_INFO_ENTRY);
    c->table = (PIO_INTERRUPT_MESSAGE_INFO)std::calloc(1, bytes);
    c->table->UnifiedIrql = SIM_DEVICE_LEVEL;
    c->table->MessageCount = count;
    KIRQL synchronize = m.SynchronizeIrql > SIM_DEVICE_LEVEL ? m.SynchronizeIrql : (KIRQL)SIM_DEVICE_LEVEL;
    ULONG active = KeQueryActiveProcessorCountEx(ALL_PROCESSOR_GROUPS);
    {
        std::lock_guard<std::mutex> g(table_mutex);
        for (connection* other : connections) {
            if (other->physical_device_object == m.PhysicalDeviceObject) {
                std::free(c->table);
                delete c;
                return STATUS_INVALID_DEVICE_STATE;
            }
        }
        for (ULONG i = 0; i < count; i++) {
            auto* interrupt = new KINTERRUPT{};
            auto target = targets.find({m.PhysicalDeviceObject, i});
            interrupt->message = i;
            interrupt->vector = next_vector++;
            interrupt->processor = target != targets.end() ? target->second : i % active;
            interrupt->irql = SIM_DEVICE_LEVEL;
            interrupt->synchronize_irql = synchronize;
            interrupt->lock = m.SpinLock != nullptr ? m.SpinLock : &interrupt->own_lock;
            interrupt->routine = m.MessageServiceRoutine;
            interrupt->context = m.ServiceContext;
            interrupt->pending.service = service;
            interrupt->pending.context = interrupt;
            interrupt->pending.processor = interrupt->processor;
            c->interrupts.push_back(interrupt);
            vectors[interrupt->vector] = interrupt;

            IO_INTERRUPT_MESSAGE_INFO_ENTRY& e = c->table->MessageInfo[i];
            e.MessageAddress.QuadPart = (LONGLONG)(msi_address_base | (uint64_t)interrupt->processor << 12);
            e.TargetProcessorSet = (KAFFINITY)1 << (interrupt->processor % 64);
            e.InterruptObject = interrupt;
            e.MessageData = interrupt->vector;
            e.Vector = interrupt->vector;
            e.Irql = SIM_DEVICE_LEVEL;
            e.Mode = Latched;
            e.Polarity = InterruptRisingEdge;
        }
        connections.push_back(c);
    }
    // Program the table and enable the function's messages, as the bus driver does; without the
    // table lock, since a device may present messages that were pending as soon as they are
    // enabled.
    for (ULONG i = 0; i < count; i++) {
        const IO_INTERRUPT_MESSAGE_INFO_ENTRY& e = c->table->MessageInfo[i];
        uint64_t entry = table_address + 16ull * i;
        mmio_write_physical(entry + 0, (uint32_t)e.MessageAddress.QuadPart);
        mmio_write_physical(entry + 4, (uint32_t)((uint64_t)e.MessageAddress.QuadPart >> 32));
        mmio_write_physical(entry + 8, e.MessageData);
        mmio_write_physical(entry + 12, 0);
    }
    f.write(cap + 2, 2, (control | 0x8000) & ~0x4000u);
    *m.ConnectionContext.InterruptMessageTable = c->table;
    return STATUS_SUCCESS;
}

void IoDisconnectInterruptEx(PIO_DISCONNECT_INTERRUPT_PARAMETERS parameters) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, 0, KeGetCurrentIrql(), PASSIVE_LEVEL, 0);
    }
    connection* c = nullptr;
    {
        std::lock_guard<std::mutex> g(table_mutex);
        for (auto it = connections.begin(); it != connections.end(); ++it) {
            if ((*it)->table == parameters->ConnectionContext.InterruptMessageTable) {
                c = *it;
                connections.erase(it);
                break;
            }
        }
        if (c == nullptr) {
            KeBugCheckEx(SIM_ASSERTION_FAILURE, (ULONG_PTR)parameters->ConnectionContext.Generic, 0, 0, 0);
        }
        for (KINTERRUPT* interrupt : c->interrupts) {
            vectors.erase(interrupt->vector);
        }
    }
    // No new message reaches the connection now; take its waiting ones off the queues and let a
    // running one finish.
    for (KINTERRUPT* interrupt : c->interrupts) {
        withdraw_interrupt(&interrupt->pending);
    }
    for (KINTERRUPT* interrupt : c->interrupts) {
        delete interrupt;
    }
    std::free(c->table);
    delete c;
}

KIRQL KeAcquireInterruptSpinLock(PKINTERRUPT interrupt) {
    KIRQL old;
    KeRaiseIrql(interrupt->synchronize_irql, &old);
    KeAcquireSpinLockAtDpcLevel(interrupt->lock);
    return old;
}

void KeReleaseInterruptSpinLock(PKINTERRUPT interrupt, KIRQL old_irql) {
    KeReleaseSpinLockFromDpcLevel(interrupt->lock);
    KeLowerIrql(old_irql);
}

BOOLEAN KeSynchronizeExecution(PKINTERRUPT interrupt, PKSYNCHRONIZE_ROUTINE routine, PVOID context) {
    KIRQL old = KeAcquireInterruptSpinLock(interrupt);
    BOOLEAN result = routine(context);
    KeReleaseInterruptSpinLock(interrupt, old);
    return result;
}
