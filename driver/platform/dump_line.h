// Hex dumps of memory as debug-log lines.
#pragma once

#include <cstdarg>

#include "driver/platform/os.h"

// Prints `length` bytes as lines of `per_line` bytes (0: one line): the prefix (formatted anew
// for each line), the line's address when the offset format's first conversion is %p or else
// its offset, then every byte in the element format. Lines are at most 255 characters. At most
// DISPATCH_LEVEL.
void kpav_vdump_line(const void* data, ULONG length, ULONG per_line, const char* element_format,
                     const char* offset_format, const char* prefix_format, va_list arguments);
void kpav_dump_line(const void* data, ULONG length, ULONG per_line, const char* element_format,
                    const char* offset_format, const char* prefix_format, ...);
