// The PAV_AFFINITY parser's messages: what is wrong, then where, with the text up to there (or
// without it when no copy can be had). Placement by the parameter is the machine's test.

#include <cstring>
#include <string>
#include <vector>

#include "driver/platform/params.h"
#include "driver/shell/shell.h"
#include "tests/support/kernel_fixture.h"

namespace {

std::string syntax_at(unsigned position, const std::string& text) {
    return "paverr Corvane driver: 06153 Invalid PAV_AFFINITY parameter syntax at character " +
           std::to_string(position) + ": \"" + text + "\". Manual affinity settings are disabled!\n";
}

}  // namespace

class AffinityParserTest : public KernelTest {
  protected:
    void TearDown() override {
        pav_affinity[0] = 0;
        sim::kernel::clear_faults();
        KernelTest::TearDown();
    }
    static void set(const std::string& text) {
        ASSERT_LT(text.size(), sizeof pav_affinity);
        std::memcpy(pav_affinity, text.c_str(), text.size() + 1);
    }
};

TEST_F(AffinityParserTest, EachErrorIsNamedThenPlaced) {
    const std::string device = "paverr Corvane driver: 06149 PAV_AFFINITY: Invalid device number\n";
    const std::string number = "paverr Corvane driver: 06150 PAV_AFFINITY: Invalid group or node number\n";
    const std::string mask = "paverr Corvane driver: 06151 PAV_AFFINITY: Invalid mask\n";
    const std::string too_long = "paverr Corvane driver: 06152 PAV_AFFINITY: Invalid mask - too long\n";
    struct row {
        std::string text;
        std::vector<std::string> lines;
    };
    const row rows[] = {
        {"3,N1;0:4,G0,0xF;5,g2,ff", {}},
        {"x", {device, syntax_at(1, "x")}},
        {"300,N1", {device, syntax_at(4, "300,")}},
        {"1:300,G0", {device, syntax_at(5, "1:300")}},
        {"3,N1;", {device, syntax_at(6, "3,N1;")}},
        {"3,G70000", {number, syntax_at(8, "3,G70000")}},
        {"3,N", {number, syntax_at(4, "3,N")}},
        {"3,N1,", {mask, syntax_at(6, "3,N1,")}},
        {"3,N1,0xg", {mask, syntax_at(8, "3,N1,0xg")}},
        {"3,G0,0x12345678901234567", {too_long, syntax_at(24, "3,G0,0x12345678901234567")}},
        {"3", {syntax_at(2, "3")}},              // ends too early: no reason of its own
        {"3,N1x", {syntax_at(5, "3,N1x")}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        sim::kernel::clear_debug_lines();
        set(r.text);
        EXPECT_EQ(PavValidateAffinityParameter(), r.lines.empty());
        EXPECT_EQ(log(), r.lines);
    }
}

TEST_F(AffinityParserTest, WithoutMemoryForTheCopyThePlaceIsGivenAlone) {
    set("3,N1,");
    sim::kernel::fail_always(sim::kernel::fault_site::pool, "vml4");
    EXPECT_FALSE(PavValidateAffinityParameter());
    EXPECT_EQ(log(), (std::vector<std::string>{
                         "paverr Corvane driver: 06151 PAV_AFFINITY: Invalid mask\n",
                         "paverr Corvane driver: 06154 Invalid PAV_AFFINITY parameter syntax at character 6. Manual "
                         "affinity settings are disabled!\n"}));
}
