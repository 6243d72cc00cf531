// The forward map saved and loaded back (what the metadata log writes, replayed into an empty
// block table), built from sorted runs, compacted, and probed; and saved images that were
// damaged, which a load must refuse whole.
#include <functional>
#include <random>

#include "driver/fmap/lrbtree_bulk.h"
#include "driver/platform/errno_table.h"
#include "sim/kernel/control.h"
#include "tests/driver/fmap/lrbtree_check.h"
#include "tests/driver/fmap/lrbtree_model.h"
#include "tests/driver/log/log_fixture.h"
#include "tests/driver/log/mblk_inspect.h"
#include "tests/support/env.h"

namespace {

constexpr ULONG lebs = 64;
constexpr ULONG packets = 10000;
constexpr uint64_t sectors = 3 * (1ull << 17);  // three shards of 2^17 keys

lrb_model_geometry model_geometry() {
    lrb_model_geometry g;
    g.sector_space = sectors;
    g.sector_span = 1ull << 17;
    g.reserved_span = 1ull << 24;
    g.leb_span = packets + 1;
    for (ULONG i = 0; i < lebs; i++) {
        g.sequence.push_back(64ull * (i + 1));
        g.capacity.push_back(packets);
        g.next.push_back(i + 1 < lebs ? (uint16_t)(i + 1) : 65535);
    }
    return g;
}

class LrbPersist : public MetadataTest {
  protected:
    void SetUp() override {
        MetadataTest::SetUp();
        log_ = std::make_unique<test_log>(lebs, packets);
        ASSERT_EQ(lrbtree_create(&map_, &log_->log, sectors, sectors), 0);
        ASSERT_EQ(lrbtree_reset(map_), 0);
        model_ = std::make_unique<lrb_model>(model_geometry(),
                                             std::vector<std::pair<uint64_t, uint64_t>>{{0, sectors}});
    }
    void TearDown() override {
        lrbtree_destroy(&map_);
        log_.reset();
        MetadataTest::TearDown();
    }

    uint64_t address(std::mt19937_64& rng, uint64_t length) {
        uint64_t leb = rng() % (lebs - 1);
        return log_->addr((ULONG)leb, (ULONG)(rng() % (packets - length)));
    }

    // Maps runs through updates, the table too.
    void fill(std::mt19937_64& rng, size_t runs, uint64_t from, uint64_t span) {
        for (size_t i = 0; i < runs; i++) {
            uint64_t length = 1 + rng() % 64;
            uint64_t key = from + rng() % (span - length);
            lrbtree_update_rec rec = {key, length, address(rng, length), 0, 0};
            model_->apply(rec);
            ASSERT_EQ(lrbtree_update(map_, &rec, 1), 0);
        }
    }

    // Builds shard `shard` from runs at every third key with the bulk builder at `percent`.
    void bulk_build(ULONG shard, ULONG percent, size_t runs, std::mt19937_64& rng) {
        lrb_hold_writers(map_, true);
        lrbtree_cursor cursor;
        lrbtree_bulk_builder b;
        ASSERT_EQ(lrbtree_build_begin(map_, shard, &cursor, &b, "test"), 0);
        lrbtree_bulk_start(&b, &cursor, percent, "test");
        uint64_t base = (uint64_t)shard << 17;
        for (size_t i = 0; i < runs; i++) {
            uint64_t length = 1 + rng() % 3;
            uint64_t gpkt = address(rng, length);
            if (lrbtree_bulk_full(&b)) {
                ASSERT_EQ(lrbtree_bulk_flush(&b, false), 0);
            }
            lrbtree_bulk_append(&b, 3 * i, (ULONG)length, gpkt);
            lrbtree_update_rec rec = {base + 3 * i, length, gpkt, 0, 0};
            model_->apply(rec);
        }
        ASSERT_EQ(lrbtree_build_end(&cursor, &b, 0), 0);
        lrb_hold_writers(map_, false);
    }

    std::string agrees() {
        std::vector<walk_report> reports;
        int rc = lrb_walk(map_, 0, sectors, false, &reports);
        if (rc != 0) return "walk " + std::to_string(rc);
        std::string err = model_->check_walk(0, sectors, false, reports);
        return err.empty() ? lrb_check_map(map_) : err;
    }

    int restart(void (*edit)(lrb_image*, void*) = nullptr, void* context = nullptr) {
        return lrb_restart(&map_, &log_->log, sectors, sectors, nullptr, edit, context);
    }

    std::unique_ptr<test_log> log_;
    lrbtree* map_ = nullptr;
    std::unique_ptr<lrb_model> model_;
};

// The tree's node pages in an image, by level.
std::vector<lrb_node*> nodes_of(lrb_image* image, int level) {
    std::vector<lrb_node*> out;
    for (auto& [key, page] : *image) {
        auto* node = (lrb_node*)page.data();
        if (key > LRB_FIRST_NODE_ID && key <= LRB_LAST_NODE_ID && node->h.type == 0 &&
            (level < 0 || (int)lrb_node_level(node) == level)) {
            out.push_back(node);
        }
    }
    return out;
}

TEST_F(LrbPersist, AnEmptyMapSavesItsHeaderAlone) {
    lrb_image image;
    auto* header = (lrb_header_block*)nullptr;
    ASSERT_EQ(lrb_save_image(map_, &image), 0);
    ASSERT_EQ(image.size(), 1u);
    header = (lrb_header_block*)image.at(LRB_HEADER_KEY).data();
    EXPECT_EQ(header->type, 6);
    EXPECT_EQ(header->key_width, 24u);
    // A saved map takes no more updates: its nodes hold keys where references were.
    lrbtree_update_rec rec = {5, 1, log_->addr(0, 0), 0, 0};
    EXPECT_EQ(lrbtree_update(map_, &rec, 1), -KPAV_EBUSY);
    lrbtree_destroy(&map_);
    mblk_release_all(&log_->log);
    EXPECT_EQ(lrb_load_image(&map_, &log_->log, sectors, sectors, image), 0);
    EXPECT_EQ(agrees(), "");
    lrbtree_range all{0, sectors};
    EXPECT_TRUE(lrbtree_range_probe(map_, &all));
}

// Nodes are written with each index entry's key its child's first key; a load reads entry 0
// written as 0 as well (and as any key up to the child's first).
TEST_F(LrbPersist, FirstSeparatorsAreWrittenAsFirstKeysAndReadEitherWay) {
    std::mt19937_64 rng(7);
    bulk_build(0, 2, 3000, rng);  // index nodes on four levels
    fill(rng, 4000, 1ull << 17, sectors - (1ull << 17));
    lrb_image image;
    ASSERT_EQ(lrb_save_image(map_, &image), 0);
    size_t index_nodes = 0;
    for (lrb_node* node : nodes_of(&image, -1)) {
        if (lrb_node_level(node) == 0) continue;
        index_nodes++;
        lrbtree_index_rec first;
        lrb_index_get(&map_->shape.index_layout, node, 0, &first);
        ASSERT_EQ(first.child & 1, 1u);
        const lrb_node* child = (const lrb_node*)image.at(first.child >> 1).data();
        EXPECT_EQ(first.key, lrb_node_first_key(&map_->shape, child));
    }
    EXPECT_GT(index_nodes, 50u);
    const lrbtree_layout index = map_->shape.index_layout;
    lrbtree_destroy(&map_);
    mblk_release_all(&log_->log);
    for (lrb_node* node : nodes_of(&image, -1)) {
        if (lrb_node_level(node) != 0) lrb_index_set_key(&index, node, 0, 0);
    }
    ASSERT_EQ(lrb_load_image(&map_, &log_->log, sectors, sectors, image), 0);
    EXPECT_EQ(agrees(), "");
    fill(rng, 500, 0, sectors);
    EXPECT_EQ(agrees(), "");
}

// A damaged image is refused whole: the load fails, the map keeps the error and takes nothing.
TEST_F(LrbPersist, DamagedImagesAreRefused) {
    std::mt19937_64 rng(11);
    fill(rng, 3000, 0, sectors);
    lrb_image saved;
    ASSERT_EQ(lrb_save_image(map_, &saved), 0);
    const lrbtree_layout leaf = map_->shape.leaf_layout;
    const lrbtree_layout index = map_->shape.index_layout;
    auto first_leaf = [](lrb_image* im) { return nodes_of(im, 0).at(0); };
    auto a_root = [](lrb_image* im) {
        for (lrb_node* n : nodes_of(im, -1)) {
            if (n->h.level & LRB_ROOT_FLAG) return n;
        }
        return (lrb_node*)nullptr;
    };
    auto index_with = [](lrb_image* im, ULONG children) {
        for (lrb_node* n : nodes_of(im, 1)) {
            if (n->h.count >= children) return n;
        }
        return (lrb_node*)nullptr;
    };
    struct damage {
        const char* what;
        int error;
        std::function<void(lrb_image*)> edit;
    };
    const damage cases[] = {
        {"leaf count above its capacity", -KPAV_EINVAL, [&](lrb_image* im) { first_leaf(im)->h.count = (USHORT)(leaf.capacity + 1); }},
        {"head outside the slots", -KPAV_EINVAL, [&](lrb_image* im) { first_leaf(im)->h.head = (USHORT)leaf.capacity; }},
        {"an empty leaf", -KPAV_EINVAL, [&](lrb_image* im) { first_leaf(im)->h.count = 0; }},
        {"a leaf of the wrong kind", -KPAV_EINVAL, [&](lrb_image* im) { first_leaf(im)->h.kind = 3; }},
        {"a leaf of another shard", -KPAV_EINVAL, [&](lrb_image* im) { first_leaf(im)->h.base += 1ull << 17; }},
        {"runs overlapping", -KPAV_EINVAL, [&](lrb_image* im) {
             lrb_node* n = first_leaf(im);
             lrbtree_leaf_rec r;
             lrb_leaf_get(&leaf, n, 1, &r);
             r.key -= 1;
             r.length = 64;
             lrb_leaf_put(&leaf, n, 0, &r);
         }},
        {"a run at packets the log does not have", -KPAV_EINVAL, [&](lrb_image* im) {
             lrb_node* n = first_leaf(im);
             lrbtree_leaf_rec r;
             lrb_leaf_get(&leaf, n, 0, &r);
             r.gpkt = 16 + (uint64_t)packets;  // the gap after LEB 0
             lrb_leaf_put(&leaf, n, 0, &r);
         }},
        {"a missing child block", -KPAV_ENOENT, [&](lrb_image* im) {
             lrbtree_index_rec c;
             lrb_index_get(&index, index_with(im, 2), 1, &c);
             im->erase(c.child >> 1);
         }},
        {"a child written as a reference", -KPAV_EINVAL, [&](lrb_image* im) {
             lrbtree_index_rec c;
             lrb_node* n = index_with(im, 2);
             lrb_index_get(&index, n, 1, &c);
             c.child &= ~1ull;
             lrb_index_put(&index, n, 1, &c);
         }},
        {"a child of two parents", -KPAV_EINVAL, [&](lrb_image* im) {
             lrbtree_index_rec c0, c1;
             lrb_node* n = index_with(im, 2);
             lrb_index_get(&index, n, 0, &c0);
             lrb_index_get(&index, n, 1, &c1);
             c1.child = c0.child;
             lrb_index_put(&index, n, 1, &c1);
         }},
        {"separators out of order", -KPAV_EINVAL, [&](lrb_image* im) {
             lrb_node* n = index_with(im, 3);
             ULONG64 k1 = lrb_index_key(&index, n, 1);
             lrb_index_set_key(&index, n, 1, lrb_index_key(&index, n, 2));
             lrb_index_set_key(&index, n, 2, k1);
         }},
        {"a first separator above its child's keys", -KPAV_EINVAL, [&](lrb_image* im) {
             lrb_node* n = index_with(im, 2);
             lrb_index_set_key(&index, n, 0, lrb_index_key(&index, n, 1) - 1);
         }},
        {"a root too deep", -KPAV_EINVAL, [&](lrb_image* im) { a_root(im)->h.level = LRB_ROOT_FLAG | 6; }},
        {"a second root for a shard", -KPAV_EINVAL, [&](lrb_image* im) {
             std::vector<uint8_t> copy((uint8_t*)a_root(im), (uint8_t*)a_root(im) + 4096);
             (*im)[LRB_LAST_NODE_ID] = copy;
         }},
        {"a header of another key width", -KPAV_EINVAL, [&](lrb_image* im) {
             ((lrb_header_block*)im->at(LRB_HEADER_KEY).data())->key_width = 32;
         }},
        {"a header that counts other keys", -KPAV_EINVAL, [&](lrb_image* im) {
             ((lrb_header_block*)im->at(LRB_HEADER_KEY).data())->mapped_keys += 1;
         }},
        {"a lost leaf and its separator", -KPAV_EINVAL, [&](lrb_image* im) {
             lrb_node* n = index_with(im, 3);
             n->h.count--;
         }},
        {"no header", -KPAV_ENOENT, [&](lrb_image* im) { im->erase(LRB_HEADER_KEY); }},
    };
    for (const damage& d : cases) {
        SCOPED_TRACE(d.what);
        lrb_image image = saved;
        d.edit(&image);
        lrbtree_destroy(&map_);
        mblk_release_all(&log_->log);
        EXPECT_EQ(lrb_load_image(&map_, &log_->log, sectors, sectors, image), d.error);
        EXPECT_NE(lrb_first_error(map_), 0);
        lrbtree_update_rec rec = {5, 1, log_->addr(0, 0), 0, 0};
        EXPECT_NE(lrbtree_update(map_, &rec, 1), 0);
        std::vector<walk_report> reports;
        EXPECT_EQ(lrb_walk(map_, 0, sectors, false, &reports), -KPAV_EINVAL);
    }
    // The undamaged image still loads.
    lrbtree_destroy(&map_);
    mblk_release_all(&log_->log);
    ASSERT_EQ(lrb_load_image(&map_, &log_->log, sectors, sectors, saved), 0);
    EXPECT_EQ(agrees(), "");
}

TEST_F(LrbPersist, BulkBuildFillsLeavesTo85Percent) {
    std::mt19937_64 rng(3);
    bulk_build(1, LRB_REBUILD_PERCENT, 2000, rng);
    ASSERT_EQ(agrees(), "");
    auto root = lrb_view(map_, lrb_root_of(map_, 1ull << 17));
    ASSERT_EQ(root.level, 1u);
    ASSERT_EQ(root.children.size(), 5u);  // 2000 = 4 x 431 + 276
    for (size_t i = 0; i < root.children.size(); i++) {
        EXPECT_EQ(lrb_view(map_, root.children[i]).count, i + 1 < root.children.size() ? 431u : 276u);
    }
    // A build that appends nothing leaves its shard empty.
    lrb_hold_writers(map_, true);
    lrbtree_cursor cursor;
    lrbtree_bulk_builder b;
    ASSERT_EQ(lrbtree_build_begin(map_, 2, &cursor, &b, "test"), 0);
    ASSERT_EQ(lrbtree_build_end(&cursor, &b, 0), 0);
    // Not on a shard that holds something.
    EXPECT_EQ(lrbtree_build_end(&cursor, &b, lrbtree_build_begin(map_, 1, &cursor, &b, "test")), -KPAV_EEXIST);
    lrb_hold_writers(map_, false);
    EXPECT_EQ(lrb_root_of(map_, 2ull << 17), nullptr);
    EXPECT_EQ(agrees(), "");
}

// A tree four index levels deep, built sparse, then changed, compacted, saved and loaded, changed
// again: every step agrees with the table.
TEST_F(LrbPersist, DeepTreesSurviveCompactionAndRestart) {
    uint64_t seed = env_number("LRB_SEED", std::random_device{}());
    RecordProperty("seed", std::to_string(seed));
    SCOPED_TRACE("replay: LRB_SEED=" + std::to_string(seed));
    std::mt19937_64 rng(seed);
    bulk_build(0, 2, 5000, rng);  // 10 runs a leaf, 6 children a node
    ASSERT_EQ(lrb_max_depth(map_), 4);
    ASSERT_EQ(agrees(), "");
    ASSERT_EQ(restart(), 0);
    ASSERT_EQ(agrees(), "");
    fill(rng, 1500, 0, 15000);
    ASSERT_EQ(agrees(), "");
    ASSERT_EQ(lrbtree_compact(map_), 0);
    EXPECT_EQ(lrb_check_packed(map_), "");
    ASSERT_EQ(agrees(), "");
    ASSERT_EQ(restart(), 0);
    ASSERT_EQ(agrees(), "");
    fill(rng, 1500, 0, sectors);
    EXPECT_EQ(agrees(), "");
}

// Compaction takes every node it needs first: without memory for them it changes nothing, and
// the map goes on.
TEST_F(LrbPersist, CompactionWithoutMemoryChangesNothing) {
    std::mt19937_64 rng(5);
    bulk_build(0, 30, 3000, rng);
    sim::kernel::fail_when(sim::kernel::fault_site::pool, [](uint64_t) { return true; });
    int rc = lrbtree_compact(map_);
    sim::kernel::clear_faults();
    EXPECT_EQ(rc, -KPAV_ENOMEM);
    EXPECT_EQ(lrb_first_error(map_), 0);
    EXPECT_EQ(agrees(), "");
    EXPECT_NE(lrb_check_packed(map_), "");
    ASSERT_EQ(lrbtree_compact(map_), 0);
    EXPECT_EQ(lrb_check_packed(map_), "");
    EXPECT_EQ(agrees(), "");
}

TEST_F(LrbPersist, ProbesFindEmptyIndexNodes) {
    lrbtree_range none{0, 0};
    lrbtree_range all{0, sectors};
    EXPECT_TRUE(lrbtree_range_probe(map_, &none));
    EXPECT_TRUE(lrbtree_range_probe(map_, &all));
    std::mt19937_64 rng(9);
    fill(rng, 2000, 1ull << 17, 1ull << 17);
    EXPECT_TRUE(lrbtree_range_probe(map_, &all));
    // An index node with no entries on the way to the shard's first leaf.
    lrb_node* root = lrb_node_of(lrb_root_of(map_, 1ull << 17));
    USHORT count = root->h.count;
    root->h.count = 0;
    EXPECT_FALSE(lrbtree_shard_probe(map_, 1));
    EXPECT_FALSE(lrbtree_range_probe(map_, &all));
    lrbtree_range first{0, 1ull << 17};
    EXPECT_TRUE(lrbtree_range_probe(map_, &first));
    root->h.count = count;
}

}  // namespace
