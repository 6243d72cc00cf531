// The reverse sort: records of the scan in paged arrays, a three-pass radix sort by sector, and
// the merge that keeps what was written last.
#include "driver/fmap/rsort.h"

#include "driver/fmap/lrbtree_bulk.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/memory.h"

namespace {

constexpr ULONG64 SECTOR_MASK = (1ull << 56) - 1;
constexpr ULONG TRIM_FLAG = 0x80000000u;
constexpr ULONG64 MAX_LENGTH = 0x7FFFFFFF;
constexpr ULONG RECORDS_PER_PAGE = 256;
constexpr ULONG PAGES_PER_DIRECTORY = 512;
constexpr ULONG DIGITS = 65536;

inline ULONG64 rec_start(const rsort_record* r) {
    return r->head & SECTOR_MASK;
}
inline ULONG64 rec_address(const rsort_record* r) {
    return (r->head >> 56) << 32 | r->address;
}
inline ULONG64 rec_length(const rsort_record* r) {
    return r->length & ~TRIM_FLAG;
}
inline bool rec_trim(const rsort_record* r) {
    return (r->length & TRIM_FLAG) != 0;
}
inline void rec_set(rsort_record* r, ULONG64 start, ULONG64 length, bool trim, ULONG64 address) {
    r->head = (start & SECTOR_MASK) | (address >> 32 & 0xFF) << 56;
    r->length = (ULONG)length | (trim ? TRIM_FLAG : 0);
    r->address = (ULONG)address;
}

inline rsort_record* rec_at(const rsort_array* a, ULONG64 i) {
    return &a->top[i >> 17][(i >> 8) & (PAGES_PER_DIRECTORY - 1)][i & (RECORDS_PER_PAGE - 1)];
}

// Record pages [from, to) of an array (in records, multiples of 256).
int array_grow(rsort_ctx* ctx, rsort_array* a, ULONG64 from, ULONG64 to) {
    for (ULONG64 i = from; i < to; i += RECORDS_PER_PAGE) {
        ULONG64 t = i >> 17;
        if (a->top[t] == nullptr) {
            void* directory = nullptr;
            int rc = pav_page_pool_get(&directory, &ctx->log->md_pages);
            if (rc != 0) {
                return rc;
            }
            memset(directory, 0, PAV_PAGE_SIZE);
            a->top[t] = (rsort_record**)directory;
        }
        rsort_record** page = &a->top[t][(i >> 8) & (PAGES_PER_DIRECTORY - 1)];
        if (*page == nullptr) {
            void* records = nullptr;
            int rc = pav_page_pool_get(&records, &ctx->log->md_pages);
            if (rc != 0) {
                return rc;
            }
            *page = (rsort_record*)records;
        }
    }
    return 0;
}

void array_free(rsort_ctx* ctx, rsort_array* a) {
    if (a->top == nullptr) {
        return;
    }
    for (ULONG t = 0; t < a->top_slots; t++) {
        rsort_record** directory = a->top[t];
        if (directory == nullptr) {
            continue;
        }
        for (ULONG i = 0; i < PAGES_PER_DIRECTORY; i++) {
            if (directory[i] != nullptr) {
                pav_page_pool_put(&ctx->log->md_pages, directory[i]);
            }
        }
        pav_page_pool_put(&ctx->log->md_pages, directory);
    }
    kpav_free(a->top, KPAV_TAG_VML);
    a->top = nullptr;
}

int array_init(rsort_array* a, ULONG64 records) {
    a->top_slots = (ULONG)((records + (1ull << 17) - 1) >> 17);
    if (a->top_slots == 0) {
        a->top_slots = 1;
    }
    a->top = (rsort_record***)kpav_zalloc(a->top_slots * sizeof(void*), KPAV_TAG_VML);
    return a->top != nullptr ? 0 : -KPAV_ENOMEM;
}

// The write order of the log's LEBs: the chain from its head.
int order_init(rsort_ctx* ctx) {
    pav_log* log = ctx->log;
    ctx->ordinal_of = (USHORT*)kpav_zalloc((SIZE_T)log->eb_count * sizeof(USHORT), KPAV_TAG_VML);
    ctx->leb_of = (USHORT*)kpav_zalloc((SIZE_T)log->eb_count * sizeof(USHORT), KPAV_TAG_VML);
    if (ctx->ordinal_of == nullptr || ctx->leb_of == nullptr) {
        return -KPAV_ENOMEM;
    }
    for (ULONG i = 0; i < log->eb_count; i++) {
        ctx->ordinal_of[i] = PAV_NO_LEB;
    }
    ULONG n = 0;
    for (USHORT leb = log->head_leb; leb < log->eb_count && n < log->eb_count && ctx->ordinal_of[leb] == PAV_NO_LEB;
         leb = log->lebs[leb].next) {
        ctx->ordinal_of[leb] = (USHORT)n;
        ctx->leb_of[n++] = leb;
    }
    ctx->ordered_lebs = n;
    return 0;
}

}  // namespace

int rsort_create(rsort_ctx** out, ULONG64 record_limit, pav_log* log, ULONG shard_count) {
    PAGED_CODE();
    *out = nullptr;
    rsort_ctx* ctx = (rsort_ctx*)kpav_zalloc(sizeof(rsort_ctx), KPAV_TAG_MAL);
    if (ctx == nullptr) {
        return -KPAV_ENOMEM;
    }
    ctx->log = log;
    ctx->shard_count = shard_count;
    ctx->limit = record_limit < RSORT_MAX_RECORDS ? record_limit : RSORT_MAX_RECORDS;
    ULONG64 capacity = (ctx->limit + RSORT_STEP - 1) / RSORT_STEP * RSORT_STEP;
    ctx->counters = (ULONG*)kpav_zalloc(3 * DIGITS * sizeof(ULONG), KPAV_TAG_VML);
    int rc = ctx->counters == nullptr ? -KPAV_ENOMEM : 0;
    if (rc == 0) rc = array_init(&ctx->source, capacity);
    if (rc == 0) rc = array_init(&ctx->sorted, capacity);
    if (rc == 0) rc = order_init(ctx);
    if (rc != 0) {
        rsort_destroy(&ctx);
        return rc;
    }
    *out = ctx;
    return 0;
}

int rsort_reserve(rsort_ctx* ctx, ULONG64 n) {
    PAGED_CODE();
    if (ctx->used + n > ctx->limit) {
        return -KPAV_ENOMEM;
    }
    if (ctx->used + n <= ctx->allocated) {
        return 0;
    }
    ULONG64 target = ctx->allocated;
    while (target < ctx->used + n) {
        target += RSORT_STEP;
    }
    int rc = array_grow(ctx, &ctx->source, ctx->allocated, target);
    if (rc == 0) {
        rc = array_grow(ctx, &ctx->sorted, ctx->allocated, target);
    }
    if (rc != 0) {
        return rc;  // the pages made stay for destroy
    }
    ctx->steps += (ULONG)((target - ctx->allocated) / RSORT_STEP);
    ctx->allocated = target;
    return 0;
}

namespace {

int add_record(rsort_ctx* ctx, ULONG64 start, ULONG64 length, bool trim, ULONG64 ordered) {
    if (ordered >> 40 != 0) {
        return -KPAV_ERANGE;  // a record keeps 40 bits of it
    }
    int rc = rsort_reserve(ctx, 1);
    if (rc != 0) {
        return rc;
    }
    rec_set(rec_at(&ctx->source, ctx->used++), start, length, trim, ordered);
    return 0;
}

ULONG64 ordered_address(const rsort_ctx* ctx, USHORT ordinal, ULONG offset) {
    return PAV_LOG_FIRST_ADDR + (ULONG64)ctx->log->leb_span * ordinal + offset;
}

// A trim's range in records of at most 2^31 - 1 sectors.
int add_trim(rsort_ctx* ctx, const lrbtree_range* range, ULONG64 ordered) {
    for (ULONG64 done = 0; done < range->length;) {
        ULONG64 n = range->length - done < MAX_LENGTH ? range->length - done : MAX_LENGTH;
        int rc = add_record(ctx, range->start + done, n, true, ordered);
        if (rc != 0) {
            return rc;
        }
        done += n;
    }
    return 0;
}

}  // namespace

int rsort_add(rsort_ctx* ctx, const lrbtree_range* range, bool trim, USHORT leb, ULONG offset) {
    PAGED_CODE();
    if (range->length == 0) {
        return 0;
    }
    if (range->start >= LRB_MAX_SECTOR_SPACE || range->length > LRB_MAX_SECTOR_SPACE - range->start ||
        leb >= ctx->log->eb_count || ctx->ordinal_of[leb] == PAV_NO_LEB || offset >= ctx->log->leb_span) {
        return -KPAV_EINVAL;
    }
    ULONG64 ordered = ordered_address(ctx, ctx->ordinal_of[leb], offset);
    if (trim) {
        return add_trim(ctx, range, ordered);
    }
    ULONG capacity = datalog_leb_capacity(ctx->log, leb);
    if (offset >= capacity || range->length > capacity - offset) {
        return -KPAV_EINVAL;
    }
    return add_record(ctx, range->start, range->length, false, ordered);
}

int rsort_add_at_log_position(rsort_ctx* ctx, const lrbtree_range* range, ULONG64 position) {
    PAGED_CODE();
    if (range->length == 0) {
        return 0;
    }
    if (range->start >= LRB_MAX_SECTOR_SPACE || range->length > LRB_MAX_SECTOR_SPACE - range->start) {
        return -KPAV_EINVAL;
    }
    ULONG64 sequence = position >> 24;
    // The first LEB in write order whose sequence is not below the position's.
    ULONG lo = 0;
    ULONG hi = ctx->ordered_lebs;
    while (lo < hi) {
        ULONG mid = lo + (hi - lo) / 2;
        if (ctx->log->lebs[ctx->leb_of[mid]].sequence < sequence) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    ULONG64 ordered;
    if (lo < ctx->ordered_lebs && ctx->log->lebs[ctx->leb_of[lo]].sequence == sequence) {
        // An offset past the LEB's packets still orders within it.
        ULONG offset = (ULONG)(position & 0xFFFFFF);
        ordered = ordered_address(ctx, (USHORT)lo, offset < ctx->log->leb_span ? offset : ctx->log->leb_span - 1);
    } else if (lo == 0) {
        return 0;  // older than every packet of the log: nothing to cut
    } else {
        // After every packet of the LEB written before (its last offset of the span).
        ordered = ordered_address(ctx, (USHORT)(lo - 1), ctx->log->leb_span - 1);
    }
    return add_trim(ctx, range, ordered);
}

// ---------------------------------------------------------------------------------------------
// Sort

namespace {

// Stable least-significant-digit radix sort of the records by bits 0-47 of the first sector:
// three passes of 16 bits, source to sorted, sorted to source, source to sorted.
void sort_records(rsort_ctx* ctx) {
    ULONG64 n = ctx->used;
    ULONG* count = ctx->counters;
    memset(count, 0, 3 * DIGITS * sizeof(ULONG));
    for (ULONG64 i = 0; i < n; i++) {
        ULONG64 s = rec_start(rec_at(&ctx->source, i));
        count[s & 0xFFFF]++;
        count[DIGITS + (s >> 16 & 0xFFFF)]++;
        count[2 * DIGITS + (s >> 32 & 0xFFFF)]++;
    }
    for (ULONG d = 0; d < 3; d++) {
        ULONG sum = 0;
        for (ULONG i = 0; i < DIGITS; i++) {
            ULONG c = count[d * DIGITS + i];
            count[d * DIGITS + i] = sum;
            sum += c;
        }
    }
    rsort_array* from = &ctx->source;
    rsort_array* to = &ctx->sorted;
    for (ULONG d = 0; d < 3; d++) {
        ULONG* at = count + d * DIGITS;
        for (ULONG64 i = 0; i < n; i++) {
            const rsort_record* r = rec_at(from, i);
            *rec_at(to, at[rec_start(r) >> (16 * d) & 0xFFFF]++) = *r;
        }
        rsort_array* t = from;
        from = to;
        to = t;
    }
    // Three passes leave the result where the first one wrote.
}

// Cuts the front of a record off up to `end`: a data record's address moves with its start.
void cut(rsort_record* r, ULONG64 end) {
    ULONG64 start = rec_start(r);
    ULONG64 length = rec_length(r);
    if (start >= end) {
        return;
    }
    ULONG64 delta = end - start;
    if (delta >= length) {
        r->head &= ~SECTOR_MASK;
        r->length &= TRIM_FLAG;  // length 0: cleared
        return;
    }
    ULONG64 address = rec_trim(r) ? rec_address(r) : rec_address(r) + delta;
    rec_set(r, end, length - delta, rec_trim(r), address);
}

// The shard being filled while the merge moves up the sector space.
struct emitter {
    lrbtree* map;
    rsort_ctx* ctx;
    const lrbtree_validity* validity;
    bool open;
    ULONG shard;
    ULONG64 base;
    ULONG64 end;
    lrbtree_cursor cursor;
    lrbtree_bulk_builder builder;
};

int emitter_close(emitter* e, int rc) {
    if (!e->open) {
        return rc;
    }
    e->open = false;
    return lrbtree_build_end(&e->cursor, &e->builder, rc);
}

// Sectors [start, start + length) at packets from `gpkt` (all in one LEB) go into the map, cut
// at shard ends and into entries of at most 64 keys.
int emit(emitter* e, ULONG64 start, ULONG64 length, ULONG64 gpkt) {
    lrbtree* map = e->map;
    if (start >= map->sector_length || length > map->sector_length - start) {
        return -KPAV_EINVAL;  // data beyond the device's sectors
    }
    int rc = lrbtree_mark_valid(map->owner, e->validity, gpkt, (ULONG)length);
    while (rc == 0 && length != 0) {
        if (!e->open || start >= e->end) {
            rc = emitter_close(e, 0);
            if (rc != 0) {
                return rc;
            }
            e->shard = lrbtree_shard_of(map, start);
            e->open = true;
            rc = lrbtree_build_begin(map, e->shard, &e->cursor, &e->builder, "rsort");
            e->base = e->cursor.base;
            e->end = e->base + e->cursor.span;
            if (rc != 0) {
                return emitter_close(e, rc);
            }
        }
        ULONG64 n = length < LRB_MAX_RUN ? length : LRB_MAX_RUN;
        if (n > e->end - start) {
            n = e->end - start;
        }
        bool flushed = false;
        rc = lrbtree_build_add(&e->builder, start - e->base, (ULONG)n, gpkt, &flushed);
        start += n;
        length -= n;
        gpkt += n;
    }
    return rc;
}

// The data record's packet address: its ordered address with its LEB put back.
ULONG64 packet_address(const rsort_ctx* ctx, const rsort_record* r) {
    ULONG64 ordered = rec_address(r) - PAV_LOG_FIRST_ADDR;
    ULONG64 ordinal = ordered / ctx->log->leb_span;
    return pav_log_addr(ctx->log, ctx->leb_of[ordinal], (ULONG)(ordered % ctx->log->leb_span));
}

// The ordered address of a record at sector y of it: a data record's grows with the sector, a
// trim's is the same throughout.
inline ULONG64 address_at(const rsort_record* r, ULONG64 y) {
    return rec_trim(r) ? rec_address(r) : rec_address(r) + (y - rec_start(r));
}

// Whether s is newer than c at sector y. At the same place a trim comes before the data.
inline bool newer_at(const rsort_record* s, const rsort_record* c, ULONG64 y) {
    ULONG64 x = address_at(s, y);
    ULONG64 w = address_at(c, y);
    return x > w || (x == w && !rec_trim(s) && rec_trim(c));
}

// The first sector from s's start on where s, overlapping the candidate c, is newer than c:
// ~0 when there is none in their overlap. Two records of one kind keep their order along the
// overlap; data grows past a trim where its packets were written after the trim came.
ULONG64 takeover(const rsort_record* c, const rsort_record* s) {
    ULONG64 from = rec_start(s);
    ULONG64 c_end = rec_start(c) + rec_length(c);
    ULONG64 s_end = from + rec_length(s);
    ULONG64 limit = c_end < s_end ? c_end : s_end;
    if (newer_at(s, c, from)) {
        return from;
    }
    if (rec_trim(c) && !rec_trim(s)) {
        ULONG64 x = from + (rec_address(c) - address_at(s, from));  // where s reaches the trim
        return x < limit ? x : ~0ull;
    }
    return ~0ull;
}

// Merges the sorted records: every sector goes to the newest record that covers it, by its own
// packet (a scan record may join writes from both sides of a trim); a trim that wins maps
// nothing. Round by round: among the records that start at the lowest sector, the newest at that
// sector reigns until the end of its range or the first sector where a record it overlaps is
// newer; what it covers is emitted and every record up to there loses that part.
int merge(emitter* e) {
    rsort_ctx* ctx = e->ctx;
    rsort_array* a = &ctx->sorted;
    ULONG64 n = ctx->used;
    ULONG64 i = 0;
    while (i < n && rec_length(rec_at(a, i)) == 0) {
        i++;
    }
    while (i < n) {
        ULONG64 c_start = rec_start(rec_at(a, i));
        rsort_record* candidate = rec_at(a, i);
        ULONG64 j = i + 1;
        for (; j < n; j++) {
            rsort_record* s = rec_at(a, j);
            if (rec_length(s) == 0) {
                continue;
            }
            if (rec_start(s) != c_start) {
                break;
            }
            if (newer_at(s, candidate, c_start)) {
                candidate = s;
            }
        }
        ULONG64 emit_end = c_start + rec_length(candidate);
        for (j = i; j < n; j++) {
            rsort_record* s = rec_at(a, j);
            if (rec_length(s) == 0 || s == candidate) {
                continue;
            }
            if (rec_start(s) >= emit_end) {
                break;
            }
            ULONG64 x = takeover(candidate, s);
            if (x < emit_end) {
                emit_end = x;
            }
        }
        if (!rec_trim(candidate)) {
            int rc = emit(e, c_start, emit_end - c_start, packet_address(ctx, candidate));
            if (rc != 0) {
                return rc;
            }
        }
        for (ULONG64 k = i; k < j; k++) {
            rsort_record* s = rec_at(a, k);
            if (rec_length(s) != 0 && rec_start(s) < emit_end) {
                cut(s, emit_end);
            }
        }
        while (i < n && rec_length(rec_at(a, i)) == 0) {
            i++;
        }
        ctx->consumed = i;
    }
    return 0;
}

}  // namespace

int rsort_build_forward_map(lrbtree* fmap, rsort_ctx* ctx, const lrbtree_validity* validity) {
    PAGED_CODE();
    sort_records(ctx);
    array_free(ctx, &ctx->source);
    ExAcquireFastMutex(&fmap->writers);
    int rc = fmap->shape.error;
    emitter e = {};
    e.map = fmap;
    e.ctx = ctx;
    e.validity = validity;
    if (rc == 0) {
        rc = merge(&e);
    }
    rc = emitter_close(&e, rc);
    ExReleaseFastMutex(&fmap->writers);
    return rc;
}

void rsort_destroy(rsort_ctx** ctx) {
    PAGED_CODE();
    rsort_ctx* c = *ctx;
    if (c == nullptr) {
        return;
    }
    array_free(c, &c->source);
    array_free(c, &c->sorted);
    kpav_free(c->counters, KPAV_TAG_VML);
    kpav_free(c->ordinal_of, KPAV_TAG_VML);
    kpav_free(c->leb_of, KPAV_TAG_VML);
    kpav_free(c, KPAV_TAG_MAL);
    *ctx = nullptr;
}
