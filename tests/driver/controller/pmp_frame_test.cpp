// The management processor's frame layer between two nodes wired back to back: the frames'
// bytes against known ones, the doubling of 0x43, the receiver's handling of bad input, routing,
// and the commands every node answers.

#include "driver/controller/pmp_frame.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/kernel_fixture.h"

namespace {

using bytes = std::vector<UCHAR>;

// One node with its link; what the link sends is kept in `wire`.
struct test_node {
    pmp_node node;
    pmp_link link;
    pmp_class_table classes;
    pmp_command_table commands;
    pmp_packet_pool pool;
    pmp_packet packets[8];
    bytes wire;
    ULONG room = 0xFFFFFFFFu;  // bytes the channel takes before it is full
    ULONG flushes = 0;
    std::vector<bytes> delivered;  // payloads that reached class 5
    ULONG assigned = 0;
    ULONG refused = 0;

    explicit test_node(const bytes& address = {}, UCHAR port = 255) {
        pmp_pool_init(&pool, packets, 8);
        pmp_class_table_init(&classes);
        EXPECT_EQ(pmp_command_table_init(&classes, &commands), 0);
        pmp_link_init(&link, &node, &pool, port, put, this);
        pmp_node_init(&node, &classes, &link);
        node.address.length = (UCHAR)address.size();
        std::copy(address.begin(), address.end(), node.address.bytes);
        pmp_class_install(&classes, 5, record, this);
        link.address_assigned = [](pmp_link* l, void*) { ((test_node*)l->context)->assigned++; };
        link.address_refused = [](pmp_link* l, void*) { ((test_node*)l->context)->refused++; };
    }
    test_node(const test_node&) = delete;

    static ULONG put(pmp_link* link, const UCHAR* data, ULONG count) {
        auto* self = (test_node*)link->context;
        if (count == 0) {
            self->flushes++;
            return 0;
        }
        ULONG n = count < self->room ? count : self->room;
        self->wire.insert(self->wire.end(), data, data + n);
        self->room -= n;
        return n;
    }

    static void record(pmp_link*, pmp_packet* packet, void* context, ULONG) {
        auto* self = (test_node*)context;
        const UCHAR* p = packet->payload_length + 1;
        self->delivered.emplace_back(p, p + *packet->payload_length);
        pmp_packet_put(packet);
    }

    void receive(const bytes& in) {
        for (UCHAR b : in) {
            pmp_receive_byte(&link, b);
        }
    }
    bytes take_wire() {
        bytes out;
        out.swap(wire);
        return out;
    }
};

pmp_address address_of(const bytes& b) {
    pmp_address a{};
    a.length = (UCHAR)b.size();  // a length above 8 is kept, its bytes are not
    std::copy(b.begin(), b.begin() + (long)std::min<size_t>(b.size(), sizeof a.bytes), a.bytes);
    return a;
}

// The frame's bytes before doubling, with its checksum.
bytes frame(const bytes& destination, const bytes& source, const bytes& header, const bytes& payload) {
    bytes f{0x43, 0x21, 1, (UCHAR)destination.size()};
    f.insert(f.end(), destination.begin(), destination.end());
    f.push_back((UCHAR)source.size());
    f.insert(f.end(), source.begin(), source.end());
    f.insert(f.end(), header.begin(), header.end());
    f.push_back((UCHAR)payload.size());
    f.insert(f.end(), payload.begin(), payload.end());
    USHORT sum = pmp_checksum(f.data(), (ULONG)f.size());
    f.push_back((UCHAR)sum);
    f.push_back((UCHAR)(sum >> 8));
    return f;
}

bytes doubled(const bytes& raw) {
    bytes out;
    for (size_t i = 0; i < raw.size(); i++) {
        out.push_back(raw[i]);
        if (i > 0 && raw[i] == 0x43) {
            out.push_back(0x43);
        }
    }
    return out;
}

const UCHAR query_header[3] = {0, 4, 3};

class PmpFrameTest : public KernelTest {};

TEST_F(PmpFrameTest, FramesMatchTheKnownBytes) {
    const UCHAR abc[] = {0x61, 0x62, 0x63};
    EXPECT_EQ(pmp_checksum(abc, 3), 0x9D3B);

    // The address request of a node without an address, to {1, 0}.
    test_node n;
    const UCHAR header[3] = {0, 3, 3};
    const UCHAR payload[8] = {0, 0, 64, 0, 0, 0, 0, 0};
    ASSERT_EQ(pmp_send(&n.link, &pmp_peer_address, &pmp_peer_address, header, payload, 8), PMP_SENT);
    EXPECT_EQ(n.take_wire(), (bytes{0x43, 0x21, 0x01, 0x01, 0x00, 0x01, 0x00, 0x00, 0x03, 0x03, 0x08, 0x00, 0x00,
                                    0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0xB0, 0x99}));
    EXPECT_EQ(n.link.counters.send_count, 1u);
    EXPECT_EQ(n.flushes, 1u);
    EXPECT_EQ(n.pool.count, 8);
}

TEST_F(PmpFrameTest, EveryMagicLetterAfterTheFirstByteIsSentTwiceAndReceivedOnce) {
    // A payload whose checksum holds 0x43 too, so that the checksum's doubling is covered.
    bytes payload;
    for (UCHAR v = 0;; v++) {
        payload = {0x43, v, 0x43, 0x43, 0x21};
        bytes raw = frame({1, 1, 2}, {1, 1}, {0, 4, 5}, payload);
        if (raw[raw.size() - 1] == 0x43 || raw[raw.size() - 2] == 0x43) {
            break;
        }
        ASSERT_NE(v, 255);
    }
    test_node sender({1, 1});
    test_node receiver({1, 1, 2});
    const UCHAR header[3] = {0, 4, 5};
    pmp_address to = address_of({1, 1, 2});
    ASSERT_EQ(pmp_send(&sender.link, &to, &sender.node.address, header, payload.data(), (ULONG)payload.size()), 0);
    bytes raw = frame({1, 1, 2}, {1, 1}, {0, 4, 5}, payload);
    bytes wire = sender.take_wire();
    EXPECT_EQ(wire, doubled(raw));
    receiver.receive(wire);
    ASSERT_EQ(receiver.delivered.size(), 1u);
    EXPECT_EQ(receiver.delivered[0], payload);
    EXPECT_EQ(receiver.link.counters.recv_count, 1u);
}

TEST_F(PmpFrameTest, SendRefusesLengthsOutsideTheFrameAndLeavesThePoolAsItWas) {
    test_node n({1, 2, 3, 4, 5, 6, 7, 8});
    pmp_address far = address_of({1, 2, 3, 4, 5, 6, 7, 9});
    UCHAR payload[80] = {};
    ASSERT_EQ(pmp_send(&n.link, &far, &n.node.address, query_header, payload, 72), PMP_SENT);
    bytes largest = frame({1, 2, 3, 4, 5, 6, 7, 9}, {1, 2, 3, 4, 5, 6, 7, 8}, {0, 4, 3}, bytes(72, 0));
    EXPECT_EQ(largest.size(), 99u);
    EXPECT_EQ(n.take_wire(), doubled(largest));

    struct refusal {
        pmp_address destination;
        ULONG length;
        int result;
    };
    const refusal cases[] = {
        {far, 73, PMP_BAD_LENGTH},
        {far, 0, PMP_BAD_LENGTH},
        {address_of({}), 8, PMP_BAD_ADDRESS},
        {address_of({1, 2, 3, 4, 5, 6, 7, 8, 9}), 8, PMP_BAD_ADDRESS},
    };
    ULONG errors = n.link.counters.send_errors;
    for (const refusal& c : cases) {
        EXPECT_EQ(pmp_send(&n.link, &c.destination, &n.node.address, query_header, payload, c.length), c.result);
        EXPECT_EQ(n.link.counters.send_errors, ++errors);
        EXPECT_EQ(n.pool.count, 8);
    }
    EXPECT_TRUE(n.take_wire().empty());

    // No packet left: 1, and the pool is still whole afterwards.
    pmp_packet* taken[8];
    for (pmp_packet*& p : taken) {
        p = pmp_packet_get(&n.pool);
    }
    EXPECT_EQ(pmp_packet_get(&n.pool), nullptr);
    EXPECT_EQ(n.pool.low_water, 0);
    EXPECT_EQ(pmp_send(&n.link, &far, &n.node.address, query_header, payload, 8), PMP_NO_PACKET);
    for (pmp_packet* p : taken) {
        pmp_packet_put(p);
    }
    EXPECT_EQ(n.pool.count, 8);
}

// Bad input, each followed by a good frame: the bad one is counted by kind and dropped, the
// receiver finds the good one, and no packet is lost.
TEST_F(PmpFrameTest, TheReceiverCountsBadFramesAndFindsTheNextGoodOne) {
    const bytes payload{9, 8, 7};
    const bytes good = frame({1, 1, 2}, {1, 1}, {0, 4, 5}, payload);
    auto with = [&](size_t at, UCHAR value) {
        bytes b = good;
        b[at] = value;
        return b;
    };
    struct bad_case {
        const char* what;
        bytes wire;
        std::function<ULONG(const pmp_link_counters&)> counter;
    };
    const size_t payload_length_at = 4 + 3 + 1 + 2 + 3;
    bytes bad_sum = good;
    bad_sum.back() ^= 0x01;
    const bad_case cases[] = {
        {"second magic byte", with(1, 0x22), [](auto& c) { return c.recv_bad_magic; }},
        {"version 2", with(2, 2), [](auto& c) { return c.recv_bad_version; }},
        {"destination length 0", with(3, 0), [](auto& c) { return c.recv_bad_len; }},
        {"destination length 9", with(3, 9), [](auto& c) { return c.recv_bad_len; }},
        {"source length 0", with(7, 0), [](auto& c) { return c.recv_bad_len; }},
        {"payload length 0", with(payload_length_at, 0), [](auto& c) { return c.recv_bad_len; }},
        {"payload length 73", with(payload_length_at, 73), [](auto& c) { return c.recv_bad_len; }},
        {"checksum", bad_sum, [](auto& c) { return c.recv_bad_cksum; }},
    };
    for (const bad_case& c : cases) {
        test_node n({1, 1, 2});
        n.receive(doubled(c.wire));
        n.receive(doubled(good));
        EXPECT_GE(c.counter(n.link.counters), 1u) << c.what;
        ASSERT_EQ(n.delivered.size(), 1u) << c.what;
        EXPECT_EQ(n.delivered[0], payload) << c.what;
        EXPECT_EQ(n.link.counters.recv_count, 1u) << c.what;
        EXPECT_EQ(n.pool.count, 8) << c.what;
    }
}

TEST_F(PmpFrameTest, AMagicLetterRepeatedAtTheStartBeginsTheFrameAndALoneOneInsideEndsIt) {
    const bytes good = frame({1, 1, 2}, {1, 1}, {0, 4, 5}, {1, 2, 3});
    test_node n({1, 1, 2});
    bytes wire{0x43};
    bytes rest = doubled(good);
    wire.insert(wire.end(), rest.begin(), rest.end());
    n.receive(wire);
    EXPECT_EQ(n.delivered.size(), 1u);
    EXPECT_EQ(n.link.counters.recv_bad_magic, 1u);

    // 0x43 0x21 inside a frame: that frame goes.
    bytes broken = doubled(good);
    broken.insert(broken.begin() + 8, {0x43, 0x21});
    n.receive(broken);
    EXPECT_EQ(n.delivered.size(), 1u);
    n.receive(doubled(good));
    EXPECT_EQ(n.delivered.size(), 2u);
    EXPECT_EQ(n.pool.count, 8);
}

TEST_F(PmpFrameTest, RoutesByAddress) {
    test_node n({1, 1, 2});
    pmp_link below{};
    below.port = 7;
    n.node.downstream[0] = &below;
    n.node.downstream_count = 1;
    struct route_case {
        bytes address;
        int result;
        pmp_link* link;
    };
    const route_case cases[] = {
        {{0}, 0, nullptr},               // {1, 0}: always this node
        {{1}, 1, &n.link},               // shorter: upstream
        {{2, 1, 2}, 1, &n.link},         // another branch: upstream
        {{1, 1, 2}, 0, nullptr},         // our own
        {{1, 1, 2, 7, 4}, 1, &below},    // below us, by the port byte
        {{1, 1, 2, 9}, -1, nullptr},     // no such port
    };
    for (const route_case& c : cases) {
        pmp_address a = address_of(c.address);
        pmp_link* out = nullptr;
        EXPECT_EQ(pmp_route(&n.node, &a, &out), c.result) << (int)c.address.size();
        EXPECT_EQ(out, c.link);
    }
    test_node lost;  // no address yet: only {1, 0} has a route
    pmp_address a = address_of({1});
    pmp_link* out = nullptr;
    EXPECT_EQ(pmp_route(&lost.node, &a, &out), -1);
}

TEST_F(PmpFrameTest, AFrameForElsewhereIsNotSentBackWhereItCameFrom) {
    test_node n({1, 1, 2});
    n.receive(frame({1}, {1, 1}, {0, 4, 5}, {1}));
    EXPECT_EQ(n.link.counters.recv_count, 1u);
    EXPECT_TRUE(n.wire.empty());
    EXPECT_EQ(n.pool.count, 8);
}

// The requester on one side, the answering node on the other: what the answer carries.
struct exchange {
    test_node asker;
    test_node answerer;
    exchange(const bytes& asker_address, const bytes& answerer_address, UCHAR port)
        : asker(asker_address), answerer(answerer_address, port) {}
    // Sends a command from the asker to {1, 0}; the answer's payload as the asker's class 5 sees
    // it (reply class 5).
    void command(UCHAR cmd, UCHAR flags = 0, const bytes& data = {}) {
        bytes payload{cmd, flags, (UCHAR)(flags & 1 ? data.size() : 64), 0x21, 1, 2, 3, 4};
        payload.insert(payload.end(), data.begin(), data.end());
        const UCHAR header[3] = {0, 5, 3};
        const pmp_address* source = asker.node.address.length != 0 ? &asker.node.address : &pmp_peer_address;
        pmp_send(&asker.link, &pmp_peer_address, source, header, payload.data(), (ULONG)payload.size());
        answerer.receive(asker.take_wire());
        asker.receive(answerer.take_wire());
    }
};

TEST_F(PmpFrameTest, TheAddressCommandGivesTheAnswerersAddressWithItsPort) {
    exchange e({}, {1, 1}, 2);
    const UCHAR header[3] = {0, 3, 3};
    const UCHAR payload[8] = {0, 0, 64, 0, 0, 0, 0, 0};
    pmp_send(&e.asker.link, &pmp_peer_address, &pmp_peer_address, header, payload, 8);
    e.answerer.receive(e.asker.take_wire());
    e.asker.receive(e.answerer.take_wire());
    EXPECT_EQ(e.asker.node.address.length, 3);
    EXPECT_EQ(bytes(e.asker.node.address.bytes, e.asker.node.address.bytes + 3), (bytes{1, 1, 2}));
    EXPECT_EQ(e.asker.assigned, 1u);

    // Without an address, or with one that could not be extended, the answerer refuses.
    for (const bytes& own : {bytes{}, bytes{1, 2, 3, 4, 5, 6, 7, 8}}) {
        exchange r({}, own, 2);
        pmp_send(&r.asker.link, &pmp_peer_address, &pmp_peer_address, header, payload, 8);
        r.answerer.receive(r.asker.take_wire());
        r.asker.receive(r.answerer.take_wire());
        EXPECT_EQ(r.asker.node.address.length, 0) << own.size();
        EXPECT_EQ(r.asker.refused, 1u) << own.size();
    }
}

TEST_F(PmpFrameTest, EveryNodeAnswersTheStandardCommandsAndEchoes) {
    exchange e({1, 1, 2}, {1, 1}, 2);
    e.command(PMP_CMD_COMMAND_LIST);
    ASSERT_EQ(e.asker.delivered.size(), 1u);
    bytes list = e.asker.delivered[0];
    ASSERT_EQ(list.size(), 8u + 32);
    EXPECT_EQ(list[1], 1);   // data present
    EXPECT_EQ(list[2], 32);
    EXPECT_EQ(list[3], 0x21);  // the request's sequence and argument
    EXPECT_EQ(bytes(list.begin() + 4, list.begin() + 8), (bytes{1, 2, 3, 4}));
    bytes bits(32, 0);
    for (UCHAR c : {0, 3, 39, 57}) {
        bits[c / 8] |= (UCHAR)(1 << (c % 8));
    }
    EXPECT_EQ(bytes(list.begin() + 8, list.end()), bits);

    e.command(PMP_CMD_LINK_STATS);
    ASSERT_EQ(e.asker.delivered.size(), 2u);
    const bytes& stats = e.asker.delivered[1];
    ASSERT_EQ(stats.size(), 8u + 52);
    EXPECT_EQ(stats[8], 2);   // recv_count: both requests
    EXPECT_EQ(stats[12], 1);  // send_count: the first answer

    e.command(PMP_CMD_PORTS);
    ASSERT_EQ(e.asker.delivered.size(), 3u);
    EXPECT_EQ(e.asker.delivered[2][2], 0);  // no downstream link

    // A command without its whole header gets no answer.
    const UCHAR header[3] = {0, 5, 3};
    const UCHAR shortened[4] = {PMP_CMD_PORTS, 0, 64, 1};
    pmp_send(&e.asker.link, &pmp_peer_address, &e.asker.node.address, header, shortened, 4);
    e.answerer.receive(e.asker.take_wire());
    EXPECT_TRUE(e.answerer.wire.empty());

    // Echo: class 1, sent back to class 5 with the payload unchanged.
    const UCHAR echo_header[3] = {0, 5, 1};
    const UCHAR text[3] = {'a', 'b', 'c'};
    pmp_send(&e.asker.link, &pmp_peer_address, &e.asker.node.address, echo_header, text, 3);
    e.answerer.receive(e.asker.take_wire());
    e.asker.receive(e.answerer.take_wire());
    ASSERT_EQ(e.asker.delivered.size(), 4u);
    EXPECT_EQ(e.asker.delivered[3], (bytes{'a', 'b', 'c'}));
}

// A channel that fills up keeps the transmitter's place, also between the two copies of a
// doubled 0x43; the frame goes out whole once there is room.
TEST_F(PmpFrameTest, TheTransmitterResumesWhereTheChannelStopped) {
    const bytes payload{0x43, 1, 2};
    bytes raw = frame({1, 1}, {1, 1, 2}, {0, 4, 3}, payload);
    bytes wire = doubled(raw);
    size_t first_magic = 14;  // the payload's 0x43: its first copy fits, the second does not
    ASSERT_EQ(wire[first_magic], 0x43);
    const ULONG stops[] = {1, (ULONG)first_magic, (ULONG)first_magic + 1, (ULONG)wire.size() - 1};
    for (ULONG stop : stops) {
        test_node n({1, 1, 2});
        n.room = stop;
        pmp_address to = address_of({1, 1});
        ASSERT_EQ(pmp_send(&n.link, &to, &n.node.address, query_header, payload.data(), 3), 0);
        EXPECT_EQ(n.wire.size(), stop);
        EXPECT_EQ(n.link.counters.send_count, 0u);
        n.room = 0xFFFFFFFFu;
        kpav_spin_lock(&n.link.tx_lock);
        EXPECT_EQ(pmp_transmit(&n.link), 3);
        kpav_spin_unlock(&n.link.tx_lock);
        EXPECT_EQ(n.wire, wire) << stop;
        EXPECT_EQ(n.link.counters.send_count, 1u);
        EXPECT_EQ(n.pool.count, 8);
    }
}

}  // namespace
