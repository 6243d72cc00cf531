// Printing a request and its chain.

#include "driver/pipeline/pipeline_internal.h"
#include "driver/pipeline/request.h"
#include "driver/pipeline/status_dump.h"
#include "driver/platform/format.h"

namespace {

const char* const type_names[] = {
    "uninitialized", "erase", "append", "read", "barrier", "page program", "advance append point",
    "open append_point", "close append_point", "masked page read", "binary command", "sample_pads",
    "invalid_request_type",
};
static_assert(sizeof(type_names) / sizeof(type_names[0]) == REQUEST_TYPE_COUNT + 1);

const char* const op_names[] = {
    "uninitialized", "rd-raw-data", "packets", "zeros", "rp-raw-packets", "dont-care", "check-read", "fill-op",
};
static_assert(sizeof(op_names) / sizeof(op_names[0]) == DATA_OP_COUNT);

void print_params(const velkor_request* r, const char* prefix, bool post) {
    const request_params& p = r->params;
    switch (r->type) {
        case REQUEST_ERASE:
            kpav_print(KPAV_CLASS_NORMAL, "pavinf %s    EB %u.\n", prefix, (ULONG)p.erase.eb);
            break;
        case REQUEST_APPEND:
            kpav_print(KPAV_CLASS_NORMAL, "pavinf %s    size %6u opcode %2x magic 0x%16.16llx.\n", prefix,
                       p.append.size, (ULONG)p.append.opcode, (unsigned long long)p.append.magic);
            if (post) {
                ULONG count = p.append.lvec.count <= 3 ? p.append.lvec.count : 3;
                for (ULONG i = 0; i < count; i++) {
                    kpav_print(KPAV_CLASS_NORMAL, "pavinf %s    lvec %2d eb %4u lpkt %7u pkt_count %4u\n", prefix,
                               (int)i, (ULONG)p.append.lvec.vectors[i].eb, p.append.lvec.vectors[i].lpkt,
                               p.append.lvec.packet_counts[i]);
                }
            }
            break;
        case REQUEST_READ:
            kpav_print(KPAV_CLASS_NORMAL, "pavinf %s    addr %u:%llu size %u pkt_count %llu.\n", prefix,
                       (ULONG)p.read.address.eb, (unsigned long long)p.read.address.offset, p.read.data_length,
                       (unsigned long long)p.read.packet_count);
            if (r->data_op == DATA_OP_PACKETS) {
                ULONG64 last = p.read.packet_count != 0 ? p.read.lba + p.read.packet_count - 1 : p.read.lba;
                kpav_print(KPAV_CLASS_NORMAL, "pavinf %s    LBA range %llu-%llu.\n", prefix,
                           (unsigned long long)p.read.lba, (unsigned long long)last);
            }
            break;
        case REQUEST_PAGE_PROGRAM:
            kpav_print(KPAV_CLASS_NORMAL, "pavinf %s    addr %u:%u size %u.\n", prefix, (ULONG)p.page_program.eb,
                       (ULONG)p.page_program.page, p.page_program.size);
            break;
        case REQUEST_ADVANCE_AP:
            kpav_print(KPAV_CLASS_NORMAL, "pavinf %s    EB %u %s.\n", prefix, (ULONG)p.advance.eb,
                       post ? "unknonw" : (p.advance.closed != 0 ? "closed" : "no action"));
            break;
        case REQUEST_CLOSE_AP:
            if (post) {
                kpav_print(KPAV_CLASS_NORMAL, "pavinf %s    closed EB %u\n", prefix, (ULONG)p.close.eb);
            }
            break;
        case REQUEST_MASKED_PAGE_READ:
            kpav_print(KPAV_CLASS_NORMAL, "pavinf %s    eb %u page %u size %u.\n", prefix, (ULONG)p.masked_read.eb,
                       (ULONG)p.masked_read.page, p.masked_read.size);
            break;
        case REQUEST_BINARY_COMMAND:
            kpav_print(KPAV_CLASS_NORMAL, "pavinf %s    num_cmds: %d, buffer: %p \n", prefix, (int)p.binary.count,
                       p.binary.buffer);
            break;
        default:
            break;
    }
}

}  // namespace

const char* request_type_name(ULONG type) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return type_names[type < REQUEST_TYPE_COUNT ? type : REQUEST_TYPE_COUNT];
}

const char* data_op_name(ULONG op) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return op < DATA_OP_COUNT ? op_names[op] : "invalid-op";
}

void request_print_detail(const velkor_request* request, const char* prefix, bool print_sgl, int sgl_option,
                          bool post) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_print(KPAV_CLASS_NORMAL, "pavinf %s %s %s request %p op %s flags 0x%llx %s fail %d chain_fail %d\n", prefix,
               channel_name(request->channel), request_type_name(request->type), (const void*)request,
               data_op_name(request->data_op),
               (unsigned long long)request->flags, post ? "post" : "pre ", (int)request->fail,
               (int)request->chain_fail);
    print_params(request, prefix, post);
    if (!print_sgl) {
        return;
    }
    if (request->list == nullptr) {
        kpav_print(KPAV_CLASS_NORMAL, "%s scatter/gather list: NULL\n", prefix);
        return;
    }
    kpav_print(KPAV_CLASS_NORMAL, "%s scatter/gather list:\n", prefix);
    kpav_sgl_dump(request->list, nullptr, prefix, sgl_option);
}

void request_print_chain(const velkor_request* request) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    for (const velkor_request* member = request_next(request); member != request; member = request_next(member)) {
        request_print_detail(member, "related:", false, 0, true);
    }
}

void dump_request(const velkor_request* request, const char* prefix) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    request_print_detail(request, prefix, false, 0, false);
    const nand_dev* channel = request->channel;
    if ((request->flags & REQ_READ_LEVELS) != 0) {
        // The per-bank read-level overrides the request carries.
        char list[225];
        size_t used = 0;
        list[0] = 0;
        ULONG banks = channel != nullptr && channel->geometry.banks <= 8 ? channel->geometry.banks : 8;
        for (ULONG bank = 0; bank < banks && used < sizeof list - 1; bank++) {
            int n = kpav_snprintf(list + used, sizeof list - used, " bank %u: %d", bank,
                                  (int)request->readlevel_override[bank]);
            used += n > 0 ? (size_t)n : 0;
        }
        kpav_print(KPAV_CLASS_NORMAL, "pavinf %s     psub%s\n", prefix, list);
    }
    const velkor_request* head = request->chain_head != nullptr ? request->chain_head : request;
    bool first = request == head;
    bool last = request->chain_link.Flink == &head->chain_link;
    kpav_print(KPAV_CLASS_NORMAL,
               "pavinf %s   %s%s%s%s subs(%u) outstanding_DMAs %u outstanding_reports %u outstanding_bank_cmds %u "
               "outstanding_packetizer_cmds %u outstanding_flushes %u\n",
               prefix, (request->flags & REQ_CHAIN_HEAD) != 0 ? " head" : "",
               (request->flags & REQ_CHAIN_TAIL) != 0 ? " tail" : "", first ? " first" : "", last ? " last" : "",
               head->chain_count, (ULONG)ReadNoFence(&request->pending_dma),
               (ULONG)ReadNoFence(&request->pending_report), (ULONG)ReadNoFence(&request->pending_bank),
               (ULONG)ReadNoFence(&request->pending_stats), (ULONG)ReadNoFence(&request->flush_waiting));
    kpav_print(KPAV_CLASS_NORMAL, "pavinf %s    IOC bufs ebo: %d ebf: %d ebi: 0x%x\n", prefix,
               (request->flags & REQ_EBH_SLOT) != 0 ? (int)request->ebh_slot : -1,
               (request->flags & REQ_EBF_SLOT) != 0 ? (int)request->ebf_slot : -1,
               (request->flags & REQ_EBI_SLOTS) != 0 ? request->ebi_mask : 0);
    if (request->completion_ring != nullptr && channel != nullptr) {
        kpav_print(KPAV_CLASS_NORMAL, "pavinf %s    Multq-queue %u, Multq-tag: %u\n", prefix,
                   (ULONG)(request->completion_ring - channel->cqs), (ULONG)request->pool_index);
    }
    // Requests of this pipeline carry no VSRs.
    dump_vsr_list(0, nullptr, prefix);
    if ((request->flags & REQ_RETRY) != 0) {
        kpav_print(KPAV_CLASS_NORMAL, "pavinf %s   retry state %u orange step %u parity step %u.\n", prefix,
                   (ULONG)request->retry_state[0], (ULONG)request->retry_state[1], (ULONG)request->retry_state[2]);
    }
}

void dump_request_related(const velkor_request* request) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    for (const velkor_request* member = request_next(request); member != request; member = request_next(member)) {
        dump_request(member, "related:");
    }
}
