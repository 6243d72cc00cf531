// Bounded print and number parsing.

#include "driver/platform/format.h"
#include "tests/support/kernel_fixture.h"

class FormatTest : public KernelTest {};

TEST_F(FormatTest, BoundedPrintAlwaysTerminatesAndReturnsTheStoredLength) {
    char buffer[8];
    EXPECT_EQ(kpav_snprintf(buffer, sizeof buffer, "%s", "abc"), 3);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(kpav_snprintf(buffer, sizeof buffer, "%d-%d", 12345, 6789), 7);
    EXPECT_STREQ(buffer, "12345-6");
    buffer[0] = 'x';
    EXPECT_EQ(kpav_snprintf(buffer, 0, "%s", "abc"), 0);
    EXPECT_EQ(buffer[0], 'x');  // size 0 writes nothing
    // A NULL buffer measures, through a temporary buffer of the given size (4096 for 0).
    EXPECT_EQ(kpav_snprintf(nullptr, 0, "%s-%u", "measure", 42u), 10);
    EXPECT_EQ(kpav_snprintf(nullptr, 5, "%s", "truncated"), 4);
    sim::kernel::fail_nth(sim::kernel::fault_site::pool, 1);
    EXPECT_EQ(kpav_snprintf(nullptr, 0, "%s", "x"), -12);
}

static NTSTATUS core(char* buffer, size_t size, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    NTSTATUS s = kpav_vsnprintf_core(buffer, size, format, ap);
    va_end(ap);
    return s;
}

TEST_F(FormatTest, CoreReportsTruncationAndBadSizes) {
    char buffer[4] = "zzz";
    EXPECT_EQ(core(buffer, sizeof buffer, "%s", "abc"), STATUS_SUCCESS);
    EXPECT_EQ(core(buffer, sizeof buffer, "%s", "abcd"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(core(buffer, 0x80000000u, "%s", "a"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(core(buffer, 0x7FFFFFFFu, "%s", "ok"), STATUS_SUCCESS);
}

TEST_F(FormatTest, NumberParsing) {
    struct row {
        const char* text;
        ULONG base;
        LONG value;
        size_t consumed;
    };
    const row rows[] = {
        {"0x1F", 16, 31, 4},
        {"0X1f", 16, 31, 4},
        {"1F", 16, 31, 2},
        {"12z", 10, 12, 2},
        {"123456789012", 10, -1, 12},  // too large for 32 bits
        {"4294967295", 10, -1, 10},     // the largest value reads as all ones
        {"4294967296", 10, -1, 10},     // one more overflows rather than wrapping to 0
        {"000000000042", 10, 42, 12},   // leading zeros are not an overflow
        {"FFFFFFFF", 16, -1, 8},
        {"100000000", 16, -1, 9},
        {"777", 8, 511, 3},
        {"19", 8, 1, 1},
        {"1012", 2, 5, 3},
        {"210", 3, 21, 3},
        {"12", 17, 0, 0},  // bases above 16 parse nothing
        {"", 10, 0, 0},
        {"-5", 10, 0, 0},
    };
    for (const row& r : rows) {
        const char* end = nullptr;
        EXPECT_EQ(kpav_strtoul(r.text, &end, r.base), r.value) << r.text << " base " << r.base;
        EXPECT_EQ((size_t)(end - r.text), r.consumed) << r.text;
    }
    EXPECT_EQ(kpav_strtoul("77", nullptr, 10), 77);
}

TEST_F(FormatTest, NumberParsing64) {
    const char* end;
    EXPECT_EQ(kpav_strtoull("18446744073709551615", &end, 10), ~0ull);
    EXPECT_EQ(kpav_strtoull("18446744073709551616", &end, 10), ~0ull);
    EXPECT_EQ(kpav_strtoull("0x123456789abcdef0", &end, 16), 0x123456789abcdef0ull);
    EXPECT_EQ(*end, 0);
    EXPECT_EQ(kpav_strtoull("4294967296", &end, 10), 4294967296ull);
    EXPECT_EQ(kpav_strtoull("1ffffffffffffffff", &end, 16), ~0ull);
}
