// Discarding a range of a block device with one bio.
#include "driver/block/bio.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"

int bdev_discard_range(bdev* device, bio* b, ULONG64 base, ULONG64 count, void* unused1, void* unused2,
                       ULONG64 discard_mark, int wait) {
    KPAV_IRQL_AT_MOST(wait != 0 ? PASSIVE_LEVEL : DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(unused1);
    UNREFERENCED_PARAMETER(unused2);
    if (b == nullptr) {
        int rc = bio_alloc(device->pool, device, &b);
        if (rc != 0) {
            return rc == -KPAV_EIO ? rc : -KPAV_ENOMEM;
        }
    }
    b->command = BIO_DISCARD;
    b->base = base;
    b->count = count;
    b->discard_mark = discard_mark;
    if (wait != 0) {
        InterlockedOr(&b->flags, BIO_SYNC);
    }
    int rc = bdev_submit_bio(b);
    if (rc == -KPAV_ENOSPC || rc == -KPAV_EBUSY) {
        if (b->origin != device) {
            // Handed back to a submitter above this call: it is not ours to end.
            return rc;
        }
        bio_end_handed_back(device, b, rc);
    }
    if (wait == 0) {
        return rc;
    }
    rc = bio_wait(b);
    bio_free_chain(b);
    return rc;
}
