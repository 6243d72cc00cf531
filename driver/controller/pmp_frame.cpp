#include "driver/controller/pmp_frame.h"

#include "driver/controller/little_endian.h"
#include "driver/platform/kassert.h"

const pmp_address pmp_peer_address = {1, {0}};

namespace {

enum rx_state : UCHAR {
    rx_magic = 0,
    rx_version = 1,
    rx_destination_length = 2,
    rx_destination = 3,
    rx_source_length = 4,
    rx_source = 5,
    rx_header = 6,
    rx_payload_length = 7,
    rx_payload = 8,
    rx_checksum = 9,
};

USHORT checksum_add(USHORT sum, ULONG offset, UCHAR byte) {
    ULONG v = (ULONG)sum + ((offset & 1) != 0 ? (ULONG)byte << 8 : byte);
    return (USHORT)((v & 0xFFFF) + (v >> 16));
}

bool valid_length(ULONG length) {
    return length >= 1 && length <= PMP_ADDRESS_MAX;
}

const pmp_address* own_or_peer(const pmp_node* node) {
    return node->address.length != 0 ? &node->address : &pmp_peer_address;
}

// ---- Receiver

void rx_reset(pmp_link* link) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    link->rx = pmp_receiver{};
}

void rx_store(pmp_link* link, UCHAR byte) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    pmp_receiver* rx = &link->rx;
    ULONG offset = rx->stored++;
    link->rx_packet->frame[offset] = byte;
    if (rx->state != rx_checksum) {
        rx->checksum = checksum_add(rx->checksum, offset, byte);
    }
}

// Drops the frame being received. When its last stored byte was 0x43, that byte may begin the
// next frame: it is kept as the first byte of a new one.
void rx_abandon(pmp_link* link) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    pmp_packet* packet = link->rx_packet;
    bool restart = link->rx.stored > 0 && packet->frame[link->rx.stored - 1] == PMP_MAGIC;
    pmp_packet_put(packet);
    link->rx_packet = nullptr;
    rx_reset(link);
    if (restart) {
        link->rx_packet = pmp_packet_get(link->pool);
        if (link->rx_packet != nullptr) {
            rx_store(link, PMP_MAGIC);
        }
    }
}

void rx_complete(pmp_link* link) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    pmp_packet* packet = link->rx_packet;
    packet->length = link->rx.stored;
    link->counters.recv_count++;
    link->rx_packet = nullptr;
    rx_reset(link);
    pmp_deliver(link, packet);
}

// The byte just stored at `offset` moves the receiver on: true while the frame goes on.
bool rx_step(pmp_link* link, ULONG offset, UCHAR byte) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    pmp_receiver* rx = &link->rx;
    pmp_packet* packet = link->rx_packet;
    UCHAR* frame = packet->frame;
    switch (rx->state) {
        case rx_magic:
            if (byte != (offset == 0 ? PMP_MAGIC : PMP_MAGIC_SECOND)) {
                link->counters.recv_bad_magic++;
                return false;
            }
            if (offset == 1) {
                rx->state = rx_version;
            }
            return true;
        case rx_version:
            if (byte != PMP_VERSION) {
                link->counters.recv_bad_version++;
                return false;
            }
            rx->state = rx_destination_length;
            return true;
        case rx_destination_length:
        case rx_source_length:
            if (!valid_length(byte)) {
                link->counters.recv_bad_len++;
                return false;
            }
            if (rx->state == rx_destination_length) {
                packet->destination = &frame[offset];
            } else {
                packet->source = &frame[offset];
            }
            rx->countdown = byte;
            rx->state++;
            return true;
        case rx_payload_length:
            if (byte < 1 || byte > PMP_PAYLOAD_MAX) {
                link->counters.recv_bad_len++;
                return false;
            }
            packet->payload_length = &frame[offset];
            rx->countdown = byte;
            rx->state = rx_payload;
            return true;
        default:
            break;
    }
    if (--rx->countdown != 0) {
        return true;
    }
    switch (rx->state) {
        case rx_destination:
            rx->state = rx_source_length;
            return true;
        case rx_source:
            packet->header = &frame[offset + 1];
            rx->countdown = 3;
            rx->state = rx_header;
            return true;
        case rx_header:
            rx->state = rx_payload_length;
            return true;
        case rx_payload:
            rx->countdown = 2;
            rx->state = rx_checksum;
            return true;
        default: {  // rx_checksum
            USHORT stored = (USHORT)(frame[offset - 1] | frame[offset] << 8);
            if (stored != (USHORT)~rx->checksum) {
                link->counters.recv_bad_cksum++;
                return false;
            }
            rx_complete(link);
            return true;
        }
    }
}

// ---- Dispatch

void dispatch_class(pmp_link* link, pmp_packet* packet) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    pmp_class_table* table = link->node->classes;
    UCHAR cls = packet->header[2];
    for (ULONG i = 0; table != nullptr && i < PMP_CLASS_ENTRIES; i++) {
        if (table->entries[i].handler != nullptr && table->entries[i].cls == cls) {
            table->entries[i].handler(link, packet, table->entries[i].context, i);
            return;
        }
    }
    pmp_packet_put(packet);
}

void echo(pmp_link* link, pmp_packet* packet, void*, ULONG) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    UCHAR header[3] = {packet->header[0], packet->header[2], packet->header[1]};
    pmp_send(link, (const pmp_address*)packet->source, own_or_peer(link->node), header, packet->payload_length + 1,
             *packet->payload_length);
    pmp_packet_put(packet);
}

// Answers a command in place: flags "data present", `data_length` bytes of data already at
// payload + 8, to the request's source from the node's address, header bytes 1 and 2 exchanged.
void answer(pmp_link* link, pmp_packet* packet, UCHAR* payload, ULONG data_length, UCHAR header_flags) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    UCHAR header[3] = {header_flags, packet->header[2], packet->header[1]};
    payload[1] = PMP_FLAG_DATA;
    payload[2] = (UCHAR)data_length;
    pmp_send(link, (const pmp_address*)packet->source, own_or_peer(link->node), header, payload,
             PMP_COMMAND_HEADER + data_length);
}

void dispatch_command(pmp_link* link, pmp_packet* packet, void* context, ULONG) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    auto* table = (pmp_command_table*)context;
    ULONG length = *packet->payload_length;
    UCHAR* payload = packet->payload_length + 1;
    // A command without its whole header, or whose data would run past the payload, is dropped.
    if (length < PMP_COMMAND_HEADER ||
        ((payload[1] & PMP_FLAG_DATA) != 0 && payload[2] + PMP_COMMAND_HEADER > length)) {
        pmp_packet_put(packet);
        return;
    }
    for (ULONG i = 0; i < PMP_COMMAND_ENTRIES; i++) {
        const pmp_command_table::entry& e = table->entries[i];
        if (e.handler != nullptr && e.command == payload[0]) {
            if (e.handler(link, packet, payload, e.context) != 1) {
                pmp_packet_put(packet);
            }
            return;
        }
    }
    pmp_packet_put(packet);
}

int command_address(pmp_link* link, pmp_packet* packet, UCHAR* payload, void*) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    pmp_node* node = link->node;
    if ((payload[1] & PMP_FLAG_DATA) == 0) {
        // Our address extended by the port of the link the request came on; refused without an
        // address, or when the extended one would not fit in eight bytes.
        ULONG length = node->address.length;
        if (length == 0 || length + 1 > PMP_ADDRESS_MAX) {
            answer(link, packet, payload, 0, PMP_HEADER_NO_ADDRESS);
            return 0;
        }
        UCHAR* data = payload + PMP_COMMAND_HEADER;
        data[0] = (UCHAR)(length + 1);
        RtlCopyMemory(data + 1, node->address.bytes, length);
        data[1 + length] = link->port;
        answer(link, packet, payload, length + 2, 0);
        return 0;
    }
    if ((packet->header[0] & PMP_HEADER_NO_ADDRESS) != 0) {
        if (link->address_refused != nullptr) {
            link->address_refused(link, link->callback_context);
        }
        return 0;
    }
    ULONG data_length = payload[2];
    const UCHAR* data = payload + PMP_COMMAND_HEADER;
    if (data_length != 0 && data_length == (ULONG)data[0] + 1 && valid_length(data[0])) {
        node->address.length = data[0];
        RtlCopyMemory(node->address.bytes, data + 1, data[0]);
        if (link->address_assigned != nullptr) {
            link->address_assigned(link, link->callback_context);
        }
    }
    return 0;
}

int command_ports(pmp_link* link, pmp_packet* packet, UCHAR* payload, void*) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    pmp_node* node = link->node;
    UCHAR* data = payload + PMP_COMMAND_HEADER;
    for (ULONG i = 0; i < node->downstream_count; i++) {
        data[2 * i] = node->downstream[i]->port;
        data[2 * i + 1] = 0;
    }
    answer(link, packet, payload, 2 * node->downstream_count, 0);
    return 0;
}

int command_link_stats(pmp_link* link, pmp_packet* packet, UCHAR* payload, void*) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const ULONG* counters = (const ULONG*)&link->counters;
    for (ULONG i = 0; i < sizeof(pmp_link_counters) / sizeof(ULONG); i++) {
        le_put_u32(payload + PMP_COMMAND_HEADER + 4 * i, counters[i]);
    }
    answer(link, packet, payload, sizeof(pmp_link_counters), 0);
    return 0;
}

int command_list(pmp_link* link, pmp_packet* packet, UCHAR* payload, void* context) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    auto* table = (pmp_command_table*)context;
    UCHAR* data = payload + PMP_COMMAND_HEADER;
    RtlZeroMemory(data, 32);
    for (ULONG i = 0; i < PMP_COMMAND_ENTRIES; i++) {
        if (table->entries[i].handler != nullptr) {
            UCHAR c = table->entries[i].command;
            data[c / 8] |= (UCHAR)(1 << (c % 8));
        }
    }
    answer(link, packet, payload, 32, 0);
    return 0;
}

int install_command(pmp_command_table* table, UCHAR command, pmp_command_handler handler, void* context) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    for (ULONG i = 0; i < PMP_COMMAND_ENTRIES; i++) {
        pmp_command_table::entry& e = table->entries[i];
        if (e.handler == nullptr) {
            e.command = command;
            e.handler = handler;
            e.context = context;
            return 0;
        }
    }
    return -1;
}

}  // namespace

bool pmp_address_equal(const pmp_address* a, const pmp_address* b) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    return a->length == b->length && a->length <= PMP_ADDRESS_MAX &&
           RtlCompareMemory(a->bytes, b->bytes, a->length) == a->length;
}

USHORT pmp_checksum(const UCHAR* bytes, ULONG length) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    USHORT sum = 0;
    for (ULONG i = 0; i < length; i++) {
        sum = checksum_add(sum, i, bytes[i]);
    }
    return (USHORT)~sum;
}

// ---- Packets

void pmp_pool_init(pmp_packet_pool* pool, pmp_packet* packets, ULONG count) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    InitializeListHead(&pool->free);
    kpav_spinlock_init(&pool->lock, "pmp pool");
    for (ULONG i = 0; i < count; i++) {
        packets[i] = pmp_packet{};
        packets[i].pool = pool;
        InsertTailList(&pool->free, &packets[i].link);
    }
    pool->count = (USHORT)count;
    pool->low_water = (USHORT)count;
}

pmp_packet* pmp_packet_get(pmp_packet_pool* pool) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    pmp_packet* packet = nullptr;
    kpav_spin_lock(&pool->lock);
    if (!IsListEmpty(&pool->free)) {
        packet = CONTAINING_RECORD(RemoveHeadList(&pool->free), pmp_packet, link);
        packet->in_use = 1;
        pool->count--;
        if (pool->count < pool->low_water) {
            pool->low_water = pool->count;
        }
    }
    kpav_spin_unlock(&pool->lock);
    return packet;
}

void pmp_packet_put(pmp_packet* packet) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    pmp_packet_pool* pool = packet->pool;
    kpav_assert(packet->in_use == 1);
    kpav_spin_lock(&pool->lock);
    packet->in_use = 0;
    packet->destination = packet->source = packet->header = packet->payload_length = nullptr;
    InsertTailList(&pool->free, &packet->link);
    pool->count++;
    kpav_spin_unlock(&pool->lock);
}

// ---- Sending

int pmp_send(pmp_link* link, const pmp_address* destination, const pmp_address* source, const UCHAR header[3],
             const UCHAR* payload, ULONG length) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    int rc = PMP_SENT;
    if (!valid_length(destination->length) || !valid_length(source->length)) {
        rc = PMP_BAD_ADDRESS;
    } else if (length < 1 || length > PMP_PAYLOAD_MAX) {
        rc = PMP_BAD_LENGTH;
    }
    pmp_packet* packet = rc == PMP_SENT ? pmp_packet_get(link->pool) : nullptr;
    if (rc == PMP_SENT && packet == nullptr) {
        rc = PMP_NO_PACKET;
    }
    if (rc != PMP_SENT) {
        link->counters.send_errors++;
        return rc;
    }
    UCHAR* f = packet->frame;
    ULONG n = 0;
    f[n++] = PMP_MAGIC;
    f[n++] = PMP_MAGIC_SECOND;
    f[n++] = PMP_VERSION;
    f[n++] = destination->length;
    RtlCopyMemory(f + n, destination->bytes, destination->length);
    n += destination->length;
    f[n++] = source->length;
    RtlCopyMemory(f + n, source->bytes, source->length);
    n += source->length;
    f[n++] = header[0];
    f[n++] = header[1];
    f[n++] = header[2];
    f[n++] = (UCHAR)length;
    RtlCopyMemory(f + n, payload, length);
    n += length;
    USHORT checksum = pmp_checksum(f, n);
    f[n++] = (UCHAR)checksum;
    f[n++] = (UCHAR)(checksum >> 8);
    packet->length = (USHORT)n;
    kpav_spin_lock(&link->tx_lock);
    InsertTailList(&link->tx_queue, &packet->link);
    pmp_transmit(link);
    kpav_spin_unlock(&link->tx_lock);
    return PMP_SENT;
}

int pmp_send_routed(pmp_link* link, const pmp_address* destination, const UCHAR header[3], const UCHAR* payload,
                    ULONG length) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    pmp_link* out = link;
    if (!pmp_address_equal(destination, &pmp_peer_address) && pmp_route(link->node, destination, &out) != 1) {
        link->counters.send_errors++;
        return PMP_BAD_ADDRESS;
    }
    return pmp_send(out, destination, own_or_peer(link->node), header, payload, length);
}

int pmp_send_query(pmp_link* link, const pmp_address* destination, UCHAR command, UCHAR sequence, ULONG argument) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    UCHAR payload[PMP_COMMAND_HEADER] = {command, 0, (UCHAR)PMP_DATA_MAX, sequence};
    le_put_u32(payload + 4, argument);
    const UCHAR header[3] = {0, 4, PMP_CLASS_COMMAND};
    return pmp_send_routed(link, destination, header, payload, sizeof payload);
}

int pmp_transmit(pmp_link* link) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    while (!IsListEmpty(&link->tx_queue)) {
        pmp_packet* packet = CONTAINING_RECORD(link->tx_queue.Flink, pmp_packet, link);
        while (link->tx_position < packet->length) {
            UCHAR byte = packet->frame[link->tx_position];
            if (link->tx_position > 0 && byte == PMP_MAGIC && link->tx_escape == 0) {
                if (link->put_bytes(link, &byte, 1) == 0) {
                    return 1;
                }
                link->tx_escape = 1;
            }
            if (link->put_bytes(link, &byte, 1) == 0) {
                return 1;
            }
            link->tx_escape = 0;
            link->tx_position++;
        }
        link->counters.send_count++;
        link->put_bytes(link, nullptr, 0);
        RemoveEntryList(&packet->link);
        pmp_packet_put(packet);
        link->tx_position = 0;
        link->tx_escape = 0;
    }
    return 3;
}

// ---- Receiving and routing

void pmp_receive_byte(pmp_link* link, UCHAR byte) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (link->rx_packet == nullptr) {
        link->rx_packet = pmp_packet_get(link->pool);
        if (link->rx_packet == nullptr) {
            return;  // no packet free: the byte is lost
        }
    }
    pmp_receiver* rx = &link->rx;
    if (rx->escape != 0) {
        if (byte != PMP_MAGIC) {
            rx_abandon(link);  // a lone 0x43 inside a frame: the frame and this byte go
            return;
        }
        rx->escape = 0;
    } else if (rx->state != rx_magic && rx->stored > 0 && byte == PMP_MAGIC) {
        rx->escape = 1;
        return;
    }
    ULONG offset = rx->stored;
    rx_store(link, byte);
    if (!rx_step(link, offset, byte)) {
        rx_abandon(link);
    } else if (link->rx_packet != nullptr && rx->stored >= PMP_FRAME_MAX) {
        link->counters.recv_bad_len++;
        rx_abandon(link);
    }
}

int pmp_route(pmp_node* node, const pmp_address* address, pmp_link** out) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    *out = nullptr;
    if (pmp_address_equal(address, &pmp_peer_address)) {
        return 0;
    }
    ULONG length = address->length;
    ULONG own = node->address.length;
    bool prefix = length >= own && RtlCompareMemory(address->bytes, node->address.bytes, own) == own;
    if (length < own || !prefix) {
        *out = node->upstream;
        return node->upstream != nullptr ? 1 : -1;
    }
    if (length == own) {
        return 0;
    }
    for (ULONG i = 0; i < node->downstream_count; i++) {
        if (node->downstream[i]->port == address->bytes[own]) {
            *out = node->downstream[i];
            return 1;
        }
    }
    return -1;
}

void pmp_deliver(pmp_link* link, pmp_packet* packet) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    pmp_link* out = nullptr;
    int route = pmp_route(link->node, (const pmp_address*)packet->destination, &out);
    if (route == 0) {
        dispatch_class(link, packet);
        return;
    }
    // Sent back where it came from, a packet would only bounce between the two ends.
    if (route != 1 || out == link) {
        pmp_packet_put(packet);
        return;
    }
    kpav_spin_lock(&out->tx_lock);
    InsertTailList(&out->tx_queue, &packet->link);
    pmp_transmit(out);
    kpav_spin_unlock(&out->tx_lock);
}

// ---- Tables, links, nodes

void pmp_class_table_init(pmp_class_table* table) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    *table = pmp_class_table{};
    pmp_class_install(table, PMP_CLASS_ECHO, echo, nullptr);
}

int pmp_class_install(pmp_class_table* table, UCHAR cls, pmp_class_handler handler, void* context) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    for (ULONG i = 0; i < PMP_CLASS_ENTRIES; i++) {
        pmp_class_table::entry& e = table->entries[i];
        if (e.handler == nullptr) {
            e.cls = cls;
            e.handler = handler;
            e.context = context;
            return (int)i;
        }
    }
    return -1;
}

int pmp_command_table_init(pmp_class_table* classes, pmp_command_table* commands) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    for (pmp_command_table::entry& e : commands->entries) {
        e = {255, nullptr, nullptr};
    }
    pmp_class_install(classes, PMP_CLASS_COMMAND, dispatch_command, commands);
    if (install_command(commands, PMP_CMD_ADDRESS, command_address, nullptr) != 0 ||
        install_command(commands, PMP_CMD_PORTS, command_ports, nullptr) != 0 ||
        install_command(commands, PMP_CMD_LINK_STATS, command_link_stats, nullptr) != 0 ||
        install_command(commands, PMP_CMD_COMMAND_LIST, command_list, commands) != 0) {
        return -1;
    }
    return 0;
}

void pmp_link_init(pmp_link* link, pmp_node* node, pmp_packet_pool* pool, UCHAR port, pmp_put_bytes_fn put_bytes,
                   void* context) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    *link = pmp_link{};
    link->port = port;
    link->node = node;
    link->pool = pool;
    link->put_bytes = put_bytes;
    link->context = context;
    kpav_spinlock_init(&link->tx_lock, "pmp transmit");
    InitializeListHead(&link->tx_queue);
}

void pmp_node_init(pmp_node* node, pmp_class_table* classes, pmp_link* upstream) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    *node = pmp_node{};
    node->classes = classes;
    node->upstream = upstream;
}
