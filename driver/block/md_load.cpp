#include "driver/block/md_load.h"

#include <cstring>

#include "driver/block/mdt.h"
#include "driver/fmap/lrbtree.h"
#include "driver/fmap/rmap.h"
#include "driver/fmap/rsort.h"
#include "driver/log/apt.h"
#include "driver/log/atomic_note.h"
#include "driver/log/datalog.h"
#include "driver/log/datalog_append.h"
#include "driver/log/log_entry.h"
#include "driver/log/log_file.h"
#include "driver/log/log_scan.h"
#include "driver/log/mblk.h"
#include "driver/log/vbmap.h"
#include "driver/pipeline/builders.h"
#include "driver/pipeline/request.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/little_endian.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"
#include "driver/platform/time.h"

namespace {

const char* name_of(const md_store* store) {
    return datalog_device_name(store->log);
}

// ---------------------------------------------------------------------------------------------
// The save's entries

struct entry_landing {
    pav_addr_block placement;
};

void entry_written(velkor_request* head, ULONG64, ULONG64) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ((entry_landing*)head->done_arg)->placement = head->params.append.lvec;
}

// Appends one short entry (`bytes` of it, a multiple of 8) in a packet slot of its own, followed
// by 0xF3 so that a reader steps from its end to the next slot; waits until it is on the media.
// *out_leb (when given) receives the LEB it landed in.
int append_entry(pav_log* log, const UCHAR* entry, ULONG bytes, USHORT* out_leb) {
    PAGED_CODE();
    UCHAR image[64];
    if (bytes + LOG_ENTRY_ALIGN > sizeof image || log->append_point == nullptr) {
        return -KPAV_EINVAL;
    }
    std::memcpy(image, entry, bytes);
    std::memset(image + bytes, LOG_OP_PAD_F3, LOG_ENTRY_ALIGN);
    tavrin_ioctx* context = request_alloc(log->channel, REQUEST_ALLOC_WAIT);
    if (context == nullptr) {
        return -KPAV_ENOMEM;
    }
    velkor_request* request = context->request;
    int rc = request_prepare_append(request, &log->append_point->head, image, bytes + LOG_ENTRY_ALIGN,
                                    BUILD_FLUSH_JOIN_IF_JOINING);
    if (rc != 0) {
        request_free(request);
        return rc;
    }
    entry_landing landing{};
    request->done_fn = entry_written;
    request->done_arg = &landing;
    rc = request_submit_wait(context);
    if (rc == 0 && out_leb != nullptr) {
        *out_leb = landing.placement.count != 0 ? landing.placement.vectors[0].eb : PAV_NO_LEB;
    }
    return rc;
}

// The metadata blocks' writes in flight and their first error.
struct block_writes {
    kpav_spinlock lock;
    kpav_cv cv;
    LONG pending;
    int status;
};

int block_written(int status, const pav_addr_block*, void* arg) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    auto* writes = (block_writes*)arg;
    kpav_spin_lock(&writes->lock);
    if (status != 0 && writes->status == 0) {
        writes->status = status;
    }
    writes->pending--;
    kpav_cv_broadcast(&writes->cv);
    kpav_spin_unlock(&writes->lock);
    return 0;
}

struct block_write_walk {
    block_writes* writes;
    mblk_write_arg arg;
};

int write_block_cb(pav_log* log, mblk* block, void* argument, int previous) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    auto* walk = (block_write_walk*)argument;
    kpav_spin_lock(&walk->writes->lock);
    walk->writes->pending++;
    kpav_spin_unlock(&walk->writes->lock);
    int rc = mblk_write_cb(log, block, &walk->arg, previous);
    if (rc != 0) {
        kpav_spin_lock(&walk->writes->lock);
        walk->writes->pending--;
        kpav_spin_unlock(&walk->writes->lock);
    }
    return rc;
}

int write_all_blocks(pav_log* log) {
    PAGED_CODE();
    block_writes writes{};
    kpav_spinlock_init(&writes.lock);
    kpav_cv_init(&writes.cv);
    block_write_walk walk = {&writes, {block_written, &writes}};
    int rc = mblk_for_each(log, write_block_cb, &walk);
    kpav_spin_lock(&writes.lock);
    while (writes.pending > 0) {
        kpav_cv_timedwait(&writes.cv, &writes.lock, KPAV_NO_TIMEOUT, false);
    }
    kpav_spin_unlock(&writes.lock);
    return rc != 0 ? rc : writes.status;
}

ULONG count_lebs(const pav_log* log, ULONG state) {
    ULONG n = 0;
    for (ULONG leb = 0; leb < log->eb_count; leb++) {
        n += log->lebs[leb].func.value == state ? 1 : 0;
    }
    return n;
}

}  // namespace

int datalog_write_metadata(md_store* store) {
    PAGED_CODE();
    pav_log* log = store->log;
    if (log->append_point == nullptr || store->mdt == nullptr || store->mdt->map == nullptr) {
        return -KPAV_EINVAL;
    }
    // The checkpoint note: where the data ends, with the time.
    UCHAR note[MD_CHECKPOINT_NOTE_BYTES] = {};
    note[0] = LOG_OP_CHECKPOINT;
    le_put_u64(note + 16, kpav_get_usecs() / 1000000);
    int rc = append_entry(log, note, sizeof note, nullptr);
    if (rc == 0) {
        rc = datalog_advance_and_close(log, log->append_leb);
    }
    if (rc == 0 && store->validity != nullptr) {
        rc = vbm_summary_save(store->validity);
    }
    if (rc == 0) {
        rc = lrbtree_save(store->mdt->map);
    }
    USHORT first = PAV_NO_LEB;
    if (rc == 0) {
        UCHAR header[MD_HEADER_BYTES] = {};
        header[0] = LOG_OP_MD_HEADER;
        le_put_u32(header + 12, MD_VERSION);
        rc = append_entry(log, header, sizeof header, &first);
    }
    if (rc == 0) {
        kpav_print(KPAV_CLASS_NORMAL_TRACED, "%s: Writing metadata starting at EB %4u (%d free %d used)\n", name_of(store),
                   (unsigned)first, (int)count_lebs(log, PAV_LEB_FUNC_ERASED),
                   (int)(log->eb_count - count_lebs(log, PAV_LEB_FUNC_ERASED)));
        // Every block: a load reads the blocks of the last save only.
        rc = write_all_blocks(log);
    }
    if (rc == 0) {
        rc = datalog_advance_and_close(log, log->append_leb);
    }
    if (rc == 0) {
        if (first >= log->eb_count) {
            return -KPAV_EIO;
        }
        UCHAR end[MD_END_RECORD_BYTES] = {};
        end[0] = LOG_OP_MD_END;
        le_put_u16(end + 10, first);
        le_put_u16(end + 12, log->append_leb);
        le_put_u64(end + 16, log->lebs[first].sequence);
        rc = append_entry(log, end, sizeof end, nullptr);
    }
    return rc;
}

// ---------------------------------------------------------------------------------------------
// The search for the end record

namespace {

// The packet header at the reader's place.
int peek_packet(log_file* reader, UCHAR* opcode, ULONG64* address) {
    UCHAR header[PKT_HEADER_SIZE];
    int rc = log_file_copy_out(reader, header, sizeof header);
    if (rc == 0) {
        pkt_header_decode(header, opcode, address);
    }
    return rc;
}

bool in_md_region(ULONG64 address) {
    return address >= SYS_ADDR_MD_REGION && address <= SYS_ADDR_MD_REGION + 0x3FF;
}

}  // namespace

int checkpoint_find(log_file* reader, log_file_pos* out_position, UCHAR* out_record, int* out_state,
                    UCHAR* out_last_opcode) {
    PAGED_CODE();
    pav_log* log = reader->log;
    int state = MD_CP_NONE;
    UCHAR last = 0;
    log_file_pos remembered{PAV_NO_LEB, 0};
    USHORT leb = log->append_leb;
    if (leb == PAV_NO_LEB || log->head_leb == PAV_NO_LEB) {
        return -KPAV_ENOENT;
    }
    int rc = 0;
    for (ULONG moves = 0; moves <= log->eb_count; moves++) {
        log_file_pos start{leb, 0};
        rc = log_file_open(reader, &start, LOG_FILE_FORWARD, 0);
        UCHAR opcode = 0;
        while (rc == 0 && (rc = log_file_next_entry(reader, &opcode)) == 0) {
            log_file_pos where{};
            log_file_where(reader, &where);
            if (where.leb != leb) {
                break;
            }
            UCHAR kind = log_opcode_fold(opcode);
            last = kind;
            switch (kind) {
                case LOG_OP_MD_END:
                    state = MD_CP_END;
                    remembered = where;
                    break;
                case LOG_OP_CHECKPOINT:
                case LOG_OP_MD_HEADER:
                case LOG_OP_MD_BLOCK:
                    state = MD_CP_METADATA;
                    remembered = where;
                    break;
                case LOG_OP_DATA:
                    state = MD_CP_DATA;
                    break;
                case LOG_OP_SYSTEM: {
                    UCHAR full = 0;
                    ULONG64 address = 0;
                    rc = peek_packet(reader, &full, &address);
                    if (rc != 0) {
                        break;
                    }
                    if (state == MD_CP_END && in_md_region(address)) {
                        last = LOG_OP_MD_END;
                    } else if (state == MD_CP_REGION && in_md_region(address)) {
                        last = LOG_OP_MD_REGION;
                    } else {
                        state = state == MD_CP_END || state == MD_CP_REGION ? MD_CP_DATA : MD_CP_SYSTEM;
                    }
                    break;
                }
                case LOG_OP_EB_CLOSE:
                    if (state == MD_CP_END) {
                        last = LOG_OP_MD_END;
                    }
                    break;
                case LOG_OP_MD_REGION:
                    state = MD_CP_REGION;
                    remembered = where;
                    break;
                default:
                    break;
            }
            if (rc == 0) {
                rc = log_entry_skip(reader, opcode);
                if (rc != 0) {
                    kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 16392, "Unable to read drive metadata (%d).\n",
                                rc);
                }
            }
        }
        if (rc == -KPAV_ENOENT) {
            rc = 0;
        }
        if (rc != 0 || state != MD_CP_NONE || leb == log->head_leb) {
            break;
        }
        leb = log->lebs[leb].previous;
        if (leb == PAV_NO_LEB) {
            break;
        }
    }
    *out_state = state;
    *out_last_opcode = last;
    *out_position = remembered;
    if (rc == 0 && state == MD_CP_END) {
        rc = log_file_open(reader, &remembered, LOG_FILE_FORWARD, 0);
        if (rc == 0) {
            rc = log_file_copy_out(reader, out_record, MD_END_RECORD_BYTES);
        }
    }
    return rc;
}

namespace {

// The LEB and place of the checkpoint note the data ends at, from `start` backwards.
int checkpoint_note_find(md_store* store, log_file* reader, USHORT start, log_file_pos* out) {
    PAGED_CODE();
    pav_log* log = store->log;
    USHORT leb = start;
    for (ULONG moves = 0; leb != PAV_NO_LEB && moves <= log->eb_count; moves++, leb = log->lebs[leb].previous) {
        log_file_pos at{leb, 0};
        int rc = log_file_open(reader, &at, LOG_FILE_FORWARD, 0);
        bool data = false;
        UCHAR opcode = 0;
        while (rc == 0 && (rc = log_file_next_entry(reader, &opcode)) == 0) {
            log_file_pos where{};
            log_file_where(reader, &where);
            if (where.leb != leb) {
                break;
            }
            UCHAR kind = log_opcode_fold(opcode);
            if (kind == LOG_OP_CHECKPOINT) {
                *out = where;
                return 0;
            }
            data = data || kind == LOG_OP_DATA;
            rc = log_entry_skip(reader, opcode);
            if (rc == -KPAV_EINVAL) {
                kpav_print(KPAV_CLASS_ERROR, "%s: unknown entry 0x%x seen in log @%u+%llu\n", name_of(store),
                           (unsigned)opcode, (unsigned)where.leb, (unsigned long long)where.byte);
                return rc;
            }
        }
        if (rc != 0 && rc != -KPAV_ENOENT) {
            return rc;
        }
        if (data || leb == log->head_leb) {
            return -KPAV_ENOENT;
        }
    }
    return -KPAV_ENOENT;
}

// ---------------------------------------------------------------------------------------------
// The load from the end record

// A metadata block's packets from the reader's place: every one an 0x8E entry of the next
// address; the data part of each copied into the block's page.
int load_block(md_store* store, log_file* reader, UCHAR opcode) {
    pav_log* log = store->log;
    const ULONG s = log->sector_size;
    const ULONG p = log->geometry.packet_size;
    const ULONG packets = s >= PAV_PAGE_SIZE ? 1 : PAV_PAGE_SIZE / s;
    UCHAR full = 0;
    ULONG64 address = 0;
    int rc = peek_packet(reader, &full, &address);
    if (rc != 0) {
        return rc;
    }
    // The key: the address / 8 with bits 53-55 set; a block starts on a multiple of 8.
    ULONG64 key = (address >> 3) | (7ull << 53);
    if ((address & 7) != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Failed to get appropriate block: %llu\n", name_of(store),
                   (unsigned long long)key);
        return -KPAV_EINVAL;
    }
    mblk* block = nullptr;
    rc = mblk_get(&block, log, key, MBLK_FIND_OR_CREATE);
    if (rc != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Failed to get appropriate block: %llu\n", name_of(store),
                   (unsigned long long)key);
        return rc;
    }
    UCHAR* page = (UCHAR*)block->page;
    for (ULONG i = 0; i < packets && rc == 0; i++) {
        if (i > 0) {
            rc = log_file_next_entry(reader, &opcode);
            ULONG64 next = 0;
            if (rc == 0) {
                rc = peek_packet(reader, &full, &next);
            }
            // A block is whole: its packets follow one another.
            if (rc == 0 && (opcode != LOG_OP_MD_BLOCK || next != address + i)) {
                rc = -KPAV_EINVAL;
            }
        }
        if (rc == 0) rc = log_file_skip(reader, p - s);
        if (rc == 0) rc = log_file_copy_out(reader, page + (ULONG64)i * s, s < PAV_PAGE_SIZE ? s : PAV_PAGE_SIZE);
        if (rc == 0) rc = log_file_skip(reader, s);
    }
    (void)opcode;
    mblk_put(log, block);
    return rc;
}

// The walk of the saved metadata from its first LEB to the end of the log.
int load_walk(md_store* store, log_file* reader, USHORT first) {
    log_file_pos at{first, 0};
    int rc = log_file_open(reader, &at, LOG_FILE_FORWARD, LOG_FILE_NO_LIMIT);
    if (rc != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Unable to start scan.\n", name_of(store));
        return -KPAV_EINVAL;
    }
    UCHAR opcode = 0;
    bool version_seen = false;
    while ((rc = log_file_next_entry(reader, &opcode)) == 0) {
        UCHAR kind = log_opcode_fold(opcode);
        if (kind == LOG_OP_MD_HEADER) {
            UCHAR header[MD_HEADER_BYTES];
            rc = log_file_copy_out(reader, header, sizeof header);
            if (rc != 0) {
                kpav_print(KPAV_CLASS_ERROR, "%s: Scan metadata header failed\n", name_of(store));
                return -KPAV_EINVAL;
            }
            ULONG version = le_get_u32(header + 12);
            if (version != MD_VERSION) {
                kpav_print(KPAV_CLASS_ERROR, "%s: Unable to use metadata version %x, %x. Rebuilding.\n",
                           name_of(store), (unsigned)version, (unsigned)MD_VERSION);
                return -KPAV_EINVAL;
            }
            version_seen = true;
        } else if (kind == LOG_OP_MD_BLOCK) {
            if (!version_seen) {
                return -KPAV_EINVAL;
            }
            rc = load_block(store, reader, opcode);
            if (rc != 0) {
                return -KPAV_EINVAL;
            }
            continue;
        } else if (kind == LOG_OP_DATA) {
            kpav_print(KPAV_CLASS_ERROR, "%s: found data packet in metadata log\n", name_of(store));
            return -KPAV_EINVAL;
        } else if (kind == LOG_OP_CHECKPOINT) {
            kpav_print(KPAV_CLASS_ERROR, "%s: found checkpoint note in metadata log\n", name_of(store));
            return -KPAV_EINVAL;
        } else if (kind == LOG_OP_SYSTEM) {
            UCHAR full = 0;
            ULONG64 address = 0;
            rc = peek_packet(reader, &full, &address);
            if (rc != 0) {
                return -KPAV_EINVAL;
            }
            sys_addr_kind system = sys_addr_classify(address);
            if (system == SYS_KIND_LEB_LIST_NOTE) {
                kpav_print(KPAV_CLASS_ERROR, "%s: found trim note in metadata\n", name_of(store));
                return -KPAV_EINVAL;
            }
            if (system == SYS_KIND_DATA) {
                kpav_print(KPAV_CLASS_ERROR, "%s: found data packet in metadata log\n", name_of(store));
                return -KPAV_EINVAL;
            }
        } else if (kind == LOG_OP_EB_OPENER) {
            return -KPAV_EINVAL;
        }
        rc = log_entry_skip(reader, opcode);
        if (rc != 0) {
            break;
        }
    }
    if (rc == -KPAV_ENOENT) {
        rc = 0;
    }
    if (rc == 0 && !version_seen) {
        rc = -KPAV_EINVAL;  // no header: not a metadata save
    }
    if (rc != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Scan log failed with error (%d).\n", name_of(store), rc);
        kpav_print(KPAV_CLASS_ERROR, "%s: Metadata scan log returned error %d\n", name_of(store), rc);
        return -KPAV_EINVAL;
    }
    return 0;
}

int metadata_load_from_end_record(md_store* store, log_file* reader, const UCHAR* record, USHORT end_leb) {
    PAGED_CODE();
    pav_log* log = store->log;
    USHORT first = le_get_u16(record + 10);
    ULONG64 sequence = le_get_u64(record + 16);
    if (first >= log->eb_count) {
        return -KPAV_EINVAL;
    }
    int rc = datalog_check_sequence(log, first, end_leb, sequence);
    if (rc != 0) {
        return rc;
    }
    if (store->dev_state != nullptr && kpav_state_change(store->dev_state, MD_DEV_LOADING, 1, MD_DEV_ATTACHING) == 0) {
        return -KPAV_EINVAL;
    }
    kpav_state_change(&log->state, PAV_LOG_SCANNING, 0);
    kpav_print(KPAV_CLASS_NORMAL_TRACED, "%s: Found metadata in EBs %d-%d, loading...\n", name_of(store), (int)first,
               (int)end_leb);
    rc = load_walk(store, reader, first);
    if (rc != 0) {
        return rc;
    }
    rc = lrbtree_load(store->mdt->map);
    if (rc == 0 && store->validity != nullptr) {
        rc = vbm_summary_load(store->validity);
    }
    return rc;
}

// ---------------------------------------------------------------------------------------------
// The rescan

struct rescan_state {
    md_store* store;
    bool recording;   // pass 2
    rmap_tree* rmap;
    rsort_ctx* rsort;
    // Pass 1: the packets of the LEBs walked entry by entry (the one open at the stop), in order.
    struct walked_packet {
        USHORT leb;
        ULONG packet;
        UCHAR opcode;
        bool data;
    };
    walked_packet* walked;
    ULONG walked_count;
    ULONG walked_capacity;
    USHORT last_leb_counted;
};

int record_run(rescan_state* state, USHORT leb, ULONG packet, ULONG64 address, ULONG count) {
    md_store* store = state->store;
    if (leb != state->last_leb_counted) {
        state->last_leb_counted = leb;
        store->lebs_scanned++;
    }
    if (address < LOG_FIRST_SYSTEM_ADDR && state->rmap != nullptr) {
        int rc = rmap_set_range(state->rmap, address, count, leb, packet);
        if (rc != -KPAV_ENOSPC) {
            return rc;
        }
        // A sector beyond the device: the direct path reports it.
    }
    if (address < LOG_FIRST_SYSTEM_ADDR && state->rsort != nullptr) {
        lrbtree_range range = {address, count};
        return rsort_add(state->rsort, &range, false, leb, packet);
    }
    pav_addr_block placement{};
    placement.count = 1;
    placement.vectors[0] = {leb, packet};
    placement.packet_counts[0] = count;
    lrbtree_range range = {address, count};
    return mdt_record_sectors(store->mdt, MDT_REPLAY | MDT_NO_PARTITION_ACCOUNTING, &placement, nullptr, &range);
}

int scan_data(log_scan* scan, USHORT leb, ULONG packet, ULONG64 address, ULONG count) {
    auto* state = (rescan_state*)scan->owner;
    return state->recording ? record_run(state, leb, packet, address, count) : 0;
}

int scan_discard_note(log_scan* scan, USHORT, const UCHAR* note, ULONG bytes) {
    auto* state = (rescan_state*)scan->owner;
    return state->recording ? 0 : atomic_discard_note_apply(scan->log, (const atomic_note*)note, bytes);
}

int remember_packet(rescan_state* state, USHORT leb, ULONG packet, UCHAR opcode, bool data) {
    if (state->walked_count == state->walked_capacity) {
        ULONG capacity = state->walked_capacity == 0 ? 1024 : state->walked_capacity * 2;
        auto* grown = (rescan_state::walked_packet*)kpav_zalloc(capacity * sizeof(rescan_state::walked_packet),
                                                                 KPAV_TAG_MAL);
        if (grown == nullptr) {
            return -KPAV_ENOMEM;
        }
        if (state->walked != nullptr) {
            std::memcpy(grown, state->walked, state->walked_count * sizeof(rescan_state::walked_packet));
            kpav_free(state->walked, KPAV_TAG_MAL);
        }
        state->walked = grown;
        state->walked_capacity = capacity;
    }
    state->walked[state->walked_count++] = {leb, packet, opcode, data};
    return 0;
}

// An LEB without a usable index (the one open at the stop): its entries one by one. Pass 1 notes
// its packets and applies its discard notes; pass 2 records its data outside the discard range.
int scan_walk(log_scan* scan, log_file* reader, USHORT leb) {
    auto* state = (rescan_state*)scan->owner;
    pav_log* log = scan->log;
    const leb_record& record = log->lebs[leb];
    UCHAR opcode = 0;
    int rc;
    while ((rc = log_file_next_entry(reader, &opcode)) == 0) {
        log_file_pos where{};
        log_file_where(reader, &where);
        if (where.leb != leb) {
            return 0;
        }
        UCHAR kind = log_opcode_fold(opcode);
        if (kind == LOG_OP_EB_OPENER) {
            kpav_print(KPAV_CLASS_ERROR, "%s: Found EB opener at wrong offset: %u+%llu\n", name_of(state->store),
                       (unsigned)where.leb, (unsigned long long)where.byte);
            return -KPAV_EINVAL;
        }
        if (kind == LOG_OP_DATA || kind == LOG_OP_SYSTEM) {
            UCHAR bytes[ATOMIC_NOTE_MIN_BYTES];
            rc = log_file_copy_out(reader, bytes, sizeof bytes);
            if (rc != 0) {
                kpav_print(KPAV_CLASS_ERROR, "%s: Error reading packet stream (%d)\n", name_of(state->store), rc);
                return rc;
            }
            ULONG64 address = 0;
            UCHAR full = 0;
            pkt_header_decode(bytes, &full, &address);
            ULONG packet = (ULONG)((where.byte - log->geometry.head_reserve) / log->geometry.packet_size);
            sys_addr_kind system = kind == LOG_OP_SYSTEM ? sys_addr_classify(address) : SYS_KIND_OTHER;
            bool data = kind == LOG_OP_DATA || system == SYS_KIND_DATA;
            if (!state->recording) {
                rc = remember_packet(state, leb, packet, full, data);
                if (rc == 0 && system == SYS_KIND_DISCARD_NOTE) {
                    rc = atomic_discard_note_apply(log, (const atomic_note*)bytes, sizeof bytes);
                }
                if (rc != 0) {
                    return rc;
                }
            } else if (data && (packet < record.discard_start || packet >= record.discard_end)) {
                rc = record_run(state, leb, packet, address, 1);
                if (rc != 0) {
                    return rc;
                }
            }
        }
        rc = log_entry_skip(reader, opcode);
        if (rc != 0) {
            return rc;
        }
    }
    return rc;
}

const log_scan_ops rescan_ops = {scan_data, nullptr, scan_discard_note, nullptr, nullptr, nullptr, scan_walk};

// Pass 1: the discard notes applied, and the trailing packets of an atomic write the stop cut
// short (still marked open where the log ends) given a note of their own, left in the log record
// for the append point to write once it is open.
int atomic_recovery_scan(md_store* store, log_scan* scan, rescan_state* state) {
    PAGED_CODE();
    pav_log* log = store->log;
    int rc = ebi_scan_chain(scan, log->head_leb, PAV_NO_LEB, false);
    if (rc != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Unable to read packet stream.\n", name_of(store));
        return rc;
    }
    ULONG end = state->walked_count;
    ULONG first = end;
    while (first > 0 && state->walked[first - 1].data && (state->walked[first - 1].opcode & 0x08) != 0 &&
           state->walked[first - 1].leb == state->walked[end - 1].leb) {
        first--;
    }
    if (first < end) {
        const auto& a = state->walked[first];
        const auto& b = state->walked[end - 1];
        rc = atomic_discard_note_build(log, a.leb, a.packet, b.leb, b.packet);
        if (rc == 0) {
            rc = atomic_discard_note_apply(log, (const atomic_note*)log->discard_note, log->discard_note_bytes);
        }
    }
    return rc;
}

void rebuild_setup(md_store* store, rescan_state* state, bool fresh) {
    PAGED_CODE();
    pav_log* log = store->log;
    store->rebuild_mode = MD_REBUILD_DIRECT;
    if (fresh) {
        return;
    }
    const ULONG64 capacity = lrbtree_sector_count(store->mdt->map);
    const bool sparse = log->format.sparse != 0;
    if (store->rmap_limit_mib != 0 && capacity * 4 / (1ull << 20) + 1 < store->rmap_limit_mib && !sparse &&
        log->last_addr < 0xFFFFFFFFull && capacity + 2 < 0xFFFFFFFFull) {
        if (rmap_create(&state->rmap, capacity, log) == 0) {
            store->rebuild_mode = MD_REBUILD_RMAP;
            return;
        }
    }
    const ULONG64 budget = (ULONG64)store->rsort_limit_mib * 32768;
    if (store->rsort_limit_mib != 0 && budget >= (capacity < 0xA00000 ? capacity : 0xA00000) && !sparse &&
        log->last_addr < (1ull << 40) - 1) {
        int rc = rsort_create(&state->rsort, budget, log, lrbtree_sector_shards(store->mdt->map));
        if (rc == 0) {
            store->rebuild_mode = MD_REBUILD_RSORT;
        } else {
            kpav_print(KPAV_CLASS_ERROR, "%s: Failed to setup rsort %d\n", name_of(store), rc);
        }
    }
}

int rebuild_finish(md_store* store, rescan_state* state) {
    PAGED_CODE();
    lrbtree_validity validity = {store->mdt->validity, store->mdt->bits_per_leb};
    int rc = 0;
    if (state->rmap != nullptr) {
        rc = rmap_build_forward_map(store->mdt->map, state->rmap, &validity);
        rmap_destroy(&state->rmap);
    } else if (state->rsort != nullptr) {
        rc = rsort_build_forward_map(store->mdt->map, state->rsort, &validity);
        rsort_destroy(&state->rsort);
    }
    return rc;
}

// An empty forward map in place of one a failed load left.
int fresh_map(md_store* store) {
    PAGED_CODE();
    mdt_context* mdt = store->mdt;
    const ULONG64 sectors = lrbtree_sector_count(mdt->map);
    lrbtree_destroy(&mdt->map);
    mblk_release_all(store->log);
    int rc = lrbtree_create(&mdt->map, store->log, sectors, mdt->sector_space);
    if (rc != 0) {
        return rc;
    }
    lrbtree_set_invalidate(mdt->map, mdt_invalidate, mdt);
    return 0;
}

void print_banner(md_store* store, const char* const* lines) {
    for (ULONG i = 0; i < 4; i++) {
        kpav_print(KPAV_CLASS_NORMAL_TRACED, "%s: %s\n", name_of(store), lines[i]);
    }
}

const char* const banner_possible[4] = {
    "************************************************************",
    "*** possible unclean shutdown detected, re-scanning log. ***",
    "*** this may take several minutes.                       ***",
    "************************************************************",
};
const char* const banner_forced[4] = {
    "***************************************************",
    "*** user requested a forced re-scan of log.     ***",
    "*** this may take several minutes.              ***",
    "***************************************************",
};
const char* const banner_unclean[4] = {
    "***************************************************",
    "*** unclean shutdown detected, re-scanning log. ***",
    "*** this may take several minutes.              ***",
    "***************************************************",
};

int rescan(md_store* store, ULONG flags, UCHAR last_opcode) {
    PAGED_CODE();
    pav_log* log = store->log;
    const bool fresh = last_opcode == LOG_OP_MD_REGION;
    if (fresh && store->cleb_count != 0) {
        print_banner(store, banner_possible);
    } else if ((flags & MD_LOAD_FORCE_RESCAN) != 0) {
        print_banner(store, banner_forced);
    } else if (!fresh) {
        print_banner(store, banner_unclean);
    }
    int rc = lrbtree_reset(store->mdt->map);
    if (rc != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Creation of empty md failed.\n", name_of(store));
        return rc;
    }
    for (ULONG leb = 0; leb < log->eb_count && log->counters != nullptr; leb++) {
        log->counters[leb].note_address = ~0ull;
        InterlockedExchange(&log->counters[leb].valid, 0);
    }
    if (store->validity != nullptr && vbmap_clear_all(store->validity) != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Creation of empty digest failed.\n", name_of(store));
        return -KPAV_ENOMEM;
    }
    kpav_state_change(&log->state, PAV_LOG_SCANNING, 0);
    store->rescanned = 1;
    if (log->head_leb == PAV_NO_LEB) {
        return 0;
    }
    rescan_state state{};
    state.store = store;
    state.last_leb_counted = PAV_NO_LEB;
    log_scan scan{};
    rc = log_scan_init(&scan, log, &rescan_ops, &state);
    if (rc != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Unable to start log scan.\n", name_of(store));
        return rc;
    }
    rc = atomic_recovery_scan(store, &scan, &state);
    if (rc != 0) {
        kpav_syslog(KPAV_LEVEL_WARNING, KPAV_DRIVER_COMPONENT, 0, "Unable to determine if atomic writes need recovery.\n");
    }
    if (rc == 0) {
        rebuild_setup(store, &state, fresh);
        state.recording = true;
        rc = ebi_scan_chain(&scan, log->head_leb, PAV_NO_LEB, false);
        int built = rebuild_finish(store, &state);
        rc = rc != 0 ? rc : built;
        if (rc != 0) {
            kpav_print(KPAV_CLASS_ERROR, "%s: Scan log failed with error (%d).\n", name_of(store), rc);
        }
    }
    if (state.rmap != nullptr) rmap_destroy(&state.rmap);
    if (state.rsort != nullptr) rsort_destroy(&state.rsort);
    if (state.walked != nullptr) kpav_free(state.walked, KPAV_TAG_MAL);
    log_scan_exit(&scan);
    if (rc == 0) {
        kpav_print(KPAV_CLASS_NORMAL_TRACED, "%s: Successfully reattached after %s (%u).\n", name_of(store),
                   fresh ? "fresh format" : "unclean shutdown", (unsigned)log->append_leb);
    }
    return rc;
}

}  // namespace

int metadata_load(md_store* store, ULONG flags) {
    PAGED_CODE();
    pav_log* log = store->log;
    store->rescanned = 0;
    store->lebs_scanned = 0;
    log_file* reader = nullptr;
    UCHAR* record = (UCHAR*)kpav_zalloc(MD_END_RECORD_BYTES, KPAV_TAG_MAL);
    if (record == nullptr || log_file_create(&reader, log) != 0) {
        kpav_free_if(record, KPAV_TAG_MAL);
        return -KPAV_ENOMEM;
    }
    log_file_pos position{PAV_NO_LEB, 0};
    int state = MD_CP_NONE;
    UCHAR last = 0;
    int found = log->head_leb == PAV_NO_LEB ? -KPAV_ENOENT : checkpoint_find(reader, &position, record, &state, &last);
    int rc = 0;
    bool loaded = false;
    if ((flags & MD_LOAD_FORCE_RESCAN) == 0 && found == 0 && state == MD_CP_END && store->cleb_count == 0) {
        rc = metadata_load_from_end_record(store, reader, record, position.leb);
        if (rc == 0) {
            store->attach_flags |= MD_ATTACH_CLEAN;
            loaded = true;
        } else {
            rc = fresh_map(store);
        }
    }
    if (!loaded && rc == 0) {
        if (last != LOG_OP_MD_REGION && (flags & MD_LOAD_NO_RESCAN) != 0) {
            rc = -KPAV_EAGAIN;
        } else if (store->dev_state != nullptr &&
                   kpav_state_change(store->dev_state, MD_DEV_RESCANNING, 2, MD_DEV_ATTACHING, MD_DEV_LOADING) == 0) {
            rc = -KPAV_EINVAL;
        } else {
            if (found == 0 && (state == MD_CP_METADATA || state == MD_CP_END) &&
                (flags & MD_LOAD_FORCE_RESCAN) == 0) {
                kpav_print(KPAV_CLASS_NORMAL_TRACED, "%s: scanning log for metadata checkpoint starting at %u.\n",
                           name_of(store), (unsigned)log->append_leb);
                log_file_pos note{};
                if (checkpoint_note_find(store, reader, log->append_leb, &note) != 0) {
                    kpav_print(KPAV_CLASS_ERROR, "%s: Cannot locate metadata checkpoint.\n", name_of(store));
                    rc = -KPAV_EIO;
                }
            }
            if (rc == 0) {
                rc = rescan(store, flags, last);
            }
        }
    }
    log_file_destroy(reader);
    kpav_free_if(record, KPAV_TAG_MAL);
    return rc;
}
