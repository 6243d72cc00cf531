// The checks a write chain passes before the data device builds anything for it.
#include "driver/block/bdev_data.h"
#include "driver/block/bio.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/log.h"

int bdev_write_validate(bdev* device, bio* first) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    auto* data = (bdev_data*)device->owner;
    LONG atomic = first->flags & BIO_ATOMIC;
    bool discards = false;
    ULONG count = 0;
    for (bio* b = first; b != nullptr; b = b->next) {
        if (b->command != BIO_WRITE && b->command != BIO_DISCARD) {
            return -KPAV_EINVAL;
        }
        if (b->command == BIO_WRITE) {
            if (data->largest_write != 0 && b->count > data->largest_write) {
                return -KPAV_E2BIG;
            }
            if (b->count > BDEV_MAX_WRITE_SECTORS) {
                kpav_print(KPAV_CLASS_ERROR, "%s: Invalid request size: %llu\n", device->name, b->count);
                return -KPAV_EINVAL;
            }
        } else {
            discards = true;
        }
        if ((b->flags & BIO_ATOMIC) != atomic) {
            return -KPAV_EINVAL;
        }
        if (++count > BDEV_MAX_CHAIN_BIOS) {
            kpav_print(KPAV_CLASS_ERROR, "%s: Bio chain count exceeds the max count (%d) supported.\n", device->name,
                       (int)BDEV_MAX_CHAIN_BIOS);
            return -KPAV_EINVAL;
        }
    }
    if (atomic == 0) {
        return 0;
    }
    const char* refusal = nullptr;
    if (data->atomic_writes == 0) {
        refusal = "%s: Atomic write attempt on device not formatted with atomic write support.\n";
    } else if (discards && data->persistent_trim == 0) {
        refusal = "%s: Atomic trim attempt on device not formatted with persistent trim support.\n";
    }
    if (refusal == nullptr) {
        return 0;
    }
    // Either refusal is logged the first time one happens on the device.
    if (InterlockedExchange(&data->atomic_refused, 1) == 0) {
        kpav_print(KPAV_CLASS_ERROR, refusal, device->name);
    }
    return -KPAV_EINVAL;
}
