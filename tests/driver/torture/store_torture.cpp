// Power-cut torture of the data device on the card model. Each epoch takes a fresh small card
// (16 LEBs of 1 MiB) and runs cycles until its log nears full: three writer threads, each on a
// region of its own, write runs of 1 to 64 sectors (overwrites included), trim now and then and
// flush durably; the power goes after N programmed packets (N drawn per cycle), or the cycle ends
// with a clean stop (metadata saved, sometimes cut inside the save); then the card restarts on its
// media, the metadata is loaded or the log rescanned, and every sector the epoch touched is
// checked against what the writers know:
//   - every sector reads zeros or one whole write of its own (never a mix within the sector);
//   - a write acknowledged before a durable flush that completed is there, or a later write of
//     the same sector (trims, not persistent, may bring older data back and are left out).
//
// When the log nears full (there is no groomer), the card's blocks are erased and a fresh log
// starts on them.
//
// Environment: TORTURE_CUTS (stop after this many restarts; default: as many as fit in
// TORTURE_SECONDS, 60, or 20 under the sanitizers), TORTURE_SEED (default: the clock; printed for
// replay). A soak: TORTURE_CUTS=10000 TORTURE_SECONDS=100000.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "driver/block/md_load.h"
#include "driver/log/datalog.h"
#include "driver/pipeline/pipeline.h"
#include "driver/platform/errno_table.h"
#include "tests/driver/block/data_device_fixture.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kDefaultSeconds = 20;
#else
constexpr int kDefaultSeconds = 60;
#endif

int env_int(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != 0 ? std::atoi(text) : fallback;
}

uint64_t base_seed() {
    static const uint64_t seed = [] {
        const char* text = std::getenv("TORTURE_SEED");
        return text != nullptr && *text != 0 ? std::strtoull(text, nullptr, 0)
                                             : (uint64_t)std::chrono::steady_clock::now().time_since_epoch().count();
    }();
    return seed;
}

constexpr ULONG kThreads = 3;
constexpr ULONG64 kRegion = 2048;  // sectors per writer
// Writes wait while fewer erased packets than five reserve units and the groomer's reserve are
// left (about six LEBs here): the writers stop before that, and a cycle that starts near it takes
// a fresh log.
constexpr ULONG kErasedLebsLeft = 8;

// What a writer knows of one sector: its writes in order (seed; 0 a trim) and the index of the
// last write made durable (acknowledged, then a durable flush completed), -1 for none.
struct sector_history {
    std::vector<UCHAR> writes;
    int durable = -1;
};

class StoreTorture : public DataDeviceTest, public ::testing::WithParamInterface<int> {
  protected:
    ULONG rows() const override { return 32; }
    ULONG64 sectors() const override { return kThreads * kRegion; }

    std::map<ULONG64, sector_history> history_;  // written by the writer that owns the sector
    std::mutex history_lock_;
    UCHAR next_seed_ = 1;

    int durable_flush() {
        bio* barrier = nullptr;
        int rc = try_take(BIO_FLUSH, 0, 0, nullptr, nullptr, &barrier);
        if (rc != 0) return rc;
        InterlockedOr(&barrier->flags, BIO_FLUSH_JOIN);
        return submit_wait(barrier);
    }
    int try_write(ULONG64 start, const std::vector<UCHAR>& data) {
        dma_visible dma(data);
        bio* b = nullptr;
        int rc = try_take(BIO_WRITE, start, data.size() / device_->sector_size, (void*)data.data(), nullptr, &b);
        return rc != 0 ? rc : submit_wait(b);
    }
    int try_discard(ULONG64 start, ULONG64 count) {
        bio* b = nullptr;
        int rc = try_take(BIO_DISCARD, start, count, nullptr, nullptr, &b);
        return rc != 0 ? rc : submit_wait(b);
    }

    // One writer's run until the power goes (or `stop`): its ops on its own region.
    void writer(ULONG index, uint64_t seed, std::atomic<bool>* stop) {
        std::mt19937_64 rng(seed);
        const ULONG64 base = index * kRegion;
        std::vector<std::pair<ULONG64, int>> acknowledged;  // (sector, write index) not yet durable
        // With no groomer, a write that finds no room would wait for ever: the writers stop while
        // a few erased LEBs are left, and the next cycle starts a fresh log.
        while (!*stop && model_->powered() && erased_lebs() > kErasedLebsLeft) {
            ULONG op = rng() % 16;
            if (op < 12) {
                ULONG64 count = 1 + rng() % 64;
                ULONG64 start = base + rng() % (kRegion - count);
                UCHAR s;
                std::vector<int> at(count);
                {
                    std::lock_guard<std::mutex> guard(history_lock_);
                    s = next_seed_;
                    next_seed_ = (UCHAR)(next_seed_ == 255 ? 1 : next_seed_ + 1);
                    for (ULONG64 i = 0; i < count; i++) {
                        auto& h = history_[start + i];
                        at[i] = (int)h.writes.size();
                        h.writes.push_back(s);
                    }
                }
                if (try_write(start, pattern(start, count, s)) != 0) return;
                for (ULONG64 i = 0; i < count; i++) acknowledged.push_back({start + i, at[i]});
            } else if (op < 13) {
                ULONG64 count = 1 + rng() % 32;
                ULONG64 start = base + rng() % (kRegion - count);
                {
                    std::lock_guard<std::mutex> guard(history_lock_);
                    for (ULONG64 i = 0; i < count; i++) history_[start + i].writes.push_back(0);
                }
                if (try_discard(start, count) != 0) return;
            } else {
                if (durable_flush() != 0) return;
                std::lock_guard<std::mutex> guard(history_lock_);
                for (auto [sector, at] : acknowledged) {
                    auto& h = history_[sector];
                    if (at > h.durable) h.durable = at;
                }
                acknowledged.clear();
            }
        }
    }

    // Every sector touched: whole, and at least as new as its last durable write.
    void check_all() {
        const ULONG size = device_->sector_size;
        std::vector<UCHAR> zeros(size, 0);
        std::vector<UCHAR> chunk;
        ULONG64 chunk_start = ~0ull;
        const ULONG64 chunk_sectors = 32;
        for (auto& [sector, h] : history_) {
            if (chunk_start == ~0ull || sector >= chunk_start + chunk_sectors) {
                chunk_start = sector;
                ULONG64 count = std::min<ULONG64>(chunk_sectors, sectors() - sector);
                ASSERT_EQ(read(chunk_start, count, &chunk), 0) << "sectors from " << chunk_start;
            }
            std::vector<UCHAR> out(chunk.begin() + (sector - chunk_start) * size,
                                   chunk.begin() + (sector - chunk_start + 1) * size);
            int seed = -1;
            if (out == zeros) {
                seed = 0;
            } else {
                for (int s = 1; s < 256; s++) {
                    if (out == pattern(sector, 1, (UCHAR)s)) {
                        seed = s;
                        break;
                    }
                }
                ASSERT_GT(seed, 0) << "sector " << sector << " reads no whole write of its own (torn)";
            }
            if (h.durable < 0) continue;
            bool trimmed_after = false;
            for (size_t i = (size_t)h.durable; i < h.writes.size(); i++) trimmed_after |= h.writes[i] == 0;
            if (trimmed_after) continue;
            bool allowed = false;
            for (size_t i = (size_t)h.durable; i < h.writes.size() && !allowed; i++) allowed = h.writes[i] == seed;
            ASSERT_TRUE(allowed) << "sector " << sector << " lost its durable write (seed "
                                 << (int)h.writes[(size_t)h.durable] << ", reads " << seed << "; load: rescanned "
                                 << (int)load_.rescanned << ", append LEB " << log_.append_leb << ")";
        }
        // What is on the media now is the new base: later cycles check against it.
        for (auto& [sector, h] : history_) {
            (void)sector;
            h.durable = -1;
        }
    }

    // A fresh log on the same card: every block erased, the LEB records and the history cleared.
    void reformat() {
        stop_device();
        stop_store();
        for (USHORT eb = 0; eb < lebs_.size(); eb++) {
            ASSERT_EQ(request_erase_sync(channel(), eb, nullptr, 0), 0) << "EB " << eb;
        }
        for (auto& l : lebs_) {
            l = leb_record{};
            kpav_state_init(&l.func, PAV_LEB_FUNC_ERASED);
            l.next = l.previous = PAV_NO_LEB;
        }
        history_.clear();
        start_store();
        ASSERT_FALSE(HasFatalFailure());
        open_point();
        ASSERT_FALSE(HasFatalFailure());
        start_device(false);
    }

    // Read while the writers run: each LEB's state as the driver's own unlocked readers take it.
    ULONG erased_lebs() {
        ULONG n = 0;
        for (auto& l : lebs_) n += kpav_state_not_in(&l.func, 1, PAV_LEB_FUNC_ERASED) == 0 ? 1 : 0;
        return n;
    }
};

TEST_P(StoreTorture, EveryCutKeepsEveryDurableWrite) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const uint64_t seed = base_seed() + (uint64_t)GetParam() * 0x9E3779B97F4A7C15ull;
    std::printf("torture epoch %d: TORTURE_SEED=%llu\n", GetParam(), (unsigned long long)base_seed());
    std::mt19937_64 rng(seed);
    rmap_limit_mib_ = (rng() & 1) != 0 ? 3100 : 0;
    rsort_limit_mib_ = (rng() & 1) != 0 ? 64 : 0;
    ULONG cuts = 0, clean = 0, save_cuts = 0, rescans = 0, loads = 0;
    const auto began = std::chrono::steady_clock::now();
    ULONG64 durable_checked = 0;
    const int target = env_int("TORTURE_CUTS", 1 << 30);
    const bool save_cuts_on = env_int("TORTURE_SAVE_CUTS", 0) != 0;
    const double budget = env_int("TORTURE_SECONDS", kDefaultSeconds);
    ULONG formats = 0;
    for (int cycle = 0; cycle < target; cycle++) {
        if (std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count() > budget) break;
        if (erased_lebs() <= kErasedLebsLeft + 1) {
            reformat();
            ASSERT_FALSE(HasFatalFailure());
            formats++;
        }
        // 0: clean stop, 1: cut inside the save (only with TORTURE_SAVE_CUTS=1: such a cut can
        // still lose data, see the README), else a cut in the I/O.
        ULONG kind = rng() % 8;
        if (kind == 1 && !save_cuts_on) kind = 0;
        const ULONG after = 1 + (ULONG)(rng() % 600);
        if (kind >= 2) model_->inject("power_cut", ("after_packets=" + std::to_string(after)).c_str());
        std::atomic<bool> stop{false};
        std::vector<std::thread> writers;
        for (ULONG t = 0; t < kThreads; t++) writers.emplace_back([this, t, &stop, s = rng()] { writer(t, s, &stop); });
        if (kind >= 2) {
            for (int i = 0; i < 20000 && model_->powered(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 200));
        }
        stop = true;
        if (kind >= 2 && model_->powered()) model_->inject("power_cut", "now");
        if (kind >= 2) fail_channel(channel(), 0, CHANNEL_FAIL_WATCHDOG);
        for (auto& w : writers) w.join();
        if (kind == 0) {
            ASSERT_EQ(durable_flush(), 0);
            ASSERT_EQ(save_metadata(), 0);
            clean++;
        } else if (kind == 1) {
            ASSERT_EQ(durable_flush(), 0);
            // Everything written so far is durable.
            for (auto& [sector, h] : history_) {
                (void)sector;
                if (!h.writes.empty() && h.writes.back() != 0) h.durable = (int)h.writes.size() - 1;
            }
            model_->inject("power_cut", ("after_packets=" + std::to_string(1 + after % 40)).c_str());
            std::atomic<bool> done{false};
            std::thread saver([&] {
                save_metadata();
                done = true;
            });
            for (int i = 0; i < 20000 && !done && model_->powered(); i++) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            if (model_->powered()) model_->inject("power_cut", "now");
            fail_channel(channel(), 0, CHANNEL_FAIL_WATCHDOG);
            saver.join();
            save_cuts++;
        } else {
            cuts++;
        }
        if (std::getenv("TORTURE_TRACE")) std::printf("cycle %d kind %u after %u\n", cycle, kind, after);
        restart_device();
        ASSERT_FALSE(HasFatalFailure()) << "the device did not attach again (seed " << base_seed() << ")";
        model_->clear_all();
        if (load_.rescanned != 0) {
            rescans++;
        } else {
            loads++;
        }
        for (auto& [sector, h] : history_) durable_checked += h.durable >= 0 ? 1 : 0;
        check_all();
        ASSERT_FALSE(HasFatalFailure()) << "replay with TORTURE_SEED=" << base_seed();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("torture epoch %d: %u cuts in I/O, %u cuts in a save, %u clean stops; %u rescans, %u clean loads; "
                "%llu durable sector writes checked, %u fresh logs; %.1f s; TORTURE_SEED=%llu\n",
                GetParam(), cuts, save_cuts, clean, rescans, loads, (unsigned long long)durable_checked, formats,
                seconds, (unsigned long long)base_seed());
}

INSTANTIATE_TEST_SUITE_P(Epochs, StoreTorture, ::testing::Range(0, 1));

}  // namespace
