// 16-byte identifiers of partitions and devices: copy, text form, parsing and generation, and
// the pseudo-random source behind generation.
#pragma once

#include "driver/platform/os.h"

constexpr size_t PAV_UUID_SIZE = 16;
// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" and its NUL.
constexpr size_t PAV_UUID_TEXT_SIZE = 37;

// Overlapping areas are allowed.
void pav_uuid_copy(UCHAR* destination, const UCHAR* source);
// The text form: the first three fields read as little-endian 32-, 16- and 16-bit numbers, then
// bytes 8-15 one by one. `text` holds at least 37 bytes. Returns the length (36).
int pav_uuid_unparse(const UCHAR* uuid, char* text);
// The reverse of pav_uuid_unparse: 0, or -KPAV_EINVAL when the text is not exactly 36 characters of
// that form (hex digits in either case).
int pav_uuid_parse(const char* text, UCHAR* uuid);
// Two random 64-bit words, little-endian; no version or variant bits.
void pav_uuid_generate(UCHAR* uuid);

// The driver-wide pseudo-random source, seeded on its first use from the time since boot. No
// lock: concurrent callers may draw equal values.
ULONGLONG kpav_random64();
// Seeds the source now with `seed` (tests draw a known sequence this way).
void kpav_random64_seed(ULONGLONG seed);
