// I/O request packets, as far as the driver sends them itself: a synchronous request built for
// a device stack, its stack locations, the call into the stack and the completion.
//
// DEVICE_OBJECT is only declared here: the driver handles device objects by pointer, and the
// I/O requests below need nothing of their contents.
#pragma once

#include "sim/kernel/sync.h"
#include "sim/kernel/types.h"

struct DEVICE_OBJECT;
using PDEVICE_OBJECT = DEVICE_OBJECT*;

struct IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
};
using PIO_STATUS_BLOCK = IO_STATUS_BLOCK*;

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_FLUSH_BUFFERS 0x09
#define IRP_MJ_DEVICE_CONTROL 0x0E
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0F
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_PNP 0x1B

#define IRP_MN_READ_CONFIG 0x0F
#define IRP_MN_WRITE_CONFIG 0x10

#define PCI_WHICHSPACE_CONFIG 0x0
#define PCI_WHICHSPACE_ROM 0x52696350

#define SL_PENDING_RETURNED 0x01

struct IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            ULONG WhichSpace;
            PVOID Buffer;
            ULONG Offset;
            ULONG Length;
        } ReadWriteConfig;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PVOID FileObject;
    PVOID CompletionRoutine;
    PVOID Context;
};
using PIO_STACK_LOCATION = IO_STACK_LOCATION*;

// The stack locations follow the packet in the same allocation; the current one moves down
// (towards the first) as the request goes down the stack.
struct IRP {
    CSHORT Type;
    USHORT Size;
    PVOID MdlAddress;
    ULONG Flags;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;  // 1-based; StackCount + 1 before the first call
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    PVOID UserBuffer;
    struct {
        struct {
            PIO_STACK_LOCATION CurrentStackLocation;
        } Overlay;
    } Tail;
};
using PIRP = IRP*;

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp) {
    return irp->Tail.Overlay.CurrentStackLocation;
}

inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP irp) {
    return irp->Tail.Overlay.CurrentStackLocation - 1;
}

inline void IoMarkIrpPending(PIRP irp) {
    IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
}

// Builds a request of `major` (read, write, flush, shutdown or PnP) for the stack whose top is
// `target`, with its status block and its event; NULL when no packet can be had. The packet is
// freed when it completes; its status goes to `iosb` and `event` is set.
PIRP IoBuildSynchronousFsdRequest(ULONG major, PDEVICE_OBJECT target, PVOID buffer, ULONG length,
                                  PLARGE_INTEGER starting_offset, PKEVENT event, PIO_STATUS_BLOCK iosb);
// Passes the packet to `device`: the next stack location becomes the current one.
NTSTATUS IoCallDriver(PDEVICE_OBJECT device, PIRP irp);
void IoCompleteRequest(PIRP irp, CCHAR priority_boost);
// The top of the stack that `device` belongs to, with a reference the caller drops
// (ObDereferenceObject).
PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT device);
