// Basic kernel types of the stand-in, with the sizes they have on 64-bit Windows.
//
// LONG and ULONG are 32 bits (LLP64), WCHAR is 16 bits. Nothing here is taken from a
// platform header: it is written from what the driver code expects of these names.
#pragma once

#include <cstddef>
#include <cstdint>

using VOID = void;
using PVOID = void*;
using PCVOID = const void*;
using CHAR = char;
using PCHAR = char*;
using PSTR = char*;
using PCSTR = const char*;
using UCHAR = uint8_t;
using PUCHAR = uint8_t*;
using CCHAR = char;
using SHORT = int16_t;
using CSHORT = int16_t;
using USHORT = uint16_t;
using PUSHORT = uint16_t*;
using LONG = int32_t;
using PLONG = int32_t*;
using ULONG = uint32_t;
using PULONG = uint32_t*;
using INT = int32_t;
using UINT = uint32_t;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using LONG64 = int64_t;
using ULONG64 = uint64_t;
using PULONG64 = uint64_t*;
using INT8 = int8_t;
using UINT8 = uint8_t;
using INT16 = int16_t;
using UINT16 = uint16_t;
using INT32 = int32_t;
using UINT32 = uint32_t;
using INT64 = int64_t;
using UINT64 = uint64_t;
using BOOLEAN = uint8_t;
using PBOOLEAN = uint8_t*;
using WCHAR = char16_t;
using PWCHAR = char16_t*;
using PWCH = char16_t*;
using PWSTR = char16_t*;
using PCWSTR = const char16_t*;
using SIZE_T = size_t;
using PSIZE_T = size_t*;
using ULONG_PTR = uintptr_t;
using PULONG_PTR = uintptr_t*;
using LONG_PTR = intptr_t;
using KAFFINITY = ULONG_PTR;
using PKAFFINITY = KAFFINITY*;
using HANDLE = void*;
using PHANDLE = HANDLE*;
using NTSTATUS = LONG;
using KIRQL = UCHAR;
using PKIRQL = KIRQL*;
using KPRIORITY = LONG;
using ACCESS_MASK = ULONG;
using PFN_NUMBER = ULONG_PTR;
using PPFN_NUMBER = PFN_NUMBER*;
using CLONG = ULONG;
using LOGICAL = ULONG;

static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4, "LONG and ULONG are 32-bit");
static_assert(sizeof(WCHAR) == 2, "WCHAR is 16-bit");
static_assert(sizeof(ULONG_PTR) == 8, "the stand-in models 64-bit Windows");

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define UNREFERENCED_PARAMETER(p) ((void)(p))
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define CONTAINING_RECORD(address, type, field) \
    ((type*)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))
#define ARRAYSIZE(a) (sizeof(a) / sizeof((a)[0]))
#define RTL_NUMBER_OF(a) ARRAYSIZE(a)

#define MAXLONG 0x7fffffff
#define MAXULONG 0xffffffffu
#define MAXLONGLONG 0x7fffffffffffffffLL

#define PAGE_SIZE 4096u
#define PAGE_SHIFT 12u
#define BYTE_OFFSET(va) ((ULONG)((ULONG_PTR)(va) & (PAGE_SIZE - 1)))
#define PAGE_ALIGN(va) ((PVOID)((ULONG_PTR)(va) & ~(ULONG_PTR)(PAGE_SIZE - 1)))
#define ADDRESS_AND_SIZE_TO_SPAN_PAGES(va, size) \
    ((ULONG)((BYTE_OFFSET(va) + (ULONG_PTR)(size) + (PAGE_SIZE - 1)) >> PAGE_SHIFT))

union LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;
using PHYSICAL_ADDRESS = LARGE_INTEGER;
using PPHYSICAL_ADDRESS = LARGE_INTEGER*;

union ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
};

struct GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
};
using LPCGUID = const GUID*;
static_assert(sizeof(GUID) == 16);

struct UNICODE_STRING {
    USHORT Length;         // bytes, without a terminator
    USHORT MaximumLength;  // bytes
    PWCH Buffer;
};
using PUNICODE_STRING = UNICODE_STRING*;
using PCUNICODE_STRING = const UNICODE_STRING*;

struct ANSI_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
};
using PANSI_STRING = ANSI_STRING*;

// ---------------------------------------------------------------------------------------------
// Status codes the driver and the stand-in use.
#define NT_SUCCESS(s) (((NTSTATUS)(s)) >= 0)
#define STATUS_SUCCESS ((NTSTATUS)0x00000000)
#define STATUS_WAIT_0 ((NTSTATUS)0x00000000)
#define STATUS_ALERTED ((NTSTATUS)0x00000101)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102)
#define STATUS_PENDING ((NTSTATUS)0x00000103)
#define STATUS_USER_APC ((NTSTATUS)0x000000C0)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005)
#define STATUS_DEVICE_BUSY ((NTSTATUS)0x80000011)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002)
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000D)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000E)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010)
#define STATUS_UNRECOGNIZED_MEDIA ((NTSTATUS)0xC0000014)
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023)
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009A)
#define STATUS_DEVICE_NOT_CONNECTED ((NTSTATUS)0xC000009D)
#define STATUS_MEDIA_WRITE_PROTECTED ((NTSTATUS)0xC00000A2)
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BB)
#define STATUS_INTERNAL_ERROR ((NTSTATUS)0xC00000E5)
#define STATUS_INVALID_PARAMETER_MIX ((NTSTATUS)0xC0000030)
#define STATUS_INVALID_PARAMETER_12 ((NTSTATUS)0xC00000FA)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120)
#define STATUS_CANNOT_DELETE ((NTSTATUS)0xC0000121)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184)
#define STATUS_DRIVER_INTERNAL_ERROR ((NTSTATUS)0xC0000183)
#define STATUS_IO_DEVICE_ERROR ((NTSTATUS)0xC0000185)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225)
#define STATUS_INVALID_PARAMETER_2 ((NTSTATUS)0xC00000F0)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035)
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056)
#define STATUS_DEVICE_CONFIGURATION_ERROR ((NTSTATUS)0xC0000182)
#define STATUS_INVALID_DEVICE_OBJECT_PARAMETER ((NTSTATUS)0xC0000369)
#define STATUS_NO_MORE_ENTRIES ((NTSTATUS)0x8000001A)
#define STATUS_OBJECT_NAME_EXISTS ((NTSTATUS)0x40000000)

// ---------------------------------------------------------------------------------------------
// Doubly and singly linked lists. As in the kernel, every insertion and removal checks that the
// neighbours point back at the entry and stops the system (fail-fast code 3) when they do not.

struct LIST_ENTRY {
    LIST_ENTRY* Flink;
    LIST_ENTRY* Blink;
};
using PLIST_ENTRY = LIST_ENTRY*;

struct SINGLE_LIST_ENTRY {
    SINGLE_LIST_ENTRY* Next;
};
using PSINGLE_LIST_ENTRY = SINGLE_LIST_ENTRY*;

#define FAST_FAIL_CORRUPT_LIST_ENTRY 3u
[[noreturn]] void RtlFailFast(ULONG code);

inline void InitializeListHead(PLIST_ENTRY head) {
    head->Flink = head->Blink = head;
}

inline BOOLEAN IsListEmpty(const LIST_ENTRY* head) {
    return head->Flink == head;
}

inline void RtlCheckListEntry(PLIST_ENTRY entry) {
    if (entry->Flink->Blink != entry || entry->Blink->Flink != entry) {
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
}

inline BOOLEAN RemoveEntryList(PLIST_ENTRY entry) {
    PLIST_ENTRY next = entry->Flink;
    PLIST_ENTRY prev = entry->Blink;
    if (next->Blink != entry || prev->Flink != entry) {
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    prev->Flink = next;
    next->Blink = prev;
    return (BOOLEAN)(next == prev);
}

inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head) {
    PLIST_ENTRY entry = head->Flink;
    PLIST_ENTRY next = entry->Flink;
    if (entry->Blink != head || next->Blink != entry) {
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    head->Flink = next;
    next->Blink = head;
    return entry;
}

inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY head) {
    PLIST_ENTRY entry = head->Blink;
    PLIST_ENTRY prev = entry->Blink;
    if (entry->Flink != head || prev->Flink != entry) {
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    head->Blink = prev;
    prev->Flink = head;
    return entry;
}

inline void InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry) {
    PLIST_ENTRY prev = head->Blink;
    if (prev->Flink != head) {
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    entry->Flink = head;
    entry->Blink = prev;
    prev->Flink = entry;
    head->Blink = entry;
}

inline void InsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry) {
    PLIST_ENTRY next = head->Flink;
    if (next->Blink != head) {
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    entry->Flink = next;
    entry->Blink = head;
    next->Blink = entry;
    head->Flink = entry;
}

inline void PushEntryList(PSINGLE_LIST_ENTRY head, PSINGLE_LIST_ENTRY entry) {
    entry->Next = head->Next;
    head->Next = entry;
}

inline PSINGLE_LIST_ENTRY PopEntryList(PSINGLE_LIST_ENTRY head) {
    PSINGLE_LIST_ENTRY first = head->Next;
    if (first != nullptr) {
        head->Next = first->Next;
    }
    return first;
}
