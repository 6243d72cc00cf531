// The forward map against its reference table: long runs of random maps, overwrites, removals
// (plain and by log position) and walks over the sector range and the reserved range, with runs
// of 1 to 64 keys (removals of more), biased toward shard edges. After every update the map's
// result, its net change and the runs it displaced must be exactly the table's; the updated
// stretch is walked and compared; every few thousand steps the whole map is walked and its trees
// checked. Now and then the map is compacted, saved and loaded back as after a clean stop, and
// built anew from its own runs with the bulk builder.
//
// Replay a failure with the seed and step count it prints (the run's whole count: where the
// dense fill comes depends on it):
//   LRB_SEED=<seed> LRB_STEPS=<steps> block_tests --gtest_filter=<test>
// LRB_SOAK=<n> runs n seeds of ten times the steps (a soak; not part of the default run).
#include <atomic>
#include <functional>
#include <memory>
#include <random>
#include <thread>

#include "driver/fmap/lrbtree.h"
#include "driver/fmap/lrbtree_bulk.h"
#include "driver/platform/errno_table.h"
#include "sim/kernel/control.h"
#include "tests/driver/fmap/lrbtree_check.h"
#include "tests/driver/fmap/lrbtree_model.h"
#include "tests/driver/log/log_fixture.h"
#include "tests/support/env.h"

namespace {

constexpr ULONG eb_count = 200;
constexpr ULONG packets_per_leb = 1000;

// LEBs of different sizes, so that runs cross LEB ends at different offsets.
ULONG leb_capacity(ULONG leb) {
    return packets_per_leb - (leb % 5) * 37;
}

constexpr uint64_t window = 1ull << 15;
constexpr uint64_t dense_window = 1ull << 18;

// The key space a run works in: the map's sector space and the windows of keys it uses.
struct key_space {
    uint64_t sector_space;
    uint64_t sector_span;
    uint64_t reserved_span;
    std::vector<std::pair<uint64_t, uint64_t>> windows;  // the first one is used most
};

// Four shards of 2^17 keys (the last one partial) with 24-bit keys; in the reserved range its
// start (a dense stretch), its first shard edge and its end.
key_space narrow_keys() {
    uint64_t s = 3 * (1ull << 17) + 12345;
    return {s, 1ull << 17, 1ull << 24,
            {{0, s},
             {LRB_RESERVED_BASE, dense_window},
             {LRB_RESERVED_BASE + (1ull << 24) - window, 2 * window},
             {LRB_KEY_END - window, window}}};
}

// A sector space above 2^40: shards of 2^32 keys stored as 32-bit keys in 9-byte entries.
key_space wide_keys() {
    uint64_t s = (1ull << 40) + (1ull << 33) + 777;
    return {s, 1ull << 32, 1ull << 32,
            {{(1ull << 32) - window, 2 * window},
             {0, window},
             {s - window, window},
             {LRB_RESERVED_BASE, dense_window},
             {LRB_KEY_END - window, window}}};
}

struct op_stats {
    uint64_t maps = 0, unmaps = 0, conditional = 0, walks = 0, failed_allocations = 0;
    uint64_t rewrites = 0, stopped_walks = 0, failed_invalidations = 0, refused = 0;
    uint64_t restarts = 0, compactions = 0, rebuilds = 0;
};

// A walk whose data callback gives some entries new addresses and asks for them to be written
// back. `choose` picks the new address of an entry of `length` keys, or 0 to leave it.
struct rewrite_walk {
    const lrbtree* map;
    std::function<uint64_t(uint64_t length)> choose;
    std::vector<std::pair<uint64_t, uint64_t>> moved;  // first key of the run, new address
    uint64_t asked = 0;                                  // results of 1 given
    bool wrong_irql = false;
};

int rewrite_entries(lrbtree_range* range, void* context, ULONG64, lrbtree_leaf_rec* entry) {
    auto* w = (rewrite_walk*)context;
    if (KeGetCurrentIrql() != DISPATCH_LEVEL) w->wrong_irql = true;
    // A coalesced run comes without an entry: there is nothing to give a new address to, but the
    // callback may still ask.
    uint64_t gpkt = w->choose(entry != nullptr ? entry->length : 1);
    if (gpkt == 0) {
        return 0;
    }
    w->asked++;
    if (entry != nullptr) {
        w->moved.push_back({lrb_shard_base_of(w->map, range->start) + entry->key, gpkt});
        entry->gpkt = gpkt;
    }
    return 1;
}

int skip_gaps(lrbtree_range*, void*) {
    return 0;
}

// Every callback of a walk as it came (gaps not joined), with the call numbered `stop_at`
// (from 1) answered with `result`.
struct call_log {
    std::vector<walk_report> calls;
    uint64_t stop_at = 0;
    int result = 0;
    bool stop_on_data = true;
    int answer(bool data) {
        return calls.size() == stop_at && data == stop_on_data ? result : 0;
    }
};

int log_data(lrbtree_range* range, void* context, ULONG64 gpkt, lrbtree_leaf_rec* entry) {
    auto* log = (call_log*)context;
    log->calls.push_back({true, range->start, range->length, gpkt, entry != nullptr, entry != nullptr ? *entry : lrbtree_leaf_rec{}});
    return log->answer(true);
}

int log_empty(lrbtree_range* range, void* context) {
    auto* log = (call_log*)context;
    log->calls.push_back({false, range->start, range->length, 0, false, {}});
    return log->answer(false);
}

class fmap_run {
  public:
    fmap_run(uint64_t seed, bool inject_faults, const key_space& keys)
        : seed_(seed),
          faults_(inject_faults),
          keys_(keys),
          log_(eb_count, packets_per_leb),
          rng_(seed),
          model_(geometry(keys), keys.windows) {
        log_.set_capacities(leb_capacity);
        EXPECT_EQ(lrbtree_create(&map_, &log_.log, keys_.sector_space, keys_.sector_space), 0);
        EXPECT_EQ(lrbtree_reset(map_), 0);
        lrbtree_set_invalidate(map_, lrb_record_invalidation, &invalidations_);
        for (auto& [base, length] : keys_.windows) {
            for (uint64_t edge : edges_of(base, length)) {
                edges_.push_back(edge);
            }
        }
    }
    ~fmap_run() { lrbtree_destroy(&map_); }

    // Runs `steps` random steps; false (with the failure reported) at the first disagreement.
    bool run(uint64_t steps) {
        steps_ = steps;
        for (step_ = 0; step_ < steps; step_++) {
            if (step_ == steps / 3) {
                // A dense stretch of one-key runs: a shard grows a second index level and splits
                // and merges nodes under different parents.
                if (!fill_dense(LRB_RESERVED_BASE, dense_window)) return false;
            }
            if (!random_step()) return false;
            if ((step_ + 1) % 4096 == 0 && !full_check()) return false;
            if ((step_ + 1) % 70000 == 0 && !compact()) return false;
            if ((step_ + 1) % 50000 == 0 && !restart()) return false;
            if ((step_ + 1) % 90000 == 0 && !rebuild()) return false;
        }
        return full_check() && compact() && restart() && rebuild();
    }

    const op_stats& stats() const { return stats_; }
    int depth() const { return max_depth_; }

  private:
    static lrb_model_geometry geometry(const key_space& keys) {
        lrb_model_geometry g;
        g.sector_space = keys.sector_space;
        g.sector_span = keys.sector_span;
        g.reserved_span = keys.reserved_span;
        g.leb_span = packets_per_leb + 1;
        for (ULONG i = 0; i < eb_count; i++) {
            g.sequence.push_back(64ull * (i + 1));
            g.capacity.push_back(leb_capacity(i));
            g.next.push_back(i + 1 < eb_count ? (uint16_t)(i + 1) : 65535);
        }
        return g;
    }

    std::vector<uint64_t> edges_of(uint64_t base, uint64_t length) const {
        std::vector<uint64_t> edges = {base, base + length};
        uint64_t span = base >= LRB_RESERVED_BASE ? keys_.reserved_span : keys_.sector_span;
        uint64_t shard_start = base >= LRB_RESERVED_BASE ? LRB_RESERVED_BASE : 0;
        for (uint64_t e = shard_start + span; e < base + length; e += span) {
            if (e > base) edges.push_back(e);
        }
        return edges;
    }

    uint64_t pick(uint64_t lo, uint64_t hi) { return std::uniform_int_distribution<uint64_t>(lo, hi)(rng_); }
    bool chance(int percent) { return pick(0, 99) < (uint64_t)percent; }

    // A window and a key in it, near a shard or window edge half the time.
    const lrb_model::window& pick_window() {
        auto& ws = model_.windows();
        return ws[chance(60) ? 0 : pick(1, ws.size() - 1)];
    }

    uint64_t pick_key(const lrb_model::window& w) {
        if (chance(50)) {
            std::vector<uint64_t> inside;
            for (uint64_t e : edges_) {
                if (e >= w.base && e <= w.base + w.length) inside.push_back(e);
            }
            uint64_t edge = inside[pick(0, inside.size() - 1)];
            int64_t offset = (int64_t)pick(0, 140) - 70;
            int64_t key = (int64_t)edge + offset;
            if (key < (int64_t)w.base) key = (int64_t)w.base;
            if (key >= (int64_t)(w.base + w.length)) key = (int64_t)(w.base + w.length - 1);
            return (uint64_t)key;
        }
        return w.base + pick(0, w.length - 1);
    }

    uint64_t pick_address() {
        if (chance(4)) return pick(0, 15);
        uint64_t leb = pick(0, eb_count - 3);
        uint64_t capacity = leb_capacity((ULONG)leb);
        // Near the end of the LEB now and then, so that runs continue in the next one.
        uint64_t offset = chance(20) ? capacity - pick(1, 64) : pick(0, capacity - 1);
        return log_.addr((ULONG)leb, (ULONG)offset);
    }

    std::string where() const {
        return "(step " + std::to_string(step_ + 1) + "; replay: LRB_SEED=" + std::to_string(seed_) +
               " LRB_STEPS=" + std::to_string(steps_) + (faults_ ? ", with injected allocation failures" : "") + ")";
    }

    bool random_step() {
        uint64_t kind = pick(0, 99);
        if (kind < 25) {
            return random_walk();
        }
        const lrb_model::window& w = pick_window();
        uint64_t key = pick_key(w);
        uint64_t room = w.base + w.length - key;
        lrbtree_update_rec rec{};
        rec.key = key;
        if (kind < 70) {
            // A map record is one run of 64 keys at most: longer ones are refused whole.
            uint64_t n = chance(40) ? 1 : chance(15) ? 64 : chance(85) ? pick(2, 64) : pick(65, 300);
            rec.count = std::min(n, room);
            rec.gpkt = pick_address();
            rec.unmap = 0;
            stats_.maps++;
        } else {
            uint64_t n = chance(60) ? pick(1, 64) : chance(75) ? pick(65, 2000) : pick(2000, 40000);
            rec.count = std::min(n, room);
            if (kind < 88) {
                rec.unmap = LRB_UNMAP_ALL;
                stats_.unmaps++;
            } else {
                rec.unmap = model_.write_position(log_.addr((ULONG)pick(0, eb_count - 1), (ULONG)pick(0, 900)));
                stats_.conditional++;
            }
        }
        return update(rec);
    }

    bool update(lrbtree_update_rec rec, bool check = true) {
        invalidations_.runs.clear();
        if (rec.unmap == 0 && rec.count > 64) {
            return refused_map(rec);
        }
        bool armed = faults_ && chance(50);
        if (armed) {
            uint64_t nth = pick(1, 3);
            sim::kernel::fail_when(sim::kernel::fault_site::pool, [nth](uint64_t attempt) { return attempt == nth; });
        } else if (check && chance(2)) {
            return failing_invalidation(rec);
        }
        lrbtree_update_rec copy = rec;
        int rc = lrbtree_update(map_, &copy, 1);
        if (armed) {
            sim::kernel::clear_faults();
        }
        if (invalidations_.wrong_irql) {
            ADD_FAILURE() << "invalidation callback below DISPATCH_LEVEL " << where();
            return false;
        }
        if (rc == -KPAV_ENOMEM && armed) {
            stats_.failed_allocations++;
            return failed_update(rec, copy);
        }
        lrb_model::outcome expected = model_.apply(rec);
        if (rc != 0 || copy.out != expected.out || invalidations_.runs != expected.displaced) {
            ADD_FAILURE() << "update " << rec.key << "+" << rec.count << " gpkt " << rec.gpkt << " unmap " << rec.unmap
                          << ": result " << rc << " out " << copy.out << " (table " << expected.out << "), "
                          << invalidations_.runs.size() << " runs displaced (table " << expected.displaced.size()
                          << ") " << where();
            return false;
        }
        return !check || check_stretch(rec.key, rec.key + rec.count);
    }

    // A map record longer than one run: refused with -22 before anything changes, and the map
    // stays usable (the table is not touched).
    bool refused_map(const lrbtree_update_rec& rec) {
        stats_.refused++;
        lrbtree_update_rec copy = rec;
        int rc = lrbtree_update(map_, &copy, 1);
        if (rc != -KPAV_EINVAL || copy.out != 0 || !invalidations_.runs.empty() || lrb_first_error(map_) != 0) {
            ADD_FAILURE() << "map " << rec.key << "+" << rec.count << ": result " << rc << " out " << copy.out << ", "
                          << invalidations_.runs.size() << " runs displaced, map error " << lrb_first_error(map_)
                          << " (a refusal changes nothing) " << where();
            return false;
        }
        return check_stretch(rec.key, rec.key + rec.count);
    }

    // An update whose invalidation callback fails at one of its first calls: the update stops
    // where it failed (see lrb_model::apply_failing) and the map keeps the error.
    bool failing_invalidation(const lrbtree_update_rec& rec) {
        static const int errors[] = {-5, -28, -1, -22};
        uint64_t fail_call = pick(1, 3);
        int error = errors[pick(0, 3)];
        invalidations_.calls = 0;
        invalidations_.fail_at = fail_call;
        invalidations_.fail_with = error;
        lrbtree_update_rec copy = rec;
        int rc = lrbtree_update(map_, &copy, 1);
        invalidations_.fail_at = 0;
        bool failed = false;
        lrb_model::outcome expected = model_.apply_failing(rec, fail_call, &failed);
        stats_.failed_invalidations += failed ? 1 : 0;
        if (invalidations_.wrong_irql || rc != (failed ? error : 0) || copy.out != expected.out ||
            invalidations_.runs != expected.displaced) {
            ADD_FAILURE() << "update " << rec.key << "+" << rec.count << " gpkt " << rec.gpkt << " unmap " << rec.unmap
                          << " with invalidation call " << fail_call << " failing (" << error << "): result " << rc
                          << " out " << copy.out << " (table " << expected.out << "), " << invalidations_.runs.size()
                          << " runs displaced (table " << expected.displaced.size() << ") " << where();
            return false;
        }
        if (failed && !stays_failed(error)) {
            return false;
        }
        return check_stretch(rec.key, rec.key + rec.count);
    }

    // An update that met an allocation failure: the map keeps the error and refuses what comes
    // next; the pieces before the failing one are applied, the failing one and those after it
    // are not.
    bool failed_update(const lrbtree_update_rec& rec, const lrbtree_update_rec& result) {
        if (!stays_failed(-KPAV_ENOMEM)) return false;
        size_t pieces = model_.pieces(rec);
        lrb_model::outcome applied;
        for (size_t p = 0;; p++) {
            if (stretch_agrees(rec.key, rec.key + rec.count)) {
                break;
            }
            if (p == pieces) {
                ADD_FAILURE() << "after a failed allocation the map is neither as before nor partly updated "
                              << rec.key << "+" << rec.count << " " << where();
                return false;
            }
            lrb_model::outcome o = model_.apply(rec, p, p + 1);
            applied.out += o.out;
            applied.displaced.insert(applied.displaced.end(), o.displaced.begin(), o.displaced.end());
        }
        if (result.out != applied.out || invalidations_.runs != applied.displaced) {
            ADD_FAILURE() << "failed update reported out " << result.out << " (applied pieces: " << applied.out << ") "
                          << where();
            return false;
        }
        return check_stretch(rec.key, rec.key + rec.count);
    }

    // After a failed shard operation the map refuses every update with its error (changing
    // nothing) and every walk with -22; it is then cleared by hand so that the run goes on.
    bool stays_failed(int error) {
        const lrb_model::window& w = pick_window();
        lrbtree_update_rec probe = {pick_key(w), 1, pick_address(), 0, 0};
        std::vector<displaced_run> runs = std::move(invalidations_.runs);
        invalidations_.runs.clear();
        int rc = lrbtree_update(map_, &probe, 1);
        std::swap(runs, invalidations_.runs);
        std::vector<walk_report> reports;
        int walked = lrb_walk(map_, w.base, w.base + 1, false, &reports);
        if (lrb_first_error(map_) != error || rc != error || probe.out != 0 || !runs.empty() || walked != -22) {
            ADD_FAILURE() << "a failed map (first error " << lrb_first_error(map_) << ") took an update (" << rc
                          << ") or a walk (" << walked << ") " << where();
            return false;
        }
        lrb_clear_error(map_);
        return true;
    }

    bool stretch_agrees(uint64_t a, uint64_t b) {
        std::vector<walk_report> reports;
        lrb_walk(map_, a, b, false, &reports);
        return model_.check_walk(a, b, false, reports).empty();
    }

    // Walks the updated stretch with some keys on each side and compares.
    bool check_stretch(uint64_t a, uint64_t b) {
        uint64_t lo = a > 70 ? a - 70 : 0;
        uint64_t hi = b + 70 < LRB_KEY_END ? b + 70 : LRB_KEY_END;
        return walk_and_compare(lo, hi, chance(30));
    }

    bool walk_and_compare(uint64_t a, uint64_t b, bool coalesce) {
        std::vector<walk_report> reports;
        int rc = lrb_walk(map_, a, b, coalesce, &reports);
        std::string err = rc != 0 ? "walk result " + std::to_string(rc) : model_.check_walk(a, b, coalesce, reports);
        if (!err.empty()) {
            ADD_FAILURE() << "walk " << a << "-" << b << (coalesce ? " (coalesced)" : "") << ": " << err << where();
            return false;
        }
        return true;
    }

    bool random_walk() {
        stats_.walks++;
        if (chance(6)) {
            return rewriting_walk();
        }
        if (chance(6)) {
            return stopped_walk();
        }
        if (chance(10)) {
            // Across the end of the sector range into the reserved range.
            uint64_t a = keys_.sector_space - pick(1, 3000);
            return walk_and_compare(a, LRB_RESERVED_BASE + pick(1, 3000), chance(50));
        }
        const lrb_model::window& w = pick_window();
        uint64_t a = pick_key(w);
        uint64_t b = std::min(w.base + w.length, a + pick(1, chance(80) ? 600 : 20000));
        return walk_and_compare(a, b, chance(50));
    }

    // A stretch for a special walk: within a window, or across the end of the sector range.
    std::pair<uint64_t, uint64_t> pick_stretch() {
        if (chance(10)) {
            return {keys_.sector_space - pick(1, 3000), LRB_RESERVED_BASE + pick(1, 3000)};
        }
        const lrb_model::window& w = pick_window();
        uint64_t a = pick_key(w);
        return {a, std::min(w.base + w.length, a + pick(1, 3000))};
    }

    // A walk that gives some entries new addresses. Under the writers' mutex the entries are
    // written back (coalesced runs have none: nothing changes); without it the first request
    // stops the walk with -22 and nothing is written.
    bool rewriting_walk() {
        stats_.rewrites++;
        auto [a, b] = pick_stretch();
        bool locked = chance(75);
        bool coalesce = chance(20);
        rewrite_walk w{map_, [this](uint64_t length) -> uint64_t {
                           if (!chance(50)) return 0;
                           uint64_t g = pick_address();
                           return model_.advance(g, length - 1) != ~0ull ? g : 0;
                       }, {}, 0, false};
        lrbtree_enum_ops ops = {rewrite_entries, skip_gaps, nullptr};
        lrbtree_range range{};
        ULONG flags = (locked ? LRB_ENUM_LOCK_WRITERS : 0) | (coalesce ? LRB_ENUM_COALESCE : 0);
        int rc = lrbtree_enumerate(map_, &range, &ops, &w, flags, a, b);
        bool refused = !locked && w.asked != 0;
        if (w.wrong_irql || rc != (refused ? -KPAV_EINVAL : 0)) {
            ADD_FAILURE() << "rewriting walk " << a << "-" << b << (locked ? " under the mutex" : "")
                          << (coalesce ? " (coalesced)" : "") << ": result " << rc << " " << where();
            return false;
        }
        if (locked) {
            for (auto& [start, gpkt] : w.moved) model_.move_run(start, gpkt);
        }
        return walk_and_compare(a, b, false);
    }

    // A walk whose callback stops it at a random call with -2, -11, another error, or (for a
    // gap) a positive result: the walk returns that result and made exactly the calls an
    // unstopped walk makes up to it.
    bool stopped_walk() {
        stats_.stopped_walks++;
        auto [a, b] = pick_stretch();
        bool coalesce = chance(30);
        ULONG flags = coalesce ? LRB_ENUM_COALESCE : 0;
        lrbtree_enum_ops ops = {log_data, log_empty, nullptr};
        lrbtree_range range{};
        call_log all;
        int rc = lrbtree_enumerate(map_, &range, &ops, &all, flags, a, b);
        std::vector<walk_report> joined;
        for (auto& c : all.calls) {
            if (!c.data && !joined.empty() && !joined.back().data) {
                joined.back().length += c.length;
            } else {
                joined.push_back(c);
            }
        }
        std::string err = rc != 0 ? "result " + std::to_string(rc) : model_.check_walk(a, b, coalesce, joined);
        if (!err.empty()) {
            ADD_FAILURE() << "walk " << a << "-" << b << ": " << err << where();
            return false;
        }
        call_log stopped;
        stopped.stop_at = pick(1, all.calls.size());
        stopped.stop_on_data = all.calls[stopped.stop_at - 1].data;
        static const int data_results[] = {-2, -11, -5, -28, -12};
        static const int gap_results[] = {-2, -11, -5, -28, 3};
        stopped.result = stopped.stop_on_data ? data_results[pick(0, 4)] : gap_results[pick(0, 4)];
        rc = lrbtree_enumerate(map_, &range, &ops, &stopped, flags, a, b);
        bool same = stopped.calls.size() == stopped.stop_at;
        for (size_t i = 0; same && i < stopped.calls.size(); i++) {
            const walk_report& x = stopped.calls[i];
            const walk_report& y = all.calls[i];
            same = x.data == y.data && x.start == y.start && x.length == y.length && x.gpkt == y.gpkt;
        }
        if (rc != stopped.result || !same) {
            ADD_FAILURE() << "walk " << a << "-" << b << " stopped with " << stopped.result << " at call "
                          << stopped.stop_at << " of " << all.calls.size() << ": result " << rc << ", "
                          << stopped.calls.size() << " calls " << where();
            return false;
        }
        return true;
    }

    // Maps every key of [base, base + n) as a one-key run, in random order.
    bool fill_dense(uint64_t base, uint64_t n) {
        std::vector<uint64_t> keys(n);
        for (uint64_t i = 0; i < n; i++) keys[i] = base + i;
        std::shuffle(keys.begin(), keys.end(), rng_);
        for (uint64_t k : keys) {
            if (!update({k, 1, pick_address(), 0, 0}, false)) return false;
        }
        return full_check();
    }

    // The map saved, dropped with every block of the log and loaded back from what was saved,
    // as after a clean stop: it must hold what it held.
    bool restart() {
        stats_.restarts++;
        int rc = lrb_restart(&map_, &log_.log, keys_.sector_space, keys_.sector_space);
        if (rc != 0) {
            ADD_FAILURE() << "restart: load result " << rc << " " << where();
            return false;
        }
        lrbtree_set_invalidate(map_, lrb_record_invalidation, &invalidations_);
        return full_check();
    }

    // The map built anew from its own runs with the bulk builder, shard by shard at a random fill,
    // as the rebuild after an unclean stop builds it: it must hold what it held.
    bool rebuild() {
        stats_.rebuilds++;
        std::vector<walk_report> reports;
        if (lrb_walk(map_, 0, LRB_KEY_END, false, &reports) != 0) {
            ADD_FAILURE() << "rebuild: the walk failed " << where();
            return false;
        }
        std::vector<walk_report> runs;
        for (auto& r : reports) {
            if (r.data) runs.push_back(r);
        }
        lrbtree_destroy(&map_);
        mblk_release_all(&log_.log);
        EXPECT_EQ(lrbtree_create(&map_, &log_.log, keys_.sector_space, keys_.sector_space), 0);
        EXPECT_EQ(lrbtree_reset(map_), 0);
        lrbtree_set_invalidate(map_, lrb_record_invalidation, &invalidations_);
        lrb_hold_writers(map_, true);
        for (size_t i = 0; i < runs.size();) {
            ULONG shard = lrb_shard_of(map_, runs[i].start);
            size_t end = i;
            while (end < runs.size() && lrb_shard_of(map_, runs[end].start) == shard) end++;
            // Sparse fills make deep trees: 5% (25 runs a leaf, 16 children a node) keeps 2^20
            // runs within five levels, 2% (10 and 6) only 12,960.
            static const ULONG sparse[] = {2, 5, 30, 85, 100};
            ULONG percent = sparse[pick(end - i < 12000 ? 0 : 1, 4)];
            lrbtree_cursor cursor;
            lrbtree_bulk_builder builder;
            int rc = lrbtree_build_begin(map_, shard, &cursor, &builder, "test");
            lrbtree_bulk_start(&builder, &cursor, percent, "test");
            uint64_t base = lrb_shard_base_of(map_, runs[i].start);
            for (; rc == 0 && i < end; i++) {
                bool flushed = false;
                rc = lrbtree_build_add(&builder, runs[i].start - base, (ULONG)runs[i].length, runs[i].gpkt, &flushed);
            }
            rc = lrbtree_build_end(&cursor, &builder, rc);
            if (rc != 0) {
                lrb_hold_writers(map_, false);
                ADD_FAILURE() << "rebuild of shard " << shard << " at " << percent << "%: " << rc << " " << where();
                return false;
            }
        }
        lrb_hold_writers(map_, false);
        return full_check();
    }

    // Every shard packed full: every leaf but a shard's last holds its capacity, and the map holds
    // what it held.
    bool compact() {
        stats_.compactions++;
        int rc = lrbtree_compact(map_);
        if (rc != 0) {
            ADD_FAILURE() << "compaction result " << rc << " " << where();
            return false;
        }
        std::string partial = lrb_check_packed(map_);
        if (!partial.empty()) {
            ADD_FAILURE() << "after compaction " << where() << ": " << partial;
            return false;
        }
        return full_check();
    }

    bool full_check() {
        max_depth_ = std::max(max_depth_, lrb_max_depth(map_));
        std::string problems = lrb_check_map(map_);
        if (!problems.empty()) {
            ADD_FAILURE() << "tree invariants broken " << where() << ":\n" << problems;
            return false;
        }
        for (auto& w : model_.windows()) {
            if (!walk_and_compare(w.base, w.base + w.length, false)) return false;
        }
        return walk_and_compare(0, LRB_KEY_END, true);
    }

    uint64_t seed_;
    bool faults_;
    key_space keys_;
    test_log log_;
    std::mt19937_64 rng_;
    lrb_model model_;
    lrbtree* map_ = nullptr;
    invalidation_log invalidations_;
    std::vector<uint64_t> edges_;
    uint64_t step_ = 0;
    uint64_t steps_ = 0;
    int max_depth_ = -1;
    op_stats stats_;
};

class LrbRandom : public MetadataTest {
  protected:
    void run_seeds(uint64_t default_steps, bool faults, const key_space& keys = narrow_keys()) {
        uint64_t soak = env_number("LRB_SOAK", 0);
        uint64_t steps = env_number("LRB_STEPS", soak != 0 ? default_steps * 10 : default_steps);
        uint64_t seed = env_number("LRB_SEED", std::random_device{}());
        uint64_t runs = soak != 0 ? soak : 1;
        for (uint64_t i = 0; i < runs; i++) {
            fmap_run run(seed + i, faults, keys);
            bool ok = run.run(steps);
            const op_stats& s = run.stats();
            RecordProperty("seed", std::to_string(seed + i));
            std::printf("seed %llu: %llu maps (%llu refused), %llu removals, %llu by position, %llu walks (%llu "
                        "rewriting, %llu stopped), %llu failed allocations, %llu failed invalidations, %llu "
                        "restarts, %llu compactions, %llu rebuilds, depth %d\n",
                        (unsigned long long)(seed + i), (unsigned long long)s.maps, (unsigned long long)s.refused,
                        (unsigned long long)s.unmaps,
                        (unsigned long long)s.conditional, (unsigned long long)s.walks,
                        (unsigned long long)s.rewrites, (unsigned long long)s.stopped_walks,
                        (unsigned long long)s.failed_allocations, (unsigned long long)s.failed_invalidations,
                        (unsigned long long)s.restarts, (unsigned long long)s.compactions,
                        (unsigned long long)s.rebuilds, run.depth());
            if (!ok) {
                return;
            }
            if (faults) {
                EXPECT_GT(s.failed_allocations, 0u) << "no allocation failed: the fault path went untested";
            }
        }
    }
};

TEST_F(LrbRandom, AgreesWithTheTable) {
    run_seeds(800000, false);
}

TEST_F(LrbRandom, AgreesWithTheTableUnderAllocationFailures) {
    run_seeds(250000, true);
}

TEST_F(LrbRandom, AgreesWithTheTableWithWideKeys) {
    run_seeds(150000, false, wide_keys());
}

}  // namespace

namespace {

// Several threads update shards of their own while others walk everything. Every address an
// updater maps is that of packet (key - shard base) + epoch x 2^20 of LEB 4 x epoch, for one of
// four epochs: the epoch is in the address's bits 32 and 33 and again in its low 32 bits, so a
// walker can check what it sees without knowing the updaters' order, and an entry read half
// written (the length byte of one address with the low word of another) shows. Now and then an
// updater walks its shards under the writers' mutex and moves runs to another epoch. Each
// updater checks its own results against its own table, and the end state is compared and
// checked whole.
thread_local invalidation_log* thread_invalidations = nullptr;

int invalidate_per_thread(void* context, ULONG64 first_key, ULONG64 length, ULONG64 gpkt, lrbtree_update_rec* record) {
    UNREFERENCED_PARAMETER(context);
    return lrb_record_invalidation(thread_invalidations, first_key, length, gpkt, record);
}

constexpr uint64_t threads_sector_space = 4ull << 17;
constexpr uint64_t threads_leb_span = (1ull << 30) + 1;
constexpr ULONG threads_lebs = 16;

uint64_t epoch_address(uint64_t epoch, uint64_t offset) {
    return 16 + 4 * epoch * threads_leb_span + offset + (epoch << 20);
}

bool address_fits_key(uint64_t start, uint64_t gpkt) {
    uint64_t base = start >= LRB_RESERVED_BASE ? LRB_RESERVED_BASE + ((start - LRB_RESERVED_BASE) >> 24 << 24)
                                               : start >> 17 << 17;
    uint64_t epoch = gpkt >> 32;
    return epoch < 4 && gpkt == epoch_address(epoch, start - base);
}

int move_to_epoch(lrbtree_range* range, void* context, ULONG64, lrbtree_leaf_rec* entry) {
    auto* w = (rewrite_walk*)context;
    uint64_t gpkt = w->choose(entry->key);
    if (gpkt == 0) {
        return 0;
    }
    w->moved.push_back({lrb_shard_base_of(w->map, range->start) + entry->key, gpkt});
    entry->gpkt = gpkt;
    return 1;
}

}  // namespace

TEST_F(LrbRandom, ShardsUpdateWhileOthersWalk) {
    constexpr int updaters = 3;
    constexpr int walkers = 2;
    uint64_t steps = env_number("LRB_STEPS", 40000);
    uint64_t seed = env_number("LRB_SEED", std::random_device{}());
    RecordProperty("seed", std::to_string(seed));
    SCOPED_TRACE("replay: LRB_SEED=" + std::to_string(seed) + " LRB_STEPS=" + std::to_string(steps));

    // LEBs large enough that addresses advance by plain addition.
    test_log t(threads_lebs, 1u << 30);
    lrbtree* map = nullptr;
    ASSERT_EQ(lrbtree_create(&map, &t.log, threads_sector_space, threads_sector_space), 0);
    ASSERT_EQ(lrbtree_reset(map), 0);
    lrbtree_set_invalidate(map, invalidate_per_thread, nullptr);

    lrb_model_geometry g;
    g.sector_space = threads_sector_space;
    g.sector_span = 1ull << 17;
    g.reserved_span = 1ull << 24;
    g.leb_span = threads_leb_span;
    for (ULONG i = 0; i < threads_lebs; i++) {
        g.sequence.push_back(64ull * (i + 1));
        g.capacity.push_back(1u << 30);
        g.next.push_back(i + 1 < threads_lebs ? (uint16_t)(i + 1) : 65535);
    }
    constexpr uint64_t width = 1ull << 14;
    std::vector<std::unique_ptr<lrb_model>> models;
    for (int u = 0; u < updaters; u++) {
        models.push_back(std::make_unique<lrb_model>(
            g, std::vector<std::pair<uint64_t, uint64_t>>{{(uint64_t)u << 17, width},
                                                          {LRB_RESERVED_BASE + ((uint64_t)u << 24), width}}));
    }

    std::atomic<int> running{updaters};
    std::atomic<uint64_t> walks{0};
    std::vector<std::string> failures(updaters + walkers);
    std::vector<std::thread> threads;
    for (int u = 0; u < updaters; u++) {
        threads.emplace_back([&, u] {
            invalidation_log inval;
            thread_invalidations = &inval;
            std::mt19937_64 rng(seed * 31 + u);
            lrb_model& model = *models[u];
            for (uint64_t i = 0; i < steps && failures[u].empty(); i++) {
                auto& w = model.windows()[rng() % 2];
                if (rng() % 50 == 0) {
                    // Move some of the runs of a stretch to another epoch.
                    uint64_t a = w.base + rng() % w.length;
                    uint64_t b = std::min(w.base + w.length, a + 1 + rng() % 3000);
                    rewrite_walk mover{map, [&rng](uint64_t offset) -> uint64_t {
                                           return rng() % 2 == 0 ? epoch_address(rng() % 4, offset) : 0;
                                       }, {}, 0, false};
                    lrbtree_enum_ops ops = {move_to_epoch, skip_gaps, nullptr};
                    lrbtree_range range{};
                    int rc = lrbtree_enumerate(map, &range, &ops, &mover, LRB_ENUM_LOCK_WRITERS, a, b);
                    for (auto& [start, gpkt] : mover.moved) model.move_run(start, gpkt);
                    if (rc != 0) {
                        failures[u] = "updater " + std::to_string(u) + " step " + std::to_string(i) +
                                      ": moving walk result " + std::to_string(rc);
                    }
                    continue;
                }
                uint64_t key = w.base + rng() % w.length;
                uint64_t room = w.base + w.length - key;
                uint64_t shard_base = key >= LRB_RESERVED_BASE ? w.base : (key >> 17 << 17);
                lrbtree_update_rec rec{};
                rec.key = key;
                if (rng() % 3 != 0) {
                    rec.count = std::min<uint64_t>(1 + rng() % 64, room);
                    rec.gpkt = epoch_address(rng() % 4, key - shard_base);
                } else {
                    rec.count = std::min<uint64_t>(1 + rng() % 500, room);
                    rec.unmap = LRB_UNMAP_ALL;
                }
                inval.runs.clear();
                lrbtree_update_rec copy = rec;
                int rc = lrbtree_update(map, &copy, 1);
                lrb_model::outcome expected = model.apply(rec);
                if (rc != 0 || copy.out != expected.out || inval.runs != expected.displaced || inval.wrong_irql) {
                    failures[u] = "updater " + std::to_string(u) + " step " + std::to_string(i) + ": result " +
                                  std::to_string(rc);
                }
            }
            running--;
        });
    }
    for (int k = 0; k < walkers; k++) {
        threads.emplace_back([&, k] {
            std::mt19937_64 rng(seed * 37 + k);
            std::vector<walk_report> reports;
            std::string& failure = failures[updaters + k];
            while (running.load() > 0 && failure.empty()) {
                bool reserved = rng() % 2 == 0;
                uint64_t a = reserved ? LRB_RESERVED_BASE + (rng() % 3 << 24) + rng() % width : rng() % threads_sector_space;
                uint64_t b = a + 1 + rng() % 3000;
                bool coalesce = rng() % 2 == 0;
                ULONG flags = rng() % 8 == 0 ? (LRB_ENUM_LOCK_WRITERS | LRB_ENUM_TRY) : 0;
                int rc = lrb_walk(map, a, b, coalesce, &reports, flags);
                if (rc == -KPAV_EBUSY && flags != 0) {
                    continue;
                }
                uint64_t pos = a;
                for (auto& r : reports) {
                    if (r.start != pos || (r.data && !address_fits_key(r.start, r.gpkt))) {
                        failure = "walker saw " + std::to_string(r.start) + "+" + std::to_string(r.length) + " at " +
                                  std::to_string(r.gpkt);
                        break;
                    }
                    pos += r.length;
                }
                if (rc != 0 || (failure.empty() && pos != b)) {
                    failure = "walk " + std::to_string(a) + "-" + std::to_string(b) + " result " + std::to_string(rc);
                }
                walks++;
            }
        });
    }
    for (auto& th : threads) th.join();
    for (auto& f : failures) EXPECT_EQ(f, "");
    EXPECT_GT(walks.load(), 0u);
    EXPECT_EQ(lrb_check_map(map), "");
    std::vector<walk_report> reports;
    for (auto& m : models) {
        for (auto& w : m->windows()) {
            lrb_walk(map, w.base, w.base + w.length, false, &reports);
            EXPECT_EQ(m->check_walk(w.base, w.base + w.length, false, reports), "");
        }
    }
    lrbtree_destroy(&map);
}
