// Small physically contiguous objects on a NUMA node, for records the card reaches by DMA when
// the port asks for node-local memory.
#pragma once

#include "driver/platform/os.h"

// `size` bytes (not zeroed) on `node` (negative: any node); NULL when none is left. At most
// DISPATCH_LEVEL.
void* kpav_alloc_contig_node(size_t size, LONG node);
void kpav_free_contig_node(void* object);
