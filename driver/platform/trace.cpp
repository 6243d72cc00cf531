#include "driver/platform/trace.h"

#include "driver/platform/kassert.h"
#include "driver/platform/log.h"

const GUID kpav_trace_provider_id = {0xCA56A5D7, 0x075E, 0x4169, {0xA6, 0x9C, 0x37, 0xEA, 0x24, 0x15, 0xE6, 0x67}};

namespace {

constexpr ULONGLONG event_keyword = 0x8000000000000000ull;
constexpr USHORT event_task = 2;
constexpr UCHAR event_opcode = 11;
constexpr UCHAR event_channel = 8;

const EVENT_DESCRIPTOR info_event = {4, 0, event_channel, 4, event_opcode, event_task, event_keyword};
const EVENT_DESCRIPTOR warning_event = {5, 0, event_channel, 3, event_opcode, event_task, event_keyword};
const EVENT_DESCRIPTOR error_event = {6, 0, event_channel, 2, event_opcode, event_task, event_keyword};

REGHANDLE provider_handle = 0;
volatile LONG enable_bits = 0;

const EVENT_DESCRIPTOR& event_of(int sink_class, ULONG* enable_bit) {
    if (sink_class == KPAV_CLASS_WARNING) {
        *enable_bit = KPAV_TRACE_WARNING_ENABLED;
        return warning_event;
    }
    if (sink_class == KPAV_CLASS_ERROR) {
        *enable_bit = KPAV_TRACE_ERROR_ENABLED;
        return error_event;
    }
    *enable_bit = KPAV_TRACE_INFO_ENABLED;  // 0, 1, negative and unknown classes
    return info_event;
}

// A session enables the provider up to a level for some keywords; each event whose level and
// keyword it covers gets its bit.
void enable_callback(LPCGUID, ULONG control_code, UCHAR level, ULONGLONG match_any_keyword, ULONGLONG,
                     PEVENT_FILTER_DESCRIPTOR, PVOID) {
    LONG bits = 0;
    if (control_code == EVENT_CONTROL_CODE_ENABLE_PROVIDER &&
        (match_any_keyword == 0 || (match_any_keyword & event_keyword) != 0)) {
        const EVENT_DESCRIPTOR* events[] = {&info_event, &warning_event, &error_event};
        const LONG event_bits[] = {KPAV_TRACE_INFO_ENABLED, KPAV_TRACE_WARNING_ENABLED, KPAV_TRACE_ERROR_ENABLED};
        for (int i = 0; i < 3; i++) {
            if (level == 0 || events[i]->Level <= level) {
                bits |= event_bits[i];
            }
        }
    }
    InterlockedExchange(&enable_bits, bits);
}

}  // namespace

NTSTATUS kpav_trace_register() {
    PAGED_CODE();
    return EtwRegister(&kpav_trace_provider_id, enable_callback, nullptr, &provider_handle);
}

void kpav_trace_unregister() {
    PAGED_CODE();
    if (provider_handle != 0) {
        EtwUnregister(provider_handle);
        provider_handle = 0;
    }
    InterlockedExchange(&enable_bits, 0);
}

bool kpav_trace_is_registered() {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    return provider_handle != 0;
}

bool kpav_trace_class_enabled(int sink_class) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    ULONG bit;
    event_of(sink_class, &bit);
    return (ReadNoFence(&enable_bits) & (LONG)bit) != 0;
}

void kpav_trace_write(int sink_class, const char* text) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG bit;
    const EVENT_DESCRIPTOR& event = event_of(sink_class, &bit);
    if (provider_handle == 0 || (ReadNoFence(&enable_bits) & (LONG)bit) == 0) {
        return;
    }
    const char* field = text != nullptr ? text : "NULL";
    EVENT_DATA_DESCRIPTOR data;
    EventDataDescCreate(&data, field, (ULONG)(strlen(field) + 1));
    EtwWrite(provider_handle, &event, nullptr, 1, &data);
}
