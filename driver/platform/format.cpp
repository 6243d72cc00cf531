#include "driver/platform/format.h"

#include "driver/platform/kassert.h"
#include "driver/platform/memory.h"

namespace {
constexpr size_t measuring_buffer_default = 4096;
}

NTSTATUS kpav_vsnprintf_core(char* buffer, size_t size, const char* format, va_list arguments) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    return RtlStringCbVPrintfA(buffer, size, format, arguments);
}

int kpav_vsnprintf(char* buffer, size_t size, const char* format, va_list arguments) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    if (buffer == nullptr) {
        size_t measure_size = size != 0 ? size : measuring_buffer_default;
        auto* scratch = (char*)kpav_alloc(measure_size, KPAV_TAG_MAL);
        if (scratch == nullptr) {
            return -KPAV_ENOMEM;
        }
        kpav_vsnprintf_core(scratch, measure_size, format, arguments);
        int length = (int)strnlen(scratch, measure_size);
        kpav_free(scratch, KPAV_TAG_MAL);
        return length;
    }
    if (size == 0) {
        return 0;
    }
    kpav_vsnprintf_core(buffer, size, format, arguments);
    return (int)strnlen(buffer, size);
}

int kpav_snprintf(char* buffer, size_t size, const char* format, ...) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    va_list ap;
    va_start(ap, format);
    int n = kpav_vsnprintf(buffer, size, format, ap);
    va_end(ap);
    return n;
}

int kpav_hex_digit(char c) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

namespace {

// Parses up to `limit`; sets *overflow when the value exceeds it. Overflow is judged by value,
// so leading zeros and any base are handled alike.
ULONGLONG parse(const char* text, const char** end, ULONG base, ULONGLONG limit, bool* overflow) {
    *overflow = false;
    const char* p = text;
    if (base > 16) {
        if (end != nullptr) {
            *end = text;
        }
        return 0;
    }
    if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        p += 2;
    }
    ULONGLONG value = 0;
    for (;; p++) {
        int d = kpav_hex_digit(*p);
        if (d < 0 || d >= (int)base) {
            break;
        }
        if (value > (limit - (ULONGLONG)d) / base) {
            *overflow = true;
        }
        value = value * base + (ULONGLONG)d;
    }
    if (end != nullptr) {
        *end = p;
    }
    return value;
}

}  // namespace

LONG kpav_strtoul(const char* text, const char** end, ULONG base) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    bool overflow;
    ULONGLONG v = parse(text, end, base, 0xFFFFFFFFull, &overflow);
    return overflow ? -1 : (LONG)(ULONG)v;
}

ULONGLONG kpav_strtoull(const char* text, const char** end, ULONG base) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    bool overflow;
    ULONGLONG v = parse(text, end, base, ~0ull, &overflow);
    return overflow ? ~0ull : v;
}
