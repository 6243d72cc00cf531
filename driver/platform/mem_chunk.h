// The page-chunk allocator: single 4096-byte pages carved from large pool chunks, for the
// metadata page pools and scatter-gather code. Switched on by pav_chunk_enable; when it is off
// or could not start, callers fall back to ordinary pool pages.
#pragma once

#include "driver/platform/os.h"

// true when the allocator is ready or switched off; false when it could not start.
bool pav_mem_chunk_init();
void pav_mem_chunk_exit();
// A page, or NULL when the allocator is not ready or has none. Callable up to DISPATCH_LEVEL.
void* pav_mem_chunk_get_page();
// true when the page was taken back (or orphaned); false when the allocator is not ready, the
// address is NULL or no chunk holds it: the caller then frees the page to pool itself.
bool pav_mem_chunk_free_page(void* page);
