// Hex dumps as debug-log lines.

#include <cstdio>
#include <string>
#include <vector>

#include "driver/platform/dump_line.h"
#include "tests/support/kernel_fixture.h"

using namespace sim::kernel;

class DumpLineTest : public KernelTest {};

TEST_F(DumpLineTest, LinesCarryPrefixOffsetAndBytes) {
    UCHAR data[20];
    for (int i = 0; i < 20; i++) {
        data[i] = (UCHAR)(0xA0 + i);
    }
    kpav_dump_line(data, 20, 8, " %02x", "%04x:", "%s%d ", "pre", 7);
    EXPECT_EQ(log(), (std::vector<std::string>{
                         "pre7 0000: a0 a1 a2 a3 a4 a5 a6 a7\n",
                         "pre7 0008: a8 a9 aa ab ac ad ae af\n",
                         "pre7 0010: b0 b1 b2 b3\n",
                     }));

    clear_debug_lines();
    kpav_dump_line(data, 3, 0, "%02x", nullptr, nullptr);
    kpav_dump_line(data, 0, 8, "%02x", nullptr, nullptr);
    kpav_dump_line(data + 1, 1, 0, "", "%p", nullptr);
    char address[32];
    snprintf(address, sizeof address, "%016llX", (unsigned long long)(uintptr_t)(data + 1));
    EXPECT_EQ(log(), (std::vector<std::string>{"a0a1a2\n", std::string(address) + "\n"}));

    clear_debug_lines();
    std::vector<UCHAR> wide(200, 0x11);
    kpav_dump_line(wide.data(), 200, 0, " %02x", nullptr, "%s", ">");
    ASSERT_EQ(log().size(), 1u);
    EXPECT_EQ(log()[0], ">" + [] {
        std::string s;
        for (int i = 0; i < 84; i++) {
            s += " 11";
        }
        return s;
    }() + " 1\n") << "255 characters at most";
}
