#include "driver/log/vbmap.h"

#include "driver/log/mblk.h"
#include "driver/log/pbitmap.h"
#include "driver/pipeline/eb_geometry.h"
#include "driver/pipeline/ebinfo.h"
#include "driver/pipeline/pipeline.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/little_endian.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"

namespace {

ULONG64 first_word_of(const vbmap* map, USHORT leb) {
    return (ULONG64)leb * map->bits_per_leb / 32;
}
ULONG64 last_word_of(const vbmap* map, USHORT leb) {
    return ((ULONG64)leb + 1) * map->bits_per_leb / 32 - 1;
}
bool in_range(const vbmap* map, USHORT leb) {
    return leb >= map->first_leb && (ULONG)leb < (ULONG)map->first_leb + map->leb_count;
}

// The block's page of LEB `leb`, block j (present after create).
UCHAR* block_page(vbmap* map, USHORT leb, ULONG j) {
    return (UCHAR*)pav_pbitmap_leaf(map->bits, (ULONG64)leb * map->blocks_per_leb + j);
}

void mark_block_dirty(vbmap* map, ULONG64 key) {
    mblk* block = nullptr;
    if (mblk_get(&block, map->log, key, MBLK_FIND) == 0) {
        mblk_mark_dirty(block);
        mblk_put(map->log, block);
    }
}

// Zeroes and dirties the LEB's blocks.
void clear_blocks(vbmap* map, USHORT leb) {
    for (ULONG j = 0; j < map->blocks_per_leb; j++) {
        UCHAR* page = block_page(map, leb, j);
        if (page != nullptr) {
            RtlZeroMemory(page, VBMAP_BLOCK_BYTES);
            mark_block_dirty(map, VBMAP_BASE_KEY + (ULONG64)leb * map->blocks_per_leb + j);
        }
    }
}

ULONG64 count_bits(vbmap* map, USHORT leb) {
    ULONG64 first = (ULONG64)leb * map->bits_per_leb;
    ULONG64 total = 0;
    ULONG64 at = 0;
    while (at < map->packets_per_leb) {
        ULONG64 set = pav_pbitmap_find_next_set(map->bits, first + at, map->packets_per_leb - at);
        at += set;
        if (at >= map->packets_per_leb) {
            break;
        }
        ULONG64 run = pav_pbitmap_find_next_zero(map->bits, first + at, map->packets_per_leb - at);
        total += run;
        at += run;
    }
    return total;
}

leb_counters* counters_of(vbmap* map, USHORT leb) {
    pav_log* log = map->log;
    return log->counters != nullptr && leb < log->eb_count ? &log->counters[leb] : nullptr;
}

}  // namespace

void vbmap_geometry(ULONG packets_per_leb, ULONG sector_size, ULONG* out_blocks, ULONG64* out_bits,
                    ULONG* out_stride) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG blocks = (packets_per_leb + VBMAP_BLOCK_BITS - 1) / VBMAP_BLOCK_BITS;
    blocks = blocks == 0 ? 1 : blocks;
    *out_blocks = blocks;
    *out_bits = (ULONG64)blocks * VBMAP_BLOCK_BITS;
    ULONG sector = sector_size != 0 ? sector_size : 512;
    *out_stride = (ULONG)(((ULONG64)blocks * VBMAP_BLOCK_BYTES + sector - 1) / sector) + 2;
}

int vbmap_create(vbmap* map, pav_log* log, USHORT first_leb, USHORT leb_count, ULONG sector_size) {
    PAGED_CODE();
    RtlZeroMemory(map, sizeof *map);
    map->log = log;
    map->first_leb = first_leb;
    map->leb_count = leb_count;
    map->packets_per_leb = log->packets_per_leb;
    map->cursor = PAV_NO_LEB;
    map->tracking = 1;
    vbmap_geometry(map->packets_per_leb, sector_size, &map->blocks_per_leb, &map->bits_per_leb, &map->vbm_stride);
    int rc = pav_pbitmap_create(&map->bits, (ULONG64)log->eb_count * map->bits_per_leb, nullptr, log);
    if (rc == 0 && leb_count != 0) {
        rc = pav_pbitmap_adopt_leaves(map->bits, first_word_of(map, first_leb),
                                      last_word_of(map, (USHORT)(first_leb + leb_count - 1)));
    }
    if (rc == 0) {
        rc = vbmap_clear_all(map);
    }
    if (rc != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Unable to init structure (vbmap, %d)\n", datalog_device_name(log), rc);
        vbmap_destroy(map);
    }
    return rc;
}

void vbmap_destroy(vbmap* map) {
    PAGED_CODE();
    if (map->bits != nullptr) {
        // The leaves stay in the block table (a metadata save writes them, a load fills them);
        // the bitmap gives up its use and its reference of each.
        ULONG64 leaves = (ULONG64)map->log->eb_count * map->blocks_per_leb;
        for (ULONG64 n = 0; n < leaves; n++) {
            if (pav_pbitmap_leaf(map->bits, n) == nullptr) {
                continue;
            }
            mblk* block = nullptr;
            if (mblk_get(&block, map->log, VBMAP_BASE_KEY + n, MBLK_FIND) == 0) {
                block->users--;
                mblk_put(map->log, block);
                mblk_put(map->log, block);
            }
        }
    }
    pav_pbitmap_destroy(&map->bits);
}

int vbmap_clear_all(vbmap* map) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    for (ULONG i = 0; i < map->leb_count; i++) {
        clear_blocks(map, (USHORT)(map->first_leb + i));
    }
    return 0;
}

int vbmap_clear_leb(vbmap* map, USHORT leb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (!in_range(map, leb)) {
        return -KPAV_EINVAL;
    }
    leb_counters* counters = counters_of(map, leb);
    if (counters != nullptr) {
        InterlockedExchange(&counters->valid, 0);
        counters->peak = 0;
    }
    clear_blocks(map, leb);
    return 0;
}

int vbmap_set(vbmap* map, USHORT leb, ULONG packet, ULONG count) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (!in_range(map, leb) || packet > map->packets_per_leb || count > map->packets_per_leb - packet) {
        return -KPAV_EINVAL;
    }
    ULONG64 changed = 0;
    int rc = pav_pbitmap_set_range_counted(map->bits, (ULONG64)leb * map->bits_per_leb + packet, count, &changed);
    leb_counters* counters = counters_of(map, leb);
    if (counters != nullptr && changed != 0) {
        InterlockedExchangeAdd(&counters->valid, (LONG)changed);
    }
    return rc;
}

int vbmap_clear(vbmap* map, USHORT leb, ULONG packet, ULONG count) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (!in_range(map, leb) || packet > map->packets_per_leb || count > map->packets_per_leb - packet) {
        return -KPAV_EINVAL;
    }
    ULONG64 changed = 0;
    int rc = pav_pbitmap_clear_range_counted(map->bits, (ULONG64)leb * map->bits_per_leb + packet, count, &changed);
    leb_counters* counters = counters_of(map, leb);
    if (counters != nullptr && changed != 0) {
        InterlockedExchangeAdd(&counters->valid, -(LONG)changed);
    }
    return rc;
}

bool vbmap_test(vbmap* map, USHORT leb, ULONG packet) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (!in_range(map, leb) || packet >= map->packets_per_leb) {
        return false;
    }
    return pav_pbitmap_test(map->bits, (ULONG64)leb * map->bits_per_leb + packet);
}

int vbmap_mark_valid(vbmap* map, const vbmap_run* runs, ULONG count) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    for (ULONG i = 0; i < count; i++) {
        int rc = vbmap_set(map, runs[i].leb, runs[i].packet, runs[i].count);
        if (rc != 0) {
            return rc;
        }
    }
    return 0;
}

int vbmap_copy_in(vbmap* map, USHORT leb, const UCHAR* record, ULONG64 record_bytes) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG sector = map->log->sector_size != 0 ? map->log->sector_size : 512;
    if (!in_range(map, leb) || record_bytes < sector ||
        (record_bytes - sector) / VBMAP_BLOCK_BYTES < map->blocks_per_leb) {
        return -KPAV_EINVAL;
    }
    for (ULONG j = 0; j < map->blocks_per_leb; j++) {
        UCHAR* page = block_page(map, leb, j);
        if (page == nullptr) {
            return -KPAV_EINVAL;
        }
        RtlCopyMemory(page, record + sector + (ULONG64)j * VBMAP_BLOCK_BYTES, VBMAP_BLOCK_BYTES);
    }
    // Bits beyond the LEB's packets name nothing: a record that sets them is not believed there.
    ULONG64 tail = map->bits_per_leb - map->packets_per_leb;
    if (tail != 0) {
        pav_pbitmap_clear_range(map->bits, (ULONG64)leb * map->bits_per_leb + map->packets_per_leb, tail);
    }
    leb_counters* counters = counters_of(map, leb);
    if (counters != nullptr) {
        InterlockedExchange(&counters->valid, (LONG)count_bits(map, leb));
    }
    return 0;
}

int vbmap_copy_out(vbmap* map, USHORT leb, UCHAR* out) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (!in_range(map, leb)) {
        return -KPAV_EINVAL;
    }
    for (ULONG j = 0; j < map->blocks_per_leb; j++) {
        const UCHAR* page = block_page(map, leb, j);
        if (page == nullptr) {
            return -KPAV_EINVAL;
        }
        RtlCopyMemory(out + (ULONG64)j * VBMAP_BLOCK_BYTES, page, VBMAP_BLOCK_BYTES);
    }
    return 0;
}

// ---- Summaries

void vbm_summary_encode(UCHAR* record, const vbm_summary* summary) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    le_put_u32(record, VBM_SUMMARY_MAGIC);
    le_put_u32(record + 4, summary->peak);
    le_put_u32(record + 8, summary->valid);
    le_put_u32(record + 12, summary->erase_count);
    le_put_u32(record + 16, summary->write_time);
    le_put_u32(record + 20, summary->time_next);
    le_put_u64(record + 24, summary->note_address);
    le_put_u64(record + 32, summary->vbm_position);
    for (ULONG i = 0; i < VBM_READ_LEVEL_WORDS; i++) {
        le_put_u32(record + 40 + 4 * i, summary->read_levels[i]);
    }
}

int vbm_summary_decode(const UCHAR* record, ULONG max_packets, vbm_summary* out) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (le_get_u32(record) != VBM_SUMMARY_MAGIC) {
        return -KPAV_EIO;
    }
    vbm_summary s{};
    s.peak = le_get_u32(record + 4);
    s.valid = le_get_u32(record + 8);
    s.erase_count = le_get_u32(record + 12);
    s.write_time = le_get_u32(record + 16);
    s.time_next = le_get_u32(record + 20);
    s.note_address = le_get_u64(record + 24);
    s.vbm_position = le_get_u64(record + 32);
    for (ULONG i = 0; i < VBM_READ_LEVEL_WORDS; i++) {
        s.read_levels[i] = le_get_u32(record + 40 + 4 * i);
    }
    if (s.valid > max_packets || s.peak > max_packets) {
        return -KPAV_EIO;
    }
    *out = s;
    return 0;
}

namespace {

ULONG64 summary_key(USHORT leb) {
    return VBM_SUMMARY_BASE_KEY + leb / VBM_SUMMARY_PER_BLOCK;
}
ULONG summary_offset(USHORT leb) {
    return (leb % VBM_SUMMARY_PER_BLOCK) * VBM_SUMMARY_RECORD_BYTES;
}

// Walks the range's LEBs block by block: fn(leb, record) with the block's page held.
template <typename Fn>
int for_each_summary(vbmap* map, int mode, Fn fn) {
    pav_log* log = map->log;
    ULONG end = (ULONG)map->first_leb + map->leb_count;
    ULONG leb = map->first_leb;
    while (leb < end) {
        mblk* block = nullptr;
        int rc = mblk_get(&block, log, summary_key((USHORT)leb), mode);
        if (rc != 0) {
            return rc == -KPAV_ENOENT ? -KPAV_EINVAL : rc;
        }
        ULONG block_end = ((ULONG)leb / VBM_SUMMARY_PER_BLOCK + 1) * VBM_SUMMARY_PER_BLOCK;
        for (; leb < end && leb < block_end; leb++) {
            rc = fn((USHORT)leb, (UCHAR*)block->page + summary_offset((USHORT)leb), block);
            if (rc != 0) {
                mblk_put(log, block);
                return rc;
            }
        }
        mblk_put(log, block);
    }
    return 0;
}

}  // namespace

int vbm_summary_init(vbmap* map, pav_log* log, USHORT first_leb, USHORT leb_count, ULONG sector_size) {
    PAGED_CODE();
    for (ULONG leb = first_leb; leb < (ULONG)first_leb + leb_count && log->counters != nullptr && leb < log->eb_count;
         leb++) {
        log->counters[leb].note_address = ~0ull;
    }
    return vbmap_create(map, log, first_leb, leb_count, sector_size);
}

int vbm_summary_save(vbmap* map) {
    PAGED_CODE();
    nand_dev* channel = map->log->channel;
    return for_each_summary(map, MBLK_FIND_OR_CREATE, [&](USHORT leb, UCHAR* record, mblk* block) {
        vbm_summary s{};
        leb_counters* counters = counters_of(map, leb);
        if (counters != nullptr) {
            s.peak = counters->peak;
            s.valid = (ULONG)ReadNoFence(&counters->valid);
            s.note_address = counters->note_address;
            if (s.valid > counters->peak) {
                counters->peak = s.valid;
            }
        }
        const eb_info* info = ebinfo_get(channel, leb);
        if (info != nullptr) {
            s.erase_count = (ULONG)info->erase_count;
            s.write_time = info->erase_time;
            s.time_next = info->scanned_records;
            for (ULONG i = 0; i < VBM_READ_LEVEL_WORDS; i++) s.read_levels[i] = info->bank_words[i];
        }
        if (map->log->lebs != nullptr && leb < map->log->eb_count) {
            s.vbm_position = map->log->lebs[leb].first_position;
        }
        vbm_summary_encode(record, &s);
        mblk_mark_dirty(block);
        return 0;
    });
}

int vbm_summary_load(vbmap* map) {
    PAGED_CODE();
    pav_log* log = map->log;
    // First every record: a damaged one anywhere means none is used.
    int rc = for_each_summary(map, MBLK_FIND, [&](USHORT leb, UCHAR* record, mblk*) {
        vbm_summary s;
        if (vbm_summary_decode(record, map->packets_per_leb, &s) != 0) {
            kpav_print(KPAV_CLASS_ERROR, "%s: LEB summary %u is damaged, not used.\n", datalog_device_name(log),
                       (unsigned)leb);
            return -KPAV_EIO;
        }
        return 0;
    });
    if (rc != 0) {
        return rc;
    }
    nand_dev* channel = log->channel;
    return for_each_summary(map, MBLK_FIND, [&](USHORT leb, UCHAR* record, mblk*) {
        vbm_summary s;
        vbm_summary_decode(record, map->packets_per_leb, &s);
        leb_counters* counters = counters_of(map, leb);
        if (counters != nullptr) {
            InterlockedExchange(&counters->valid, (LONG)s.valid);
            counters->peak = s.peak > s.valid ? s.peak : s.valid;
            counters->note_address = s.note_address;
        }
        eb_info* info = ebinfo_get(channel, leb);
        if (info != nullptr) {
            InterlockedExchange(&info->erase_count, (LONG)s.erase_count);
            info->erase_time = s.write_time;
            info->scanned_records = s.time_next;
            for (ULONG i = 0; i < VBM_READ_LEVEL_WORDS; i++) info->bank_words[i] = s.read_levels[i];
            eb_read_levels_update(channel, leb);
        }
        if (log->lebs != nullptr && leb < log->eb_count) {
            log->lebs[leb].first_position = s.vbm_position;
            log->lebs[leb].last_position = s.vbm_position;
        }
        return 0;
    });
}

// ---- Pacing

ULONG64 vbm_update_oldest(vbmap* map, ULONG open_count) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    pav_log* log = map->log;
    const ULONG w = VBM_WRITES_PER_PASS;
    ULONG q = open_count / w;
    ULONG r = open_count % w;
    ULONG steps = open_count - q - (r != 0 ? 1 : 0);
    ULONG fraction = r != 0 ? w - r : 0;
    if (map->cursor == PAV_NO_LEB || map->cursor_steps > steps) {
        map->cursor = log->head_leb;
        map->cursor_steps = 0;
    }
    while (map->cursor != PAV_NO_LEB && map->cursor_steps < steps) {
        USHORT next = map->cursor < log->eb_count ? log->lebs[map->cursor].next : PAV_NO_LEB;
        if (next == PAV_NO_LEB) {
            break;
        }
        map->cursor = next;
        map->cursor_steps++;
    }
    if (map->cursor == PAV_NO_LEB || map->cursor >= log->eb_count) {
        map->oldest_position = 0;
        return 0;
    }
    const leb_record* cursor = &log->lebs[map->cursor];
    ULONG64 into = ((ULONG64)map->packets_per_leb * fraction + w - 1) / w;
    ULONG64 oldest = cursor->sequence << 24 | (into & 0xFFFFFF);
    if (map->cursor == log->append_leb && cursor->first_position < oldest) {
        oldest = cursor->first_position;
    }
    map->oldest_position = oldest;
    return oldest;
}

int vbm_position_needed(vbmap* map, ULONG64 position) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    pav_log* log = map->log;
    if (!map->tracking || log->head_leb == PAV_NO_LEB || log->head_leb >= log->eb_count) {
        return 0;
    }
    return log->lebs[log->head_leb].first_position < position ? 1 : 0;
}

// ---- Device failure

const char* device_failure_reason_name(int reason) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    static const char* const names[] = {
        "none",      "user request", "no blocks",         "out of memory",     "failed die",     "failed blocks",
        "power adapter", "assert",   "power limit",       "hardware failure",  "excess failures", "thermal",
    };
    return reason >= 0 && reason < (int)ARRAYSIZE(names) ? names[reason] : nullptr;
}

void device_fail(pav_log* log, kpav_state* device_state, const char* text) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 18465, "Failing device (%s).\n", text);
    kpav_state_change(device_state, DEVICE_STATE_FAILED, 0);
    pav_log_internal_error(log, PAV_LOG_ERROR_ATTACH, 0, 0);
    if (log->channel != nullptr) {
        fail_channel(log->channel, 0, CHANNEL_FAIL_DEVICE);
    }
}

void device_fail_for_reason(pav_log* log, kpav_state* device_state, int reason) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_spin_lock(&device_state->lock);
    ULONG state = device_state->value;
    kpav_spin_unlock(&device_state->lock);
    if (state == DEVICE_STATE_ATTACHING || state == DEVICE_STATE_FAILED) {
        return;
    }
    if (state == DEVICE_STATE_RUNNING) {
        if (log->owner_ops != nullptr && log->owner_ops->set_write_reason != nullptr) {
            log->owner_ops->set_write_reason(log->owner, 2, reason);
        }
        return;
    }
    const char* name = device_failure_reason_name(reason);
    device_fail(log, device_state, name != nullptr ? name : "unknown");
}
