// Block-device allocation, claim, run state and exposure.
#include "driver/block/bdev.h"

#include "driver/block/bio.h"
#include "driver/block/devstats.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"
#include "driver/platform/numa.h"

namespace {

void free_record(bdev* device) {
    for (ULONG64*& counters : device->per_cpu) {
        kpav_free_if(counters, KPAV_TAG_MAL);
        counters = nullptr;
    }
    kpav_free(device, KPAV_TAG_MAL);
}

}  // namespace

int bdev_alloc(bdev** out) {
    PAGED_CODE();
    *out = nullptr;
    auto* device = (bdev*)kpav_zalloc(sizeof(bdev), KPAV_TAG_MAL);
    if (device == nullptr) {
        return -KPAV_ENOMEM;
    }
    device->cpu_slots = kpav_max_cpus();
    for (ULONG64*& counters : device->per_cpu) {
        counters = (ULONG64*)kpav_zalloc((size_t)device->cpu_slots * sizeof(ULONG64), KPAV_TAG_MAL);
        if (counters == nullptr) {
            free_record(device);
            return -KPAV_ENOMEM;
        }
    }
    kpav_spinlock_init(&device->counter_lock, "bdev counters");
    kpav_spinlock_init(&device->wait_lock, "bdev wait");
    kpav_cv_init(&device->wait_queue, "bdev wait");
    ExInitializeFastMutex(&device->mutex);
    if (devstats_alloc(&device->stats, nullptr, &device->counter_lock) != 0) {
        free_record(device);
        return -KPAV_ENOMEM;
    }
    *out = device;
    return 0;
}

void bdev_free(bdev** device) {
    PAGED_CODE();
    bdev* d = *device;
    if (d == nullptr) {
        return;
    }
    InterlockedAnd(&d->flags, ~BDEV_KINFO_PUBLISHED);
    devstats_free(&d->stats);
    free_record(d);
    *device = nullptr;
}

int bdev_claim(bdev* device) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    ExAcquireFastMutex(&device->mutex);
    bool free = device->open_count == 0 && device->claim_count == 0;
    if (free) {
        device->claim_count = 1;
        device->exclusive = 1;
        device->holder = "bdev";
    }
    ExReleaseFastMutex(&device->mutex);
    return free ? 1 : 0;
}

void bdev_unclaim(bdev* device) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    ExAcquireFastMutex(&device->mutex);
    device->holder = nullptr;
    device->exclusive = 0;
    if (device->claim_count != 0) {
        device->claim_count--;
    }
    ExReleaseFastMutex(&device->mutex);
}

ULONG bdev_state_set(kpav_state* state, ULONG value) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    // Changes only from the value read, so the value returned is the one replaced.
    for (;;) {
        ULONG previous = (ULONG)ReadNoFence((volatile LONG*)&state->value);
        if (previous == value || kpav_state_change(state, value, 1, previous) != 0) {
            return previous;
        }
    }
}

void bdev_state_wait_running(kpav_state* state) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    kpav_state_wait_in(state, 1, "running", 1u);
}

int bdev_expose_disk(bdev* device) {
    PAGED_CODE();
    if ((ReadNoFence(&device->flags) & BDEV_EXPOSED) != 0) {
        return 0;
    }
    RtlCopyMemory(device->exposed_name, device->name, BDEV_NAME_LENGTH);
    device->exposed_name[BDEV_NAME_LENGTH - 1] = 0;
    const kpav_block_ops* ops = device->iface != nullptr ? device->iface->ops : nullptr;
    if (ops == nullptr) {
        return -KPAV_ENODEV;
    }
    if (ops->prepare != nullptr) {
        int rc = ops->prepare(device);
        if (rc != 0) {
            return rc;
        }
    }
    int rc = ops->expose != nullptr ? ops->expose(device) : 0;
    if (rc != 0) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: bdev_expose_disk for interface %d failed (%d)\n", device->name,
                   (int)device->iface->kind, rc);
        if (ops->release != nullptr) {
            ops->release(device);
        }
        return rc;
    }
    InterlockedOr(&device->flags, BDEV_EXPOSED);
    return 0;
}

int bdev_hide_disk(bdev* device, ULONG flags) {
    PAGED_CODE();
    if ((InterlockedAnd(&device->flags, ~BDEV_EXPOSED) & BDEV_EXPOSED) == 0) {
        return 0;
    }
    // A device stacked on another (a partition on the card's data device) shares that device's
    // pool: shutting it would stop every partition of the card, and keep it stopped after a failed
    // hide. Such a device is kept from new users by its owner instead.
    bool own_pool = device->underlying == nullptr;
    if (own_pool) {
        bio_pool_shutdown(device->pool);
    }
    const kpav_block_ops* ops = device->iface != nullptr ? device->iface->ops : nullptr;
    int rc = ops != nullptr && ops->hide != nullptr ? ops->hide(device, flags & 0x7) : 0;
    if (rc != 0) {
        if ((flags & BDEV_HIDE_GOING_AWAY) != 0) {
            kpav_print(KPAV_CLASS_NORMAL, "%s: Unable to stop block device (%d).\n", device->name, rc);
        }
        return rc;
    }
    if (ops != nullptr && ops->release != nullptr) {
        ops->release(device);
    }
    if (own_pool) {
        bio_pool_reopen(device->pool);
    }
    return 0;
}
