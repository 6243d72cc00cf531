// The ordered pick's question to the forward map: does a sector range have data in one erase
// block?

#include "driver/fmap/eb_probe.h"
#include "driver/fmap/lrbtree.h"
#include "tests/driver/log/log_fixture.h"

namespace {

constexpr ULONG span = 1000;  // packets per erase block in the map's addresses

class EbProbeTest : public MetadataTest {
  protected:
    void SetUp() override {
        MetadataTest::SetUp();
        log_ = std::make_unique<test_log>(64, 1000);
        ASSERT_EQ(lrbtree_create(&map_, &log_->log, 1ull << 20, 1ull << 20), 0);
        ASSERT_EQ(lrbtree_reset(map_), 0);
    }
    void TearDown() override {
        lrbtree_destroy(&map_);
        log_.reset();
        MetadataTest::TearDown();
    }
    void map(ULONG64 key, ULONG64 count, ULONG eb, ULONG offset) {
        lrbtree_update_rec rec = {key, count, 16 + (ULONG64)eb * span + offset, 0, 0};
        ASSERT_EQ(lrbtree_update(map_, &rec, 1), 0);
    }
    std::unique_ptr<test_log> log_;
    lrbtree* map_ = nullptr;
};

TEST_F(EbProbeTest, ARangeTouchesABlockWhenAnyOfItsRunsReachesIntoIt) {
    map(100, 8, 3, 10);     // sectors 100-107 in block 3
    map(200, 20, 4, 990);   // sectors 200-219: the last ten packets of block 4, the rest in block 5
    struct probe_case {
        ULONG64 lba;
        ULONG64 count;
        USHORT eb;
        int expected;
    };
    const probe_case cases[] = {
        {96, 8, 3, 1},    // overlaps the run's start
        {104, 100, 3, 1}, // overlaps its end and the gap after it
        {108, 92, 3, 0},  // the gap between the runs
        {0, 1000, 7, 0},  // a block nothing lies in
        {215, 2, 5, 1},   // the part of the run that crossed into block 5
        {200, 2, 5, 0},   // these two sectors of that run are still in block 4
        {200, 2, 4, 1},
        {300, 50, 4, 0},  // nothing mapped there
        {100, 0, 3, 0},   // an empty range
    };
    for (const probe_case& c : cases) {
        EXPECT_EQ(lrbtree_range_in_eb(map_, c.lba, c.count, c.eb, span), c.expected) << c.lba << "+" << c.count;
    }
    for (const std::string& line : log()) {
        EXPECT_EQ(line.find("Internal software error"), std::string::npos) << line;
    }
}

}  // namespace
