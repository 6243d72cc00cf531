#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <string>

#include "sim/kernel/format.h"
#include "sim/kernel/strsafe.h"

namespace {

using sim::kernel::vformat;
using sim::kernel::vformat_wide;

// Formats twice: once only measuring (NULL buffer, size 0), once into a buffer of exactly the
// measured size. Both must agree on the length, so every row also checks the measuring path.
std::string Narrow(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    const size_t measured = vformat(nullptr, 0, fmt, ap);
    std::string out(measured + 1, '#');
    const size_t written = vformat(out.data(), out.size(), fmt, again);
    va_end(again);
    va_end(ap);
    EXPECT_EQ(measured, written) << fmt;
    EXPECT_EQ(out[measured], '\0') << fmt;
    out.resize(measured);
    return out;
}

std::u16string Wide(const char16_t* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    const size_t measured = vformat_wide(nullptr, 0, fmt, ap);
    std::u16string out(measured + 1, u'#');
    const size_t written = vformat_wide(out.data(), out.size(), fmt, again);
    va_end(again);
    va_end(ap);
    EXPECT_EQ(measured, written);
    EXPECT_EQ(out[measured], u'\0');
    out.resize(measured);
    return out;
}

template <class S>
struct Row {
    S fmt;
    S got;
    S want;
};

#define NROW(want, f, ...) Row<std::string>{f, Narrow(f __VA_OPT__(, ) __VA_ARGS__), want}
#define WROW(want, f, ...) Row<std::u16string>{f, Wide(f __VA_OPT__(, ) __VA_ARGS__), want}

UNICODE_STRING UnicodeOf(const char16_t* text, USHORT chars) {
    return UNICODE_STRING{static_cast<USHORT>(chars * sizeof(WCHAR)), static_cast<USHORT>(chars * sizeof(WCHAR)),
                          const_cast<PWCH>(text)};
}

TEST(Format, NarrowConversions) {
    UNICODE_STRING hello = UnicodeOf(u"Hello, world", 5);  // Length covers "Hello" only
    UNICODE_STRING no_buffer{0, 0, nullptr};
    UNICODE_STRING split_pair = UnicodeOf(u"a\U0001F600", 2);  // Length ends inside the pair
    char ansi_text[] = "abcdef";
    ANSI_STRING abc{3, 7, ansi_text};
    int untouched = 1234;

    const Row<std::string> rows[] = {
        // Integer sizes: l is 32 bits, I64/ll/I/z are 64.
        NROW("4000000000", "%lu", uint32_t{4000000000u}),
        NROW("ffffffff", "%lx", uint32_t{0xFFFFFFFFu}),
        NROW("-1", "%ld", int32_t{-1}),
        // A 64-bit value given to %lx: only its low 32 bits are the argument (x86-64 slots).
        NROW("23456789", "%lx", uint64_t{0x123456789ull}),
        NROW("18446744073709551615", "%I64u", uint64_t{UINT64_MAX}),
        NROW("-9223372036854775808", "%I64d", int64_t{INT64_MIN}),
        NROW("123456789abcdef", "%llx", uint64_t{0x123456789abcdefull}),
        NROW("100000000", "%Ix", size_t{0x100000000ull}),
        NROW("100000000", "%zx", size_t{0x100000000ull}),
        NROW("deadbeef", "%I32x", uint32_t{0xdeadbeefu}),
        NROW("4464", "%hd", 70000),
        NROW("65535", "%hu", -1),
        NROW("44", "%hhu", 300),
        NROW("-56", "%hhd", 200),
        NROW("4294967295", "%u", -1),
        NROW("-2147483648", "%d", INT_MIN),
        NROW("ABCDEF 17", "%X %o", 0xabcdefu, 15u),
        // Pointers: 16 upper-case digits, no prefix.
        NROW("00000000DEADBEEF", "%p", reinterpret_cast<void*>(0xDEADBEEFull)),
        NROW("0000000000000000", "%p", nullptr),
        NROW("[00000000DEADBEEF  ]", "[%-18p]", reinterpret_cast<void*>(0xDEADBEEFull)),
        // Counted strings.
        NROW("<Hello>", "<%wZ>", &hello),
        NROW("(null)", "%wZ", &no_buffer),
        NROW("a?", "%wZ", &split_pair),
        NROW("(null)", "%wZ", static_cast<UNICODE_STRING*>(nullptr)),
        NROW("abc", "%Z", &abc),
        NROW("  abc", "%5Z", &abc),
        // Strings and characters: %s/%c narrow, %S/%C/%ws/%ls/%wc wide.
        NROW("wide", "%ws", u"wide"),
        NROW("wide", "%ls", u"wide"),
        NROW("wide", "%S", u"wide"),
        NROW("narrow", "%hS", "narrow"),
        NROW("(null)", "%s", static_cast<const char*>(nullptr)),
        NROW("(null)", "%ws", static_cast<const char16_t*>(nullptr)),
        NROW("x", "%c", 'x'),
        NROW("\xC3\xA9", "%C", u'\u00e9'),
        NROW("w", "%wc", u'w'),
        // Wide text becomes UTF-8; a lone surrogate becomes '?'; precision never splits.
        NROW("caf\xC3\xA9", "%ws", u"caf\u00e9"),
        NROW("\xF0\x9F\x98\x80", "%ws", u"\U0001F600"),
        NROW("a?b", "%ws", u"a\xD800" u"b"),
        NROW("caf", "%.4ws", u"caf\u00e9"),
        NROW(" caf\xC3\xA9", "%6ws", u"caf\u00e9"),
        // Flags, width and precision.
        NROW("00042", "%05d", 42),
        NROW("-0042", "%05d", -42),
        NROW("ab      |", "%-8s|", "ab"),
        NROW("      ab|", "%8s|", "ab"),
        NROW("abc", "%.3s", "abcdef"),
        NROW("+5 +5  5", "%+d %+ d % d", 5, 5, 5),
        NROW("0xff 0XFF 0", "%#x %#X %#x", 255, 255, 0),
        NROW("010 0", "%#o %#.0o", 8, 0),
        NROW("   42", "%*d", 5, 42),
        NROW("7   |", "%*d|", -4, 7),
        NROW("007", "%.*d", 3, 7),
        NROW("abc", "%.*s", -1, "abc"),
        NROW("", "%.0d", 0),
        NROW("     |", "%5.0d|", 0),
        NROW("     007", "%08.3d", 7),
        NROW("-7   |", "%-05d|", -7),
        // Floating point.
        NROW(" 3.14", "%5.2f", 3.14159),
        NROW("1.234568e+04", "%e", 12345.678),
        NROW("2.5   |", "%-6.1f|", 2.5),
        NROW("1.5", "%.1Lf", 1.5L),
        NROW("0.000100", "%*f", 8, 0.0001),
        // Arguments stay in step across mixed sizes.
        NROW("1|two|3|4|5.5|six", "%d|%s|%I64x|%c|%.1f|%ws", 1, "two", uint64_t{3}, '4', 5.5, u"six"),
        // %n prints nothing, writes nothing, but consumes its argument.
        NROW("ab5", "a%nb%d", &untouched, 5),
        // '%', unknown conversions, a trailing '%'.
        NROW("100%", "%d%%", 100),
        NROW("y", "%y"),
        NROW("100", "100%"),
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.got, row.want) << "format \"" << row.fmt << "\"";
    }
    EXPECT_EQ(untouched, 1234);
}

TEST(Format, WideConversions) {
    UNICODE_STRING hello = UnicodeOf(u"Hello, world", 5);
    char ansi_text[] = "abcdef";
    ANSI_STRING abc{3, 7, ansi_text};

    const Row<std::u16string> rows[] = {
        // In a wide format %s/%c are wide and %S/%C narrow; h and l/w force either.
        WROW(u"wide", u"%s", u"wide"),
        WROW(u"narrow", u"%S", "narrow"),
        WROW(u"narrow", u"%hs", "narrow"),
        WROW(u"wide wide", u"%ls %ws", u"wide", u"wide"),
        WROW(u"\u00e9a", u"%c%C", u'\u00e9', 'a'),
        WROW(u"b", u"%hc", 'b'),
        WROW(u"(null)", u"%s", static_cast<const char16_t*>(nullptr)),
        WROW(u"Hello|abc", u"%wZ|%Z", &hello, &abc),
        // Narrow text is read as UTF-8; bytes that do not decode become '?'.
        WROW(u"caf\u00e9", u"%S", "caf\xC3\xA9"),
        WROW(u"\U0001F600", u"%S", "\xF0\x9F\x98\x80"),
        WROW(u"??a", u"%S", "\xFF\xC3" "a"),
        WROW(u"???", u"%S", "\xED\xA0\x80"),  // an encoded surrogate is not UTF-8: each byte is one ?
        WROW(u"", u"%.1S", "\xF0\x9F\x98\x80"),  // two units do not fit in one
        WROW(u"   42|ff |", u"%5d|%-3x|", 42, 255),
        WROW(u"00000000DEADBEEF", u"%p", reinterpret_cast<void*>(0xDEADBEEFull)),
        WROW(u"4000000000 2.50", u"%lu %.2f", uint32_t{4000000000u}, 2.5),
    };
    for (const auto& row : rows) {
        EXPECT_TRUE(row.got == row.want) << "row " << (&row - rows);
    }
}

size_t FormatInto(char* buf, size_t size, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const size_t n = vformat(buf, size, fmt, ap);
    va_end(ap);
    return n;
}

// Output that does not fit is cut at size-1 and terminated; the return is always the full
// length, and nothing past the terminator is touched.
TEST(Format, TruncatesAndReportsFullLength) {
    const std::string full = "   hello";
    for (size_t size = 0; size <= full.size() + 2; ++size) {
        char buf[16];
        std::memset(buf, '#', sizeof(buf));
        EXPECT_EQ(FormatInto(size == 0 ? nullptr : buf, size, "%8s", "hello"), full.size()) << "size " << size;
        if (size == 0) {
            continue;
        }
        const size_t kept = std::min(size - 1, full.size());
        EXPECT_EQ(std::string(buf, kept), full.substr(0, kept)) << "size " << size;
        EXPECT_EQ(buf[kept], '\0') << "size " << size;
        EXPECT_EQ(buf[kept + 1], '#') << "size " << size;
    }
}

// ---------------------------------------------------------------------------------------------
// Bounded print routines

enum class Via { CchA, CbA, CchW, CbW };

struct PrintCase {
    const char* name;
    Via via;
    size_t size;       // as passed: characters for Cch, bytes for Cb
    const char* fmt;   // ASCII; widened for the W routines, where %s then takes a wide string
    const char* arg;
    NTSTATUS status;
    const char* want;  // text before the NUL; nullptr when the buffer must be left untouched
};

std::u16string Widen(const char* s) {
    return std::u16string(s, s + std::strlen(s));
}

TEST(BoundedPrint, StatusesAndBuffer) {
    const PrintCase cases[] = {
        {"fits", Via::CchA, 16, "<%s>", "abc", STATUS_SUCCESS, "<abc>"},
        {"fits exactly", Via::CchA, 6, "%s", "abcde", STATUS_SUCCESS, "abcde"},
        {"one too long", Via::CchA, 6, "%s", "abcdef", STATUS_BUFFER_OVERFLOW, "abcde"},
        {"truncated", Via::CchA, 6, "%s", "abcdefgh", STATUS_BUFFER_OVERFLOW, "abcde"},
        {"truncated, bytes", Via::CbA, 4, "%s", "abcdefgh", STATUS_BUFFER_OVERFLOW, "abc"},
        {"size 0", Via::CchA, 0, "%s", "abc", STATUS_INVALID_PARAMETER, nullptr},
        {"size above maximum", Via::CchA, 0x80000000u, "%s", "abc", STATUS_INVALID_PARAMETER, ""},
        {"bytes above maximum", Via::CbA, 0x80000000u, "%s", "abc", STATUS_INVALID_PARAMETER, ""},
        {"%n refused", Via::CchA, 16, "ab%n", "", STATUS_INVALID_PARAMETER, ""},
        {"%n after flags refused", Via::CchA, 16, "ab%-5n", "", STATUS_INVALID_PARAMETER, ""},
        {"%%n is text", Via::CchA, 16, "%%n%s", "!", STATUS_SUCCESS, "%n!"},
        {"wide fits", Via::CchW, 16, "<%s>", "abc", STATUS_SUCCESS, "<abc>"},
        {"wide truncated", Via::CchW, 3, "%s", "abcdef", STATUS_BUFFER_OVERFLOW, "ab"},
        {"wide bytes truncated", Via::CbW, 7, "%s", "abcdef", STATUS_BUFFER_OVERFLOW, "ab"},
        {"wide one byte", Via::CbW, 1, "%s", "abc", STATUS_INVALID_PARAMETER, nullptr},
        {"wide size above maximum", Via::CchW, 0x80000000u, "%s", "abc", STATUS_INVALID_PARAMETER, ""},
        {"wide bytes above maximum", Via::CbW, 0x100000000ull, "%s", "abc", STATUS_INVALID_PARAMETER, ""},
        {"wide %n refused", Via::CbW, 32, "%s%n", "abc", STATUS_INVALID_PARAMETER, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::u16string got;
        bool untouched = true;
        NTSTATUS status;
        if (c.via == Via::CchA || c.via == Via::CbA) {
            char buf[24];
            std::memset(buf, '#', sizeof(buf));
            status = c.via == Via::CchA ? RtlStringCchPrintfA(buf, c.size, c.fmt, c.arg)
                                        : RtlStringCbPrintfA(buf, c.size, c.fmt, c.arg);
            untouched = std::all_of(buf, buf + sizeof(buf), [](char ch) { return ch == '#'; });
            const char* nul = static_cast<const char*>(std::memchr(buf, 0, sizeof(buf)));
            if (nul != nullptr) {
                got = Widen(buf);  // stops at the NUL just found
                EXPECT_EQ(nul[1], '#') << "written past the terminator";
            }
        } else {
            const std::u16string fmt = Widen(c.fmt);
            const std::u16string arg = Widen(c.arg);
            char16_t buf[24];
            std::fill(buf, buf + 24, u'#');
            status = c.via == Via::CchW ? RtlStringCchPrintfW(buf, c.size, fmt.c_str(), arg.c_str())
                                        : RtlStringCbPrintfW(buf, c.size, fmt.c_str(), arg.c_str());
            untouched = std::all_of(buf, buf + 24, [](char16_t ch) { return ch == u'#'; });
            const char16_t* nul = std::find(buf, buf + 24, u'\0');
            if (nul != buf + 24) {
                got.assign(buf, static_cast<size_t>(nul - buf));
                EXPECT_EQ(nul[1], u'#') << "written past the terminator";
            }
        }
        EXPECT_EQ(status, c.status);
        if (c.want == nullptr) {
            EXPECT_TRUE(untouched);
        } else {
            EXPECT_FALSE(untouched);
            EXPECT_TRUE(got == Widen(c.want));
        }
    }
}

TEST(BoundedPrint, LongTextIntoSmallBuffer) {
    const std::string text(600, 'x');
    char buf[600];
    std::memset(buf, '#', sizeof(buf));
    EXPECT_EQ(RtlStringCbPrintfA(buf, 512, "%s", text.c_str()), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::strlen(buf), 511u);
    EXPECT_EQ(std::string(buf, 511), text.substr(0, 511));
    EXPECT_EQ(buf[512], '#');
}

// Length, copy and concatenation.
TEST(BoundedString, LengthCopyCat) {
    struct LengthCase {
        const char* s;
        size_t max;
        NTSTATUS status;
        size_t length;
    };
    const LengthCase lengths[] = {
        {"abc", 4, STATUS_SUCCESS, 3},
        {"abc", 3, STATUS_INVALID_PARAMETER, 0},  // no NUL within the limit
        {"abc", 0, STATUS_INVALID_PARAMETER, 0},
        {"abc", 0x80000000u, STATUS_INVALID_PARAMETER, 0},
        {nullptr, 4, STATUS_INVALID_PARAMETER, 0},
    };
    for (const auto& c : lengths) {
        size_t n = 99;
        EXPECT_EQ(RtlStringCbLengthA(c.s, c.max, &n), c.status) << c.max;
        EXPECT_EQ(n, c.length) << c.max;
    }
    size_t wn = 0;
    EXPECT_EQ(RtlStringCchLengthW(u"ab", 3, &wn), STATUS_SUCCESS);
    EXPECT_EQ(wn, 2u);
    EXPECT_EQ(RtlStringCchLengthW(u"ab", 2, nullptr), STATUS_INVALID_PARAMETER);

    struct EditCase {
        const char* name;
        const char* initial;  // dest before the call (Cat only)
        size_t cb;
        const char* src;
        NTSTATUS status;
        const char* want;
    };
    const EditCase copies[] = {
        {"copy fits", "", 8, "abc", STATUS_SUCCESS, "abc"},
        {"copy exact", "", 4, "abc", STATUS_SUCCESS, "abc"},
        {"copy truncated", "", 4, "abcdef", STATUS_BUFFER_OVERFLOW, "abc"},
        {"copy size 0", "zz", 0, "abc", STATUS_INVALID_PARAMETER, "zz"},
    };
    const EditCase cats[] = {
        {"cat fits", "ab", 8, "cd", STATUS_SUCCESS, "abcd"},
        {"cat truncated", "ab", 4, "cd", STATUS_BUFFER_OVERFLOW, "abc"},
        {"cat into full", "abc", 4, "", STATUS_SUCCESS, "abc"},
        {"cat dest unterminated", "abcdef", 3, "x", STATUS_INVALID_PARAMETER, "abcdef"},
        {"cat size 0", "ab", 0, "x", STATUS_INVALID_PARAMETER, "ab"},
    };
    for (const auto& c : copies) {
        char buf[16] = {};
        std::strcpy(buf, c.initial);
        EXPECT_EQ(RtlStringCbCopyA(buf, c.cb, c.src), c.status) << c.name;
        EXPECT_STREQ(buf, c.want) << c.name;
    }
    for (const auto& c : cats) {
        char buf[16] = {};
        std::strcpy(buf, c.initial);
        EXPECT_EQ(RtlStringCbCatA(buf, c.cb, c.src), c.status) << c.name;
        EXPECT_STREQ(buf, c.want) << c.name;
    }

    char16_t wbuf[8];
    std::fill(wbuf, wbuf + 8, u'#');
    EXPECT_EQ(RtlStringCbCopyW(wbuf, 6, u"abcd"), STATUS_BUFFER_OVERFLOW);  // 3 characters
    EXPECT_TRUE(std::u16string(wbuf) == u"ab");
    EXPECT_EQ(wbuf[3], u'#');
}

}  // namespace
