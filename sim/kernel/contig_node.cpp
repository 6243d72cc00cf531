#include "sim/kernel/pool.h"

// The machine's memory is one pool: a node preference changes nothing but is accepted.
PVOID MmAllocateContiguousNodeMemory(SIZE_T size, PHYSICAL_ADDRESS lowest, PHYSICAL_ADDRESS highest,
                                     PHYSICAL_ADDRESS boundary, ULONG protect, ULONG preferred_node) {
    UNREFERENCED_PARAMETER(protect);
    UNREFERENCED_PARAMETER(preferred_node);
    return MmAllocateContiguousMemorySpecifyCache(size, lowest, highest, boundary, MmCached);
}
