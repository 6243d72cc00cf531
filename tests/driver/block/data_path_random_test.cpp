// The data path against a model of sector contents: several processors issue writes (alone or
// chained with discards), reads, discards and flushes, many in flight at once, over a small data
// device on the card model, with the card holding back some of its completion words (so requests
// complete out of order) and, in one run, pool allocations failing at random. Every sector a read
// returns must hold a value the sector could have had while the read was in flight: the value of
// a request that had completed and was not yet overwritten by one begun after it completed, or
// that of a request still in flight (old or new, never a mix inside a sector nor anything else).
// At the end every sector is read back and checked the same way, so each acknowledged write is
// found wherever no later request replaced it, and the fixture checks that no pool is left.
//
// The seed and the request count (per processor) are printed; DATA_PATH_SEED and DATA_PATH_OPS
// replay the same requests and faults (the interleaving of the processors is the machine's):
//   DATA_PATH_SEED=<seed> DATA_PATH_OPS=<n> block_tests --gtest_filter='DataPathRandom*'
// A long run (DATA_PATH_OPS=40000) goes through most of the log's blocks; the processors stop
// issuing once the log's erased space nears the reserve that writes wait for.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "driver/platform/params.h"
#include "sim/kernel/control.h"
#include "tests/driver/block/data_device_fixture.h"
#include "tests/support/env.h"

namespace {

using steady = std::chrono::steady_clock;

constexpr uint64_t kNever = ~0ull;
constexpr uint64_t kGarbage = ~0ull;  // a sector that is neither zeros nor any write's data

// ---- Sector contents: a write names itself and the sector in every sector it writes

uint64_t mix(uint64_t x) {
    x ^= x >> 31;
    x *= 0x7FB5D329728EA185ull;
    x ^= x >> 27;
    x *= 0x81DADEF4BC2DD44Dull;
    return x ^ (x >> 33);
}

// What write `id` puts in sector `lba`: the id, the sector, then words derived from both.
void fill_sector(UCHAR* out, ULONG size, uint64_t id, uint64_t lba) {
    uint64_t word = mix(id * 0x9E3779B97F4A7C15ull ^ lba);
    std::memcpy(out, &id, 8);
    std::memcpy(out + 8, &lba, 8);
    for (ULONG at = 16; at < size; at += 8) {
        word = word * 6364136223846793005ull + 1442695040888963407ull;
        std::memcpy(out + at, &word, 8);
    }
}

// The write whose data sector `lba` holds, 0 for zeros, kGarbage for anything else.
// Set while a processor takes and submits its bios: the allocations made then are the ones
// the faults may hit. (A failed allocation in a completion's forward-map update is an internal
// error that stops the device by design; it is not what this test is about.)
thread_local bool submitting = false;
// Allocations made while submitting, and how many of them were made to fail.
std::atomic<uint64_t> submitting_allocations{0}, injected_failures{0};

uint64_t decode_sector(const UCHAR* in, ULONG size, uint64_t lba) {
    if (in[0] == 0 && std::memcmp(in, in + 1, size - 1) == 0) {
        return 0;
    }
    uint64_t id = 0;
    std::memcpy(&id, in, 8);
    std::vector<UCHAR> expected(size);
    fill_sector(expected.data(), size, id, lba);
    return std::memcmp(in, expected.data(), size) == 0 ? id : kGarbage;
}

// ---- The model

// Per sector, every request that touched it: the value it leaves (a write's id, 0 for a
// discard), when it was submitted and when it completed (kNever while in flight, and for ever
// when it failed: a failed request may have reached some sectors). Times are the model's own
// clock, read before a submission and in a completion's callback, so a request's interval holds
// the moment it took effect.
class sector_model {
  public:
    explicit sector_model(ULONG64 sectors) : history_(sectors) {
        for (auto& h : history_) h.push_back({0, 0, 0, 0});  // never written: zeros from the start
    }

    uint64_t now() {
        std::lock_guard<std::mutex> g(mutex_);
        return ++clock_;
    }
    void begin(uint64_t op, uint64_t value, ULONG64 start, ULONG64 count, uint64_t at) {
        std::lock_guard<std::mutex> g(mutex_);
        for (ULONG64 s = start; s < start + count; s++) history_[s].push_back({op, value, at, kNever});
    }
    void end(uint64_t op, ULONG64 start, ULONG64 count, uint64_t at) {
        std::lock_guard<std::mutex> g(mutex_);
        for (ULONG64 s = start; s < start + count; s++) {
            for (auto it = history_[s].rbegin(); it != history_[s].rend(); ++it) {
                if (it->op == op) {
                    it->completed = at;
                    break;
                }
            }
        }
    }

    // Checks what a read in flight from `began` to `ended` found from sector `start` on: empty,
    // or the sectors it should not have found, with what each could have held.
    std::string check(ULONG64 start, const std::vector<uint64_t>& found, uint64_t began, uint64_t ended) {
        std::lock_guard<std::mutex> g(mutex_);
        std::string faults;
        int listed = 0;
        for (size_t i = 0; i < found.size(); i++) {
            const std::vector<event>& h = history_[start + i];
            // The latest submission of a request that completed before the read began: a value
            // whose request completed before that submission was overwritten for good.
            uint64_t overwritten_before = 0;
            for (const event& e : h) {
                if (e.completed < began) overwritten_before = std::max(overwritten_before, e.submitted);
            }
            bool allowed = false;
            std::string could;
            for (const event& e : h) {
                if (e.submitted < ended && !(e.completed < overwritten_before)) {
                    allowed = allowed || e.value == found[i];
                    could += " " + std::to_string(e.value);
                }
            }
            if (!allowed && listed++ < 8) {
                faults += "sector " + std::to_string(start + i) + " holds " +
                          (found[i] == kGarbage ? std::string("garbage") : std::to_string(found[i])) +
                          ", could hold" + could + "\n";
            }
        }
        return faults;
    }

  private:
    struct event {
        uint64_t op, value, submitted, completed;
    };
    std::mutex mutex_;
    uint64_t clock_ = 0;
    std::vector<std::vector<event>> history_;
};

// ---- A run

struct run_config {
    ULONG processors = 4;
    ULONG depth = 4;          // requests in flight per processor
    uint64_t ops = 150;       // requests per processor
    ULONG largest = 512;      // sectors of the largest write or read
    bool allocation_faults = false;
    bool reduced_writes = false;  // the device in reduced write mode
};

class DataPathRandom : public DataDeviceTest {
  protected:
    ULONG64 sectors() const override { return 4096; }
    // The bio pool starts small and grows while the processors take bios (the growth is where
    // allocations can fail).
    void SetUp() override {
        saved_min_bios_ = pav_min_num_bios;
        pav_min_num_bios = 4;
        DataDeviceTest::SetUp();
    }
    void TearDown() override {
        DataDeviceTest::TearDown();
        pav_min_num_bios = saved_min_bios_;
    }

    struct worker;
    // One bio of a request: its command, range, the write's id, its buffer.
    struct piece {
        ULONG command;
        ULONG64 start, count;
        uint64_t op;
        std::vector<UCHAR> data;
        std::unique_ptr<dma_visible> dma;
    };
    // A chain submitted at once (one bio, or writes and discards together).
    struct request {
        DataPathRandom* test;
        worker* owner;
        std::vector<piece> pieces;
        LONG flags = 0;
        uint64_t submitted = 0;
        std::atomic<bool> ended{false};
    };
    struct worker {
        ULONG index;
        std::mt19937_64 rng;
        std::mutex mutex;
        std::condition_variable changed;
        ULONG in_flight = 0;
        std::vector<std::unique_ptr<request>> done;  // ended, to be freed on the worker's thread
    };

    // Counts of what happened, for the printed line.
    struct tally {
        std::atomic<uint64_t> reads{0}, writes{0}, discards{0}, flushes{0}, chains{0};
        std::atomic<uint64_t> failed{0}, retried{0}, refused{0};
    };

    uint64_t pick(std::mt19937_64& rng, uint64_t low, uint64_t high) {
        return std::uniform_int_distribution<uint64_t>(low, high)(rng);
    }

    // A range for a request: mostly short, now and then as long as the largest.
    std::pair<ULONG64, ULONG64> range(std::mt19937_64& rng) {
        ULONG64 count = pick(rng, 0, 3) != 0 ? pick(rng, 1, 24) : pick(rng, 1, config_.largest);
        ULONG64 start = pick(rng, 0, sectors() - 1);
        // Often on a 4 KiB boundary, as most hosts write.
        if (pick(rng, 0, 1) == 0) start &= ~7ull;
        return {start, std::min<ULONG64>(count, sectors() - start)};
    }

    piece make_piece(ULONG command, ULONG64 start, ULONG64 count) {
        piece p{command, start, count, next_op_.fetch_add(1), {}, nullptr};
        const ULONG size = device_->sector_size;
        if (command == BIO_WRITE) {
            p.data.resize(count * size);
            for (ULONG64 s = 0; s < count; s++) fill_sector(&p.data[s * size], size, p.op, start + s);
        } else if (command == BIO_READ) {
            p.data.assign(count * size, 0xEE);
        }
        if (!p.data.empty()) p.dma = std::make_unique<dma_visible>(p.data);
        return p;
    }

    std::unique_ptr<request> make_request(worker& w) {
        auto r = std::make_unique<request>();
        r->test = this;
        r->owner = &w;
        uint64_t kind = pick(w.rng, 0, 99);
        if (kind < 40) {
            auto [start, count] = range(w.rng);
            r->pieces.push_back(make_piece(BIO_WRITE, start, count));
        } else if (kind < 75) {
            auto [start, count] = range(w.rng);
            r->pieces.push_back(make_piece(BIO_READ, start, count));
        } else if (kind < 85) {
            auto [start, count] = range(w.rng);
            r->pieces.push_back(make_piece(BIO_DISCARD, start, count));
        } else if (kind < 95) {
            // Writes and discards in one chain, their ranges may overlap.
            uint64_t n = pick(w.rng, 2, 4);
            for (uint64_t i = 0; i < n; i++) {
                auto [start, count] = range(w.rng);
                r->pieces.push_back(make_piece(pick(w.rng, 0, 2) != 0 ? BIO_WRITE : BIO_DISCARD, start, count));
            }
        } else {
            r->pieces.push_back(make_piece(BIO_FLUSH, 0, 0));
        }
        if (pick(w.rng, 0, 3) == 0) r->flags |= BIO_NO_WAIT;
        return r;
    }

    // The chain of bios for `r`: 0, or -12 when the pool or the card had none to give.
    int build(request& r, bio** out) {
        bio* first = nullptr;
        for (piece& p : r.pieces) {
            bio* b = nullptr;
            int rc = try_take(p.command, p.start, p.count, p.data.empty() ? nullptr : p.data.data(), first, &b);
            if (rc != 0) {
                if (first != nullptr) bio_free_chain(first);
                return rc;
            }
            if (first == nullptr) first = b;
        }
        if (first == nullptr) return -22;  // a request of no pieces
        InterlockedOr(&first->flags, r.flags);
        first->callback = ended;
        first->callback_context = &r;
        *out = first;
        return 0;
    }

    static void ended(bio* first, ULONG64, int status) {
        auto* r = (request*)first->callback_context;
        r->test->complete(*r, status);
    }

    // A request's completion: the model learns it; a read's sectors are checked.
    void complete(request& r, int status) {
        uint64_t at = expected_->now();
        bool allowed = status == 0 || (config_.allocation_faults && (status == -12 || status == -5));
        if (!allowed) {
            std::lock_guard<std::mutex> g(faults_mutex_);
            faults_ += "a " + std::to_string(r.pieces[0].command) + " of " + std::to_string(r.pieces[0].count) +
                       " sectors at " + std::to_string(r.pieces[0].start) + " ended with " + std::to_string(status) +
                       "\n";
        }
        if (status != 0) counts_.failed++;
        for (piece& p : r.pieces) {
            if (p.command == BIO_READ) {
                if (status == 0) check_read(p, r.submitted, at);
            } else if (p.command != BIO_FLUSH && status == 0) {
                // A failed write or discard stays in flight for the model: any of its sectors
                // may or may not have changed.
                expected_->end(p.op, p.start, p.count, at);
            }
        }
        worker& w = *r.owner;
        std::lock_guard<std::mutex> g(w.mutex);
        r.ended.store(true);
        w.in_flight--;
        w.changed.notify_all();
    }

    void check_read(const piece& p, uint64_t began, uint64_t ended) {
        const ULONG size = device_->sector_size;
        std::vector<uint64_t> found(p.count);
        for (ULONG64 s = 0; s < p.count; s++) found[s] = decode_sector(&p.data[s * size], size, p.start + s);
        std::string wrong = expected_->check(p.start, found, began, ended);
        if (!wrong.empty()) {
            std::lock_guard<std::mutex> g(faults_mutex_);
            faults_ += "a read of " + std::to_string(p.count) + " sectors at " + std::to_string(p.start) + ":\n" +
                       wrong;
        }
    }

    // Submits `r` until it is taken (a retry status means it was not completed: again). False
    // when it could not be built (no bio or request) or the retries did not end.
    bool submit(worker& w, std::unique_ptr<request>& r) {
        bio* first = nullptr;
        submitting = true;
        int rc = build(*r, &first);
        submitting = false;
        if (rc != 0) {
            EXPECT_TRUE(config_.allocation_faults) << "no bio for a request: " << rc;
            counts_.refused++;
            return false;
        }
        r->submitted = expected_->now();
        for (piece& p : r->pieces) {
            if (p.command == BIO_WRITE || p.command == BIO_DISCARD) {
                expected_->begin(p.op, p.command == BIO_WRITE ? p.op : 0, p.start, p.count, r->submitted);
            }
        }
        {
            std::lock_guard<std::mutex> g(w.mutex);
            w.in_flight++;
        }
        request* raw = r.release();
        auto deadline = steady::now() + std::chrono::seconds(10);
        for (;;) {
            submitting = true;
            rc = bdev_submit_bio(first);
            submitting = false;
            if (rc != -28 && rc != -16) break;
            counts_.retried++;
            if (steady::now() > deadline) {
                ADD_FAILURE() << "a request was refused for a retry for 10 s";
                bio_free_chain(first);
                std::lock_guard<std::mutex> g(w.mutex);
                w.in_flight--;
                delete raw;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        // Any other result: the chain was ended, or will be.
        if (rc != 0) {
            EXPECT_TRUE(raw->ended.load()) << "submit returned " << rc << " without ending the chain";
        }
        std::lock_guard<std::mutex> g(w.mutex);
        w.done.emplace_back(raw);  // freed once it has ended
        return true;
    }

    // Waits until at most `most` requests of `w` are in flight; frees the ended ones.
    bool drain(worker& w, ULONG most) {
        std::unique_lock<std::mutex> g(w.mutex);
        bool ok = w.changed.wait_for(g, std::chrono::seconds(10), [&] { return w.in_flight <= most; });
        std::erase_if(w.done, [](const std::unique_ptr<request>& r) { return r->ended.load(); });
        return ok;
    }

    void tally_request(const request& r) {
        ULONG command = r.pieces[0].command;
        std::atomic<uint64_t>& n = r.pieces.size() > 1    ? counts_.chains
                                   : command == BIO_READ  ? counts_.reads
                                   : command == BIO_FLUSH ? counts_.flushes
                                   : command == BIO_WRITE ? counts_.writes
                                                          : counts_.discards;
        n++;
    }

    // Whether the log's erased space nears the reserve that writes wait for: with nothing here
    // to reclaim space (a long run, DATA_PATH_OPS), writers would wait for it for ever.
    bool log_nearly_full() {
        return datalog_erased_space_now(&log_) < 7 * data_.reserve_unit + data_.groomer_reserve;
    }

    void work(worker& w) {
        sim::kernel::set_current_processor(w.index);
        for (uint64_t i = 0; i < config_.ops && !stop_.load(); i++) {
            if (!drain(w, config_.depth - 1)) {
                ADD_FAILURE() << "processor " << w.index << ": no request ended for 10 s";
                stop_.store(true);
                break;
            }
            auto r = make_request(w);
            tally_request(*r);
            submit(w, r);
            if (steady::now() > give_up_) stop_.store(true);  // a slow machine: check what was done
            if (log_nearly_full()) stop_.store(true);         // nothing reclaims space here
        }
        if (!drain(w, 0)) ADD_FAILURE() << "processor " << w.index << ": requests still in flight after 10 s";
    }

    // Now and then, holds back the card's next read or flush completion word for a few
    // milliseconds, so that the requests behind it complete first.
    void reorder(uint64_t seed) {
        std::mt19937_64 rng(seed);
        while (!stop_.load() && !finished_.load()) {
            const char* kind = pick(rng, 0, 1) == 0 ? "kind=dma" : "kind=flush";
            model_->inject("delay_report", std::string(kind) + " ms=" + std::to_string(pick(rng, 1, 4)));
            std::this_thread::sleep_for(std::chrono::microseconds(pick(rng, 500, 3000)));
        }
        model_->clear("delay_report");
    }

    // Reads the whole device back and checks it against the model.
    void read_back() {
        const ULONG64 chunk = 256;
        for (ULONG64 start = 0; start < sectors(); start += chunk) {
            piece p = make_piece(BIO_READ, start, chunk);
            uint64_t began = expected_->now();
            bio* b = take(BIO_READ, start, chunk, p.data.data());
            ASSERT_NE(b, nullptr);
            ASSERT_EQ(submit_wait(b), 0) << "reading back sectors from " << start;
            check_read(p, began, expected_->now());
        }
    }

    void run(const run_config& config) {
        config_ = config;
        uint64_t seed = env_number("DATA_PATH_SEED", std::random_device{}());
        config_.ops = env_number("DATA_PATH_OPS", config_.ops);
        std::printf("replay: DATA_PATH_SEED=%llu DATA_PATH_OPS=%llu\n", (unsigned long long)seed,
                    (unsigned long long)config_.ops);
        RecordProperty("seed", std::to_string(seed));
        SCOPED_TRACE("replay: DATA_PATH_SEED=" + std::to_string(seed) + " DATA_PATH_OPS=" + std::to_string(config_.ops));
        expected_ = std::make_unique<sector_model>(sectors());
        if (config_.reduced_writes) data_.write_mode = BDEV_WRITE_REDUCED;
        if (config_.allocation_faults) {
            // The first pool allocation made while taking or submitting bios fails, then about
            // one in 8, which ones decided by the seed.
            submitting_allocations.store(0);
            injected_failures.store(0);
            sim::kernel::fail_when(sim::kernel::fault_site::pool, [seed](uint64_t) {
                if (!submitting) return false;
                uint64_t n = submitting_allocations.fetch_add(1);
                bool fail = n == 0 || mix(seed ^ n * 0x2545F4914F6CDD1Dull) % 8 == 0;
                if (fail) injected_failures.fetch_add(1);
                return fail;
            });
        }
        give_up_ = steady::now() + std::chrono::seconds(15);
        std::vector<std::unique_ptr<worker>> workers;
        for (ULONG i = 0; i < config_.processors; i++) {
            auto w = std::make_unique<worker>();
            w->index = i;
            w->rng.seed(seed * 1000003 + i);
            workers.push_back(std::move(w));
        }
        {
            bounded_thread chaos("reorder", [&] { reorder(seed + 77); });
            std::vector<std::unique_ptr<bounded_thread>> threads;
            for (auto& w : workers) {
                threads.push_back(std::make_unique<bounded_thread>("processor", [&, w = w.get()] { work(*w); }));
            }
            for (auto& t : threads) {
                // The processors give up issuing after a while; their last requests then end.
                if (!t->finished_within(60000)) {
                    ADD_FAILURE() << "a processor's requests did not end";
                    stop_.store(true);
                }
            }
            finished_.store(true);
        }
        sim::kernel::clear_faults();
        data_.write_mode = BDEV_WRITE_NORMAL;
        std::printf("%llu reads, %llu writes, %llu discards, %llu chains, %llu flushes; %llu failed, %llu retried, "
                    "%llu not built\n",
                    (unsigned long long)counts_.reads, (unsigned long long)counts_.writes,
                    (unsigned long long)counts_.discards, (unsigned long long)counts_.chains,
                    (unsigned long long)counts_.flushes, (unsigned long long)counts_.failed,
                    (unsigned long long)counts_.retried, (unsigned long long)counts_.refused);
        EXPECT_EQ(faults_, "");
        // Every request ended, retried ones included: nothing is counted in flight.
        EXPECT_EQ(device_->reads_in_flight, 0u);
        EXPECT_EQ(device_->writes_in_flight, 0u);
        EXPECT_EQ(device_->write_sectors_in_flight, 0u);
        EXPECT_EQ(device_->discards_in_flight, 0u);
        read_back();
        EXPECT_EQ(faults_, "");
        if (config_.allocation_faults) {
            std::printf("%llu of %llu allocations made while submitting failed\n",
                        (unsigned long long)injected_failures.load(), (unsigned long long)submitting_allocations.load());
            EXPECT_GT(injected_failures.load(), 0u) << "no allocation failed: the fault paths went untested";
        }
    }

    LONG saved_min_bios_ = 0;
    run_config config_;
    std::unique_ptr<sector_model> expected_;
    std::atomic<uint64_t> next_op_{1};
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    steady::time_point give_up_;
    tally counts_;
    std::mutex faults_mutex_;
    std::string faults_;
};

TEST_F(DataPathRandom, EverySectorIsOldOrNew) {
    run({});
}

TEST_F(DataPathRandom, EverySectorIsOldOrNewWhileAllocationsFail) {
    run_config c;
    c.allocation_faults = true;
    run(c);
}

TEST_F(DataPathRandom, EverySectorIsOldOrNewInReducedWriteMode) {
    run_config c;
    c.reduced_writes = true;
    run(c);
}

}  // namespace
