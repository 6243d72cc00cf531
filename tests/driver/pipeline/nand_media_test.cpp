// Media policy and drive tuning: the wear policy's figures, compact numbers, the equalization
// table built from the management info's strings, and the median over selected pads.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "driver/pipeline/nand_media.h"
#include "sim/kernel/control.h"
#include "tests/support/kernel_fixture.h"

namespace {

const nand_media_policy& policy(ULONG key) {
    const nand_media_policy* p = nand_media_policy_find(key);
    EXPECT_NE(p, nullptr);
    return *p;
}

TEST(MediaPolicy, RecordsOfBothFamilies) {
    EXPECT_EQ(policy(5).rated_wear, 11000u);
    EXPECT_EQ(policy(6).rated_wear, 4000u);
    EXPECT_EQ(policy(5).scan_interval, 450000u);
    EXPECT_EQ(policy(6).values_b[0], 300u);
    EXPECT_EQ(nand_media_policy_find(7), nullptr);
    EXPECT_EQ(nand_mgmt_info_lookup(1)->spread, 6);
    EXPECT_EQ(nand_mgmt_info_lookup(8)->fixed_retry_count, 18);
    EXPECT_EQ(nand_mgmt_info_lookup(2), nullptr);
}

struct read_case {
    ULONG key, erase_count;
    ULONG64 read_count;
    ULONG expected;
};

TEST(MediaPolicy, ReadCountPolicy) {
    const read_case cases[] = {
        // Fresh media (up to a tenth of rated wear): 18000000 reads.
        {5, 0, 18000000, READ_POLICY_REFRESH},
        {5, 1100, 17999999, READ_POLICY_NOTHING},
        {5, 0, 900000, READ_POLICY_SAMPLE},  // a multiple of 450000
        {5, 0, 900001, READ_POLICY_NOTHING},
        // Between: (18000000 - 1800000) x (W - e) / W + 1800000.
        {5, 5500, 9900000, READ_POLICY_REFRESH},
        {5, 5500, 9899999, READ_POLICY_NOTHING},
        {5, 1101, 16378527, READ_POLICY_REFRESH},
        {5, 1101, 16378526, READ_POLICY_NOTHING},
        // Worn: 1800000.
        {5, 11000, 1800000, READ_POLICY_REFRESH},
        {5, 60000, 1799999, READ_POLICY_NOTHING},
        {6, 1000, 13950000, READ_POLICY_REFRESH},  // 16200000 x 3000 / 4000 + 1800000
        {6, 1000, 13949999, READ_POLICY_NOTHING},
    };
    for (const read_case& c : cases) {
        EXPECT_EQ(read_count_policy_of(&policy(c.key), c.erase_count, c.read_count), c.expected)
            << c.key << " " << c.erase_count << " " << c.read_count;
    }
    EXPECT_EQ(read_count_policy_of(nullptr, 0, 18000000), READ_POLICY_NOTHING);
}

TEST(MediaPolicy, WearScaleAndRetention) {
    const std::pair<ULONG, ULONG> scale[] = {{0, 0}, {64, 64}, {65, 65}, {66, 65}, {128, 96}, {11000, 299},
                                             {0xFFFFFFFF, (1u << 6) + 32 * 26}};
    for (auto [v, s] : scale) {
        EXPECT_EQ(wear_scale(v), s) << v;
    }
    EXPECT_EQ(retention_seconds_of(&policy(5), 11000), 15u * 86400);
    EXPECT_EQ(retention_seconds_of(&policy(5), 50000), 15u * 86400);
    EXPECT_EQ(retention_seconds_of(&policy(5), 0), 1006u * 86400);  // 15 + 345 x 299 / 104
    EXPECT_EQ(retention_seconds_of(&policy(5), 64), (15u + 345 * 235 / 104) * 86400);
}

TEST(MediaPolicy, PageClass) {
    const std::pair<ULONG, ULONG> key5[] = {{0, 2}, {1, 2}, {2, 1}, {3, 1}, {4, 2}, {6, 3}, {7, 3},
                                            {503, 3}, {504, 1}, {506, 3}, {508, 1}, {511, 1}};
    for (auto [page, expected] : key5) {
        ULONG c = 99;
        page_class_of(&policy(5), page, &c);
        EXPECT_EQ(c, expected) << page;
    }
    const std::pair<ULONG, ULONG> key6[] = {{0, 2}, {1, 2}, {2, 3}, {3, 2}, {254, 3}, {255, 3}};
    for (auto [page, expected] : key6) {
        ULONG c = 99;
        page_class_of(&policy(6), page, &c);
        EXPECT_EQ(c, expected) << page;
    }
    nand_media_policy other = policy(5);
    other.key = 9;
    ULONG c = 99;
    page_class_of(&other, 2, &c);
    EXPECT_EQ(c, 99u);
}

TEST(DriveTuning, CompactNumbers) {
    EXPECT_EQ(compact_number(0x0043), 20.0f);   // mantissa 2, exponent 3
    EXPECT_EQ(compact_number(0x0022), 1.0f);    // mantissa 1, exponent 2
    EXPECT_EQ(compact_number(0xFFE1), -0.1f);   // mantissa -1, exponent 1
    EXPECT_EQ(compact_number(0x0003), 0.0f);    // mantissa 0
    EXPECT_EQ(compact_number(0x7FE2), 1023.0f);
    EXPECT_EQ(compact_number(0x8002), -1024.0f);
}

class DriveTuningTest : public KernelTest {
  protected:
    void TearDown() override {
        drive_tuning_free(tuning_);
        tuning_ = nullptr;
        KernelTest::TearDown();
    }
    int decode(const nand_mgmt_info& info, bool capable = true) {
        drive_tuning_free(tuning_);
        tuning_ = nullptr;
        return drive_tuning_decode("dov0", capable, 0, &info, &tuning_);
    }
    static bool logged(const std::string& text) {
        for (const std::string& line : sim::kernel::debug_texts()) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    drive_tuning* tuning_ = nullptr;
};

struct cell_case {
    ULONG row, column;
    int expected;
    double exact;  // the formula in double precision, before truncation
};

// The cells checked sit at least a tenth away from the integer where truncation changes the
// result, so a C runtime whose expf differs by a unit in the last place gives the same cells;
// the test checks that margin itself.
TEST_F(DriveTuningTest, TheTwoRecordsBuildTheirTables) {
    struct record_case {
        ULONG key, rows, start, end, step;
        std::vector<cell_case> cells;
    };
    const record_case records[] = {
        {1, 12, 1000, 12000, 1000,
         {{0, 0, -2, -2.2139551}, {0, 23, -6, -6.1947851}, {6, 10, -25, -25.7094696}, {11, 0, -56, -56.7937946},
          {11, 23, -36, -36.8896441}, {3, 5, -13, -13.3473772}}},
        // q = 2, d = 2: ((v +- 1) / 2 x 2) / 2.
        {8, 9, 0, 4000, 500,
         {{0, 0, 8, 16.1405377}, {0, 23, 0, 0.7341648}, {4, 10, -6, -11.7415183}, {8, 0, -46, -92.5084005},
          {8, 23, -36, -72.7002077}, {3, 5, -2, -3.3395257}}},
    };
    for (const record_case& r : records) {
        ASSERT_EQ(decode(*nand_mgmt_info_lookup(r.key)), 0) << r.key;
        EXPECT_EQ(tuning_->rows, r.rows);
        EXPECT_EQ(tuning_->eq.start, r.start);
        EXPECT_EQ(tuning_->eq.end, r.end);
        EXPECT_EQ(tuning_->eq.step, r.step);
        EXPECT_EQ(tuning_->endurance_type, 4);
        EXPECT_EQ(tuning_->endurance[0], 1.0f);
        EXPECT_EQ(tuning_->endurance[12], 13.0f);
        for (const cell_case& c : r.cells) {
            double margin = std::fabs(c.exact - std::trunc(c.exact));
            ASSERT_GT(std::min(margin, 1 - margin), 0.1) << "cell on a boundary";
            EXPECT_EQ(eq_cell(tuning_, c.row, c.column), c.expected) << r.key << ": " << c.row << "," << c.column;
        }
    }
}

TEST_F(DriveTuningTest, BadStringsAreRefusedWithTheirMessages) {
    const nand_mgmt_info& good = *nand_mgmt_info_lookup(1);
    struct bad_case {
        const char* what;
        void (*change)(nand_mgmt_info&);
        const char* message;
        bool capable;
        int result;
    };
    const bad_case cases[] = {
        {"endurance length", [](nand_mgmt_info& m) { m.endurance_length = 26; },
         "dov0: Unable to decode endurance parameters.", true, -22},
        {"endurance type", [](nand_mgmt_info& m) { m.endurance[0] = 5; }, "dov0: Unknown endurance type 5.", true, -22},
        {"no equalization", [](nand_mgmt_info& m) { m.equalization_length = 0; },
         "dov0: No equalization information present for capable hardware.", true, -22},
        {"excess equalization", [](nand_mgmt_info&) {},
         "dov0: Excess equalization information present for non-capable hardware.", false, 0},
        {"equalization length", [](nand_mgmt_info& m) { m.equalization_length = 30; },
         "dov0: Unable to decode equalization parameters.", true, -22},
        {"step below 100", [](nand_mgmt_info& m) { m.equalization[27] = 99, m.equalization[28] = 0; },
         "dov0: Incorrect equalization parameters.", true, -22},
        {"end not past start", [](nand_mgmt_info& m) { m.equalization[25] = 100, m.equalization[26] = 0; },
         "dov0: Incorrect equalization parameters.", true, -22},
        {"1001 rows", [](nand_mgmt_info& m) {
             // start 0, end 100000, step 100.
             m.equalization[23] = 0, m.equalization[24] = 0, m.equalization[25] = 0x10, m.equalization[26] = 0x27;
             m.equalization[27] = 100, m.equalization[28] = 0;
         },
         "dov0: Incorrect equalization parameters.", true, -22},
        {"quantum 0", [](nand_mgmt_info& m) { m.equalization[1] = 0; }, "dov0: Incorrect equalization parameters.",
         true, -22},
        {"divisor 0", [](nand_mgmt_info& m) { m.equalization[2] = 0; }, "dov0: Incorrect equalization parameters.",
         true, -22},
        {"equalization type", [](nand_mgmt_info& m) { m.equalization[0] = 2; },
         "dov0: Unknown equalization parameter 2", true, -22},
    };
    for (const bad_case& c : cases) {
        nand_mgmt_info info = good;
        c.change(info);
        sim::kernel::clear_debug_lines();
        EXPECT_EQ(decode(info, c.capable), c.result) << c.what;
        EXPECT_TRUE(logged(c.message)) << c.what;
    }
    // 1000 rows are still taken.
    nand_mgmt_info info = good;
    info.equalization[23] = 0, info.equalization[24] = 0, info.equalization[25] = 0x0F, info.equalization[26] = 0x27;
    info.equalization[27] = 100, info.equalization[28] = 0;
    ASSERT_EQ(decode(info), 0);
    EXPECT_EQ(tuning_->rows, 1000u);
}

TEST_F(DriveTuningTest, CellsBeyondASignedByteKeepTheirSign) {
    nand_mgmt_info info = *nand_mgmt_info_lookup(1);
    info.equalization[9] = 0x43, info.equalization[10] = 0x00;  // f2 = 20 ...
    info.equalization[7] = 0x03, info.equalization[8] = 0x00;   // ... f1 = 0 (mantissa 0)
    info.equalization[11] = 0x00, info.equalization[12] = 0x00;  // f3 = 0: B = 20
    info.equalization[19] = 0x00, info.equalization[20] = 0x00;
    info.equalization[13] = 0x00, info.equalization[14] = 0x00;  // f4 = 0
    info.equalization[1] = 1, info.equalization[2] = 1;
    info.equalization[17] = 0x44, info.equalization[18] = 0x00;  // f6 = 2 x 10^2: D = 220
    ASSERT_EQ(decode(info), 0);
    EXPECT_EQ(eq_cell(tuning_, 0, 0), 127);
    info.equalization[17] = 0xC4, info.equalization[18] = 0xFF;  // f6 = -2 x 10^2: D = -180
    ASSERT_EQ(decode(info), 0);
    EXPECT_EQ(eq_cell(tuning_, 0, 0), -128);
}

LONG reference_median(ULONG mask, const CHAR* values) {
    std::vector<int> v;
    for (ULONG pad = 0; pad < 32; pad++) {
        if ((mask >> pad & 1) != 0) {
            v.push_back(values[pad]);
        }
    }
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[(v.size() - 1) / 2];
}

TEST(PadMedian, LowerMedianOfTheSelectedPads) {
    const CHAR four[32] = {5, -3, 7, 1};
    EXPECT_EQ(pad_mask_median(0xF, four), 1);
    EXPECT_EQ(pad_mask_median(0x4, four), 7);
    EXPECT_EQ(pad_mask_median(0x0, four), 0);
    EXPECT_EQ(pad_mask_median(0x5, four), 5);  // {5, 7}: the lower
    const CHAR extremes[32] = {-128, 127, 0, 127, -128};
    EXPECT_EQ(pad_mask_median(0x1F, extremes), 0);

    // Against a sort, over random masks and values with many repeats; the values stay as they were.
    std::mt19937 random(7);
    for (int round = 0; round < 2000; round++) {
        CHAR values[32];
        for (CHAR& v : values) {
            v = (CHAR)((int)(random() % 9) - 4) * (round % 3 == 0 ? 30 : 1);
        }
        CHAR copy[32];
        std::copy(values, values + 32, copy);
        ULONG mask = (ULONG)random();
        ASSERT_EQ(pad_mask_median(mask, values), reference_median(mask, values)) << round;
        ASSERT_TRUE(std::equal(values, values + 32, copy));
    }
}

}  // namespace
