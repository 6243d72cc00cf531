#include "driver/control/control_record.h"

#include "driver/block/capabilities.h"
#include "driver/control/control_codes.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/kinfo.h"
#include "driver/platform/params.h"

UCHAR* control_record_range(const control_record* record, ULONG offset, ULONG bytes, bool write) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    if (record == nullptr || record->data == nullptr || (ULONG64)offset + bytes > record->length ||
        (write && !record->writable)) {
        return nullptr;
    }
    return record->data + offset;
}

int control_copy_in(const control_record* record, ULONG offset, void* destination, ULONG bytes) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    if (bytes == 0) {
        return 0;
    }
    const UCHAR* source = control_record_range(record, offset, bytes, false);
    if (source == nullptr) {
        return -KPAV_EFAULT;
    }
    RtlCopyMemory(destination, source, bytes);
    return 0;
}

int control_copy_out(const control_record* record, ULONG offset, const void* source, ULONG bytes) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    if (bytes == 0) {
        return 0;
    }
    UCHAR* destination = control_record_range(record, offset, bytes, true);
    if (destination == nullptr) {
        return -KPAV_EFAULT;
    }
    RtlCopyMemory(destination, source, bytes);
    return 0;
}

namespace {

ULONG head_word(const void* head, ULONG head_length, ULONG offset) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    ULONG value = 0;
    if (head != nullptr && (ULONG64)offset + sizeof value <= head_length) {
        RtlCopyMemory(&value, (const UCHAR*)head + offset, sizeof value);
    }
    return value;
}

}  // namespace

ULONG control_record_extent(ULONG number, const void* head, ULONG head_length) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG size = pav_ioctl_size(number);
    ULONG64 extent = size;
    if (number == PAV_IOCTL_KINFO) {
        // The data area behind the record, as long as its size field (a transfer the tree refuses
        // needs none).
        ULONG data = head_word(head, head_length, offsetof(kinfo_query, size));
        if (data <= KINFO_MAX_TRANSFER) {
            extent += data;
        }
    } else if (number == PAV_IOCTL_CAPABILITIES) {
        // The whole answer when the caller's buffer holds it; else the header is all it gets.
        ULONG count = head_word(head, head_length, offsetof(capability_header, count));
        ULONG buffer = head_word(head, head_length, offsetof(capability_header, size));
        if (count <= CAPABILITY_MAX_COUNT && buffer >= capability_record_bytes(count)) {
            extent = capability_record_bytes(count);
        }
    } else if (number == PAV_IOCTL_LIST_PARAMS) {
        // The names behind the 8-byte header, when the header gives the list's full size.
        ULONG bytes = head_word(head, head_length, 0);
        if (bytes == KPAV_PARAM_COUNT * KPAV_PARAM_NAME_SIZE) {
            extent += bytes;
        }
    }
    return extent > size ? (ULONG)extent : size;
}
