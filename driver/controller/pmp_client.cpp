#include "driver/controller/pmp_client.h"

#include "driver/card/hw_reset.h"
#include "driver/controller/little_endian.h"
#include "driver/card/pipeline_device.h"
#include "driver/controller/pmp_internal.h"
#include "driver/platform/format.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"
#include "driver/platform/sync.h"

namespace {

constexpr ULONG csr_control = 0x1000;
constexpr ULONG csr_data = 0x1180;
constexpr ULONG csr_status = 0x1188;
constexpr ULONG status_rx_empty = 0x1;
constexpr ULONG status_tx_full = 0x8;
constexpr ULONG attention = 0x08000000;
constexpr ULONG attention_pulses = 10;
constexpr ULONG attention_wait_us = 10000;
constexpr ULONG tries = 12;
constexpr ULONG idle_polls = 13;
constexpr ULONG poll_wait_us = 20000;
// Bounds against a PMP that never stops sending: bytes taken per drain, and polls with traffic
// that do not use up a wait's idle budget.
constexpr ULONG drain_limit = 4 * PMP_FRAME_MAX;
constexpr ULONG busy_polls = 64;

bool has_address(const pmp_client* pmp) {
    return pmp->node.address.length != 0;
}

bool valid_address(const pmp_address* address) {
    return address != nullptr && address->length >= 1 && address->length <= PMP_ADDRESS_MAX;
}

ULONG put_bytes(pmp_link* link, const UCHAR* bytes, ULONG count) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    auto* card = (pipeline_device*)link->context;
    ULONG taken = 0;
    while (taken < count) {
        if ((csr_read(card->csr, csr_status) & status_tx_full) != 0) {
            break;
        }
        csr_write(card->csr, csr_data, bytes[taken]);
        taken++;
    }
    return taken;
}

// Runs the transmitter when the channel has room and frames wait: true when frames waited.
bool transmit_waiting(pipeline_device* card) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    pmp_client* pmp = card->pmp;
    if ((csr_read(card->csr, csr_status) & status_tx_full) != 0) {
        return false;
    }
    kpav_spin_lock(&pmp->link.tx_lock);
    bool waiting = !IsListEmpty(&pmp->link.tx_queue);
    if (waiting) {
        pmp_transmit(&pmp->link);
    }
    kpav_spin_unlock(&pmp->link.tx_lock);
    return waiting;
}

void count_refusal(pmp_link*, void* context) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ((pmp_request*)context)->addr_nak++;
}

// Class handler of the answers (classes 4 to 7): an answer from the expected source to the
// request in flight completes it.
void reply_match(pmp_link*, pmp_packet* packet, void* context, ULONG) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    auto* request = (pmp_request*)context;
    ULONG length = *packet->payload_length;
    const UCHAR* payload = packet->payload_length + 1;
    ULONG data_length = payload[2];
    // An answer whose data would not fit its payload or the answer buffer is not one.
    bool whole = length >= PMP_COMMAND_HEADER && data_length <= PMP_DATA_MAX &&
                 data_length + PMP_COMMAND_HEADER <= length;
    if (whole && pmp_address_equal((const pmp_address*)packet->source, &request->expected_source) &&
        payload[3] == request->sequence && payload[0] == request->expected_command) {
        if (request->state == PMP_QUERY_WAITING) {
            request->answer_length = (UCHAR)data_length;
            RtlCopyMemory(request->answer, payload + PMP_COMMAND_HEADER, data_length);
            request->state = PMP_ANSWERED;
        } else if (request->state == PMP_COMMAND_WAITING && (payload[1] & PMP_FLAG_DATA) != 0) {
            request->state = PMP_ANSWERED;
        }
    }
    pmp_packet_put(packet);
}

void pulse_attention(pipeline_device* card) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    csr_write(card->csr, csr_control, attention);
    kpav_udelay(attention_wait_us);
    csr_write(card->csr, csr_control, 0);
    kpav_udelay(attention_wait_us);
}

void free_client(pipeline_device* card) {
    PAGED_CODE();
    pmp_client* pmp = card->pmp;
    card->pmp = nullptr;
    ExDeleteResourceLite(&pmp->kv_lock);
    kpav_free(pmp, KPAV_TAG_MAL);
}

}  // namespace

int pmp_link_start(pipeline_device* card) {
    PAGED_CODE();
    auto* pmp = (pmp_client*)kpav_zalloc(sizeof(pmp_client), KPAV_TAG_MAL);
    if (pmp == nullptr) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Inadequate memory - PMP link.\n", pav_card_name(card));
        return 1;
    }
    card->pmp = pmp;
    pmp->card = card;
    ExInitializeFastMutex(&pmp->request.mutex);
    InitializeListHead(&pmp->kv_entries);
    ExInitializeResourceLite(&pmp->kv_lock);
    pmp_pool_init(&pmp->pool, pmp->packets, PMP_POOL_PACKETS);
    pmp_class_table_init(&pmp->classes);
    if (pmp_command_table_init(&pmp->classes, &pmp->commands) != 0) {
        kpav_syslog(KPAV_LEVEL_ERROR, card->display_name, 12320, "PMP failed to init kv handlers\n");
        free_client(card);
        return 1;
    }
    pmp_link_init(&pmp->link, &pmp->node, &pmp->pool, 255, put_bytes, card);
    pmp_node_init(&pmp->node, &pmp->classes, &pmp->link);
    for (UCHAR cls = 4; cls <= 7; cls++) {
        pmp_class_install(&pmp->classes, cls, reply_match, &pmp->request);
    }
    bool found = pmp_discover_address(card) == 0;
    for (ULONG pulse = 0; !found && pulse < attention_pulses; pulse++) {
        pulse_attention(card);
        found = pmp_discover_address(card) == 0;
    }
    if (!found) {
        kpav_syslog(KPAV_LEVEL_ERROR, card->display_name, 12320, "PMP Address: failed\n");
        pmp_print_link_stats(card);
        free_client(card);
        return 1;
    }
    char text[40];
    pmp_format_address(&pmp->node.address, text, sizeof text);
    kpav_print(KPAV_CLASS_NORMAL, "%s: PMP Address: %s\n", pav_card_name(card), text);
    return 0;
}

void pmp_link_release(pipeline_device* card) {
    PAGED_CODE();
    if (card->pmp == nullptr) {
        return;
    }
    pmp_kv_flush(card);
    free_client(card);
}

const pmp_address* pmp_own_address(const pipeline_device* card) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return card->pmp != nullptr ? &card->pmp->node.address : nullptr;
}

int pmp_discover_address(pipeline_device* card) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    pmp_client* pmp = card->pmp;
    pmp_request* request = &pmp->request;
    ExAcquireFastMutex(&request->mutex);
    request->sequence++;
    request->state = PMP_DISCOVERY;
    pmp->link.address_refused = count_refusal;
    pmp->link.callback_context = request;
    const UCHAR payload[PMP_COMMAND_HEADER] = {PMP_CMD_ADDRESS, 0, (UCHAR)PMP_DATA_MAX};
    const UCHAR header[3] = {0, PMP_CLASS_COMMAND, PMP_CLASS_COMMAND};
    for (ULONG attempt = 0; attempt < tries && !has_address(pmp); attempt++) {
        const pmp_address* source = has_address(pmp) ? &pmp->node.address : &pmp_peer_address;
        pmp_send(&pmp->link, &pmp_peer_address, source, header, payload, sizeof payload);
        for (ULONG pass = 0; pass < idle_polls && !has_address(pmp); pass++) {
            for (ULONG polls = 0; polls < busy_polls && !has_address(pmp) && pmp_poll(card); polls++) {
            }
            if (!has_address(pmp)) {
                kpav_udelay(poll_wait_us);
            }
        }
    }
    pmp->link.address_assigned = nullptr;
    pmp->link.address_refused = nullptr;
    pmp->link.callback_context = nullptr;
    request->state = PMP_IDLE;
    ExReleaseFastMutex(&request->mutex);
    return has_address(pmp) ? 0 : -1;
}

ULONG pmp_drain_rx(pipeline_device* card) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    ULONG taken = 0;
    while (taken < drain_limit && (csr_read(card->csr, csr_status) & status_rx_empty) == 0) {
        ULONG word = csr_read(card->csr, csr_data);
        pmp_receive_byte(&card->pmp->link, (UCHAR)(word >> 8));
        taken++;
    }
    return taken;
}

bool pmp_poll(pipeline_device* card) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    bool traffic = pmp_drain_rx(card) != 0;
    return transmit_waiting(card) || traffic;
}

int pmp_wait_reply(pipeline_device* card) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    pmp_request* request = &card->pmp->request;
    ULONG idle = 0;
    ULONG busy = 0;
    for (;;) {
        bool traffic = pmp_drain_rx(card) != 0;
        traffic = transmit_waiting(card) || traffic;
        if (traffic && request->state == PMP_ANSWERED) {
            return 1;
        }
        if (traffic && busy < busy_polls) {
            busy++;
            continue;
        }
        if (idle == idle_polls) {
            return 0;
        }
        idle++;
        kpav_udelay(poll_wait_us);
    }
}

int pmp_query(pipeline_device* card, const pmp_address* address, UCHAR command, ULONG argument, void* buffer,
              UCHAR size) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    if (buffer == nullptr || size == 0 || !valid_address(address) || card->pmp == nullptr) {
        return -1;
    }
    pmp_client* pmp = card->pmp;
    pmp_request* request = &pmp->request;
    ExAcquireFastMutex(&request->mutex);
    request->sequence++;
    request->expected_source = *address;
    request->expected_command = command;
    request->state = PMP_QUERY_WAITING;
    request->answer_length = 0;
    int result = -1;
    for (ULONG attempt = 0; attempt < tries; attempt++) {
        pmp_send_query(&pmp->link, address, command, request->sequence, argument);
        if (pmp_wait_reply(card) == 1) {
            ULONG n = request->answer_length < size ? request->answer_length : size;
            RtlCopyMemory(buffer, request->answer, n);
            result = (int)n;
            break;
        }
    }
    request->state = PMP_IDLE;
    ExReleaseFastMutex(&request->mutex);
    return result;
}

ULONG pmp_read_data(pipeline_device* card, const pmp_address* address, UCHAR command, ULONG start, void* buffer,
                    ULONG size) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    if (size == 0 || buffer == nullptr || !valid_address(address)) {
        return 0;
    }
    auto* out = (UCHAR*)buffer;
    ULONG done = 0;
    while (done < size) {
        ULONG piece = size - done < PMP_DATA_MAX ? size - done : PMP_DATA_MAX;
        int n = pmp_query(card, address, command, start + done, out + done, (UCHAR)piece);
        if (n < 0) {
            break;
        }
        done += (ULONG)n;
        if ((ULONG)n < piece) {
            break;
        }
    }
    return done;
}

int pmp_command(pipeline_device* card, const pmp_address* address, UCHAR command, ULONG argument, const void* data,
                ULONG length, UCHAR flags) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    if (!valid_address(address) || card->pmp == nullptr) {
        return -1;
    }
    pmp_client* pmp = card->pmp;
    pmp_request* request = &pmp->request;
    ULONG n = length < PMP_DATA_MAX ? length : PMP_DATA_MAX;
    UCHAR payload[PMP_PAYLOAD_MAX];
    payload[0] = command;
    payload[1] = (UCHAR)(flags | PMP_FLAG_DATA);
    payload[2] = (UCHAR)n;
    le_put_u32(payload + 4, argument);
    if (n != 0) {
        RtlCopyMemory(payload + PMP_COMMAND_HEADER, data, n);
    }
    const UCHAR header[3] = {0, 4, PMP_CLASS_COMMAND};
    ExAcquireFastMutex(&request->mutex);
    request->sequence++;
    payload[3] = request->sequence;
    int result = -1;
    for (ULONG attempt = 0; attempt < tries; attempt++) {
        request->expected_source = *address;
        request->expected_command = command;
        request->state = PMP_COMMAND_WAITING;
        request->answer_length = 0;
        pmp_send_routed(&pmp->link, address, header, payload, PMP_COMMAND_HEADER + n);
        if (pmp_wait_reply(card) == 1) {
            result = (int)n;
            break;
        }
    }
    request->state = PMP_IDLE;
    ExReleaseFastMutex(&request->mutex);
    return result;
}

ULONG pmp_write_data(pipeline_device* card, const pmp_address* address, UCHAR command, ULONG start, const void* data,
                     ULONG length) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    if (length == 0 || !valid_address(address)) {
        return 0;
    }
    const auto* bytes = (const UCHAR*)data;
    ULONG sent = 0;
    while (sent < length) {
        ULONG left = length - sent;
        ULONG piece = left < PMP_DATA_MAX ? left : PMP_DATA_MAX;
        UCHAR flags = left > PMP_DATA_MAX ? PMP_FLAG_DATA : PMP_FLAG_DATA | PMP_FLAG_LAST;
        if (pmp_command(card, address, command, start + sent, bytes + sent, piece, flags) < 0) {
            break;
        }
        sent += piece;
    }
    return sent;
}

ULONG pmp_format_address(const pmp_address* address, char* text, ULONG size) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    constexpr ULONG longest = 32;
    ULONG limit = size == 0 ? 0 : (size - 1 < longest ? size - 1 : longest);
    ULONG n = 0;
    for (ULONG i = 0; i < address->length && i < PMP_ADDRESS_MAX; i++) {
        char piece[8];
        int length = kpav_snprintf(piece, sizeof piece, "%d ", (int)address->bytes[i]);
        for (int c = 0; c < length && n < limit; c++) {
            text[n++] = piece[c];
        }
    }
    if (n > 0 && text[n - 1] == ' ') {
        n--;
    }
    if (size != 0) {
        text[n] = 0;
    }
    return n;
}

void pmp_print_link_stats(pipeline_device* card) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    const char* name = pav_card_name(card);
    const pmp_link* link = &card->pmp->link;
    const pmp_link_counters& c = link->counters;
    kpav_print(KPAV_CLASS_NORMAL, "%s: recv_count        : %d\n", name, (int)c.recv_count);
    kpav_print(KPAV_CLASS_NORMAL, "%s: send_count        : %d\n", name, (int)c.send_count);
    kpav_print(KPAV_CLASS_NORMAL, "%s: addr_nak          : %d\n", name, (int)card->pmp->request.addr_nak);
    kpav_print(KPAV_CLASS_NORMAL, "%s: recv_bad_magic    : %d\n", name, (int)c.recv_bad_magic);
    kpav_print(KPAV_CLASS_NORMAL, "%s: recv_bad_version  : %d\n", name, (int)c.recv_bad_version);
    kpav_print(KPAV_CLASS_NORMAL, "%s: recv_bad_cksum    : %d\n", name, (int)c.recv_bad_cksum);
    kpav_print(KPAV_CLASS_NORMAL, "%s: recv_bad_len      : %d\n", name, (int)c.recv_bad_len);
    kpav_print(KPAV_CLASS_NORMAL, "%s: recv_stalls       : %d\n", name, (int)c.recv_stalls);
    kpav_print(KPAV_CLASS_NORMAL, "%s: recv_overflows    : %d\n", name, (int)c.recv_overflows);
    kpav_print(KPAV_CLASS_NORMAL, "%s: recv_frame_errors : %d\n", name, (int)c.recv_frame_errors);
    kpav_print(KPAV_CLASS_NORMAL, "%s: recv_parity_errors: %d\n", name, (int)c.recv_parity_errors);
    kpav_print(KPAV_CLASS_NORMAL, "%s: flags             : 0x%02x\n", name, (unsigned)link->flags);
    kpav_print(KPAV_CLASS_NORMAL, "%s: vart_status       : 0x%x\n", name, (unsigned)csr_read(card->csr, csr_status));
}

UCHAR pmp_highest_port(const pipeline_device* card) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const pmp_address* own = pmp_own_address(card);
    UCHAR highest = 0;
    for (ULONG i = 0; own != nullptr && i < own->length; i++) {
        if (own->bytes[i] != 0 && (UCHAR)(own->bytes[i] - 1) > highest) {
            highest = (UCHAR)(own->bytes[i] - 1);
        }
    }
    return highest;
}

const pmp_link_counters* pmp_counters(const pipeline_device* card) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return card->pmp != nullptr ? &card->pmp->link.counters : nullptr;
}

ULONG pmp_address_refusals(const pipeline_device* card) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return card->pmp != nullptr ? card->pmp->request.addr_nak : 0;
}
