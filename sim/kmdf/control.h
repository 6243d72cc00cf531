// The framework stand-in's control surface, for the machine and for tests: what PnP, the power
// manager, the loader and the I/O manager do to framework drivers. The system's own code never
// includes this header.
#pragma once

#include <string>
#include <vector>

#include "sim/kmdf/wdf.h"

namespace sim::kmdf {

// What the bus reports about a device that is plugged in.
struct device_description {
    std::u16string name;                     // name of the WDM device object; empty for none
    PDEVICE_OBJECT physical_device = nullptr;  // the bus's device object (the stack's bottom)
    std::u16string hardware_id;              // first string of DevicePropertyHardwareID
    ULONG bus_number = 0;                    // DevicePropertyBusNumber: domain << 8 | bus
    ULONG address = 0;                       // DevicePropertyAddress: device << 16 | function
    ULONG ui_number = 0;                     // DevicePropertyUINumber: the slot
    std::vector<int> missing_properties;     // properties whose query fails
    ULONG64 bar_physical = 0;                // the memory BAR, when bar_length is not 0
    ULONG bar_length = 0;
    ULONG messages = 0;                      // message-signalled interrupts the bus grants; 0: one line
};

// Plugs a device into the framework driver without a stack: builds its WDFDEVICE_INIT and calls
// the driver's EvtDriverDeviceAdd at PASSIVE_LEVEL. When the callback fails, a device it created
// is deleted and its status returned; a callback that succeeds without creating a device gives
// STATUS_INVALID_DEVICE_STATE. `added` (optional) receives the new device.
NTSTATUS add_device(WDFDRIVER driver, const device_description& description = {}, WDFDEVICE* added = nullptr);
// Removes a device as PnP does: the device and its children are deleted (cleanup callbacks,
// work items flushed) and its WDM device object goes.
void remove_device(WDFDEVICE device);
// Removes every device of the driver, then unloads it through the kernel's loader.
void unload(PDRIVER_OBJECT driver_object);

// Framework objects that still exist (created and not yet destroyed).
ULONG live_objects();

// ---------------------------------------------------------------------------------------------
// Device stacks: one per plugged function. Drivers are added bottom up (a filter, then the
// function driver); PnP then starts, powers and removes the stack as a whole. Every call runs at
// PASSIVE_LEVEL on the caller's thread and is serialised per stack.

struct device_stack;

device_stack* stack_create(const device_description& description);
// EvtDriverDeviceAdd of `driver` for the stack; the new device goes on top.
NTSTATUS stack_add_driver(device_stack* stack, WDFDRIVER driver, WDFDEVICE* added = nullptr);
// Filters the resource requirements, assigns the resources and starts every device bottom up
// (see pnp.h for the order and the unwinding of a failed start). A failed start leaves the
// stack stopped, ready to be removed.
NTSTATUS stack_start(device_stack* stack);
// Powers every device down to `target` (WdfPowerDeviceD3: a sleep, the hardware kept) top first,
// and back up to D0.
void stack_power_down(device_stack* stack, WDF_POWER_DEVICE_STATE target);
NTSTATUS stack_power_up(device_stack* stack);
// Query-remove: false while a device of the stack forbids stop and remove.
bool stack_query_remove(device_stack* stack);
// Powers down to D3-final, releases the hardware, deletes the devices top first and frees the
// stack. Requests still held by a queue complete with STATUS_NO_SUCH_DEVICE.
void stack_remove(device_stack* stack);
WDFDEVICE stack_top(device_stack* stack);
bool stack_started(device_stack* stack);

// The device signals interrupt message `message` (0 for the line): the connected interrupt
// object of that message runs its ISR at the device's IRQL on the calling thread. False when no
// connected object takes it (or its ISR did not claim it).
bool stack_signal_interrupt(device_stack* stack, ULONG message);

// ---------------------------------------------------------------------------------------------
// The I/O manager's side: opening a device, device-control requests, closing.

// The device behind an enabled device interface's symbolic name (any case); NULL when none.
WDFDEVICE device_of_interface(const std::u16string& interface_name);
// Opens the device: its EvtDeviceFileCreate completes the create request. The status of the
// create (STATUS_NO_SUCH_DEVICE for a device being removed).
NTSTATUS open_device(WDFDEVICE device, WDFFILEOBJECT* file);
// Cleanup and close of the file object (the file is gone afterwards; a file whose device was
// removed is only forgotten).
void close_device(WDFFILEOBJECT file);
// A METHOD_NEITHER device-control request on the device (file may be NULL: a request that did
// not come through an open), sent from the calling thread's user process (sim::kernel::
// user_process()): `user_buffer` is both its input and its output buffer. The device's
// EvtIoInCallerContext, when it has one, gets the request on this thread; else it goes to its
// queue, which presents it on this thread or holds it and presents it later from a worker
// thread. Waits until the driver completes it; its status and information.
NTSTATUS device_control(WDFDEVICE device, WDFFILEOBJECT file, ULONG code, void* user_buffer, ULONG input_length,
                        ULONG output_length, ULONG_PTR* information);
// Requests the device's queues hold (not yet presented).
ULONG held_requests(WDFDEVICE device);
// Whether the file is still open on a device that exists.
bool file_open(WDFFILEOBJECT file);

// A kernel-mode device-control request of the buffered method, as a driver above the device
// sends it: one system buffer of the larger length, holding the input on the way in and the
// output on the way out (`output` receives the first `output_length` bytes). Waits until the
// driver completes it; its status and information.
NTSTATUS kernel_device_control(WDFDEVICE device, ULONG code, const void* input, ULONG input_length, void* output,
                               ULONG output_length, ULONG_PTR* information);
// An internal device-control request carrying `argument` as its first "other" parameter (a SCSI
// request block) and `mdl` as its packet's MDL; waits until the driver completes it.
NTSTATUS internal_device_control(WDFDEVICE device, ULONG code, PVOID argument, PMDL mdl, ULONG_PTR* information);

// The child devices of a bus device's default child list that exist, oldest first, and the
// number of descriptions the list holds.
std::vector<WDFDEVICE> child_devices(WDFDEVICE fdo);
ULONG child_descriptions(WDFDEVICE fdo);
struct pdo_record {
    std::u16string device_id;
    std::u16string instance_id;
    std::vector<std::u16string> hardware_ids;
    std::vector<std::u16string> compatible_ids;
    struct text {
        LCID locale;
        std::u16string description;
        std::u16string location;
    };
    std::vector<text> texts;
    LCID default_locale;
    bool has_pnp_caps;
    WDF_DEVICE_PNP_CAPABILITIES pnp_caps;
    DEVICE_TYPE device_type;
    std::vector<std::u16string> interfaces;  // reference strings of the enabled interfaces
};
pdo_record pdo_record_of(WDFDEVICE pdo);
// The device's hardware key: opening it fails from now on (or no longer); a string value of it.
void fail_device_key_open(WDFDEVICE device, bool fail);
bool device_key_string(WDFDEVICE device, const std::u16string& value, std::u16string* text);

// Records of what drivers set, for tests.
struct device_record {
    bool filter;
    DEVICE_TYPE device_type;
    bool power_policy_owner;
    bool has_child_list;
    ULONG child_description_size;
    bool has_preprocess;
    bool has_bus_information;
    PNP_BUS_INFORMATION bus_information;
    WDF_DEVICE_POWER_CAPABILITIES power_caps;
    bool paging, hibernation, dump;
    LONG static_stop_remove;
    bool failed;
    std::vector<std::u16string> enabled_interfaces;
};
device_record record_of(WDFDEVICE device);

}  // namespace sim::kmdf
