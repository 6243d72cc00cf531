#include "driver/platform/uuid.h"

#include "driver/platform/errno_table.h"
#include "driver/platform/format.h"
#include "driver/platform/kassert.h"
#include "driver/platform/time.h"

namespace {

// The state of the combined generator: a linear congruential step, an xorshift and a
// multiply-with-carry, mixed on output.
struct random_state {
    ULONGLONG u;
    ULONGLONG v;
    ULONGLONG w;
    bool seeded;
};

random_state state;

ULONGLONG step() {
    state.u = state.u * 2862933555777941757ull + 7046029254386353087ull;
    state.v ^= state.v >> 17;
    state.v ^= state.v << 31;
    state.v ^= state.v >> 8;
    state.w = 4294957665ull * (state.w & 0xFFFFFFFFull) + (state.w >> 32);
    ULONGLONG x = state.u ^ (state.u << 21);
    x ^= x >> 35;
    x ^= x << 4;
    return (x + state.v) ^ state.w;
}

void seed_with(ULONGLONG seed) {
    state.v = 4101842887655102017ull;
    state.w = 1;
    state.u = seed ^ state.v;
    state.seeded = true;
    step();
    state.v = state.u;
    step();
    state.w = state.v;
    step();
}


}  // namespace

ULONGLONG kpav_random64() {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    if (!state.seeded) {
        seed_with(kpav_get_usecs());
    }
    return step();
}

void kpav_random64_seed(ULONGLONG seed) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    seed_with(seed);
}

void pav_uuid_copy(UCHAR* destination, const UCHAR* source) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    RtlMoveMemory(destination, source, PAV_UUID_SIZE);
}

int pav_uuid_unparse(const UCHAR* uuid, char* text) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    ULONG time_low;
    USHORT time_mid;
    USHORT time_high;
    RtlCopyMemory(&time_low, uuid, 4);
    RtlCopyMemory(&time_mid, uuid + 4, 2);
    RtlCopyMemory(&time_high, uuid + 6, 2);
    return kpav_snprintf(text, PAV_UUID_TEXT_SIZE, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", time_low,
                         time_mid, time_high, uuid[8], uuid[9], uuid[10], uuid[11], uuid[12], uuid[13], uuid[14],
                         uuid[15]);
}

int pav_uuid_parse(const char* text, UCHAR* uuid) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    // Byte order of the text: the three leading fields are little-endian numbers.
    static const int byte_at_pair[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    UCHAR parsed[PAV_UUID_SIZE];
    int pair = 0;
    for (int i = 0; i < 36; i++) {
        char c = text[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-') {
                return -KPAV_EINVAL;
            }
            continue;
        }
        int high = kpav_hex_digit(c);
        int low = high < 0 ? -1 : kpav_hex_digit(text[i + 1]);
        if (high < 0 || low < 0) {
            return -KPAV_EINVAL;
        }
        parsed[byte_at_pair[pair++]] = (UCHAR)(high << 4 | low);
        i++;
    }
    if (text[36] != 0) {
        return -KPAV_EINVAL;
    }
    RtlCopyMemory(uuid, parsed, PAV_UUID_SIZE);
    return 0;
}

void pav_uuid_generate(UCHAR* uuid) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    ULONGLONG first = kpav_random64();
    ULONGLONG second = kpav_random64();
    for (int i = 0; i < 8; i++) {
        uuid[i] = (UCHAR)(first >> (8 * i));
        uuid[8 + i] = (UCHAR)(second >> (8 * i));
    }
}
