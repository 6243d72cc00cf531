// Run-time library bitmaps: a bit count and a caller-owned buffer of 32-bit words, bit i being
// bit (i mod 32) of word i / 32.
//
// Searches take a hint: they look for a run starting at or after the hint first and then for one
// starting before it (the search wraps around once; a run never wraps from the end to bit 0). A
// hint outside the map counts as 0. A search that finds nothing answers 0xFFFFFFFF.
#pragma once

#include "sim/kernel/types.h"

struct RTL_BITMAP {
    ULONG SizeOfBitMap;  // bits
    PULONG Buffer;
};
using PRTL_BITMAP = RTL_BITMAP*;

void RtlInitializeBitMap(PRTL_BITMAP bitmap, PULONG buffer, ULONG size_of_bitmap);

// Whole-map operations write every word of the buffer, including the bits past the map's end.
void RtlClearAllBits(PRTL_BITMAP bitmap);
void RtlSetAllBits(PRTL_BITMAP bitmap);

// Ranges and bits must lie inside the map; a caller that reaches past it stops the machine.
void RtlSetBits(PRTL_BITMAP bitmap, ULONG starting_index, ULONG number_to_set);
void RtlClearBits(PRTL_BITMAP bitmap, ULONG starting_index, ULONG number_to_clear);
void RtlSetBit(PRTL_BITMAP bitmap, ULONG bit_number);
void RtlClearBit(PRTL_BITMAP bitmap, ULONG bit_number);
BOOLEAN RtlTestBit(PRTL_BITMAP bitmap, ULONG bit_number);
ULONG RtlCheckBit(PRTL_BITMAP bitmap, ULONG bit_number);  // 1 or 0

// The first index of a run of `number_to_find` bits of that value, or 0xFFFFFFFF. A run of 0
// bits is found at index 0.
ULONG RtlFindSetBits(PRTL_BITMAP bitmap, ULONG number_to_find, ULONG hint_index);
ULONG RtlFindClearBits(PRTL_BITMAP bitmap, ULONG number_to_find, ULONG hint_index);
// As above, and the run found is flipped.
ULONG RtlFindSetBitsAndClear(PRTL_BITMAP bitmap, ULONG number_to_find, ULONG hint_index);
ULONG RtlFindClearBitsAndSet(PRTL_BITMAP bitmap, ULONG number_to_find, ULONG hint_index);

ULONG RtlNumberOfSetBits(PRTL_BITMAP bitmap);
ULONG RtlNumberOfClearBits(PRTL_BITMAP bitmap);

// TRUE when every bit of the range has that value; FALSE for an empty range or one that does
// not lie inside the map.
BOOLEAN RtlAreBitsSet(PRTL_BITMAP bitmap, ULONG starting_index, ULONG length);
BOOLEAN RtlAreBitsClear(PRTL_BITMAP bitmap, ULONG starting_index, ULONG length);

// The length of the first run of clear bits in the map (at or after `from_index`), its start in
// the index out; 0 when there is none. The search does not wrap.
ULONG RtlFindFirstRunClear(PRTL_BITMAP bitmap, PULONG starting_index);
ULONG RtlFindNextForwardRunClear(PRTL_BITMAP bitmap, ULONG from_index, PULONG starting_run_index);
