#include "driver/log/eb_media.h"

#include "driver/log/eb_header.h"
#include "driver/pipeline/ebinfo.h"
#include "driver/pipeline/builders.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/memory.h"

namespace {

ULONG banks_of(const eb_table* table) {
    return table->geometry.banks != 0 ? table->geometry.banks : 1;
}

ULONG data_pads_of(const eb_table* table) {
    ULONG pads = table->geometry.data_pads;
    return pads == 0 ? 1 : (pads > EB_MAX_PADS ? EB_MAX_PADS : pads);
}

ULONG popcount(ULONG v) {
    ULONG n = 0;
    for (; v != 0; v &= v - 1) n++;
    return n;
}

// One pass's read of the first packet of every data pad into its slot. The channel reads a
// segment as one stream that every pad of the bank presents, so one read serves all pads: a
// failure of that read fails every pad. 0, -1028 (erased), -1024 (all pads failed) or another
// error.
int read_pad_slots(nand_dev* channel, USHORT eb, UCHAR* slots, ULONG slot_size, ULONG pads, bool retry,
                   ULONG* failed) {
    media_address address{};
    address.eb = eb;
    ULONG64 flags = retry ? REQ_RETRY : 0;
    int status = media_read_raw(channel, &address, slots, slot_size, flags, nullptr, nullptr, nullptr);
    *failed = 0;
    if (status == PAV_UNCORRECTABLE) {
        *failed = pads >= 32 ? 0xFFFFFFFFu : (1u << pads) - 1;
        return status;
    }
    if (status != 0) {
        return status;
    }
    for (ULONG pad = 1; pad < pads; pad++) {
        RtlCopyMemory(slots + (SIZE_T)pad * slot_size, slots, slot_size);
    }
    return 0;
}

}  // namespace

ULONG64 eb_segment_offset(nand_dev* channel, USHORT eb, ULONG segment) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return ebinfo_capacity_to_pad(channel, eb, segment);
}

ULONG eb_segment_length(nand_dev* channel, USHORT eb, ULONG segment) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_table* table = ebinfo_table(channel);
    const eb_info* info = ebinfo_get(channel, eb);
    if (info == nullptr || segment >= table->geometry.segments_per_eb) {
        return 0;
    }
    return info->banks[segment % banks_of(table)].usable_bytes;
}

ULONG eb_header_pads_buffer_size(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_table* table = ebinfo_table(channel);
    return table == nullptr ? 0 : data_pads_of(table) * table->geometry.packet_size;
}

ULONG eb_header_confirm_size(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_table* table = ebinfo_table(channel);
    return table == nullptr ? 0 : table->geometry.packet_size + table->geometry.ecc_chunk_size;
}

int eb_header_candidate(nand_dev* channel, USHORT eb, const UCHAR* slot, eb_header* out) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_table* table = ebinfo_table(channel);
    int rc = eb_header_decode(out, slot);
    if (rc != 0) {
        return rc;
    }
    if (out->eb != eb ||
        (out->ecc_chunk_size != (USHORT)table->geometry.ecc_chunk_size && out->ecc_chunk_size != 0xA5A5)) {
        return -KPAV_EINVAL;
    }
    return 0;
}

int eb_header_read(nand_dev* channel, USHORT eb, UCHAR* pads, UCHAR* confirm) {
    PAGED_CODE();
    eb_table* table = ebinfo_table(channel);
    eb_info* info = ebinfo_get(channel, eb);
    if (info == nullptr || pads == nullptr || confirm == nullptr) {
        return -KPAV_EINVAL;
    }
    const store_geometry& g = table->geometry;
    info->header_flags |= EB_HFLAG_TRIED;
    ULONG pad_count = data_pads_of(table);
    ULONG slot = g.packet_size;
    ULONG confirm_size = g.packet_size + g.ecc_chunk_size;
    // A blank block shows erased pads; without a minimum from the card one erased pad is needed.
    ULONG blank_pads = g.min_usable_pads != 0 ? g.min_usable_pads : 1;
    for (int pass = 0; pass < 2; pass++) {
        ULONG failed = 0;
        int status = read_pad_slots(channel, eb, pads, slot, pad_count, pass != 0, &failed);
        if (status == PAV_ERASED_MEDIA) {
            break;  // blank
        }
        if (status != 0 && status != PAV_UNCORRECTABLE) {
            info->header_flags |= EB_HFLAG_READ_FAILED;
            return status;
        }
        // The pads from the highest down: a valid header of this block with fewer pads in its
        // mask than the one chosen is applied and confirmed by a normal read of the first packet
        // and one chunk, whose two stored header copies must agree.
        eb_header chosen;
        bool have = false;
        bool last_applied_is_chosen = false;
        ULONG erased = 0;
        for (LONG pad = (LONG)pad_count - 1; pad >= 0; pad--) {
            if (pad < 32 && (failed & (1u << pad)) != 0) {
                continue;
            }
            eb_header candidate;
            int rc = eb_header_candidate(channel, eb, pads + (SIZE_T)pad * slot, &candidate);
            if (rc != 0) {
                erased += rc == -KPAV_ENOENT ? 1 : 0;
                continue;
            }
            if (have && (RtlCompareMemory(&candidate, &chosen, sizeof(candidate)) == sizeof(candidate) ||
                         popcount(eb_header_pad_mask(&candidate)) >= popcount(eb_header_pad_mask(&chosen)))) {
                continue;
            }
            last_applied_is_chosen = false;
            if (eb_header_apply(channel, eb, &candidate) != 0) {
                continue;
            }
            media_address address{};
            address.eb = eb;
            rc = media_read_raw(channel, &address, confirm, confirm_size, 0, nullptr, nullptr, nullptr);
            if (rc == 0 && RtlCompareMemory(confirm, confirm + g.packet_size, EB_HEADER_SIZE) == EB_HEADER_SIZE) {
                chosen = candidate;
                have = true;
                last_applied_is_chosen = true;
            }
        }
        if (have) {
            if (!last_applied_is_chosen && eb_header_apply(channel, eb, &chosen) != 0) {
                info->header_flags |= EB_HFLAG_READ_FAILED;
                return -KPAV_EINVAL;
            }
            ebinfo_raise_condition(channel, eb, EB_COND_HEADER_READ);
            return 0;
        }
        if (erased >= blank_pads) {
            break;  // blank
        }
        if (pass == 1) {
            info->header_flags |= EB_HFLAG_READ_FAILED;
            return -KPAV_EIO;
        }
    }
    info->header_flags |= EB_HFLAG_BLANK;
    ebinfo_raise_condition(channel, eb, EB_COND_BLANK);
    return -KPAV_ENOENT;
}

int media_page_check_read(nand_dev* channel, USHORT eb, ULONG segment) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    ULONG length = eb_segment_length(channel, eb, segment);
    if (length == 0) {
        return -KPAV_EINVAL;
    }
    media_address address{};
    address.eb = eb;
    address.offset = eb_segment_offset(channel, eb, segment);
    int status = request_read_aligned(channel, &address, length);
    return status == PAV_ERASED_MEDIA ? 1 : status;
}

int eb_program_segments(nand_dev* channel, USHORT eb, ULONG first, ULONG count, const UCHAR* data) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    ULONG64 at = 0;
    for (ULONG s = first; s < first + count; s++) {
        ULONG length = eb_segment_length(channel, eb, s);
        if (length == 0) {
            return -KPAV_EINVAL;
        }
        int rc = request_page_program_sync(channel, eb, (USHORT)s, data + at, length, nullptr, nullptr, 1);
        if (rc != 0) {
            return rc;
        }
        at += length;
    }
    return 0;
}

int request_fill_pages_sync(nand_dev* channel, USHORT eb, ULONG first, ULONG count) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    ULONG64 length = 0;
    for (ULONG s = first; s < first + count; s++) {
        ULONG bytes = eb_segment_length(channel, eb, s);
        if (bytes == 0) {
            return -KPAV_EINVAL;
        }
        length += bytes;
    }
    if (count == 0 || length > 0xFFFFFFFFull) {
        return -KPAV_EINVAL;
    }
    tavrin_ioctx* context = request_alloc(channel, REQUEST_ALLOC_WAIT);
    if (context == nullptr) {
        return -KPAV_ENOMEM;
    }
    velkor_request* request = context->request;
    request->type = REQUEST_PAGE_PROGRAM;
    request->data_op = DATA_OP_FILL;
    request->params.page_program.size = (ULONG)length;
    request->params.page_program.eb = eb;
    request->params.page_program.page = (USHORT)first;
    request->params.page_program.buffer_set = nullptr;
    if (channel->geometry.flushless == 0) {
        request->flags |= REQ_FLUSH_JOIN | REQ_FLUSH_WAITER;
    }
    return request_submit_wait(context);
}

int eb_fill_unwritten_tail(nand_dev* channel, USHORT eb, bool whole) {
    PAGED_CODE();
    eb_table* table = ebinfo_table(channel);
    eb_info* info = ebinfo_get(channel, eb);
    if (info == nullptr) {
        return -KPAV_EINVAL;
    }
    const store_geometry& g = table->geometry;
    ULONG limit = whole ? g.segments_per_eb : g.fill_rows * banks_of(table);
    if (limit > g.segments_per_eb) {
        limit = g.segments_per_eb;
    }
    // A segment that fails its check read may still hold data: only an erased one starts the
    // tail, so nothing written is programmed over.
    ULONG n = 0;
    while (n < limit && media_page_check_read(channel, eb, n) != 1) {
        n++;
    }
    if (n >= limit) {
        return 0;
    }
    if (n > 0) {
        info->last_written_segment = (USHORT)(n - 1);
    }
    for (ULONG at = n; at < limit;) {
        ULONG run = limit - at < EB_FILL_RUN_SEGMENTS ? limit - at : EB_FILL_RUN_SEGMENTS;
        int rc = request_fill_pages_sync(channel, eb, at, run);
        if (rc != 0) {
            return rc;
        }
        at += run;
    }
    return 0;
}
