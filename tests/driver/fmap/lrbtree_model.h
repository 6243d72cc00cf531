// The reference the forward map is checked against: a plain key-by-key table over a few windows
// of the key space (every key: mapped or not, its packet address and the first key of the run
// that holds it), with the update and walk rules written the simple way.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "driver/fmap/lrbtree.h"
#include "tests/driver/fmap/lrbtree_check.h"

struct lrb_model_geometry {
    uint64_t sector_space;     // S
    uint64_t sector_span;      // keys per sector-range shard
    uint64_t reserved_span;    // keys per reserved-range shard
    uint64_t leb_span;         // stride of addresses
    std::vector<uint64_t> sequence;      // per LEB
    std::vector<uint32_t> capacity;      // usable packets per LEB
    std::vector<uint16_t> next;          // chain links, 65535 at the end
};

// One report of a walk.
struct walk_report {
    bool data;
    uint64_t start;
    uint64_t length;
    uint64_t gpkt;
    bool has_entry;
    lrbtree_leaf_rec entry;
};

class lrb_model {
  public:
    struct slot {
        uint64_t gpkt = 0;
        uint64_t start = 0;  // first key of the run that holds the key
        bool mapped = false;
    };
    struct window {
        uint64_t base;
        uint64_t length;
        std::vector<slot> slots;
    };

    lrb_model(lrb_model_geometry geometry, const std::vector<std::pair<uint64_t, uint64_t>>& windows);

    // The address n packets after `address` by the log's chain rule; ~0 when the chain ends.
    uint64_t advance(uint64_t address, uint64_t n) const;
    // Write position of a run whose first packet is at `address`.
    uint64_t write_position(uint64_t address) const;

    struct outcome {
        int64_t out = 0;
        std::vector<displaced_run> displaced;  // only runs at addresses of 16 or more
    };
    // Applies one record the way the map does: shard pieces, 64-key map pieces; with a range of
    // pieces, only pieces first..last-1 of it.
    outcome apply(const lrbtree_update_rec& record, size_t first = 0, size_t last = SIZE_MAX);
    // Applies one record as the map does when the invalidation call numbered `fail_call` of the
    // record (from 1) fails: the pieces before are applied; in the failing piece every run
    // displaced before the failing call is cut out as by a removal, the rest stays and the new
    // run is not placed. `out` is the earlier pieces' only, `displaced` the runs whose call
    // succeeded. *failed tells whether the record came to that call at all (when it did not, the
    // record was applied whole).
    outcome apply_failing(const lrbtree_update_rec& record, uint64_t fail_call, bool* failed);
    // Moves the run that starts at `start` (its first key) to `gpkt`, as a walk that writes its
    // entry back with a new address does.
    void move_run(uint64_t start, uint64_t gpkt);
    // Number of pieces the map cuts a record into.
    size_t pieces(const lrbtree_update_rec& record) const;

    // Checks what a walk over [a, b) reported; empty string when it agrees with the table.
    std::string check_walk(uint64_t a, uint64_t b, bool coalesce, const std::vector<walk_report>& reports) const;

    bool mapped(uint64_t key) const;
    const slot& at(uint64_t key) const;
    uint64_t mapped_count() const;
    const std::vector<window>& windows() const { return windows_; }
    const lrb_model_geometry& geometry() const { return geometry_; }

  private:
    slot* find(uint64_t key);
    const slot* find(uint64_t key) const;
    uint64_t shard_end(uint64_t key) const;
    uint64_t shard_base(uint64_t key) const;
    // End of the run that holds `key` (mapped).
    uint64_t run_end(uint64_t key) const;
    bool any_mapped(uint64_t a, uint64_t b) const;
    // Returns false when the invalidation call numbered fail_call_ came in this piece.
    bool apply_piece(uint64_t s, uint64_t e, uint64_t gpkt, uint64_t unmap, outcome* result);
    outcome apply_pieces(const lrbtree_update_rec& record, size_t first, size_t last, bool* failed);

    // Invalidation calls counted while a failing record is applied (0: none fails).
    uint64_t fail_call_ = 0;
    uint64_t calls_ = 0;

    lrb_model_geometry geometry_;
    std::vector<window> windows_;
};

// Walks [a, b) of the map and records every report.
int lrb_walk(lrbtree* map, uint64_t a, uint64_t b, bool coalesce, std::vector<walk_report>* reports,
             ULONG extra_flags = 0);
