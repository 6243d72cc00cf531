// orrimand: a filter driver below the block driver in every card's stack whose one service is
// the driver registry, a system-wide ascending list of card numbers offered through the
// DRIVER_REGISTRY_INTERFACE query interface (driver_registry.h).
#pragma once

#include "driver/platform/os.h"
#include "registry_driver/driver_registry.h"

namespace orrimand {

// The driver's entry (the kernel's DriverEntry of the orrimand image).
NTSTATUS DriverEntry(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path);

// The registry itself; every result is 0 or a negative errno.
NTSTATUS DriverRegistryInitialize();
int DriverRegistryOpen(ULONG version, const UCHAR* identity, DRIVER_REGISTRY_CLIENT** client);
void DriverRegistryRelease(DRIVER_REGISTRY_CLIENT* handle);
int DriverRegistryRegister(DRIVER_REGISTRY_CLIENT* handle, ULONG64 flags, ULONG* number);
int DriverRegistryUnregister(DRIVER_REGISTRY_CLIENT* handle, ULONG64 flags, ULONG number);
void DriverRegistryNoop(PVOID context);

// Numbers held now, ascending (for inspection): how many there are; up to `capacity` go to
// `numbers`.
ULONG DriverRegistrySnapshot(ULONG* numbers, ULONG capacity);

}  // namespace orrimand
