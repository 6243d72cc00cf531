#include "registry_driver/orrimand.h"

#include <cstring>

// The IRQL a routine expects, stated on its first line: it runs at `level` or below. Pageable
// routines, which run at PASSIVE_LEVEL, say PAGED_CODE() instead.
#define ORRIM_IRQL_AT_MOST(level) NT_ASSERT(KeGetCurrentIrql() <= (level))

namespace orrimand {
namespace {

constexpr ULONG tag_mal = 'm' | 'a' << 8 | 'l' << 16 | '4' << 24;
constexpr int e_noent = 2;
constexpr int e_nomem = 12;
constexpr int e_inval = 22;
constexpr int e_opnotsupp = 95;

// {6C2028B4-AEA2-4606-AE87-1EDC20D2AD9D}
constexpr GUID trace_control_guid = {0x6C2028B4, 0xAEA2, 0x4606, {0xAE, 0x87, 0x1E, 0xDC, 0x20, 0xD2, 0xAD, 0x9D}};
// {51070F55-CA04-59E4-A62D-052025CC85AB}: the message GUID carried by every event.
constexpr GUID trace_message_guid = {0x51070F55, 0xCA04, 0x59E4, {0xA6, 0x2D, 0x05, 0x20, 0x25, 0xCC, 0x85, 0xAB}};

struct ORRIM_DEVICE_CONTEXT {
    ULONG64 unused;
};
WDF_DECLARE_CONTEXT_TYPE(ORRIM_DEVICE_CONTEXT);

struct driver_registry_node {
    DRIVER_REGISTRY_CLIENT* owner;
    ULONG number;
    LIST_ENTRY link;
};

FAST_MUTEX registry_mutex;
LIST_ENTRY registry_list;
REGHANDLE trace_handle;

constexpr UCHAR trace_information = 4;
constexpr UCHAR trace_error = 2;

void trace(UCHAR level, const char* text) {
    ORRIM_IRQL_AT_MOST(HIGH_LEVEL);
    if (trace_handle == 0) {
        return;
    }
    EVENT_DESCRIPTOR descriptor{};
    descriptor.Id = level == trace_error ? 2 : 1;
    descriptor.Level = level;
    EVENT_DATA_DESCRIPTOR data[2];
    EventDataDescCreate(&data[0], &trace_message_guid, sizeof(GUID));
    EventDataDescCreate(&data[1], text, (ULONG)std::strlen(text) + 1);
    EtwWrite(trace_handle, &descriptor, nullptr, 2, data);
}

void trace_register() {
    PAGED_CODE();
    if (!NT_SUCCESS(EtwRegister(&trace_control_guid, nullptr, nullptr, &trace_handle))) {
        trace_handle = 0;
    }
}

void trace_unregister() {
    PAGED_CODE();
    if (trace_handle != 0) {
        EtwUnregister(trace_handle);
        trace_handle = 0;
    }
}

void* allocate_zeroed(size_t size) {
    ORRIM_IRQL_AT_MOST(DISPATCH_LEVEL);
    void* block = ExAllocatePoolWithTagPriority(NonPagedPoolNx, size, tag_mal, HighPoolPriority);
    if (block != nullptr) {
        std::memset(block, 0, size);
    }
    return block;
}

void OrrimEvtDriverContextCleanup(WDFOBJECT) {
    PAGED_CODE();
    trace(trace_information, "orrimand: driver clean-up");
    // The registry needs no tear-down: numbers clients still hold are not freed.
    trace_unregister();
}

NTSTATUS OrrimCreateDevice(PWDFDEVICE_INIT device_init) {
    PAGED_CODE();
    WdfFdoInitSetFilter(device_init);
    WdfDeviceInitSetDeviceType(device_init, FILE_DEVICE_UNKNOWN);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, ORRIM_DEVICE_CONTEXT);
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&device_init, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    DRIVER_REGISTRY_INTERFACE registry{};
    registry.Size = sizeof registry;
    registry.Version = DRIVER_REGISTRY_INTERFACE_VERSION;
    registry.Context = nullptr;
    registry.InterfaceReference = DriverRegistryNoop;
    registry.InterfaceDereference = DriverRegistryNoop;
    registry.Open = DriverRegistryOpen;
    WDF_QUERY_INTERFACE_CONFIG config;
    WDF_QUERY_INTERFACE_CONFIG_INIT(&config, (PINTERFACE)&registry, &GUID_DRIVER_REGISTRY_INTERFACE, nullptr);
    config.SendQueryToParentStack = FALSE;
    config.ImportInterface = FALSE;
    return WdfDeviceAddQueryInterface(device, &config);
}

NTSTATUS OrrimEvtDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT device_init) {
    PAGED_CODE();
    trace(trace_information, "orrimand: device add");
    NTSTATUS status = OrrimCreateDevice(device_init);
    trace(trace_information, NT_SUCCESS(status) ? "orrimand: device added" : "orrimand: device add failed");
    return status;
}

}  // namespace

NTSTATUS DriverEntry(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path) {
    PAGED_CODE();
    trace_register();
    trace(trace_information, "orrimand: driver entry");
    DriverRegistryInitialize();
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, OrrimEvtDeviceAdd);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = OrrimEvtDriverContextCleanup;
    NTSTATUS status = WdfDriverCreate(driver_object, registry_path, &attributes, &config, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status)) {
        trace(trace_error, "orrimand: WdfDriverCreate failed");
        trace_unregister();
        return status;
    }
    trace(trace_information, "orrimand: driver entry done");
    return STATUS_SUCCESS;
}

NTSTATUS DriverRegistryInitialize() {
    PAGED_CODE();
    ExInitializeFastMutex(&registry_mutex);
    InitializeListHead(&registry_list);
    return STATUS_SUCCESS;
}

void DriverRegistryNoop(PVOID) {
    ORRIM_IRQL_AT_MOST(DISPATCH_LEVEL);
}

int DriverRegistryOpen(ULONG version, const UCHAR* identity, DRIVER_REGISTRY_CLIENT** client) {
    ORRIM_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (version != DRIVER_REGISTRY_INTERFACE_VERSION) {
        return -e_opnotsupp;
    }
    ULONG64 tail[2];
    std::memcpy(tail, identity + 8, sizeof tail);
    if (tail[0] != 0 || tail[1] != 0) {
        return -e_inval;
    }
    auto* record = (DRIVER_REGISTRY_CLIENT*)allocate_zeroed(sizeof(DRIVER_REGISTRY_CLIENT));
    if (record == nullptr) {
        return -e_nomem;
    }
    record->One = 1;
    record->Handle = record;
    record->Ops = &record->Slots;
    record->Slots.Release = DriverRegistryRelease;
    record->Slots.Register = DriverRegistryRegister;
    record->Slots.Unregister = DriverRegistryUnregister;
    std::memcpy(record->Identity, identity, DRIVER_REGISTRY_IDENTITY_SIZE);
    record->Count = 0;
    *client = record;
    return 0;
}

void DriverRegistryRelease(DRIVER_REGISTRY_CLIENT* handle) {
    ORRIM_IRQL_AT_MOST(DISPATCH_LEVEL);
    // The owner does not release while it registers on the same client: no lock for the count.
    if (handle != nullptr && handle->Count == 0) {
        ExFreePoolWithTag(handle, tag_mal);
    }
}

int DriverRegistryRegister(DRIVER_REGISTRY_CLIENT* handle, ULONG64 flags, ULONG* number) {
    PAGED_CODE();
    if (flags != 0) {
        return -e_inval;
    }
    auto* node = (driver_registry_node*)allocate_zeroed(sizeof(driver_registry_node));
    if (node == nullptr) {
        return -e_nomem;
    }
    ExAcquireFastMutex(&registry_mutex);
    ULONG candidate = 0;
    LIST_ENTRY* before = &registry_list;  // the new entry goes in front of this one
    for (LIST_ENTRY* e = registry_list.Flink; e != &registry_list; e = e->Flink) {
        auto* entry = CONTAINING_RECORD(e, driver_registry_node, link);
        if (entry->number > candidate) {
            before = e;
            break;
        }
        candidate = entry->number + 1;
    }
    node->owner = handle;
    node->number = candidate;
    InsertTailList(before, &node->link);
    handle->Count++;
    ExReleaseFastMutex(&registry_mutex);
    *number = candidate;
    return 0;
}

int DriverRegistryUnregister(DRIVER_REGISTRY_CLIENT* handle, ULONG64 flags, ULONG number) {
    PAGED_CODE();
    if (flags != 0) {
        return -e_inval;
    }
    ExAcquireFastMutex(&registry_mutex);
    for (LIST_ENTRY* e = registry_list.Flink; e != &registry_list; e = e->Flink) {
        auto* entry = CONTAINING_RECORD(e, driver_registry_node, link);
        if (entry->number < number) {
            continue;
        }
        if (entry->number == number && entry->owner == handle) {
            RemoveEntryList(e);
            InitializeListHead(e);
            handle->Count--;
            ExReleaseFastMutex(&registry_mutex);
            ExFreePoolWithTag(entry, tag_mal);
            return 0;
        }
        break;
    }
    ExReleaseFastMutex(&registry_mutex);
    return -e_noent;
}

ULONG DriverRegistrySnapshot(ULONG* numbers, ULONG capacity) {
    ORRIM_IRQL_AT_MOST(APC_LEVEL);
    ULONG count = 0;
    ExAcquireFastMutex(&registry_mutex);
    for (LIST_ENTRY* e = registry_list.Flink; e != &registry_list; e = e->Flink) {
        if (count < capacity) {
            numbers[count] = CONTAINING_RECORD(e, driver_registry_node, link)->number;
        }
        count++;
    }
    ExReleaseFastMutex(&registry_mutex);
    return count;
}

}  // namespace orrimand
