// What the Plug and Play manager tells a driver about its device beyond requests: the NUMA node
// of a physical device object, and the object manager's symbolic links that name devices for
// user-side programs ("\DosDevices\dov0" opened as "\\.\dov0").
#pragma once

#include "sim/kernel/io.h"
#include "sim/kernel/types.h"

// STATUS_NOT_FOUND when the system does not know the device's node.
NTSTATUS IoGetDeviceNumaNode(PDEVICE_OBJECT physical_device, PUSHORT node);

// STATUS_OBJECT_NAME_COLLISION when the link exists. PASSIVE_LEVEL.
NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING link_name, PUNICODE_STRING target_name);
NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING link_name);
