// The data block device's write, discard and flush path on the card model: writes land on media
// as packets that the forward map names, discards remove ranges (logged as notes with
// persistent trim), refusals end the chain or hand it back for a retry, flushes report the
// barrier's failure, atomic chains mark their packets, and writers on many threads at once.
#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <thread>

#include "driver/fmap/lrbtree.h"
#include "driver/log/log_entry.h"
#include "driver/log/log_file.h"
#include "driver/pipeline/builders.h"
#include "driver/pipeline/pipeline.h"
#include "driver/platform/cpu_wq.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/time.h"
#include "sim/kernel/control.h"
#include "tests/driver/block/data_device_fixture.h"

using namespace sim::kernel;

namespace {

// A sector as the card holds it: the header of its packet and its bytes.
struct on_media {
    UCHAR opcode = 0;
    ULONG64 address = 0;
    std::vector<UCHAR> bytes;
};

class BdevWriteTest : public DataDeviceTest {
  protected:
    // The log address the map holds for `sector`; 0 when it is not mapped.
    ULONG64 mapped_at(ULONG64 sector) {
        lrbtree_lookup found{};
        lrbtree_range range{};
        int rc = lrbtree_enumerate(mdt_.map, &range, &lrbtree_lookup_at, &found, 0, sector, sector + 1);
        EXPECT_TRUE(rc == -KPAV_EAGAIN || rc == 0 || rc == -KPAV_ENOENT) << rc;
        return found.gpkt != 0 ? found.gpkt + (sector - found.start) : 0;
    }
    // The packet at log address `address`, read from the card.
    on_media packet_at(ULONG64 address) {
        on_media out;
        ULONG64 index = address - PAV_LOG_FIRST_ADDR;
        media_address where{};
        where.eb = (USHORT)(index / log_.leb_span);
        where.offset = head() + (index % log_.leb_span) * packet();
        std::vector<UCHAR> raw(packet());
        dma_visible dma(raw);
        EXPECT_EQ(media_read_raw(channel(), &where, raw.data(), packet(), 0, nullptr, nullptr, nullptr), 0);
        pkt_header_decode(raw.data(), &out.opcode, &out.address);
        out.bytes.assign(raw.begin() + 8, raw.end());
        return out;
    }
    // The sector's packet, through the map (the sector must be mapped).
    on_media sector_on_media(ULONG64 sector) {
        ULONG64 at = mapped_at(sector);
        EXPECT_NE(at, 0u) << sector;
        return at != 0 ? packet_at(at) : on_media{};
    }
    // Every sector of [start, start + data / 512) is mapped to a packet of its own address that
    // holds its bytes, with `opcode`.
    void expect_on_media(ULONG64 start, const std::vector<UCHAR>& data, UCHAR opcode = 0x90) {
        const ULONG size = device_->sector_size;
        for (ULONG64 s = 0; s < data.size() / size; s++) {
            on_media m = sector_on_media(start + s);
            EXPECT_EQ(m.opcode, opcode) << start + s;
            EXPECT_EQ(m.address, start + s);
            EXPECT_TRUE(std::equal(m.bytes.begin(), m.bytes.end(), data.begin() + s * size)) << start + s;
            if (HasFailure()) return;
        }
    }
    ULONG64 mapped_in(ULONG64 start, ULONG64 count) {
        ULONG64 mapped = 0;
        lrbtree_range range{};
        lrbtree_enumerate(mdt_.map, &range, &lrbtree_count_mapped, &mapped, 0, start, start + count);
        return mapped;
    }
    ULONG64 written_pos() { return log_.written_pos; }
    // Sectors [from, from + count) of `bytes`.
    std::vector<UCHAR> slice(const std::vector<UCHAR>& bytes, size_t from, size_t count) {
        const size_t size = device_->sector_size;
        return std::vector<UCHAR>(bytes.begin() + from * size, bytes.begin() + (from + count) * size);
    }

    // A chain of `n` bios of `command`, each of `count` sectors, one after the other from
    // `start`; write bios carry `buffer` (n x count sectors).
    bio* chain(ULONG command, ULONG64 start, ULONG64 count, size_t n, std::vector<UCHAR>* buffer = nullptr,
               LONG flags = 0) {
        bio* first = nullptr;
        for (size_t i = 0; i < n; i++) {
            void* bytes = buffer != nullptr ? buffer->data() + i * count * device_->sector_size : nullptr;
            bio* b = take(command, start + i * count, count, bytes, first);
            InterlockedOr(&b->flags, flags);
            if (first == nullptr) first = b;
        }
        return first;
    }

    // After the power went (the channel failed): everything built on the channel goes, the card
    // restarts, and the log is walked as a scan does. Its data packets in log order, each with
    // its opcode, address and bytes (index records and notes passed over).
    std::vector<on_media> data_packets_after_restart() {
        bio_pool_destroy(&pool_, &memory_);
        bdev_free(&device_);
        mdt_exit(&mdt_);
        reboot();
        std::vector<on_media> packets;
        if (HasFatalFailure()) return packets;
        log_file* reader = nullptr;
        int rc = log_file_create(&reader, &log_);
        EXPECT_EQ(rc, 0);
        if (rc != 0) return packets;
        EXPECT_EQ(log_file_open(reader, nullptr, LOG_FILE_FORWARD, LOG_FILE_NO_LIMIT), 0);
        std::vector<UCHAR> raw(packet());
        UCHAR opcode = 0;
        while ((rc = log_file_next_entry(reader, &opcode)) == 0) {
            on_media m;
            EXPECT_EQ(log_file_copy_out(reader, raw.data(), 8), 0);
            pkt_header_decode(raw.data(), &m.opcode, &m.address);
            if ((m.opcode & 0xF0) == 0x90) {
                EXPECT_EQ(log_file_copy_out(reader, raw.data(), packet()), 0);  // from the entry's start
                m.bytes.assign(raw.begin() + 8, raw.end());
                packets.push_back(std::move(m));
            }
            EXPECT_EQ(log_entry_skip(reader, opcode), 0);
            if (HasFailure()) break;
        }
        EXPECT_EQ(rc, -2);
        log_file_destroy(reader);
        return packets;
    }
};

TEST_F(BdevWriteTest, WritesOfEverySizeLandAsPacketsTheMapNames) {
    struct row {
        ULONG64 start, count;
    } rows[] = {
        {0, 1}, {7, 1}, {1001, 3}, {4096, 8}, {5000, 129}, {8191, 512}, {20001, 2048},
    };
    UCHAR seed = 1;
    for (const row& r : rows) {
        std::vector<UCHAR> data = pattern(r.start, r.count, seed++);
        ASSERT_EQ(write(r.start, data), 0) << r.start;
        expect_on_media(r.start, data);
    }
    // An overwrite: the map names the new packets, the sectors around it keep theirs.
    std::vector<UCHAR> again = pattern(1002, 1, 99);
    ASSERT_EQ(write(1002, again), 0);
    expect_on_media(1002, again);
    expect_on_media(1001, slice(pattern(1001, 3, 3), 0, 1));
    expect_on_media(1003, slice(pattern(1001, 3, 3), 2, 1));
    EXPECT_EQ(mapped_in(0, 30000), 1u + 1 + 3 + 8 + 129 + 512 + 2048);
    EXPECT_EQ(data_.reserved, 0u);
    EXPECT_EQ(pool_->in_use, 0u);
    EXPECT_EQ(data_.write_bytes, (LONG64)(512 * (1 + 1 + 3 + 8 + 129 + 512 + 2048 + 1)));
}

TEST_F(BdevWriteTest, AChainOfWritesIsOneSubmission) {
    std::vector<UCHAR> data = pattern(300, 40, 5);
    dma_visible dma(data);
    ASSERT_EQ(submit_wait(chain(BIO_WRITE, 300, 8, 5, &data)), 0);
    expect_on_media(300, data);
}

// Chains refused before anything is built end with their error; nothing reaches the map or
// stays reserved.
TEST_F(BdevWriteTest, RefusedChainsEndWithTheirError) {
    std::vector<UCHAR> data = pattern(0, 257, 1);
    dma_visible dma(data);
    const ULONG64 end = sectors();
    struct row {
        const char* what;
        std::function<bio*()> build;
        std::function<void()> before;
        int status;
        const char* message;
    } rows[] = {
        {"257 bios", [&] { return chain(BIO_WRITE, 0, 1, 257, &data); }, [] {}, -22,
         "dov0: Bio chain count exceeds the max count (256) supported.\n"},
        {"2049 sectors", [&] { return take(BIO_WRITE, 0, 2049); }, [] {}, -22,
         "dov0: Invalid request size: 2049\n"},
        {"write past the end", [&] { return take(BIO_WRITE, end - 1, 2, data.data()); }, [] {}, -22, nullptr},
        {"write at the end", [&] { return take(BIO_WRITE, end, 1, data.data()); }, [] {}, -22, nullptr},
        {"start that wraps", [&] { return take(BIO_WRITE, ~0ull - 1, 4, data.data()); }, [] {}, -22, nullptr},
        {"discard past the end", [&] { return take(BIO_DISCARD, 10, end); }, [] {}, -22, nullptr},
        {"read-only switch", [&] { return take(BIO_WRITE, 0, 1, data.data()); },
         [&] { data_.read_only_switch = 1; }, -30, nullptr},
        {"read-only mode", [&] { return take(BIO_DISCARD, 0, 1); },
         [&] { data_.write_mode = BDEV_WRITE_READ_ONLY; }, -30, nullptr},
        {"failed log", [&] { return take(BIO_WRITE, 0, 1, data.data()); },
         [&] { kpav_state_change(&log_.state, PAV_LOG_UNRECOVERABLE_ERROR, 0); }, -5, nullptr},
    };
    for (const row& r : rows) {
        clear_debug_lines();
        r.before();
        EXPECT_EQ(submit_wait(r.build()), r.status) << r.what;
        if (r.message != nullptr) {
            EXPECT_TRUE(logged(r.message)) << r.what;
        }
        data_.read_only_switch = 0;
        data_.write_mode = BDEV_WRITE_NORMAL;
        kpav_state_change(&log_.state, PAV_LOG_RUNNING, 0);
    }
    EXPECT_EQ(mapped_in(0, end), 0u);
    EXPECT_EQ(data_.reserved, 0u);
    EXPECT_EQ(pool_->in_use, 0u);
    EXPECT_EQ(device_->writes_in_flight, 0u);
}

// No room yet, or too soon in reduced mode: the status comes back to a submitter that may not
// wait, the chain is not ended, and the same chain goes through once the cause is gone.
TEST_F(BdevWriteTest, RetryStatusesHandTheChainBackUnended) {
    std::vector<UCHAR> data = pattern(50, 4, 2);
    dma_visible dma(data);
    struct row {
        const char* what;
        std::function<void()> cause, cure;
        int status;
    } rows[] = {
        {"no room", [&] { data_.groomer_reserve = 1ull << 40; }, [&] { data_.groomer_reserve = 0; }, -28},
        {"reduced mode",
         [&] {
             data_.write_mode = BDEV_WRITE_REDUCED;
             data_.last_reduced_us = (LONG64)kpav_get_usecs() + 10000000;  // "just now", for 10 s
         },
         [&] { data_.write_mode = BDEV_WRITE_NORMAL; }, -16},
    };
    for (const row& r : rows) {
        bio* b = take(BIO_WRITE, 50, 4, data.data());
        InterlockedOr(&b->flags, BIO_NO_WAIT);
        r.cause();
        EXPECT_EQ(bdev_submit_bio(b), r.status) << r.what;
        EXPECT_EQ(b->status, r.status);
        EXPECT_EQ(b->flags & (BIO_IN_FLIGHT | BIO_DONE), 0) << "handed back: neither in flight nor ended";
        EXPECT_EQ(device_->writes_in_flight, 0u);
        EXPECT_EQ(device_->write_sectors_in_flight, 0u);
        EXPECT_EQ(data_.reserved, 0u);
        r.cure();
        // The submitter's retry: the same chain, counted once.
        EXPECT_EQ(submit_wait(b), 0) << r.what;
        EXPECT_EQ(device_->writes_in_flight, 0u);
        EXPECT_EQ(device_->write_sectors_in_flight, 0u);
        expect_on_media(50, data);
    }
}

// A writer that may wait for room waits until a completing write gives its reservation back.
TEST_F(BdevWriteTest, AWriterWaitsForRoomUntilReservationsComeBack) {
    ULONG64 erased = datalog_erased_space(&log_);
    ULONG64 keep = 5 * data_.reserve_unit;
    // Room for 4 packets more, then a write of 8 must wait until the reservation falls.
    kpav_spin_lock(&data_.throttle_lock);
    data_.reserved = erased - keep - 5;
    kpav_spin_unlock(&data_.throttle_lock);
    std::vector<UCHAR> data = pattern(70, 8, 3);
    std::atomic<int> result{1};
    std::thread writer([&] { result = write(70, data); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(result.load(), 1) << "still waiting";
    write_unreserve(device_, erased - keep - 5);
    writer.join();
    EXPECT_EQ(result.load(), 0);
    expect_on_media(70, data);
    EXPECT_EQ(data_.reserved, 0u);
}

TEST_F(BdevWriteTest, DiscardsWithoutPersistentTrimForgetTheRangeInMemory) {
    ASSERT_EQ(write(100, pattern(100, 10, 1)), 0);
    ASSERT_EQ(write(120, pattern(120, 10, 2)), 0);
    ULONG64 before = written_pos();
    // Across both runs and the gap between them.
    ASSERT_EQ(discard(105, 20), 0);
    EXPECT_EQ(written_pos(), before) << "nothing logged";
    EXPECT_EQ(mapped_in(100, 30), 10u);
    EXPECT_EQ(mapped_in(100, 5), 5u);
    EXPECT_EQ(mapped_in(125, 5), 5u);
    expect_on_media(100, slice(pattern(100, 10, 1), 0, 5));
    expect_on_media(125, slice(pattern(120, 10, 2), 5, 5));
    EXPECT_EQ(data_.reserved, 0u);
}

TEST_F(BdevWriteTest, PersistentTrimLogsANoteOnlyWhereSomethingIsMapped) {
    data_.persistent_trim = 1;
    // Nothing mapped, nothing in flight: no note, the discard completes as a barrier.
    ULONG64 before = written_pos();
    ASSERT_EQ(discard(5000, 100), 0);
    EXPECT_EQ(written_pos(), before);

    ASSERT_EQ(write(100, pattern(100, 10, 1)), 0);
    ASSERT_EQ(discard(104, 2), 0);
    EXPECT_EQ(mapped_in(100, 10), 8u);
    // The note is the log's last packet: its header and its one run.
    ULONG64 pos = written_pos();
    ULONG64 last = PAV_LOG_FIRST_ADDR + (pos & 0xFFFF) * log_.leb_span + (pos >> 32) - 1;
    on_media note = packet_at(last);
    EXPECT_EQ(note.opcode, 0xA0);
    EXPECT_EQ(note.address, 0xFFFFFFFFFF79E0ull);
    ULONG64 words[4];
    std::memcpy(words, note.bytes.data(), sizeof words);
    EXPECT_EQ(words[0], 1u);
    EXPECT_EQ(words[1], 2u);
    EXPECT_EQ(words[2], 104u);
    EXPECT_EQ(words[3], 0u);
    EXPECT_EQ(data_.reserved, 0u);
}

// Discards of one chain share the first note while it has room; a chain of writes and discards
// goes through as one.
TEST_F(BdevWriteTest, DiscardsOfAChainShareOneNote) {
    data_.persistent_trim = 1;
    std::vector<UCHAR> data = pattern(0, 64, 4);
    ASSERT_EQ(write(0, data), 0);
    bio* first = chain(BIO_DISCARD, 0, 2, 3);  // [0,2) [2,4) [4,6)
    std::vector<UCHAR> more = pattern(40, 4, 5);
    dma_visible dma(more);
    take(BIO_WRITE, 40, 4, more.data(), first);
    take(BIO_DISCARD, 10, 1, nullptr, first);
    ASSERT_EQ(submit_wait(first), 0);
    EXPECT_EQ(mapped_in(0, 64), 64u - 7);
    expect_on_media(40, more);
    // The note went to the log just before the write's packets.
    ULONG64 note_at = mapped_at(40) - 1;
    on_media note = packet_at(note_at);
    ASSERT_EQ(note.opcode, 0xA0);
    ULONG64 words[1 + 4 * 3];
    std::memcpy(words, note.bytes.data(), sizeof words);
    EXPECT_EQ(words[0], 4u);
    const ULONG64 runs[4][2] = {{2, 0}, {2, 2}, {2, 4}, {1, 10}};
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(words[1 + 3 * i], runs[i][0]) << i;
        EXPECT_EQ(words[2 + 3 * i], runs[i][1]) << i;
    }
}

// A note holds as many runs as its packet has room for (20 in 512 bytes); the next discard of
// the chain starts a note of its own, which the discards after it join.
TEST_F(BdevWriteTest, ANoteFullOfRunsIsFollowedByANewOne) {
    data_.persistent_trim = 1;
    ASSERT_EQ(write(0, pattern(0, 64, 4)), 0);
    bio* first = nullptr;
    for (ULONG64 i = 0; i < 22; i++) {
        bio* b = take(BIO_DISCARD, 2 * i, 1, nullptr, first);
        first = first != nullptr ? first : b;
    }
    ASSERT_EQ(submit_wait(first), 0);
    EXPECT_EQ(mapped_in(0, 64), 64u - 22);
    // The two notes are the log's last packets.
    ULONG64 pos = written_pos();
    ULONG64 end = PAV_LOG_FIRST_ADDR + (pos & 0xFFFF) * log_.leb_span + (pos >> 32);
    const ULONG64 counts[2] = {20, 2};
    for (ULONG n = 0; n < 2; n++) {
        on_media note = packet_at(end - 2 + n);
        ASSERT_EQ(note.opcode, 0xA0) << n;
        EXPECT_EQ(note.address, 0xFFFFFFFFFF79E0ull) << n;
        std::vector<ULONG64> words(note.bytes.size() / 8);
        std::memcpy(words.data(), note.bytes.data(), words.size() * 8);
        EXPECT_EQ(words[0], counts[n]) << n;
        for (ULONG64 i = 0; i < counts[n]; i++) {
            EXPECT_EQ(words[1 + 3 * i], 1u) << n << " run " << i;
            EXPECT_EQ(words[2 + 3 * i], 2 * (20 * n + i)) << n << " run " << i;
        }
    }
}

// A discard whose walk of the map fails cannot know that nothing is mapped there: it is noted
// all the same. Here the map failed (a node it could not allocate) after the discard passed
// the log's state check.
TEST_F(BdevWriteTest, ADiscardWhoseMapWalkFailsIsStillNoted) {
    data_.persistent_trim = 1;
    ASSERT_EQ(write(100, pattern(100, 4, 1)), 0);
    const ULONG64 last = mapped_at(103);
    // The next write lands after it; the map cannot take it (a shard of its own, whose first
    // node cannot be had) and keeps the error.
    sim::kernel::fail_always(sim::kernel::fault_site::pool, "sal4");
    EXPECT_EQ(write(900000, pattern(900000, 1, 2)), -5);
    sim::kernel::clear_faults();
    kpav_state_change(&log_.state, PAV_LOG_RUNNING, 0);  // the discard's check came before
    clear_debug_lines();
    // The map cannot take the trim either: the discard fails, and says so.
    EXPECT_EQ(discard(5000, 4), -5);
    EXPECT_TRUE(logged("dov0: Atomic trim completion failed with error code ENOMEM: Out of memory\n"));
    // The note follows the failed write's packet.
    EXPECT_EQ(packet_at(last + 1).address, 900000u);
    on_media note = packet_at(last + 2);
    EXPECT_EQ(note.opcode, 0xA0);
    EXPECT_EQ(note.address, 0xFFFFFFFFFF79E0ull);
    ULONG64 words[3];
    std::memcpy(words, note.bytes.data(), sizeof words);
    EXPECT_EQ(words[0], 1u);
    EXPECT_EQ(words[1], 4u);
    EXPECT_EQ(words[2], 5000u);
}

// A chain whose write the map could not take (here: the write crosses the end of its
// partition) does not apply the trims after it: the range keeps its data, and the failure of
// each is logged.
TEST_F(BdevWriteTest, ATrimAfterAFailedMapUpdateOfItsChainIsNotApplied) {
    ASSERT_EQ(write(200, pattern(200, 10, 1)), 0);
    mdt_partition slots[1] = {{0, 100, MDT_PARTITION_ONLINE, 0}};
    mdt_partition_table table{};
    kpav_spinlock_init(&table.lock);
    table.count = 1;
    table.slots = slots;
    mdt_.partitions = &table;
    std::vector<UCHAR> data = pattern(96, 8, 2);
    dma_visible dma(data);
    bio* first = take(BIO_WRITE, 96, 8, data.data());
    take(BIO_DISCARD, 200, 4, nullptr, first);
    clear_debug_lines();
    EXPECT_EQ(submit_wait(first), -5);
    mdt_.partitions = nullptr;
    EXPECT_TRUE(logged("dov0: Internal software erorr - vsu actg.\n"));
    EXPECT_TRUE(logged("dov0: Atomic write completion failed with error code EINVAL: Invalid argument\n"));
    EXPECT_TRUE(logged("dov0: Atomic trim completion failed with error code EIO: I/O error\n"));
    EXPECT_EQ(mapped_in(200, 10), 10u);
    expect_on_media(200, pattern(200, 10, 1));
    EXPECT_EQ(data_.reserved, 0u);
}

// A flush is a barrier behind the writes before it; one that cannot reach the media reports
// the failure.
TEST_F(BdevWriteTest, AFlushReportsTheBarriersFailure) {
    ASSERT_EQ(write(10, pattern(10, 4, 1)), 0);
    EXPECT_EQ(flush(), 0);
    // Bios taken while the channel ran, submitted once it failed.
    std::vector<UCHAR> data = pattern(20, 1, 1);
    dma_visible dma(data);
    bio* late_flush = take(BIO_FLUSH, 0, 0);
    bio* late_write = take(BIO_WRITE, 20, 1, data.data());
    fail_channel(channel(), 0, CHANNEL_FAIL_WATCHDOG);
    EXPECT_EQ(submit_wait(late_flush), -5);
    EXPECT_EQ(submit_wait(late_write), -5);
    EXPECT_EQ(mapped_in(20, 1), 0u);
    EXPECT_EQ(data_.reserved, 0u);
}

// Every packet of an atomic chain but its very last carries the open-atomic bit, so a chain cut
// short leaves a run a scan can drop.
TEST_F(BdevWriteTest, AnAtomicChainMarksEveryPacketButItsLast) {
    data_.atomic_writes = 1;
    std::vector<UCHAR> data = pattern(200, 24, 6);
    dma_visible dma(data);
    ASSERT_EQ(submit_wait(chain(BIO_WRITE, 200, 8, 3, &data, BIO_ATOMIC)), 0);
    for (ULONG64 s = 200; s < 223; s++) {
        EXPECT_EQ(sector_on_media(s).opcode, 0x98) << s;
    }
    expect_on_media(223, slice(data, 23, 1), 0x90);
    // Its final packet follows the others on media.
    EXPECT_EQ(mapped_at(223), mapped_at(222) + 1);

    // With a discard last, the note closes the chain with the plain note class.
    data_.persistent_trim = 1;
    std::vector<UCHAR> one = pattern(300, 1, 7);
    dma_visible dma1(one);
    bio* first = take(BIO_WRITE, 300, 1, one.data());
    InterlockedOr(&first->flags, BIO_ATOMIC);
    bio* d = take(BIO_DISCARD, 200, 4, nullptr, first);
    InterlockedOr(&d->flags, BIO_ATOMIC);
    ASSERT_EQ(submit_wait(first), 0);
    EXPECT_EQ(sector_on_media(300).opcode, 0x98);
    on_media note = packet_at(mapped_at(300) + 1);
    EXPECT_EQ(note.opcode, 0xA0);
    EXPECT_EQ(mapped_in(200, 24), 20u);
}

// Writers on every processor at once, each over its own sectors, with flushes among them.
TEST_F(BdevWriteTest, WritersOnManyThreadsAllLand) {
    const int threads = 6, writes = 12;
    std::vector<std::vector<UCHAR>> data(threads * writes);
    std::vector<std::thread> workers;
    std::atomic<int> failures{0};
    for (int t = 0; t < threads; t++) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < writes; i++) {
                ULONG64 start = 10000 + (ULONG64)(t * writes + i) * 16;
                data[t * writes + i] = pattern(start, 1 + (i % 16), (UCHAR)t);
                if (write(start, data[t * writes + i]) != 0) failures++;
                if (i % 5 == 4 && flush() != 0) failures++;
            }
        });
    }
    for (auto& w : workers) w.join();
    EXPECT_EQ(failures.load(), 0);
    for (int k = 0; k < threads * writes; k++) {
        expect_on_media(10000 + (ULONG64)k * 16, data[k]);
        if (HasFailure()) break;
    }
    EXPECT_EQ(data_.reserved, 0u);
    EXPECT_EQ(pool_->in_use, 0u);
}

// With deferred completion on and completions coming in batches, the bio ends on its
// processor's thread.
TEST_F(BdevWriteTest, DeferredCompletionEndsTheBioOnItsProcessorsThread) {
    InterlockedExchange(&bdev_deferred_completion, 1);
    data_.busy_checked_us = (LONG64)kpav_get_usecs() + 100000000;  // no recheck in this test
    data_.completions_busy = 1;
    std::vector<UCHAR> data = pattern(60, 2, 8);
    EXPECT_EQ(write(60, data), 0);
    InterlockedExchange(&bdev_deferred_completion, 0);
    expect_on_media(60, data);
}

}  // namespace

// The card loses power in the middle of an atomic chain. Read back after the restart (walking
// the log as a scan does: a trailing run of open-atomic packets is an unfinished atomic write
// and is dropped), no sector of the chain shows new data unless all do.
TEST_F(BdevWriteTest, AnAtomicChainCutByAPowerLossShowsNothingOfItself) {
    data_.atomic_writes = 1;
    const ULONG64 start = 1000, per_bio = 128, bios = 4;
    std::vector<UCHAR> data = pattern(start, per_bio * bios, 9);
    dma_visible dma(data);
    bio* first = chain(BIO_WRITE, start, per_bio, bios, &data, BIO_ATOMIC);
    model_->inject("power_cut", "after_packets=200");
    std::atomic<int> status{1};
    std::thread submitter([&] { status = submit_wait(first); });
    for (int i = 0; i < 10000 && model_->powered(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_FALSE(model_->powered());
    fail_channel(channel(), 0, CHANNEL_FAIL_WATCHDOG);
    submitter.join();
    EXPECT_NE(status.load(), 0);
    EXPECT_EQ(mapped_in(start, per_bio * bios), 0u);

    std::vector<on_media> packets = data_packets_after_restart();
    ASSERT_FALSE(HasFailure());

    // The chain's packets that reached the media, in order, each of its own sector.
    size_t landed = 0;
    for (const on_media& s : packets) {
        ASSERT_EQ(s.address, start + landed);
        landed++;
    }
    ASSERT_GT(landed, 0u) << "the power went before the chain reached the media";
    ASSERT_LT(landed, per_bio * bios) << "the power went after the chain";
    // A trailing run of open-atomic packets: the scan drops all of it, so none shows.
    for (const on_media& s : packets) EXPECT_EQ(s.opcode, 0x98) << s.address;
}

// A flush that joins the channel's flush ends once every write acknowledged before it is on the
// media: a power cut right after it, with the card's power-cut flush off (rows still in its page
// buffers are lost), keeps them all. None of these writes fills a row, so without the flush they
// would all be lost.
TEST_F(BdevWriteTest, WritesBeforeAFlushSurviveAPowerCutRightAfterIt) {
    struct {
        ULONG64 start, count;
    } writes[] = {{40, 8}, {48, 3}, {100, 1}, {7, 16}};
    std::map<ULONG64, std::vector<UCHAR>> sectors;
    for (const auto& w : writes) {
        std::vector<UCHAR> data = pattern(w.start, w.count, 11);
        ASSERT_EQ(write(w.start, data), 0);
        for (ULONG64 s = 0; s < w.count; s++) sectors[w.start + s] = slice(data, s, 1);
    }
    // The flush that asks to join the channel's flush (a plain one only orders).
    bio* barrier = take(BIO_FLUSH, 0, 0);
    InterlockedOr(&barrier->flags, BIO_FLUSH_JOIN);
    ASSERT_EQ(submit_wait(barrier), 0);
    model_->power_cut();
    fail_channel(channel(), 0, CHANNEL_FAIL_WATCHDOG);
    std::vector<on_media> packets = data_packets_after_restart();
    ASSERT_FALSE(HasFailure());
    std::map<ULONG64, std::vector<UCHAR>> found;
    for (const on_media& m : packets) found[m.address] = m.bytes;
    for (const auto& [sector, bytes] : sectors) {
        ASSERT_EQ(found.count(sector), 1u) << "sector " << sector << " was lost";
        EXPECT_EQ(found[sector], bytes) << "sector " << sector;
    }
}
