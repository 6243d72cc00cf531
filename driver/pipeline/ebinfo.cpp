// The erase-block information table's creation and teardown, and its lookups.
#include "driver/pipeline/ebinfo.h"

#include "driver/pipeline/ebinfo_internal.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/steps.h"

using namespace ebinfo_detail;

volatile LONG eb_headers_plain = 0;

namespace {

constexpr ULONG64 UNIX_EPOCH_SECONDS_SINCE_1601 = 11644473600ull;

// The erased pick's clock: tick count x tick length in 100 ns units.
ULONG64 system_pick_clock() {
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    return (ULONG64)ticks.QuadPart * KeQueryTimeIncrement();
}

// Start steps.
int step_alloc_table(void* context) {
    nand_dev* channel = (nand_dev*)context;
    eb_table* table = channel->ebinfo;
    table->info = (eb_info*)kpav_zalloc((size_t)table->count * sizeof(eb_info), KPAV_TAG_VML);
    if (table->info == nullptr && table->count != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Failed to initialize EB info\n", nand_dev_name(channel));
        return -KPAV_ENOMEM;
    }
    table->history = (eb_history_entry*)kpav_zalloc(EB_HISTORY_ENTRIES * sizeof(eb_history_entry), KPAV_TAG_VML);
    if (table->history == nullptr) {
        kpav_free(table->info, KPAV_TAG_VML);
        table->info = nullptr;
        kpav_print(KPAV_CLASS_ERROR, "%s: Failed to initialize EB info\n", nand_dev_name(channel));
        return -KPAV_ENOMEM;
    }
    table->history_size = EB_HISTORY_ENTRIES;
    table->history_next = -1;
    ULONG now = ebinfo_unix_seconds();
    for (ULONG eb = 0; eb < table->count; eb++) {
        eb_info* info = &table->info[eb];
        for (ULONG i = 0; i < EB_PAD_INDEXES; i++) {
            info->detail[i] = 0xFFFF;
        }
        info->last_written_segment = EB_NONE;
        info->erased_prev = EB_NONE;
        info->erased_next = EB_NONE;
        for (ULONG b = 0; b < EB_MAX_BANKS; b++) {
            info->banks[b].marker = -1;
            info->banks[b].parity_pad = -1;
        }
        info->erase_time = now - 3600;
        info->header_state = table->geometry.erased_state ? EB_HEADER_ERASED : EB_HEADER_NONE;
    }
    return 0;
}

void undo_alloc_table(void* context) {
    eb_table* table = ((nand_dev*)context)->ebinfo;
    kpav_free(table->history, KPAV_TAG_VML);
    kpav_free(table->info, KPAV_TAG_VML);
    table->history = nullptr;
    table->info = nullptr;
}

int step_alloc_cache(void* context) {
    nand_dev* channel = (nand_dev*)context;
    eb_table* table = channel->ebinfo;
    table->capacity_cache =
        (eb_capacity_slot*)kpav_zalloc((size_t)(table->count + 1) * sizeof(eb_capacity_slot), KPAV_TAG_VML);
    if (table->capacity_cache == nullptr) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Failed to initialize EB cache\n", nand_dev_name(channel));
        return -KPAV_ENOMEM;
    }
    return 0;
}

void undo_alloc_cache(void* context) {
    eb_table* table = ((nand_dev*)context)->ebinfo;
    kpav_free(table->capacity_cache, KPAV_TAG_VML);
    table->capacity_cache = nullptr;
}

const kpav_step ebinfo_steps[] = {
    {"erase-block records", step_alloc_table, undo_alloc_table},
    {"capacity cache", step_alloc_cache, undo_alloc_cache},
};

}  // namespace

eb_table* ebinfo_table(const nand_dev* channel) {
    return channel != nullptr ? channel->ebinfo : nullptr;
}

eb_info* ebinfo_get(const nand_dev* channel, USHORT eb) {
    return record_of(ebinfo_table(channel), eb);
}

ULONG ebinfo_unix_seconds() {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    ULONG64 seconds = (ULONG64)now.QuadPart / 10000000ull;
    return seconds > UNIX_EPOCH_SECONDS_SINCE_1601 ? (ULONG)(seconds - UNIX_EPOCH_SECONDS_SINCE_1601) : 0;
}

const char* nand_dev_name(const nand_dev* channel) {
    return channel_name(channel);
}

int ebinfo_init(nand_dev* channel, const store_geometry* geometry) {
    PAGED_CODE();
    eb_table* table = (eb_table*)kpav_zalloc(sizeof(eb_table), KPAV_TAG_VML);
    if (table == nullptr) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Failed to initialize EB info\n", nand_dev_name(channel));
        return -KPAV_ENOMEM;
    }
    table->channel = channel;
    table->geometry = *geometry;
    table->count = geometry->eb_count > 65535 ? 65535 : geometry->eb_count;
    kpav_state_init(&table->device_state, EB_DEVICE_READY);
    kpav_spinlock_init(&table->lock);
    table->erased_head = EB_NONE;
    table->erased_tail = EB_NONE;
    table->pick_clock = system_pick_clock;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    ULONG64 seconds = (ULONG64)now.QuadPart / 10000000ull - UNIX_EPOCH_SECONDS_SINCE_1601;
    table->random[0] = (ULONG)seconds;
    table->random[1] = (ULONG)(seconds >> 32) != 0 ? (ULONG)(seconds >> 32) : 362436069u;
    if (geometry->randomizer_off) {
        InterlockedExchange(&eb_headers_plain, 1);
    }
    channel->ebinfo = table;
    int rc = kpav_steps_run(&table->start, ebinfo_steps, ARRAYSIZE(ebinfo_steps), channel, nand_dev_name(channel));
    if (rc != 0) {
        channel->ebinfo = nullptr;
        kpav_free(table, KPAV_TAG_VML);
        return rc;
    }
    // The erase-block map is loaded by its own code at bring-up; until it exists no block
    // carries a map mark.
    return 0;
}

void ebinfo_exit(nand_dev* channel) {
    PAGED_CODE();
    eb_table* table = ebinfo_table(channel);
    if (table == nullptr) {
        return;
    }
    kpav_steps_undo(&table->start, channel);
    kpav_state_change(&table->device_state, EB_DEVICE_GONE, 0);
    channel->ebinfo = nullptr;
    kpav_free(table, KPAV_TAG_VML);
}

namespace {

void stop_notify(nand_dev* channel, bool flagged) {
    eb_table* table = ebinfo_table(channel);
    if (table != nullptr) {
        kpav_state_change(&table->device_state, EB_DEVICE_STOPPING, 0);
    }
    const nand_dev_client_ops* ops = channel_client_ops(channel);
    (flagged ? ops->flagged_stop : ops->stop)(channel);
}

}  // namespace

void nand_dev_stop_notify(nand_dev* channel) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    stop_notify(channel, false);
}

void nand_dev_stop_notify_flagged(nand_dev* channel) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    stop_notify(channel, true);
}
