// The re-entrant tokenizer.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/platform/tokenize.h"

TEST(StrtokTest, TokensBetweenRunsOfSeparators) {
    char text[] = ";;a;bc;;d;";
    char* save = nullptr;
    std::vector<std::string> tokens;
    for (char* t = kpav_strtok_r(text, ";", &save); t != nullptr; t = kpav_strtok_r(nullptr, ";", &save)) {
        tokens.emplace_back(t);
    }
    EXPECT_EQ(tokens, (std::vector<std::string>{"a", "bc", "d"}));
    EXPECT_EQ(kpav_strtok_r(nullptr, ";", &save), nullptr) << "stays at the end";

    char two[] = "x, y";
    EXPECT_STREQ(kpav_strtok_r(two, ", ", &save), "x");
    EXPECT_STREQ(kpav_strtok_r(nullptr, ", ", &save), "y");
    EXPECT_EQ(*save, '\0') << "the save position is the terminating NUL";
}
