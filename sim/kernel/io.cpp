#include "sim/kernel/io.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "sim/kernel/bugcheck.h"
#include "sim/kernel/io_control.h"
#include "sim/kernel/irql.h"

namespace {

constexpr CSHORT driver_object_type = 4;
constexpr CSHORT device_object_type = 3;

OBJECT_TYPE driver_type{"Driver"};
POBJECT_TYPE driver_type_pointer = &driver_type;
OBJECT_TYPE device_type{"Device"};
POBJECT_TYPE device_type_pointer = &device_type;

// Guards every driver's device list and the names below.
std::mutex io_mutex;

// What the stand-in keeps beside a driver object: its name texts.
struct driver_block {
    DRIVER_OBJECT object;
    DRIVER_EXTENSION extension;
    std::u16string* name;
    std::u16string* service_key;
    void (*entry_failure_undo)(PDRIVER_OBJECT driver);
};

// Names of the device objects that have one, to refuse a second device of the same name.
std::unordered_map<std::u16string, PDEVICE_OBJECT>& device_names() {
    static auto* names = new std::unordered_map<std::u16string, PDEVICE_OBJECT>();
    return *names;
}

std::u16string text_of(PUNICODE_STRING s) {
    if (s == nullptr || s->Buffer == nullptr) {
        return {};
    }
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

void set_unicode(UNICODE_STRING* out, std::u16string* text) {
    out->Buffer = text->data();
    out->Length = (USHORT)(text->size() * sizeof(WCHAR));
    out->MaximumLength = (USHORT)(out->Length + sizeof(WCHAR));
}

std::u16string widen(const char* text) {
    std::u16string out;
    for (; *text != 0; text++) {
        out.push_back((char16_t)(unsigned char)*text);
    }
    return out;
}

void destroy_driver(PVOID object) {
    auto* block = (driver_block*)object;
    delete block->name;
    delete block->service_key;
}

void require_irql_at_most(KIRQL highest, ULONG_PTR what) {
    if (KeGetCurrentIrql() > highest) {
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, what, KeGetCurrentIrql(), highest, 0);
    }
}

}  // namespace

POBJECT_TYPE* IoDriverObjectType = &driver_type_pointer;
POBJECT_TYPE* IoDeviceObjectType = &device_type_pointer;

NTSTATUS IoCreateDevice(PDRIVER_OBJECT driver, ULONG device_extension_size, PUNICODE_STRING device_name,
                        DEVICE_TYPE device_type, ULONG device_characteristics, BOOLEAN exclusive,
                        PDEVICE_OBJECT* device) {
    require_irql_at_most(PASSIVE_LEVEL, (ULONG_PTR)driver);
    *device = nullptr;
    size_t extension_offset = (sizeof(DEVICE_OBJECT) + 15) & ~(size_t)15;
    auto* d = (PDEVICE_OBJECT)sim::kernel::objects::create(*IoDeviceObjectType,
                                                             extension_offset + device_extension_size, nullptr);
    if (d == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    d->Type = device_object_type;
    d->Size = (USHORT)std::min<size_t>(extension_offset + device_extension_size, 0xFFFF);
    d->DriverObject = driver;
    d->DeviceExtension = device_extension_size != 0 ? (char*)d + extension_offset : nullptr;
    d->DeviceType = device_type;
    d->Characteristics = device_characteristics;
    d->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
    d->StackSize = 1;
    d->SectorSize = 512;
    std::lock_guard<std::mutex> g(io_mutex);
    std::u16string name = text_of(device_name);
    if (!name.empty()) {
        if (device_names().count(name) != 0) {
            ObDereferenceObject(d);
            return (NTSTATUS)0xC0000035;  // STATUS_OBJECT_NAME_COLLISION
        }
        device_names()[name] = d;
    }
    d->NextDevice = driver->DeviceObject;
    driver->DeviceObject = d;
    *device = d;
    return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT device) {
    require_irql_at_most(PASSIVE_LEVEL, (ULONG_PTR)device);
    {
        std::lock_guard<std::mutex> g(io_mutex);
        PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject;
        while (*link != nullptr && *link != device) {
            link = &(*link)->NextDevice;
        }
        if (*link == nullptr) {
            KeBugCheckEx(SIM_ASSERTION_FAILURE, (ULONG_PTR)device, 0, 0, 0);  // deleted twice
        }
        *link = device->NextDevice;
        device->NextDevice = nullptr;
        for (auto it = device_names().begin(); it != device_names().end(); ++it) {
            if (it->second == device) {
                device_names().erase(it);
                break;
            }
        }
    }
    ObDereferenceObject(device);
}

NTSTATUS IoEnumerateDeviceObjectList(PDRIVER_OBJECT driver, PDEVICE_OBJECT* list, ULONG list_size,
                                     PULONG actual_count) {
    require_irql_at_most(APC_LEVEL, (ULONG_PTR)driver);
    std::lock_guard<std::mutex> g(io_mutex);
    ULONG room = list_size / sizeof(PDEVICE_OBJECT);
    ULONG count = 0;
    for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) {
        if (count < room) {
            ObReferenceObject(d);
            list[count] = d;
        }
        count++;
    }
    *actual_count = count;
    return count > room ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS;
}

namespace sim::kernel {

NTSTATUS load_driver(const char* name, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* driver) {
    *driver = nullptr;
    auto* block = (driver_block*)objects::create(*IoDriverObjectType, sizeof(driver_block), destroy_driver);
    if (block == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    block->name = new std::u16string(u"\\Driver\\" + widen(name));
    block->service_key = new std::u16string(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + widen(name));
    PDRIVER_OBJECT d = &block->object;
    d->Type = driver_object_type;
    d->Size = (CSHORT)sizeof(DRIVER_OBJECT);
    d->DriverExtension = &block->extension;
    block->extension.DriverObject = d;
    set_unicode(&d->DriverName, block->name);
    set_unicode(&block->extension.ServiceKeyName, block->service_key);
    d->DriverInit = entry;
    block->entry_failure_undo = nullptr;
    UNICODE_STRING registry_path;
    set_unicode(&registry_path, block->service_key);
    NTSTATUS status = entry(d, &registry_path);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, (ULONG_PTR)entry, KeGetCurrentIrql(), 0, 0);
    }
    if (!NT_SUCCESS(status)) {
        if (device_objects(d) != 0) {
            std::fprintf(stderr, "sim: driver entry failed and left device objects behind\n");
            KeBugCheckEx(SIM_ASSERTION_FAILURE, (ULONG_PTR)d, 1, 0, 0);
        }
        if (block->entry_failure_undo != nullptr) {
            block->entry_failure_undo(d);
        }
        ObDereferenceObject(d);
        return status;
    }
    *driver = d;
    return STATUS_SUCCESS;
}

void set_entry_failure_undo(PDRIVER_OBJECT driver, void (*undo)(PDRIVER_OBJECT driver)) {
    CONTAINING_RECORD(driver, driver_block, object)->entry_failure_undo = undo;
}

void unload_driver(PDRIVER_OBJECT driver) {
    if (driver->DriverUnload != nullptr) {
        driver->DriverUnload(driver);
    }
    if (device_objects(driver) != 0) {
        std::fprintf(stderr, "sim: driver unloaded with device objects left\n");
        KeBugCheckEx(SIM_ASSERTION_FAILURE, (ULONG_PTR)driver, 2, 0, 0);
    }
    ObDereferenceObject(driver);
}

ULONG device_objects(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> g(io_mutex);
    ULONG count = 0;
    for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) {
        count++;
    }
    return count;
}

}  // namespace sim::kernel
