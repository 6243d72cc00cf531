// Driver and device objects of the I/O manager, as far as drivers create, enumerate and
// reference them (requests are in irp.h).
#pragma once

#include "sim/kernel/irp.h"
#include "sim/kernel/object.h"
#include "sim/kernel/types.h"
struct DRIVER_OBJECT;
using PDRIVER_OBJECT = DRIVER_OBJECT*;

using DEVICE_TYPE = ULONG;
#define FILE_DEVICE_CONTROLLER 0x00000004u
#define FILE_DEVICE_DISK 0x00000007u
#define FILE_DEVICE_UNKNOWN 0x00000022u
#define FILE_DEVICE_BUS_EXTENDER 0x0000002au
#define FILE_DEVICE_MASS_STORAGE 0x0000002du
#define METHOD_BUFFERED 0u
#define METHOD_IN_DIRECT 1u
#define METHOD_OUT_DIRECT 2u
#define METHOD_NEITHER 3u

#define FILE_DEVICE_SECURE_OPEN 0x00000100u

#define DO_BUFFERED_IO 0x00000004u
#define DO_EXCLUSIVE 0x00000008u
#define DO_DIRECT_IO 0x00000010u
#define DO_DEVICE_INITIALIZING 0x00000080u

#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

using DRIVER_INITIALIZE = NTSTATUS(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);
using PDRIVER_INITIALIZE = DRIVER_INITIALIZE*;
using DRIVER_UNLOAD = void(PDRIVER_OBJECT driver);
using PDRIVER_UNLOAD = DRIVER_UNLOAD*;
using DRIVER_ADD_DEVICE = NTSTATUS(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical_device);
using PDRIVER_ADD_DEVICE = DRIVER_ADD_DEVICE*;
using DRIVER_DISPATCH = NTSTATUS(PDEVICE_OBJECT device, PIRP irp);
using PDRIVER_DISPATCH = DRIVER_DISPATCH*;

struct DRIVER_EXTENSION {
    PDRIVER_OBJECT DriverObject;
    PDRIVER_ADD_DEVICE AddDevice;
    ULONG Count;
    UNICODE_STRING ServiceKeyName;
};
using PDRIVER_EXTENSION = DRIVER_EXTENSION*;

struct DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;  // the driver's device objects, newest first, through NextDevice
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PDRIVER_EXTENSION DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PVOID DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};

struct DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    LONG ReferenceCount;  // open handles (the object's own references are the object manager's)
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT NextDevice;
    PDEVICE_OBJECT AttachedDevice;
    PIRP CurrentIrp;
    PVOID Timer;
    ULONG Flags;
    ULONG Characteristics;
    PVOID Vpb;
    PVOID DeviceExtension;  // DeviceExtensionSize zeroed bytes, or NULL
    DEVICE_TYPE DeviceType;
    CCHAR StackSize;
    ULONG AlignmentRequirement;
    USHORT SectorSize;
};

extern POBJECT_TYPE* IoDriverObjectType;
extern POBJECT_TYPE* IoDeviceObjectType;

// Creates a device object of `driver` with a zeroed extension; it is put first in the driver's
// list and carries DO_DEVICE_INITIALIZING. PASSIVE_LEVEL.
NTSTATUS IoCreateDevice(PDRIVER_OBJECT driver, ULONG device_extension_size, PUNICODE_STRING device_name,
                        DEVICE_TYPE device_type, ULONG device_characteristics, BOOLEAN exclusive,
                        PDEVICE_OBJECT* device);
// Takes the device out of its driver's list; the memory goes with the last reference.
void IoDeleteDevice(PDEVICE_OBJECT device);
// Lists the driver's device objects, newest first, into `list` (`list_size` bytes), referencing
// each entry filled (the caller dereferences them). STATUS_BUFFER_TOO_SMALL when not all fit;
// the entries that fit are still filled and referenced. *actual_count is the number of devices.
// At most APC_LEVEL.
NTSTATUS IoEnumerateDeviceObjectList(PDRIVER_OBJECT driver, PDEVICE_OBJECT* list, ULONG list_size,
                                     PULONG actual_count);
