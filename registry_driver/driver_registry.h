// The device-number registry's query interface: the fixed records through which each card's
// block driver, a separately built driver, takes a system-wide card number from `orrimand`.
// Both drivers compile against this header; its layout is checked below.
#pragma once

#include <cstddef>

#include "driver/platform/os.h"

// {8C24457B-B1C6-42FE-A839-149F55179C5B}
inline constexpr GUID GUID_DRIVER_REGISTRY_INTERFACE = {
    0x8C24457B, 0xB1C6, 0x42FE, {0xA8, 0x39, 0x14, 0x9F, 0x55, 0x17, 0x9C, 0x5B}};

constexpr USHORT DRIVER_REGISTRY_INTERFACE_VERSION = 1;
constexpr size_t DRIVER_REGISTRY_IDENTITY_SIZE = 24;

struct DRIVER_REGISTRY_CLIENT;

// The client's operations, in this order behind the pointer at offset 16 of the client record.
struct DRIVER_REGISTRY_CLIENT_OPS {
    void (*Release)(DRIVER_REGISTRY_CLIENT* handle);
    int (*Register)(DRIVER_REGISTRY_CLIENT* handle, ULONG64 flags, ULONG* number);
    int (*Unregister)(DRIVER_REGISTRY_CLIENT* handle, ULONG64 flags, ULONG number);
};

// What open hands back; the caller reads only its head (up to and including the operations).
struct DRIVER_REGISTRY_CLIENT {
    ULONG One;  // always 1
    ULONG Reserved;
    DRIVER_REGISTRY_CLIENT* Handle;  // the record's own address
    DRIVER_REGISTRY_CLIENT_OPS* Ops;  // points at Slots
    DRIVER_REGISTRY_CLIENT_OPS Slots;
    // Private to the registry.
    UCHAR Identity[DRIVER_REGISTRY_IDENTITY_SIZE];
    ULONG Count;  // numbers the client holds
};
static_assert(offsetof(DRIVER_REGISTRY_CLIENT, Handle) == 8);
static_assert(offsetof(DRIVER_REGISTRY_CLIENT, Ops) == 16);
static_assert(offsetof(DRIVER_REGISTRY_CLIENT, Slots) == 24);
static_assert(offsetof(DRIVER_REGISTRY_CLIENT, Identity) == 48);

using PDRIVER_REGISTRY_OPEN = int (*)(ULONG version, const UCHAR* identity, DRIVER_REGISTRY_CLIENT** client);

struct DRIVER_REGISTRY_INTERFACE {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PDRIVER_REGISTRY_OPEN Open;
};
static_assert(sizeof(DRIVER_REGISTRY_INTERFACE) == 40);
static_assert(offsetof(DRIVER_REGISTRY_INTERFACE, Context) == 8);
static_assert(offsetof(DRIVER_REGISTRY_INTERFACE, InterfaceReference) == 16);
static_assert(offsetof(DRIVER_REGISTRY_INTERFACE, InterfaceDereference) == 24);
static_assert(offsetof(DRIVER_REGISTRY_INTERFACE, Open) == 32);
