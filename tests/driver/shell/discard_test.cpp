// A disk's trim as discards of its block device: a long range goes out in pieces of at most
// 0x4000000 sectors, each waited for but the last.
#include <vector>

#include "driver/platform/errno_table.h"
#include "driver/shell/disk.h"
#include "tests/driver/block/bio_fixture.h"

namespace {

struct seen_discard {
    ULONG64 base;
    ULONG64 count;
    bool waited;
    bool operator==(const seen_discard&) const = default;
};
std::vector<seen_discard> discards;
int fail_at = -1;  // the discard (by order) that fails

int record_discard(bdev*, bio* first) {
    discards.push_back({first->base, first->count, (first->flags & BIO_SYNC) != 0});
    bio_endio(first, (int)discards.size() - 1 == fail_at ? -KPAV_EIO : 0);
    return 0;
}

}  // namespace

class DiscardRangeTest : public BioTest {
  protected:
    void SetUp() override {
        BioTest::SetUp();
        discards.clear();
        fail_at = -1;
        ops_ = recording_bdev_ops;
        ops_.submit_write = record_discard;
        ops_.submit_read = record_discard;
        device_->ops = &ops_;
        device_->sector_count = 1ull << 40;
    }
    bdev_ops ops_{};
};

TEST_F(DiscardRangeTest, LongRangesGoOutInPiecesAllButTheLastWaitedFor) {
    const ULONG64 chunk = 0x4000000;
    ASSERT_EQ(PdoDiscardRange(device_, 5, 200ull << 20), 0);
    std::vector<seen_discard> want = {
        {5, chunk, true}, {5 + chunk, chunk, true}, {5 + 2 * chunk, chunk, true},
        {5 + 3 * chunk, (200ull << 20) - 3 * chunk, false}};
    EXPECT_EQ(discards, want);

    discards.clear();
    ASSERT_EQ(PdoDiscardRange(device_, 0, chunk), 0);
    EXPECT_EQ(discards, (std::vector<seen_discard>{{0, chunk, false}}));

    // A piece that fails stops the rest.
    discards.clear();
    fail_at = 0;
    EXPECT_EQ(PdoDiscardRange(device_, 0, 3 * chunk), -KPAV_EIO);
    EXPECT_EQ(discards.size(), 1u);
    EXPECT_TRUE(eventually([this] { return in_use() == 0; }));
}
