// Framework device objects. A device is created by the driver's EvtDriverDeviceAdd from the
// WDFDEVICE_INIT that the framework hands it, and removed by the framework.
#pragma once

#include "sim/kernel/io.h"
#include "sim/kmdf/driver.h"
#include "sim/kmdf/types.h"

enum WDF_DEVICE_IO_TYPE {
    WdfDeviceIoUndefined = 0,
    WdfDeviceIoNeither,
    WdfDeviceIoBuffered,
    WdfDeviceIoDirect,
};

void WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT device_init, DEVICE_TYPE device_type);
void WdfDeviceInitSetIoType(PWDFDEVICE_INIT device_init, WDF_DEVICE_IO_TYPE io_type);
void WdfDeviceInitSetExclusive(PWDFDEVICE_INIT device_init, BOOLEAN exclusive);
void WdfDeviceInitSetCharacteristics(PWDFDEVICE_INIT device_init, ULONG characteristics, BOOLEAN or_in_values);

// Creates the device and its WDM device object; on success *device_init becomes NULL (the
// framework owns it). The device's parent is always the driver. PASSIVE_LEVEL.
NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* device_init, PWDF_OBJECT_ATTRIBUTES device_attributes, WDFDEVICE* device);
PDEVICE_OBJECT WdfDeviceWdmGetDeviceObject(WDFDEVICE device);
// The framework device of a WDM device object; NULL when the object is not one.
WDFDEVICE WdfWdmDeviceGetWdfDeviceHandle(PDEVICE_OBJECT device_object);
WDFDRIVER WdfDeviceGetDriver(WDFDEVICE device);
