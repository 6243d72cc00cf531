// Live variables of the module parameters that the platform layer reads. Each starts at its
// default; the parameter table and the registry set them.
#pragma once

#include "driver/platform/os.h"

extern LONG win_log_verbose;               // class 0 messages are also traced
extern LONG make_assert_nonfatal;          // failed assertions are counted, not fatal
extern LONG win_bugcheck_enable_csr_dump;  // crash dumps carry the card's register dump
extern LONG win_disable_all_affinity;      // threads and interrupts get no affinity
extern LONG pav_chunk_enable;              // the page-chunk allocator is used
extern LONG pav_chunk_size_mb;             // size of one page chunk
extern LONG max_md_blocks_per_device;      // metadata blocks a log may hold; 0 = no limit
