// Device memory. Claims map physical ranges to devices; mappings map reserved, inaccessible
// address space to physical ranges. One reader/writer lock covers both: every register access
// holds it shared while it calls the device, so a device that releases its ranges waits for the
// accesses in progress and is never called afterwards.

#include "sim/kernel/io_space.h"

#include <sys/mman.h>

#include <cstring>
#include <map>
#include <mutex>
#include <shared_mutex>

#include "sim/kernel/bugcheck.h"
#include "sim/kernel/interlocked.h"
#include "sim/kernel/irql.h"

namespace sim::kernel {
namespace {

struct claim {
    uint64_t length;
    io_device* device;
};

struct mapping {
    uint64_t length;
    uint64_t physical;
};

std::shared_mutex space_lock;
std::map<uint64_t, claim> claims;      // by physical start
std::map<uintptr_t, mapping> mappings;  // by virtual start

// Device ranges start at 2^52, above the 47-bit user address space where host memory (and so
// every bus address of it) lies.
std::mutex allocate_mutex;
uint64_t next_physical = 1ull << 52;

// Callers hold space_lock (either way).
const std::pair<const uint64_t, claim>* claim_of(uint64_t physical, uint64_t length) {
    auto it = claims.upper_bound(physical);
    if (it == claims.begin()) {
        return nullptr;
    }
    --it;
    if (physical - it->first + length > it->second.length) {
        return nullptr;
    }
    return &*it;
}

// The physical address behind `address` when it lies in a mapping; false for ordinary memory.
bool physical_of(uintptr_t address, unsigned size, uint64_t* physical) {
    auto it = mappings.upper_bound(address);
    if (it == mappings.begin()) {
        return false;
    }
    --it;
    if (address - it->first + size > it->second.length) {
        return false;
    }
    *physical = it->second.physical + (address - it->first);
    return true;
}

uint64_t all_ones(unsigned size) {
    return size == 8 ? ~0ull : (1ull << (size * 8)) - 1;
}

uint64_t device_read(uint64_t physical, unsigned size) {
    const auto* c = claim_of(physical, size);
    return c == nullptr ? all_ones(size) : c->second.device->io_read(physical - c->first, size) & all_ones(size);
}

void device_write(uint64_t physical, unsigned size, uint64_t value) {
    const auto* c = claim_of(physical, size);
    if (c != nullptr) {
        c->second.device->io_write(physical - c->first, size, value & all_ones(size));
    }
}

template <typename T>
T register_read(volatile T* reg) {
    KeMemoryBarrier();
    uint64_t physical = 0;
    {
        std::shared_lock<std::shared_mutex> g(space_lock);
        if (physical_of((uintptr_t)reg, sizeof(T), &physical)) {
            T value = (T)device_read(physical, sizeof(T));
            KeMemoryBarrier();
            return value;
        }
    }
    T value = *reg;
    KeMemoryBarrier();
    return value;
}

template <typename T>
void register_write(volatile T* reg, T value) {
    KeMemoryBarrier();
    uint64_t physical = 0;
    {
        std::shared_lock<std::shared_mutex> g(space_lock);
        if (physical_of((uintptr_t)reg, sizeof(T), &physical)) {
            device_write(physical, sizeof(T), value);
            KeMemoryBarrier();
            return;
        }
    }
    *reg = value;
    KeMemoryBarrier();
}

}  // namespace

uint64_t io_space_allocate(uint64_t length, uint64_t alignment) {
    std::lock_guard<std::mutex> g(allocate_mutex);
    uint64_t start = (next_physical + alignment - 1) & ~(alignment - 1);
    next_physical = start + length;
    return start;
}

bool io_space_claim(uint64_t physical, uint64_t length, io_device* device) {
    std::unique_lock<std::shared_mutex> g(space_lock);
    for (const auto& [start, c] : claims) {
        if (physical < start + c.length && start < physical + length) {
            return false;
        }
    }
    claims[physical] = {length, device};
    return true;
}

void io_space_release(io_device* device) {
    std::unique_lock<std::shared_mutex> g(space_lock);
    for (auto it = claims.begin(); it != claims.end();) {
        it = it->second.device == device ? claims.erase(it) : std::next(it);
    }
}

uint64_t io_space_read(uint64_t physical, unsigned size) {
    std::shared_lock<std::shared_mutex> g(space_lock);
    return device_read(physical, size);
}

void io_space_write(uint64_t physical, unsigned size, uint64_t value) {
    std::shared_lock<std::shared_mutex> g(space_lock);
    device_write(physical, size, value);
}

ULONG io_space_mappings() {
    std::shared_lock<std::shared_mutex> g(space_lock);
    return (ULONG)mappings.size();
}

}  // namespace sim::kernel

using namespace sim::kernel;

PVOID MmMapIoSpace(PHYSICAL_ADDRESS physical, SIZE_T length, MEMORY_CACHING_TYPE cache_type) {
    UNREFERENCED_PARAMETER(cache_type);
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, (ULONG_PTR)physical.QuadPart, KeGetCurrentIrql(), DISPATCH_LEVEL, 0);
    }
    if (length == 0) {
        return nullptr;
    }
    {
        std::shared_lock<std::shared_mutex> g(space_lock);
        if (claim_of((uint64_t)physical.QuadPart, length) == nullptr) {
            return nullptr;
        }
    }
    // Address space of its own that nothing may touch directly: a driver that dereferences a
    // register instead of calling the register routines faults at once.
    void* base = mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) {
        return nullptr;
    }
    std::unique_lock<std::shared_mutex> g(space_lock);
    mappings[(uintptr_t)base] = {length, (uint64_t)physical.QuadPart};
    return base;
}

void MmUnmapIoSpace(PVOID base, SIZE_T length) {
    {
        std::unique_lock<std::shared_mutex> g(space_lock);
        auto it = mappings.find((uintptr_t)base);
        if (it == mappings.end() || it->second.length != length) {
            KeBugCheckEx(SIM_ASSERTION_FAILURE, (ULONG_PTR)base, length, 0, 0);
        }
        mappings.erase(it);
    }
    munmap(base, length);
}

UCHAR READ_REGISTER_UCHAR(volatile UCHAR* reg) { return register_read(reg); }
USHORT READ_REGISTER_USHORT(volatile USHORT* reg) { return register_read(reg); }
ULONG READ_REGISTER_ULONG(volatile ULONG* reg) { return register_read(reg); }
ULONG64 READ_REGISTER_ULONG64(volatile ULONG64* reg) { return register_read(reg); }
void WRITE_REGISTER_UCHAR(volatile UCHAR* reg, UCHAR value) { register_write(reg, value); }
void WRITE_REGISTER_USHORT(volatile USHORT* reg, USHORT value) { register_write(reg, value); }
void WRITE_REGISTER_ULONG(volatile ULONG* reg, ULONG value) { register_write(reg, value); }
void WRITE_REGISTER_ULONG64(volatile ULONG64* reg, ULONG64 value) { register_write(reg, value); }

void READ_REGISTER_BUFFER_ULONG(volatile ULONG* reg, PULONG buffer, ULONG count) {
    for (ULONG i = 0; i < count; i++) {
        buffer[i] = register_read(reg + i);
    }
}

void WRITE_REGISTER_BUFFER_ULONG(volatile ULONG* reg, PULONG buffer, ULONG count) {
    for (ULONG i = 0; i < count; i++) {
        register_write(reg + i, buffer[i]);
    }
}
