#include "sim/kernel/rtl_string.h"

#include <cstring>

#include "sim/kernel/pool.h"

namespace {

constexpr ULONG string_tag = 0x6E727453;  // "Strn"

size_t wide_length(PCWSTR s) {
    size_t n = 0;
    while (s[n] != 0) {
        n++;
    }
    return n;
}

}  // namespace

void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
    if (source == nullptr) {
        destination->Length = destination->MaximumLength = 0;
        destination->Buffer = nullptr;
        return;
    }
    size_t bytes = wide_length(source) * sizeof(WCHAR);
    if (bytes > 0xFFFC) {
        bytes = 0xFFFC;
    }
    destination->Length = (USHORT)bytes;
    destination->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
    destination->Buffer = (PWCH)source;
}

void RtlInitAnsiString(PANSI_STRING destination, PCSTR source) {
    if (source == nullptr) {
        destination->Length = destination->MaximumLength = 0;
        destination->Buffer = nullptr;
        return;
    }
    size_t bytes = strlen(source);
    if (bytes > 0xFFFE) {
        bytes = 0xFFFE;
    }
    destination->Length = (USHORT)bytes;
    destination->MaximumLength = (USHORT)(bytes + 1);
    destination->Buffer = (PCHAR)source;
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING destination, PCANSI_STRING source, BOOLEAN allocate) {
    size_t characters = source->Length;
    if (characters * sizeof(WCHAR) + sizeof(WCHAR) > 0xFFFF) {
        return STATUS_INVALID_PARAMETER;
    }
    if (allocate) {
        USHORT maximum = (USHORT)(characters * sizeof(WCHAR) + sizeof(WCHAR));
        auto* buffer = (PWCH)ExAllocatePoolWithTag(PagedPool, maximum, string_tag);
        if (buffer == nullptr) {
            return STATUS_NO_MEMORY;
        }
        destination->Buffer = buffer;
        destination->MaximumLength = maximum;
    }
    NTSTATUS status = STATUS_SUCCESS;
    size_t room = destination->MaximumLength / sizeof(WCHAR);
    if (characters > room) {
        characters = room;
        status = STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < characters; i++) {
        destination->Buffer[i] = (WCHAR)(UCHAR)source->Buffer[i];
    }
    destination->Length = (USHORT)(characters * sizeof(WCHAR));
    if (characters < room) {
        destination->Buffer[characters] = 0;
    }
    return status;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING destination, PCUNICODE_STRING source, BOOLEAN allocate) {
    size_t characters = source->Length / sizeof(WCHAR);
    if (allocate) {
        USHORT maximum = (USHORT)(characters + 1);
        auto* buffer = (PCHAR)ExAllocatePoolWithTag(PagedPool, maximum, string_tag);
        if (buffer == nullptr) {
            return STATUS_NO_MEMORY;
        }
        destination->Buffer = buffer;
        destination->MaximumLength = maximum;
    }
    NTSTATUS status = STATUS_SUCCESS;
    // One byte stays for the terminator.
    size_t room = destination->MaximumLength == 0 ? 0 : destination->MaximumLength - 1u;
    if (characters > room) {
        characters = room;
        status = STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < characters; i++) {
        WCHAR c = source->Buffer[i];
        destination->Buffer[i] = c <= 0xFF ? (CHAR)c : '?';
    }
    destination->Length = (USHORT)characters;
    if (destination->MaximumLength != 0) {
        destination->Buffer[characters] = 0;
    }
    return status;
}

void RtlFreeUnicodeString(PUNICODE_STRING string) {
    if (string->Buffer != nullptr) {
        ExFreePoolWithTag(string->Buffer, string_tag);
    }
    string->Buffer = nullptr;
    string->Length = string->MaximumLength = 0;
}

void RtlFreeAnsiString(PANSI_STRING string) {
    if (string->Buffer != nullptr) {
        ExFreePoolWithTag(string->Buffer, string_tag);
    }
    string->Buffer = nullptr;
    string->Length = string->MaximumLength = 0;
}

WCHAR RtlUpcaseUnicodeChar(WCHAR c) {
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) {
        return (WCHAR)(c - 0x20);
    }
    return c;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN case_insensitive) {
    if (a->Length != b->Length) {
        return FALSE;
    }
    for (USHORT i = 0; i < a->Length / sizeof(WCHAR); i++) {
        WCHAR x = a->Buffer[i];
        WCHAR y = b->Buffer[i];
        if (case_insensitive) {
            x = RtlUpcaseUnicodeChar(x);
            y = RtlUpcaseUnicodeChar(y);
        }
        if (x != y) {
            return FALSE;
        }
    }
    return TRUE;
}
