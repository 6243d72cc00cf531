// Little-endian fields of the byte records the controller reads and builds: the management
// processor's payloads, the manufacturing data, card memory.
#pragma once

#include "driver/platform/os.h"

inline USHORT le_get_u16(const UCHAR* p) {
    return (USHORT)(p[0] | p[1] << 8);
}

inline ULONG le_get_u32(const UCHAR* p) {
    return (ULONG)p[0] | (ULONG)p[1] << 8 | (ULONG)p[2] << 16 | (ULONG)p[3] << 24;
}

inline ULONG64 le_get_u64(const UCHAR* p) {
    return (ULONG64)le_get_u32(p) | (ULONG64)le_get_u32(p + 4) << 32;
}

inline void le_put_u32(UCHAR* p, ULONG v) {
    p[0] = (UCHAR)v;
    p[1] = (UCHAR)(v >> 8);
    p[2] = (UCHAR)(v >> 16);
    p[3] = (UCHAR)(v >> 24);
}
