// The formatter behind vformat and vformat_wide. One engine, templated on the output character
// type; see format.h for the meanings it gives to a format.
#include "sim/kernel/format.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>
#include <type_traits>

#include "sim/kernel/types.h"

namespace sim::kernel {
namespace {

enum : unsigned { kLeft = 1, kPlus = 2, kSpace = 4, kAlt = 8, kZero = 16 };

// Argument size chosen by the length modifier. Ptr covers I, z, t and j, all 64 bits here.
enum class Len { None, HH, H, L, LL, I64, I32, Ptr, BigL, W };

// Flags, width, precision and length modifier of one conversion.
struct Field {
    unsigned flags = 0;
    int width = 0;
    bool width_arg = false;
    int precision = -1;  // -1: none given
    bool precision_arg = false;
    Len len = Len::None;
};

template <class Ch>
unsigned flag_of(Ch c) {
    switch (c) {
        case '-': return kLeft;
        case '+': return kPlus;
        case ' ': return kSpace;
        case '#': return kAlt;
        case '0': return kZero;
        default: return 0;
    }
}

// Reads decimal digits, saturating at INT_MAX.
template <class Ch>
int parse_number(const Ch*& p) {
    int v = 0;
    while (*p >= '0' && *p <= '9') {
        const int d = static_cast<int>(*p - '0');
        v = (v > (INT_MAX - d) / 10) ? INT_MAX : v * 10 + d;
        ++p;
    }
    return v;
}

// Parses flags, width, precision and length modifier. p points just past the '%' and is left
// on the conversion character (or on the terminating NUL).
template <class Ch>
Field parse_field(const Ch*& p) {
    Field s;
    for (unsigned f; (f = flag_of(*p)) != 0; ++p) {
        s.flags |= f;
    }
    if (*p == '*') {
        s.width_arg = true;
        ++p;
    } else {
        s.width = parse_number(p);
    }
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            s.precision_arg = true;
            ++p;
        } else {
            s.precision = parse_number(p);
        }
    }
    switch (*p) {
        case 'h':
            ++p;
            if (*p == 'h') {
                ++p;
                s.len = Len::HH;
            } else {
                s.len = Len::H;
            }
            break;
        case 'l':
            ++p;
            if (*p == 'l') {
                ++p;
                s.len = Len::LL;
            } else {
                s.len = Len::L;
            }
            break;
        case 'I':
            ++p;
            if (p[0] == '6' && p[1] == '4') {
                p += 2;
                s.len = Len::I64;
            } else if (p[0] == '3' && p[1] == '2') {
                p += 2;
                s.len = Len::I32;
            } else {
                s.len = Len::Ptr;
            }
            break;
        case 'z':
        case 't':
        case 'j':
            ++p;
            s.len = Len::Ptr;
            break;
        case 'L':
            ++p;
            s.len = Len::BigL;
            break;
        case 'w':
            ++p;
            s.len = Len::W;
            break;
        default:
            break;
    }
    return s;
}

// Collects output, keeping at most room units in the buffer and counting everything.
template <class Ch>
class Sink {
public:
    Sink(Ch* buf, size_t size) : buf_(buf), room_(size != 0 ? size - 1 : 0) {}

    void put(Ch c) {
        if (n_ < room_) {
            buf_[n_] = c;
        }
        ++n_;
    }

    void fill(Ch c, size_t count) {
        for (; count != 0 && n_ < room_; --count) {
            buf_[n_++] = c;
        }
        n_ += count;
    }

    void put_ascii(const char* s, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            put(static_cast<Ch>(s[i]));
        }
    }

    void terminate() {
        if (buf_ != nullptr) {
            buf_[n_ < room_ ? n_ : room_] = 0;
        }
    }

    size_t length() const { return n_; }

private:
    Ch* buf_;
    size_t room_;
    size_t n_ = 0;
};

size_t padding(const Field& s, size_t content) {
    const auto width = static_cast<size_t>(s.width);
    return width > content ? width - content : 0;
}

// ---------------------------------------------------------------------------------------------
// Integers

template <class Ch>
void put_integer(Sink<Ch>& out, const Field& s, uint64_t magnitude, bool negative, bool is_signed,
                 unsigned base, bool upper) {
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char digits[24];
    size_t nd = 0;
    for (uint64_t v = magnitude; v != 0; v /= base) {
        digits[nd++] = set[v % base];
    }

    const size_t min_digits = s.precision >= 0 ? static_cast<size_t>(s.precision) : 1;
    size_t zeros = min_digits > nd ? min_digits - nd : 0;
    if ((s.flags & kAlt) != 0 && base == 8 && zeros == 0) {
        zeros = 1;  // '#' with octal: the text starts with a 0
    }

    char prefix[3];
    size_t np = 0;
    if (negative) {
        prefix[np++] = '-';
    } else if (is_signed && (s.flags & kPlus) != 0) {
        prefix[np++] = '+';
    } else if (is_signed && (s.flags & kSpace) != 0) {
        prefix[np++] = ' ';
    }
    if ((s.flags & kAlt) != 0 && base == 16 && magnitude != 0) {
        prefix[np++] = '0';
        prefix[np++] = upper ? 'X' : 'x';
    }

    const size_t pad = padding(s, np + zeros + nd);
    const bool zero_pad = (s.flags & (kZero | kLeft)) == kZero && s.precision < 0;
    if ((s.flags & kLeft) == 0 && !zero_pad) {
        out.fill(' ', pad);
    }
    out.put_ascii(prefix, np);
    out.fill('0', zeros + (zero_pad ? pad : 0));
    while (nd != 0) {
        out.put(static_cast<Ch>(digits[--nd]));
    }
    if ((s.flags & kLeft) != 0) {
        out.fill(' ', pad);
    }
}

uint64_t take_unsigned(Len len, va_list& ap) {
    switch (len) {
        case Len::HH: return static_cast<unsigned char>(va_arg(ap, unsigned int));
        case Len::H: return static_cast<unsigned short>(va_arg(ap, unsigned int));
        case Len::LL:
        case Len::I64:
        case Len::Ptr: return va_arg(ap, unsigned long long);
        default: return va_arg(ap, unsigned int);  // none, l, I32: 32 bits
    }
}

int64_t take_signed(Len len, va_list& ap) {
    switch (len) {
        case Len::HH: return static_cast<signed char>(va_arg(ap, int));
        case Len::H: return static_cast<short>(va_arg(ap, int));
        case Len::LL:
        case Len::I64:
        case Len::Ptr: return va_arg(ap, long long);
        default: return va_arg(ap, int);
    }
}

// ---------------------------------------------------------------------------------------------
// Text

// Decodes one character from a UTF-16 or UTF-8 source with avail units left. A unit that does
// not start a well-formed character decodes to '?' and consumes one unit. Never reads beyond a
// NUL, so it is safe on terminated strings with avail = SIZE_MAX.
char32_t decode(const char16_t* p, size_t avail, size_t& used) {
    const char16_t c = p[0];
    used = 1;
    if (c < 0xD800 || c > 0xDFFF) {
        return c;
    }
    if (c <= 0xDBFF && avail >= 2 && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
        used = 2;
        return 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (p[1] - 0xDC00);
    }
    return '?';
}

char32_t decode(const char* p, size_t avail, size_t& used) {
    const auto b = static_cast<unsigned char>(p[0]);
    used = 1;
    if (b < 0x80) {
        return b;
    }
    size_t n;
    char32_t cp;
    char32_t min;
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2, cp = b & 0x1F, min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3, cp = b & 0x0F, min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4, cp = b & 0x07, min = 0x10000;
    } else {
        return '?';
    }
    if (avail < n) {
        return '?';
    }
    for (size_t k = 1; k < n; ++k) {
        const auto c = static_cast<unsigned char>(p[k]);
        if ((c & 0xC0) != 0x80) {
            return '?';
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return '?';
    }
    used = n;
    return cp;
}

size_t encoded_units(char32_t cp, char*) {
    return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

size_t encoded_units(char32_t cp, char16_t*) {
    return cp < 0x10000 ? 1 : 2;
}

void encode(Sink<char>& out, char32_t cp) {
    auto unit = [&](uint32_t v) { out.put(static_cast<char>(static_cast<unsigned char>(v))); };
    if (cp < 0x80) {
        unit(cp);
    } else if (cp < 0x800) {
        unit(0xC0 | (cp >> 6));
        unit(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        unit(0xE0 | (cp >> 12));
        unit(0x80 | ((cp >> 6) & 0x3F));
        unit(0x80 | (cp & 0x3F));
    } else {
        unit(0xF0 | (cp >> 18));
        unit(0x80 | ((cp >> 12) & 0x3F));
        unit(0x80 | ((cp >> 6) & 0x3F));
        unit(0x80 | (cp & 0x3F));
    }
}

void encode(Sink<char16_t>& out, char32_t cp) {
    if (cp < 0x10000) {
        out.put(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.put(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.put(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

// A string argument: either NUL-terminated (len is ignored) or counted (exactly len units,
// embedded NULs included).
template <class In>
struct Text {
    const In* p;
    size_t len;
    bool terminated;
};

template <class Out, class In>
void put_text(Sink<Out>& out, const Field& s, Text<In> t) {
    const size_t limit = s.precision >= 0 ? static_cast<size_t>(s.precision) : SIZE_MAX;
    const size_t avail = t.terminated ? SIZE_MAX : t.len;
    auto at_end = [&](size_t i) { return i >= avail || (t.terminated && t.p[i] == 0); };

    if constexpr (std::is_same_v<Out, In>) {
        size_t n = 0;
        while (n < limit && !at_end(n)) {
            ++n;
        }
        const size_t pad = padding(s, n);
        if ((s.flags & kLeft) == 0) {
            out.fill(' ', pad);
        }
        for (size_t i = 0; i < n; ++i) {
            out.put(t.p[i]);
        }
        if ((s.flags & kLeft) != 0) {
            out.fill(' ', pad);
        }
    } else {
        // First pass: how much of the source fits within the precision, and its output length.
        size_t end = 0;
        size_t units = 0;
        while (!at_end(end)) {
            size_t used;
            const size_t w = encoded_units(decode(t.p + end, avail - end, used), static_cast<Out*>(nullptr));
            if (units + w > limit) {
                break;
            }
            units += w;
            end += used;
        }
        const size_t pad = padding(s, units);
        if ((s.flags & kLeft) == 0) {
            out.fill(' ', pad);
        }
        for (size_t i = 0; i < end;) {
            size_t used;
            encode(out, decode(t.p + i, end - i, used));
            i += used;
        }
        if ((s.flags & kLeft) != 0) {
            out.fill(' ', pad);
        }
    }
}

template <class Out>
void put_null(Sink<Out>& out, const Field& s) {
    static constexpr Out kNull[] = {'(', 'n', 'u', 'l', 'l', ')', 0};
    put_text(out, s, Text<Out>{kNull, 6, false});
}

template <class Out, class In>
void put_string(Sink<Out>& out, const Field& s, const In* p) {
    if (p == nullptr) {
        put_null(out, s);
    } else {
        put_text(out, s, Text<In>{p, 0, true});
    }
}

template <class Out, class In>
void put_char(Sink<Out>& out, Field s, In c) {
    s.precision = -1;
    put_text(out, s, Text<In>{&c, 1, false});
}

// Whether a s/S/c/C conversion takes a wide argument: 'h' forces narrow, 'l' and 'w' force
// wide, otherwise the lower-case letter matches the format's own width and the upper-case one
// the other width.
template <class Ch>
bool wide_argument(const Field& s, bool upper_case) {
    if (s.len == Len::H) {
        return false;
    }
    if (s.len == Len::L || s.len == Len::W) {
        return true;
    }
    constexpr bool wide_format = std::is_same_v<Ch, char16_t>;
    return upper_case ? !wide_format : wide_format;
}

// ---------------------------------------------------------------------------------------------
// Floating point: the host library produces the whole field, padding included.

template <class Ch>
void put_float(Sink<Ch>& out, const Field& s, char conv, va_list& ap) {
    char host[16];
    char* f = host;
    *f++ = '%';
    if (s.flags & kLeft) *f++ = '-';
    if (s.flags & kPlus) *f++ = '+';
    if (s.flags & kSpace) *f++ = ' ';
    if (s.flags & kAlt) *f++ = '#';
    if (s.flags & kZero) *f++ = '0';
    *f++ = '*';
    *f++ = '.';
    *f++ = '*';
    const bool long_double = s.len == Len::BigL;
    if (long_double) *f++ = 'L';
    *f++ = conv;
    *f = 0;

    auto print = [&](char* dst, size_t size, auto value) {
        return std::snprintf(dst, size, host, s.width, s.precision, value);
    };
    auto emit = [&](auto value) {
        char small[128];
        const int n = print(small, sizeof(small), value);
        if (n <= 0) {
            return;
        }
        if (static_cast<size_t>(n) < sizeof(small)) {
            out.put_ascii(small, static_cast<size_t>(n));
        } else {
            std::string big(static_cast<size_t>(n) + 1, '\0');
            print(big.data(), big.size(), value);
            out.put_ascii(big.data(), static_cast<size_t>(n));
        }
    };
    if (long_double) {
        emit(va_arg(ap, long double));
    } else {
        emit(va_arg(ap, double));
    }
}

// ---------------------------------------------------------------------------------------------

template <class Ch>
void convert(Sink<Ch>& out, const Field& s, Ch conv, va_list& ap) {
    switch (conv) {
        case 'd':
        case 'i': {
            const int64_t v = take_signed(s.len, ap);
            const uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
            put_integer(out, s, magnitude, v < 0, true, 10, false);
            break;
        }
        case 'u': put_integer(out, s, take_unsigned(s.len, ap), false, false, 10, false); break;
        case 'o': put_integer(out, s, take_unsigned(s.len, ap), false, false, 8, false); break;
        case 'x': put_integer(out, s, take_unsigned(s.len, ap), false, false, 16, false); break;
        case 'X': put_integer(out, s, take_unsigned(s.len, ap), false, false, 16, true); break;
        case 'p': {
            Field pf = s;
            pf.flags &= ~(kAlt | kPlus | kSpace);
            if (pf.precision < 16) {
                pf.precision = 16;
            }
            put_integer(out, pf, reinterpret_cast<uintptr_t>(va_arg(ap, void*)), false, false, 16, true);
            break;
        }
        case 'c':
        case 'C':
            if (wide_argument<Ch>(s, conv == 'C')) {
                put_char(out, s, static_cast<char16_t>(va_arg(ap, int)));
            } else {
                put_char(out, s, static_cast<char>(va_arg(ap, int)));
            }
            break;
        case 's':
        case 'S':
            if (wide_argument<Ch>(s, conv == 'S')) {
                put_string(out, s, va_arg(ap, const char16_t*));
            } else {
                put_string(out, s, va_arg(ap, const char*));
            }
            break;
        case 'Z':
            if (s.len == Len::L || s.len == Len::W) {
                const auto* us = va_arg(ap, const UNICODE_STRING*);
                if (us == nullptr || us->Buffer == nullptr) {
                    put_null(out, s);
                } else {
                    put_text(out, s, Text<char16_t>{us->Buffer, us->Length / sizeof(WCHAR), false});
                }
            } else {
                const auto* as = va_arg(ap, const ANSI_STRING*);
                if (as == nullptr || as->Buffer == nullptr) {
                    put_null(out, s);
                } else {
                    put_text(out, s, Text<char>{as->Buffer, as->Length, false});
                }
            }
            break;
        case 'n':
            // Not supported: the pointer is consumed so later arguments stay in step, and
            // nothing is written through it.
            (void)va_arg(ap, void*);
            break;
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A': put_float(out, s, static_cast<char>(conv), ap); break;
        default: out.put(conv); break;  // '%', and unknown conversions, print as they are
    }
}

template <class Ch>
size_t run(Ch* buf, size_t size, const Ch* fmt, va_list& ap) {
    if (buf == nullptr) {
        size = 0;
    }
    Sink<Ch> out(buf, size);
    for (const Ch* p = fmt; p != nullptr && *p != 0;) {
        if (*p != '%') {
            out.put(*p++);
            continue;
        }
        ++p;
        Field s = parse_field(p);
        const Ch conv = *p;
        if (conv == 0) {
            break;  // the format ended inside a conversion
        }
        ++p;
        if (s.width_arg) {
            int w = va_arg(ap, int);
            if (w < 0) {
                s.flags |= kLeft;
                w = (w == INT_MIN) ? INT_MAX : -w;
            }
            s.width = w;
        }
        if (s.precision_arg) {
            const int pr = va_arg(ap, int);
            s.precision = pr < 0 ? -1 : pr;
        }
        convert(out, s, conv, ap);
    }
    if (size != 0) {
        out.terminate();
    }
    return out.length();
}

template <class Ch>
bool uses_n(const Ch* fmt) {
    for (const Ch* p = fmt; p != nullptr && *p != 0;) {
        if (*p++ != '%') {
            continue;
        }
        parse_field(p);
        if (*p == 'n') {
            return true;
        }
        if (*p != 0) {
            ++p;
        }
    }
    return false;
}

}  // namespace

size_t vformat(char* buf, size_t size, const char* fmt, va_list ap) {
    va_list args;
    va_copy(args, ap);
    const size_t n = run(buf, size, fmt, args);
    va_end(args);
    return n;
}

size_t vformat_wide(char16_t* buf, size_t count, const char16_t* fmt, va_list ap) {
    va_list args;
    va_copy(args, ap);
    const size_t n = run(buf, count, fmt, args);
    va_end(args);
    return n;
}

bool format_uses_n(const char* fmt) { return uses_n(fmt); }
bool format_uses_n(const char16_t* fmt) { return uses_n(fmt); }

}  // namespace sim::kernel
