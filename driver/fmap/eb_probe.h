// Does the forward map place any sector of a range in one erase block? The scheduler's ordered
// pick asks it (through the data log) before it lets a user append overtake an older groomer
// write: only sectors whose data lies in the block the groomer is emptying can be in a groomer
// write's way.
#pragma once

#include "driver/platform/os.h"

struct lrbtree;

// 1 when a mapped run of [lba, lba + count) lies (in part) in erase block `eb`, 0 when none does,
// or the walk's error. Packet address a lies in erase block (a - 16) / span. The walk holds one
// shard's lock at a time and never the writers' mutex, so it may run at DISPATCH_LEVEL.
int lrbtree_range_in_eb(lrbtree* map, ULONG64 lba, ULONG64 count, USHORT eb, ULONG span);
