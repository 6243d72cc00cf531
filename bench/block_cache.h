// The block-record cache the forward map's and the validity bitmap's benchmarks draw from.
#pragma once

// Boots the stand-in and makes the cache the first time it is called; later calls only report
// whether that worked. The cache is kept to the end of the program, as the driver keeps it while
// it is loaded: a benchmark's structures built once (the forward map's shared one) may still hold
// its records when another benchmark runs.
bool block_cache_once();
