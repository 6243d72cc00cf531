// Scatter-gather lists: page-sized entries from kernel buffers and MDLs, byte ranges carved out
// of them, and the dump.

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "driver/platform/kassert.h"
#include "driver/platform/memory.h"
#include "driver/platform/sgl.h"
#include "tests/support/kernel_fixture.h"

using namespace sim::kernel;

namespace {

// A pointer as the driver's log prints it.
std::string ptr(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%016" PRIXPTR, (uintptr_t)p);
    return text;
}

std::vector<ULONG> lengths(sgl* list) {
    std::vector<ULONG> out;
    for (ULONG i = 0; i < list->used; i++) {
        out.push_back(sgl_entries(list)[i].length);
    }
    return out;
}

}  // namespace

class SglTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        buffer_ = (char*)kpav_alloc(4 * PAGE_SIZE, KPAV_TAG_VML);  // page aligned
        ASSERT_NE(buffer_, nullptr);
    }
    void TearDown() override {
        kpav_sgl_free(list_);
        kpav_free(buffer_, KPAV_TAG_VML);
        KernelTest::TearDown();
    }

    sgl* make(ULONG capacity) {
        kpav_sgl_free(list_);
        list_ = nullptr;
        EXPECT_EQ(kpav_sgl_create(nullptr, &list_, capacity), 0);
        return list_;
    }

    char* buffer_ = nullptr;
    sgl* list_ = nullptr;
};

TEST_F(SglTest, KernelBuffersAreSplitAtPageBoundaries) {
    struct row {
        ULONG start, length;
        std::vector<ULONG> pieces;
    } rows[] = {
        {100, 8192, {3996, 4096, 100}},
        {0, 4096, {4096}},
        {0, 12288, {4096, 4096, 4096}},
        {4095, 2, {1, 1}},
        {10, 0, {}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.length << " bytes from " << r.start);
        sgl* list = make(4);
        EXPECT_EQ(kpav_sgl_map_bytes(list, buffer_ + r.start, r.length), 0);
        EXPECT_EQ(lengths(list), r.pieces);
        EXPECT_EQ(list->mapped, list->used);
        EXPECT_EQ(list->total_bytes, r.length);
        ULONG64 expected = (ULONG64)(uintptr_t)(buffer_ + r.start);
        for (ULONG i = 0; i < list->used; i++) {
            EXPECT_EQ(sgl_entries(list)[i].bus_address, expected) << i;
            expected += sgl_entries(list)[i].length;
        }
    }
}

TEST_F(SglTest, AListThatFillsUpFailsAfterTheEntriesThatFit) {
    sgl* list = make(2);
    EXPECT_EQ(pool_outstanding("vml4").bytes, 4 * PAGE_SIZE + 3 * 16u);
    EXPECT_EQ(kpav_sgl_map_bytes(list, buffer_ + 100, 8192), -12);
    EXPECT_EQ(lengths(list), (std::vector<ULONG>{3996, 4096}));
    EXPECT_EQ(list->total_bytes, 8092u);
    EXPECT_EQ(kpav_sgl_map_bytes(list, buffer_, 1), -12);
    EXPECT_EQ(list->used, 2u);

    sgl* none = (sgl*)buffer_;
    fail_nth(fault_site::pool, 1, "vml4");
    EXPECT_EQ(kpav_sgl_create(nullptr, &none, 8), -12);
    EXPECT_EQ(none, nullptr);
}

TEST_F(SglTest, AnUnmappableKernelAddressIsAnAssertion) {
    sgl* list = make(2);
    expect_bug_check(KPAV_ASSERT_BUGCHECK, [&] { kpav_sgl_map_bytes(list, nullptr, 16); });
}

TEST_F(SglTest, MdlPagesAreMappedFromTheByteOffsetWithinTheMdlOnly) {
    PMDL mdl = IoAllocateMdl(buffer_ + 100, 8000, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    MmBuildMdlForNonPagedPool(mdl);

    struct row {
        ULONG capacity, length;
        int result;
        std::vector<ULONG> pieces;
    } rows[] = {
        {4, 8000, 0, {3996, 4004}},
        {4, 5000, 0, {3996, 1004}},
        {1, 8000, -12, {3996}},
        {4, 8001, -22, {}},  // beyond what the MDL describes
        {4, 0, 0, {}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.length);
        sgl* list = make(r.capacity);
        EXPECT_EQ(kpav_sgl_map_mdl(list, mdl, nullptr, r.length), r.result);
        EXPECT_EQ(lengths(list), r.pieces);
        if (list->used > 0) {
            EXPECT_EQ(sgl_entries(list)[0].bus_address, (ULONG64)(uintptr_t)(buffer_ + 100));
        }
        if (list->used > 1) {
            EXPECT_EQ(sgl_entries(list)[1].bus_address, (ULONG64)(uintptr_t)(buffer_ + PAGE_SIZE));
        }
    }
    IoFreeMdl(mdl);
}

TEST_F(SglTest, RangeMapsCarveByteRangesOutOfTheMappedEntries) {
    sgl* list = make(4);
    ASSERT_EQ(kpav_sgl_map_bytes(list, buffer_, 3 * PAGE_SIZE), 0);
    struct row {
        ULONG offset, size;
        int result;
        int first, last;  // entry indexes, -1 = none
        ULONG count, skip, cut, mapped_size;
    } rows[] = {
        {5000, 3000, 0, 1, 1, 1, 904, 192, 3000},
        {0, 12288, 0, 0, 2, 3, 0, 0, 12288},
        {4000, 200, 0, 0, 1, 2, 4000, 3992, 200},
        {10000, 5000, 0, 2, 2, 1, 1808, 0, 2288},  // the entries end first: a shorter range
        {12288, 10, -22, -1, -1, 0, 0, 0, 0},      // past the end: nothing but the offset
        {70000, 1, -22, -1, -1, 0, 0, 0, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.offset << " + " << r.size);
        sgl_map map;
        std::memset(&map, 0xAB, sizeof map);  // whatever the caller's record held before
        EXPECT_EQ(kpav_sgl_map_range(list, nullptr, &map, r.offset, r.size), r.result);
        EXPECT_EQ(map.offset, r.offset);
        EXPECT_EQ(map.first, r.first < 0 ? nullptr : &sgl_entries(list)[r.first]);
        EXPECT_EQ(map.last, r.last < 0 ? nullptr : &sgl_entries(list)[r.last]);
        EXPECT_EQ(map.count, r.count);
        EXPECT_EQ(map.skip, r.skip);
        EXPECT_EQ(map.cut, r.cut);
        EXPECT_EQ(map.size, r.mapped_size);
    }

    list->mapped = 2;  // range maps see only the mapped entries
    sgl_map map;
    EXPECT_EQ(kpav_sgl_map_range(list, nullptr, &map, 9000, 100), -22);
    EXPECT_EQ(kpav_sgl_map_range(list, nullptr, &map, 4096, 8192), 0);
    EXPECT_EQ(map.size, 4096u);
    EXPECT_EQ(map.count, 1u);
}

TEST_F(SglTest, DumpPrintsTheListTheMapAndOffsetLabels) {
    sgl* list = make(4);
    char* start = buffer_ + PAGE_SIZE - 40;
    ASSERT_EQ(kpav_sgl_map_bytes(list, start, 60), 0);  // 40 and 20 bytes
    sgl_map map;
    ASSERT_EQ(kpav_sgl_map_range(list, nullptr, &map, 8, 50), 0);
    clear_debug_lines();

    kpav_sgl_dump(list, &map, "rd", 1);
    kpav_sgl_dump(list, nullptr, "wr", 0);
    EXPECT_EQ(log(), (std::vector<std::string>{
                         "rd sglist " + ptr(list) + " num 2 max 4 size 60\n",
                         "rd map " + ptr(&map) + " offset 8 size 50 count 2\n",
                         "rd        mvec 0: size: 40 paddr: " + ptr(start) + "\n",
                         "rd        map first skip 8\n",
                         "\n0000:", "\n0016:", "\n0032:", "\n",
                         "rd        mvec 1: size: 20 paddr: " + ptr(buffer_ + PAGE_SIZE) + "\n",
                         "rd        map last trunc 2\n",
                         "\n0000:", "\n0016:", "\n",
                         "wr sglist " + ptr(list) + " num 2 max 4 size 60\n",
                         "wr        mvec 0: size: 40 paddr: " + ptr(start) + "\n",
                         "wr        mvec 1: size: 20 paddr: " + ptr(buffer_ + PAGE_SIZE) + "\n",
                     }));
}
