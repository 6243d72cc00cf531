// Kernel debug print and event tracing. Both are captured by the stand-in (control.h) so that
// tests can read every line and every event, and echoed to the machine's log.
#pragma once

#include <cstdarg>

#include "sim/kernel/types.h"

#define DPFLTR_IHVDRIVER_ID 77
#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3

ULONG DbgPrintEx(ULONG component_id, ULONG level, PCSTR format, ...);
ULONG vDbgPrintEx(ULONG component_id, ULONG level, PCSTR format, va_list arguments);
ULONG DbgPrint(PCSTR format, ...);

// Event tracing
using REGHANDLE = ULONGLONG;
using PREGHANDLE = REGHANDLE*;

struct EVENT_DESCRIPTOR {
    USHORT Id;
    UCHAR Version;
    UCHAR Channel;
    UCHAR Level;
    UCHAR Opcode;
    USHORT Task;
    ULONGLONG Keyword;
};
using PCEVENT_DESCRIPTOR = const EVENT_DESCRIPTOR*;
static_assert(sizeof(EVENT_DESCRIPTOR) == 16);

struct EVENT_DATA_DESCRIPTOR {
    ULONGLONG Ptr;
    ULONG Size;
    ULONG Reserved;
};
using PEVENT_DATA_DESCRIPTOR = EVENT_DATA_DESCRIPTOR*;

inline void EventDataDescCreate(PEVENT_DATA_DESCRIPTOR d, const void* data, ULONG size) {
    d->Ptr = (ULONGLONG)(ULONG_PTR)data;
    d->Size = size;
    d->Reserved = 0;
}

struct EVENT_FILTER_DESCRIPTOR;
using PEVENT_FILTER_DESCRIPTOR = EVENT_FILTER_DESCRIPTOR*;

#define EVENT_CONTROL_CODE_DISABLE_PROVIDER 0
#define EVENT_CONTROL_CODE_ENABLE_PROVIDER 1

using PETWENABLECALLBACK = void (*)(LPCGUID source_id, ULONG control_code, UCHAR level,
                                    ULONGLONG match_any_keyword, ULONGLONG match_all_keyword,
                                    PEVENT_FILTER_DESCRIPTOR filter_data, PVOID callback_context);

NTSTATUS EtwRegister(LPCGUID provider_id, PETWENABLECALLBACK enable_callback, PVOID callback_context,
                     PREGHANDLE reg_handle);
NTSTATUS EtwUnregister(REGHANDLE reg_handle);
NTSTATUS EtwWrite(REGHANDLE reg_handle, PCEVENT_DESCRIPTOR descriptor, LPCGUID activity_id,
                  ULONG user_data_count, PEVENT_DATA_DESCRIPTOR user_data);
