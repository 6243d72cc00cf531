// The metadata table: sizing, recording of written and moved packets, trims, invalidation.
#include "driver/block/mdt.h"

#include "driver/block/bdev.h"
#include "driver/fmap/lrbtree_internal.h"
#include "driver/fmap/lrbtree_node.h"
#include "driver/log/datalog.h"
#include "driver/log/mblk.h"
#include "driver/log/pbitmap.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/log.h"

namespace {

ULONG64 ceil_div(ULONG64 a, ULONG64 b) {
    return (a + b - 1) / b;
}

const char* name_of(const mdt_context* context) {
    return datalog_device_name(context->log);
}

void internal_error(mdt_context* context) {
    pav_log* log = context->log;
    if (log != nullptr && log->state.value != PAV_LOG_UNRECOVERABLE_ERROR) {
        pav_log_internal_error(log, PAV_LOG_ERROR_ATTACH, 0, 0);
    }
}

void metadata_hook(bdev* device, int starting) {
    if (device != nullptr && device->iface != nullptr && device->iface->ops != nullptr &&
        device->iface->ops->metadata_update != nullptr) {
        device->iface->ops->metadata_update(device, starting);
    }
}

// Sets (or clears) the validity of `count` packets from `offset` of LEB `leb` and moves its
// valid count with them. Up to DISPATCH_LEVEL.
void change_validity(mdt_context* context, ULONG leb, ULONG offset, ULONG count, bool valid) {
    pav_log* log = context->log;
    if (context->validity != nullptr) {
        ULONG64 bit = (ULONG64)leb * context->bits_per_leb + offset;
        if (valid) {
            pav_pbitmap_set_range(context->validity, bit, count);
        } else {
            pav_pbitmap_clear_range(context->validity, bit, count);
        }
    }
    if (log->counters != nullptr && leb < log->eb_count) {
        InterlockedExchangeAdd(&log->counters[leb].valid, valid ? (LONG)count : -(LONG)count);
    }
}

// Maps the placement's packets to keys from `first_key`, one record of at most 64 keys at a
// time, so that a failure tells exactly which keys the map took: *applied counts them. The sum
// of the records' net changes goes to *out_sum.
int update_placement(mdt_context* context, const pav_addr_block* placement, ULONG64 first_key, LONG64* out_sum,
                     ULONG64* applied) {
    ULONG64 key = first_key;
    *out_sum = 0;
    *applied = 0;
    for (ULONG piece = 0; piece < placement->count; piece++) {
        ULONG64 length = placement->packet_counts[piece];
        for (ULONG64 done = 0; done < length;) {
            ULONG64 count = length - done < LRB_MAX_RUN ? length - done : LRB_MAX_RUN;
            lrbtree_update_rec record = {
                key + done, count,
                pav_log_addr(context->log, placement->vectors[piece].eb, placement->vectors[piece].lpkt + (ULONG)done),
                0, 0};
            int rc = lrbtree_update(context->map, &record, 1);
            if (rc != 0) {
                return rc;
            }
            *out_sum += record.out;
            *applied += count;
            done += count;
        }
        key += length;
    }
    return 0;
}

// Takes the validity back from the placement's packets after its first `skip`.
void drop_validity(mdt_context* context, const pav_addr_block* placement, ULONG64 skip) {
    for (ULONG i = 0; i < placement->count; i++) {
        ULONG64 length = placement->packet_counts[i];
        if (skip >= length) {
            skip -= length;
            continue;
        }
        change_validity(context, placement->vectors[i].eb, placement->vectors[i].lpkt + (ULONG)skip,
                        (ULONG)(length - skip), false);
        skip = 0;
    }
}

// Adds `delta` to the partition that holds [key, key + count): 0, -22 when the range crosses
// its end; a range in no partition, or in one that is not online, counts nowhere.
int account_range(mdt_partition_table* table, ULONG64 key, ULONG64 count, LONG64 delta) {
    int rc = 0;
    kpav_spin_lock(&table->lock);
    for (ULONG i = 0; i < table->count; i++) {
        mdt_partition* p = &table->slots[i];
        if (p->base + p->length <= key) {
            continue;
        }
        if (key < p->base) {
            // Before this partition: in none, unless it reaches into it.
            rc = count > p->base - key ? -KPAV_EINVAL : 0;
            break;
        }
        if (p->state != MDT_PARTITION_ONLINE) {
            break;
        }
        if (count > p->base + p->length - key) {
            rc = -KPAV_EINVAL;
        } else {
            InterlockedExchangeAdd64(p->usage != nullptr ? p->usage : &p->used, delta);
        }
        break;
    }
    kpav_spin_unlock(&table->lock);
    return rc;
}

}  // namespace

void mdt_size(const mdt_context* context, const mdt_attach* attach, mdt_sizing* out) {
    ULONG64 group = context->expected_io_size != 0 && attach->sector_size != 0
                        ? context->expected_io_size / attach->sector_size
                        : 1;
    if (group == 0) {
        group = 1;
    }
    ULONG64 entries = (attach->sector_count + 10000) / group;
    bool narrow = attach->sector_count + 10000 <= (1ull << 32) && context->sector_space < (1ull << 32);
    ULONG64 leaf_fill = narrow ? 301 : 246;
    ULONG64 index_fill = narrow ? 226 : 194;
    ULONG64 leaves = ceil_div(entries, leaf_fill);
    ULONG64 index_nodes = 0;
    ULONG64 x = leaves;
    do {
        x = ceil_div(x, index_fill);
        index_nodes += x;
    } while (x > 1);
    ULONG64 total = leaves + index_nodes + 3;
    // In 64 bits: a limit of 4 GiB or more, or large maps, overflow 32.
    ULONG64 limit = (ULONG64)context->preallocate_mb * (1ull << 20) / 4104;
    if (limit != 0 && limit < total) {
        leaves = limit * leaves / total;
        index_nodes = limit * index_nodes / total;
        total = leaves + index_nodes + 3;
    }
    *out = {leaves, index_nodes, total};
}

int mdt_init(mdt_context* context, const mdt_attach* attach) {
    PAGED_CODE();
    pav_log* log = context->log;
    mdt_sizing sizing;
    mdt_size(context, attach, &sizing);
    if (log->md_pages.preallocated != 0) {
        const ULONG64 amounts[3] = {4, sizing.index_nodes + 1, sizing.leaves + 1};
        for (ULONG64 amount : amounts) {
            int rc = mblk_page_alloc(log, amount);
            if (rc == 0) {
                rc = pav_page_pool_fill(&log->md_pages, amount);
                if (rc != 0) {
                    mblk_page_reserve(log, amount);
                }
            }
            if (rc != 0) {
                kpav_print(KPAV_CLASS_ERROR, "%s: Inadequate memory available - metadata blocks (%lluMiB) needed.\n",
                           name_of(context), (sizing.total * 4096 + 8) >> 20);
                return rc;
            }
        }
    }
    // The map starts without a header block: the attach either loads one or resets the map.
    int rc = lrbtree_create(&context->map, log, attach->sector_count, context->sector_space);
    if (rc != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Internal software error - mdt init.\n", name_of(context));
        return rc;
    }
    lrbtree_set_invalidate(context->map, mdt_invalidate, context);
    return 0;
}

void mdt_exit(mdt_context* context) {
    PAGED_CODE();
    if (context->map != nullptr) {
        lrbtree_destroy(&context->map);
    }
}

void mdt_mark_valid(mdt_context* context, const pav_addr_block* placement) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    for (ULONG i = 0; i < placement->count && i < 3; i++) {
        change_validity(context, placement->vectors[i].eb, placement->vectors[i].lpkt, placement->packet_counts[i],
                        true);
    }
}

LONG64 mdt_sum_out(const lrbtree_update_rec* records, ULONG n) {
    LONG64 sum = 0;
    for (ULONG i = 0; i < n; i++) {
        sum += records[i].out;
    }
    return sum;
}

int mdt_account_partitions(mdt_context* context, const lrbtree_update_rec* records, ULONG n) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (context->partitions == nullptr) {
        return 0;
    }
    for (ULONG i = 0; i < n; i++) {
        if (records[i].out != 0) {
            int rc = account_range(context->partitions, records[i].key, records[i].count, records[i].out);
            if (rc != 0) {
                return rc;
            }
        }
    }
    return 0;
}

int mdt_record_sectors(mdt_context* context, ULONG flags, const pav_addr_block* placement, bdev* device,
                       const lrbtree_range* range) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    ULONG64 packets = 0;
    for (ULONG i = 0; i < placement->count && i < 3; i++) {
        packets += placement->packet_counts[i];
    }
    int rc = 0;
    LONG64 out = 0;
    if (placement->count == 0 || placement->count > 3 || packets != range->length) {
        rc = -KPAV_EINVAL;
        kpav_print(KPAV_CLASS_ERROR, "%s: Failed to record sectors in mdt.\n", name_of(context));
    } else {
        // The new packets are valid before the map points at them: an update racing this one
        // may displace them at once, and must find their bits set to clear them. A key already
        // mapped to the very same packets (a replay) keeps them: the invalidation leaves a
        // record's own packets alone.
        for (ULONG i = 0; i < placement->count; i++) {
            change_validity(context, placement->vectors[i].eb, placement->vectors[i].lpkt, placement->packet_counts[i],
                            true);
        }
        ULONG64 applied = 0;
        metadata_hook(device, 1);
        rc = update_placement(context, placement, range->start, &out, &applied);
        metadata_hook(device, 0);
        if (rc != 0) {
            // What the map did not take is not valid data.
            drop_validity(context, placement, applied);
            kpav_print(KPAV_CLASS_ERROR, "%s: Failed to record sectors in mdt.\n", name_of(context));
        }
    }
    if (rc == 0 && (flags & MDT_NO_PARTITION_ACCOUNTING) == 0) {
        if ((flags & MDT_DATA_MOVE) != 0) {
            if (out != 0) {
                kpav_print(KPAV_CLASS_ERROR, "%s: Internal software error - data move.\n", name_of(context));
                rc = -KPAV_EIO;
            }
        } else if (out != 0 && context->partitions != nullptr) {
            lrbtree_update_rec whole = {range->start, range->length, 0, 0, out};
            rc = mdt_account_partitions(context, &whole, 1);
            if (rc != 0) {
                kpav_print(KPAV_CLASS_ERROR, "%s: Internal software erorr - vsu actg.\n", name_of(context));
            }
        }
    }
    if (rc != 0) {
        if ((flags & MDT_REPLAY) == 0) {
            internal_error(context);
        }
        return rc;
    }
    if ((flags & MDT_REPLAY) == 0) {
        ULONG last = placement->count - 1;
        pav_log_set_written_pos(context->log, placement->vectors[last].eb,
                                placement->vectors[last].lpkt + placement->packet_counts[last]);
    }
    return 0;
}

int mdt_trim(mdt_context* context, ULONG flags, bdev* device, const lrbtree_range* range, ULONG64 unmap,
             LONG64* out) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    lrbtree_update_rec record = {range->start, range->length, 0, unmap, 0};
    metadata_hook(device, 1);
    int rc = lrbtree_update(context->map, &record, 1);
    metadata_hook(device, 0);
    *out = record.out;
    if (rc != 0 && rc != -KPAV_ENOENT) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Internal software error - md trim.\n", name_of(context));
        internal_error(context);
        return rc;
    }
    if (record.out != 0 && (flags & MDT_NO_PARTITION_ACCOUNTING) == 0 && context->partitions != nullptr) {
        int accounted = mdt_account_partitions(context, &record, 1);
        if (accounted != 0 && accounted != -KPAV_ENXIO) {
            kpav_print(KPAV_CLASS_ERROR, "%s: Internal software error - vsu trim.\n", name_of(context));
            internal_error(context);
            return accounted;
        }
    }
    return 0;
}

int mdt_invalidate(void* context_arg, ULONG64 first_key, ULONG64 length, ULONG64 gpkt, lrbtree_update_rec* record) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    auto* context = (mdt_context*)context_arg;
    pav_log* log = context->log;
    // A run displaced by the very packets that map it again (a replay of a recorded write) stays
    // valid; its LEB counted them twice, once before and once now.
    if (record != nullptr && record->unmap == 0 && first_key >= record->key &&
        gpkt == record->gpkt + (first_key - record->key)) {
        ULONG leb = (ULONG)((gpkt - PAV_LOG_FIRST_ADDR) / log->leb_span);
        if (log->counters != nullptr && leb < log->eb_count) {
            InterlockedExchangeAdd(&log->counters[leb].valid, -(LONG)length);
        }
        return 0;
    }
    ULONG64 address = gpkt;
    ULONG64 left = length;
    while (left > 0 && address >= PAV_LOG_FIRST_ADDR && address != ~0ull) {
        ULONG leb = (ULONG)((address - PAV_LOG_FIRST_ADDR) / log->leb_span);
        ULONG offset = (ULONG)((address - PAV_LOG_FIRST_ADDR) % log->leb_span);
        // A run that reaches past its LEB's packets goes on in the next LEB of the chain.
        ULONG64 in_leb = offset < log->packets_per_leb ? log->packets_per_leb - offset : 1;
        ULONG count = (ULONG)(left < in_leb ? left : in_leb);
        mdt_groomer* groomer = context->groomer;
        bool groomed = groomer != nullptr && (ULONG)ReadNoFence(&groomer->eb) == leb;
        if (groomed) {
            kpav_spin_lock(&groomer->lock);
        }
        change_validity(context, leb, offset, count, false);
        if (groomed) {
            if (groomer->mark_stale != nullptr) {
                groomer->mark_stale(groomer, offset, count);
            }
            kpav_spin_unlock(&groomer->lock);
        }
        left -= count;
        address = left > 0 ? pav_log_addr_advance(log, address, count) : address;
    }
    return 0;
}

int mdt_mapped_outside_reserved(mdt_context* context, ULONG64* out) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    *out = 0;
    ULONG64 reserved = 0;
    lrbtree_range range{};
    int rc = lrbtree_enumerate(context->map, &range, &lrbtree_count_mapped, &reserved, 0, LRB_RESERVED_BASE, LRB_KEY_END);
    if (rc != 0) {
        return rc;
    }
    const lrb_header_block* header = lrb_header_of(&context->map->shape);
    ULONG64 mapped = header != nullptr ? header->mapped_keys : 0;
    *out = mapped > reserved ? mapped - reserved : 0;
    return 0;
}
