// Message-signalled interrupts. A driver connects a service routine to the MSI-X messages of its
// PCI function (IoConnectInterruptEx with CONNECT_MESSAGE_BASED). Connecting gives each message
// a vector and a target processor, programs the function's MSI-X table (through its BAR) with
// the message address and data, and enables MSI-X in its configuration space, as the bus driver
// and the interrupt controller do together. A device signals a message by presenting the
// address and data of its table entry (msi_deliver); the service routine then runs at the
// message's device IRQL (above DISPATCH_LEVEL) on the target processor, on that processor's
// thread, with the interrupt's spin lock held; the DPCs it queues for that processor run next on
// the same thread. A message signalled again while it is still waiting to be serviced is
// serviced once, as a pending interrupt is.
//
// Line-based and fully specified connections are not modelled: the card signals by message only.
#pragma once

#include "sim/kernel/io.h"
#include "sim/kernel/sync.h"
#include "sim/kernel/types.h"

struct KINTERRUPT;
using PKINTERRUPT = KINTERRUPT*;

using KSERVICE_ROUTINE = BOOLEAN(PKINTERRUPT interrupt, PVOID service_context);
using PKSERVICE_ROUTINE = KSERVICE_ROUTINE*;
using KMESSAGE_SERVICE_ROUTINE = BOOLEAN(PKINTERRUPT interrupt, PVOID service_context, ULONG message_id);
using PKMESSAGE_SERVICE_ROUTINE = KMESSAGE_SERVICE_ROUTINE*;
using KSYNCHRONIZE_ROUTINE = BOOLEAN(PVOID synchronize_context);
using PKSYNCHRONIZE_ROUTINE = KSYNCHRONIZE_ROUTINE*;

enum KINTERRUPT_MODE { LevelSensitive = 0, Latched = 1 };
enum KINTERRUPT_POLARITY {
    InterruptPolarityUnknown = 0,
    InterruptActiveHigh = 1,
    InterruptRisingEdge = 1,
    InterruptActiveLow = 2,
    InterruptFallingEdge = 2,
};

struct IO_INTERRUPT_MESSAGE_INFO_ENTRY {
    PHYSICAL_ADDRESS MessageAddress;
    KAFFINITY TargetProcessorSet;
    PKINTERRUPT InterruptObject;
    ULONG MessageData;
    ULONG Vector;
    KIRQL Irql;
    KINTERRUPT_MODE Mode;
    KINTERRUPT_POLARITY Polarity;
};
using PIO_INTERRUPT_MESSAGE_INFO_ENTRY = IO_INTERRUPT_MESSAGE_INFO_ENTRY*;

struct IO_INTERRUPT_MESSAGE_INFO {
    KIRQL UnifiedIrql;
    ULONG MessageCount;
    IO_INTERRUPT_MESSAGE_INFO_ENTRY MessageInfo[1];
};
using PIO_INTERRUPT_MESSAGE_INFO = IO_INTERRUPT_MESSAGE_INFO*;

#define CONNECT_FULLY_SPECIFIED 0x1
#define CONNECT_LINE_BASED 0x2
#define CONNECT_MESSAGE_BASED 0x3

struct IO_CONNECT_INTERRUPT_MESSAGE_BASED_PARAMETERS {
    PDEVICE_OBJECT PhysicalDeviceObject;
    union {
        PVOID* Generic;
        PIO_INTERRUPT_MESSAGE_INFO* InterruptMessageTable;
        PKINTERRUPT* InterruptObject;
    } ConnectionContext;
    PKMESSAGE_SERVICE_ROUTINE MessageServiceRoutine;
    PVOID ServiceContext;
    PKSPIN_LOCK SpinLock;          // NULL: each message has a lock of its own
    KIRQL SynchronizeIrql;         // 0: the messages' unified IRQL
    BOOLEAN FloatingSave;
    PKSERVICE_ROUTINE FallBackServiceRoutine;  // not used: there is no line-based fallback
};

struct IO_CONNECT_INTERRUPT_PARAMETERS {
    ULONG Version;  // CONNECT_MESSAGE_BASED
    union {
        IO_CONNECT_INTERRUPT_MESSAGE_BASED_PARAMETERS MessageBased;
    };
};
using PIO_CONNECT_INTERRUPT_PARAMETERS = IO_CONNECT_INTERRUPT_PARAMETERS*;

struct IO_DISCONNECT_INTERRUPT_PARAMETERS {
    ULONG Version;  // CONNECT_MESSAGE_BASED
    union {
        PVOID Generic;
        PKINTERRUPT InterruptObject;
        PIO_INTERRUPT_MESSAGE_INFO InterruptMessageTable;
    } ConnectionContext;
};
using PIO_DISCONNECT_INTERRUPT_PARAMETERS = IO_DISCONNECT_INTERRUPT_PARAMETERS*;

// PASSIVE_LEVEL. STATUS_NOT_SUPPORTED for other connection kinds or a function without MSI-X;
// STATUS_INVALID_PARAMETER for a device object that is not a plugged PCI function or a missing
// routine or context pointer; STATUS_DEVICE_NOT_CONNECTED when the table's BAR has no address;
// STATUS_INVALID_DEVICE_STATE when the function's messages are already connected.
NTSTATUS IoConnectInterruptEx(PIO_CONNECT_INTERRUPT_PARAMETERS parameters);
// PASSIVE_LEVEL. Returns once no service routine of the connection runs or waits to run; the
// messages are strays from then on. The device's table is left as it is.
void IoDisconnectInterruptEx(PIO_DISCONNECT_INTERRUPT_PARAMETERS parameters);

// Raise to the interrupt's synchronize IRQL and take its spin lock, as its service routine runs.
KIRQL KeAcquireInterruptSpinLock(PKINTERRUPT interrupt);
void KeReleaseInterruptSpinLock(PKINTERRUPT interrupt, KIRQL old_irql);
BOOLEAN KeSynchronizeExecution(PKINTERRUPT interrupt, PKSYNCHRONIZE_ROUTINE routine, PVOID context);

namespace sim::kernel {

// The message address of a processor: the interrupt controller's window with the processor in
// bits 12-19; the message data is the vector.
constexpr uint64_t msi_address_base = 0xFEE00000;

// A device presents a message (from any thread, holding none of its own locks). A message that
// no connection has is counted as a stray.
void msi_deliver(uint64_t address, ULONG data);
// The processor a message of the function will target at its next connection (default: the
// message number modulo the active processor count).
void msi_set_target(PDEVICE_OBJECT physical_device_object, ULONG message, ULONG processor);
// Messages delivered that no connection had, and service routines that returned FALSE.
ULONG msi_stray_messages();
ULONG msi_unclaimed_interrupts();
// Service routines waiting or running on any processor.
ULONG queued_interrupts();

}  // namespace sim::kernel
