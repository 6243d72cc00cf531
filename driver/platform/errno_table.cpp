#include "driver/platform/errno_table.h"

#include "driver/platform/kassert.h"
#include "driver/platform/log.h"

const kpav_errno_row kpav_errno_table[KPAV_ERRNO_ROWS] = {
    {0, "ENONE", "No error"},
    {1, "EPERM", "Operation not permitted"},
    {2, "ENOENT", "No such file or directory"},
    {3, "ESRCH", "No such process"},
    {4, "EINTR", "Interrupted system call"},
    {5, "EIO", "I/O error"},
    {6, "ENXIO", "No such device or address"},
    {7, "E2BIG", "Argument list too long"},
    {8, "ENOEXEC", "Exec format error"},
    {9, "EBADF", "Bad file number"},
    {10, "ECHILD", "No child processes"},
    {11, "EAGAIN", "Try again"},
    {12, "ENOMEM", "Out of memory"},
    {13, "EACCES", "Permission denied"},
    {14, "EFAULT", "Bad address"},
    {16, "EBUSY", "Device or resource busy"},
    {17, "EEXIST", "File exists"},
    {18, "EXDEV", "Cross-device link"},
    {19, "ENODEV", "No such device"},
    {20, "ENOTDIR", "Not a directory"},
    {21, "EISDIR", "Is a directory"},
    {22, "EINVAL", "Invalid argument"},
    {23, "ENFILE", "File table overflow"},
    {24, "EMFILE", "Too many open files"},
    {25, "ENOTTY", "Not a typewriter"},
    {27, "EFBIG", "File too large"},
    {28, "ENOSPC", "No space left on device"},
    {29, "ESPIPE", "Illegal seek"},
    {30, "EROFS", "Read-only file system"},
    {31, "EMLINK", "Too many links"},
    {32, "EPIPE", "Broken pipe"},
    {33, "EDOM", "Math argument out of domain of func"},
    {34, "ERANGE", "Math result not representable"},
    {1024, "EUNCORRECTABLEECC", "Uncorrectable ECC error"},
    {1026, "EECC_VALIDATION_FAIL", "ECC validation failure"},
    {-1, "EUNKNOWN", "Unknown error"},
};

ULONG kpav_errno_lookup(int result) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    // INT_MIN has no negation; no row holds it anyway.
    int value = result < 0 ? (result == INT32_MIN ? INT32_MAX : -result) : 0;
    ULONG row = 0;
    while (kpav_errno_table[row].value != value && kpav_errno_table[row].value != -1) {
        row++;
    }
    if (kpav_errno_table[row].value == -1) {
        kpav_syslog(0, KPAV_DRIVER_COMPONENT, 0, "Unable to find translation for errno %d\n", value);
    }
    return row;
}

namespace {

struct errno_status {
    int result;
    NTSTATUS status;
};

const errno_status errno_statuses[] = {
    {-KPAV_EPERM, STATUS_DRIVER_INTERNAL_ERROR},
    {-KPAV_ENOENT, STATUS_NOT_FOUND},
    {-KPAV_EIO, STATUS_INVALID_DEVICE_STATE},
    {-KPAV_ENXIO, STATUS_NO_SUCH_DEVICE},
    {-KPAV_EBADF, STATUS_UNRECOGNIZED_MEDIA},
    {-KPAV_EAGAIN, STATUS_IO_TIMEOUT},
    {-KPAV_ENOMEM, STATUS_INSUFFICIENT_RESOURCES},
    {-KPAV_EACCES, STATUS_ACCESS_DENIED},
    {-KPAV_EFAULT, STATUS_ACCESS_VIOLATION},
    {-KPAV_EBUSY, STATUS_DEVICE_BUSY},
    {-KPAV_EINVAL, STATUS_INVALID_PARAMETER_12},
    {-KPAV_ENOTTY, STATUS_INVALID_DEVICE_REQUEST},
    {-KPAV_EROFS, STATUS_MEDIA_WRITE_PROTECTED},
};

// The errno values that fall back to a status of their own, 0xC0014000 + errno.
constexpr int fallback_errno_limit = 4096;
constexpr NTSTATUS fallback_status_base = (NTSTATUS)0xC0014000;
constexpr NTSTATUS untranslated_status = (NTSTATUS)0xC0000122;

struct status_errno {
    NTSTATUS status;
    int result;
};

const status_errno status_errnos[] = {
    {STATUS_SUCCESS, 0},
    {STATUS_ACCESS_VIOLATION, -KPAV_EFAULT},
    {STATUS_DEVICE_BUSY, -KPAV_EBUSY},
    {STATUS_NO_SUCH_DEVICE, -KPAV_ENXIO},
    {STATUS_DEVICE_NOT_CONNECTED, -KPAV_ENXIO},
    {(NTSTATUS)0xC021000B, -KPAV_ENXIO},
    {STATUS_INVALID_DEVICE_REQUEST, -KPAV_ENOTTY},
    {STATUS_UNRECOGNIZED_MEDIA, -KPAV_EBADF},
    {STATUS_ACCESS_DENIED, -KPAV_EACCES},
    {STATUS_INSUFFICIENT_RESOURCES, -KPAV_ENOMEM},
    {STATUS_IO_TIMEOUT, -KPAV_EAGAIN},
    {STATUS_INTERNAL_ERROR, -KPAV_EIO},
    {STATUS_INVALID_DEVICE_STATE, -KPAV_EIO},
    {STATUS_IO_DEVICE_ERROR, -KPAV_EIO},
    {STATUS_NOT_FOUND, -KPAV_ENOENT},
};

}  // namespace

NTSTATUS kpav_errno_to_ntstatus(int result, ULONG_PTR* information, BOOLEAN allow_fallback) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    if (result >= 0) {
        if (information != nullptr) {
            *information = (ULONG_PTR)result;
        }
        return STATUS_SUCCESS;
    }
    for (const errno_status& row : errno_statuses) {
        if (row.result == result) {
            return row.status;
        }
    }
    // -result cannot overflow here: INT_MIN is far below the fall-back range.
    if (allow_fallback && result >= -fallback_errno_limit) {
        return fallback_status_base + (NTSTATUS)(-result);
    }
    return untranslated_status;
}

int kpav_ntstatus_to_errno(NTSTATUS status) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    for (const status_errno& row : status_errnos) {
        if (row.status == status) {
            return row.result;
        }
    }
    return -KPAV_EINVAL;
}
