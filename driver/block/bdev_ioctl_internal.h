// The requests the data device and the partition device share, for their request tables. Each
// takes the record either as a caller's buffer (user: copied in and out, -KPAV_EFAULT when a copy
// fails) or as a kernel record used in place.
#pragma once

#include "driver/block/bdev.h"
#include "driver/platform/os.h"

int bdev_record_in(void* kernel, const void* record, ULONG bytes, bool user);
int bdev_record_out(void* record, const void* kernel, ULONG bytes, bool user);

// The text (NULL: none) into `size` bytes, cut to leave a NUL, zeros after it.
void bdev_copy_text(char* destination, size_t size, const char* text);

// [start, start + count) inside the device, without overflow.
bool bdev_range_inside(const bdev* device, ULONG64 start, ULONG64 count);

int bdev_ioc_mapped(bdev* device, void* record, bool user);
int bdev_ioc_extents(bdev* device, void* record, bool user);
int bdev_ioc_identity(bdev* device, void* record, bool user);
int bdev_ioc_capabilities(bdev* device, void* record, bool user);
