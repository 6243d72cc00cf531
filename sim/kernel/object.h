// Kernel objects with reference counts, and kernel handles to them.
#pragma once

#include "sim/kernel/types.h"

struct OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
};
using POBJECT_ATTRIBUTES = OBJECT_ATTRIBUTES*;

#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_KERNEL_HANDLE 0x00000200L

inline void InitializeObjectAttributes(POBJECT_ATTRIBUTES a, PUNICODE_STRING name, ULONG attributes,
                                       HANDLE root, PVOID security) {
    a->Length = sizeof(OBJECT_ATTRIBUTES);
    a->RootDirectory = root;
    a->Attributes = attributes;
    a->ObjectName = name;
    a->SecurityDescriptor = security;
    a->SecurityQualityOfService = nullptr;
}

#define THREAD_ALL_ACCESS 0x001FFFFFu
#define SYNCHRONIZE 0x00100000u
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_ALL 0x10000000u
#define KEY_ALL_ACCESS 0x000F003Fu
#define KEY_READ 0x00020019u

struct OBJECT_TYPE {
    const char* Name;
};
using POBJECT_TYPE = OBJECT_TYPE*;
extern POBJECT_TYPE* PsThreadType;

LONG_PTR ObReferenceObject(PVOID object);
LONG_PTR ObDereferenceObject(PVOID object);
#define ObfReferenceObject ObReferenceObject
#define ObfDereferenceObject ObDereferenceObject
NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK access, POBJECT_TYPE type,
                                   CCHAR access_mode, PVOID* object, PVOID handle_information);
NTSTATUS ZwClose(HANDLE handle);
#define NtClose ZwClose

namespace sim::kernel::objects {

// Creates an object of `size` bytes (zeroed) with one reference; `destroy` runs when the last
// reference goes, before the memory is released.
PVOID create(POBJECT_TYPE type, size_t size, void (*destroy)(PVOID object));
// A new kernel handle to `object` (takes a reference).
HANDLE open_handle(PVOID object);
ULONG outstanding_objects();
ULONG open_handles();

}  // namespace sim::kernel::objects
