#include "driver/platform/contig_node.h"

#include "driver/platform/kassert.h"

namespace {
constexpr ULONG page_read_write = 0x04;
constexpr ULONG any_node = 0x80000000u;  // no preference
}  // namespace

void* kpav_alloc_contig_node(size_t size, LONG node) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    PHYSICAL_ADDRESS lowest{};
    PHYSICAL_ADDRESS highest;
    highest.QuadPart = -1;
    PHYSICAL_ADDRESS boundary{};
    return MmAllocateContiguousNodeMemory(size, lowest, highest, boundary, page_read_write,
                                          node < 0 ? any_node : (ULONG)node);
}

void kpav_free_contig_node(void* object) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    MmFreeContiguousMemory(object);
}
