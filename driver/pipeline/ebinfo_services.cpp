#include "driver/pipeline/ebinfo_services.h"

#include "driver/pipeline/ebinfo.h"
#include "driver/log/mgmt.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/pipeline/services.h"
#include "driver/platform/kassert.h"

namespace {

volatile LONG holders = 0;

// The pipeline's "pad" of a row is one bank's segment of that row.
ULONG64 row_capacity(nand_dev* channel, USHORT eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (ebinfo_table(channel) == nullptr) {
        return (ULONG64)channel->geometry.pads * channel->geometry.page_size;
    }
    return ebinfo_eb_capacity(channel, eb);
}

ULONG segment_capacity(nand_dev* channel, USHORT eb, ULONG pad) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (ebinfo_table(channel) == nullptr) {
        return channel->geometry.page_size;
    }
    const eb_info* info = ebinfo_get(channel, eb);
    return info != nullptr && pad < EB_MAX_BANKS ? info->banks[pad].usable_bytes : 0;
}

void note_erase(nand_dev* channel, USHORT eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ebinfo_raise_condition(channel, eb, EB_COND_BLANK);
    ebinfo_note_erase(channel, eb);
}

USHORT seed_of(nand_dev* channel, USHORT eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const eb_info* info = ebinfo_get(channel, eb);
    return info != nullptr ? info->seed : 0;
}

ULONG lane_mask(nand_dev* channel, USHORT eb, ULONG bank) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const eb_info* info = ebinfo_get(channel, eb);
    return info != nullptr && bank < EB_MAX_BANKS ? info->banks[bank].effective_mask : 0;
}

CHAR condition_of(nand_dev* channel, USHORT eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const eb_info* info = ebinfo_get(channel, eb);
    return info != nullptr ? info->condition : 0;
}

UCHAR error_snapshot(nand_dev* channel, USHORT eb, ULONG counters[EB_ERROR_COUNTERS]) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    static_assert(EB_ERROR_COUNTERS == EB_PAD_WORDS);
    ebinfo_get_error_bitmap(channel, eb, counters);
    const eb_info* info = ebinfo_get(channel, eb);
    return info != nullptr ? info->mel_mark : 0;
}

void set_flags(nand_dev* channel, USHORT eb, ULONG bits) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_info* info = ebinfo_get(channel, eb);
    if (info != nullptr) {
        InterlockedOr(&info->flags, (LONG)bits);
    }
}

ULONG64 count_reads(nand_dev* channel, USHORT eb, ULONG reads) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_info* info = ebinfo_get(channel, eb);
    return info != nullptr ? (ULONG64)(InterlockedExchangeAdd64(&info->read_count, reads) + reads) : 0;
}

template <typename T>
void publish(T* slot, T value) {
    InterlockedExchangePointer((PVOID volatile*)slot, (PVOID)value);
}

}  // namespace

void ebinfo_services_hold() {
    PAGED_CODE();
    if (InterlockedIncrement(&holders) != 1) {
        return;
    }
    publish(&pipeline_service_table.eb_row_capacity, &row_capacity);
    publish(&pipeline_service_table.eb_pad_capacity, &segment_capacity);
    publish(&pipeline_service_table.eb_note_erase, &note_erase);
    publish(&pipeline_service_table.eb_error_snapshot, &error_snapshot);
    publish(&pipeline_service_table.eb_set_flags, &set_flags);
    publish(&pipeline_service_table.eb_seed, &seed_of);
    publish(&pipeline_service_table.eb_lane_mask, &lane_mask);
    publish(&pipeline_service_table.eb_condition, &condition_of);
    publish(&pipeline_service_table.eb_raise_condition, &ebinfo_raise_condition);
    publish(&pipeline_service_table.eb_count_reads, &count_reads);
    publish(&pipeline_service_table.eb_merge_pad_mask, &ebinfo_merge_pad_mask);
    publish(&pipeline_service_table.eb_record_pad_error, &ebinfo_record_pad_error);
    publish(&pipeline_service_table.mgmt_data_rle_scan, &mgmt_data_rle_scan);
}

void ebinfo_services_release() {
    PAGED_CODE();
    if (InterlockedDecrement(&holders) != 0) {
        return;
    }
    using row_fn = decltype(pipeline_service_table.eb_row_capacity);
    using pad_fn = decltype(pipeline_service_table.eb_pad_capacity);
    using erase_fn = decltype(pipeline_service_table.eb_note_erase);
    using snapshot_fn = decltype(pipeline_service_table.eb_error_snapshot);
    using flags_fn = decltype(pipeline_service_table.eb_set_flags);
    using reads_fn = decltype(pipeline_service_table.eb_count_reads);
    publish<row_fn>(&pipeline_service_table.eb_row_capacity, nullptr);
    publish<pad_fn>(&pipeline_service_table.eb_pad_capacity, nullptr);
    publish<erase_fn>(&pipeline_service_table.eb_note_erase, nullptr);
    publish<snapshot_fn>(&pipeline_service_table.eb_error_snapshot, nullptr);
    publish<flags_fn>(&pipeline_service_table.eb_set_flags, nullptr);
    publish<reads_fn>(&pipeline_service_table.eb_count_reads, nullptr);
    publish<decltype(pipeline_service_table.eb_seed)>(&pipeline_service_table.eb_seed, nullptr);
    publish<decltype(pipeline_service_table.eb_lane_mask)>(&pipeline_service_table.eb_lane_mask, nullptr);
    publish<decltype(pipeline_service_table.eb_condition)>(&pipeline_service_table.eb_condition, nullptr);
    publish<decltype(pipeline_service_table.eb_raise_condition)>(&pipeline_service_table.eb_raise_condition,
                                                                 nullptr);
    publish<decltype(pipeline_service_table.eb_merge_pad_mask)>(&pipeline_service_table.eb_merge_pad_mask, nullptr);
    publish<decltype(pipeline_service_table.eb_record_pad_error)>(&pipeline_service_table.eb_record_pad_error,
                                                                  nullptr);
    publish<decltype(pipeline_service_table.mgmt_data_rle_scan)>(&pipeline_service_table.mgmt_data_rle_scan,
                                                                 nullptr);
}
