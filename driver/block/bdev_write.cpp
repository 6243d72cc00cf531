// The data device's writes: a write chain becomes one chain of requests for the data log (an
// append per write bio, a trim per discard: a note appended to the log or a barrier), handed to
// the data-path submit with the log's range locks; a flush becomes a barrier. Completion records
// the written packets in the forward map, removes trimmed ranges, gives the reserved space back
// and ends the bios.
#include "driver/block/bdev_data.h"
#include "driver/block/bio.h"
#include "driver/block/devstats.h"
#include "driver/block/mdt.h"
#include "driver/log/apt.h"
#include "driver/log/datalog.h"
#include "driver/log/range_lock.h"
#include "driver/pipeline/builders.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/pipeline/pipeline.h"
#include "driver/platform/cpu_wq.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/log.h"
#include "driver/platform/time.h"

volatile LONG bdev_deferred_completion = 0;

namespace {

// Append flags of a data write: pad to the point's packet slot first and after the data.
constexpr ULONG64 DATA_APPEND_FLAGS = 0x2040;
// The last append of an atomic chain.
constexpr ULONG64 REQ_ATOMIC_END = 0x80000;
constexpr ULONG64 FLUSH_JOIN_AND_WAIT = REQ_FLUSH_JOIN | REQ_FLUSH_WAITER;

// Packet kinds: host sectors, and sectors of the system range at its top.
constexpr UCHAR PACKET_KIND_DATA = 0x90;
constexpr UCHAR PACKET_KIND_SYSTEM = 0xA0;
constexpr ULONG64 SYSTEM_SECTORS = 0x00FFFFFF00000000ull;
// Opcode bit of a packet that belongs to an atomic chain not finished by it.
constexpr UCHAR PACKET_ATOMIC_OPEN = 0x08;

// A trim note: header, then its runs. Later trims of the chain add their runs to the first
// note while it has room.
#pragma pack(push, 1)
struct trim_run {
    ULONG64 count;
    ULONG64 start;
    ULONG64 zero;
};
struct trim_note {
    UCHAR header[8];
    USHORT runs;
    UCHAR zero[6];
    trim_run first;
};
#pragma pack(pop)
static_assert(sizeof(trim_run) == 24 && sizeof(trim_note) == 40);
constexpr UCHAR TRIM_NOTE = 0xA0;
constexpr UCHAR TRIM_NOTE_ATOMIC = 0xA8;

// How a discard is carried out (bio::trim).
enum trim_kind : ULONG {
    TRIM_IN_MEMORY = 0,  // a barrier; the map forgets the range at completion
    TRIM_NO_OP = 1,      // nothing mapped, nothing in flight: a barrier and nothing else
    TRIM_NOTED = 2,      // its run is in a note appended to the log (bio::trim_note's request)
    TRIM_NOTE_VALID = 3, // as 2, on the note's own bio once the note was marked valid
};

bdev_data* data_of(bdev* device) {
    return (bdev_data*)device->owner;
}

pav_log* log_of(bdev* device) {
    return data_of(device)->mdt->log;
}

append_point* point_of(pav_log* log) {
    return &log->append_point->head;
}

velkor_request* request_of(bio* b) {
    return b->ioctx->request;
}

UCHAR packet_kind(ULONG64 sector) {
    return sector < SYSTEM_SECTORS ? PACKET_KIND_DATA : PACKET_KIND_SYSTEM;
}

bool joins_flushes(const nand_dev* channel) {
    return channel->geometry.flushless == 0;
}

// Packets a chain reserves: its write sectors, and one per discard with persistent trim.
ULONG64 chain_packets(const bdev_data* data, const bio* first) {
    ULONG64 packets = 0;
    for (const bio* b = first; b != nullptr; b = b->next) {
        if (b->command == BIO_WRITE) {
            packets += b->count;
        } else if (data->persistent_trim != 0) {
            packets++;
        }
    }
    return packets;
}

// Media errors reach the bio as -5.
int bio_status_of(int status) {
    return status <= -1024 && status >= -1030 ? -KPAV_EIO : status;
}

void make_barrier(velkor_request* request, append_point* ap) {
    request->type = REQUEST_BARRIER;
    request->params.barrier.ap = ap;
}

// Whether a discard of [start, start + count) must be logged: something is mapped there, or a
// write in flight overlaps it.
bool trim_needs_note(bdev* device, ULONG64 start, ULONG64 count) {
    pav_log* log = log_of(device);
    ULONG64 offset = 0;
    if (count == 0 || lba_range_lock(&log->ranges.table, start, count, &offset) != 0) {
        return true;
    }
    ULONG64 mapped = 0;
    lrbtree_range range{};
    int rc = lrbtree_enumerate(data_of(device)->mdt->map, &range, &lrbtree_count_mapped, &mapped, 0, start,
                               start + count);
    // A walk that could not finish cannot say the range is empty: log the trim.
    return mapped != 0 || (rc < 0 && rc != -KPAV_ENOENT);
}

ULONG note_room(const append_point* ap) {
    ULONG packet = ap->geometry_b & 0xFFFF;
    return packet > sizeof(trim_note) ? (packet - (ULONG)sizeof(trim_note)) / (ULONG)sizeof(trim_run) + 1 : 1;
}

// Sets up the request of a discard bio. `previous` is the chain's open trim note (NULL: none),
// replaced by this request when it becomes one.
int trim_setup(bdev* device, velkor_request* request, velkor_request** previous, ULONG64 start, ULONG64 count,
               bool atomic, bool overlap, bio* b) {
    bdev_data* data = data_of(device);
    append_point* ap = point_of(log_of(device));
    request->range_lba = start;
    request->range_count = count;
    b->trim = TRIM_IN_MEMORY;
    b->trim_note = nullptr;
    if (data->persistent_trim == 0) {
        make_barrier(request, ap);
        return 0;
    }
    if (!(overlap && count != 0) && !trim_needs_note(device, start, count)) {
        b->trim = TRIM_NO_OP;
        make_barrier(request, ap);
        return 0;
    }
    b->trim = TRIM_NOTED;
    velkor_request* note = *previous;
    if (note != nullptr) {
        auto* header = (trim_note*)note->inline_data;
        if (header->runs < note_room(ap)) {
            // The run travels in this request's inline area, mapped into the note's list.
            auto* run = (trim_run*)request->inline_data;
            *run = {count, start, 0};
            int rc = kpav_sgl_map_bytes(note->list, run, sizeof *run);
            if (rc != 0) {
                return rc;
            }
            header->runs++;
            note->params.append.size += sizeof *run;
            b->trim_note = note;
            make_barrier(request, ap);
            return 0;
        }
    }
    trim_note built{};
    static const UCHAR header[8] = {TRIM_NOTE, 0xFF, 0xFF, 0xFF, 0xE0, 0x79, 0xFF, 0xFF};
    RtlCopyMemory(built.header, header, sizeof header);
    built.header[0] = atomic ? TRIM_NOTE_ATOMIC : TRIM_NOTE;
    built.runs = 1;
    built.first = {count, start, 0};
    pkt_loc_copy(request->inline_data, &built);
    int rc = request_prepare_append(request, ap, request->inline_data, sizeof built, 0);
    if (rc != 0) {
        return rc;
    }
    b->trim_note = request;
    *previous = request;
    return 0;
}

void fill_append(bdev* device, velkor_request* request, bio* b) {
    pav_log* log = log_of(device);
    append_point* ap = point_of(log);
    ULONG64 sector = b->base + device->logical_base;
    ULONG packet = ap->geometry_b & 0xFFFF;
    request->type = REQUEST_APPEND;
    request->data_op = DATA_OP_PACKETS;
    request->geometry_a = ap->geometry_a;
    request->geometry_b = ap->geometry_b;
    request->params.append.ap = ap;
    request->params.append.size = packet * (ULONG)b->count;
    request->params.append.opcode = packet_kind(sector);
    request->params.append.magic = sector;
    request->flags |= DATA_APPEND_FLAGS;
    request->range_lba = sector;
    request->range_count = b->count;
}

bool overlaps(const bio* a, ULONG64 start, ULONG64 count) {
    return a->command == BIO_WRITE && a->base < start + count && start < a->base + a->count;
}

// The last append of the chain (NULL when it has none).
velkor_request* last_append(velkor_request* head) {
    velkor_request* last = nullptr;
    velkor_request* r = head;
    do {
        if (r->type == REQUEST_APPEND) {
            last = r;
        }
        r = request_next(r);
    } while (r != head);
    return last;
}

// An atomic chain on media: every packet but its very last carries the open-atomic opcode bit,
// so that a chain cut short leaves a trailing run a scan can tell and drop. The last write's
// final packet goes in a request of its own (the chain's tail) with the plain opcode.
int mark_atomic(velkor_request* head, velkor_request* last) {
    velkor_request* r = head;
    do {
        if (r->type == REQUEST_APPEND && r->data_op == DATA_OP_PACKETS) {
            r->params.append.opcode |= PACKET_ATOMIC_OPEN;
        }
        r = request_next(r);
    } while (r != head);
    if (last->data_op != DATA_OP_PACKETS) {
        // A trim note ends the chain: its plain class.
        last->inline_data[0] = TRIM_NOTE;
        last->params.append.opcode = TRIM_NOTE;
        last->flags |= REQ_ATOMIC_END;
        return 0;
    }
    ULONG packet = last->geometry_b & 0xFFFF;
    if (last->params.append.size == packet) {
        last->params.append.opcode &= (UCHAR)~PACKET_ATOMIC_OPEN;
        last->flags |= REQ_ATOMIC_END;
        return 0;
    }
    sgl_map map{};
    ULONG keep = last->params.append.size - packet;
    int rc = kpav_sgl_map_range(last->list, nullptr, &map, keep, packet);
    if (rc != 0 || map.size != packet) {
        return rc != 0 ? rc : -KPAV_EINVAL;
    }
    velkor_request* head_ref = head;
    velkor_request* tail = request_alloc_chained(head->channel, &head_ref);
    if (tail == nullptr) {
        return -KPAV_ENOMEM;
    }
    // A member of a chain has no list of its own: this one gets one, freed at completion.
    rc = kpav_sgl_create(nullptr, &tail->list, map.count);
    if (rc != 0) {
        return rc;
    }
    // The tail's list: the last packet's pieces of the write's list.
    sgl_entry* entry = map.first;
    for (ULONG i = 0; i < map.count; i++, entry++) {
        ULONG64 address = entry->bus_address;
        ULONG length = entry->length;
        if (i == 0) {
            address += map.skip;
            length -= map.skip;
        }
        if (i + 1 == map.count) {
            length -= map.cut;
        }
        sgl_entry* out = &sgl_entries(tail->list)[tail->list->used++];
        out->bus_address = address;
        out->length = length;
        tail->list->total_bytes += length;
    }
    tail->list->mapped = tail->list->used;
    tail->type = REQUEST_APPEND;
    tail->data_op = DATA_OP_PACKETS;
    tail->geometry_a = last->geometry_a;
    tail->geometry_b = last->geometry_b;
    tail->params.append = last->params.append;
    tail->params.append.size = packet;
    tail->params.append.opcode &= (UCHAR)~PACKET_ATOMIC_OPEN;
    tail->params.append.magic = last->params.append.magic + keep / packet;
    tail->flags |= (last->flags & (DATA_APPEND_FLAGS | REQ_MIXED_CHAIN)) | REQ_ATOMIC_END;
    tail->range_lba = last->range_lba + keep / packet;
    tail->range_count = 1;
    tail->done_arg = nullptr;
    last->params.append.size = keep;
    last->range_count -= 1;
    return 0;
}

}  // namespace

namespace {

void log_errno_failure(const char* format, const char* name, int rc) {
    const kpav_errno_row& row = kpav_errno_table[kpav_errno_lookup(rc)];
    kpav_print(KPAV_CLASS_ERROR, format, name, row.name, row.text);
}

// Removes a trimmed range from the map. The note that carries it becomes valid once one of its
// runs removed something, and its place is the log's written position.
int trim_complete(bdev* device, velkor_request* head, velkor_request* request, bio* b) {
    if (head->chain_fail != 0) {
        return head->chain_fail;
    }
    if (b->trim == TRIM_NO_OP) {
        return 0;
    }
    mdt_context* mdt = data_of(device)->mdt;
    lrbtree_range range = {request->range_lba, request->range_count};
    LONG64 removed = 0;
    int rc = mdt_trim(mdt, 0, device, &range, b->discard_mark, &removed);
    if (rc != 0 || b->trim_note == nullptr) {
        return rc;
    }
    velkor_request* note = b->trim_note;
    auto* holder = (bio*)note->done_arg;  // the bio whose request is the note
    const pav_addr_block& placement = note->params.append.lvec;
    if (removed != 0 && holder->trim != TRIM_NOTE_VALID) {
        holder->trim = TRIM_NOTE_VALID;
        mdt_mark_valid(mdt, &placement);
    }
    if (note == request && placement.count != 0) {
        ULONG last = placement.count - 1;
        pav_log_advance_written_pos(mdt->log, placement.vectors[last].eb,
                                    placement.vectors[last].lpkt + placement.packet_counts[last]);
    }
    return 0;
}

// Gives a chain's reservation back and wakes the writers that wait for room.
void unreserve(bdev_data* data, ULONG64 packets) {
    if (packets == 0) {
        return;
    }
    kpav_spin_lock(&data->throttle_lock);
    data->reserved = data->reserved > packets ? data->reserved - packets : 0;
    kpav_cv_broadcast(&data->throttle_cv);
    kpav_spin_unlock(&data->throttle_lock);
}

// Ends the chain at once, or on its processor's thread while completions come in batches and
// deferred completion is on.
void end_chain(bdev* device, bio* first, int status) {
    bdev_data* data = data_of(device);
    ULONG64 now = kpav_get_usecs();
    ULONG64 checked = (ULONG64)ReadNoFence64(&data->busy_checked_us);
    if (now - checked >= 1000000 &&
        InterlockedCompareExchange64(&data->busy_checked_us, (LONG64)now, (LONG64)checked) == (LONG64)checked) {
        const ULONG64* averages = device->channel->completion_averages;
        InterlockedExchange(&data->completions_busy, averages[2] >= 4 ? 1 : 0);
    }
    if (ReadNoFence(&bdev_deferred_completion) != 0 && ReadNoFence(&data->completions_busy) != 0) {
        cpu_wq* record = cpu_wq_lock_for_cpu(first->cpu);
        if (record != nullptr) {
            bool first_on_list = cpu_wq_defer_bio(record, &first->deferred, status);
            cpu_wq_unlock(record);
            if (first_on_list) {
                cpu_wq_signal(record);
            }
            return;
        }
    }
    bio_endio(first, status);
}

void write_complete(velkor_request* head, ULONG64, ULONG64) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    auto* first = (bio*)head->done_arg;
    bdev* device = first->target;
    bdev_data* data = data_of(device);
    pav_log* log = log_of(device);
    bool succeeded = head->chain_fail == 0;
    // The bio chain and the request chain run in step; a split atomic write's last packet is the
    // chain's tail, after every bio's request.
    velkor_request* r = head;
    bio* b = first;
    do {
        bio* owner = b;
        if (owner == nullptr) {
            owner = first;
            while (owner->next != nullptr) owner = owner->next;  // the split write's bio
        } else {
            b = b->next;
        }
        if (!succeeded) {
            // nothing to record
        } else if (owner->command == BIO_WRITE) {
            lrbtree_range range = {r->range_lba, r->range_count};
            int rc = mdt_record_sectors(data->mdt, 0, &r->params.append.lvec, device, &range);
            if (rc != 0) {
                request_print_detail(r, "MDUPFAIL:", false, 0, true);
                if (rc < 0) {
                    log_errno_failure("%s: Atomic write completion failed with error code %s: %s\n", device->name, rc);
                    InterlockedExchange(&head->chain_fail, -KPAV_EIO);
                }
            }
        } else {
            int rc = trim_complete(device, head, r, owner);
            if (rc < 0) {
                log_errno_failure("%s: Atomic trim completion failed with error code %s: %s\n", device->name, rc);
                InterlockedExchange(&head->chain_fail, -KPAV_EIO);
            }
        }
        if (r->done_arg == nullptr && r != head && r->ioctx == nullptr && r->list != nullptr) {
            kpav_sgl_free(r->list);  // the split write's own list
            r->list = nullptr;
        }
        r = request_next(r);
    } while (r != head);
    lba_range_unlock(&log->ranges.table, head);
    unreserve(data, chain_packets(data, first));
    end_chain(device, first, bio_status_of(head->chain_fail));
}

void flush_complete(velkor_request* head, ULONG64, ULONG64) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    auto* b = (bio*)head->done_arg;
    if ((head->flags & REQ_PREPARE_ERROR) != 0) {
        InterlockedOr(&b->flags, BIO_PREPARE_FAILED);
    }
    // The barrier's failure is the flush's: a flush that did not reach the media says so.
    bio_endio(b, bio_status_of(head->chain_fail != 0 ? head->chain_fail : head->fail));
}

void stamp(bdev* device, bio* b) {
    b->start_us = kpav_get_usecs();
    if (device->stats != nullptr && device->stats->enabled != 0) {
        b->start_tsc = kpav_read_tsc();
    }
}

// Every bio of the chain lies inside the device; a bio the data device's own users submitted
// there (the driver's records: partition descriptors) may lie in the forward map's reserved range
// instead.
bool inside(const bdev* device, const bio* first) {
    for (const bio* b = first; b != nullptr; b = b->next) {
        bool in_sectors = b->base <= device->sector_count && b->count <= device->sector_count - b->base;
        bool in_reserved = b->origin == device && b->base >= SYSTEM_SECTORS && b->base < LRB_KEY_END &&
                           b->count <= LRB_KEY_END - b->base;
        if (!in_sectors && !in_reserved) {
            return false;
        }
    }
    return true;
}

int end_with(bio* first, int status) {
    bio_endio(first, status);
    return status;
}

}  // namespace

size_t pkt_loc_copy(void* dest, const void* src) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    USHORT runs;
    RtlCopyMemory(&runs, (const UCHAR*)src + offsetof(trim_note, runs), sizeof runs);
    size_t bytes = offsetof(trim_note, first) + (size_t)runs * sizeof(trim_run);
    RtlMoveMemory(dest, src, bytes);
    return bytes;
}

int bdev_submit_write(bdev* device, bio* first) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    bdev_data* data = data_of(device);
    pav_log* log = data->mdt->log;
    if (log->state.value == PAV_LOG_UNRECOVERABLE_ERROR) {
        return end_with(first, -KPAV_EIO);
    }
    if ((data->read_only_switch & 1) != 0 || bdev_write_mode(device) == BDEV_WRITE_READ_ONLY) {
        return end_with(first, -KPAV_EROFS);
    }
    int rc = bdev_write_validate(device, first);
    if (rc != 0) {
        return end_with(first, rc);
    }
    if (!inside(device, first)) {
        return end_with(first, -KPAV_EINVAL);
    }
    for (bio* b = first; b != nullptr; b = b->next) {
        stamp(device, b);
        if (b->command == BIO_WRITE && (LONG)b->list->mapped < 0) {
            return end_with(first, (LONG)b->list->mapped);
        }
    }
    ULONG64 packets = chain_packets(data, first);
    if (packets != 0) {
        rc = write_throttle(device, packets, (first->flags & BIO_NO_WAIT) == 0);
        if (rc == -KPAV_ENOSPC || rc == -KPAV_EBUSY) {
            first->status = rc;
            return rc;
        }
        if (rc != 0) {
            return end_with(first, rc);
        }
    }

    bool atomic = (first->flags & BIO_ATOMIC) != 0;
    velkor_request* head = request_of(first);
    head->done_fn = write_complete;
    head->done_arg = first;
    append_point* ap = point_of(log);
    velkor_request* note = nullptr;
    velkor_request* r = head;
    for (bio* b = first; b != nullptr && rc == 0; b = b->next, r = request_next(r)) {
        if (b != first) {
            r->done_arg = b;
        }
        if (atomic) {
            r->flags |= REQ_MIXED_CHAIN;
        }
        if (b->command == BIO_WRITE) {
            fill_append(device, r, b);
            continue;
        }
        ULONG64 start = b->base + device->logical_base;
        bool overlap = false;
        for (bio* earlier = first; earlier != b; earlier = earlier->next) {
            overlap = overlap || overlaps(earlier, b->base, b->count);
        }
        rc = trim_setup(device, r, &note, start, b->count, atomic, overlap, b);
    }
    // Appends and barriers may share any chain: a chain of writes and in-memory or no-op trims
    // would otherwise be refused by the chain's check.
    for (r = request_next(head); r != head; r = request_next(r)) {
        if (r->type != head->type) {
            head->flags |= REQ_MIXED_CHAIN;
        }
    }
    velkor_request* last = rc == 0 ? last_append(head) : nullptr;
    if (last != nullptr && (first->flags & BIO_FLUSH_JOIN) != 0 && joins_flushes(device->channel)) {
        last->flags |= FLUSH_JOIN_AND_WAIT;
    }
    if (last != nullptr && atomic) {
        rc = mark_atomic(head, last);
    }
    if (rc != 0) {
        // Nothing was queued: the chain ends here with what it had reserved given back.
        unreserve(data, packets);
        return end_with(first, rc);
    }
    InterlockedExchangeAdd64(&data->write_bytes, (LONG64)((ap->geometry_b & 0xFFFF) * packets));
    // Every request of the chain holds its range in the log's table until the completion takes
    // them all out again (the submit marks the head alone).
    r = head;
    do {
        r->range_table = &log->ranges.table;
        r = request_next(r);
    } while (r != head);
    if (request_chain_validate(head) != 0) {
        request_print_chain(head);
    }
    submit_data_request(&log->ranges.table, head);
    return 0;
}

int bdev_submit_flush(bdev* device, bio* first) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    pav_log* log = log_of(device);
    stamp(device, first);
    velkor_request* head = request_of(first);
    make_barrier(head, point_of(log));
    if ((first->flags & BIO_FLUSH_JOIN) != 0 && joins_flushes(device->channel)) {
        head->flags |= FLUSH_JOIN_AND_WAIT;
    }
    head->range_count = 0;
    head->done_fn = flush_complete;
    head->done_arg = first;
    if (request_chain_validate(head) != 0) {
        request_print_chain(head);
    }
    submit_data_request(&log->ranges.table, head);
    return 0;
}

int write_reserve(bdev* device, ULONG64 packets, bool may_wait) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    bdev_data* data = data_of(device);
    pav_log* log = data->mdt->log;
    kpav_spin_lock(&data->throttle_lock);
    int rc = 0;
    for (;;) {
        ULONG64 erased = datalog_erased_space_now(log);  // the log lock nests inside the throttle lock
        bool reduced = bdev_write_mode(device) == BDEV_WRITE_REDUCED;
        ULONG64 keep = reduced ? 3 * data->reserve_unit : 5 * data->reserve_unit + data->groomer_reserve;
        if (data->reserved + packets + keep < erased) {
            break;
        }
        ULONG state = log->state.value;
        if (bdev_write_mode(device) == BDEV_WRITE_READ_ONLY) {
            rc = -KPAV_EROFS;
        } else if (state == PAV_LOG_UNRECOVERABLE_ERROR || state == PAV_LOG_AGENTS_QUIESCING ||
                   state == PAV_LOG_AGENTS_STOPPED) {
            // Nothing frees space while the log's agents stop.
            rc = -KPAV_EIO;
        } else if (!may_wait) {
            rc = -KPAV_ENOSPC;
        }
        if (rc != 0) {
            break;
        }
        kpav_cv_timedwait(&data->throttle_cv, &data->throttle_lock, 10000, false);
    }
    if (rc == 0) {
        data->reserved += packets;
    }
    kpav_spin_unlock(&data->throttle_lock);
    return rc;
}

int write_throttle(bdev* device, ULONG64 packets, bool may_wait) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    bdev_data* data = data_of(device);
    if (bdev_write_mode(device) == BDEV_WRITE_REDUCED) {
        ULONG64 now = kpav_get_usecs();
        if (may_wait) {
            kpav_udelay(1000);
        } else if (now < (ULONG64)ReadNoFence64(&data->last_reduced_us) + 1000) {
            return -KPAV_EBUSY;
        }
        WriteNoFence64(&data->last_reduced_us, (LONG64)kpav_get_usecs());
    }
    bdev_bracket(device, 1);
    int rc = write_reserve(device, packets, may_wait);
    bdev_bracket(device, 0);
    if (rc == 0 && data->run_state.value == BDEV_RUN_TORN_DOWN) {
        unreserve(data, packets);
        rc = -KPAV_EIO;
    }
    return rc;
}

void write_unreserve(bdev* device, ULONG64 packets) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    unreserve(data_of(device), packets);
}
