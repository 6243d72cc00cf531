#include "sim/card/host_memory.h"

#include <cstring>

#include "sim/card/card_state.h"
#include "sim/kernel/control.h"
#include "sim/kernel/interlocked.h"

namespace sim::card {

bool HostMemory::reachable(uint64_t address, size_t length, bool to_host, const char* context) {
    if (!card_.dma_allowed()) {
        return false;
    }
    if (length == 0) {
        return true;
    }
    if (address + length < address || !sim::kernel::dma_accessible(address, length)) {
        card_.stray_dma(address, length, to_host, context);
        return false;
    }
    return true;
}

bool HostMemory::read(uint64_t address, void* destination, size_t length, const char* context) {
    if (length == 0) {
        return true;
    }
    if (!reachable(address, length, false, context)) {
        std::memset(destination, 0xFF, length);
        return false;
    }
    std::memcpy(destination, (const void*)(uintptr_t)address, length);
    return true;
}

bool HostMemory::write(uint64_t address, const void* source, size_t length, const char* context) {
    if (length == 0) {
        return true;
    }
    if (!reachable(address, length, true, context)) {
        return false;
    }
    std::memcpy((void*)(uintptr_t)address, source, length);
    return true;
}

bool HostMemory::fill(uint64_t address, uint8_t byte, size_t length, const char* context) {
    if (!reachable(address, length, true, context)) {
        return false;
    }
    std::memset((void*)(uintptr_t)address, byte, length);
    return true;
}

bool HostMemory::write_word(uint64_t address, uint32_t word, const char* context) {
    if (!reachable(address, 4, true, context)) {
        return false;
    }
    WriteRelease((LONG volatile*)(uintptr_t)address, (LONG)word);
    return true;
}

}  // namespace sim::card
