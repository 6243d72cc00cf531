// The key/value cache of a card's PMP link: values read once with command 7 and kept until the
// card is released.

#include "driver/controller/little_endian.h"
#include "driver/card/pipeline_device.h"
#include "driver/controller/pmp_client.h"
#include "driver/controller/pmp_internal.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/memory.h"

namespace {

void lock_cache(pmp_client* pmp) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&pmp->kv_lock, TRUE);
}

void unlock_cache(pmp_client* pmp) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    ExReleaseResourceLite(&pmp->kv_lock);
    KeLeaveCriticalRegion();
}

bool same_key(const pmp_kv_key* a, const pmp_kv_key* b) {
    return a->type == b->type && a->key == b->key && pmp_address_equal(&a->address, &b->address);
}

}  // namespace

int pmp_kv_lookup(pipeline_device* card, const pmp_kv_key* key, const pmp_kv_entry** entry) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    pmp_client* pmp = card->pmp;
    *entry = nullptr;
    if (pmp == nullptr) {
        return 1;
    }
    lock_cache(pmp);
    for (LIST_ENTRY* e = pmp->kv_entries.Flink; e != &pmp->kv_entries; e = e->Flink) {
        auto* cached = CONTAINING_RECORD(e, pmp_kv_entry, link);
        if (same_key(&cached->key, key)) {
            *entry = cached;
            unlock_cache(pmp);
            return 0;
        }
    }
    auto* fresh = (pmp_kv_entry*)kpav_alloc(sizeof(pmp_kv_entry), KPAV_TAG_MAL);
    int result = 1;
    if (fresh != nullptr) {
        fresh->key = *key;
        if (key->type == PMP_KV_TYPE && pmp_kv_fetch(card, key, fresh->value) == 0) {
            fresh->value_length = PMP_KV_VALUE_SIZE;
            RtlZeroMemory(fresh->reserved, sizeof fresh->reserved);
            InsertTailList(&pmp->kv_entries, &fresh->link);
            *entry = fresh;
            result = 0;
        } else {
            kpav_free(fresh, KPAV_TAG_MAL);
        }
    }
    unlock_cache(pmp);
    return result;
}

int pmp_kv_fetch(pipeline_device* card, const pmp_kv_key* key, UCHAR value[PMP_KV_VALUE_SIZE]) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    if (key->address.length == 0) {
        return -KPAV_EFAULT;
    }
    ULONG n = pmp_read_data(card, &key->address, PMP_CMD_KEY_VALUE, (ULONG)key->key << 24, value, PMP_KV_VALUE_SIZE);
    return n < PMP_KV_VALUE_SIZE ? -KPAV_EIO : 0;
}

void pmp_kv_flush(pipeline_device* card) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    pmp_client* pmp = card->pmp;
    if (pmp == nullptr) {
        return;
    }
    lock_cache(pmp);
    while (!IsListEmpty(&pmp->kv_entries)) {
        kpav_free(CONTAINING_RECORD(RemoveHeadList(&pmp->kv_entries), pmp_kv_entry, link), KPAV_TAG_MAL);
    }
    unlock_cache(pmp);
}

ULONG pmp_value_number(const UCHAR* record) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    UCHAR size = record[1];
    const UCHAR* v = record + 2;
    if (size < 2) {
        return v[0];
    }
    return size < 4 ? le_get_u16(v) : le_get_u32(v);
}

ULONG pmp_value_copy(const UCHAR* record, void* buffer, ULONG capacity) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    ULONG size = record[1];
    if (size > capacity) {
        return 0;
    }
    RtlCopyMemory(buffer, record + 2, size);
    return size;
}
