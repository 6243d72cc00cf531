// printf-style formatting with the meanings the kernel's own formatter gives to a format string
// on 64-bit Windows (LLP64), so that driver code formats the same text here as on the target.
//
// What differs from the host C library:
//   - `l` on an integer conversion means 32 bits (LONG/ULONG). 64 bits is `ll`, `I64`, or one of
//     the pointer-sized modifiers `I`, `z`, `t`, `j`. `I32` is 32 bits. `L` on an integer
//     conversion is ignored (the value is an int).
//   - Strings and characters: in a narrow format `%s`/`%c` are narrow and `%S`/`%C` wide; in a
//     wide format it is the other way round. `h` always means narrow, `l` and `w` always wide
//     (`%hs`, `%ls`, `%ws`, `%wc`, ...). A NULL string prints "(null)".
//   - `%Z` takes an ANSI_STRING* and prints its Length bytes; `%wZ` (or `%lZ`) takes a
//     UNICODE_STRING* and prints Length/2 characters. A NULL structure or Buffer prints "(null)".
//   - `%p` prints the pointer as 16 upper-case hex digits without a prefix (00000000DEADBEEF).
//   - `%n` consumes its pointer argument, prints nothing and writes nothing through it.
//   - An unknown conversion character is printed as it is (`%y` prints "y"). A `%` at the very
//     end of the format prints nothing.
//
// Text in the other width is converted: a wide string printed into narrow output becomes
// UTF-8, a narrow string printed into wide output is read as UTF-8 and becomes UTF-16. A unit
// that does not decode (a lone surrogate, a stray or malformed UTF-8 byte) becomes '?'. Text in
// the output's own width is copied unit for unit, unchanged. Width and precision count output
// units (bytes in narrow output, 16-bit units in wide output); when converting, precision never
// cuts a character in half.
//
// Floating-point conversions (e E f F g G a A) take a double, or a long double with `L`, and
// get their digits from the host C library, so inf/nan spellings and `%a` follow the host.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace sim::kernel {

// Formats into buf, writing at most size-1 characters and a terminating NUL when size > 0 (buf
// may be NULL when size is 0). Returns the length of the complete text, not counting the NUL,
// whether or not it fit. Each argument is taken from ap exactly once, in order.
size_t vformat(char* buf, size_t size, const char* fmt, va_list ap);

// The same for a 16-bit wide format and output; count is in characters.
size_t vformat_wide(char16_t* buf, size_t count, const char16_t* fmt, va_list ap);

// True when fmt contains a %n conversion (a "%%n" is not one). The bounded print routines
// refuse such a format before formatting anything.
bool format_uses_n(const char* fmt);
bool format_uses_n(const char16_t* fmt);

}  // namespace sim::kernel
