// The device's PnP and power settings and the resource lists; the sequencing itself is in
// stack.cpp.
#include "sim/kmdf/pnp.h"

#include <algorithm>
#include <cstring>

#include "sim/kmdf/framework.h"

using namespace sim::kmdf::framework;
using sim::kmdf::device_description;

void WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT device_init, PWDF_PNPPOWER_EVENT_CALLBACKS callbacks) {
    device_init->settings.pnp = *callbacks;
}

void WdfFdoInitSetEventCallbacks(PWDFDEVICE_INIT device_init, PWDF_FDO_EVENT_CALLBACKS callbacks) {
    device_init->settings.fdo = *callbacks;
}

void WdfDeviceInitSetPowerPolicyOwnership(PWDFDEVICE_INIT device_init, BOOLEAN is_power_policy_owner) {
    device_init->settings.power_policy_owner = is_power_policy_owner != FALSE;
}

void WdfFdoInitSetFilter(PWDFDEVICE_INIT device_init) {
    device_init->settings.filter = true;
}

PDEVICE_OBJECT WdfFdoInitWdmGetPhysicalDevice(PWDFDEVICE_INIT device_init) {
    return device_init->stack != nullptr ? device_init->stack->description.physical_device : nullptr;
}

PDEVICE_OBJECT WdfDeviceWdmGetPhysicalDevice(WDFDEVICE device) {
    auto* d = checked<device_object>(device, object_kind::device);
    return d->stack != nullptr ? d->stack->description.physical_device : nullptr;
}

NTSTATUS WdfDeviceInitAssignWdmIrpPreprocessCallback(PWDFDEVICE_INIT device_init,
                                                     PFN_WDFDEVICE_WDM_IRP_PREPROCESS callback, UCHAR major_function,
                                                     PUCHAR minor_functions, ULONG minor_function_count) {
    if (callback == nullptr || major_function > IRP_MJ_MAXIMUM_FUNCTION) {
        return STATUS_INVALID_PARAMETER;
    }
    device_init->settings.preprocess = callback;
    device_init->settings.preprocess_major = major_function;
    device_init->settings.preprocess_minors.assign(minor_functions, minor_functions + minor_function_count);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Resource lists. A WDFCMRESLIST is the address of the stack's vector; a WDFIORESREQLIST the
// address of the stack's requirements; a WDFIORESLIST the address of one configuration.

ULONG WdfCmResourceListGetCount(WDFCMRESLIST list) {
    return (ULONG)((std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>*)list)->size();
}

PCM_PARTIAL_RESOURCE_DESCRIPTOR WdfCmResourceListGetDescriptor(WDFCMRESLIST list, ULONG index) {
    auto* v = (std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>*)list;
    return index < v->size() ? &(*v)[index] : nullptr;
}

ULONG WdfIoResourceRequirementsListGetCount(WDFIORESREQLIST requirements) {
    return (ULONG)((std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>>*)requirements)->size();
}

WDFIORESLIST WdfIoResourceRequirementsListGetIoResList(WDFIORESREQLIST requirements, ULONG index) {
    auto* v = (std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>>*)requirements;
    return index < v->size() ? (WDFIORESLIST) & (*v)[index] : nullptr;
}

ULONG WdfIoResourceListGetCount(WDFIORESLIST list) {
    return (ULONG)((std::vector<IO_RESOURCE_DESCRIPTOR>*)list)->size();
}

PIO_RESOURCE_DESCRIPTOR WdfIoResourceListGetDescriptor(WDFIORESLIST list, ULONG index) {
    auto* v = (std::vector<IO_RESOURCE_DESCRIPTOR>*)list;
    return index < v->size() ? &(*v)[index] : nullptr;
}

void WdfIoResourceListUpdateDescriptor(WDFIORESLIST list, PIO_RESOURCE_DESCRIPTOR descriptor, ULONG index) {
    auto* v = (std::vector<IO_RESOURCE_DESCRIPTOR>*)list;
    if (index >= v->size()) {
        violation(0x60, (ULONG_PTR)list, index);
    }
    if (descriptor != &(*v)[index]) {
        (*v)[index] = *descriptor;
    }
}

// ---------------------------------------------------------------------------------------------
// Device settings

void WdfDeviceSetPowerCapabilities(WDFDEVICE device, PWDF_DEVICE_POWER_CAPABILITIES caps) {
    checked<device_object>(device, object_kind::device)->power_caps = *caps;
}

void WdfDeviceSetSpecialFileSupport(WDFDEVICE device, WDF_SPECIAL_FILE_TYPE file_type, BOOLEAN supported) {
    auto* d = checked<device_object>(device, object_kind::device);
    if (file_type > WdfSpecialFileUndefined && file_type < WdfSpecialFileMax) {
        d->special_files[file_type] = supported != FALSE;
    }
}

void WdfDeviceSetBusInformationForChildren(WDFDEVICE device, PPNP_BUS_INFORMATION bus_information) {
    auto* d = checked<device_object>(device, object_kind::device);
    d->has_bus_information = true;
    d->bus_information = *bus_information;
}

void WdfDeviceSetStaticStopRemove(WDFDEVICE device, BOOLEAN stoppable) {
    auto* d = checked<device_object>(device, object_kind::device);
    if (stoppable) {
        if (d->static_stop_remove.fetch_sub(1) <= 0) {
            violation(0x61, (ULONG_PTR)device);  // more TRUE than FALSE calls
        }
    } else {
        d->static_stop_remove++;
    }
}

void WdfDeviceSetFailed(WDFDEVICE device, WDF_DEVICE_FAILED_ACTION) {
    checked<device_object>(device, object_kind::device)->failed = true;
}

NTSTATUS WdfDeviceQueryProperty(WDFDEVICE device, DEVICE_REGISTRY_PROPERTY property, ULONG buffer_length,
                                PVOID buffer, PULONG result_length) {
    require_irql_at_most(PASSIVE_LEVEL, (ULONG_PTR)device);
    auto* d = checked<device_object>(device, object_kind::device);
    *result_length = 0;
    if (d->stack == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const device_description& desc = d->stack->description;
    if (std::find(desc.missing_properties.begin(), desc.missing_properties.end(), (int)property) !=
        desc.missing_properties.end()) {
        return STATUS_INVALID_PARAMETER_2;
    }
    std::vector<uint8_t> data;
    auto put_ulong = [&](ULONG v) { data.assign((uint8_t*)&v, (uint8_t*)&v + 4); };
    switch (property) {
        case DevicePropertyHardwareID: {
            std::u16string multi = desc.hardware_id;
            multi.push_back(0);
            multi.push_back(0);
            data.assign((const uint8_t*)multi.data(), (const uint8_t*)multi.data() + multi.size() * 2);
            break;
        }
        case DevicePropertyBusNumber:
            put_ulong(desc.bus_number);
            break;
        case DevicePropertyAddress:
            put_ulong(desc.address);
            break;
        case DevicePropertyUINumber:
            put_ulong(desc.ui_number);
            break;
        default:
            return STATUS_INVALID_PARAMETER_2;
    }
    *result_length = (ULONG)data.size();
    if (buffer_length < data.size()) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(buffer, data.data(), data.size());
    return STATUS_SUCCESS;
}

void WdfFdoInitSetDefaultChildListConfig(PWDFDEVICE_INIT device_init, PWDF_CHILD_LIST_CONFIG config,
                                         PWDF_OBJECT_ATTRIBUTES) {
    device_init->settings.has_child_list = true;
    device_init->settings.child_list = *config;
}
