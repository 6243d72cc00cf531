// Interfaces between drivers of one device stack (query interfaces: a record of function
// pointers offered by one device and copied out to a device above it) and device interfaces
// (named instances of an interface class through which programs open a device).
#pragma once

#include "sim/kernel/kernel.h"
#include "sim/kmdf/device.h"
#include "sim/kmdf/registry.h"
#include "sim/kmdf/types.h"

using PINTERFACE_REFERENCE = void (*)(PVOID context);
using PINTERFACE_DEREFERENCE = void (*)(PVOID context);

// The standard head of every query interface.
struct INTERFACE {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
};
using PINTERFACE = INTERFACE*;
static_assert(sizeof(INTERFACE) == 32);

struct WDF_QUERY_INTERFACE_CONFIG {
    ULONG Size;
    PINTERFACE Interface;
    const GUID* InterfaceType;
    BOOLEAN SendQueryToParentStack;
    PVOID EvtDeviceProcessQueryInterfaceRequest;
    BOOLEAN ImportInterface;
};
using PWDF_QUERY_INTERFACE_CONFIG = WDF_QUERY_INTERFACE_CONFIG*;
static_assert(sizeof(WDF_QUERY_INTERFACE_CONFIG) == 48);

inline void WDF_QUERY_INTERFACE_CONFIG_INIT(PWDF_QUERY_INTERFACE_CONFIG config, PINTERFACE interface,
                                            const GUID* interface_type, PVOID process_request) {
    *config = WDF_QUERY_INTERFACE_CONFIG{};
    config->Size = sizeof(WDF_QUERY_INTERFACE_CONFIG);
    config->Interface = interface;
    config->InterfaceType = interface_type;
    config->EvtDeviceProcessQueryInterfaceRequest = process_request;
}

// Offers a copy of the interface (Interface->Size bytes) to the devices above in the stack.
// STATUS_OBJECT_NAME_COLLISION when the device offers that GUID already. PASSIVE_LEVEL.
NTSTATUS WdfDeviceAddQueryInterface(WDFDEVICE device, PWDF_QUERY_INTERFACE_CONFIG config);
// Asks the devices below in the device's stack (nearest first, the bus last) for the interface:
// the first that offers the GUID with at least `size` bytes and at least `version` copies it
// into `interface` (with Size and Version set to the request's) and references it.
// STATUS_NOT_SUPPORTED when none does. PASSIVE_LEVEL.
NTSTATUS WdfFdoQueryForInterface(WDFDEVICE device, const GUID* interface_type, PINTERFACE interface, USHORT size,
                                 USHORT version, PVOID interface_specific_data);

// The bus's standard interface: configuration space reads and writes.
inline constexpr GUID GUID_BUS_INTERFACE_STANDARD = {
    0x496B8280, 0x6F25, 0x11D0, {0xBE, 0xAF, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};
using PGET_SET_DEVICE_DATA = ULONG (*)(PVOID context, ULONG data_type, PVOID buffer, ULONG offset, ULONG length);
struct BUS_INTERFACE_STANDARD {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PVOID TranslateBusAddress;
    PVOID GetDmaAdapter;
    PGET_SET_DEVICE_DATA SetBusData;
    PGET_SET_DEVICE_DATA GetBusData;
};
static_assert(sizeof(BUS_INTERFACE_STANDARD) == 64);

// Device interfaces. Creating one that exists (same class and reference string) is a success;
// an interface starts disabled. PASSIVE_LEVEL.
NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE device, const GUID* interface_class_guid,
                                        PCUNICODE_STRING reference_string);
void WdfDeviceSetDeviceInterfaceState(WDFDEVICE device, const GUID* interface_class_guid,
                                      PCUNICODE_STRING reference_string, BOOLEAN is_interface_enabled);
// The interface's symbolic link name into `string`; STATUS_OBJECT_NAME_NOT_FOUND when the device
// has no such interface.
NTSTATUS WdfDeviceRetrieveDeviceInterfaceString(WDFDEVICE device, const GUID* interface_class_guid,
                                                PCUNICODE_STRING reference_string, WDFSTRING string);
