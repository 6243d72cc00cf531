// A LEB's bitmap on the media: the VBM record (a header sector and the LEB's blocks) appended
// at the LEB's VBM address, read back by its log address, and the pacing that keeps every open
// LEB's record recent enough.
#include "driver/log/log_entry.h"
#include "driver/log/log_file.h"
#include "driver/log/vbmap.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/little_endian.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"
#include "driver/platform/time.h"

namespace {

int no_record_written(void*, ULONG64, ULONG, const datalog_run*, ULONG) {
    return 0;
}
int no_record_dropped(void*, ULONG64, ULONG) {
    return 0;
}
int no_records(void*, ULONG64, ULONG64, vbm_run_fn, void*) {
    return 0;
}

ULONG sector_of(const vbmap* map) {
    return map->log->sector_size != 0 ? map->log->sector_size : 512;
}

}  // namespace

const vbm_owner_ops vbm_owner_defaults = {no_record_written, no_record_dropped, no_records};

struct vbm_write {
    vbmap* map;
    datalog_append_req request;
    USHORT leb;
    UCHAR busy;
    ULONG64 position;   // the position the record was taken at
    ULONG64 previous;   // the LEB's last requested position before
    UCHAR* buffer;      // vbm_record_bytes
};

// ---- Records

ULONG vbm_record_bytes(const vbmap* map) {
    return vbm_record_sectors(map) * sector_of(map);
}

int vbm_record_build(vbmap* map, USHORT leb, ULONG64 position, UCHAR* out) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG sector = sector_of(map);
    RtlZeroMemory(out, vbm_record_bytes(map));
    le_put_u16(out + 2, leb);
    le_put_u64(out + 8, position);
    return vbmap_copy_out(map, leb, out + sector);
}

int vbm_record_check(const vbmap* map, USHORT leb, const UCHAR* record, ULONG64* out_position) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(map);
    if (le_get_u16(record) != 0 || le_get_u16(record + 2) != leb || le_get_u32(record + 4) != 0) {
        return -KPAV_EIO;
    }
    *out_position = le_get_u64(record + 8);
    return 0;
}

bool vbm_record_test(const vbmap* map, const UCHAR* record, ULONG packet) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (packet >= map->bits_per_leb) {
        return false;
    }
    return (record[sector_of(map) + packet / 8] >> (packet % 8) & 1) != 0;
}

namespace {

// Reads `sectors` packets of the record of `leb` from log address `address` into `out`.
int read_record_packets(vbmap* map, USHORT leb, ULONG64 address, ULONG sectors, UCHAR* out);

}  // namespace

bool vbm_record_next_run(const vbmap* map, const UCHAR* record, ULONG from, ULONG* out_first, ULONG* out_count) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const ULONG end = map->packets_per_leb;
    if (record == nullptr) {
        // No record: every packet counts.
        if (from >= end) {
            return false;
        }
        *out_first = from;
        *out_count = end - from;
        return true;
    }
    const UCHAR* bits = record + sector_of(map);
    ULONG at = from;
    while (at < end && (bits[at / 8] >> (at % 8) & 1) == 0) {
        at = (at % 8 == 0 && bits[at / 8] == 0) ? at + 8 : at + 1;  // whole clear bytes at once
    }
    if (at >= end) {
        return false;
    }
    ULONG stop = at;
    while (stop < end && (bits[stop / 8] >> (stop % 8) & 1) != 0) {
        stop = (stop % 8 == 0 && bits[stop / 8] == 0xFF) ? stop + 8 : stop + 1;
    }
    *out_first = at;
    *out_count = (stop < end ? stop : end) - at;
    return true;
}

int vbm_record_read(vbmap* map, USHORT leb, ULONG64 address, UCHAR* out, ULONG64* out_position) {
    PAGED_CODE();
    int rc = read_record_packets(map, leb, address, vbm_record_sectors(map), out);
    return rc == 0 ? vbm_record_check(map, leb, out, out_position) : rc;
}

namespace {

int read_record_packets(vbmap* map, USHORT leb, ULONG64 address, ULONG sectors, UCHAR* out) {
    pav_log* log = map->log;
    if (address < PAV_LOG_FIRST_ADDR || log->leb_span == 0) {
        return -KPAV_EINVAL;
    }
    USHORT source = (USHORT)((address - PAV_LOG_FIRST_ADDR) / log->leb_span);
    ULONG offset = (ULONG)((address - PAV_LOG_FIRST_ADDR) % log->leb_span);
    log_file* reader = nullptr;
    int rc = log_file_create(&reader, log);
    if (rc != 0) {
        return rc;
    }
    const ULONG packet = log->geometry.packet_size;
    const ULONG sector = sector_of(map);
    log_file_pos start{source, (ULONG64)log->geometry.head_reserve + (ULONG64)offset * packet};
    // The record may run on into the following LEBs of the chain (an append lands in up to three).
    rc = log_file_open(reader, &start, LOG_FILE_FORWARD, 2);
    auto* slot = (UCHAR*)kpav_alloc(packet, KPAV_TAG_MAL);
    if (slot == nullptr) {
        rc = -KPAV_ENOMEM;
    }
    const ULONG64 first = vbm_record_address(map, leb);
    for (ULONG k = 0; rc == 0 && k < sectors; k++) {
        UCHAR opcode = 0;
        rc = log_file_next_entry(reader, &opcode);
        if (rc == 0 && opcode != 0xA0) {
            rc = -KPAV_EIO;  // not a system packet: not the record
        }
        if (rc == 0) {
            rc = log_file_copy_out(reader, slot, packet);
        }
        if (rc == 0) {
            UCHAR raw = 0;
            ULONG64 at = 0;
            pkt_header_decode(slot, &raw, &at);
            if (at != first + k || packet < PKT_HEADER_SIZE + sector) {
                rc = -KPAV_EIO;
            } else {
                RtlCopyMemory(out + (ULONG64)k * sector, slot + PKT_HEADER_SIZE, sector);
                rc = log_entry_skip(reader, opcode);
                if (rc == -KPAV_ENOENT && k + 1 == sectors) {
                    rc = 0;  // the log ends right behind the record's last packet
                }
            }
        }
        if (rc == -KPAV_ENOENT) {
            rc = -KPAV_EIO;  // the log ends inside the record: a packet of it was never read
        }
    }
    kpav_free_if(slot, KPAV_TAG_MAL);
    log_file_destroy(reader);
    return rc;
}

}  // namespace

// ---- Pacing

namespace {

leb_record* record_of(LIST_ENTRY* link) {
    return CONTAINING_RECORD(link, leb_record, open_link);
}

bool on_open_list(const leb_record* record) {
    return record->open_link.Flink != nullptr && record->open_link.Flink != &record->open_link;
}

// Inserts the LEB's record in the open list by its VBM position (under the log's lock).
void insert_ordered(pav_log* log, leb_record* record) {
    LIST_ENTRY* at = log->open_lebs.Flink;
    while (at != &log->open_lebs && record_of(at)->first_position <= record->first_position) {
        at = at->Flink;
    }
    InsertTailList(at, &record->open_link);  // before `at`
}

void take_off_list(leb_record* record) {
    if (on_open_list(record)) {
        RemoveEntryList(&record->open_link);
    }
    InitializeListHead(&record->open_link);
}

// The log position the log has written up to (0: none yet). Under the log's lock.
ULONG64 written_position(pav_log* log) {
    kpav_spin_lock(&log->written_lock);
    ULONG64 written = log->written_set != 0 ? log->written_pos : 0;
    kpav_spin_unlock(&log->written_lock);
    USHORT leb = (USHORT)(written & 0xFFFF);
    if (written == 0 || leb >= log->eb_count) {
        leb = log->append_leb;
        return leb < log->eb_count ? log->lebs[leb].sequence << 24 : 0;
    }
    return log->lebs[leb].sequence << 24 | ((written >> 32) & 0xFFFFFF);
}

vbm_write* free_write(vbmap* map) {
    for (ULONG i = 0; map->writes != nullptr && i < VBM_WRITE_REQUESTS; i++) {
        if (ReadAcquire8((volatile char*)&map->writes[i].busy) == 0) {
            return &map->writes[i];
        }
    }
    return nullptr;
}

// The write goes back to the free ones: whoever waits for it may free it from here on.
void release_write(vbmap* map, vbm_write* write) {
    InterlockedDecrement((volatile LONG*)&map->in_flight[write->leb]);
    WriteRelease8((volatile char*)&write->busy, 0);
}

void write_done(datalog_append_req* request) {
    auto* write = (vbm_write*)request->context;
    vbmap* map = write->map;
    pav_log* log = map->log;
    const USHORT leb = write->leb;
    int status = request->status;
    if (status == 0) {
        status = map->ops->record_written(map->owner, vbm_record_address(map, write->leb), vbm_record_sectors(map),
                                          request->runs, request->run_count);
        if (status != 0) {
            kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 18471,
                        "Failed to update metadata for VBM data for LEB %u: %d\n", (unsigned)write->leb, status);
        }
    }
    kpav_spin_lock(&log->lock);
    leb_record* record = &log->lebs[write->leb];
    if (status == 0) {
        record->first_position = write->position;
        record->tracked_leb = request->runs[0].leb;
        record->tracked = request->runs[0].address;
        if (on_open_list(record)) {
            RemoveEntryList(&record->open_link);
            insert_ordered(log, record);
        }
    } else {
        record->last_position = write->previous;
    }
    release_write(map, write);
    kpav_spin_unlock(&log->lock);
    if (status != 0) {
        kpav_print(KPAV_CLASS_ERROR, "VBMFAIL: %s: VBM write of LEB %u at %llx failed (%d)\n", datalog_device_name(log),
                   (unsigned)leb, (unsigned long long)vbm_record_address(map, leb), status);
        if (log->state.value != PAV_LOG_UNRECOVERABLE_ERROR) {
            pav_log_internal_error(log, PAV_LOG_ERROR_ATTACH, leb, (ULONG64)(LONG64)status);
        }
    }
}

// Builds and submits the taken write; on failure gives it back.
int submit_write(vbmap* map, vbm_write* write) {
    pav_log* log = map->log;
    int rc = vbm_record_build(map, write->leb, write->position, write->buffer);
    if (rc == 0) {
        datalog_append_req* request = &write->request;
        RtlZeroMemory(request, sizeof *request);
        request->kind = 0xA0;
        request->address = vbm_record_address(map, write->leb);
        request->count = vbm_record_sectors(map);
        request->packets = write->buffer;
        request->done = write_done;
        request->context = write;
        rc = datalog_append(log, request);
    }
    if (rc != 0) {
        kpav_spin_lock(&log->lock);
        log->lebs[write->leb].last_position = write->previous;
        release_write(map, write);
        kpav_spin_unlock(&log->lock);
    }
    return rc;
}

// Takes a free write for `leb` at the written position (under the log's lock): NULL when none.
vbm_write* take_write(vbmap* map, USHORT leb) {
    vbm_write* write = free_write(map);
    if (write == nullptr) {
        return nullptr;
    }
    pav_log* log = map->log;
    WriteNoFence8((volatile char*)&write->busy, 1);
    write->leb = leb;
    write->previous = log->lebs[leb].last_position;
    write->position = written_position(log);
    log->lebs[leb].last_position = write->position;
    InterlockedIncrement((volatile LONG*)&map->in_flight[leb]);
    return write;
}

}  // namespace

int vbm_start(vbmap* map, const vbm_owner_ops* ops, void* owner) {
    PAGED_CODE();
    pav_log* log = map->log;
    map->ops = ops != nullptr ? ops : &vbm_owner_defaults;
    map->owner = owner;
    map->in_flight = (ULONG*)kpav_zalloc((SIZE_T)log->eb_count * sizeof(ULONG), KPAV_TAG_MAL);
    map->writes = (vbm_write*)kpav_zalloc(VBM_WRITE_REQUESTS * sizeof(vbm_write), KPAV_TAG_MAL);
    bool ok = map->in_flight != nullptr && map->writes != nullptr;
    for (ULONG i = 0; ok && i < VBM_WRITE_REQUESTS; i++) {
        map->writes[i].map = map;
        map->writes[i].buffer = (UCHAR*)kpav_alloc(vbm_record_bytes(map), KPAV_TAG_VML);
        ok = map->writes[i].buffer != nullptr;
    }
    if (!ok) {
        vbm_exit(map);
        return -KPAV_ENOMEM;
    }
    kpav_spin_lock(&log->lock);
    // The list is made anew: whatever the records' links held (an earlier list) is dropped.
    for (ULONG leb = 0; leb < log->eb_count; leb++) {
        InitializeListHead(&log->lebs[leb].open_link);
    }
    InitializeListHead(&log->open_lebs);
    ULONG count = 0;
    for (USHORT leb = log->head_leb; leb != PAV_NO_LEB && leb < log->eb_count && count < log->eb_count;
         leb = log->lebs[leb].next, count++) {
        leb_record* record = &log->lebs[leb];
        if (record->first_position == 0) {
            record->first_position = record->sequence << 24;
        }
        if (record->last_position < record->first_position) {
            record->last_position = record->first_position;
        }
        insert_ordered(log, record);
    }
    map->open_count = count;
    map->cursor = PAV_NO_LEB;
    vbm_update_oldest(map, count);
    kpav_spin_unlock(&log->lock);
    return 0;
}

void vbm_exit(vbmap* map) {
    PAGED_CODE();
    if (map->writes != nullptr) {
        for (ULONG i = 0; i < VBM_WRITE_REQUESTS; i++) {
            // A write in flight still owns its buffer: its completion comes first.
            for (ULONG waited = 0; ReadAcquire8((volatile char*)&map->writes[i].busy) != 0 && waited < 20000; waited++) {
                kpav_udelay(1000);
            }
            kpav_free_if(map->writes[i].buffer, KPAV_TAG_VML);
        }
        kpav_free(map->writes, KPAV_TAG_MAL);
        map->writes = nullptr;
    }
    kpav_free_if(map->in_flight, KPAV_TAG_MAL);
    map->in_flight = nullptr;
}

ULONG vbm_write_due(vbmap* map) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    pav_log* log = map->log;
    ULONG submitted = 0;
    for (ULONG i = 0; i < VBM_WRITES_PER_PASS && map->writes != nullptr; i++) {
        kpav_spin_lock(&log->lock);
        vbm_write* write = nullptr;
        if (!IsListEmpty(&log->open_lebs)) {
            leb_record* first = record_of(log->open_lebs.Flink);
            USHORT leb = (USHORT)(first - log->lebs);
            if (first->last_position < map->oldest_position) {
                write = take_write(map, leb);
            }
        }
        kpav_spin_unlock(&log->lock);
        if (write == nullptr || submit_write(map, write) != 0) {
            break;
        }
        submitted++;
    }
    return submitted;
}

int vbm_write_leb_now(vbmap* map, USHORT leb) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    pav_log* log = map->log;
    if (leb >= log->eb_count || map->writes == nullptr) {
        return -KPAV_EINVAL;
    }
    kpav_spin_lock(&log->lock);
    vbm_write* write = take_write(map, leb);
    kpav_spin_unlock(&log->lock);
    return write != nullptr ? submit_write(map, write) : -KPAV_EBUSY;
}

ULONG vbm_writes_in_flight(vbmap* map, USHORT leb) {
    // Acquire: a caller that sees a write finished sees what its completion recorded.
    return map->in_flight != nullptr && leb < map->log->eb_count ? ReadAcquire((volatile LONG*)&map->in_flight[leb])
                                                                 : 0;
}

void vbm_leb_opened(vbmap* map, USHORT leb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    pav_log* log = map->log;
    if (leb >= log->eb_count) {
        return;
    }
    kpav_spin_lock(&log->lock);
    leb_record* record = &log->lebs[leb];
    record->first_position = record->last_position = record->sequence << 24;
    record->tracked_leb = PAV_NO_LEB;
    record->tracked = 0;
    take_off_list(record);
    insert_ordered(log, record);
    map->open_count++;
    vbm_update_oldest(map, map->open_count);
    kpav_spin_unlock(&log->lock);
}

void vbm_leb_remove(vbmap* map, USHORT leb, bool write_now) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    pav_log* log = map->log;
    if (leb >= log->eb_count) {
        return;
    }
    kpav_spin_lock(&log->lock);
    leb_record* record = &log->lebs[leb];
    if (on_open_list(record)) {
        map->open_count = map->open_count > 0 ? map->open_count - 1 : 0;
    }
    map->cursor = PAV_NO_LEB;  // walked again from the head
    vbm_update_oldest(map, map->open_count);
    take_off_list(record);
    kpav_spin_unlock(&log->lock);
    if (write_now) {
        vbm_write_due(map);
    }
}

void vbm_invalidate(vbmap* map, USHORT leb) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    pav_log* log = map->log;
    if (leb >= log->eb_count) {
        return;
    }
    const vbm_owner_ops* ops = map->ops != nullptr ? map->ops : &vbm_owner_defaults;
    int rc = ops->record_dropped(map->owner, vbm_record_address(map, leb), vbm_record_sectors(map));
    if (rc != 0) {
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 18470, "Failed to invalidate VBM metadata: %d\n", rc);
    }
    kpav_spin_lock(&log->lock);
    log->lebs[leb].tracked_leb = PAV_NO_LEB;
    log->lebs[leb].tracked = 0;
    log->lebs[leb].first_position = 0;
    kpav_spin_unlock(&log->lock);
}

// ---- The attach index load

namespace {

struct index_walk {
    vbmap* map;
};

// A map run over the record ranges: every LEB whose whole range it covers.
void index_run(void* arg, ULONG64 key, ULONG64 count, ULONG64 address) {
    vbmap* map = ((index_walk*)arg)->map;
    pav_log* log = map->log;
    const ULONG64 stride = map->vbm_stride;
    const ULONG64 sectors = vbm_record_sectors(map);
    if (key < VBMAP_BASE_KEY || count == 0 || address < PAV_LOG_FIRST_ADDR || log->leb_span == 0) {
        return;
    }
    ULONG64 first = (key - VBMAP_BASE_KEY + stride - 1) / stride;
    for (ULONG64 leb = first; leb < log->eb_count; leb++) {
        ULONG64 record = VBMAP_BASE_KEY + leb * stride;
        if (record + sectors > key + count) {
            break;
        }
        ULONG64 at = address + (record - key);
        ULONG64 holder = (at - PAV_LOG_FIRST_ADDR) / log->leb_span;
        leb_record* r = &log->lebs[leb];
        if (holder >= log->eb_count || r->func.value != PAV_LEB_FUNC_CLOSED ||
            r->sequence > log->lebs[holder].sequence) {
            continue;
        }
        r->tracked_leb = (USHORT)holder;
        r->tracked = at;
    }
}

void sort_open_list(pav_log* log) {
    LIST_ENTRY sorted;
    InitializeListHead(&sorted);
    while (!IsListEmpty(&log->open_lebs)) {
        LIST_ENTRY* entry = RemoveHeadList(&log->open_lebs);
        leb_record* record = record_of(entry);
        LIST_ENTRY* at = sorted.Flink;
        while (at != &sorted && record_of(at)->first_position <= record->first_position) {
            at = at->Flink;
        }
        InsertTailList(at, entry);
    }
    while (!IsListEmpty(&sorted)) {
        InsertTailList(&log->open_lebs, RemoveHeadList(&sorted));
    }
}

}  // namespace

int vbm_attach_index_load(vbmap* map, const vbm_owner_ops* ops, void* owner, bool skip_read) {
    PAGED_CODE();
    pav_log* log = map->log;
    map->ops = ops != nullptr ? ops : &vbm_owner_defaults;
    map->owner = owner;
    map->cursor = PAV_NO_LEB;
    map->oldest_position = 0;
    for (ULONG leb = 0; leb < log->eb_count; leb++) {
        leb_record* r = &log->lebs[leb];
        r->tracked_leb = PAV_NO_LEB;
        r->tracked = 0;
        r->first_position = r->last_position = r->sequence << 24;
    }
    index_walk walk{map};
    int rc = map->ops->walk_records(owner, VBMAP_BASE_KEY, VBMAP_RANGE_END, index_run, &walk);
    if (rc != 0) {
        return rc;
    }
    for (ULONG leb = map->first_leb; leb < (ULONG)map->first_leb + map->leb_count && leb < log->eb_count; leb++) {
        if (log->lebs[leb].tracked_leb == PAV_NO_LEB) {
            vbm_invalidate(map, (USHORT)leb);
            log->lebs[leb].first_position = log->lebs[leb].last_position = log->lebs[leb].sequence << 24;
        }
    }
    if (!skip_read) {
        auto* header = (UCHAR*)kpav_alloc(sector_of(map), KPAV_TAG_MAL);
        if (header == nullptr) {
            return -KPAV_ENOMEM;
        }
        ULONG steps = 0;
        for (USHORT leb = log->head_leb; leb != PAV_NO_LEB && leb < log->eb_count && steps < log->eb_count;
             leb = log->lebs[leb].next, steps++) {
            leb_record* r = &log->lebs[leb];
            ULONG64 position = 0;
            if (r->tracked_leb == PAV_NO_LEB) {
                continue;
            }
            if (read_record_packets(map, leb, r->tracked, 1, header) == 0 &&
                vbm_record_check(map, leb, header, &position) == 0) {
                r->first_position = r->last_position = position;
            } else {
                vbm_invalidate(map, leb);  // not the LEB's record: it is not used
                r->first_position = r->last_position = r->sequence << 24;
            }
        }
        kpav_free(header, KPAV_TAG_MAL);
    }
    kpav_spin_lock(&log->lock);
    // The list is made anew: whatever the records' links held (an earlier list) is dropped.
    for (ULONG leb = 0; leb < log->eb_count; leb++) {
        InitializeListHead(&log->lebs[leb].open_link);
    }
    InitializeListHead(&log->open_lebs);
    ULONG count = 0;
    for (USHORT leb = log->head_leb; leb != PAV_NO_LEB && leb < log->eb_count && count < log->eb_count;
         leb = log->lebs[leb].next, count++) {
        InsertTailList(&log->open_lebs, &log->lebs[leb].open_link);
    }
    sort_open_list(log);
    map->open_count = count;
    kpav_spin_unlock(&log->lock);
    return 0;
}
