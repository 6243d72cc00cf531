// CRC-16/CCITT-FALSE, the check of the card's image payloads and of its manufacturing data.
#pragma once

#include "driver/platform/os.h"

// Polynomial 0x1021, initial value 0xFFFF, no reflection and no final XOR, over `count` bytes;
// no bytes give 0xFFFF. Any IRQL.
USHORT crc16_ccitt(const void* buffer, USHORT count);
