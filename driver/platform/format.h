// Bounded formatted print and number parsing for the whole driver.
#pragma once

#include <cstdarg>

#include "driver/platform/os.h"

// The core: formats into `buffer` of `size` bytes. STATUS_SUCCESS when the text fit,
// STATUS_BUFFER_OVERFLOW when it was cut (the last byte is then NUL), STATUS_INVALID_PARAMETER
// when the size is 0 or 0x80000000 or more (the first byte is NUL when the size is not 0).
NTSTATUS kpav_vsnprintf_core(char* buffer, size_t size, const char* format, va_list arguments);

// Formats into `buffer`, always NUL-terminated and cut to size - 1 characters; returns the
// length stored. A NULL buffer only measures (through a temporary buffer of `size` bytes, 4096
// when 0; -KPAV_ENOMEM when that cannot be had). A buffer of size 0 receives nothing and 0 is
// returned.
int kpav_vsnprintf(char* buffer, size_t size, const char* format, va_list arguments);
int kpav_snprintf(char* buffer, size_t size, const char* format, ...);

// The value of a hexadecimal digit (either case), or -1.
int kpav_hex_digit(char c);

// Parses a number in `base` (up to 16; base 16 accepts a leading "0x"). Parsing stops at the
// first character that is not a digit of the base; `end`, when given, points at it. A value
// that does not fit the type gives all ones (-1).
LONG kpav_strtoul(const char* text, const char** end, ULONG base);
ULONGLONG kpav_strtoull(const char* text, const char** end, ULONG base);
