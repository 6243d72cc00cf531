// Bounded string routines: print, length, copy and concatenate into a buffer of known size,
// always leaving it NUL-terminated.
//
// Sizes are in bytes for the Cb routines and in characters for the Cch routines; a buffer may
// hold at most NTSTRSAFE_MAX_CCH characters. Results:
//   STATUS_SUCCESS            the whole text was written.
//   STATUS_BUFFER_OVERFLOW    the text was cut to fit; the buffer's last character is NUL.
//   STATUS_INVALID_PARAMETER  the size is 0 or above the maximum, a pointer is NULL, or a print
//                             format contains %n. Print and copy routines then set the first
//                             character to NUL when the size is not 0. Cat leaves dest alone.
// Print routines format as sim::kernel::vformat does (see format.h).
#pragma once

#include <cstdarg>
#include <cstddef>

#include "sim/kernel/types.h"

#define NTSTRSAFE_MAX_CCH 2147483647

NTSTATUS RtlStringCbVPrintfA(PSTR dest, size_t cbDest, PCSTR fmt, va_list ap);
NTSTATUS RtlStringCbPrintfA(PSTR dest, size_t cbDest, PCSTR fmt, ...);
NTSTATUS RtlStringCchVPrintfA(PSTR dest, size_t cchDest, PCSTR fmt, va_list ap);
NTSTATUS RtlStringCchPrintfA(PSTR dest, size_t cchDest, PCSTR fmt, ...);

NTSTATUS RtlStringCbVPrintfW(PWSTR dest, size_t cbDest, PCWSTR fmt, va_list ap);
NTSTATUS RtlStringCbPrintfW(PWSTR dest, size_t cbDest, PCWSTR fmt, ...);
NTSTATUS RtlStringCchVPrintfW(PWSTR dest, size_t cchDest, PCWSTR fmt, va_list ap);
NTSTATUS RtlStringCchPrintfW(PWSTR dest, size_t cchDest, PCWSTR fmt, ...);

// Length of psz in bytes/characters, not counting the NUL, which must lie within the first
// cbMax bytes / cchMax characters. *pcb (optional) is set to 0 on failure.
NTSTATUS RtlStringCbLengthA(PCSTR psz, size_t cbMax, size_t* pcbLength);
NTSTATUS RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength);

NTSTATUS RtlStringCbCopyA(PSTR dest, size_t cbDest, PCSTR src);
NTSTATUS RtlStringCbCopyW(PWSTR dest, size_t cbDest, PCWSTR src);

// Appends src to the string already in dest. dest must hold a NUL within cbDest bytes.
NTSTATUS RtlStringCbCatA(PSTR dest, size_t cbDest, PCSTR src);
