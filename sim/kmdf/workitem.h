// Framework work items: a callback run at PASSIVE_LEVEL by a system worker thread, owned by a
// device (or an object under one).
#pragma once

#include "sim/kmdf/types.h"

using EVT_WDF_WORKITEM = void(WDFWORKITEM work_item);
using PFN_WDF_WORKITEM = EVT_WDF_WORKITEM*;

struct WDF_WORKITEM_CONFIG {
    ULONG Size;
    PFN_WDF_WORKITEM EvtWorkItemFunc;
    // The callback runs under the parent device's callback lock when the device's
    // synchronisation scope asks for one.
    BOOLEAN AutomaticSerialization;
};
using PWDF_WORKITEM_CONFIG = WDF_WORKITEM_CONFIG*;

inline void WDF_WORKITEM_CONFIG_INIT(PWDF_WORKITEM_CONFIG config, PFN_WDF_WORKITEM function) {
    *config = WDF_WORKITEM_CONFIG{};
    config->Size = sizeof(WDF_WORKITEM_CONFIG);
    config->EvtWorkItemFunc = function;
    config->AutomaticSerialization = TRUE;
}

// attributes->ParentObject must be a device or an object under one. STATUS_INSUFFICIENT_RESOURCES
// when the system has no work item to give; STATUS_INVALID_DEVICE_REQUEST when automatic
// serialisation would need the parent's dispatch-level lock. At most DISPATCH_LEVEL.
NTSTATUS WdfWorkItemCreate(PWDF_WORKITEM_CONFIG config, PWDF_OBJECT_ATTRIBUTES attributes, WDFWORKITEM* work_item);
// Queues the work item unless it is already queued and has not started. A work item queued while
// its callback runs runs again after it: its callback never runs twice at once. At most
// DISPATCH_LEVEL.
void WdfWorkItemEnqueue(WDFWORKITEM work_item);
WDFOBJECT WdfWorkItemGetParentObject(WDFWORKITEM work_item);
// Returns when the work item is neither queued nor running. PASSIVE_LEVEL, not from its own callback.
void WdfWorkItemFlush(WDFWORKITEM work_item);
