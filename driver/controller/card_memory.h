// The card's memory (32 MiB), read a 16-bit word at a time through a window in the controller's
// registers: the select register 0x10D8 (shared with the hardware lock of the reset), the word
// address 0x10A4, the command register 0x10A8 and the data register 0x10A0. A word holds two
// bytes of memory, the lower address in its upper half, so the bytes land in the caller's buffer
// in memory order.
#pragma once

#include "driver/platform/os.h"

struct pipeline_device;

// Where the card keeps what the driver reads.
constexpr ULONG CMEM_FACTORY_RECORD = 0x1F10000;
constexpr ULONG CMEM_CONTAINERS = 0x1F80000;

// Reads `length` bytes at card address `address` into `buffer` with the window selected by
// `select`: 0, or -5 when the window cannot be selected (a select that does not read back after
// a bounded number of tries; a lost bus, which fails the card's channel once). Below
// DISPATCH_LEVEL.
int cmem_read(pipeline_device* card, ULONG address, ULONG length, void* buffer, ULONG select);
