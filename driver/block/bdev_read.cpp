// The data block device's reads: enumeration passes over the forward map, their requests, the
// completion that starts the next pass or ends the bio, and the synchronous read.
#include "driver/block/bdev_read.h"

#include "driver/block/bdev_data.h"
#include "driver/block/bio.h"
#include "driver/block/devstats.h"
#include "driver/fmap/lrbtree.h"
#include "driver/block/mdt.h"
#include "driver/log/datalog.h"
#include "driver/pipeline/pipeline.h"
#include "driver/pipeline/request.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"
#include "driver/platform/time.h"

namespace {

// The packet-kind byte of a read: user sectors, and the keys of the reserved range.
constexpr UCHAR PACKET_KIND_USER = 0x90;
constexpr UCHAR PACKET_KIND_SYSTEM = 0xA0;

bdev_data* data_of(const bdev* device) {
    return (bdev_data*)device->owner;
}

pav_log* log_of(const bdev* device) {
    return data_of(device)->mdt->log;
}

velkor_request* head_of(const bio* b) {
    return b->ioctx->request;
}

// Sectors one request may carry: the log's largest read, and what one request's data length
// can describe.
ULONG64 request_sectors(const bdev* device) {
    ULONG64 most = 0xFFFFFFFFull / device->sector_size;
    ULONG largest = data_of(device)->largest_read;
    return largest != 0 && largest < most ? largest : most;
}

// The request for the next piece of the pass: the bio's own request first, then one kept from
// the pass before, then a new one from the pool (never waiting). NULL when none is left.
velkor_request* take_request(bio* b) {
    bio_read_state* s = &b->read;
    velkor_request* head = head_of(b);
    velkor_request* request = nullptr;
    if (s->built == 0) {
        request = head;
    } else if (!IsListEmpty(&s->spares)) {
        request = CONTAINING_RECORD(RemoveHeadList(&s->spares), velkor_request, chain_link);
        request_reset(request, head);
    } else {
        request = request_alloc_chained(b->target->channel, &head);
        if (request == nullptr) {
            return nullptr;
        }
    }
    s->built++;
    return request;
}

// Points the request's DMA map at the bytes of sectors [sector, sector + bytes / sector size)
// in the bio's buffer: 0, or the mapping's error (-22 also when the buffer ends first).
int map_piece(bio* b, velkor_request* request, ULONG64 sector, ULONG bytes) {
    ULONG64 offset = (sector - b->read.first_start) * b->target->sector_size;
    if (offset > 0xFFFFFFFFull) {
        return -KPAV_EINVAL;
    }
    sgl_map piece;
    int err = kpav_sgl_map_range(b->list, nullptr, &piece, (ULONG)offset, bytes);
    if (err != 0) {
        return err;
    }
    if (piece.size != bytes) {
        return -KPAV_EINVAL;
    }
    dma_map* map = request->dma_record;
    map->offset = piece.skip;
    map->total_bytes = piece.size;
    map->entries = piece.count;
    map->reserved = 0;
    map->first = piece.first;
    map->last = piece.last;
    request->dma_map_in_use = map;
    request->list = b->list;
    return 0;
}

void advance(bio_read_state* s, ULONG64 sectors) {
    s->start += sectors;
    s->count -= sectors;
}

// A read of `count` packets of `eb` from packet `index` into the sectors from `sector`.
int build_packet_read(bio* b, velkor_request* request, ULONG64 sector, ULONG count, USHORT eb, ULONG index) {
    bdev* device = b->target;
    pav_log* log = log_of(device);
    nand_dev* channel = device->channel;
    ULONG bytes = device->sector_size * count;
    int err = map_piece(b, request, sector, bytes);
    if (err != 0) {
        return err;
    }
    request->type = REQUEST_READ;
    request->data_op = DATA_OP_PACKETS;
    request->geometry_a = channel->geometry.packet_geometry_a;
    request->geometry_b = channel->geometry.packet_geometry_b;
    auto& read = request->params.read;
    read.packet_kind = sector < LRB_RESERVED_BASE ? PACKET_KIND_USER : PACKET_KIND_SYSTEM;
    read.lba = sector;
    read.address.offset = (ULONG64)index * log->geometry.packet_size + log->geometry.head_reserve;
    read.address.eb = eb;
    read.data_length = bytes;
    read.packet_count = count;
    read.transfer_length = (request->geometry_b >> 16) * count;
    read.recovery = nullptr;
    InterlockedIncrement(&log->counters[eb].reads_in_flight);
    return 0;
}

int on_data_range(lrbtree_range* range, void* context, ULONG64 gpkt, lrbtree_leaf_rec*) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    auto* b = (bio*)context;
    bdev* device = b->target;
    pav_log* log = log_of(device);
    ULONG64 sector = range->start;
    ULONG64 left = range->length;
    ULONG64 address = gpkt;
    while (left > 0) {
        if (address < PAV_LOG_FIRST_ADDR || log->leb_span == 0) {
            return -KPAV_EINVAL;
        }
        ULONG64 eb = (address - PAV_LOG_FIRST_ADDR) / log->leb_span;
        ULONG64 index = (address - PAV_LOG_FIRST_ADDR) % log->leb_span;
        if (eb < log->first_leb || eb >= (ULONG64)log->first_leb + log->leb_count) {
            return -KPAV_EINVAL;
        }
        ULONG capacity = datalog_leb_capacity(log, (USHORT)eb);
        if (index >= capacity) {
            return -KPAV_EINVAL;
        }
        // A piece ends with the run, at the largest read and at the end of its LEB.
        ULONG64 n = left < request_sectors(device) ? left : request_sectors(device);
        n = n < capacity - index ? n : capacity - index;
        velkor_request* request = take_request(b);
        if (request == nullptr) {
            return -KPAV_EAGAIN;
        }
        int err = build_packet_read(b, request, sector, (ULONG)n, (USHORT)eb, (ULONG)index);
        if (err != 0) {
            kpav_print(KPAV_CLASS_ERROR, "%s: failed to map bio buffer to request: %d\n", device->name, err);
            return -KPAV_EPERM;
        }
        b->read_mappings++;
        advance(&b->read, n);
        sector += n;
        left -= n;
        if (left > 0) {
            // The run goes on where the log's chain takes the address.
            address = pav_log_addr_advance(log, address, n);
            if (address == ~0ull) {
                return -KPAV_EIO;
            }
        }
    }
    return 0;
}

int on_empty_range(lrbtree_range* range, void* context) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    auto* b = (bio*)context;
    bdev* device = b->target;
    ULONG64 sector = range->start;
    ULONG64 left = range->length;
    while (left > 0) {
        ULONG64 n = left < request_sectors(device) ? left : request_sectors(device);
        velkor_request* request = take_request(b);
        if (request == nullptr) {
            return -KPAV_EAGAIN;
        }
        ULONG bytes = device->sector_size * (ULONG)n;
        if (map_piece(b, request, sector, bytes) != 0) {
            kpav_print(KPAV_CLASS_ERROR, "%s: failed to map bio buffer to request\n", device->name);
            return -KPAV_EPERM;
        }
        request->type = REQUEST_READ;
        request->data_op = DATA_OP_ZEROS;
        auto& read = request->params.read;
        read.packet_kind = 0;
        read.lba = 0;
        read.address.offset = 0;
        read.address.eb = PAV_NO_EB;
        read.data_length = bytes;
        read.transfer_length = 0;
        read.recovery = nullptr;
        InterlockedExchangeAdd64(&data_of(device)->zero_read_bytes, (LONG64)bytes);
        advance(&b->read, n);
        sector += n;
        left -= n;
    }
    return 0;
}

const lrbtree_enum_ops read_ops = {on_data_range, on_empty_range, nullptr};

// Lowers the in-flight read count of the erase block of every packet read of the chain.
void lower_eb_counts(velkor_request* head, pav_log* log) {
    velkor_request* member = head;
    do {
        if (member->type == REQUEST_READ && member->data_op == DATA_OP_PACKETS) {
            InterlockedDecrement(&log->counters[member->params.read.address.eb].reads_in_flight);
        }
        member = request_next(member);
    } while (member != head);
}

// Leaves the bio's own request alone in its chain, ready for another pass.
void reset_head(velkor_request* head) {
    request_reset(head, head);
    head->flags |= REQ_CALLER_FREES;
}

// Ends the read: every request but the bio's own goes back to the pool, then the bio ends.
void read_finish(bio* b, int status) {
    velkor_request* head = head_of(b);
    while (head->chain_link.Flink != &head->chain_link) {
        velkor_request* member = request_next(head);
        RemoveEntryList(&member->chain_link);
        request_free(member);
    }
    bio_read_state* s = &b->read;
    while (!IsListEmpty(&s->spares)) {
        request_free(CONTAINING_RECORD(RemoveHeadList(&s->spares), velkor_request, chain_link));
    }
    if ((head->flags & REQ_PREPARE_ERROR) != 0) {
        InterlockedOr(&b->flags, BIO_PREPARE_FAILED);
    }
    reset_head(head);
    b->list->mapped = 0;
    bio_endio(b, status);
}

void read_complete(velkor_request* head, ULONG64 bytes, ULONG64 latency_us);

// One pass: requests for the sectors still to read, as far as requests last, submitted as one
// chain. 0 when the chain was submitted or the bio ended with success; -16 when the map was busy
// (nothing built, the bio still the caller's); else the error the bio ended with.
int read_enumerate(bio* b) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    bdev* device = b->target;
    bio_read_state* s = &b->read;
    velkor_request* head = head_of(b);
    s->built = 0;
    int rc = 0;
    if (s->count != 0) {
        // Try mode only means something together with the writers' mutex, which reads do not
        // take: the walk never finds the map busy.
        ULONG flags = LRB_ENUM_COALESCE | ((ReadNoFence(&b->flags) & BIO_NO_WAIT) != 0 ? LRB_ENUM_TRY : 0);
        lrbtree_range range;
        bdev_bracket(device, 1);
        rc = lrbtree_enumerate(data_of(device)->mdt->map, &range, &read_ops, b, flags, s->start, s->start + s->count);
        bdev_bracket(device, 0);
    }
    if (rc == -KPAV_EBUSY && s->built == 0) {
        return rc;
    }
    if (rc >= 0 || rc == -KPAV_EAGAIN) {
        if (s->built == 0) {
            // Nothing was built: nothing was left to read (a walk that runs out of requests has
            // built at least with the bio's own), or the walk skipped sectors it never reported.
            int status = s->count == 0 ? 0 : -KPAV_EIO;
            read_finish(b, status);
            return status;
        }
        while (!IsListEmpty(&s->spares)) {
            request_free(CONTAINING_RECORD(RemoveHeadList(&s->spares), velkor_request, chain_link));
        }
        InterlockedAnd(&b->flags, ~BIO_NO_WAIT);
        head->done_fn = read_complete;
        head->done_arg = b;
        if (request_chain_validate(head) != 0) {
            request_print_chain(head);
        }
        // The completion may run before submit returns: the bio is not touched afterwards.
        submit_request(head);
        return 0;
    }
    kpav_print(KPAV_CLASS_ERROR, "%s: Unable to complete read (errno = %d)\n", device->name, rc);
    lower_eb_counts(head, log_of(device));
    read_finish(b, rc);
    return rc;
}

void read_complete(velkor_request* head, ULONG64 bytes, ULONG64 latency_us) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(bytes);
    UNREFERENCED_PARAMETER(latency_us);
    auto* b = (bio*)head->done_arg;
    int status = ReadNoFence(&head->chain_fail);
    if (status <= -KPAV_EUNCORRECTABLEECC && status >= -1030) {
        status = -KPAV_EIO;
    }
    lower_eb_counts(head, log_of(b->target));
    bio_read_state* s = &b->read;
    if (s->count != 0 && status == 0) {
        // The next pass reuses this pass's requests before it asks the pool.
        while (head->chain_link.Flink != &head->chain_link) {
            velkor_request* member = request_next(head);
            RemoveEntryList(&member->chain_link);
            InsertTailList(&s->spares, &member->chain_link);
        }
        reset_head(head);
        read_enumerate(b);
        return;
    }
    read_finish(b, status);
}

}  // namespace

int bdev_submit_read(bdev* device, bio* first) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    pav_log* log = log_of(device);
    if (ReadNoFence((volatile LONG*)&log->state.value) == PAV_LOG_UNRECOVERABLE_ERROR) {
        bio_endio(first, -KPAV_EIO);
        return -KPAV_EIO;
    }
    first->start_us = kpav_get_usecs();
    if (device->stats != nullptr && device->stats->enabled != 0) {
        first->start_tsc = kpav_read_tsc();
    }
    // One bio per read: the range is the first bio's, and a key range that wraps or leaves the
    // key space reads nothing that could be returned.
    ULONG64 start = first->base + device->logical_base;
    if (first->next != nullptr || start < first->base || start >= LRB_KEY_END || first->count > LRB_KEY_END - start) {
        bio_endio(first, -KPAV_EINVAL);
        return -KPAV_EINVAL;
    }
    bio_read_state* s = &first->read;
    s->start = s->first_start = start;
    s->count = s->first_count = first->count;
    s->built = 0;
    InitializeListHead(&s->spares);
    velkor_request* head = head_of(first);
    head->list = first->list;
    if ((LONG)first->list->mapped < 0) {
        int err = (LONG)first->list->mapped;
        bio_endio(first, err);
        return err;
    }
    InterlockedExchangeAdd64(&data_of(device)->read_bytes, (LONG64)device->sector_size * (LONG64)bio_chain_sectors(first));
    return read_enumerate(first);
}

int bdev_read_sync(bdev* device, ULONG64 start, ULONG64 count, void* buffer) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    if (device->sector_size == 0 || count > 0xFFFFFFFFull / device->sector_size) {
        return -KPAV_EINVAL;
    }
    bio* b = nullptr;
    int err = bio_alloc(device->pool, device, &b);
    if (err != 0) {
        return err;
    }
    b->command = BIO_READ;
    b->flags = BIO_SYNC;
    b->base = start;
    b->count = count;
    err = kpav_sgl_map_bytes(b->list, buffer, (ULONG)(count * device->sector_size));
    if (err != 0) {
        bio_free_chain(b);
        return err;
    }
    err = bdev_submit_bio(b);
    if ((err == -KPAV_ENOSPC || err == -KPAV_EBUSY) && b->origin == device) {
        // Returned for a retry, not completed: this caller does not retry.
        bio_end_handed_back(device, b, err);
    }
    int status = bio_wait(b);
    bio_free_chain(b);
    return status;
}

int read_defrag_init(bdev_data* data) {
    PAGED_CODE();
    data->read_defrag = nullptr;
    return 0;
}

void read_defrag_free(read_defrag_context* context) {
    PAGED_CODE();
    if (context == nullptr) {
        return;
    }
    for (void* slot : context->slots) {
        kpav_free_if(slot, KPAV_TAG_VML);
    }
    kpav_free_if(context->table, KPAV_TAG_VML);
    kpav_free(context, KPAV_TAG_VML);
}
