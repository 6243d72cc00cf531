#include "sim/kernel/mmio.h"

#include <sys/mman.h>

#include <map>
#include <mutex>
#include <shared_mutex>

#include "sim/kernel/bugcheck.h"
#include "sim/kernel/interlocked.h"
#include "sim/kernel/machine_parts.h"
#include "sim/kernel/mmio_control.h"

namespace sim::kernel {
namespace {

struct device_range {
    ULONG length;
    mmio_device* device;  // NULL once detached
};

struct mapping {
    ULONG64 physical;
    SIZE_T length;
};

std::shared_mutex mmio_mutex;
std::map<ULONG64, device_range> devices;         // by physical start
std::map<uintptr_t, mapping> mappings;           // by virtual start
ULONG64 next_range = 0x100000000ull;

constexpr ULONG PAGE_FAULT_IN_NONPAGED_AREA = 0x50;

// The device and offset of a physical address; callers hold the mutex.
mmio_device* device_at(ULONG64 physical, ULONG* offset) {
    auto it = devices.upper_bound(physical);
    if (it == devices.begin()) {
        return nullptr;
    }
    --it;
    if (physical >= it->first + it->second.length) {
        return nullptr;
    }
    *offset = (ULONG)(physical - it->first);
    return it->second.device;
}

// The physical address behind a register address; bug check when it is in no mapping.
ULONG64 physical_of(volatile ULONG* reg) {
    auto address = (uintptr_t)reg;
    auto it = mappings.upper_bound(address);
    if (it == mappings.begin() || address >= std::prev(it)->first + std::prev(it)->second.length) {
        KeBugCheckEx(PAGE_FAULT_IN_NONPAGED_AREA, address, 0, 0, 0);
    }
    --it;
    return it->second.physical + (address - it->first);
}

// Callers hold the mutex (shared is enough).
ULONG read_physical_locked(ULONG64 physical) {
    ULONG offset = 0;
    mmio_device* device = device_at(physical, &offset);
    return device != nullptr ? device->mmio_read32(offset) : 0xFFFFFFFFu;
}

void write_physical_locked(ULONG64 physical, ULONG value) {
    ULONG offset = 0;
    mmio_device* device = device_at(physical, &offset);
    if (device != nullptr) {
        device->mmio_write32(offset, value);
    }
}

}  // namespace

ULONG mmio_read_physical(ULONG64 physical) {
    std::shared_lock<std::shared_mutex> g(mmio_mutex);
    return read_physical_locked(physical);
}

void mmio_write_physical(ULONG64 physical, ULONG value) {
    std::shared_lock<std::shared_mutex> g(mmio_mutex);
    write_physical_locked(physical, value);
}

bool mmio_attach(ULONG64 physical, ULONG length, mmio_device* device) {
    std::unique_lock<std::shared_mutex> g(mmio_mutex);
    for (auto& [start, range] : devices) {
        if (physical < start + range.length && start < physical + length) {
            if (range.device == nullptr && start == physical && range.length == length) {
                range.device = device;  // the same BAR comes back
                return true;
            }
            return false;
        }
    }
    devices[physical] = {length, device};
    return true;
}

void mmio_detach(ULONG64 physical) {
    std::unique_lock<std::shared_mutex> g(mmio_mutex);
    auto it = devices.find(physical);
    if (it != devices.end()) {
        it->second.device = nullptr;
    }
}

ULONG mmio_mappings() {
    std::shared_lock<std::shared_mutex> g(mmio_mutex);
    return (ULONG)mappings.size();
}

ULONG64 mmio_allocate_range(ULONG length) {
    std::unique_lock<std::shared_mutex> g(mmio_mutex);
    ULONG64 align = length < 0x1000 ? 0x1000 : length;
    ULONG64 start = (next_range + align - 1) / align * align;
    next_range = start + length;
    return start;
}

namespace parts {
void reset_mmio() {
    std::unique_lock<std::shared_mutex> g(mmio_mutex);
    devices.clear();
    for (auto& [start, m] : mappings) {
        munmap((void*)start, m.length);
    }
    mappings.clear();
    next_range = 0x100000000ull;
}
}  // namespace parts

}  // namespace sim::kernel

using namespace sim::kernel;

PVOID MmMapIoSpace(PHYSICAL_ADDRESS physical, SIZE_T length, MEMORY_CACHING_TYPE) {
    if (length == 0) {
        return nullptr;
    }
    std::unique_lock<std::shared_mutex> g(mmio_mutex);
    ULONG offset;
    ULONG64 start = (ULONG64)physical.QuadPart;
    if (device_at(start, &offset) == nullptr || device_at(start + length - 1, &offset) == nullptr) {
        return nullptr;
    }
    // Address space without memory: a stray plain access faults instead of reading garbage.
    void* base = mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) {
        return nullptr;
    }
    mappings[(uintptr_t)base] = {start, length};
    return base;
}

void MmUnmapIoSpace(PVOID base, SIZE_T length) {
    std::unique_lock<std::shared_mutex> g(mmio_mutex);
    auto it = mappings.find((uintptr_t)base);
    if (it == mappings.end() || it->second.length != length) {
        KeBugCheckEx(0x50, (ULONG_PTR)base, length, 1, 0);
    }
    munmap(base, length);
    mappings.erase(it);
}

ULONG READ_REGISTER_ULONG(volatile ULONG* reg) {
    KeMemoryBarrier();
    ULONG value;
    {
        // Held while the device answers, so that a device detaching waits for the access.
        std::shared_lock<std::shared_mutex> g(mmio_mutex);
        value = read_physical_locked(physical_of(reg));
    }
    KeMemoryBarrier();
    return value;
}

void WRITE_REGISTER_ULONG(volatile ULONG* reg, ULONG value) {
    KeMemoryBarrier();
    {
        std::shared_lock<std::shared_mutex> g(mmio_mutex);
        write_physical_locked(physical_of(reg), value);
    }
    KeMemoryBarrier();
}

ULONG64 READ_REGISTER_ULONG64(volatile ULONG64* reg) {
    auto* low = (volatile ULONG*)reg;
    ULONG64 value = READ_REGISTER_ULONG(low);
    return value | (ULONG64)READ_REGISTER_ULONG(low + 1) << 32;
}

void WRITE_REGISTER_ULONG64(volatile ULONG64* reg, ULONG64 value) {
    auto* low = (volatile ULONG*)reg;
    WRITE_REGISTER_ULONG(low, (ULONG)value);
    WRITE_REGISTER_ULONG(low + 1, (ULONG)(value >> 32));
}

void READ_REGISTER_BUFFER_ULONG(volatile ULONG* reg, PULONG buffer, ULONG count) {
    for (ULONG i = 0; i < count; i++) {
        buffer[i] = READ_REGISTER_ULONG(reg + i);
    }
}

void WRITE_REGISTER_BUFFER_ULONG(volatile ULONG* reg, PULONG buffer, ULONG count) {
    for (ULONG i = 0; i < count; i++) {
        WRITE_REGISTER_ULONG(reg + i, buffer[i]);
    }
}
