#include "driver/block/lrbtree.h"
#include "tests/driver/log/log_fixture.h"

class LrbSmoke : public MetadataTest {};

TEST_F(LrbSmoke, MapLookupUnmap) {
    test_log t(64, 1000);
    lrbtree* map = nullptr;
    ASSERT_EQ(lrbtree_create(&map, &t.log, 1 << 20, 1 << 20), 0);
    ASSERT_EQ(lrbtree_reset(map), 0);
    lrbtree_update_rec rec = {100, 10, t.addr(1, 5), 0, 0};
    ASSERT_EQ(lrbtree_update(map, &rec, 1), 0);
    EXPECT_EQ(rec.out, 10);
    lrbtree_lookup found{};
    lrbtree_range range{};
    EXPECT_EQ(lrbtree_enumerate(map, &range, &lrbtree_lookup_at, &found, 0, 103, 104), -11);
    EXPECT_EQ(found.start, 103u);
    EXPECT_EQ(found.gpkt, t.addr(1, 8));
    for (int i = 0; i < 20000; i++) {
        lrbtree_update_rec r = {(ULONG64)(i * 7 % 300000), 1 + (ULONG64)(i % 64), t.addr(i % 60, i % 900), 0, 0};
        ASSERT_EQ(lrbtree_update(map, &r, 1), 0) << i;
    }
    lrbtree_update_rec un = {0, 1 << 20, 0, LRB_UNMAP_ALL, 0};
    ASSERT_EQ(lrbtree_update(map, &un, 1), 0);
    EXPECT_EQ(lrbtree_enumerate(map, &range, &lrbtree_lookup_at, &found, 0, 0, 1 << 20), -11);
    EXPECT_EQ(found.gpkt, 0u);
    EXPECT_EQ(found.length, (ULONG64)(1 << 17));
    lrbtree_destroy(&map);
}
