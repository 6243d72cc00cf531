// The control surface of the stand-in's I/O manager, DPC queues and worker threads, for the
// machine and for tests. The system's own code never includes this header.
#pragma once

#include "sim/kernel/io.h"
#include "sim/kernel/types.h"

namespace sim::kernel {

// Loads a driver: creates its driver object "\Driver\<name>" and calls `entry` with it and the
// service key path "\Registry\Machine\System\CurrentControlSet\Services\<name>" at
// PASSIVE_LEVEL. When the entry fails, the object is deleted and its status returned.
NTSTATUS load_driver(const char* name, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* driver);
// What undoes a framework's part of a driver (its driver object) when the driver's entry then
// fails: on the platform the framework's code linked into the driver does it; here load_driver
// calls `undo` before the driver object goes.
void set_entry_failure_undo(PDRIVER_OBJECT driver, void (*undo)(PDRIVER_OBJECT driver));
// Unloads a driver: calls its unload routine and deletes its driver object. A driver that
// still has device objects afterwards stops the machine.
void unload_driver(PDRIVER_OBJECT driver);
// Device objects that exist (created and not yet deleted) for the driver.
ULONG device_objects(PDRIVER_OBJECT driver);

// DPCs queued or running on any processor.
ULONG queued_dpcs();

// Work items queued or running (I/O and executive).
ULONG pending_work_items();
// Waits (real time) until no work item is queued or running; false on time-out.
bool wait_for_work_items(unsigned real_milliseconds);
// I/O work items allocated and not yet freed.
ULONG allocated_io_work_items();

}  // namespace sim::kernel
