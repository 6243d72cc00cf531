// The message layer of the byte channel to the card's management processor (PMP): frames with
// a magic, a version, two length-prefixed node addresses, a three-byte header, a payload and a
// 16-bit ones'-complement checksum; the magic letter 0x43 doubled inside a frame; a fixed pool of
// packets; a transmit queue per link; a receiver fed one byte at a time; routing by address;
// dispatch of received messages by class; and the commands every node answers (address, ports,
// link statistics, command list) and echo.
//
// Frame, before the doubling of 0x43 (D, S: address lengths 1..8, P: payload length 1..72):
//
//   0 magic 0x43 0x21 | 2 version 1 | 3 D | 4 destination | 4+D S | 5+D source |
//   5+D+S header: flags (bit 1: the sender has no address), reply class, destination class |
//   8+D+S P | 9+D+S payload | 9+D+S+P checksum, little-endian
//
// The checksum is the complement of the ones'-complement sum of every byte before it, a byte at
// an even offset being the low and one at an odd offset the high byte of a 16-bit word. An answer
// goes back with header bytes 1 and 2 exchanged, so it arrives at the class named as reply class.
//
// Command payload (classes 3 to 7): command, flags (bit 0: data present, bit 1: last piece), data
// length, sequence, 32-bit argument (little-endian), then at most 64 data bytes.
//
// A card has one node with one link, the byte channel, which is also the node's upstream link.
// Locks: each link's transmit queue and transmitter under its transmit spin lock; each pool
// under its own spin lock; the receiver unlocked (one caller at a time feeds it).
#pragma once

#include "driver/platform/os.h"
#include "driver/platform/sync.h"

struct pmp_packet;
struct pmp_packet_pool;
struct pmp_link;
struct pmp_node;
struct pmp_class_table;
struct pmp_command_table;

constexpr ULONG PMP_FRAME_MAX = 99;
constexpr ULONG PMP_PAYLOAD_MAX = 72;
constexpr ULONG PMP_ADDRESS_MAX = 8;
constexpr ULONG PMP_COMMAND_HEADER = 8;
constexpr ULONG PMP_DATA_MAX = 64;
constexpr UCHAR PMP_MAGIC = 0x43;
constexpr UCHAR PMP_MAGIC_SECOND = 0x21;
constexpr UCHAR PMP_VERSION = 1;
constexpr ULONG PMP_CLASS_ENTRIES = 8;
constexpr ULONG PMP_COMMAND_ENTRIES = 12;
constexpr ULONG PMP_DOWNSTREAM_MAX = 8;

constexpr UCHAR PMP_HEADER_NO_ADDRESS = 0x2;
constexpr UCHAR PMP_FLAG_DATA = 0x1;
constexpr UCHAR PMP_FLAG_LAST = 0x2;

constexpr UCHAR PMP_CLASS_ECHO = 1;
constexpr UCHAR PMP_CLASS_COMMAND = 3;

constexpr UCHAR PMP_CMD_ADDRESS = 0;
constexpr UCHAR PMP_CMD_PORTS = 3;
constexpr UCHAR PMP_CMD_LINK_STATS = 39;
constexpr UCHAR PMP_CMD_COMMAND_LIST = 57;

// Results of pmp_send.
constexpr int PMP_SENT = 0;
constexpr int PMP_NO_PACKET = 1;
constexpr int PMP_BAD_ADDRESS = 2;
constexpr int PMP_BAD_LENGTH = 3;

// A node address: a length byte (1..8; 0 = no address yet) and its bytes.
struct pmp_address {
    UCHAR length;
    UCHAR bytes[PMP_ADDRESS_MAX];
};
static_assert(sizeof(pmp_address) == 9);

// {1, 0}: the node at the other end of a link, always delivered locally.
extern const pmp_address pmp_peer_address;

bool pmp_address_equal(const pmp_address* a, const pmp_address* b);

// The checksum field of `length` frame bytes (the complement of their sum). Any IRQL.
USHORT pmp_checksum(const UCHAR* bytes, ULONG length);

// ---- Interface

// Sends a frame: 0 sent or queued; 1 no free packet; 2 an address length outside 1..8; 3 a
// payload length outside 1..72. A failure counts one send error and leaves the pool as it was.
// At most DISPATCH_LEVEL.
int pmp_send(pmp_link* link, const pmp_address* destination, const pmp_address* source, const UCHAR header[3],
             const UCHAR* payload, ULONG length);
// Sends on the link that leads to `destination` ({1, 0}: `link` itself; otherwise the route from
// `link`'s node), from the node's own address ({1, 0} while it has none): as pmp_send, and 2
// when there is no route.
int pmp_send_routed(pmp_link* link, const pmp_address* destination, const UCHAR header[3], const UCHAR* payload,
                    ULONG length);
// A query {command, 0, 64, sequence, argument} with header {0, 4, 3}, sent as pmp_send_routed.
int pmp_send_query(pmp_link* link, const pmp_address* destination, UCHAR command, UCHAR sequence, ULONG argument);

// Sends queued frames through the link's put-bytes operation, doubling each 0x43 after a
// frame's first byte: 3 when the queue is empty, 1 when the channel took no more. With the
// link's transmit lock held.
int pmp_transmit(pmp_link* link);
// Feeds one received byte to the link's receiver; a complete frame is delivered. At most
// DISPATCH_LEVEL; one caller at a time.
void pmp_receive_byte(pmp_link* link, UCHAR byte);
// 0: the address is the node's own; 1: send on *out; -1: no route.
int pmp_route(pmp_node* node, const pmp_address* address, pmp_link** out);
// Routes a complete received packet by its destination: local ones to the node's classes, others
// to the link that leads there (never back on the link it came in on), else back to the pool.
void pmp_deliver(pmp_link* link, pmp_packet* packet);

void pmp_pool_init(pmp_packet_pool* pool, pmp_packet* packets, ULONG count);
pmp_packet* pmp_packet_get(pmp_packet_pool* pool);
void pmp_packet_put(pmp_packet* packet);

// Clears all entries and installs echo (class 1).
void pmp_class_table_init(pmp_class_table* table);
using pmp_class_handler = void (*)(pmp_link* link, pmp_packet* packet, void* context, ULONG entry);
// Installs `handler` for `cls` in the first free entry: its index, or -1 when the table is full.
int pmp_class_install(pmp_class_table* table, UCHAR cls, pmp_class_handler handler, void* context);
// Marks every command free, installs command dispatch as class 3 and the commands 0, 3, 39 and
// 57: 0, or -1 when a command entry cannot be had.
int pmp_command_table_init(pmp_class_table* classes, pmp_command_table* commands);

using pmp_put_bytes_fn = ULONG (*)(pmp_link* link, const UCHAR* bytes, ULONG count);
using pmp_link_callback = void (*)(pmp_link* link, void* context);
// A link of `node` with its port byte, pool and put-bytes operation; receiver and transmitter
// idle, counters zero, no callbacks.
void pmp_link_init(pmp_link* link, pmp_node* node, pmp_packet_pool* pool, UCHAR port, pmp_put_bytes_fn put_bytes,
                   void* context);
// A node without an address whose upstream link is `upstream` and that has no downstream link.
void pmp_node_init(pmp_node* node, pmp_class_table* classes, pmp_link* upstream);

// ---- Records

struct pmp_packet {
    LIST_ENTRY link;  // in the pool or a transmit queue
    UCHAR in_use;
    pmp_packet_pool* pool;
    // Set by the receiver: the length bytes of the two addresses, the header, the payload length.
    UCHAR* destination;
    UCHAR* source;
    UCHAR* header;
    UCHAR* payload_length;
    USHORT length;
    UCHAR frame[PMP_FRAME_MAX];
};

struct pmp_packet_pool {
    LIST_ENTRY free;
    kpav_spinlock lock;
    USHORT count;
    USHORT low_water;
};

struct pmp_class_table {
    struct entry {
        UCHAR cls;
        void* context;
        pmp_class_handler handler;  // NULL: free
    } entries[PMP_CLASS_ENTRIES];
};

// 1 when the handler keeps the packet, anything else to have the dispatcher release it.
using pmp_command_handler = int (*)(pmp_link* link, pmp_packet* packet, UCHAR* payload, void* context);

struct pmp_command_table {
    struct entry {
        UCHAR command;  // 255 while free
        void* context;
        pmp_command_handler handler;  // NULL: free
    } entries[PMP_COMMAND_ENTRIES];
};

struct pmp_node {
    pmp_address address;
    pmp_class_table* classes;
    pmp_link* upstream;
    ULONG downstream_count;
    pmp_link* downstream[PMP_DOWNSTREAM_MAX];
};

// The link's counters in the order command 39 reports them.
struct pmp_link_counters {
    ULONG recv_count;
    ULONG send_count;
    ULONG reserved[2];
    ULONG recv_bad_magic;
    ULONG recv_bad_version;
    ULONG recv_bad_cksum;
    ULONG recv_stalls;
    ULONG recv_bad_len;
    ULONG recv_overflows;
    ULONG recv_frame_errors;
    ULONG recv_parity_errors;
    ULONG send_errors;
};
static_assert(sizeof(pmp_link_counters) == 52);

struct pmp_receiver {
    UCHAR state;     // 0 magic, 1 version, 2/3 destination, 4/5 source, 6 header, 7/8 payload, 9 checksum
    UCHAR stored;    // bytes of the current frame
    UCHAR countdown;
    UCHAR escape;    // a 0x43 came and its second copy is awaited
    USHORT checksum;
};

struct pmp_link {
    UCHAR port;
    pmp_receiver rx;
    pmp_packet* rx_packet;  // the frame being received
    USHORT tx_position;     // in the head frame of the queue
    UCHAR tx_escape;        // the first copy of a doubled 0x43 went out
    UCHAR flags;
    kpav_spinlock tx_lock;
    pmp_node* node;
    pmp_link_counters counters;
    void* context;
    pmp_put_bytes_fn put_bytes;
    pmp_link_callback address_assigned;
    pmp_link_callback address_refused;
    void* callback_context;
    pmp_packet_pool* pool;
    LIST_ENTRY tx_queue;
};
