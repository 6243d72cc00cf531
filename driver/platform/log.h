// The driver's kernel log: a levelled line with a component and a message number
// (kpav_syslog), a direct print with a sink class (kpav_print), and the one sink that both
// reach (kpav_vprint), which writes to the kernel debug print and, when enabled, to the trace
// provider.
#pragma once

#include <cstdarg>

#include "driver/platform/os.h"

// Component of driver-wide messages.
#define KPAV_DRIVER_COMPONENT "Corvane driver"
// Message number of a line that carries none.
constexpr ULONG KPAV_NO_MESSAGE_ID = 0xFFFFFFFFu;

// Sink classes of the direct print.
enum kpav_sink_class : int {
    KPAV_CLASS_NORMAL = 0,
    KPAV_CLASS_NORMAL_TRACED = 1,  // traced even when verbose logging is off
    KPAV_CLASS_WARNING = 2,
    KPAV_CLASS_ERROR = 3,
};

// Levels of the levelled log.
enum kpav_level : int {
    KPAV_LEVEL_ERROR = 0,
    KPAV_LEVEL_WARNING = 1,
    KPAV_LEVEL_INFO = 2,
    KPAV_LEVEL_ENGINEERING = 3,
};

// Prints "<prefix> <component>: <number> <text>"; the component may be NULL or empty, the
// message id KPAV_NO_MESSAGE_ID. Returns 0.
int kpav_syslog(int level, const char* component, ULONG message_id, const char* format, ...);
void kpav_print(int sink_class, const char* format, ...);
void kpav_vprint(int sink_class, const char* format, va_list arguments);
// Raw dumps: debug level information, traced as information when verbose logging is on.
void kpav_dbgprint(const char* format, ...);
void kpav_vdbgprint(const char* format, va_list arguments);
