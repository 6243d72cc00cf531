#include "driver/platform/work.h"

#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"

namespace {

struct tavrin_work_context {
    tavrin_work* work;
    PDEVICE_OBJECT device_object;  // referenced by the enumeration; released after the run
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(tavrin_work_context, tavrin_work_context_of)

void run_tavrin_work(WDFWORKITEM item) {
    tavrin_work_context* context = tavrin_work_context_of(item);
    context->work->function(context->work);
    ObDereferenceObject(context->device_object);
    WdfObjectDelete(item);
}

// The driver's first device object, referenced; NULL when it has none.
PDEVICE_OBJECT first_device_object() {
    WDFDRIVER driver = WdfGetDriver();
    if (driver == nullptr) {
        return nullptr;
    }
    // Only an entry that the enumeration filled carries a reference: start from an empty one.
    PDEVICE_OBJECT devices[1] = {nullptr};
    ULONG count = 0;
    NTSTATUS status =
        IoEnumerateDeviceObjectList(WdfDriverWdmGetDriverObject(driver), devices, sizeof devices, &count);
    bool listed = (status == STATUS_SUCCESS && count >= 1) || status == STATUS_BUFFER_TOO_SMALL;
    if (!listed) {
        if (devices[0] != nullptr) {
            ObDereferenceObject(devices[0]);
        }
        return nullptr;
    }
    return devices[0];
}

}  // namespace

int tavrin_schedule_work(tavrin_work* work) {
    KPAV_IRQL_AT_MOST(APC_LEVEL);
    PDEVICE_OBJECT device_object = first_device_object();
    if (device_object == nullptr) {
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 6167,
                    "Failed to enumerate device object during tavrin_schedule_work.\n");
        return -KPAV_ENODEV;
    }
    work->device = WdfWdmDeviceGetWdfDeviceHandle(device_object);
    WDFWORKITEM item = nullptr;
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    if (work->device != nullptr) {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, tavrin_work_context);
        attributes.ParentObject = work->device;
        WDF_WORKITEM_CONFIG config;
        WDF_WORKITEM_CONFIG_INIT(&config, run_tavrin_work);
        config.AutomaticSerialization = TRUE;
        status = WdfWorkItemCreate(&config, &attributes, &item);
    }
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(device_object);
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 6168, "Failed to create work item in tavrin_schedule_work.\n");
        return -KPAV_ENOMEM;
    }
    tavrin_work_context* context = tavrin_work_context_of(item);
    context->work = work;
    context->device_object = device_object;
    WdfWorkItemEnqueue(item);
    return 0;
}
