// Counted strings: initialisation and conversion between UTF-16 and the narrow character set.
//
// The stand-in's narrow character set is Latin-1: UTF-16 characters above 0xFF become '?', as
// characters outside the system's code page do.
#pragma once

#include "sim/kernel/types.h"

using PCANSI_STRING = const ANSI_STRING*;

void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source);
void RtlInitAnsiString(PANSI_STRING destination, PCSTR source);

// With `allocate` the destination buffer comes from pool and is freed with the matching
// RtlFree...String; without it the destination's own buffer is used and a text that does not
// fit is cut (STATUS_BUFFER_OVERFLOW). The destination is NUL-terminated when there is room.
NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING destination, PCANSI_STRING source, BOOLEAN allocate);
NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING destination, PCUNICODE_STRING source, BOOLEAN allocate);
void RtlFreeUnicodeString(PUNICODE_STRING string);
void RtlFreeAnsiString(PANSI_STRING string);

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN case_insensitive);
WCHAR RtlUpcaseUnicodeChar(WCHAR c);
