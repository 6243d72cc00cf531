// One-block writes of the driver's own records (partition descriptors) through the block
// device's request path.
#include "driver/block/bdev.h"
#include "driver/block/bio.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/sgl.h"

int datalog_internal_write(bdev* device, ULONG64 sector, bio* b, const void* buffer) {
    PAGED_CODE();
    if (b == nullptr) {
        int rc = bio_alloc(device->pool, device, &b);
        if (rc != 0) {
            return rc == -KPAV_EIO ? rc : -KPAV_ENOMEM;
        }
    }
    b->command = BIO_WRITE;
    b->base = sector;
    b->count = 1;
    // The record is on the media when the call returns: the write joins the channel's flush.
    InterlockedOr(&b->flags, BIO_SYNC | BIO_FLUSH_JOIN);
    int rc = kpav_sgl_map_bytes(b->list, buffer, device->sector_size);
    if (rc != 0) {
        bio_free_chain(b);
        return rc;
    }
    rc = bdev_submit_bio(b);
    if ((rc == -KPAV_ENOSPC || rc == -KPAV_EBUSY) && b->origin == device) {
        // Handed back for a retry, not completed: this caller does not retry.
        bio_end_handed_back(device, b, rc);
    }
    rc = bio_wait(b);
    bio_free_chain(b);
    return rc;
}
