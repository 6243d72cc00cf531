// Reading the management data of a card back at bring-up: every block's header and EB opener.

#include "driver/log/eb_header.h"
#include "driver/log/eb_media.h"
#include "driver/log/log_entry.h"
#include "driver/log/mel.h"
#include "driver/log/mgmt.h"
#include "driver/pipeline/direct_cmds.h"
#include "driver/pipeline/builders.h"
#include "driver/pipeline/cq.h"
#include "driver/pipeline/eb_geometry.h"
#include "driver/pipeline/hw_cmds.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"
#include "driver/platform/sync.h"

int mgmt_record_read(nand_dev* channel, UCHAR* buffer, USHORT eb, UCHAR* out_opcode, bool retry) {
    PAGED_CODE();
    eb_table* table = ebinfo_table(channel);
    const eb_info* info = ebinfo_get(channel, eb);
    if (info == nullptr) {
        return -KPAV_EINVAL;
    }
    const store_geometry& g = table->geometry;
    if ((info->header_flags & EB_HFLAG_READ_FAILED) != 0) {
        return PAV_UNCORRECTABLE;
    }
    *out_opcode = LOG_OP_EMPTY;
    if ((info->header_flags & EB_HFLAG_BLANK) != 0) {
        return 0;
    }
    media_address address{};
    address.eb = eb;
    int status = media_read_raw(channel, &address, buffer, mgmt_region_size(&g), retry ? REQ_RETRY : 0, nullptr,
                                nullptr, nullptr);
    if (status == PAV_ERASED_MEDIA) {
        return 0;
    }
    if (status != 0) {
        return status;
    }
    int rc = eb_first_packet_decode(buffer, g.packet_size, g.ecc_chunk_size);
    if (rc == -KPAV_ENOENT) {
        return 0;
    }
    if (rc != 0) {
        return rc;
    }
    *out_opcode = buffer[EB_HEADER_PAYLOAD_OFFSET];
    return 0;
}

ULONG mgmt_read_buffer_size(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_table* table = ebinfo_table(channel);
    if (table == nullptr) {
        return 0;
    }
    ULONG region = mgmt_region_size(&table->geometry);
    ULONG pads = eb_header_pads_buffer_size(channel);
    return region > pads ? region : pads;
}

int mgmt_header_read_one(nand_dev* channel, UCHAR* buffer, UCHAR* confirm, USHORT eb) {
    PAGED_CODE();
    eb_info* info = ebinfo_get(channel, eb);
    if (info == nullptr) {
        return -KPAV_EINVAL;
    }
    int rc = eb_header_read(channel, eb, buffer, confirm);
    UCHAR opcode = LOG_OP_EMPTY;
    if (rc == 0) {
        rc = mgmt_record_read(channel, buffer, eb, &opcode, false);
    }
    if (rc == 0 && opcode == LOG_OP_EMPTY) {
        rc = -KPAV_ENOENT;
    } else if (rc == 0 && opcode != MGMT_OPCODE) {
        rc = -KPAV_EINVAL;
    }
    if (rc != 0) {
        ebinfo_recompute_eb(channel, eb);
        return rc;
    }
    const mgmt_header* record = mgmt_record_of(buffer);
    ebinfo_raise_condition(channel, eb, EB_COND_MGMT_READ);
    InterlockedExchange(&info->erase_count, (LONG)record->erase_count);
    info->erase_time = record->erase_time;
    if ((record->eb_flags & 2) != 0) {
        InterlockedOr(&info->flags, EB_FLAG_RELAXED_SPLIT);
    }
    eb_set_bank_masks(channel, eb, record->bank_masks);
    eb_table* table = ebinfo_table(channel);
    ULONG last = table->geometry.segments_per_eb != 0 ? table->geometry.segments_per_eb - 1 : 0;
    ebinfo_raise_condition(channel, eb, media_page_check_read(channel, eb, last) == 1 ? EB_COND_OPEN : EB_COND_FULL);
    eb_read_levels_update(channel, eb);
    return 0;
}

int mgmt_headers_read_all(nand_dev* channel) {
    PAGED_CODE();
    eb_table* table = ebinfo_table(channel);
    if (table == nullptr) {
        return -KPAV_EINVAL;
    }
    ULONG size = mgmt_read_buffer_size(channel);
    auto* buffer = (UCHAR*)kpav_alloc(size, KPAV_TAG_VML);
    auto* confirm = (UCHAR*)kpav_alloc(eb_header_confirm_size(channel), KPAV_TAG_VML);
    auto* read = (UCHAR*)kpav_zalloc(table->count, KPAV_TAG_MAL);
    if (buffer == nullptr || confirm == nullptr || read == nullptr) {
        kpav_free_if(buffer, KPAV_TAG_VML);
        kpav_free_if(confirm, KPAV_TAG_VML);
        kpav_free_if(read, KPAV_TAG_MAL);
        return -KPAV_ENOMEM;
    }
    LONG first = -1;
    for (ULONG eb = 0; eb < table->count; eb++) {
        if (table->info[eb].mel_mark != EB_MEL_NONE) {
            continue;
        }
        if (mgmt_header_read_one(channel, buffer, confirm, (USHORT)eb) == 0) {
            read[eb] = 1;
            first = first < 0 ? (LONG)eb : first;
        }
    }
    // Blocks without a readable record take the wear of the first block that had one.
    if (first >= 0) {
        const eb_info* source = &table->info[first];
        for (ULONG eb = 0; eb < table->count; eb++) {
            if (read[eb] == 0 && table->info[eb].mel_mark == EB_MEL_NONE) {
                InterlockedExchange(&table->info[eb].erase_count, source->erase_count);
                table->info[eb].erase_time = source->erase_time;
                eb_read_levels_update(channel, (USHORT)eb);
            }
        }
    }
    eb_read_levels_refresh(channel);
    kpav_free_if(buffer, KPAV_TAG_VML);
    kpav_free_if(confirm, KPAV_TAG_VML);
    kpav_free_if(read, KPAV_TAG_MAL);
    return 0;
}

int mgmt_data_read(nand_dev* channel, const USHORT* list, mgmt_map_load_fn map_load) {
    PAGED_CODE();
    eb_table* table = ebinfo_table(channel);
    if (table == nullptr) {
        return -KPAV_EINVAL;
    }
    int rc = map_load != nullptr ? map_load(channel) : 0;
    if (rc != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Unable to read management data - MEL.\n", channel_name(channel));
    }
    for (const USHORT* at = list; at != nullptr && *at != EB_NONE; at++) {
        eb_info* info = ebinfo_get(channel, *at);
        if (info != nullptr) {
            info->mel_mark = EB_MEL_MAPPED_OUT;
        }
    }
    if (rc == 0) {
        rc = mgmt_headers_read_all(channel);
        if (rc != 0) {
            kpav_print(KPAV_CLASS_ERROR, "%s: Unable to read management data - ebo.\n", channel_name(channel));
        }
    }
    if (rc != 0) {
        kpav_syslog(KPAV_LEVEL_WARNING, KPAV_DRIVER_COMPONENT, KPAV_NO_MESSAGE_ID,
                    "Unable to read management data - Attach disabled (%d).\n", rc);
        table->attach_disabled = 1;
    }
    return rc;
}

ULONG mgmt_data_collect_ebs(nand_dev* channel, ULONG out[EB_MAX_BANKS]) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_table* table = ebinfo_table(channel);
    if (table == nullptr) {
        return 0;
    }
    ULONG banks = table->geometry.banks < EB_MAX_BANKS ? table->geometry.banks : EB_MAX_BANKS;
    ULONG pads = table->geometry.total_pads >= 32 ? 0xFFFFFFFFu : (1u << table->geometry.total_pads) - 1;
    for (ULONG b = 0; b < banks; b++) {
        out[b] = pads;
    }
    for (ULONG eb = 0; eb < table->count; eb++) {
        if (table->info[eb].mel_mark >= EB_MEL_MAPPED_OUT) {
            continue;
        }
        for (ULONG b = 0; b < banks; b++) {
            out[b] &= ~table->info[eb].banks[b].raw_mask;
        }
    }
    return banks;
}

int mgmt_data_read_at_start(nand_dev* channel) {
    PAGED_CODE();
    return mgmt_data_read(channel, nullptr, mel_present(channel) ? mel_load : nullptr);
}

int mgmt_bad_pad_mask_chains(nand_dev* channel) {
    PAGED_CODE();
    ULONG masks[EB_MAX_BANKS] = {};
    ULONG banks = mgmt_data_collect_ebs(channel, masks);
    return bad_pad_mask_chains_run(channel, masks, banks);
}

CHAR mgmt_rle_condition(CHAR remembered, CHAR current) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (remembered > current || current == EB_COND_BLANK || remembered == EB_COND_UNKNOWN) {
        return remembered;
    }
    return current;
}

namespace {

// The highest block without a map mark; EB_NONE when every block has one.
USHORT rle_block(const eb_table* table) {
    for (ULONG eb = table->count; eb-- > 0;) {
        if (table->info[eb].mel_mark == EB_MEL_NONE) {
            return (USHORT)eb;
        }
    }
    return EB_NONE;
}

// Programs the block's segments from 0, each with its usable length from `buffer`, until
// `bytes` are used up (or the block ends). 0, or -11 at the first failed program.
int rle_program(nand_dev* channel, USHORT eb, const UCHAR* buffer, ULONG bytes, ULONG segments) {
    PAGED_CODE();
    for (ULONG s = 0; s < segments && bytes > 0; s++) {
        ULONG length = eb_segment_length(channel, eb, s);
        if (length == 0 || eb_program_segments(channel, eb, s, 1, buffer) != 0) {
            return -KPAV_EAGAIN;
        }
        bytes -= length < bytes ? length : bytes;
    }
    return 0;
}

}  // namespace

int mgmt_data_rle_scan(nand_dev* channel) {
    PAGED_CODE();
    eb_table* table = ebinfo_table(channel);
    if (table == nullptr) {
        return 0;
    }
    USHORT eb = rle_block(table);
    if (eb == EB_NONE) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Cannot find any mapped EBs - rle.\n", channel_name(channel));
        return -KPAV_EINVAL;
    }
    // One buffer serves every segment: the largest usable length of the block's banks.
    ULONG segments = table->geometry.segments_per_eb;
    ULONG size = 0;
    for (ULONG s = 0; s < segments && s < EB_MAX_BANKS; s++) {
        ULONG length = eb_segment_length(channel, eb, s);
        size = length > size ? length : size;
    }
    auto* buffer = (UCHAR*)kpav_zalloc(size != 0 ? size : 1, KPAV_TAG_VML);
    if (buffer == nullptr) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Inadequate memory - rle.\n", channel_name(channel));
        return -KPAV_ENOMEM;
    }
    eb_info* info = &table->info[eb];
    CHAR remembered = info->condition;

    hw_write(channel, BAR_NAND + NAND_RLE_MODE, 0);
    intr_mask_set(channel, INTR_MASK_RLE);
    WriteRelease8(&channel->rle_active, 1);

    int rc = rle_program(channel, eb, buffer, channel->rle_bytes, segments);

    info->last_written_segment = EB_NONE;
    info->condition = mgmt_rle_condition(remembered, info->condition);

    if (!channel_failed(channel)) {
        while (ReadNoFence(&channel->outstanding_count) != 0) {
            kpav_udelay(1000);
        }
    }
    hw_write(channel, BAR_NAND + NAND_RLE_MODE, 0xFFFFFFFF);
    intr_mask_clear(channel, INTR_MASK_RLE);
    WriteRelease8(&channel->rle_active, 0);
    kpav_free(buffer, KPAV_TAG_VML);
    return rc;
}
