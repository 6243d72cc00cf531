#include "tests/driver/fmap/lrbtree_model.h"

#include <algorithm>
#include <sstream>

lrb_model::lrb_model(lrb_model_geometry geometry, const std::vector<std::pair<uint64_t, uint64_t>>& windows)
    : geometry_(std::move(geometry)) {
    for (auto& [base, length] : windows) {
        windows_.push_back({base, length, std::vector<slot>(length)});
    }
    std::sort(windows_.begin(), windows_.end(), [](const window& x, const window& y) { return x.base < y.base; });
}

uint64_t lrb_model::advance(uint64_t address, uint64_t n) const {
    if (address < 16) {
        return address;
    }
    uint64_t leb = (address - 16) / geometry_.leb_span;
    uint64_t offset = (address - 16) % geometry_.leb_span + n;
    while (offset >= geometry_.capacity.at(leb)) {
        offset -= geometry_.capacity[leb];
        leb = geometry_.next[leb];
        if (leb == 65535) {
            return ~0ull;
        }
    }
    return 16 + leb * geometry_.leb_span + offset;
}

uint64_t lrb_model::write_position(uint64_t address) const {
    if (address < 16) {
        return 0;
    }
    uint64_t leb = (address - 16) / geometry_.leb_span;
    return geometry_.sequence.at(leb) << 24 | ((address - 16) % geometry_.leb_span & 0xFFFFFF);
}

lrb_model::slot* lrb_model::find(uint64_t key) {
    return const_cast<slot*>(static_cast<const lrb_model*>(this)->find(key));
}

const lrb_model::slot* lrb_model::find(uint64_t key) const {
    for (auto& w : windows_) {
        if (key >= w.base && key - w.base < w.length) {
            return &w.slots[key - w.base];
        }
    }
    return nullptr;
}

bool lrb_model::mapped(uint64_t key) const {
    const slot* s = find(key);
    return s != nullptr && s->mapped;
}

const lrb_model::slot& lrb_model::at(uint64_t key) const {
    static const slot none;
    const slot* s = find(key);
    return s != nullptr ? *s : none;
}

uint64_t lrb_model::mapped_count() const {
    uint64_t n = 0;
    for (auto& w : windows_) {
        for (auto& s : w.slots) {
            n += s.mapped ? 1 : 0;
        }
    }
    return n;
}

uint64_t lrb_model::shard_base(uint64_t key) const {
    if (key >= LRB_RESERVED_BASE) {
        return LRB_RESERVED_BASE + (key - LRB_RESERVED_BASE) / geometry_.reserved_span * geometry_.reserved_span;
    }
    return key / geometry_.sector_span * geometry_.sector_span;
}

uint64_t lrb_model::shard_end(uint64_t key) const {
    if (key >= LRB_RESERVED_BASE) {
        return shard_base(key) + geometry_.reserved_span;
    }
    return std::min(shard_base(key) + geometry_.sector_span, geometry_.sector_space);
}

uint64_t lrb_model::run_end(uint64_t key) const {
    uint64_t start = at(key).start;
    uint64_t end = key;
    while (end - start < 64 && mapped(end) && at(end).start == start) {
        end++;
    }
    return end;
}

bool lrb_model::any_mapped(uint64_t a, uint64_t b) const {
    for (auto& w : windows_) {
        uint64_t lo = std::max(a, w.base);
        uint64_t hi = std::min(b, w.base + w.length);
        for (uint64_t k = lo; k < hi; k++) {
            if (w.slots[k - w.base].mapped) {
                return true;
            }
        }
    }
    return false;
}

size_t lrb_model::pieces(const lrbtree_update_rec& record) const {
    size_t n = 0;
    uint64_t key = record.key;
    uint64_t end = record.key + record.count;
    while (key < end) {
        uint64_t piece_end = std::min(end, shard_end(key));
        if (record.unmap == 0) {
            piece_end = std::min(piece_end, key + 64);
        }
        key = piece_end;
        n++;
    }
    return n;
}

lrb_model::outcome lrb_model::apply(const lrbtree_update_rec& record, size_t first, size_t last) {
    bool failed = false;
    fail_call_ = 0;
    return apply_pieces(record, first, last, &failed);
}

lrb_model::outcome lrb_model::apply_failing(const lrbtree_update_rec& record, uint64_t fail_call, bool* failed) {
    fail_call_ = fail_call;
    calls_ = 0;
    outcome result = apply_pieces(record, 0, SIZE_MAX, failed);
    fail_call_ = 0;
    return result;
}

lrb_model::outcome lrb_model::apply_pieces(const lrbtree_update_rec& record, size_t first, size_t last, bool* failed) {
    outcome result;
    *failed = false;
    uint64_t key = record.key;
    uint64_t end = record.key + record.count;
    uint64_t gpkt = record.gpkt;
    for (size_t piece = 0; key < end && piece < last; piece++) {
        uint64_t piece_end = std::min(end, shard_end(key));
        if (record.unmap == 0) {
            piece_end = std::min(piece_end, key + 64);
        }
        if (piece >= first) {
            int64_t out_before = result.out;
            if (!apply_piece(key, piece_end, gpkt, record.unmap, &result)) {
                result.out = out_before;  // the failing piece's out is not added
                *failed = true;
                return result;
            }
        }
        if (record.unmap == 0) {
            gpkt = advance(gpkt, piece_end - key);
        }
        key = piece_end;
    }
    return result;
}

bool lrb_model::apply_piece(uint64_t s, uint64_t e, uint64_t gpkt, uint64_t unmap, outcome* result) {
    uint64_t x = s;
    while (x < e) {
        if (!mapped(x)) {
            x++;
            continue;
        }
        uint64_t start = at(x).start;
        uint64_t end = run_end(x);
        uint64_t first_gpkt = at(start).gpkt;
        bool touch = unmap == 0 || unmap == LRB_UNMAP_ALL || write_position(first_gpkt) < unmap;
        uint64_t stop = std::min(end, e);
        if (touch) {
            uint64_t displaced_gpkt = at(x).gpkt;
            if (displaced_gpkt >= 16) {
                if (fail_call_ != 0 && ++calls_ == fail_call_) {
                    return false;
                }
                result->displaced.push_back({x, stop - x, displaced_gpkt});
            }
            result->out -= (int64_t)(stop - x);
            for (uint64_t k = x; k < stop; k++) {
                find(k)->mapped = false;
            }
            for (uint64_t k = e; k < end; k++) {
                find(k)->start = e;
            }
        }
        x = stop;
    }
    if (unmap == 0) {
        for (uint64_t k = s; k < e; k++) {
            *find(k) = {advance(gpkt, k - s), s, true};
        }
        result->out += (int64_t)(e - s);
    }
    return true;
}

void lrb_model::move_run(uint64_t start, uint64_t gpkt) {
    uint64_t end = run_end(start);
    for (uint64_t k = start; k < end; k++) {
        find(k)->gpkt = advance(gpkt, k - start);
    }
}

std::string lrb_model::check_walk(uint64_t a, uint64_t b, bool coalesce, const std::vector<walk_report>& reports) const {
    std::ostringstream err;
    uint64_t pos = a;
    for (auto& r : reports) {
        if (r.start != pos || r.length == 0) {
            err << "report at " << r.start << "+" << r.length << " where " << pos << " was expected\n";
            return err.str();
        }
        pos = r.start + r.length;
        if (!r.data) {
            if (any_mapped(r.start, pos)) {
                err << "empty report " << r.start << "+" << r.length << " over mapped keys\n";
            }
            continue;
        }
        for (uint64_t k = r.start; k < pos; k++) {
            if (!mapped(k)) {
                err << "data report " << r.start << "+" << r.length << " over unmapped key " << k << "\n";
                return err.str();
            }
        }
        if (at(r.start).gpkt != r.gpkt) {
            err << "data report " << r.start << " at " << r.gpkt << ", table has " << at(r.start).gpkt << "\n";
        }
        if (!coalesce) {
            uint64_t start = at(r.start).start;
            uint64_t end = run_end(start);
            if (r.start != std::max(start, a) || pos != std::min(end, b)) {
                err << "data report " << r.start << "+" << r.length << " is not run " << start << "-" << end
                    << " within the walk\n";
            }
            if (!r.has_entry || r.entry.key + shard_base(r.start) != start || r.entry.length != end - start ||
                r.entry.gpkt != at(start).gpkt) {
                err << "entry of report " << r.start << " is not its run\n";
            }
        }
    }
    if (pos != b) {
        err << "walk ended at " << pos << " instead of " << b << "\n";
    }
    if (!coalesce || !err.str().empty()) {
        return err.str();
    }
    // Coalesced: the runs that continue each other in one erase block, within one shard.
    std::vector<walk_report> expected;
    for (auto& w : windows_) {
      uint64_t hi = std::min(b, w.base + w.length);
      for (uint64_t k = std::max(a, w.base); k < hi;) {
        if (!w.slots[k - w.base].mapped) {
            k++;
            continue;
        }
        uint64_t stop = std::min(run_end(k), b);
        uint64_t g = at(k).gpkt;
        if (!expected.empty()) {
            walk_report& last = expected.back();
            bool adjacent = last.start + last.length == k && shard_base(last.start) == shard_base(k);
            bool same_eb = g >= 16 && last.gpkt >= 16 &&
                           (g - 16) / geometry_.leb_span == (last.gpkt - 16) / geometry_.leb_span;
            if (adjacent && same_eb && g == last.gpkt + last.length) {
                last.length += stop - k;
                k = stop;
                continue;
            }
        }
        expected.push_back({true, k, stop - k, g, false, {}});
        k = stop;
      }
    }
    std::vector<walk_report> got;
    for (auto& r : reports) {
        if (r.data) {
            got.push_back(r);
        }
    }
    if (got.size() != expected.size()) {
        err << "coalesced walk gave " << got.size() << " runs, expected " << expected.size() << "\n";
        return err.str();
    }
    for (size_t i = 0; i < got.size(); i++) {
        if (got[i].start != expected[i].start || got[i].length != expected[i].length || got[i].gpkt != expected[i].gpkt) {
            err << "coalesced run " << i << ": " << got[i].start << "+" << got[i].length << "@" << got[i].gpkt
                << ", expected " << expected[i].start << "+" << expected[i].length << "@" << expected[i].gpkt << "\n";
        }
    }
    return err.str();
}

namespace {

int record_data(lrbtree_range* range, void* context, ULONG64 gpkt, lrbtree_leaf_rec* entry) {
    auto* reports = (std::vector<walk_report>*)context;
    walk_report r{true, range->start, range->length, gpkt, entry != nullptr, {}};
    if (entry != nullptr) {
        r.entry = *entry;
    }
    reports->push_back(r);
    return KeGetCurrentIrql() == DISPATCH_LEVEL ? 0 : -5;
}

int record_empty(lrbtree_range* range, void* context) {
    auto* reports = (std::vector<walk_report>*)context;
    // Empty stretches split at shard boundaries are one stretch to the table.
    if (!reports->empty() && !reports->back().data && reports->back().start + reports->back().length == range->start) {
        reports->back().length += range->length;
    } else {
        reports->push_back({false, range->start, range->length, 0, false, {}});
    }
    return 0;
}

}  // namespace

int lrb_walk(lrbtree* map, uint64_t a, uint64_t b, bool coalesce, std::vector<walk_report>* reports, ULONG extra_flags) {
    reports->clear();
    lrbtree_enum_ops ops = {record_data, record_empty, nullptr};
    lrbtree_range range{};
    return lrbtree_enumerate(map, &range, &ops, reports, (coalesce ? LRB_ENUM_COALESCE : 0) | extra_flags, a, b);
}
