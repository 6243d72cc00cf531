// The capability query: a caller names capability ids (or takes the default list) and gets a
// value for each. The card's control interface and its block devices answer it alike.
#pragma once

#include "driver/platform/os.h"

struct bdev;
struct nand_dev;

// The record: a 32-byte header, then N ids (u32, the array padded to an even count), then N
// values (u64).
struct capability_header {
    ULONG version;  // 1
    ULONG reserved4;
    ULONG count;    // N; 0: the default list of 15 ids
    ULONG size;     // bytes of the caller's buffer
    ULONG needed;   // written: bytes the answer needs
    ULONG reserved20[3];
};
static_assert(sizeof(capability_header) == 32);

constexpr ULONG CAPABILITY_DEFAULT_COUNT = 15;
// The most ids one query may name: a larger count is refused (its answer would be sized by the
// caller's word alone).
constexpr ULONG CAPABILITY_MAX_COUNT = 1024;

// Bytes the answer for `count` ids needs (count 0: the default list).
ULONG64 capability_record_bytes(ULONG count);

// The answer for one id: 0, or -KPAV_EOPNOTSUPP for an id without an answer. `device` is the block
// device that asks (NULL: the card itself). At most DISPATCH_LEVEL.
int capability_value(nand_dev* channel, bdev* device, ULONG id, ULONG64* value);
// Fills the default ids when the count is 0, then answers each id; an id without an answer is
// set to 0 and its value left alone. 0.
int query_capabilities(nand_dev* channel, bdev* device, capability_header* record);
// The whole request. With from_user the record is a caller's buffer, copied in and out
// (-KPAV_EFAULT when a copy fails); otherwise a kernel record used in place. -KPAV_EINVAL for a
// version other than 1 or a count above CAPABILITY_MAX_COUNT,
// -KPAV_ENOMEM when the record's size is short of the answer (only the header is copied back),
// -KPAV_EAGAIN without memory. PASSIVE_LEVEL.
int capabilities_ioctl(nand_dev* channel, bdev* device, void* record, int from_user);

