// The framework driver object.
#pragma once

#include "sim/kernel/io.h"
#include "sim/kmdf/types.h"

struct WDFDEVICE_INIT;
using PWDFDEVICE_INIT = WDFDEVICE_INIT*;

using EVT_WDF_DRIVER_DEVICE_ADD = NTSTATUS(WDFDRIVER driver, PWDFDEVICE_INIT device_init);
using PFN_WDF_DRIVER_DEVICE_ADD = EVT_WDF_DRIVER_DEVICE_ADD*;
using EVT_WDF_DRIVER_UNLOAD = void(WDFDRIVER driver);
using PFN_WDF_DRIVER_UNLOAD = EVT_WDF_DRIVER_UNLOAD*;

#define WdfDriverInitNonPnpDriver 0x00000001u
#define WdfDriverInitNoDispatchOverride 0x00000002u

struct WDF_DRIVER_CONFIG {
    ULONG Size;
    PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
    PFN_WDF_DRIVER_UNLOAD EvtDriverUnload;
    ULONG DriverInitFlags;
    ULONG DriverPoolTag;
};
using PWDF_DRIVER_CONFIG = WDF_DRIVER_CONFIG*;

inline void WDF_DRIVER_CONFIG_INIT(PWDF_DRIVER_CONFIG config, PFN_WDF_DRIVER_DEVICE_ADD device_add) {
    *config = WDF_DRIVER_CONFIG{};
    config->Size = sizeof(WDF_DRIVER_CONFIG);
    config->EvtDriverDeviceAdd = device_add;
}

// Creates the framework driver object of `driver_object` (one per driver object). At unload the
// framework calls EvtDriverUnload, then deletes the driver object (its EvtCleanupCallback and
// EvtDestroyCallback). PASSIVE_LEVEL.
NTSTATUS WdfDriverCreate(PDRIVER_OBJECT driver_object, PCUNICODE_STRING registry_path,
                         PWDF_OBJECT_ATTRIBUTES driver_attributes, PWDF_DRIVER_CONFIG driver_config,
                         WDFDRIVER* driver);
// The calling driver's framework driver object; NULL before WdfDriverCreate.
WDFDRIVER WdfGetDriver();
PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER driver);
WDFDRIVER WdfWdmDriverGetWdfDriverHandle(PDRIVER_OBJECT driver_object);
PWSTR WdfDriverGetRegistryPath(WDFDRIVER driver);
