#include "sim/kernel/irp.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "sim/kernel/bugcheck.h"
#include "sim/kernel/io.h"
#include "sim/kernel/object.h"
#include "sim/kernel/pool.h"

#define NO_MORE_IRP_STACK_LOCATIONS 0x00000035u
#define MULTIPLE_IRP_COMPLETE_REQUESTS 0x00000044u

namespace sim::kernel::io {
namespace {

constexpr ULONG irp_tag = 0x20707249;  // "Irp "
constexpr CHAR irp_stack_size = 4;
constexpr CSHORT irp_type = 6;

}  // namespace
}  // namespace sim::kernel::io

using namespace sim::kernel::io;

PIRP IoBuildSynchronousFsdRequest(ULONG major, PDEVICE_OBJECT target, PVOID buffer, ULONG length,
                                  PLARGE_INTEGER starting_offset, PKEVENT event, PIO_STATUS_BLOCK iosb) {
    UNREFERENCED_PARAMETER(target);
    UNREFERENCED_PARAMETER(starting_offset);
    if (KeGetCurrentIrql() > APC_LEVEL) {
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, 0, KeGetCurrentIrql(), 0, 0);
    }
    if (major != IRP_MJ_READ && major != IRP_MJ_WRITE && major != IRP_MJ_FLUSH_BUFFERS &&
        major != IRP_MJ_SHUTDOWN && major != IRP_MJ_PNP) {
        return nullptr;
    }
    size_t size = sizeof(IRP) + irp_stack_size * sizeof(IO_STACK_LOCATION);
    auto* irp = (PIRP)ExAllocatePoolWithTag(NonPagedPoolNx, size, irp_tag);
    if (irp == nullptr) {
        return nullptr;
    }
    std::memset(irp, 0, size);
    irp->Type = irp_type;
    irp->Size = (USHORT)size;
    irp->StackCount = irp_stack_size;
    irp->CurrentLocation = irp_stack_size + 1;
    auto* locations = (PIO_STACK_LOCATION)(irp + 1);
    irp->Tail.Overlay.CurrentStackLocation = locations + irp_stack_size;
    irp->UserIosb = iosb;
    irp->UserEvent = event;
    irp->UserBuffer = buffer;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = (UCHAR)major;
    if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
        next->Parameters.Others.Argument1 = (PVOID)(ULONG_PTR)length;
    }
    return irp;
}

NTSTATUS IoCallDriver(PDEVICE_OBJECT device, PIRP irp) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, 0, KeGetCurrentIrql(), 0, 0);
    }
    if (irp->CurrentLocation <= 1) {
        KeBugCheckEx(NO_MORE_IRP_STACK_LOCATIONS, (ULONG_PTR)irp, 0, 0, 0);
    }
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->DeviceObject = device;
    PDRIVER_DISPATCH routine = device->DriverObject != nullptr ? device->DriverObject->MajorFunction[stack->MajorFunction]
                                                                : nullptr;
    if (routine != nullptr) {
        return routine(device, irp);
    }
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, 0);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void IoCompleteRequest(PIRP irp, CCHAR priority_boost) {
    UNREFERENCED_PARAMETER(priority_boost);
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, 0, KeGetCurrentIrql(), 0, 0);
    }
    if (irp->Type != irp_type || irp->IoStatus.Status == STATUS_PENDING) {
        KeBugCheckEx(MULTIPLE_IRP_COMPLETE_REQUESTS, (ULONG_PTR)irp, 0, 0, 0);
    }
    irp->PendingReturned = (IoGetCurrentIrpStackLocation(irp)->Control & SL_PENDING_RETURNED) != 0;
    if (irp->UserIosb != nullptr) {
        *irp->UserIosb = irp->IoStatus;
    }
    PKEVENT event = irp->UserEvent;
    irp->Type = 0;
    ExFreePoolWithTag(irp, irp_tag);
    if (event != nullptr) {
        KeSetEvent(event, 0, FALSE);
    }
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT device) {
    // The stand-in attaches nothing above its devices: each is its own stack top.
    ObReferenceObject(device);
    return device;
}
