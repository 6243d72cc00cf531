#include "sim/kmdf/device.h"

#include <algorithm>
#include <unordered_map>

#include "sim/kmdf/control.h"
#include "sim/kmdf/framework.h"

namespace sim::kmdf::framework {
namespace {

// Framework devices by their WDM device objects.
std::unordered_map<PDEVICE_OBJECT, device_object*>& wdm_devices() {
    static auto* map = new std::unordered_map<PDEVICE_OBJECT, device_object*>();
    return *map;
}

}  // namespace

void forget_interfaces(device_object* d);

void device_object::before_cleanup() {
    forget_interfaces(this);
    if (stack != nullptr) {
        std::lock_guard<std::recursive_mutex> g(tree_mutex());
        auto& list = stack->devices;
        auto it = std::find(list.begin(), list.end(), this);
        if (it != list.end()) {
            size_t index = (size_t)(it - list.begin());
            list.erase(it);
            if (index < stack->stage.size()) {
                stack->stage.erase(stack->stage.begin() + (long)index);
            }
        }
        stack = nullptr;
    }
}

void device_object::after_cleanup() {
    if (wdm == nullptr) {
        return;
    }
    {
        std::lock_guard<std::recursive_mutex> g(tree_mutex());
        wdm_devices().erase(wdm);
    }
    IoDeleteDevice(wdm);
    wdm = nullptr;
}

}  // namespace sim::kmdf::framework

using namespace sim::kmdf::framework;

void WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT device_init, DEVICE_TYPE device_type) {
    device_init->device_type = device_type;
}

void WdfDeviceInitSetIoType(PWDFDEVICE_INIT device_init, WDF_DEVICE_IO_TYPE io_type) {
    device_init->io_type = io_type;
}

void WdfDeviceInitSetExclusive(PWDFDEVICE_INIT device_init, BOOLEAN exclusive) {
    device_init->exclusive = exclusive;
}

void WdfDeviceInitSetCharacteristics(PWDFDEVICE_INIT device_init, ULONG characteristics, BOOLEAN or_in_values) {
    device_init->characteristics = or_in_values ? (device_init->characteristics | characteristics) : characteristics;
}

NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* device_init, PWDF_OBJECT_ATTRIBUTES device_attributes, WDFDEVICE* device) {
    require_irql_at_most(PASSIVE_LEVEL, (ULONG_PTR)device_init);
    *device = nullptr;
    if (device_init == nullptr || *device_init == nullptr || (*device_init)->created != nullptr) {
        violation(0x30, (ULONG_PTR)device_init);
    }
    if (device_attributes != nullptr && device_attributes->ParentObject != nullptr) {
        return STATUS_INVALID_PARAMETER;  // a device's parent is its driver
    }
    PWDFDEVICE_INIT init = *device_init;
    auto* d = new device_object();
    d->driver = init->driver;
    NTSTATUS status = attach(d, device_attributes, init->driver);
    if (!NT_SUCCESS(status)) {
        discard(d);
        return status;
    }
    UNICODE_STRING name{};
    if (!init->name.empty()) {
        name.Buffer = init->name.data();
        name.Length = (USHORT)(init->name.size() * sizeof(WCHAR));
        name.MaximumLength = name.Length;
    }
    PDEVICE_OBJECT wdm = nullptr;
    status = IoCreateDevice(init->driver->wdm, 0, init->name.empty() ? nullptr : &name, init->device_type,
                            init->characteristics, init->exclusive, &wdm);
    if (!NT_SUCCESS(status)) {
        abandon(d);
        return status;
    }
    if (init->io_type == WdfDeviceIoBuffered) {
        wdm->Flags |= DO_BUFFERED_IO;
    } else if (init->io_type == WdfDeviceIoDirect) {
        wdm->Flags |= DO_DIRECT_IO;
    }
    d->wdm = wdm;
    d->settings = init->settings;
    {
        std::lock_guard<std::recursive_mutex> g(tree_mutex());
        wdm_devices()[wdm] = d;
        if (init->stack != nullptr) {
            d->stack = init->stack;
            init->stack->devices.push_back(d);
        }
    }
    if (d->settings.has_child_list) {
        status = create_default_child_list(d);
        if (!NT_SUCCESS(status)) {
            delete_object(d);
            return status;
        }
    }
    init->created = d;
    *device_init = nullptr;
    *device = (WDFDEVICE)d->handle();
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT WdfDeviceWdmGetDeviceObject(WDFDEVICE device) {
    return checked<device_object>(device, object_kind::device)->wdm;
}

WDFDEVICE WdfWdmDeviceGetWdfDeviceHandle(PDEVICE_OBJECT device_object_) {
    std::lock_guard<std::recursive_mutex> g(tree_mutex());
    auto it = wdm_devices().find(device_object_);
    return it != wdm_devices().end() ? (WDFDEVICE)it->second->handle() : nullptr;
}

WDFDRIVER WdfDeviceGetDriver(WDFDEVICE device) {
    return (WDFDRIVER)checked<device_object>(device, object_kind::device)->driver->handle();
}

namespace sim::kmdf {

NTSTATUS add_device(WDFDRIVER driver, const device_description& description, WDFDEVICE* added) {
    require_irql_at_most(PASSIVE_LEVEL, (ULONG_PTR)driver);
    if (added != nullptr) {
        *added = nullptr;
    }
    auto* d = checked<driver_object>(driver, object_kind::driver);
    if (d->config.EvtDriverDeviceAdd == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    WDFDEVICE_INIT init;
    init.driver = d;
    init.name = description.name;
    NTSTATUS status = d->config.EvtDriverDeviceAdd(driver, &init);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, (ULONG_PTR)d->config.EvtDriverDeviceAdd, KeGetCurrentIrql(), 0, 0);
    }
    if (!NT_SUCCESS(status)) {
        if (init.created != nullptr) {
            delete_object(init.created);
        }
        return status;
    }
    if (init.created == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    init.created->wdm->Flags &= ~DO_DEVICE_INITIALIZING;
    if (added != nullptr) {
        *added = (WDFDEVICE)init.created->handle();
    }
    return STATUS_SUCCESS;
}

void remove_device(WDFDEVICE device) {
    require_irql_at_most(PASSIVE_LEVEL, (ULONG_PTR)device);
    delete_object(checked<device_object>(device, object_kind::device));
}

}  // namespace sim::kmdf
