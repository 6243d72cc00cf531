// The driver's errno set and its translations at the Windows boundary. Every result of the
// driver core is 0 or a negated value of this set.
#pragma once

#include "driver/platform/os.h"

enum kpav_errno : int {
    KPAV_ENONE = 0,
    KPAV_EPERM = 1,
    KPAV_ENOENT = 2,
    KPAV_ESRCH = 3,
    KPAV_EINTR = 4,
    KPAV_EIO = 5,
    KPAV_ENXIO = 6,
    KPAV_E2BIG = 7,
    KPAV_ENOEXEC = 8,
    KPAV_EBADF = 9,
    KPAV_ECHILD = 10,
    KPAV_EAGAIN = 11,
    KPAV_ENOMEM = 12,
    KPAV_EACCES = 13,
    KPAV_EFAULT = 14,
    KPAV_EBUSY = 16,
    KPAV_EEXIST = 17,
    KPAV_EXDEV = 18,
    KPAV_ENODEV = 19,
    KPAV_ENOTDIR = 20,
    KPAV_EISDIR = 21,
    KPAV_EINVAL = 22,
    KPAV_ENFILE = 23,
    KPAV_EMFILE = 24,
    KPAV_ENOTTY = 25,
    KPAV_EFBIG = 27,
    KPAV_ENOSPC = 28,
    KPAV_ESPIPE = 29,
    KPAV_EROFS = 30,
    KPAV_EMLINK = 31,
    KPAV_EPIPE = 32,
    KPAV_EDOM = 33,
    KPAV_ERANGE = 34,
    KPAV_EOPNOTSUPP = 95,
    KPAV_EDQUOT = 122,
    KPAV_EUNCORRECTABLEECC = 1024,
    KPAV_EECC_VALIDATION_FAIL = 1026,
    KPAV_EUNKNOWN = -1,
};

struct kpav_errno_row {
    LONG value;
    const char* name;
    const char* text;
};

constexpr ULONG KPAV_ERRNO_ROWS = 36;
extern const kpav_errno_row kpav_errno_table[KPAV_ERRNO_ROWS];

// Row of a core result (0 or a negative errno); the closing EUNKNOWN row for an unknown value.
ULONG kpav_errno_lookup(int result);
// NTSTATUS of a core result; a result of 0 or more is success and goes to `information`.
NTSTATUS kpav_errno_to_ntstatus(int result, ULONG_PTR* information, BOOLEAN allow_fallback);
int kpav_ntstatus_to_errno(NTSTATUS status);
