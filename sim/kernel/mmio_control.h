// The control surface of memory-mapped I/O, for card models and tests: a device answers the
// physical range of its BAR; mappings of that range reach it. The system's code never includes
// this header.
#pragma once

#include "sim/kernel/types.h"

namespace sim::kernel {

// Register accesses of a BAR, at byte offsets from the BAR's start, on the caller's thread.
class mmio_device {
  public:
    virtual ~mmio_device() = default;
    virtual ULONG mmio_read32(ULONG offset) = 0;
    virtual void mmio_write32(ULONG offset, ULONG value) = 0;
};

// The device answers [physical, physical + length) from now on (the caller keeps it alive until
// it detaches); false when the range overlaps another device's.
bool mmio_attach(ULONG64 physical, ULONG length, mmio_device* device);
// Detaches the device at `physical`; mappings of it stay and read all ones.
void mmio_detach(ULONG64 physical);
// Mappings made with MmMapIoSpace and not yet unmapped.
ULONG mmio_mappings();
// A free physical range of `length` bytes for a BAR (aligned to its length), above 4 GiB.
ULONG64 mmio_allocate_range(ULONG length);

}  // namespace sim::kernel
