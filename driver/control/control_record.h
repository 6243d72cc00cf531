// The caller's record of a control request as the handlers reach it: the range the device shell
// probed and locked in the caller's context (the record of the number's size field, and for the
// requests that carry more behind it, that data too). Copies that leave the range, or write to a
// record the caller gave read-only, fail as a copy from the caller's buffer that faulted.
#pragma once

#include "driver/platform/os.h"

struct control_record {
    UCHAR* data;    // the locked range; NULL when the number carries no record
    ULONG length;   // bytes locked
    BOOLEAN writable;  // the caller's buffer was locked for writing
};

// 0, or -KPAV_EFAULT when [offset, offset + bytes) is not inside the record (or, for a copy out,
// the record is not writable). Any IRQL (the range is locked).
int control_copy_in(const control_record* record, ULONG offset, void* destination, ULONG bytes);
int control_copy_out(const control_record* record, ULONG offset, const void* source, ULONG bytes);
// The locked bytes at `offset` for `bytes` (for writing when `write`), or NULL as above.
UCHAR* control_record_range(const control_record* record, ULONG offset, ULONG bytes, bool write);

// The bytes of the caller's buffer that request `number` reaches: its size field, and for the
// requests that carry data behind their record (the kinfo data area, the capability arrays, the
// parameter list) that much more, as the record's first `head_length` bytes (`head`, read from
// the caller) say. Bounded by what each request can use; never less than the size field.
ULONG control_record_extent(ULONG number, const void* head, ULONG head_length);
