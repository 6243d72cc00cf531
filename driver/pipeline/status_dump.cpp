// The software status of a register dump.
#include "driver/pipeline/status_dump.h"

#include "driver/card/csr_dump.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/platform/cpu_wq.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"

namespace {

// A walk of a live list prints at most this many entries.
constexpr ULONG walk_limit = 64;

constexpr ULONG hcq_shown = 8;

// "pavinf     <request>" for each request of `head`, linked through the field at `link_offset`.
void print_request_list(csr_dump_printer* printer, const LIST_ENTRY* head, size_t link_offset) {
    ULONG printed = 0;
    for (const LIST_ENTRY* e = head->Flink; e != head && e != nullptr; e = e->Flink) {
        if (printed++ == walk_limit) {
            csr_dump_printf(printer, "pavinf     ...\n");
            return;
        }
        csr_dump_printf(printer, "pavinf     %p\n", (const void*)((const char*)e - link_offset));
    }
}

bool list_empty(const LIST_ENTRY* head) {
    const LIST_ENTRY* first = head->Flink;
    return first == nullptr || first == head;
}

}  // namespace

void dump_software_status(nand_dev* channel, csr_dump_printer* printer, ULONG normal_context) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    const char* name = channel_name(channel);
    LONG status = ReadNoFence(&channel->software_status);
    const flush_record* open = ReadPointerNoFence((PVOID const volatile*)&channel->flush.current) != nullptr
                                   ? channel->flush.current
                                   : nullptr;
    LONG issued_rows = channel->flush.pool != nullptr ? ReadNoFence(&channel->flush.issued) : 0;
    csr_dump_printf(printer, "pavinf %s: == software status 0x%x %s%s%s%s%s==\n", name, (ULONG)status,
                    (status & PIPE_WORKER1_EXITED) != 0 ? " worker1_exited" : "",
                    (status & PIPE_SMP_RUNNING) == 0 ? " smp_worker_exited" : "",
                    (status & PIPE_NEEDS_ISSUE) != 0 ? " needs_issue" : "",
                    open != nullptr && issued_rows != 0 ? " needs_flush" : "",
                    (status & PIPE_NEEDS_COMPLETION) != 0 ? " needs_completion" : "");
    if (open != nullptr) {
        // The open row; reads merged into it go back to the scheduler when it is issued.
        csr_dump_printf(printer, "pavinf %s: open page %u:%u (ix %u).\n", name, (ULONG)open->eb, (ULONG)open->pad,
                        open->index);
        if (!list_empty(&open->waiting)) {
            csr_dump_printf(printer, "pavinf   requests depending on issue:\n");
            print_request_list(printer, &open->waiting, offsetof(velkor_request, queue_link));
        }
    }
    if (channel->flush.pool != nullptr && !list_empty(&channel->flush.waiters)) {
        // Requests whose data sits in rows not yet programmed: they complete with those rows.
        csr_dump_printf(printer, "pavinf %s: Requests depending on next flush:\n", name);
        print_request_list(printer, &channel->flush.waiters, offsetof(velkor_request, flush_link));
    }
    csr_dump_printf(printer, "pavinf %s: Flushes available: %u\n", name,
                    channel->flush.pool != nullptr ? (ULONG)ReadNoFence(&channel->flush.free_count) : 0);
    csr_dump_printf(printer, "pavinf %s: total %s errors: %llu\n", name, "jf",
                    (unsigned long long)ReadNoFence64(&channel->flush.pad_error_events));
    csr_dump_printf(printer, "pavinf %s: Requests outstanding: %ld held: %ld\n", name,
                    (long)ReadNoFence(&channel->outstanding_count), (long)channel->queues[QUEUE_HOLD].count);
    for (ULONG q = 0; q < QUEUE_COUNT; q++) {
        if (channel->queues[q].count != 0 && channel->queues[q].name != nullptr) {
            csr_dump_printf(printer, "pavinf %s: %s: %u queued\n", name, channel->queues[q].name,
                            channel->queues[q].count);
        }
    }
    for (ULONG type = 0; type < REQUEST_TYPE_COUNT; type++) {
        volatile LONG64* row = channel->stats[type];
        csr_dump_printf(printer,
                        "pavinf %s: %s requests total inserted: %llu total completed: %llu bytes: %llu "
                        "foreground: %llu groomer: %llu\n",
                        name, request_type_name(type), (unsigned long long)ReadNoFence64(&row[STAT_SUBMITTED]),
                        (unsigned long long)ReadNoFence64(&row[STAT_COMPLETED]),
                        (unsigned long long)ReadNoFence64(&row[STAT_BYTES]),
                        (unsigned long long)ReadNoFence64(&row[STAT_OTHER_BYTES]),
                        (unsigned long long)ReadNoFence64(&row[STAT_GROOMER_BYTES]));
    }
    dump_hcq_history(channel, printer);
    cpu_wq_dump(csr_dump_line, printer, name, normal_context != 0);
}

void dump_hcq_history(nand_dev* channel, csr_dump_printer* printer) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    const char* name = channel_name(channel);
    csr_dump_printf(printer, "pavinf %s: %s:\n", name, "HCQ");
    const hw_cmd* entries = channel->ring.entries;
    if (entries == nullptr) {
        return;
    }
    // The ring itself is the history: the entries just before the producer index.
    ULONG head = (ULONG)ReadNoFence(&channel->ring_producer);
    ULONG mask = channel->ring.mask;
    ULONG valid = head < hcq_shown && ReadNoFence64((volatile LONG64*)&channel->ring.doorbell_writes) == 0
                      ? head
                      : hcq_shown;
    for (ULONG k = valid; k-- > 0;) {
        const hw_cmd& e = entries[(head - k - 1) & mask];
        csr_dump_printf(printer, "pavinf %s: %4d: %08x <- %08x (%11d) \n", name, -(int)(k + 1), e.reg, e.value,
                        (int)e.value);
    }
}

void dump_vsr_list(ULONG count, const vsr_entry* entries, const char* prefix) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_print(KPAV_CLASS_NORMAL, "pavinf %s    vsrs (%u)\n", prefix, count);
    for (ULONG i = 0; i < count; i++) {
        const vsr_entry& v = entries[i];
        kpav_print(KPAV_CLASS_NORMAL,
                   "pavinf %s     %2d: %4u:%4u:%6u chunks[ total: %u headtrim: %u tailtrim: %u good: %u] flags 0x%llx\n",
                   prefix, (int)i, (ULONG)v.first, (ULONG)v.second, v.value, v.chunks_total, v.chunks_headtrim,
                   v.chunks_tailtrim, v.chunks_good, (unsigned long long)v.flags);
    }
}
