#include "driver/log/eb_scan.h"

#include "driver/log/datalog.h"
#include "driver/pipeline/ebinfo.h"
#include "driver/pipeline/builders.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/memory.h"

namespace {

// Drops one outstanding read and wakes the scanning thread.
void drop_outstanding(eb_scan_context* context) {
    kpav_spin_lock(&context->lock);
    context->outstanding--;
    kpav_cv_broadcast(&context->cv);
    kpav_spin_unlock(&context->lock);
}

void keep_first_error(eb_scan_context* context, int status) {
    InterlockedCompareExchange(&context->first_error, status, 0);
}

ULONG64 entry_bytes(const eb_scan_context* context, const eb_index_entry* entry) {
    const auto* index = (const eb_index_record*)context->index;
    return index->kind == EB_INDEX_KIND_EIGHTHS ? (ULONG64)entry->offset * 8 : entry->offset;
}

}  // namespace

int eb_scan_create(nand_dev* channel, eb_scan_context** out) {
    PAGED_CODE();
    *out = nullptr;
    auto* context = (eb_scan_context*)kpav_zalloc(sizeof(eb_scan_context), KPAV_TAG_MAL);
    if (context == nullptr) {
        return -KPAV_ENOMEM;
    }
    context->channel = channel;
    context->eb = EB_NONE;
    kpav_cv_init(&context->cv);
    kpav_spinlock_init(&context->lock);
    if (eb_scan_resize(context, 1, 0) != 0) {
        eb_scan_free(context);
        return -KPAV_ENOMEM;
    }
    *out = context;
    return 0;
}

void eb_scan_free(eb_scan_context* context) {
    PAGED_CODE();
    if (context == nullptr) {
        return;
    }
    for (ULONG i = 0; i < context->slot_capacity; i++) {
        kpav_free_if(context->slots[i].buffer, KPAV_TAG_VML);
    }
    kpav_free_if(context->slots, KPAV_TAG_MAL);
    kpav_free_if(context->index, KPAV_TAG_MAL);
    kpav_free_if(context, KPAV_TAG_MAL);
}

int eb_scan_resize(eb_scan_context* context, ULONG slots, ULONG size) {
    PAGED_CODE();
    if (slots > context->slot_capacity) {
        auto* grown = (eb_scan_slot*)kpav_zalloc(sizeof(eb_scan_slot) * slots, KPAV_TAG_MAL);
        if (grown == nullptr) {
            return -KPAV_ENOMEM;
        }
        if (context->slots != nullptr) {
            RtlCopyMemory(grown, context->slots, sizeof(eb_scan_slot) * context->slot_capacity);
            kpav_free_if(context->slots, KPAV_TAG_MAL);
        }
        context->slots = grown;
        context->slot_capacity = slots;
    }
    for (ULONG i = 0; i < context->slot_capacity; i++) {
        eb_scan_slot* slot = &context->slots[i];
        slot->owner = context;
        if (slot->size < size) {
            kpav_free_if(slot->buffer, KPAV_TAG_VML);
            slot->buffer = (UCHAR*)kpav_alloc(size, KPAV_TAG_VML);
            slot->size = slot->buffer != nullptr ? size : 0;
            if (slot->buffer == nullptr) {
                return -KPAV_ENOMEM;
            }
        }
        if (slot->buffer != nullptr) {
            RtlZeroMemory(slot->buffer, slot->size);
        }
    }
    context->slot_size = size;
    return 0;
}

int eb_scan_read_index(nand_dev* channel, UCHAR** index, USHORT eb, ULONG64* out_limit, bool retry) {
    PAGED_CODE();
    eb_table* table = ebinfo_table(channel);
    if (table == nullptr || ebinfo_get(channel, eb) == nullptr) {
        return -KPAV_EINVAL;
    }
    if (*index == nullptr) {
        *index = (UCHAR*)kpav_alloc(LOG_INDEX_RECORD_BYTES, KPAV_TAG_MAL);
        if (*index == nullptr) {
            return -KPAV_ENOMEM;
        }
    }
    ULONG64 limit = ebinfo_stride_limit(channel, eb, &table->layout);
    *out_limit = limit;
    media_address address{};
    address.eb = eb;
    address.offset = limit;
    int status = media_read_raw(channel, &address, *index, LOG_INDEX_RECORD_BYTES, retry ? REQ_RETRY : 0, nullptr,
                                nullptr, nullptr);
    if (status == PAV_ERASED_MEDIA) {
        return -KPAV_ENOENT;
    }
    if (status != 0) {
        return status;
    }
    const auto* record = (const eb_index_record*)*index;
    if (record->opcode != EB_INDEX_OPCODE || record->check != EB_INDEX_CHECK_BASE + eb || record->kind >= 3 ||
        record->zero9[0] != 0 || record->zero9[1] != 0 || record->zero9[2] != 0 ||
        record->entry_count > EB_INDEX_ENTRIES || record->zero16 != 0) {
        return -KPAV_ENOENT;
    }
    return 0;
}

int eb_scan_begin(nand_dev* channel, USHORT eb, eb_scan_context* context, bool retry) {
    PAGED_CODE();
    eb_table* table = ebinfo_table(channel);
    eb_info* info = ebinfo_get(channel, eb);
    if (info == nullptr) {
        return -KPAV_EINVAL;
    }
    context->channel = channel;
    context->eb = eb;
    int rc = eb_scan_read_index(channel, &context->index, eb, &context->limit, retry);
    if (rc != 0) {
        return rc;
    }
    const auto* index = (const eb_index_record*)context->index;
    if ((index->flags & EB_INDEX_UNUSABLE) != 0 || index->sectors_per_slot == 0) {
        return -KPAV_ENOENT;
    }
    rc = eb_scan_resize(context, index->slot_count, (ULONG)index->sectors_per_slot * table->layout.sector_size);
    if (rc != 0) {
        return rc;
    }
    info->scanned_records = (ULONG)index->slot_count * index->sectors_per_slot;
    return eb_scan_run(context);
}

int eb_scan_run(eb_scan_context* context) {
    PAGED_CODE();
    const auto* index = (const eb_index_record*)context->index;
    for (ULONG i = 0; i < context->slot_capacity; i++) {
        context->slots[i].count = index->slot_count;
        context->slots[i].records = 0;
    }
    InterlockedExchange(&context->first_error, 0);
    context->outstanding = 1;
    int result = 0;
    for (ULONG i = 0; i < index->entry_count; i++) {
        if (index->entries[i].offset == 0) {
            continue;
        }
        int rc = eb_scan_submit(context, &index->entries[i]);
        if (rc != 0) {
            // An entry the index cannot mean keeps its own error; a request that could not be
            // made ends the scan as no index.
            result = rc == -KPAV_EFAULT || rc == -KPAV_EINVAL ? rc : -KPAV_ENOENT;
            break;
        }
    }
    kpav_spin_lock(&context->lock);
    while (context->outstanding > 1) {
        kpav_cv_timedwait(&context->cv, &context->lock, KPAV_NO_TIMEOUT, false);
    }
    kpav_spin_unlock(&context->lock);
    if (result != 0) {
        return result;
    }
    LONG first = ReadAcquire(&context->first_error);
    if (first != 0) {
        return first;
    }
    for (ULONG i = 0; i < index->slot_count && i < context->slot_capacity; i++) {
        const eb_scan_slot* slot = &context->slots[i];
        if (slot->records != 0 && ((const eb_slot_record*)slot->buffer)->record_index != i) {
            return -KPAV_EINVAL;
        }
    }
    return 0;
}

int eb_scan_submit(eb_scan_context* context, const eb_index_entry* entry) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    const auto* index = (const eb_index_record*)context->index;
    eb_table* table = ebinfo_table(context->channel);
    const eb_layout& layout = table->layout;
    nand_dev* channel = context->channel;
    if (entry->slot >= index->slot_count || entry->slot >= context->slot_capacity || entry->sectors == 0 ||
        entry->sectors > index->sectors_per_slot) {
        return -KPAV_EINVAL;
    }
    ULONG packet_data = channel->geometry.packet_geometry_b & 0xFFFF;
    ULONG packet_raw = channel->geometry.packet_geometry_b >> 16;
    eb_scan_slot* slot = &context->slots[entry->slot];
    if (packet_data == 0 || (ULONG64)entry->sectors * packet_data > slot->size) {
        return -KPAV_EINVAL;
    }
    // The record must lie on the stride grid between the data start and the stride limit.
    ULONG64 offset = entry_bytes(context, entry);
    if (offset < layout.data_start || offset + (ULONG64)entry->sectors * packet_raw > context->limit ||
        (layout.stride != 0 && (offset - layout.data_start) % layout.stride != 0)) {
        eb_info* info = ebinfo_get(channel, context->eb);
        if (info != nullptr) {
            InterlockedOr(&info->flags, EB_FLAG_GROOM_B);
        }
        return -KPAV_EFAULT;
    }
    kpav_spin_lock(&context->lock);
    context->outstanding++;
    kpav_cv_broadcast(&context->cv);
    kpav_spin_unlock(&context->lock);
    media_address address{};
    address.eb = context->eb;
    address.offset = offset;
    int rc = media_read_packets_async(channel, &address, slot->buffer, entry->sectors, eb_scan_complete, nullptr, slot);
    if (rc != 0) {
        keep_first_error(context, rc);
        drop_outstanding(context);
    }
    return rc;
}

void eb_scan_complete(velkor_request* head, ULONG64, ULONG64) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    auto* slot = (eb_scan_slot*)head->done_arg;
    eb_scan_context* context = slot->owner;
    int status = head->fail != 0 ? head->fail : head->chain_fail;
    if (status == 0) {
        eb_slot_record record;
        RtlCopyMemory(&record, slot->buffer, sizeof record);
        slot->records++;
        // A slot holds at most one record per sector: a longer chain loops.
        const auto* index = (const eb_index_record*)context->index;
        if (record.next.offset != 0 && slot->records < index->sectors_per_slot) {
            int rc = eb_scan_submit(context, &record.next);
            if (rc != 0) {
                keep_first_error(context, rc);
            }
        } else if (record.next.offset != 0) {
            keep_first_error(context, -KPAV_EINVAL);
        }
    } else {
        keep_first_error(context, status);
    }
    drop_outstanding(context);
}

ULONG eb_scan_record_total(const eb_scan_context* context) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const auto* index = (const eb_index_record*)context->index;
    return index == nullptr ? 0 : (ULONG)index->slot_count * index->sectors_per_slot;
}

const eb_index_record* eb_scan_index(const eb_scan_context* context) {
    return (const eb_index_record*)context->index;
}

const ULONG64* eb_scan_ebi(const eb_scan_context* context, ULONG* out_count) {
    *out_count = context->index == nullptr ? 0 : (LOG_INDEX_RECORD_BYTES - EB_INDEX_HEAD_BYTES) / 8;
    return context->index == nullptr ? nullptr : (const ULONG64*)(context->index + EB_INDEX_HEAD_BYTES);
}

void ebread_addr_copy(eb_index_entry* to, const eb_index_entry* from) {
    to->slot = from->slot;
    to->sectors = from->sectors;
    to->offset = from->offset;
}
