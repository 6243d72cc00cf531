// I/O ports. The machine decodes the PCI configuration mechanism: a 32-bit write of
// 0x80000000 | bus << 16 | device << 11 | function << 8 | register to 0xCF8 selects a dword of
// a function's configuration space, which 0xCFC-0xCFF then read and write. A function that is
// not there reads all ones. Every other port reads all ones and ignores writes.
#pragma once

#include "sim/kernel/types.h"

UCHAR READ_PORT_UCHAR(PUCHAR port);
USHORT READ_PORT_USHORT(PUSHORT port);
ULONG READ_PORT_ULONG(PULONG port);
void WRITE_PORT_UCHAR(PUCHAR port, UCHAR value);
void WRITE_PORT_USHORT(PUSHORT port, USHORT value);
void WRITE_PORT_ULONG(PULONG port, ULONG value);
