// The driver's trace provider: three events (information, warning, error) that carry one
// message text each. The enable word is kept by the provider's enable callback.
#pragma once

#include "driver/platform/os.h"

extern const GUID kpav_trace_provider_id;

// Enable bits of the three events.
constexpr ULONG KPAV_TRACE_INFO_ENABLED = 0x2;
constexpr ULONG KPAV_TRACE_WARNING_ENABLED = 0x4;
constexpr ULONG KPAV_TRACE_ERROR_ENABLED = 0x8;

NTSTATUS kpav_trace_register();
void kpav_trace_unregister();
bool kpav_trace_is_registered();
// Whether the event of a sink class is enabled, and its write.
bool kpav_trace_class_enabled(int sink_class);
void kpav_trace_write(int sink_class, const char* text);
