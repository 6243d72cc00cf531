#include "driver/platform/params.h"

LONG win_log_verbose = 1;
LONG make_assert_nonfatal = 0;
LONG win_bugcheck_enable_csr_dump = 1;
LONG win_disable_all_affinity = 0;
LONG pav_chunk_enable = 1;
LONG pav_chunk_size_mb = 128;
LONG max_md_blocks_per_device = 0;
