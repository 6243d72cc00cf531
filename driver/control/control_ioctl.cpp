#include "driver/control/control_ioctl.h"

#include "driver/control/control_codes.h"
#include "driver/control/control_handlers.h"
#include "driver/control/ioctl_device.h"
#include "driver/controller/startup.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/params.h"
#include "driver/platform/version.h"

#include <cstring>

namespace {

constexpr ULONG format_request_size = 56;

bool in_minimal_mode(const pipeline_device* card) {
    return (card->minimal_mode_reasons & PAV_MINIMAL) != 0;
}

// Requests this entry serves itself. *served is false for a number it leaves to others.
int serve_inline(pipeline_device* card, ULONG number, const control_record* record, bool* served) {
    PAGED_CODE();
    *served = true;
    switch (number) {
    case PAV_IOCTL_GET_CHANNEL_COUNT: {
        ULONG channels = 1;
        return control_copy_out(record, 0, &channels, sizeof channels);
    }
    case PAV_IOCTL_GET_INTERFACE_LEVEL: {
        ULONG64 level = PAV_INTERFACE_LEVEL;
        return control_copy_out(record, 0, &level, sizeof level);
    }
    case PAV_IOCTL_GET_GLOBAL_8: {
        ULONG words[2] = {kpav_param_count(), kpav_param_count() * (ULONG)KPAV_PARAM_NAME_SIZE};
        return control_copy_out(record, 0, words, sizeof words);
    }
    case PAV_IOCTL_GET_VERSION:
        // The text and its NUL; the rest of the record stays as the caller sent it.
        return control_copy_out(record, 0, pav_version_string, (ULONG)strlen(pav_version_string) + 1);
    case PAV_IOCTL_GET_8_73: {
        // The NV data's feature-flag bytes: the card keeps no NV data yet, so they are zero and
        // the answer is that of absent NV data.
        UCHAR bytes[8] = {};
        int rc = control_copy_out(record, 0, bytes, sizeof bytes);
        return rc != 0 ? rc : -1;
    }
    case PAV_IOCTL_GET_40_28:
    case PAV_IOCTL_GET_STATUS_4:
        // Both describe the attached data device, and there is none.
        return -KPAV_EINVAL;
    case PAV_IOCTL_HOLD:
    case PAV_IOCTL_RELEASE:
        return raw_access_hold(card, number == PAV_IOCTL_HOLD, record);
    case PAV_IOCTL_ATTACH: {
        ULONG flags = 0;
        if (control_copy_in(record, 0, &flags, sizeof flags) != 0) {
            return -KPAV_EFAULT;
        }
        // The store that an attach brings up does not exist yet: no data device can be made.
        return -KPAV_ENODEV;
    }
    case PAV_IOCTL_BDEV_PASS:
        kpav_print(KPAV_CLASS_NORMAL, "%s: Invalid ioctl request. Velkor is not attached %x.\n", pav_card_name(card),
                   number);
        return -KPAV_EINVAL;
    case PAV_IOCTL_FORMAT: {
        UCHAR request[format_request_size];
        if (control_copy_in(record, 0, request, sizeof request) != 0) {
            return -KPAV_EFAULT;
        }
        return -KPAV_ENODEV;  // no store to format yet
    }
    case PAV_IOCTL_MEL_FLUSH:
    case PAV_IOCTL_MEL_RESET_MARKERS:
    case PAV_IOCTL_MEL_INFO:
        // The erase-block map belongs to the store, which the card does not have yet.
        return -KPAV_ENODEV;
    case PAV_IOCTL_UNSUPPORTED_13:
    case PAV_IOCTL_UNSUPPORTED_87:
        return -KPAV_ENOTTY;
    // The data device's and the partitions' requests: neither exists until the store attaches.
    case PAV_IOCTL_DETACH:
    case PAV_IOCTL_SET_REDUCED_WRITE:
        return -KPAV_ENODEV;
    case PAV_IOCTL_PART_E8:
    case PAV_IOCTL_PART_E9:
    case PAV_IOCTL_PART_EA:
    case PAV_IOCTL_PART_EB:
    case PAV_IOCTL_PART_BLOCK_OP:
    case PAV_IOCTL_PART_ED:
        return -KPAV_ENXIO;
    default:
        *served = false;
        return 0;
    }
}

}  // namespace

int raw_access_hold(pipeline_device* card, bool take, const control_record* record) {
    PAGED_CODE();
    LONG value = 0;
    if (control_copy_in(record, 0, &value, sizeof value) != 0) {
        return -KPAV_EFAULT;
    }
    if (value > 0) {
        return -KPAV_EINVAL;
    }
    ExAcquireFastMutex(&card->raw_access_mutex);
    int rc = 0;
    if (take) {
        if (card->data_device_claimed) {
            rc = -KPAV_EBUSY;
        } else {
            card->raw_access_holds++;
        }
    } else if (card->raw_access_holds == 0) {
        rc = -KPAV_EINVAL;  // a release without a hold would leave the card unclaimable
    } else {
        card->raw_access_holds--;
    }
    ExReleaseFastMutex(&card->raw_access_mutex);
    return rc;
}

int lock_mode_operation(pipeline_device* card, const control_record* record) {
    PAGED_CODE();
    ULONG words[2];
    if (control_copy_in(record, 0, words, sizeof words) != 0) {
        return -KPAV_EFAULT;
    }
    int rc = 0;
    switch (words[0]) {
    case 0: {
        LONG now = InterlockedDecrement(&card->lock_mode_count);
        if (now == 0) {
            InterlockedExchange(&card->lock_mode_owner, -1);
        } else {
            rc = -KPAV_EINVAL;
            if (now < 0) {
                InterlockedIncrement(&card->lock_mode_count);  // the count never stays negative
            }
        }
        break;
    }
    case 1:
        if (InterlockedIncrement(&card->lock_mode_count) >= 2) {
            InterlockedDecrement(&card->lock_mode_count);
            rc = -KPAV_EBUSY;
        } else {
            InterlockedExchange(&card->lock_mode_owner, (LONG)words[1]);
        }
        break;
    case 2:
        rc = ReadAcquire(&card->lock_mode_count) != 0 ? -KPAV_EBUSY : 0;
        break;
    case 3:
        InterlockedExchange(&card->lock_mode_count, 0);
        InterlockedExchange(&card->lock_mode_owner, -1);
        break;
    default:
        return -KPAV_EINVAL;
    }
    ULONG owner = (ULONG)ReadAcquire(&card->lock_mode_owner);
    if (control_copy_out(record, 4, &owner, sizeof owner) != 0) {
        return -KPAV_EFAULT;  // what the operation changed stays changed
    }
    return rc;
}

int Control_ioctl(pipeline_device* card, ULONG number, const control_record* record) {
    PAGED_CODE();
    if (card == nullptr) {
        kpav_print(KPAV_CLASS_NORMAL, "Control_ioctl() nand_dev is NULL\n");
        return -KPAV_EINVAL;
    }
    if (ReadAcquire(&card->lock_mode_count) != 0 && !pav_lock_mode_allows(number)) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: IOCTL 0x%x unsupported in lock mode\n", pav_card_name(card), number);
        return -KPAV_EINVAL;
    }
    if (in_minimal_mode(card) && !pav_minimal_mode_allows(number)) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: IOCTL 0x%x unsupported in minimal mode\n", pav_card_name(card), number);
        return -KPAV_EINVAL;
    }
    bool served = false;
    int rc = serve_inline(card, number, record, &served);
    if (served) {
        return rc;
    }
    rc = control_handle(card, number, record, &served);
    if (served) {
        return rc;
    }
    return ioctl_device(number, record, card);
}
