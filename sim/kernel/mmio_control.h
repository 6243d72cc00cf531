// The control surface of memory-mapped I/O, for card models and tests: a device answers the
// physical range of its BAR; mappings of that range reach it. The system's code never includes
// this header.
#pragma once

#include "sim/kernel/types.h"

namespace sim::kernel {

// Register accesses of a BAR, at byte offsets from the BAR's start, on the caller's thread. A
// device must not call the routines of mmio.h or this header from inside them.
class mmio_device {
  public:
    virtual ~mmio_device() = default;
    virtual ULONG mmio_read32(ULONG offset) = 0;
    virtual void mmio_write32(ULONG offset, ULONG value) = 0;
};

// The device answers [physical, physical + length) from now on (the caller keeps it alive until
// it detaches); false when the range overlaps another device's.
bool mmio_attach(ULONG64 physical, ULONG length, mmio_device* device);
// Detaches the device at `physical`; mappings of it stay and read all ones. Returns once no
// access to the device is in progress.
void mmio_detach(ULONG64 physical);
// An access by physical address, as another bus master makes it (the kernel programming a
// device's MSI-X table): all ones when no device answers.
ULONG mmio_read_physical(ULONG64 physical);
void mmio_write_physical(ULONG64 physical, ULONG value);
// Mappings made with MmMapIoSpace and not yet unmapped.
ULONG mmio_mappings();
// A free physical range of `length` bytes for a BAR (aligned to its length), above 4 GiB.
ULONG64 mmio_allocate_range(ULONG length);

}  // namespace sim::kernel
