// The errno set and its translations to and from NTSTATUS.

#include "driver/platform/errno_table.h"
#include "tests/support/kernel_fixture.h"

class ErrnoTableTest : public KernelTest {};

// Every row as the tools and messages show it.
TEST_F(ErrnoTableTest, EveryRowHasItsValueNameAndText) {
    const kpav_errno_row expected[KPAV_ERRNO_ROWS] = {
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
    for (ULONG row = 0; row < KPAV_ERRNO_ROWS; row++) {
        SCOPED_TRACE(row);
        EXPECT_EQ(kpav_errno_table[row].value, expected[row].value);
        EXPECT_STREQ(kpav_errno_table[row].name, expected[row].name);
        EXPECT_STREQ(kpav_errno_table[row].text, expected[row].text);
        if (expected[row].value >= 0) {
            EXPECT_EQ(kpav_errno_lookup(-expected[row].value), row);
        }
    }
    EXPECT_TRUE(log().empty());
}

TEST_F(ErrnoTableTest, LookupFindsRowsAndReportsUnknownValues) {
    EXPECT_EQ(kpav_errno_lookup(-22), 21u);
    EXPECT_EQ(kpav_errno_lookup(-1026), 34u);
    EXPECT_EQ(kpav_errno_lookup(0), 0u);
    EXPECT_EQ(kpav_errno_lookup(7), 0u);  // positive values look up ENONE
    EXPECT_TRUE(log().empty());
    EXPECT_EQ(kpav_errno_lookup(-15), 35u);
    EXPECT_EQ(log(), std::vector<std::string>{"paverr Corvane driver: 00000 Unable to find translation for errno 15\n"});
}

TEST_F(ErrnoTableTest, ErrnoToNtstatus) {
    struct row {
        int result;
        BOOLEAN fallback;
        NTSTATUS status;
    };
    const row rows[] = {
        {-1, TRUE, (NTSTATUS)0xC0000183},  {-2, TRUE, (NTSTATUS)0xC0000225},  {-5, TRUE, (NTSTATUS)0xC0000184},
        {-6, TRUE, (NTSTATUS)0xC000000E},  {-9, TRUE, (NTSTATUS)0xC0000014},  {-11, TRUE, (NTSTATUS)0xC00000B5},
        {-12, TRUE, (NTSTATUS)0xC000009A}, {-13, TRUE, (NTSTATUS)0xC0000022}, {-14, TRUE, (NTSTATUS)0xC0000005},
        {-16, TRUE, (NTSTATUS)0x80000011}, {-22, TRUE, (NTSTATUS)0xC00000FA}, {-25, TRUE, (NTSTATUS)0xC0000010},
        {-30, TRUE, (NTSTATUS)0xC00000A2}, {-22, FALSE, (NTSTATUS)0xC00000FA},
        {-17, TRUE, (NTSTATUS)0xC0014011}, {-17, FALSE, (NTSTATUS)0xC0000122},
        {-4096, TRUE, (NTSTATUS)0xC0015000}, {-4097, TRUE, (NTSTATUS)0xC0000122},
        {-1027, TRUE, (NTSTATUS)0xC0014403}, {INT32_MIN, TRUE, (NTSTATUS)0xC0000122},
    };
    for (const row& r : rows) {
        ULONG_PTR information = 77;
        EXPECT_EQ(kpav_errno_to_ntstatus(r.result, &information, r.fallback), r.status) << r.result;
        EXPECT_EQ(information, 77u) << "a failure leaves the information alone";
    }
    ULONG_PTR information = 0;
    EXPECT_EQ(kpav_errno_to_ntstatus(5, &information, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(information, 5u);
    EXPECT_EQ(kpav_errno_to_ntstatus(0, nullptr, FALSE), STATUS_SUCCESS);
}

TEST_F(ErrnoTableTest, NtstatusToErrno) {
    const std::pair<NTSTATUS, int> rows[] = {
        {0, 0},
        {(NTSTATUS)0xC0000005, -14},
        {(NTSTATUS)0x80000011, -16},
        {(NTSTATUS)0xC000000E, -6},
        {(NTSTATUS)0xC000009D, -6},
        {(NTSTATUS)0xC021000B, -6},
        {(NTSTATUS)0xC0000010, -25},
        {(NTSTATUS)0xC0000014, -9},
        {(NTSTATUS)0xC0000022, -13},
        {(NTSTATUS)0xC000009A, -12},
        {(NTSTATUS)0xC00000B5, -11},
        {(NTSTATUS)0xC00000E5, -5},
        {(NTSTATUS)0xC0000184, -5},
        {(NTSTATUS)0xC0000185, -5},
        {(NTSTATUS)0xC0000225, -2},
        {(NTSTATUS)0x80000005, -22},
        {(NTSTATUS)0x00000103, -22},
        {(NTSTATUS)0xC0000001, -22},
    };
    for (const auto& [status, result] : rows) {
        EXPECT_EQ(kpav_ntstatus_to_errno(status), result) << std::hex << status;
    }
}
