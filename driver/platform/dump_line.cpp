#include "driver/platform/dump_line.h"

#include "driver/platform/format.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"

namespace {

constexpr size_t dump_line_size = 256;

// True when the format's first conversion is %p.
bool first_conversion_is_pointer(const char* format) {
    for (const char* p = format; *p != 0; p++) {
        if (*p != '%') {
            continue;
        }
        if (p[1] == '%') {
            p++;
            continue;
        }
        return p[1] == 'p';
    }
    return false;
}

// Appends formatted text to a dump line, bounded by the room left.
void append(char* line, const char* format, ...) {
    size_t used = strnlen(line, dump_line_size);
    if (used + 1 >= dump_line_size) {
        return;
    }
    va_list ap;
    va_start(ap, format);
    kpav_vsnprintf(line + used, dump_line_size - used, format, ap);
    va_end(ap);
}

}  // namespace

void kpav_vdump_line(const void* data, ULONG length, ULONG per_line, const char* element_format,
                     const char* offset_format, const char* prefix_format, va_list arguments) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (length == 0) {
        return;
    }
    const auto* bytes = (const UCHAR*)data;
    ULONG line_bytes = per_line != 0 ? per_line : length;
    bool address = offset_format != nullptr && first_conversion_is_pointer(offset_format);
    for (ULONG start = 0; start < length; start += line_bytes) {
        char line[dump_line_size];
        line[0] = 0;
        if (prefix_format != nullptr) {
            va_list prefix_arguments;
            va_copy(prefix_arguments, arguments);
            kpav_vsnprintf(line, dump_line_size, prefix_format, prefix_arguments);
            va_end(prefix_arguments);
        }
        if (offset_format != nullptr) {
            if (address) {
                append(line, offset_format, bytes + start);
            } else {
                append(line, offset_format, start);
            }
        }
        ULONG end = length - start < line_bytes ? length : start + line_bytes;
        for (ULONG i = start; i < end; i++) {
            append(line, element_format, bytes[i]);
        }
        kpav_print(KPAV_CLASS_NORMAL, "%s\n", line);
    }
}

void kpav_dump_line(const void* data, ULONG length, ULONG per_line, const char* element_format,
                    const char* offset_format, const char* prefix_format, ...) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    va_list ap;
    va_start(ap, prefix_format);
    kpav_vdump_line(data, length, per_line, element_format, offset_format, prefix_format, ap);
    va_end(ap);
}

