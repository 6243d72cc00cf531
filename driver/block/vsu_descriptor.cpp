// The partition descriptor's encoding and checks.
#include "driver/block/vsu_descriptor.h"

#include <cstring>

#include "driver/platform/kassert.h"

const ULONG64 vsu_known_types[VSU_KNOWN_TYPES][2] = {
    {0x22424B06BF7D7E91ull, 0x115AD7217EF56EA2ull},
    {0xCC44FABB62A213E8ull, 0x3C7A85F91029B09Aull},
    {0xDF4EA978DA161967ull, 0xAEE08B0548505780ull},
};

namespace {

ULONG64 load64(const UCHAR* p) {
    ULONG64 v = 0;
    for (int i = 7; i >= 0; i--) {
        v = v << 8 | p[i];
    }
    return v;
}

void store64(UCHAR* p, ULONG64 v) {
    for (int i = 0; i < 8; i++) {
        p[i] = (UCHAR)(v >> (8 * i));
    }
}

}  // namespace

ULONG vsu_type_number(const UCHAR* type) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG64 low = load64(type);
    ULONG64 high = load64(type + 8);
    for (ULONG i = 0; i < VSU_KNOWN_TYPES; i++) {
        if (vsu_known_types[i][0] == low && vsu_known_types[i][1] == high) {
            return i + 1;
        }
    }
    return 0;
}

void vsu_type_of(ULONG number, UCHAR* type) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (number < 1 || number > VSU_KNOWN_TYPES) {
        std::memset(type, 0, 16);
        return;
    }
    store64(type, vsu_known_types[number - 1][0]);
    store64(type + 8, vsu_known_types[number - 1][1]);
}

bool vsu_type_is_zero(const UCHAR* type) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    for (int i = 0; i < 16; i++) {
        if (type[i] != 0) {
            return false;
        }
    }
    return true;
}

void vsu_descriptor_decode(const void* sector, size_t bytes, ULONG sector_size, ULONG64 capacity,
                           vsu_descriptor_findings* out) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    std::memset(out, 0, sizeof *out);
    // Whatever the slot holds is copied out first, as far as it reaches.
    std::memcpy(&out->fields, sector, bytes < sizeof out->fields ? bytes : sizeof out->fields);
    const vsu_descriptor& d = out->fields;
    if (bytes < sizeof(ULONG) || d.magic == 0) {
        out->verdict = VSU_DESC_EMPTY;
        return;
    }
    if (d.magic != VSU_DESCRIPTOR_MAGIC) {
        out->verdict = VSU_DESC_BAD_MAGIC;
        return;
    }
    out->too_new = bytes >= 8 && d.version > VSU_DESCRIPTOR_VERSION;
    if (bytes < VSU_DESCRIPTOR_SIZE || d.size != VSU_DESCRIPTOR_SIZE) {
        out->verdict = VSU_DESC_BAD_SIZE;
        return;
    }
    bool deleted = vsu_type_is_zero(d.type);
    if (!deleted && vsu_type_number(d.type) == 0) {
        out->verdict = VSU_DESC_UNKNOWN_TYPE;
        return;
    }
    out->verdict = VSU_DESC_VALID;
    if (d.sector_size != sector_size) {
        out->sector_size_differs = true;
        return;
    }
    // A range that wraps or leaves the card would hand its partition device sectors of another
    // partition or of the reserved range.
    if (!deleted && (d.logical_base > capacity || d.length > capacity - d.logical_base)) {
        out->verdict = VSU_DESC_BAD_RANGE;
    }
}

void vsu_descriptor_encode(const vsu_descriptor* fields, void* sector, size_t bytes) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    std::memset(sector, 0, bytes);
    vsu_descriptor d = *fields;
    d.magic = VSU_DESCRIPTOR_MAGIC;
    d.version = VSU_DESCRIPTOR_VERSION;
    d.size = VSU_DESCRIPTOR_SIZE;
    d.reserved12 = 0;
    std::memset(d.reserved20, 0, sizeof d.reserved20);
    std::memcpy(sector, &d, bytes < sizeof d ? bytes : sizeof d);
}
