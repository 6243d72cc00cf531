// Node search and descent for one entry kind at a time: the entry size and capacity are
// constants there, so that finding an entry is an addition and a compare. The callers pick the
// kind once per operation.
//
// Search. The answer lies between two positions, lo and hi, whose compared values bracket the
// key; at the start they are the places just outside the node, whose values are the node's key
// bounds, so that a search looks at no entry but the ones its probes land on. Probes
// interpolate between the bracketing values; after more than three probes that all went the
// same way, bisection takes over. Each probe also looks at its neighbour on the key's side,
// most often in the same cache line: an interpolation that lands on the answer or next to it
// ends the search there.
#pragma once

#include "driver/fmap/lrbtree_node.h"
#include "driver/platform/errno_table.h"

constexpr ULONG lrb_entry_size_of(ULONG kind) {
    return kind == LRB_KIND_LEAF24 ? 8 : kind == LRB_KIND_LEAF32 ? 9 : kind == LRB_KIND_LEAF48 ? 11
                                                                    : kind == LRB_KIND_INDEX32 ? 12 : 14;
}
constexpr ULONG lrb_capacity_of(ULONG kind) {
    return LRB_NODE_SLOT_BYTES / lrb_entry_size_of(kind);
}

template <ULONG Kind>
inline UCHAR* lrb_entry_at(const lrb_node* node, ULONG i) {
    constexpr ULONG cap = lrb_capacity_of(Kind);
    ULONG s = node->h.head + i;
    s = s >= cap ? s - cap : s;
    return (UCHAR*)node->slots + (SIZE_T)s * lrb_entry_size_of(Kind);
}

template <ULONG Kind>
inline ULONG64 lrb_leaf_end_at(const lrb_node* node, ULONG i) {
    const UCHAR* e = lrb_entry_at<Kind>(node, i);
    return lrb_leaf_raw_key(Kind, e) + (e[lrb_leaf_length_offset(Kind)] & 63) + 1;
}

template <ULONG Kind>
inline void lrb_leaf_get_at(const lrb_node* node, ULONG i, lrbtree_leaf_rec* rec) {
    lrb_leaf_decode(Kind, lrb_entry_at<Kind>(node, i), rec);
}

// How far `key` lies from the node's low bound towards its high one, in units of 2^-32: what
// the first interpolation needs besides the entry count. It takes a division, which depends
// only on the bounds the parent gave, so it is worked out while the node's header is still on
// its way: the first probe is then a multiplication. ~0 when the offset does not fit.
inline ULONG64 lrb_first_fraction(ULONG64 key, ULONG64 low_key, ULONG64 high_key) {
    if (key < low_key || high_key <= key || ((key - low_key) >> 32) != 0) {
        return ~0ull;
    }
    return ((key - low_key) << 32) / (high_key - low_key);
}

// A position strictly between lo and hi (hi - lo >= 2), where `key` lies between their values.
// The first probe takes the fraction lrb_first_fraction gave, the later ones divide.
inline LONG lrb_next_probe(LONG lo, LONG hi, ULONG64 key, ULONG64 low_key, ULONG64 high_key, ULONG probes,
                           ULONG history, ULONG64 fraction) {
    if (hi - lo == 2) {
        return lo + 1;
    }
    ULONG inside = (ULONG)(hi - lo - 1);
    if (probes == 0 && fraction != ~0ull) {
        LONG p = lo + 1 + (LONG)((fraction * inside) >> 32);
        return p >= hi ? hi - 1 : p;
    }
    if ((probes > 3 && ((history & 15) == 0 || (history & 15) == 15)) || high_key <= low_key || key < low_key) {
        return lo + (hi - lo) / 2;
    }
    ULONG64 span = high_key - low_key;
    ULONG64 offset = key - low_key;
    // Spans below 2^23 keys take the cheaper 32-bit division (a node holds fewer than 512
    // entries, so the product fits).
    ULONG step = offset <= span && span < (1u << 23) ? (ULONG)offset * inside / (ULONG)span
                                                     : (ULONG)(offset * inside / span);
    LONG p = lo + 1 + (LONG)step;
    return p >= hi ? hi - 1 : p;
}

// First entry whose end lies above `key`; the count when none does.
template <ULONG Kind>
ULONG lrb_leaf_search(const lrb_node* node, ULONG64 key, ULONG64 low, ULONG64 high) {
    // end(lo) <= key < end(hi); lo = -1 stands for the node's low bound, hi = count for its high.
    ULONG64 fraction = lrb_first_fraction(key, low, high);
    LONG lo = -1;
    LONG hi = node->h.count;
    ULONG probes = 0;
    ULONG history = 0;
    while (hi - lo > 1) {
        LONG p = lrb_next_probe(lo, hi, key, low, high, probes, history, fraction);
        ULONG64 end = lrb_leaf_end_at<Kind>(node, (ULONG)p);
        probes++;
        if (end > key) {
            history = history << 1 | 1;
            if (p - 1 == lo) {
                return (ULONG)p;
            }
            ULONG64 before = lrb_leaf_end_at<Kind>(node, (ULONG)(p - 1));
            if (before <= key) {
                return (ULONG)p;
            }
            hi = p - 1;
            high = before;
            if (probes == 1 && lo == -1) {
                // The first guess went past: the node's bound lies well below its first entry
                // (as it does for the shard's first leaf), so bring in the first entry.
                ULONG64 first = lrb_leaf_end_at<Kind>(node, 0);
                if (first > key) {
                    return 0;
                }
                lo = 0;
                low = first;
            }
        } else {
            history = history << 1;
            if (p + 1 == hi) {
                return (ULONG)hi;
            }
            ULONG64 after = lrb_leaf_end_at<Kind>(node, (ULONG)(p + 1));
            if (after > key) {
                return (ULONG)(p + 1);
            }
            lo = p + 1;
            low = after;
            if (probes == 1 && hi == (LONG)node->h.count) {
                // The first guess fell short: bring in the last entry the same way.
                ULONG64 last = lrb_leaf_end_at<Kind>(node, (ULONG)(hi - 1));
                if (last <= key) {
                    return (ULONG)hi;
                }
                hi = hi - 1;
                high = last;
            }
        }
    }
    return (ULONG)hi;
}

// Child i with key(i) <= key < key(i + 1), -KPAV_ENOENT for an empty node. *low and *high come in
// as the node's bounds and go out as the child's: the bracket's values once it closes.
template <ULONG Kind>
LONG lrb_index_search(const lrb_node* node, ULONG64 key, ULONG64* low_io, ULONG64* high_io) {
    ULONG64 low = *low_io;
    ULONG64 high = *high_io;
    ULONG64 fraction = lrb_first_fraction(key, low, high);
    ULONG count = node->h.count;
    if (count == 0) {
        return -KPAV_ENOENT;
    }
    // key(lo) <= key < key(hi); entry 0 takes everything below entry 1 (its key is never
    // compared), and hi = count stands for the node's high bound.
    LONG lo = 0;
    LONG hi = (LONG)count;
    ULONG probes = 0;
    ULONG history = 0;
    while (hi - lo > 1) {
        LONG p = lrb_next_probe(lo, hi, key, low, high, probes, history, fraction);
        ULONG64 k = lrb_index_raw_key(Kind, lrb_entry_at<Kind>(node, (ULONG)p));
        probes++;
        if (k > key) {
            history = history << 1 | 1;
            hi = p;
            high = k;
            if (p - 1 == lo) {
                break;
            }
            ULONG64 before = lrb_index_raw_key(Kind, lrb_entry_at<Kind>(node, (ULONG)(p - 1)));
            if (before <= key) {
                lo = p - 1;
                low = before;
                break;
            }
            hi = p - 1;
            high = before;
            if (probes == 1 && hi > 1) {
                // The first guess went past: bring in entry 1, the first that is compared.
                ULONG64 second = lrb_index_raw_key(Kind, lrb_entry_at<Kind>(node, 1));
                if (second > key) {
                    hi = 1;
                    high = second;
                    break;
                }
                lo = 1;
                low = second;
            }
        } else {
            history = history << 1;
            lo = p;
            low = k;
            if (p + 1 == hi) {
                break;
            }
            ULONG64 after = lrb_index_raw_key(Kind, lrb_entry_at<Kind>(node, (ULONG)(p + 1)));
            if (after > key) {
                hi = p + 1;
                high = after;
                break;
            }
            lo = p + 1;
            low = after;
            if (probes == 1 && hi == (LONG)count && hi - lo > 1) {
                // The first guess fell short: bring in the last entry.
                ULONG64 last = lrb_index_raw_key(Kind, lrb_entry_at<Kind>(node, count - 1));
                if (last <= key) {
                    lo = (LONG)count - 1;
                    low = last;
                    break;
                }
                hi = (LONG)count - 1;
                high = last;
            }
        }
    }
    *low_io = low;
    *high_io = high;
    return lo;
}

// Descends from the root to the node of `level` whose range holds `key`: 0, or -KPAV_ENOENT for an
// empty shard (or an empty index node on the way). Only the levels from the root down to `level`
// are filled, and with Clear the one above the root is emptied: separator updates stop there (no
// one looks at the others; a walk, which only steps along its level, leaves it too).
template <ULONG IndexKind, bool Clear = true>
int lrb_descend(const lrbtree_cursor* cursor, lrbtree_path* path, ULONG64 key, ULONG level) {
    mblk* node = cursor->root;
    if (node == nullptr) {
        lrbtree_path_reset(path);
        return -KPAV_ENOENT;
    }
    if (Clear && cursor->depth + 1 < (LONG)LRB_MAX_LEVELS) {
        path->level[cursor->depth + 1].node = nullptr;
        path->level[cursor->depth + 1].index = -1;
    }
    ULONG64 low = 0;
    ULONG64 high = cursor->span;
    for (LONG l = cursor->depth; l > (LONG)level; l--) {
        const lrb_node* n = lrb_node_of(node);
        lrbtree_path_level* at = &path->level[l];
        at->node = node;
        at->low = low;
        at->high = high;
        LONG i = lrb_index_search<IndexKind>(n, key, &low, &high);
        at->index = i;
        if (i < 0) {
            lrbtree_path_reset(path);
            return -KPAV_ENOENT;
        }
        node = (mblk*)lrb_index_raw_child(IndexKind, lrb_entry_at<IndexKind>(n, (ULONG)i));
    }
    lrbtree_path_level* at = &path->level[level];
    at->node = node;
    at->index = -1;
    at->low = low;
    at->high = high;
    return 0;
}
