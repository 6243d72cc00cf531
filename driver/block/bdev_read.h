// The data block device's reads. A read walks the forward map over the bio's sectors and builds
// one read request per mapped run (the packets of the run, read into the bio's buffer where the
// run belongs) and one zero-fill request per unmapped gap, chained behind the bio's own request.
// A run or gap longer than the log's largest read takes several requests. When the pool has no
// request left the pass submits what it built; the completion reads the rest in a further pass,
// reusing the requests it has. Media errors reach the bio as -KPAV_EIO.
#pragma once

#include "driver/platform/os.h"

struct bdev;
struct bdev_data;
struct bio;

// The data device's submit_read operation: completes the bio itself and returns 0 or the error
// it was completed with; -KPAV_EBUSY (the map was busy for a bio that may not wait) leaves it to
// the submitter. At most DISPATCH_LEVEL.
int bdev_submit_read(bdev* device, bio* first);

// Reads `count` sectors from `start` into `buffer` (reachable by the card's DMA) through a bio
// of the device's pool and waits: the read's status, the bio's allocation or mapping error.
// Nothing stays allocated. Below DISPATCH_LEVEL.
int bdev_read_sync(bdev* device, ULONG64 start, ULONG64 count, void* buffer);

// A read-defragmentation context: buffer slots and their table (kpav_alloc, tag "vml4").
constexpr ULONG READ_DEFRAG_SLOTS = 32;
struct read_defrag_context {
    void* slots[READ_DEFRAG_SLOTS];
    void* table;
};
// The data device reads without one: 0. PASSIVE_LEVEL, as is free.
int read_defrag_init(bdev_data* data);
// Frees a context with its slots and table; NULL does nothing.
void read_defrag_free(read_defrag_context* context);
