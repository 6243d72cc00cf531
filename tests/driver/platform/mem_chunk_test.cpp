// The page-chunk allocator: pages carved from pool chunks, the chunks' life cycle, refused and
// orphaned frees, start-up failures and concurrent use.

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "driver/platform/mem_chunk.h"
#include "driver/platform/memory.h"
#include "driver/platform/params.h"
#include "tests/support/kernel_fixture.h"

using namespace sim::kernel;

namespace {

constexpr size_t page_bytes = 4096;
constexpr size_t header_bytes = 2 * page_bytes;          // header and bitmap pages of a chunk
constexpr size_t pages_per_chunk = 1024 - 2;             // a 4 MiB chunk
constexpr uint64_t table_bytes_4mib = 1048576 / 4 * 8;   // search table for 4 MiB chunks
constexpr uint64_t mib = 1048576;

// A pointer as the driver's log prints it.
std::string ptr(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%016" PRIXPTR, (uintptr_t)p);
    return text;
}

std::string line(int number, const std::string& text) {
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "paverr Corvane driver: %05d ", number);
    return prefix + text;
}

char* at(void* page, ptrdiff_t offset) {
    return (char*)page + offset;
}

// Fails `count` allocations of the allocator's pool tag, from the `first`-th on.
void fail_run(uint64_t first, uint64_t count) {
    fail_when(fault_site::pool, [=](uint64_t n) { return n >= first && n < first + count; }, "zpg4");
}

// From the `first`-th allocation on, every chunk is refused until it has halved `halvings`
// times, as under memory pressure where only small blocks can be had.
void halve_chunks(uint64_t first, uint64_t halvings) {
    fail_when(fault_site::pool, [=](uint64_t n) { return n >= first && (n - first) % (halvings + 1) < halvings; },
              "zpg4");
}

}  // namespace

class MemChunkTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        saved_enable_ = pav_chunk_enable;
        saved_size_ = pav_chunk_size_mb;
        pav_chunk_enable = 1;
        pav_chunk_size_mb = 4;
    }
    void TearDown() override {
        clear_faults();
        pav_mem_chunk_exit();
        pav_chunk_enable = saved_enable_;
        pav_chunk_size_mb = saved_size_;
        KernelTest::TearDown();
    }

    // Pool blocks of the allocator: the search table and one per chunk.
    static uint64_t zpg_blocks() { return pool_outstanding("zpg4").allocations; }
    static uint64_t zpg_bytes() { return pool_outstanding("zpg4").bytes; }

    static std::vector<void*> take(size_t count) {
        std::vector<void*> pages;
        for (size_t i = 0; i < count; i++) {
            void* page = pav_mem_chunk_get_page();
            EXPECT_NE(page, nullptr) << "page " << i;
            pages.push_back(page);
        }
        return pages;
    }

  private:
    LONG saved_enable_ = 0, saved_size_ = 0;
};

TEST_F(MemChunkTest, ChunkSizeIsClampedToFourThroughOneHundredTwentyEightMiB) {
    // Chunks are refused until they have halved to 16 KiB: that it takes exactly `halvings`
    // refusals shows the size the allocator started from, without allocating it.
    struct row {
        LONG megabytes;
        uint64_t halvings;     // 16 KiB * 2^halvings = the clamped size
        uint64_t table_bytes;  // 1,048,576 / clamped MiB entries
    } rows[] = {
        {2, 8, 2 * mib}, {4, 8, 2 * mib}, {-5, 8, 2 * mib}, {16, 10, 131072 * 4}, {128, 13, 65536}, {200, 13, 65536},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.megabytes);
        pav_chunk_size_mb = r.megabytes;
        uint64_t before = attempts(fault_site::pool);
        halve_chunks(2, r.halvings);
        ASSERT_TRUE(pav_mem_chunk_init());
        EXPECT_EQ(attempts(fault_site::pool) - before, 1 + 2 * (r.halvings + 1));
        EXPECT_EQ(zpg_bytes(), r.table_bytes + 2 * 16384);
        pav_mem_chunk_exit();
        clear_faults();
        EXPECT_EQ(zpg_blocks(), 0u);
    }
}

TEST_F(MemChunkTest, HalvedSixteenKiBChunkHoldsTwoPages) {
    halve_chunks(2, 8);  // both chunks of init come out at 16 KiB
    ASSERT_TRUE(pav_mem_chunk_init());
    auto pages = take(4);
    EXPECT_EQ(pages[1], at(pages[0], page_bytes));
    EXPECT_EQ(pages[3], at(pages[2], page_bytes));
    EXPECT_NE(pages[0], pages[2]);

    fail_always(fault_site::pool, "zpg4");
    EXPECT_EQ(pav_mem_chunk_get_page(), nullptr);  // both full, and no new chunk can be had
    clear_faults();
    for (void* page : pages) {
        EXPECT_TRUE(pav_mem_chunk_free_page(page));
    }
    EXPECT_EQ(zpg_blocks(), 3u);
}

TEST_F(MemChunkTest, PagesComeInOrderChunksGrowAndOnlyAThirdEmptyChunkIsFreed) {
    ASSERT_TRUE(pav_mem_chunk_init());
    EXPECT_EQ(zpg_blocks(), 3u);  // the table and two chunks
    EXPECT_EQ(zpg_bytes(), table_bytes_4mib + 8 * mib);

    auto pages = take(2 * pages_per_chunk + 1);
    EXPECT_EQ(zpg_blocks(), 4u);  // both chunks full: a third joined
    for (size_t chunk = 0; chunk < 2; chunk++) {
        char* base = at(pages[chunk * pages_per_chunk], -(ptrdiff_t)header_bytes);
        for (size_t i = 0; i < pages_per_chunk; i++) {
            ASSERT_EQ(pages[chunk * pages_per_chunk + i], base + header_bytes + i * page_bytes) << chunk << " " << i;
        }
    }
    for (void* page : pages) {
        std::memset(page, 0x5A, page_bytes);  // whole pages belong to the caller
    }

    // A returned page goes back to the tail of the free list and is handed out again.
    void* returned = pages[5];
    EXPECT_TRUE(pav_mem_chunk_free_page(returned));
    void* third_chunk_page = pav_mem_chunk_get_page();  // the third chunk is the head
    EXPECT_EQ(third_chunk_page, at(pages.back(), page_bytes));
    EXPECT_TRUE(pav_mem_chunk_free_page(third_chunk_page));
    pages.push_back(pav_mem_chunk_get_page());
    EXPECT_EQ(pages.back(), third_chunk_page);

    // Emptying the third chunk frees it while three exist...
    EXPECT_TRUE(pav_mem_chunk_free_page(pages.back()));
    pages.pop_back();
    EXPECT_TRUE(pav_mem_chunk_free_page(pages.back()));
    pages.pop_back();
    EXPECT_EQ(zpg_blocks(), 3u);
    EXPECT_EQ(pav_mem_chunk_get_page(), returned);
    // ...but the last two stay when they empty.
    for (void* page : pages) {
        EXPECT_TRUE(pav_mem_chunk_free_page(page));
    }
    EXPECT_EQ(zpg_blocks(), 3u);
    pages = take(2 * pages_per_chunk);
    EXPECT_EQ(zpg_blocks(), 3u);
    for (void* page : pages) {
        EXPECT_TRUE(pav_mem_chunk_free_page(page));
    }
}

TEST_F(MemChunkTest, PagesCanBeTakenAndReturnedAtDispatchLevel) {
    ASSERT_TRUE(pav_mem_chunk_init());
    KIRQL old = KeRaiseIrqlToDpcLevel();
    auto pages = take(pages_per_chunk * 2 + 1);  // a chunk is created at DISPATCH_LEVEL too
    for (void* page : pages) {
        EXPECT_TRUE(pav_mem_chunk_free_page(page));
    }
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(old);
}

TEST_F(MemChunkTest, AddressesInNoChunkAreRefused) {
    ASSERT_TRUE(pav_mem_chunk_init());
    void* own = kpav_alloc(page_bytes, KPAV_TAG_VML);
    int local = 0;
    EXPECT_FALSE(pav_mem_chunk_free_page(own));
    EXPECT_FALSE(pav_mem_chunk_free_page(&local));
    EXPECT_TRUE(log().empty());
    kpav_free(own, KPAV_TAG_VML);

    EXPECT_FALSE(pav_mem_chunk_free_page(nullptr));
    EXPECT_EQ(log(), std::vector<std::string>{line(6173, "Free page address is NULL!\n")});
}

TEST_F(MemChunkTest, DoubleFreesAndHeaderPagesAreOrphanedNotFreed) {
    ASSERT_TRUE(pav_mem_chunk_init());
    auto pages = take(2 * pages_per_chunk);
    void* first = pav_mem_chunk_get_page();  // a third chunk: its pages 2 and 3
    void* second = pav_mem_chunk_get_page();
    char* base = at(first, -(ptrdiff_t)header_bytes);
    ASSERT_EQ(zpg_blocks(), 4u);

    EXPECT_TRUE(pav_mem_chunk_free_page(first));
    clear_debug_lines();
    // Counted twice, the chunk would look empty and go back to the pool under `second`.
    EXPECT_TRUE(pav_mem_chunk_free_page(first));
    EXPECT_EQ(log(), std::vector<std::string>{"paverr Corvane driver: Free page: Page " + ptr(first) +
                                              " (idx 2) of chunk " + ptr(base) + " is already free. Orphaning page.\n"});
    EXPECT_EQ(zpg_blocks(), 4u);

    clear_debug_lines();
    EXPECT_TRUE(pav_mem_chunk_free_page(base));
    EXPECT_TRUE(pav_mem_chunk_free_page(base + page_bytes + 100));
    EXPECT_EQ(log(), (std::vector<std::string>{
                         line(6175, "Free page: The calculated page idx 0 for page " + ptr(base) + " and chunk " +
                                        ptr(base) + " is not in the correct range of [2,1024).\n"),
                         line(6175, "Free page: The calculated page idx 1 for page " + ptr(base + page_bytes + 100) +
                                        " and chunk " + ptr(base) + " is not in the correct range of [2,1024).\n"),
                     }));
    clear_debug_lines();

    // Neither the header pages nor the page freed twice were counted: the chunk hands out
    // exactly its own free pages, and then a new chunk is needed.
    auto rest = take(pages_per_chunk - 1);
    std::set<void*> distinct(rest.begin(), rest.end());
    EXPECT_EQ(distinct.size(), rest.size());
    for (void* page : rest) {
        EXPECT_TRUE((char*)page >= base + header_bytes && (char*)page < base + 4 * mib);
    }
    EXPECT_EQ(zpg_blocks(), 4u);
    EXPECT_TRUE(log().empty());

    rest.push_back(second);
    for (void* page : rest) {
        EXPECT_TRUE(pav_mem_chunk_free_page(page));
    }
    EXPECT_EQ(zpg_blocks(), 3u);  // the third chunk emptied and went back to the pool
    for (void* page : pages) {
        EXPECT_TRUE(pav_mem_chunk_free_page(page));
    }
}

TEST_F(MemChunkTest, DamagedSignatureStopsGetsAndOrphansFrees) {
    ASSERT_TRUE(pav_mem_chunk_init());
    void* page = pav_mem_chunk_get_page();
    auto* signature = (ULONG*)at(page, -(ptrdiff_t)header_bytes);
    ULONG saved = *signature;
    EXPECT_EQ(saved, 0x4B4E4843u);
    *signature = 0x12345678;

    EXPECT_EQ(pav_mem_chunk_get_page(), nullptr);
    EXPECT_TRUE(pav_mem_chunk_free_page(page));
    EXPECT_EQ(log(), (std::vector<std::string>{
                         line(6186, "Get: Chunk header " + ptr(signature) +
                                        " has invalid signature! 0x12345678 should be 0x4B4E4843!\n"),
                         line(6174, "Free: Chunk header signature is not correct! Signature 0x12345678 should be "
                                    "0x4B4E4843. Orphaning page.\n"),
                     }));

    *signature = saved;
    EXPECT_TRUE(pav_mem_chunk_free_page(page));  // the orphaned page was never counted back
    EXPECT_EQ(pav_mem_chunk_get_page(), page);
    EXPECT_TRUE(pav_mem_chunk_free_page(page));
}

TEST_F(MemChunkTest, ExitOrphansAChunkWithAPageOutAndFreesTheRest) {
    ASSERT_TRUE(pav_mem_chunk_init());
    void* page = pav_mem_chunk_get_page();
    char* base = at(page, -(ptrdiff_t)header_bytes);
    pav_mem_chunk_exit();
    EXPECT_EQ(log(), std::vector<std::string>{line(6180, "Free Chunk: Chunk " + ptr(base) +
                                                             " has a free page count 1021 that should be 1022! This "
                                                             "memory is now orphaned!\n")});
    EXPECT_EQ(zpg_blocks(), 1u);  // the other chunk and the table are gone
    EXPECT_EQ(pav_mem_chunk_get_page(), nullptr);
    EXPECT_FALSE(pav_mem_chunk_free_page(page));
    kpav_free(base, KPAV_TAG_ZPG);
}

TEST_F(MemChunkTest, SwitchedOffOrNotStartedItHandsOutNothing) {
    EXPECT_EQ(pav_mem_chunk_get_page(), nullptr);  // not started
    int local = 0;
    EXPECT_FALSE(pav_mem_chunk_free_page(&local));

    pav_chunk_enable = 0;
    EXPECT_TRUE(pav_mem_chunk_init());
    EXPECT_EQ(zpg_blocks(), 0u);
    EXPECT_EQ(pav_mem_chunk_get_page(), nullptr);
    EXPECT_FALSE(pav_mem_chunk_free_page(&local));
    EXPECT_FALSE(pav_mem_chunk_free_page(nullptr));
    EXPECT_TRUE(log().empty());
}

TEST_F(MemChunkTest, SecondInitIsRefusedAndTheAllocatorGoesOn) {
    ASSERT_TRUE(pav_mem_chunk_init());
    EXPECT_FALSE(pav_mem_chunk_init());
    EXPECT_EQ(log(), std::vector<std::string>{
                         line(6169, "Memory chunk management state not at the UNINITIALIZED state!\n")});
    void* page = pav_mem_chunk_get_page();
    ASSERT_NE(page, nullptr);
    EXPECT_TRUE(pav_mem_chunk_free_page(page));
}

TEST_F(MemChunkTest, InitFailsCleanlyAtEveryAllocation) {
    // Init allocates the table, the first chunk and the spare chunk (each chunk halving on
    // failure). Each row fails a run of allocations starting at one of them.
    struct row {
        uint64_t first, count;
        bool ready;
        uint64_t bytes;
        const char* message;
    } rows[] = {
        {1, 1, false, 0, "paverr Corvane driver: 06170 Failed to allocate 2097152 bytes for the search table\n"},
        {2, 9, false, 0, "paverr Corvane driver: 06171 Failed to allocate initial memory chunk 0\n"},
        {2, 1, true, table_bytes_4mib + 2 * mib + 4 * mib, nullptr},  // the first chunk halves
        {3, 9, true, table_bytes_4mib + 4 * mib, nullptr},            // the spare is given up
        {3, 1, true, table_bytes_4mib + 4 * mib + 2 * mib, nullptr},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.first * 100 + r.count);
        clear_debug_lines();
        fail_run(r.first, r.count);
        EXPECT_EQ(pav_mem_chunk_init(), r.ready);
        if (r.message != nullptr) {
            EXPECT_EQ(log(), std::vector<std::string>{r.message});
            EXPECT_EQ(zpg_blocks(), 0u);
            EXPECT_EQ(pav_mem_chunk_get_page(), nullptr);
        } else {
            EXPECT_TRUE(log().empty());
            EXPECT_EQ(zpg_bytes(), r.bytes);
        }
        clear_faults();
        pav_mem_chunk_exit();
        EXPECT_EQ(zpg_blocks(), 0u);
        ASSERT_TRUE(pav_mem_chunk_init());  // a failed init leaves nothing behind to trip on
        pav_mem_chunk_exit();
    }
}

TEST_F(MemChunkTest, ConcurrentTakersNeverShareAPage) {
    ASSERT_TRUE(pav_mem_chunk_init());
    std::mutex out_mutex;
    std::set<void*> out;  // pages handed out and not yet returned
    std::atomic<int> shared{0}, corrupted{0}, refused{0};

    auto worker = [&](int id) {
        KIRQL old = PASSIVE_LEVEL;
        if (id == 0) {
            old = KeRaiseIrqlToDpcLevel();  // one taker runs as a DPC would
        }
        std::mt19937 random((unsigned)id);
        std::vector<void*> held;
        for (int step = 0; step < 4000; step++) {
            bool taking = held.empty() || (held.size() < 700 && random() % 5 < 3);
            if (taking) {
                void* page = pav_mem_chunk_get_page();
                if (page == nullptr) {
                    refused++;
                    continue;
                }
                {
                    std::lock_guard<std::mutex> g(out_mutex);
                    if (!out.insert(page).second) {
                        shared++;
                    }
                }
                *(int*)page = id;
                *(int*)at(page, page_bytes - sizeof(int)) = id;
                held.push_back(page);
            } else {
                size_t pick = random() % held.size();
                void* page = held[pick];
                held[pick] = held.back();
                held.pop_back();
                if (*(int*)page != id || *(int*)at(page, page_bytes - sizeof(int)) != id) {
                    corrupted++;
                }
                {
                    std::lock_guard<std::mutex> g(out_mutex);
                    out.erase(page);
                }
                if (!pav_mem_chunk_free_page(page)) {
                    refused++;
                }
            }
        }
        for (void* page : held) {
            {
                std::lock_guard<std::mutex> g(out_mutex);
                out.erase(page);
            }
            if (!pav_mem_chunk_free_page(page)) {
                refused++;
            }
        }
        if (id == 0) {
            KeLowerIrql(old);
        }
    };
    std::vector<std::thread> threads;
    for (int id = 0; id < 4; id++) {
        threads.emplace_back(worker, id);
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(shared.load(), 0);
    EXPECT_EQ(corrupted.load(), 0);
    EXPECT_EQ(refused.load(), 0);
    EXPECT_TRUE(log().empty());
    EXPECT_EQ(zpg_blocks(), 3u);  // everything back: only the two kept chunks remain
}

TEST_F(MemChunkTest, FullSearchTableGrowsAndAChunkItCannotHoldIsNeverUsed) {
    // 128 MiB chunks give the smallest table (8192 entries). Filling it takes 8192 chunks,
    // which are made 16 KiB each by failing the larger tries: 128 MiB in all.
    pav_chunk_size_mb = 128;
    constexpr uint64_t halvings = 13;
    constexpr size_t table_entries = 8192;
    halve_chunks(2, halvings);
    ASSERT_TRUE(pav_mem_chunk_init());
    std::vector<void*> pages;
    for (size_t chunk = 0; chunk < table_entries; chunk++) {
        pages.push_back(pav_mem_chunk_get_page());
        pages.push_back(pav_mem_chunk_get_page());
        ASSERT_NE(pages.back(), nullptr) << chunk;
    }
    ASSERT_EQ(zpg_blocks(), 1 + table_entries);
    EXPECT_TRUE(log().empty());

    fail_run(1, 1);  // the larger table
    EXPECT_EQ(pav_mem_chunk_get_page(), nullptr);
    EXPECT_EQ(log(), std::vector<std::string>{
                         line(6177, "Failed to reallocate search table to new size of 16384 pointers\n")});
    EXPECT_EQ(zpg_blocks(), 1 + table_entries);  // no chunk was made that the table could not hold

    halve_chunks(2, halvings);
    void* beyond = pav_mem_chunk_get_page();
    ASSERT_NE(beyond, nullptr);
    pages.push_back(beyond);
    EXPECT_EQ(zpg_bytes(), 16384 * 8 + (table_entries + 1) * 16384);

    // Every page is found again through the table, whatever its size on the way down.
    std::mt19937 random(7);
    std::shuffle(pages.begin(), pages.end(), random);
    for (void* page : pages) {
        ASSERT_TRUE(pav_mem_chunk_free_page(page));
    }
    EXPECT_EQ(zpg_blocks(), 3u);
}
