// A card's link to its management processor (PMP) and the requests made over it: the link's
// start with address discovery and attention pulses, the byte-channel registers, one
// synchronous request slot per card (query, piecewise read, command, piecewise write), the
// link statistics, and the key/value cache of the records read from the PMP.
//
// Byte channel (CSR block): 0x1180 data (write: the byte to send in bits 0-7; read: the byte
// received in bits 8-15), 0x1188 status (bit 0 nothing received, bit 3 transmitter full), 0x1000
// bit 27 the attention pulse.
//
// Locks: every request of a card runs under its request mutex (a fast mutex: below
// DISPATCH_LEVEL), which also covers receiving; transmitting runs under the link's transmit spin
// lock; the key/value cache under its executive resource, taken exclusively in a critical region.
// A failing request costs 12 tries of 13 idle polls 20 ms apart (about 3 s); a PMP that never
// gives an address costs 11 discoveries (about 34 s), all on the machine clock.
#pragma once

#include "driver/controller/pmp_frame.h"
#include "driver/platform/os.h"

struct pipeline_device;

// Key/value command and the size of a value.
constexpr UCHAR PMP_CMD_KEY_VALUE = 7;
constexpr ULONG PMP_KV_VALUE_SIZE = 1024;
constexpr ULONG PMP_KV_TYPE = 1;

// A key of the key/value cache as callers give it: the PMP target's address, the key number,
// the key type (only type 1 is fetched).
struct pmp_kv_key {
    pmp_address address;
    UCHAR key;
    UCHAR reserved[2];
    ULONG type;
};
static_assert(sizeof(pmp_kv_key) == 16);

struct pmp_kv_entry {
    LIST_ENTRY link;
    pmp_kv_key key;
    USHORT value_length;  // always 1024
    UCHAR reserved[6];
    UCHAR value[PMP_KV_VALUE_SIZE];
};
static_assert(sizeof(pmp_kv_entry) == 1064);

// ---- Interface

// Brings the card's link up (packet pool, handler tables, address discovery with up to ten
// attention pulses): 0, or 1 with the link statistics logged (nothing of the link is left then).
// PASSIVE_LEVEL.
int pmp_link_start(pipeline_device* card);
// Card release: empties the key/value cache and frees the link. Safe without a link.
void pmp_link_release(pipeline_device* card);
// The node's own address, NULL without a link.
const pmp_address* pmp_own_address(const pipeline_device* card);

// Discovery: command 0 to {1, 0}, 12 tries of 13 polls 20 ms apart. 0 when the node has an
// address, else -1. Below DISPATCH_LEVEL.
int pmp_discover_address(pipeline_device* card);
// Bytes received and fed to the receiver (at most a bounded number per call). Below
// DISPATCH_LEVEL, with the request mutex held.
ULONG pmp_drain_rx(pipeline_device* card);
// Drains the receiver and sends what waits: true when there was traffic.
bool pmp_poll(pipeline_device* card);
// Polls until the request is answered (1) or 13 polls without traffic, 20 ms apart, went by (0).
int pmp_wait_reply(pipeline_device* card);

// Query: bytes copied (0..64) or -1. -1 at once without a buffer, for size 0 or an address
// length outside 1..8.
int pmp_query(pipeline_device* card, const pmp_address* address, UCHAR command, ULONG argument, void* buffer,
              UCHAR size);
// Reads `size` bytes in pieces of at most 64 (argument = start + bytes read so far): the bytes
// read; it stops at a failed piece or one that returned fewer bytes than asked.
ULONG pmp_read_data(pipeline_device* card, const pmp_address* address, UCHAR command, ULONG start, void* buffer,
                    ULONG size);
// Command with data (at most 64 bytes are sent): the data bytes sent, or -1.
int pmp_command(pipeline_device* card, const pmp_address* address, UCHAR command, ULONG argument, const void* data,
                ULONG length, UCHAR flags);
// Writes in pieces of at most 64 bytes, flags 1 on every piece but the last (3): the bytes sent;
// it stops at the first failed piece.
ULONG pmp_write_data(pipeline_device* card, const pmp_address* address, UCHAR command, ULONG start, const void* data,
                     ULONG length);

// "1 1 2": each address byte in decimal, blank-separated, at most 32 characters; the length.
ULONG pmp_format_address(const pmp_address* address, char* text, ULONG size);
void pmp_print_link_stats(pipeline_device* card);
// The largest address byte less one of the node's own address (0 without one).
UCHAR pmp_highest_port(const pipeline_device* card);

// The cached entry of `key` (read from the card when absent): 0 with *entry, or 1. The entry
// stays until pmp_kv_flush. Below DISPATCH_LEVEL.
int pmp_kv_lookup(pipeline_device* card, const pmp_kv_key* key, const pmp_kv_entry** entry);
// Reads a whole value with command 7 (argument = key << 24): 0, -5 when less came, -14 for an
// empty address.
int pmp_kv_fetch(pipeline_device* card, const pmp_kv_key* key, UCHAR value[PMP_KV_VALUE_SIZE]);
void pmp_kv_flush(pipeline_device* card);

// A size-tagged value {tag, size, value bytes}: its number (one byte for size 0 or 1, 16 bits
// for 2 or 3, else 32 bits, little-endian) and its copy (0 when it exceeds the capacity).
ULONG pmp_value_number(const UCHAR* record);
ULONG pmp_value_copy(const UCHAR* record, void* buffer, ULONG capacity);

// The link's counters and the address refusals seen, for the statistics; NULL without a link.
const pmp_link_counters* pmp_counters(const pipeline_device* card);
ULONG pmp_address_refusals(const pipeline_device* card);
