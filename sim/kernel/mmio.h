// Memory-mapped device registers: a BAR mapped into system space with MmMapIoSpace, and the
// register accessors that reach the device behind it. A mapping is address space that holds no
// memory: a plain load or store through it faults, so every access goes through the accessors,
// which hand it to the device synchronously: a register write has taken effect in the device
// when the accessor returns. Each accessor is also a full memory barrier, as on the machine the
// driver is written for.
#pragma once

#include "sim/kernel/types.h"

#include "sim/kernel/pool.h"  // MEMORY_CACHING_TYPE

// NULL when no device answers the whole range [physical, physical + length).
PVOID MmMapIoSpace(PHYSICAL_ADDRESS physical, SIZE_T length, MEMORY_CACHING_TYPE cache_type);
void MmUnmapIoSpace(PVOID base, SIZE_T length);

// 32-bit register accesses; an address outside every mapping stops the machine.
ULONG READ_REGISTER_ULONG(volatile ULONG* reg);
void WRITE_REGISTER_ULONG(volatile ULONG* reg, ULONG value);
// 64-bit accesses: the low dword, then the high one.
ULONG64 READ_REGISTER_ULONG64(volatile ULONG64* reg);
void WRITE_REGISTER_ULONG64(volatile ULONG64* reg, ULONG64 value);
// `count` values between the buffer and consecutive registers.
void READ_REGISTER_BUFFER_ULONG(volatile ULONG* reg, PULONG buffer, ULONG count);
void WRITE_REGISTER_BUFFER_ULONG(volatile ULONG* reg, PULONG buffer, ULONG count);
