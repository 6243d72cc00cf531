// The configuration registry as the driver reaches it: keys opened by name, typed values read,
// written, enumerated and deleted. Key and value names compare without regard to case.
//
// Keys live under "\Registry" ("\Registry\Machine\System\..."). The registry routines run at
// PASSIVE_LEVEL; a key handle is an ordinary kernel handle, closed with ZwClose.
#pragma once

#include "sim/kernel/object.h"
#include "sim/kernel/types.h"

#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u
#define REG_QWORD 11u

#define REG_OPTION_NON_VOLATILE 0x00000000u
#define REG_CREATED_NEW_KEY 0x00000001u
#define REG_OPENED_EXISTING_KEY 0x00000002u

#define STATUS_NO_MORE_ENTRIES ((NTSTATUS)0x8000001A)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033)

enum KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2,
};

struct KEY_VALUE_BASIC_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG NameLength;  // bytes
    WCHAR Name[1];
};
using PKEY_VALUE_BASIC_INFORMATION = KEY_VALUE_BASIC_INFORMATION*;

struct KEY_VALUE_FULL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataOffset;  // from the start of the record
    ULONG DataLength;
    ULONG NameLength;  // bytes
    WCHAR Name[1];
};
using PKEY_VALUE_FULL_INFORMATION = KEY_VALUE_FULL_INFORMATION*;

struct KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
};
using PKEY_VALUE_PARTIAL_INFORMATION = KEY_VALUE_PARTIAL_INFORMATION*;

static_assert(FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name) == 12);
static_assert(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) == 20);
static_assert(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12);

// The object name is relative to RootDirectory when that is a key handle, else a full path.
NTSTATUS ZwOpenKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes);
// Opens the key, or creates it when its parent exists; `disposition` (optional) says which.
NTSTATUS ZwCreateKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, ULONG title_index,
                     PUNICODE_STRING class_name, ULONG create_options, PULONG disposition);
// The record of the class asked for. A buffer smaller than the record's fixed part gives
// STATUS_BUFFER_TOO_SMALL; one that holds the fixed part but not all of it gives
// STATUS_BUFFER_OVERFLOW with the fixed part filled. `result_length` is the full size in both.
NTSTATUS ZwQueryValueKey(HANDLE key, PUNICODE_STRING value_name, KEY_VALUE_INFORMATION_CLASS information_class,
                         PVOID information, ULONG length, PULONG result_length);
// Values in the order they were first set; STATUS_NO_MORE_ENTRIES past the last.
NTSTATUS ZwEnumerateValueKey(HANDLE key, ULONG index, KEY_VALUE_INFORMATION_CLASS information_class,
                             PVOID information, ULONG length, PULONG result_length);
NTSTATUS ZwSetValueKey(HANDLE key, PUNICODE_STRING value_name, ULONG title_index, ULONG type, PVOID data,
                       ULONG data_size);
NTSTATUS ZwDeleteValueKey(HANDLE key, PUNICODE_STRING value_name);
