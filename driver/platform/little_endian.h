// Little-endian fields of byte records: read and written byte by byte, whatever the alignment.
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

inline void le_put_u16(UCHAR* p, USHORT v) {
    p[0] = (UCHAR)v;
    p[1] = (UCHAR)(v >> 8);
}

inline void le_put_u32(UCHAR* p, ULONG v) {
    p[0] = (UCHAR)v;
    p[1] = (UCHAR)(v >> 8);
    p[2] = (UCHAR)(v >> 16);
    p[3] = (UCHAR)(v >> 24);
}

inline void le_put_u64(UCHAR* p, ULONG64 v) {
    le_put_u32(p, (ULONG)v);
    le_put_u32(p + 4, (ULONG)(v >> 32));
}
