// The data path end to end, driver and card model together: bios written through the data
// device reach the card's media as packets and read back byte-exact; sectors never written and
// sectors trimmed read as zeros; trims cut written runs exactly at their edges; a chain's bios
// take effect in their order; a flush ends only after every write submitted before it.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/driver/block/data_device_fixture.h"

namespace {

class DataPathTest : public DataDeviceTest {
  protected:
    // The bytes the device should hold over [0, image sectors): writes copied in, trims zeroed.
    void image_write(ULONG64 start, const std::vector<UCHAR>& data) {
        std::copy(data.begin(), data.end(), image_.begin() + (ptrdiff_t)(start * sector()));
    }
    void image_trim(ULONG64 start, ULONG64 count) {
        std::fill_n(image_.begin() + (ptrdiff_t)(start * sector()), count * sector(), 0);
    }
    // Reads [start, start + count) back (a bio maps at most 1 MiB: longer ranges in pieces) and
    // compares it with the image: empty, or where the first differing sector is and what it held.
    std::string differs(ULONG64 start, ULONG64 count) {
        const ULONG64 most = 2048;
        if (count > most) {
            std::string first = differs(start, most);
            return !first.empty() ? first : differs(start + most, count - most);
        }
        std::vector<UCHAR> back;
        int rc = read(start, count, &back);
        if (rc != 0) return "read failed: " + std::to_string(rc);
        for (ULONG64 s = 0; s < count; s++) {
            const UCHAR* got = &back[s * sector()];
            const UCHAR* want = &image_[(start + s) * sector()];
            for (ULONG i = 0; i < sector(); i++) {
                if (got[i] != want[i]) {
                    return "sector " + std::to_string(start + s) + " byte " + std::to_string(i) + ": " +
                           std::to_string(got[i]) + " instead of " + std::to_string(want[i]);
                }
            }
        }
        return "";
    }
    ULONG sector() const { return device_->sector_size; }

    std::vector<UCHAR> image_;
};

TEST_F(DataPathTest, WritesOfEverySizeAndAlignmentReadBackByteExact) {
    // Each write in a stretch of its own, read back with a few sectors around it (zeros).
    struct row {
        ULONG64 offset;  // from the stretch's start
        ULONG64 count;
    } rows[] = {
        {0, 1},   {3, 1},   {7, 1},   {0, 7},    {1, 8},    {0, 8},    {5, 9},    {0, 63},
        {8, 64},  {3, 65},  {0, 255}, {7, 256},  {2, 257},  {0, 511},  {1, 512},  {8, 400},
        {0, 1023}, {8, 1024}, {1, 1025}, {0, 2048}, {5, 2048},  // up to the largest request
    };
    const ULONG64 stretch = 4096;
    image_.assign(stretch * (std::size(rows) + 1) * sector(), 0);
    for (size_t i = 0; i < std::size(rows); i++) {
        ULONG64 start = stretch * (i + 1) + rows[i].offset;
        std::vector<UCHAR> data = pattern(start, rows[i].count, (UCHAR)i);
        ASSERT_EQ(write(start, data), 0) << rows[i].count << " sectors at " << start;
        image_write(start, data);
    }
    for (size_t i = 0; i < std::size(rows); i++) {
        ULONG64 start = stretch * (i + 1) + rows[i].offset;
        EXPECT_EQ(differs(start - 3, rows[i].count + 6), "") << rows[i].count << " sectors at " << start;
        // Exactly the written range, and one sector inside it.
        EXPECT_EQ(differs(start, rows[i].count), "") << rows[i].count << " sectors at " << start;
        EXPECT_EQ(differs(start + rows[i].count / 2, 1), "") << rows[i].count << " sectors at " << start;
    }
}

TEST_F(DataPathTest, NeverWrittenSectorsReadAsZeros) {
    image_.assign(4096 * sector(), 0);
    // Nothing written yet: one long read and a short one.
    EXPECT_EQ(differs(0, 512), "");
    EXPECT_EQ(differs(4000, 3), "");
    // A read through runs and the gaps between them, starting and ending in a gap.
    for (ULONG64 start : {100ull, 300ull, 301ull, 700ull}) {
        std::vector<UCHAR> data = pattern(start, 50, 1);
        ASSERT_EQ(write(start, data), 0);
        image_write(start, data);
    }
    EXPECT_EQ(differs(0, 1024), "");
    EXPECT_EQ(differs(150, 150), "");  // the gap between two runs exactly
    // The last sectors of the device.
    std::vector<UCHAR> back;
    ASSERT_EQ(read(sectors() - 8, 8, &back), 0);
    EXPECT_EQ(back, std::vector<UCHAR>(8 * sector(), 0));
}

// Steps over one stretch of the device, each a chain of bios, then the whole stretch compared
// with what the steps should leave.
struct step_bio {
    ULONG command;  // BIO_WRITE or BIO_DISCARD
    ULONG64 start, count;
};

TEST_F(DataPathTest, WritesAndTrimsLeaveExactlyTheirRanges) {
    struct row {
        const char* what;
        std::vector<std::vector<step_bio>> steps;
    } rows[] = {
        {"trim of a whole run",
         {{{BIO_WRITE, 100, 64}}, {{BIO_DISCARD, 100, 64}}}},
        {"trim straddling three runs and the gaps between them",
         {{{BIO_WRITE, 100, 64}}, {{BIO_WRITE, 200, 64}}, {{BIO_WRITE, 300, 64}}, {{BIO_DISCARD, 130, 200}}}},
        {"trim inside one run, of one sector, at its first and its last sector",
         {{{BIO_WRITE, 100, 64}}, {{BIO_DISCARD, 120, 10}}, {{BIO_DISCARD, 140, 1}}, {{BIO_DISCARD, 100, 1}},
          {{BIO_DISCARD, 163, 1}}}},
        {"trim of sectors never written, and a write after a trim",
         {{{BIO_DISCARD, 0, 500}}, {{BIO_WRITE, 10, 20}}, {{BIO_DISCARD, 15, 100}}, {{BIO_WRITE, 20, 3}}}},
        {"overwrites of parts of runs, then a trim across them",
         {{{BIO_WRITE, 100, 200}}, {{BIO_WRITE, 150, 10}}, {{BIO_WRITE, 95, 10}}, {{BIO_WRITE, 290, 20}},
          {{BIO_DISCARD, 155, 140}}}},
        {"a chain: a write, then a trim inside it",
         {{{BIO_WRITE, 100, 64}, {BIO_DISCARD, 110, 20}}}},
        {"a chain: a trim, then a write inside it",
         {{{BIO_WRITE, 100, 64}}, {{BIO_DISCARD, 100, 64}, {BIO_WRITE, 120, 8}}}},
        {"a chain of writes over each other and a trim between them",
         {{{BIO_WRITE, 100, 64}, {BIO_WRITE, 140, 64}, {BIO_DISCARD, 160, 8}, {BIO_WRITE, 90, 16}}}},
    };
    const ULONG64 stretch = 512;
    image_.assign(stretch * std::size(rows) * 2 * sector(), 0);
    ULONG64 base = 0;
    UCHAR seed = 1;
    // Each row once with trims kept only in memory, once with trims logged as notes.
    for (UCHAR persistent : {0, 1}) {
        data_.persistent_trim = persistent;
        for (const row& r : rows) {
            SCOPED_TRACE(std::string(r.what) + (persistent != 0 ? ", trims logged" : ", trims in memory"));
            for (const auto& chain : r.steps) {
                std::vector<std::vector<UCHAR>> buffers;
                std::vector<std::unique_ptr<dma_visible>> dma;
                bio* first = nullptr;
                for (const step_bio& s : chain) {
                    void* buffer = nullptr;
                    if (s.command == BIO_WRITE) {
                        buffers.push_back(pattern(base + s.start, s.count, seed++));
                        dma.push_back(std::make_unique<dma_visible>(buffers.back()));
                        buffer = buffers.back().data();
                    }
                    bio* b = take(s.command, base + s.start, s.count, buffer, first);
                    ASSERT_NE(b, nullptr);
                    if (first == nullptr) first = b;
                }
                ASSERT_EQ(submit_wait(first), 0);
                size_t w = 0;
                for (const step_bio& s : chain) {
                    if (s.command == BIO_WRITE) {
                        image_write(base + s.start, buffers[w++]);
                    } else {
                        image_trim(base + s.start, s.count);
                    }
                }
            }
            EXPECT_EQ(differs(base, stretch), "");
            base += stretch;
        }
    }
}

// A flush is a barrier: when it ends, every write submitted before it has ended.
TEST_F(DataPathTest, FlushEndsAfterEveryEarlierWrite) {
    struct ending {
        std::mutex mutex;
        std::vector<int> order;  // which bio ended, in order (-1: the flush)
        std::vector<int> status;
    } seen;
    struct tag {
        ending* seen;
        int index;
    };
    auto ended = [](bio* first, ULONG64, int status) {
        auto* t = (tag*)first->callback_context;
        std::lock_guard<std::mutex> g(t->seen->mutex);
        t->seen->order.push_back(t->index);
        t->seen->status.push_back(status);
    };
    constexpr int writes = 24;
    std::vector<std::vector<UCHAR>> data;
    std::vector<std::unique_ptr<dma_visible>> dma;
    std::vector<tag> tags(writes + 1);
    image_.assign(8192 * sector(), 0);
    data.reserve(writes);
    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        {
            std::lock_guard<std::mutex> g(seen.mutex);
            seen.order.clear();
            seen.status.clear();
        }
        data.clear();
        dma.clear();
        // Writes of several sizes, submitted without waiting, then the flush.
        int submitted = 0;
        for (int i = 0; i <= writes; i++) {
            bio* b = nullptr;
            if (i < writes) {
                ULONG64 start = (ULONG64)i * 300 + round * 7;
                ULONG64 count = 1 + (ULONG64)(i * 37 + round * 11) % 256;
                data.push_back(pattern(start, count, (UCHAR)(round * writes + i)));
                dma.push_back(std::make_unique<dma_visible>(data.back()));
                b = take(BIO_WRITE, start, count, data.back().data());
            } else {
                b = take(BIO_FLUSH, 0, 0);
            }
            if (b == nullptr) break;
            tags[i] = {&seen, i < writes ? i : -1};
            b->callback = ended;
            b->callback_context = &tags[i];
            EXPECT_EQ(bdev_submit_bio(b), 0);
            submitted++;
        }
        // Every bio submitted must end before the buffers and tags go.
        ASSERT_TRUE(eventually([&] {
            std::lock_guard<std::mutex> g(seen.mutex);
            return seen.order.size() == (size_t)submitted;
        }));
        ASSERT_EQ(submitted, writes + 1);
        std::lock_guard<std::mutex> g(seen.mutex);
        EXPECT_EQ(seen.order.back(), -1) << "the flush ended before a write submitted ahead of it";
        EXPECT_EQ(seen.status, std::vector<int>(writes + 1, 0));
        for (int i = 0; i < writes; i++) image_write((ULONG64)i * 300 + round * 7, data[i]);
    }
    EXPECT_EQ(differs(0, 8192), "");
}

// Each read asks for the packets just written, which still lie in the open row: the row is
// issued early, padded by the card, and the next write must go on at the next row. More pairs
// than an erase block has rows: the log has to move on to its next block this way.
TEST_F(DataPathTest, ReadsOfTheOpenRowLetWritesGoOn) {
    const int pairs = 1100;
    for (int i = 0; i < pairs; i++) {
        ULONG64 start = (ULONG64)(i % 1024) * 8;
        std::vector<UCHAR> data = pattern(start, 8, (UCHAR)i);
        ASSERT_EQ(write(start, data), 0) << "write " << i;
        std::vector<UCHAR> back;
        ASSERT_EQ(read(start, 8, &back), 0) << "read " << i;
        ASSERT_EQ(back, data) << "read " << i;
    }
}

}  // namespace
