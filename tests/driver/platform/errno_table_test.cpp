// The errno set and its translations to and from NTSTATUS.

#include "driver/platform/errno_table.h"
#include "tests/support/kernel_fixture.h"

class ErrnoTableTest : public KernelTest {};

TEST_F(ErrnoTableTest, TableHasItsRowsInOrder) {
    EXPECT_EQ(kpav_errno_table[0].value, 0);
    EXPECT_STREQ(kpav_errno_table[15].name, "EBUSY");  // 15 itself has no row
    EXPECT_STREQ(kpav_errno_table[25].text, "File too large");
    EXPECT_STREQ(kpav_errno_table[33].name, "EUNCORRECTABLEECC");
    EXPECT_STREQ(kpav_errno_table[35].text, "Unknown error");
    for (ULONG row = 1; row + 1 < KPAV_ERRNO_ROWS; row++) {
        EXPECT_LT(kpav_errno_table[row - 1].value, kpav_errno_table[row].value) << row;
        EXPECT_NE(kpav_errno_table[row].value, 15);
        EXPECT_NE(kpav_errno_table[row].value, 26);
    }
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
