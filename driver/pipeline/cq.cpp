#include "driver/pipeline/cq.h"

#include "driver/pipeline/hw_cmds.h"
#include "driver/pipeline/pipeline.h"
#include "driver/pipeline/pipeline_internal.h"
#include "driver/platform/format.h"
#include "driver/platform/memory.h"

namespace {

constexpr ULONG ring_mask = CQ_RING_WORDS - 1;
constexpr ULONG retrigger_every = 1024;  // idle polls
constexpr ULONG stats_slots = 962;
constexpr ULONG stats_pads_per_row = 30;
// Sample reads keep 16-bit counts per row instead of sums per pad.
constexpr ULONG64 req_stats_by_row = 1ull << 28;

ULONG ring_word(const completion_queue* ring, ULONG index) {
    return (ULONG)ReadAcquire((volatile LONG*)&ring->ring[index & ring_mask]);
}

void window_write(completion_queue* ring, ULONG offset, ULONG value) {
    WRITE_REGISTER_ULONG(ring->window + offset / 4, value);
    KeMemoryBarrier();
}

void acknowledge(completion_queue* ring, ULONG value) {
    window_write(ring, CQW_ACK, value);
}

// Resets consumed words to the empty pattern, leaving the 64 just behind head as they are. Other
// threads look at the head word (ring_has_words) while the drainer cleans: the stores are atomic.
void clean_words(completion_queue* ring, ULONG from, ULONG to) {
    for (ULONG i = from; i < to; i++) {
        WriteNoFence((volatile LONG*)&ring->ring[i], (LONG)CQ_EMPTY);
    }
}

void reset_consumed(completion_queue* ring, ULONG head) {
    if (head < ring->cleaned) {
        clean_words(ring, ring->cleaned, CQ_RING_WORDS);
        ring->cleaned = 0;
    }
    if (head - ring->cleaned > CQ_CLEAN_GAP) {
        clean_words(ring, ring->cleaned, head - CQ_CLEAN_GAP);
        ring->cleaned = head - CQ_CLEAN_GAP;
    }
}

ULONG head_of(const completion_queue* ring) {
    return (ULONG)ReadNoFence((volatile LONG*)&ring->head);
}

void set_head(completion_queue* ring, ULONG head) {
    WriteNoFence((volatile LONG*)&ring->head, (LONG)(head & ring_mask));
}

bool ring_has_words(const completion_queue* ring) {
    return ring->ring != nullptr && ring_word(ring, head_of(ring)) != CQ_EMPTY;
}

void rearm_locked(completion_queue* ring) {
    kpav_spin_lock(&ring->lock);
    acknowledge(ring, 0);
    InterlockedOr(&ring->flags, CQ_REARMED);
    kpav_spin_unlock(&ring->lock);
}

// A word that names a request the card does not owe anything: card data is not trusted, so the
// word is dropped and the channel failed once.
velkor_request* owed_request(completion_queue* ring, ULONG word, ULONG tag) {
    nand_dev* channel = ring->owner;
    velkor_request* request = cq_lookup_tag(channel, tag);
    if (request != nullptr && ReadAcquire(&request->retire_claim) != 0) {
        return request;
    }
    if (!channel_failed(channel)) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Completion %8.8x (q=%u) names no request on the card.\n",
                   channel_name(channel), word, ring->index);
        fail_channel(channel, 1, CHANNEL_FAIL_BAD_COMPLETION);
    }
    return nullptr;
}

// A read whose card work is done goes to its processor, taken for retirement before it is
// linked (the failure of everything may be gathering requests at the same time); ordered requests
// are collected by the worker.
ULONG note_done(nand_dev* channel, velkor_request* request, LIST_ENTRY* completed) {
    if (ReadAcquire(&request->pending_dma) != 0 || ReadAcquire(&request->pending_stats) != 0) {
        return CQ_HANDLED;
    }
    if (request->read_class != 0) {
        if (!request_claim(request)) {
            return CQ_HANDLED;
        }
        InsertTailList(completed, &request->queue_link);
        return CQ_HANDLED | CQ_COMPLETED;
    }
    pipeline_note_completion(channel);
    return CQ_HANDLED | CQ_WAKE_WORKER;
}

void record_failure(completion_queue* ring, ULONG bytes, ULONG word, ULONG reason) {
    nand_dev* channel = ring->owner;
    kpav_print(KPAV_CLASS_ERROR, "%s: Failed to get completion record size %4u cr=0x%08x\n", channel_name(channel),
               bytes, word);
    // The words that follow can no longer be framed: the rest of the ring is consumed unread.
    InterlockedExchange(&ring->framing_lost, 1);
    fail_channel(channel, 1, reason);
}

// Page statistics of a read: one entry per pad, a 16-bit first and second count.
void record_page_stats(nand_dev* channel, velkor_request* request, const ULONG* entries, ULONG pads) {
    auto* slots = (ULONG*)request->sample_buffer;
    if (slots == nullptr) {
        return;
    }
    ULONG banks = channel->geometry.banks != 0 ? channel->geometry.banks : 1;
    if ((request->flags & req_stats_by_row) != 0) {
        auto* halves = (USHORT*)slots;
        ULONG row = request->params.sample.page_count - (ULONG)ReadNoFence(&request->pending_stats);
        for (ULONG i = 0; i < pads && row * stats_pads_per_row + i < 480; i++) {
            ULONG first = entries[i] & 0xFFFF;
            ULONG second = entries[i] >> 16;
            halves[480 + row * stats_pads_per_row + i] = (USHORT)first;
            halves[row * stats_pads_per_row + i] = (USHORT)(first + second);
        }
        return;
    }
    ULONG planes = channel->geometry.planes != 0 ? channel->geometry.planes : 1;
    ULONG bank = request->pad_index % banks;
    ULONG base = (planes * bank) * pads;
    for (ULONG i = 0; i < pads && 482 + base + i < stats_slots; i++) {
        ULONG first = entries[i] & 0xFFFF;
        ULONG sum = first + (entries[i] >> 16);
        ULONG* total = &slots[2 + base + i];
        ULONG* firsts = &slots[482 + base + i];
        *total = *total > 0xFFFFFFFFu - sum ? 0xFFFFFFFFu : *total + sum;
        *firsts = *firsts > 0xFFFFFFFFu - first ? 0xFFFFFFFFu : *firsts + first;
        if (*total > slots[0]) {
            slots[0] = *total;
            slots[1] = base + i;
        }
    }
}

ULONG decode_page_stats(completion_queue* ring, ULONG word, LIST_ENTRY* completed) {
    nand_dev* channel = ring->owner;
    ULONG pads = channel->geometry.pads;
    ULONG record[2 + 64] = {};
    ULONG words = pads + 2 <= ARRAYSIZE(record) ? pads + 2 : (ULONG)ARRAYSIZE(record);
    if (cq_read_record(ring, record, words * 4) != 0) {
        record_failure(ring, words * 4, word, CHANNEL_FAIL_STATS_RECORD);
        return 0;
    }
    velkor_request* request = cq_lookup_tag(channel, record[0] >> 2 & 0x3FFF);
    if (request == nullptr || ReadAcquire(&request->retire_claim) == 0) {
        return CQ_HANDLED;
    }
    record_page_stats(channel, request, record + 2, words - 2);
    InterlockedDecrement(&request->pending_stats);
    return note_done(channel, request, completed);
}

ULONG decode_readback(completion_queue* ring, ULONG word) {
    nand_dev* channel = ring->owner;
    velkor_request* request = cq_lookup_tag(channel, word >> 8 & 0xFFFF);
    if (request == nullptr || request->type != REQUEST_BINARY_COMMAND || ReadAcquire(&request->retire_claim) == 0) {
        if (cq_take_readback(ring, word, nullptr, 0) == -KPAV_EPIPE) {
            return CQ_HANDLED;
        }
        kpav_print(KPAV_CLASS_ERROR, "%s: Read-back %8.8x (q=%u) names no command.\n", channel_name(channel), word,
                   ring->index);
        fail_channel(channel, 0, CHANNEL_FAIL_READBACK);
        return CQ_HANDLED;
    }
    auto& binary = request->params.binary;
    int rc = cq_take_readback(ring, word, binary.readback, binary.readback_words);
    if (rc == -KPAV_EPIPE) {
        return CQ_HANDLED;
    }
    if (rc != 0) {
        // The command sits in the outstanding ring, where the worker reads its flags meanwhile.
        InterlockedExchange((volatile LONG*)&request->fail, -KPAV_EIO);
        InterlockedOr64((volatile LONG64*)&request->flags, (LONG64)REQ_FAILED);
    }
    if ((ULONG)InterlockedIncrement(&binary.received) >= binary.count) {
        InterlockedExchange(&request->cmd_done, 1);
        pipeline_note_completion(channel);
        return CQ_HANDLED | CQ_WAKE_WORKER;
    }
    return CQ_HANDLED;
}

ULONG decode_event(completion_queue* ring, ULONG word) {
    return events_decode(ring, word);
}

void poll_retrigger(nand_dev* channel) {
    for (ULONG q = 0; q < channel->cq_count; q++) {
        window_write(&channel->cqs[q], CQW_RETRIGGER, 1);
    }
}

void name_ring(nand_dev* channel, ULONG q) {
    completion_queue* ring = &channel->cqs[q];
    const char* card = channel_name(channel);
    if (channel->cq_count == 1) {
        kpav_snprintf(ring->name, sizeof ring->name, "velkor-%s", card);
    } else if (q == 0) {
        kpav_snprintf(ring->name, sizeof ring->name, "velkor-%s-%s", card, "admin");
    } else if (q == 1) {
        kpav_snprintf(ring->name, sizeof ring->name, "velkor-%s-%s", card, "write");
    } else {
        char role[16];
        kpav_snprintf(role, sizeof role, "read-%u", q - 2);
        kpav_snprintf(ring->name, sizeof ring->name, "velkor-%s-%s", card, role);
    }
}

}  // namespace

int cq_alloc(nand_dev* channel) {
    PAGED_CODE();
    volatile ULONG* bar = channel->ring.bar;
    for (ULONG q = 0; q < channel->cq_count; q++) {
        completion_queue* ring = &channel->cqs[q];
        ring->ring = (volatile ULONG*)kpav_dma_alloc_contig(&ring->bus_address);
        if (ring->ring == nullptr) {
            kpav_print(KPAV_CLASS_ERROR, "Alloc contig buffer of size %d failed", (int)CQ_RING_BYTES);
            kpav_print(KPAV_CLASS_ERROR, "%s: Inadequate memory - hw completions queue.\n", channel_name(channel));
            cq_free(channel);
            return -KPAV_ENOMEM;
        }
        for (ULONG i = 0; i < CQ_RING_WORDS; i++) {
            ring->ring[i] = CQ_EMPTY;
        }
        ring->owner = channel;
        ring->index = q;
        ring->window = bar != nullptr ? bar + (BAR_CQ_WINDOWS + q * CQ_WINDOW_BYTES) / 4 : nullptr;
        ring->csr = bar != nullptr ? bar + BAR_NAND / 4 : nullptr;
        ring->head = 0;
        ring->cleaned = 0;
        ring->flags = CQ_REARMED;
        ring->marker_seen = 0;
        ring->framing_lost = 0;
        kpav_spinlock_init(&ring->lock, "completion ring");
        name_ring(channel, q);
    }
    return 0;
}

void cq_free(nand_dev* channel) {
    PAGED_CODE();
    for (ULONG q = 0; q < CQ_MAX_RINGS; q++) {
        completion_queue* ring = &channel->cqs[q];
        if (ring->ring != nullptr) {
            kpav_dma_free_contig((void*)ring->ring);
            ring->ring = nullptr;
            ring->bus_address = 0;
        }
    }
}

velkor_request* cq_lookup_tag(nand_dev* channel, ULONG tag) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    // The tag comes from the card: one beyond the pool is a word that names no request, which the
    // callers refuse, not a reason to stop the machine.
    return tag <= channel->pool.capacity ? request_of_tag(channel, tag) : nullptr;
}

int cq_read_record(completion_queue* ring, ULONG* out, ULONG bytes) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG head = head_of(ring);
    ULONG words = bytes / 4;
    ULONG at = (head + words) & ring_mask;
    ULONG64 start = pipe_now_us();
    for (;;) {
        ULONG value = ring_word(ring, at);
        if (value == CQ_TERMINATOR) {
            break;
        }
        if (value != CQ_EMPTY) {
            return -KPAV_EIO;
        }
        if (pipe_now_us() - start >= CQ_RECORD_WAIT_US) {
            return -KPAV_EAGAIN;
        }
        kpav_udelay(10);
    }
    for (ULONG i = 0; out != nullptr && i < words; i++) {
        out[i] = ring_word(ring, head + i);
    }
    set_head(ring, at + 1);
    return 0;
}

int cq_take_readback(completion_queue* ring, ULONG word, ULONG* destination, ULONG capacity) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG length = 0;
    if (cq_read_record(ring, &length, 4) != 0 || length == 0 || length - 1 > CQ_RING_WORDS / 2) {
        // A malformed length cannot be skipped safely.
        record_failure(ring, 4, word, CHANNEL_FAIL_READBACK);
        return -KPAV_EPIPE;
    }
    bool fits = length == 1 || (destination != nullptr && length - 1 <= capacity);
    if (cq_read_record(ring, fits ? destination : nullptr, (length - 1) * 4) != 0) {
        record_failure(ring, (length - 1) * 4, word, CHANNEL_FAIL_READBACK);
        return -KPAV_EPIPE;
    }
    return fits ? 0 : -KPAV_EIO;
}

void cq_unknown_interrupt(completion_queue* ring, ULONG word) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    nand_dev* channel = ring->owner;
    ULONG status = ring->csr != nullptr ? READ_REGISTER_ULONG(ring->csr + NAND_INTR_STATUS / 4) : 0;
    InterlockedIncrement(&channel->unknown_events);
    kpav_print(KPAV_CLASS_ERROR, "%s: Unknown interrupt (q=%d): val[0]: %8.8x\n", channel_name(channel),
               (int)ring->index, word);
    fail_channel(channel, 0, CHANNEL_FAIL_UNKNOWN_EVENT);
    kpav_print(KPAV_CLASS_ERROR, "%s: intr_status: pending: %d ovr: %d undr: %d full: %d empty: %d bytes: %d\n",
               channel_name(channel), (int)(status & 1), (int)(status >> 1 & 0xF), (int)(status >> 5 & 0xF),
               (int)(status >> 9 & 1), (int)(status >> 10 & 1), (int)(status >> 16));
}

velkor_request* cq_owed_request(completion_queue* ring, ULONG word, ULONG tag) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return owed_request(ring, word, tag);
}

void cq_record_failure(completion_queue* ring, ULONG bytes, ULONG word, ULONG reason) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    record_failure(ring, bytes, word, reason);
}

ULONG decode_completion(completion_queue* ring, ULONG word, LIST_ENTRY* completed) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    nand_dev* channel = ring->owner;
    ULONG low = word & 0xFF;
    ULONG banks = channel->geometry.banks;
    if (low == 0x5B) {
        velkor_request* request = owed_request(ring, word, word >> 10 & 0x3FFF);
        if (request == nullptr) {
            return CQ_HANDLED;
        }
        if ((word & 0x100) != 0) {
            // The page was never programmed: the retire rule turns this into "erased".
            request->erased_hint = 1;
            if (request->fail == 0) {
                request->fail = PAV_UNCORRECTABLE;
            }
        }
        InterlockedDecrement(&request->pending_dma);
        return note_done(channel, request, completed);
    }
    if (low == 0x2D) {
        if ((LONG)word >= 0) {
            velkor_request* request = owed_request(ring, word, word >> 10 & 0x3FFF);
            if (request != nullptr) {
                InterlockedDecrement(&request->pending_report);
                pipeline_note_completion(channel);
            }
        }
        return CQ_HANDLED | CQ_WAKE_WORKER;
    }
    if (low >= 0x20 && low < 0x20 + banks && low < 0x28) {
        ULONG subtype = word >> 8 & 3;
        ULONG index = word >> 10 & 0x3FFF;
        if (subtype == 0) {
            InterlockedExchange(&ring->marker_seen, 1);
        } else if (subtype == 1) {
            flush_complete(channel, index);
        } else {
            velkor_request* request = owed_request(ring, word, index);
            if (request != nullptr) {
                InterlockedDecrement(&request->pending_bank);
                pipeline_note_completion(channel);
            }
        }
        return CQ_HANDLED | CQ_WAKE_WORKER;
    }
    if (low == 0x30) {
        return decode_page_stats(ring, word, completed);
    }
    if (low == 0x08) {
        ULONG result = 0;
        if (direct_readback_decode(ring, word, &result)) {
            return result;
        }
        return decode_readback(ring, word);
    }
    return decode_event(ring, word);
}

int drain_completion_queue(completion_queue* ring) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (ring == nullptr || ring->ring == nullptr) {
        return CQ_DRAINED_NOTHING;
    }
    if ((InterlockedOr(&ring->flags, CQ_DRAINING) & CQ_DRAINING) != 0) {
        return CQ_DRAIN_MORE;
    }
    InterlockedAnd(&ring->flags, ~CQ_DRAIN_AGAIN);
    nand_dev* channel = ring->owner;
    LIST_ENTRY completed;
    InitializeListHead(&completed);
    ULONG result = 0;
    ULONG count = 0;
    for (;;) {
        ULONG head = head_of(ring);
        reset_consumed(ring, head);
        ULONG word = ring_word(ring, head);
        if (word == CQ_EMPTY) {
            break;
        }
        set_head(ring, head + 1);
        if (ReadNoFence(&ring->framing_lost) == 0) {
            result |= decode_completion(ring, word, &completed);
        }
        count += (head_of(ring) - head) & ring_mask;
        if (count >= CQ_ACK_BATCH) {
            acknowledge(ring, count | CQ_ACK_MASKED);
            count = 0;
        }
    }
    bool hand = (result & (CQ_COMPLETED | CQ_WAKE_WORKER)) != 0;
    if (hand) {
        kpav_spin_lock(&ring->lock);
        InterlockedAnd(&ring->flags, ~CQ_REARMED);
        acknowledge(ring, count | CQ_ACK_MASKED);
        kpav_spin_unlock(&ring->lock);
    } else {
        kpav_spin_lock(&ring->lock);
        acknowledge(ring, count);
        InterlockedOr(&ring->flags, CQ_REARMED);
        kpav_spin_unlock(&ring->lock);
    }
    bool handed = false;
    bool woken = false;
    if ((result & CQ_COMPLETED) != 0 && !IsListEmpty(&completed)) {
        cq_deliver_to_cpus(&completed);
        handed = true;
    }
    if ((result & CQ_WAKE_WORKER) != 0) {
        status_set(channel, PIPE_NEEDS_COMPLETION);
        if (!handed) {
            worker_wake(channel);
            woken = true;
        }
    }
    if (hand && !handed && !woken) {
        rearm_locked(ring);
    }
    LONG flags = InterlockedAnd(&ring->flags, ~CQ_DRAINING);
    if ((flags & CQ_DRAIN_AGAIN) != 0) {
        return CQ_DRAIN_MORE;
    }
    return (result & CQ_HANDLED) != 0 ? CQ_DRAINED : CQ_DRAINED_NOTHING;
}

int poll_completion_queues(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_spin_lock(&channel->poll_lock);
    if (channel->poll_running) {
        if (++channel->idle_polls % retrigger_every == 0) {
            poll_retrigger(channel);
        }
        kpav_spin_unlock(&channel->poll_lock);
        return CQ_DRAINED;  // the poll that runs takes what there is
    }
    channel->poll_running = 1;
    kpav_spin_unlock(&channel->poll_lock);
    int result = CQ_DRAINED_NOTHING;
    for (ULONG q = 0; q < channel->cq_count; q++) {
        completion_queue* ring = &channel->cqs[q];
        InterlockedOr(&ring->flags, CQ_DRAIN_AGAIN);
        int r = drain_completion_queue(ring);
        result = r > result ? r : result;
    }
    kpav_spin_lock(&channel->poll_lock);
    channel->poll_running = 0;
    if (result == CQ_DRAINED_NOTHING) {
        if (++channel->idle_polls % retrigger_every == 0) {
            poll_retrigger(channel);
        }
    } else {
        channel->idle_polls = 0;
    }
    kpav_spin_unlock(&channel->poll_lock);
    return result;
}

void intr_mask_set(nand_dev* channel, ULONG bits) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_spin_lock(&channel->intr_mask_lock);
    hw_write(channel, BAR_NAND + NAND_INTR_MASK, hw_read(channel, BAR_NAND + NAND_INTR_MASK) | bits);
    kpav_spin_unlock(&channel->intr_mask_lock);
}

void intr_mask_clear(nand_dev* channel, ULONG bits) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_spin_lock(&channel->intr_mask_lock);
    hw_write(channel, BAR_NAND + NAND_INTR_MASK, hw_read(channel, BAR_NAND + NAND_INTR_MASK) & ~bits);
    kpav_spin_unlock(&channel->intr_mask_lock);
}

void cq_rearm(completion_queue* ring) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (ring == nullptr || ring->ring == nullptr) {
        return;
    }
    // Re-armed once nothing is left, also when another caller was draining: a drainer that
    // handed its completions on leaves the re-arm to this pass, and may still be finishing when
    // the completions are retired. Given up, the re-arm would be lost and the ring silent until
    // the poller came by. A drainer still taking words hands them on or re-arms itself; at worst
    // the card signals once for words it is already taking.
    drain_completion_queue(ring);
    if (!ring_has_words(ring) && (ReadAcquire(&ring->flags) & CQ_REARMED) == 0) {
        rearm_locked(ring);
    }
}

void cq_stop_interrupts(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    for (ULONG q = 0; q < channel->cq_count; q++) {
        if (channel->cqs[q].window != nullptr) {
            window_write(&channel->cqs[q], CQW_HOLD, 1);
        }
    }
}

bool cq_rings_empty(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    for (ULONG q = 0; q < channel->cq_count; q++) {
        if (ring_has_words(&channel->cqs[q])) {
            return false;
        }
    }
    return true;
}

int cq_drain_write_ring(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (channel->cq_count == 0) {
        return CQ_DRAINED_NOTHING;
    }
    completion_queue* ring = &channel->cqs[channel->cq_count > 1 ? 1 : 0];
    if (ring_has_words(ring)) {
        return drain_completion_queue(ring);
    }
    if ((ReadAcquire(&ring->flags) & CQ_REARMED) == 0) {
        rearm_locked(ring);
    }
    return CQ_DRAINED_NOTHING;
}

bool cq_drain_all(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    bool any = false;
    for (ULONG q = 0; q < channel->cq_count; q++) {
        if (ring_has_words(&channel->cqs[q])) {
            any = true;
            drain_completion_queue(&channel->cqs[q]);
        }
    }
    return any;
}

void cq_drain_vector(pipeline_device* card, ULONG index) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    nand_dev* channel = card != nullptr ? card->nand : nullptr;
    if (channel == nullptr || index >= channel->cq_count) {
        return;
    }
    drain_completion_queue(&channel->cqs[index]);
}
