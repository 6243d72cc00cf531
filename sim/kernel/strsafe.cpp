// Bounded string routines; see strsafe.h.
#include "sim/kernel/strsafe.h"

#include "sim/kernel/format.h"

namespace {

constexpr size_t kMaxCch = NTSTRSAFE_MAX_CCH;

// Size in characters of a buffer of cb bytes. A byte count above the maximum maps to a count
// above the maximum, so it is refused even where the division would bring it back in range.
template <class Ch>
size_t cch_of(size_t cb) {
    return cb > kMaxCch * sizeof(Ch) ? kMaxCch + 1 : cb / sizeof(Ch);
}

template <class Ch>
bool valid_dest(Ch* dest, size_t cch) {
    if (dest != nullptr && cch != 0 && cch <= kMaxCch) {
        return true;
    }
    if (dest != nullptr && cch != 0) {
        dest[0] = 0;
    }
    return false;
}

size_t format_into(char* dest, size_t cch, const char* fmt, va_list ap) {
    return sim::kernel::vformat(dest, cch, fmt, ap);
}

size_t format_into(char16_t* dest, size_t cch, const char16_t* fmt, va_list ap) {
    return sim::kernel::vformat_wide(dest, cch, fmt, ap);
}

template <class Ch>
NTSTATUS vprintf_worker(Ch* dest, size_t cch, const Ch* fmt, va_list ap) {
    if (!valid_dest(dest, cch)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (fmt == nullptr || sim::kernel::format_uses_n(fmt)) {
        dest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    // The formatter truncates and terminates by itself; it reports the full length.
    return format_into(dest, cch, fmt, ap) < cch ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

template <class Ch>
NTSTATUS length_worker(const Ch* psz, size_t cchMax, size_t* pcch) {
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    size_t n = 0;
    if (psz != nullptr && cchMax <= kMaxCch) {
        while (n < cchMax && psz[n] != 0) {
            ++n;
        }
        if (n < cchMax) {
            status = STATUS_SUCCESS;
        }
    }
    if (pcch != nullptr) {
        *pcch = NT_SUCCESS(status) ? n : 0;
    }
    return status;
}

template <class Ch>
NTSTATUS copy_worker(Ch* dest, size_t cch, const Ch* src) {
    if (!valid_dest(dest, cch)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (src == nullptr) {
        dest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    size_t i = 0;
    for (; i + 1 < cch && src[i] != 0; ++i) {
        dest[i] = src[i];
    }
    dest[i] = 0;
    return src[i] == 0 ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

}  // namespace

NTSTATUS RtlStringCchVPrintfA(PSTR dest, size_t cchDest, PCSTR fmt, va_list ap) {
    return vprintf_worker(dest, cchDest, fmt, ap);
}

NTSTATUS RtlStringCbVPrintfA(PSTR dest, size_t cbDest, PCSTR fmt, va_list ap) {
    return vprintf_worker(dest, cch_of<char>(cbDest), fmt, ap);
}

NTSTATUS RtlStringCchPrintfA(PSTR dest, size_t cchDest, PCSTR fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const NTSTATUS status = vprintf_worker(dest, cchDest, fmt, ap);
    va_end(ap);
    return status;
}

NTSTATUS RtlStringCbPrintfA(PSTR dest, size_t cbDest, PCSTR fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const NTSTATUS status = vprintf_worker(dest, cch_of<char>(cbDest), fmt, ap);
    va_end(ap);
    return status;
}

NTSTATUS RtlStringCchVPrintfW(PWSTR dest, size_t cchDest, PCWSTR fmt, va_list ap) {
    return vprintf_worker(dest, cchDest, fmt, ap);
}

NTSTATUS RtlStringCbVPrintfW(PWSTR dest, size_t cbDest, PCWSTR fmt, va_list ap) {
    return vprintf_worker(dest, cch_of<WCHAR>(cbDest), fmt, ap);
}

NTSTATUS RtlStringCchPrintfW(PWSTR dest, size_t cchDest, PCWSTR fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const NTSTATUS status = vprintf_worker(dest, cchDest, fmt, ap);
    va_end(ap);
    return status;
}

NTSTATUS RtlStringCbPrintfW(PWSTR dest, size_t cbDest, PCWSTR fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const NTSTATUS status = vprintf_worker(dest, cch_of<WCHAR>(cbDest), fmt, ap);
    va_end(ap);
    return status;
}

NTSTATUS RtlStringCbLengthA(PCSTR psz, size_t cbMax, size_t* pcbLength) {
    return length_worker(psz, cch_of<char>(cbMax), pcbLength);
}

NTSTATUS RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength) {
    return length_worker(psz, cchMax, pcchLength);
}

NTSTATUS RtlStringCbCopyA(PSTR dest, size_t cbDest, PCSTR src) {
    return copy_worker(dest, cch_of<char>(cbDest), src);
}

NTSTATUS RtlStringCbCopyW(PWSTR dest, size_t cbDest, PCWSTR src) {
    return copy_worker(dest, cch_of<WCHAR>(cbDest), src);
}

NTSTATUS RtlStringCbCatA(PSTR dest, size_t cbDest, PCSTR src) {
    const size_t cch = cch_of<char>(cbDest);
    size_t len = 0;
    if (dest == nullptr || cch == 0 || cch > kMaxCch || !NT_SUCCESS(length_worker<char>(dest, cch, &len))) {
        return STATUS_INVALID_PARAMETER;
    }
    if (src == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return copy_worker(dest + len, cch - len, src);
}
