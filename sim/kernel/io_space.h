// Device memory: the physical ranges that devices decode (a card's BAR), their mapping into
// system space with MmMapIoSpace, and the register routines that reach them.
//
// A mapped range is address space that faults when touched directly: a driver reaches its
// registers only through READ_REGISTER_* / WRITE_REGISTER_*, which find the device behind the
// address and call it synchronously, on the caller's thread and at the caller's IRQL, so a
// register write has taken effect in the device when the routine returns. Each routine is also
// a full memory barrier, as on the machine the driver is written for. An access to a range
// whose device has gone reads all ones and writes nothing, as a read of a removed card does.
// The routines used on ordinary memory behave as plain volatile accesses.
#pragma once

#include <cstdint>

#include "sim/kernel/pool.h"
#include "sim/kernel/types.h"

// Maps `length` bytes of device memory at `physical`; NULL when no device decodes the whole
// range. Any IRQL up to DISPATCH_LEVEL.
PVOID MmMapIoSpace(PHYSICAL_ADDRESS physical, SIZE_T length, MEMORY_CACHING_TYPE cache_type);
void MmUnmapIoSpace(PVOID base, SIZE_T length);

UCHAR READ_REGISTER_UCHAR(volatile UCHAR* reg);
USHORT READ_REGISTER_USHORT(volatile USHORT* reg);
ULONG READ_REGISTER_ULONG(volatile ULONG* reg);
ULONG64 READ_REGISTER_ULONG64(volatile ULONG64* reg);
void WRITE_REGISTER_UCHAR(volatile UCHAR* reg, UCHAR value);
void WRITE_REGISTER_USHORT(volatile USHORT* reg, USHORT value);
void WRITE_REGISTER_ULONG(volatile ULONG* reg, ULONG value);
void WRITE_REGISTER_ULONG64(volatile ULONG64* reg, ULONG64 value);
// The buffer forms move `count` values between the buffer and consecutive registers.
// The buffer forms move `count` values between the buffer and consecutive registers.
void READ_REGISTER_BUFFER_ULONG(volatile ULONG* reg, PULONG buffer, ULONG count);
void WRITE_REGISTER_BUFFER_ULONG(volatile ULONG* reg, PULONG buffer, ULONG count);

namespace sim::kernel {

// A device's side of its memory range. Called with no lock of the stand-in held except the
// space's own shared hold (a device must not call the routines of this header from inside).
class io_device {
  public:
    virtual ~io_device() = default;
    // `offset` within the claimed range; `size` 1, 2, 4 or 8 bytes.
    virtual uint64_t io_read(uint64_t offset, unsigned size) = 0;
    virtual void io_write(uint64_t offset, unsigned size, uint64_t value) = 0;
};

// A free physical range for a device (the machine's firmware assigns BARs from it): aligned to
// `alignment` (a power of two), above every address of host memory.
uint64_t io_space_allocate(uint64_t length, uint64_t alignment);
// `device` decodes [physical, physical + length) until it releases it; false when the range
// overlaps one already claimed.
bool io_space_claim(uint64_t physical, uint64_t length, io_device* device);
// Gives up every range of `device`; returns once no access to it is in progress.
void io_space_release(io_device* device);
// An access by physical address, as another bus master makes it (the kernel programming a
// device's message table): all ones when nothing decodes it.
uint64_t io_space_read(uint64_t physical, unsigned size);
void io_space_write(uint64_t physical, unsigned size, uint64_t value);
// Ranges mapped with MmMapIoSpace and not yet unmapped.
ULONG io_space_mappings();

}  // namespace sim::kernel
