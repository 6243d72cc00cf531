// The management processor's frames as the card sends them: any bytes go to the receiver of a
// node's link, whose complete frames are dispatched to echo and the standard commands, and whose
// answers go out through a channel that takes as many bytes as the input says. Nothing may read
// outside a packet, and every packet must stay in the pool, the frame being received or the
// transmit queue.
//
// Input: byte 0 the node's own address length (0: none yet, above 8: 8), byte 1 how many bytes
// the channel takes per transmit run (0: it is full), the rest the received bytes; every 64
// received bytes the transmitter runs again.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "driver/controller/pmp_frame.h"
#include "sim/kernel/control.h"

namespace {

constexpr ULONG packets = 8;

struct harness {
    pmp_node node;
    pmp_link link;
    pmp_class_table classes;
    pmp_command_table commands;
    pmp_packet_pool pool;
    pmp_packet packet[packets];
    ULONG room;
    ULONG per_run;
};

ULONG take(pmp_link* link, const UCHAR*, ULONG count) {
    auto* h = (harness*)link->context;
    ULONG n = count < h->room ? count : h->room;
    h->room -= n;
    return n;
}

void transmit(harness* h) {
    h->room = h->per_run;
    kpav_spin_lock(&h->link.tx_lock);
    pmp_transmit(&h->link);
    kpav_spin_unlock(&h->link.tx_lock);
}

ULONG queued(harness* h) {
    ULONG n = 0;
    for (LIST_ENTRY* e = h->link.tx_queue.Flink; e != &h->link.tx_queue; e = e->Flink) {
        n++;
    }
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    sim::kernel::boot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    static harness h;
    h = harness{};
    pmp_pool_init(&h.pool, h.packet, packets);
    pmp_class_table_init(&h.classes);
    pmp_command_table_init(&h.classes, &h.commands);
    pmp_link_init(&h.link, &h.node, &h.pool, 255, take, &h);
    pmp_node_init(&h.node, &h.classes, &h.link);
    ULONG length = data[0] > PMP_ADDRESS_MAX ? PMP_ADDRESS_MAX : data[0];
    h.node.address.length = (UCHAR)length;
    for (ULONG i = 0; i < length; i++) {
        h.node.address.bytes[i] = (UCHAR)(i + 1);
    }
    h.per_run = data[1];
    for (size_t i = 2; i < size; i++) {
        pmp_receive_byte(&h.link, data[i]);
        if (i % 64 == 0) {
            transmit(&h);
        }
    }
    transmit(&h);
    ULONG held = h.pool.count + (h.link.rx_packet != nullptr ? 1 : 0) + queued(&h);
    if (held != packets || h.link.rx.stored >= PMP_FRAME_MAX) {
        abort();
    }
    return 0;
}
