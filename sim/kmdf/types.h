// The framework's handles, object attributes and typed contexts, as the driver sees them.
#pragma once

#include "sim/kernel/types.h"

// Every framework object is reached through a handle; WDFOBJECT takes any of them.
using WDFOBJECT = PVOID;
#define WDF_DECLARE_HANDLE(name) \
    struct name##__;             \
    using name = name##__*
WDF_DECLARE_HANDLE(WDFDRIVER);
WDF_DECLARE_HANDLE(WDFDEVICE);
WDF_DECLARE_HANDLE(WDFWORKITEM);
using WDFCONTEXT = PVOID;

enum WDF_TRI_STATE { WdfFalse = 0, WdfTrue = 1, WdfUseDefault = 2 };
using LCID = ULONG;

#define WDF_NO_OBJECT_ATTRIBUTES nullptr
#define WDF_NO_HANDLE nullptr

// Stop code of a framework rule broken by the driver (an invalid handle, a PnP device deleted
// by the driver, a work item queued after its deletion, ...).
#define WDF_VIOLATION 0x0000010Du

enum WDF_EXECUTION_LEVEL {
    WdfExecutionLevelInvalid = 0,
    WdfExecutionLevelInheritFromParent,
    WdfExecutionLevelPassive,
    WdfExecutionLevelDispatch,
};

enum WDF_SYNCHRONIZATION_SCOPE {
    WdfSynchronizationScopeInvalid = 0,
    WdfSynchronizationScopeInheritFromParent,
    WdfSynchronizationScopeDevice,
    WdfSynchronizationScopeQueue,
    WdfSynchronizationScopeNone,
};

using EVT_WDF_OBJECT_CONTEXT_CLEANUP = void(WDFOBJECT object);
using PFN_WDF_OBJECT_CONTEXT_CLEANUP = EVT_WDF_OBJECT_CONTEXT_CLEANUP*;
using EVT_WDF_OBJECT_CONTEXT_DESTROY = void(WDFOBJECT object);
using PFN_WDF_OBJECT_CONTEXT_DESTROY = EVT_WDF_OBJECT_CONTEXT_DESTROY*;

struct WDF_OBJECT_CONTEXT_TYPE_INFO {
    ULONG Size;
    PCSTR ContextName;
    size_t ContextSize;
    // The record that identifies the type: itself, for types declared with the macros below.
    const WDF_OBJECT_CONTEXT_TYPE_INFO* UniqueType;
    PVOID EvtDriverGetUniqueContextType;
};
using PWDF_OBJECT_CONTEXT_TYPE_INFO = WDF_OBJECT_CONTEXT_TYPE_INFO*;
using PCWDF_OBJECT_CONTEXT_TYPE_INFO = const WDF_OBJECT_CONTEXT_TYPE_INFO*;

struct WDF_OBJECT_ATTRIBUTES {
    ULONG Size;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback;  // when the object is deleted, children first
    PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback;  // when its last reference goes
    WDF_EXECUTION_LEVEL ExecutionLevel;
    WDF_SYNCHRONIZATION_SCOPE SynchronizationScope;
    WDFOBJECT ParentObject;
    size_t ContextSizeOverride;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO ContextTypeInfo;
};
using PWDF_OBJECT_ATTRIBUTES = WDF_OBJECT_ATTRIBUTES*;

inline void WDF_OBJECT_ATTRIBUTES_INIT(PWDF_OBJECT_ATTRIBUTES attributes) {
    *attributes = WDF_OBJECT_ATTRIBUTES{};
    attributes->Size = sizeof(WDF_OBJECT_ATTRIBUTES);
    attributes->ExecutionLevel = WdfExecutionLevelInheritFromParent;
    attributes->SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
}

// Declares the type record of a context type and its accessor `casting_function(handle)`,
// which returns the object's context of that type (NULL when the object has none).
#define WDF_GET_CONTEXT_TYPE_INFO(context_type) (&WDF_##context_type##_TYPE_INFO)
#define WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(context_type, casting_function)                                   \
    inline const WDF_OBJECT_CONTEXT_TYPE_INFO WDF_##context_type##_TYPE_INFO = {                             \
        sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), #context_type, sizeof(context_type),                           \
        &WDF_##context_type##_TYPE_INFO, nullptr};                                                           \
    inline context_type* casting_function(WDFOBJECT handle) {                                                \
        return (context_type*)WdfObjectGetTypedContextWorker(handle, WDF_GET_CONTEXT_TYPE_INFO(context_type)); \
    }
#define WDF_DECLARE_CONTEXT_TYPE(context_type) \
    WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(context_type, WdfObjectGet_##context_type)

#define WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(attributes, context_type) \
    ((attributes)->ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(context_type)->UniqueType)
#define WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(attributes, context_type) \
    (WDF_OBJECT_ATTRIBUTES_INIT(attributes), WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(attributes, context_type))

#define WdfObjectGetTypedContext(handle, context_type) \
    ((context_type*)WdfObjectGetTypedContextWorker((handle), WDF_GET_CONTEXT_TYPE_INFO(context_type)))

PVOID WdfObjectGetTypedContextWorker(WDFOBJECT handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO type_info);
