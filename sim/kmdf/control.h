// The framework stand-in's control surface, for the machine and for tests: what PnP and the
// loader do to a framework driver. The system's own code never includes this header.
#pragma once

#include <string>

#include "sim/kmdf/wdf.h"

namespace sim::kmdf {

// What the bus reports about a device that is plugged in. It grows with the device shell
// (hardware identity, resources, interrupts).
struct device_description {
    std::u16string name;  // name of the WDM device object; empty for none
};

// Plugs a device into the framework driver: builds its WDFDEVICE_INIT and calls the driver's
// EvtDriverDeviceAdd at PASSIVE_LEVEL. When the callback fails, a device it created is deleted
// and its status returned; a callback that succeeds without creating a device gives
// STATUS_INVALID_DEVICE_STATE. `added` (optional) receives the new device.
NTSTATUS add_device(WDFDRIVER driver, const device_description& description = {}, WDFDEVICE* added = nullptr);
// Removes a device as PnP does: the device and its children are deleted (cleanup callbacks,
// work items flushed) and its WDM device object goes.
void remove_device(WDFDEVICE device);
// Removes every device of the driver, then unloads it through the kernel's loader.
void unload(PDRIVER_OBJECT driver_object);

// Framework objects that still exist (created and not yet destroyed).
ULONG live_objects();

}  // namespace sim::kmdf
