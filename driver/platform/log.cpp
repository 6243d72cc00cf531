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

// The lines levelled messages are built in. A message may be logged at any IRQL up to
// HIGH_LEVEL, where no pool can be had, and a line is too big for a kernel stack; so each
// processor has a line per IRQL band, taken with the processor raised to the top of its band,
// where nothing else that runs on that processor can want the same line: no DPC interrupts
// DISPATCH_LEVEL, no device interrupt the highest device level. Processors that share a line
// (past the table, or of another processor group) wait for it while it is busy.
constexpr ULONG line_processors = 16;
constexpr KIRQL highest_device_level = CLOCK_LEVEL - 1;

enum line_band { band_dispatch, band_device, band_count };

struct log_line {
    volatile LONG busy;
    char text[line_size];
};

log_line lines[band_count][line_processors];

// Raises to the band of the caller's IRQL and takes this processor's line of it.
log_line* take_line(KIRQL* old_irql) {
    KPAV_IRQL_BELOW(CLOCK_LEVEL);
    bool device = KeGetCurrentIrql() > DISPATCH_LEVEL;
    KeRaiseIrql(device ? highest_device_level : (KIRQL)DISPATCH_LEVEL, old_irql);
    log_line* line = &lines[device ? band_device : band_dispatch][KeGetCurrentProcessorNumber() % line_processors];
    while (InterlockedCompareExchange(&line->busy, 1, 0) != 0) {
        YieldProcessor();
    }
    return line;
}

void give_line(log_line* line, KIRQL old_irql) {
    KPAV_IRQL_BELOW(CLOCK_LEVEL);
    InterlockedExchange(&line->busy, 0);
    KeLowerIrql(old_irql);
}

// Appends `text` to the line at *length, cut at the line's end. With `escape` every '%' is
// doubled, so that a component name (which may come from a user's partition name) is printed
// as it stands rather than expanded.
void append(char* line, size_t* length, const char* text, bool escape) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    size_t n = *length;
    for (; *text != 0; text++) {
        bool doubled = escape && *text == '%';
        if (n + (doubled ? 2 : 1) >= line_size) {
            break;
        }
        if (doubled) {
            line[n++] = '%';
        }
        line[n++] = *text;
    }
    line[n] = 0;
    *length = n;
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
    if (KeGetCurrentIrql() >= CLOCK_LEVEL) {
        return 0;  // no sink takes a line while the system stops
    }
    bool supported = level >= 0 && level <= highest_supported_level;
    const char* prefix = supported ? level_prefixes[level] : level_prefixes[ARRAYSIZE(level_prefixes) - 1];
    int sink_class = sink_class_of(level);
    if (!supported) {
        kpav_print(KPAV_CLASS_ERROR, "Unsupported message level: %d\n", level);
        sink_class = KPAV_CLASS_NORMAL;
    }
    KIRQL old_irql;
    log_line* line = take_line(&old_irql);
    size_t length = 0;
    append(line->text, &length, prefix, false);
    append(line->text, &length, " ", false);
    if (component != nullptr && component[0] != 0) {
        append(line->text, &length, component, true);
        append(line->text, &length, ": ", false);
    }
    if (message_id != KPAV_NO_MESSAGE_ID) {
        length += (size_t)kpav_snprintf(line->text + length, line_size - length, "%05d ", (int)message_id);
    }
    append(line->text, &length, format, false);
    va_list ap;
    va_start(ap, format);
    kpav_vprint(sink_class, line->text, ap);
    va_end(ap);
    give_line(line, old_irql);
    return 0;
}
