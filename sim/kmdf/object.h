// Framework objects in general: creation of plain objects, extra contexts, references and
// deletion. Deleting an object deletes its children first; each object's EvtCleanupCallback
// runs as it is deleted and its EvtDestroyCallback when its last reference goes (a child holds
// a reference on its parent, so a parent is destroyed after its children).
#pragma once

#include "sim/kmdf/types.h"

// A general object; its parent is ParentObject, or the driver when none is given.
// At most DISPATCH_LEVEL.
NTSTATUS WdfObjectCreate(PWDF_OBJECT_ATTRIBUTES attributes, WDFOBJECT* object);
// Adds a context of another type (STATUS_OBJECT_NAME_EXISTS when it has one of that type).
NTSTATUS WdfObjectAllocateContext(WDFOBJECT handle, PWDF_OBJECT_ATTRIBUTES context_attributes, PVOID* context);
// Deletes the object and its children. A PnP device is deleted by the framework only. A work
// item is flushed first, unless it is deleted from its own callback. At most DISPATCH_LEVEL
// (PASSIVE_LEVEL when a work item has to be waited for).
void WdfObjectDelete(WDFOBJECT object);
void WdfObjectReference(WDFOBJECT handle);
void WdfObjectDereference(WDFOBJECT handle);
