#include "driver/controller/crc16.h"

#include "driver/platform/kassert.h"

USHORT crc16_ccitt(const void* buffer, USHORT count) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    const auto* bytes = (const UCHAR*)buffer;
    USHORT crc = 0xFFFF;
    for (USHORT i = 0; i < count; i++) {
        crc ^= (USHORT)(bytes[i] << 8);
        for (int bit = 0; bit < 8; bit++) {
            crc = (crc & 0x8000) != 0 ? (USHORT)(crc << 1 ^ 0x1021) : (USHORT)(crc << 1);
        }
    }
    return crc;
}
