#include "driver/platform/log.h"

#include "driver/platform/format.h"
#include "driver/platform/kassert.h"
#include "driver/platform/memory.h"
#include "driver/platform/params.h"
#include "driver/platform/trace.h"

namespace {

const char* const level_prefixes[] = {"paverr", "pavwrn", "pavinf", "paveng", "pavdbg"};
constexpr int highest_supported_level = KPAV_LEVEL_ENGINEERING;
constexpr size_t line_size = 512;
constexpr size_t trace_buffer_size = 4096;
constexpr ULONG debug_print_component = DPFLTR_IHVDRIVER_ID;

ULONG debug_level_of(int sink_class) {
    if (sink_class < 0 || sink_class >= KPAV_CLASS_ERROR) {
        return DPFLTR_ERROR_LEVEL;
    }
    return sink_class == KPAV_CLASS_WARNING ? DPFLTR_WARNING_LEVEL : DPFLTR_INFO_LEVEL;
}

int sink_class_of(int level) {
    switch (level) {
        case KPAV_LEVEL_ERROR:
            return KPAV_CLASS_ERROR;
        case KPAV_LEVEL_WARNING:
            return KPAV_CLASS_WARNING;
        default:
            return KPAV_CLASS_NORMAL;
    }
}

// Copies `text` into `out` with every '%' doubled, so that a component name (which may come
// from a user's partition name) is printed as it stands rather than expanded.
void copy_escaping_percent(char* out, size_t size, const char* text) {
    size_t n = 0;
    for (; *text != 0 && n + 2 < size; text++) {
        if (*text == '%') {
            out[n++] = '%';
        }
        out[n++] = *text;
    }
    out[n] = 0;
}

}  // namespace

void kpav_vprint(int sink_class, const char* format, va_list arguments) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    // The debug print may be used up to device interrupt level, pool (for the trace) only up to
    // DISPATCH_LEVEL; while the system stops (HIGH_LEVEL) neither may.
    KIRQL irql = KeGetCurrentIrql();
    if (irql >= CLOCK_LEVEL) {
        return;
    }
    va_list for_trace;
    va_copy(for_trace, arguments);
    vDbgPrintEx(debug_print_component, debug_level_of(sink_class), format, arguments);
    if (irql > DISPATCH_LEVEL || (sink_class == KPAV_CLASS_NORMAL && win_log_verbose == 0)) {
        va_end(for_trace);
        return;
    }
    if (!kpav_trace_class_enabled(sink_class)) {
        va_end(for_trace);
        return;
    }
    auto* text = (char*)kpav_alloc(trace_buffer_size, KPAV_TAG_LOG);
    if (text != nullptr) {
        kpav_vsnprintf(text, trace_buffer_size, format, for_trace);
        kpav_trace_write(sink_class, text);
        kpav_free(text, KPAV_TAG_LOG);
    }
    va_end(for_trace);
}

void kpav_print(int sink_class, const char* format, ...) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    va_list ap;
    va_start(ap, format);
    kpav_vprint(sink_class, format, ap);
    va_end(ap);
}

void kpav_vdbgprint(const char* format, va_list arguments) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    kpav_vprint(KPAV_CLASS_NORMAL, format, arguments);
}

void kpav_dbgprint(const char* format, ...) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    va_list ap;
    va_start(ap, format);
    kpav_vdbgprint(format, ap);
    va_end(ap);
}

int kpav_syslog(int level, const char* component, ULONG message_id, const char* format, ...) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    char number[7] = "";
    if (message_id != KPAV_NO_MESSAGE_ID) {
        kpav_snprintf(number, sizeof number, "%05d ", (int)message_id);
    }
    bool supported = level >= 0 && level <= highest_supported_level;
    const char* prefix = supported ? level_prefixes[level] : level_prefixes[ARRAYSIZE(level_prefixes) - 1];
    char line[line_size];
    int built;
    if (component != nullptr && component[0] != 0) {
        char escaped[line_size];
        copy_escaping_percent(escaped, sizeof escaped, component);
        built = kpav_snprintf(line, sizeof line, "%s %s: %s%s", prefix, escaped, number, format);
    } else {
        built = kpav_snprintf(line, sizeof line, "%s %s%s", prefix, number, format);
    }
    int sink_class = sink_class_of(level);
    if (!supported) {
        kpav_print(KPAV_CLASS_ERROR, "Unsupported message level: %d\n", level);
        sink_class = KPAV_CLASS_NORMAL;
    }
    va_list ap;
    va_start(ap, format);
    kpav_vprint(sink_class, built > 0 ? line : format, ap);
    va_end(ap);
    return 0;
}
