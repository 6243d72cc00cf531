// The platform the driver is written against. On Windows this is where the kernel's and the
// framework's headers come in; on this machine the stand-in provides the same routines.
// Nothing else in the driver includes a platform header.
#pragma once

#if defined(_WIN32)
#include <ntddk.h>
#include <ntstrsafe.h>
#include <wdf.h>
#else
#include "sim/kernel/kernel.h"
#include "sim/kmdf/wdf.h"
#endif

// Copies from or to a user-side caller's buffer; FALSE when the address does not hold a
// readable (writable) buffer of that length. The kernel does this with a probe and a copy under
// an exception handler; the stand-in has a guarded copy.
inline BOOLEAN os_copy_from_user(void* destination, const void* user_source, SIZE_T length) {
#if defined(_WIN32)
    __try {
        ProbeForRead((PVOID)user_source, length, 1);
        RtlCopyMemory(destination, user_source, length);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        return FALSE;
    }
    return TRUE;
#else
    return SimCopyFromUser(destination, user_source, length);
#endif
}

inline BOOLEAN os_copy_to_user(void* user_destination, const void* source, SIZE_T length) {
#if defined(_WIN32)
    __try {
        ProbeForWrite(user_destination, length, 1);
        RtlCopyMemory(user_destination, source, length);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        return FALSE;
    }
    return TRUE;
#else
    return SimCopyToUser(user_destination, source, length);
#endif
}
