// The data block device's reads on the card model: packets put on media through the data log
// and recorded in the forward map come back byte-exact, unmapped sectors as zeros, across runs
// and gaps of one bio, split into several requests where a run or gap is longer than the log's
// largest read, and in several passes when the pool runs out of requests.
#include <atomic>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "driver/block/bdev_read.h"
#include "driver/pipeline/request.h"
#include "driver/platform/memory.h"
#include "sim/kernel/control.h"
#include "tests/driver/block/data_device_fixture.h"

namespace {

class DataReadTest : public DataDeviceTest {
  protected:
    // Appends `count` packets of `kind` for keys from `key` through the data log and records
    // where they landed in the forward map. Returns the LEB of the first packet.
    USHORT put(ULONG64 key, ULONG count, UCHAR kind = 0x90) {
        appended& a = append(kind, key, count);
        EXPECT_TRUE(wait_appends());
        EXPECT_EQ(a.request.status, 0);
        pav_addr_block placement{};
        placement.count = a.request.run_count;
        for (ULONG i = 0; i < placement.count; i++) {
            placement.vectors[i] = {a.request.runs[i].leb, a.request.runs[i].offset};
            placement.packet_counts[i] = a.request.runs[i].packets;
        }
        lrbtree_range range = {key, count};
        EXPECT_EQ(mdt_record_sectors(&mdt_, MDT_REPLAY, &placement, nullptr, &range), 0);
        for (ULONG k = 0; k < count; k++) written_.insert(key + k);
        return a.request.runs[0].leb;
    }
    // The first sector of [start, start + count) whose bytes in `got` are not what was put
    // there (zeros where nothing was), or "" when all are.
    std::string mismatch(const std::vector<UCHAR>& got, ULONG64 start, ULONG64 count) const {
        const ULONG size = device_->sector_size;
        for (ULONG64 s = 0; s < count; s++) {
            bool mapped = written_.count(start + s) != 0;
            for (ULONG i = 0; i < size; i++) {
                UCHAR want = mapped ? payload_byte(start + s, i) : 0;
                if (got[s * size + i] != want) {
                    return "sector " + std::to_string(start + s) + " byte " + std::to_string(i) +
                           (mapped ? " (written)" : " (never written)");
                }
            }
        }
        return "";
    }
    // Requests of the channel not in its pool or a processor's cache.
    ULONG requests_out() {
        request_pool* pool = &channel()->pool;
        ULONG cached = 0;
        for (ULONG i = 0; i < pool->cache_count; i++) {
            kpav_spin_lock(&pool->caches[i].lock);
            cached += pool->caches[i].request_count;
            kpav_spin_unlock(&pool->caches[i].lock);
        }
        kpav_spin_lock(&pool->lock);
        ULONG out = pool->total - (ULONG)pool->free_request_count - cached;
        kpav_spin_unlock(&pool->lock);
        return out;
    }
    // Two runs in different places of the log with gaps around them, and a run that was
    // overwritten in its middle (three map entries, two of them physically contiguous).
    void put_layout() {
        put(10, 30);
        put(60, 20);
        put(100, 40);
        put(115, 5);
    }

    std::set<ULONG64> written_;
};

TEST_F(DataReadTest, ReadsReturnWhatWasPutAndZerosWhereNothingWas) {
    put_layout();
    struct range {
        ULONG64 start, count;
        ULONG largest;
    } ranges[] = {
        {0, 160, 0},     // gaps and runs in one bio
        {12, 5, 0},      // inside a run
        {35, 30, 0},     // the end of a run, a gap, the start of the next
        {112, 10, 0},    // across the overwritten middle
        {2000, 64, 0},   // never written
        {0, 160, 7},     // runs and gaps longer than the largest read
        {0, 160, 1},     // a request per sector
        {95, 50, 16},
    };
    for (const range& r : ranges) {
        data_.largest_read = r.largest;
        std::vector<UCHAR> got;
        EXPECT_EQ(read(r.start, r.count, &got), 0) << r.start << "+" << r.count << " largest " << r.largest;
        EXPECT_EQ(mismatch(got, r.start, r.count), "") << r.start << "+" << r.count << " largest " << r.largest;
    }
    EXPECT_EQ(pool_->in_use, 0u);
}

TEST_F(DataReadTest, AReadOfNothingMappedBuildsOnlyZeroFills) {
    put(10, 8);
    ULONG64 mappings = device_->read_mappings;
    std::vector<UCHAR> got;
    data_.zero_read_bytes = 0;
    data_.read_bytes = 0;
    ASSERT_EQ(read(100, 300, &got), 0);
    EXPECT_EQ(mismatch(got, 100, 300), "");
    EXPECT_EQ(device_->read_mappings, mappings);  // no packet read
    EXPECT_EQ(data_.zero_read_bytes, 300 * 512);
    EXPECT_EQ(data_.read_bytes, 300 * 512);

    // A run between two gaps: one packet read of its 8 sectors, the gaps zero-filled.
    data_.zero_read_bytes = 0;
    ASSERT_EQ(read(0, 40, &got), 0);
    EXPECT_EQ(mismatch(got, 0, 40), "");
    EXPECT_EQ(device_->read_mappings, mappings + 1);
    EXPECT_EQ(data_.zero_read_bytes, 32 * 512);
}

// Walks of the forward map, counted through the interface entry's bracket hook.
std::atomic<int> walks_started{0};
std::atomic<int> walks_ended{0};
void count_walk(bdev*, int starting) {
    (starting != 0 ? walks_started : walks_ended)++;
}
const kpav_block_ops walk_counting_ops = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                          nullptr, nullptr, nullptr, count_walk};

// With only a few requests left in the pool, a read that needs many is read in passes: what one
// pass built is read first, the completion builds the next part with the requests it has.
TEST_F(DataReadTest, AReadGoesOnInPassesWhenTheRequestsRunOut) {
    put_layout();
    close_point();  // everything on the NAND: no read waits for a row still to be programmed
    data_.largest_read = 4;
    kpav_block_interface entry = {KPAV_BLOCK_WINDOWS_DISK, &walk_counting_ops};
    device_->iface = &entry;
    // 160 sectors in pieces of at most 4 sectors, cut where runs and gaps end: 42 requests.
    constexpr int pieces = 42;
    for (ULONG left : {0u, 1u, 2u}) {
        walks_started = walks_ended = 0;
        std::vector<UCHAR> got(160 * 512, 0xEE);
        dma_visible dma(got);
        bio* b = take(BIO_READ, 0, 160, got.data());
        ASSERT_NE(b, nullptr);
        // Every other request of the pool taken, `left` of them given back.
        velkor_request* held = nullptr;
        ULONG taken = 0;
        while (request_alloc_chained(channel(), &held) != nullptr) taken++;
        ASSERT_GT(taken, left);
        for (ULONG i = 0; i < left; i++) {
            velkor_request* r = request_next(held);
            RemoveEntryList(&r->chain_link);
            held->chain_count--;
            request_free(r);
        }
        ULONG out = requests_out();
        EXPECT_EQ(submit_wait(b), 0) << left;
        EXPECT_EQ(mismatch(got, 0, 160), "") << left;
        // The read's requests are back; only the bio's own went with it.
        EXPECT_EQ(requests_out(), out - 1) << left;
        // One pass per (left + 1) requests, each walk bracketed.
        EXPECT_EQ(walks_started.load(), (int)((pieces + left) / (left + 1))) << left;
        EXPECT_EQ(walks_ended.load(), walks_started.load()) << left;
        request_free_list(held);
    }
    device_->iface = nullptr;
    EXPECT_EQ(pool_->in_use, 0u);
}

TEST_F(DataReadTest, AMediaErrorReachesTheBioAsEIO) {
    USHORT leb = put(200, 16);
    model_->inject("read_uncorrectable", "eb=" + std::to_string(leb) + " times=always");
    std::vector<UCHAR> got;
    EXPECT_EQ(read(190, 30, &got), -5);
    model_->clear("read_uncorrectable");
    // The erase block's count of reads in flight is back where it was.
    EXPECT_EQ(log_.counters[leb].reads_in_flight, 0);
    EXPECT_EQ(read(190, 30, &got), 0);
    EXPECT_EQ(mismatch(got, 190, 30), "");
}

// A read in passes whose early pass meets a media error ends there with -5, though the passes
// after it would have read well.
TEST_F(DataReadTest, AMediaErrorInAnEarlyPassEndsTheRead) {
    USHORT leb = put(10, 30);
    close_point();
    data_.largest_read = 4;
    std::vector<UCHAR> got(160 * 512, 0xEE);
    dma_visible dma(got);
    bio* b = take(BIO_READ, 0, 160, got.data());
    ASSERT_NE(b, nullptr);
    // Only the bio's own request to read with: a pass per piece.
    velkor_request* held = nullptr;
    while (request_alloc_chained(channel(), &held) != nullptr) {
    }
    ULONG out = requests_out();
    // The first packet read fails, once: the fourth pass of the read's 41.
    model_->inject("read_uncorrectable", "eb=" + std::to_string(leb) + " times=1");
    EXPECT_EQ(submit_wait(b), -5);
    model_->clear("read_uncorrectable");
    EXPECT_EQ(requests_out(), out - 1);
    EXPECT_EQ(log_.counters[leb].reads_in_flight, 0);
    request_free_list(held);
    EXPECT_EQ(pool_->in_use, 0u);
}

// Keys of the reserved range are system packets: read with their own packet kind.
TEST_F(DataReadTest, ReservedKeysAreReadAsSystemPackets) {
    const ULONG64 key = LRB_RESERVED_BASE + 0x1234;
    put(key, 3, 0xA0);
    std::vector<UCHAR> got(5 * 512, 0xEE);
    dma_visible dma(got);
    ASSERT_EQ(bdev_read_sync(device_, key - 1, 5, got.data()), 0);
    EXPECT_EQ(mismatch(got, key - 1, 5), "");
}

TEST_F(DataReadTest, BadReadsEndWithTheirErrorAndLeaveNothingTaken) {
    USHORT leb = put(0, 8);
    ULONG out = requests_out();
    std::vector<UCHAR> buffer(16 * 512);
    dma_visible dma(buffer);

    // Two bios in one read chain.
    bio* first = take(BIO_READ, 0, 4, buffer.data());
    take(BIO_READ, 4, 4, buffer.data() + 4 * 512, first);
    EXPECT_EQ(submit_wait(first), -22);
    // A range beyond the key space, or that leaves it.
    bio* outside = take(BIO_READ, ~0ull - 3, 8, buffer.data());
    EXPECT_EQ(submit_wait(outside), -22);
    bio* beyond = take(BIO_READ, LRB_KEY_END - 4, 8, buffer.data());
    EXPECT_EQ(submit_wait(beyond), -22);
    // A buffer shorter than the bio: the piece that does not fit cannot be mapped.
    sim::kernel::clear_debug_lines();
    bio* short_buffer = take(BIO_READ, 0, 8, nullptr);
    ASSERT_EQ(kpav_sgl_map_bytes(short_buffer->list, buffer.data(), 6 * 512), 0);
    EXPECT_EQ(submit_wait(short_buffer), -1);
    EXPECT_TRUE(logged("dov0: failed to map bio buffer to request: -22\n"));
    EXPECT_TRUE(logged("dov0: Unable to complete read (errno = -1)\n"));
    bio* gap_short = take(BIO_READ, 4, 8, nullptr);
    ASSERT_EQ(kpav_sgl_map_bytes(gap_short->list, buffer.data(), 6 * 512), 0);
    EXPECT_EQ(submit_wait(gap_short), -1);
    EXPECT_TRUE(logged("dov0: failed to map bio buffer to request\n"));
    // A log that met an unrecoverable error.
    ULONG state = log_.state.value;
    log_.state.value = PAV_LOG_UNRECOVERABLE_ERROR;
    std::vector<UCHAR> got;
    EXPECT_EQ(read(0, 8, &got), -5);
    log_.state.value = state;

    EXPECT_EQ(requests_out(), out);
    EXPECT_EQ(pool_->in_use, 0u);
    EXPECT_EQ(log_.counters[leb].reads_in_flight, 0);
}

TEST_F(DataReadTest, SynchronousReadsReturnTheStatusAndKeepNothing) {
    put(50, 20);
    ULONG out = requests_out();
    std::vector<UCHAR> got(40 * 512, 0xEE);
    dma_visible dma(got);
    EXPECT_EQ(bdev_read_sync(device_, 40, 40, got.data()), 0);
    EXPECT_EQ(mismatch(got, 40, 40), "");
    EXPECT_EQ(bdev_read_sync(device_, 40, 0, got.data()), 0);

    // A buffer the bio's list cannot hold: the mapping's error, nothing kept.
    const ULONG64 too_many = (ULONG64)(channel()->sgl_capacity + 1) * 8;
    std::vector<UCHAR> big(too_many * 512);
    dma_visible big_dma(big);
    EXPECT_EQ(bdev_read_sync(device_, 0, too_many, big.data()), -12);
    // A count whose bytes do not fit a request.
    EXPECT_EQ(bdev_read_sync(device_, 0, 1ull << 32, got.data()), -22);
    // A read that fails at the media.
    model_->inject("read_uncorrectable", "times=always");
    EXPECT_EQ(bdev_read_sync(device_, 50, 4, got.data()), -5);
    model_->clear("read_uncorrectable");

    EXPECT_EQ(requests_out(), out);
    EXPECT_EQ(pool_->in_use, 0u);
}

// Readers on several processors, each with requests of its own processor's cache and passes
// continued on completion threads.
TEST_F(DataReadTest, ConcurrentReadersSeeTheirData) {
    put_layout();
    put(400, 64);
    data_.largest_read = 3;
    constexpr int readers = 4;
    std::vector<std::string> failures(readers);
    {
        std::vector<std::unique_ptr<bounded_thread>> threads;
        for (int t = 0; t < readers; t++) {
            threads.push_back(std::make_unique<bounded_thread>("reader", [this, t, &failures] {
                sim::kernel::set_current_processor((ULONG)t);
                std::mt19937 rng(t + 1);
                std::vector<UCHAR> got(96 * 512);
                dma_visible dma(got);
                for (int i = 0; i < 25 && failures[t].empty(); i++) {
                    ULONG64 start = rng() % 460;
                    ULONG64 count = 1 + rng() % 96;
                    int rc = bdev_read_sync(device_, start, count, got.data());
                    std::string bad = rc != 0 ? "status " + std::to_string(rc) : mismatch(got, start, count);
                    if (!bad.empty()) failures[t] = std::to_string(start) + "+" + std::to_string(count) + ": " + bad;
                }
            }));
        }
    }
    for (int t = 0; t < readers; t++) EXPECT_EQ(failures[t], "") << "reader " << t;
    EXPECT_EQ(pool_->in_use, 0u);
}

TEST_F(DataReadTest, ReadDefragmentationContexts) {
    EXPECT_EQ(read_defrag_init(&data_), 0);
    EXPECT_EQ(data_.read_defrag, nullptr);
    read_defrag_free(nullptr);
    auto* context = (read_defrag_context*)kpav_zalloc(sizeof(read_defrag_context), KPAV_TAG_VML);
    context->slots[0] = kpav_alloc(4096, KPAV_TAG_VML);
    context->slots[READ_DEFRAG_SLOTS - 1] = kpav_alloc(4096, KPAV_TAG_VML);
    context->table = kpav_alloc(256, KPAV_TAG_VML);
    read_defrag_free(context);  // the fixture finds no pool left at the end
}

}  // namespace
