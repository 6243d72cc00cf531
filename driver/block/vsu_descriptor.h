// The on-media descriptor of a virtual partition: 144 bytes at the start of one sector (the
// rest zero) in one of the 64 descriptor slots at the top of the forward map's reserved range.
// Encoding builds the sector from a partition's fields; decoding checks a sector read back and
// says what it found, without trusting any of it: the loader turns each finding into its message
// and its fallback (refuse, read-only, skip).
#pragma once

#include "driver/platform/os.h"

// Descriptor slots: sector VSU_SLOT_BASE + slot index.
constexpr ULONG64 VSU_SLOT_BASE = 0x00FFFFFFFAF5C000ull;
constexpr ULONG VSU_SLOT_COUNT = 64;

constexpr ULONG VSU_DESCRIPTOR_MAGIC = 0x75090C49;
constexpr ULONG VSU_DESCRIPTOR_VERSION = 2;
constexpr ULONG VSU_DESCRIPTOR_SIZE = 144;

#pragma pack(push, 1)
struct vsu_descriptor {
    ULONG magic;
    ULONG version;
    ULONG size;
    ULONG reserved12;
    ULONG sector_size;
    UCHAR reserved20[12];
    char name[32];          // NUL-padded; a name of 32 characters has no NUL
    UCHAR type[16];         // all zero: a deleted partition
    UCHAR identity[16];
    ULONG64 logical_base;
    ULONG64 length;
    ULONG64 phys_min;
    ULONG64 phys_max;
    ULONG64 usage;
    ULONG64 discard_mark;
};
#pragma pack(pop)
static_assert(sizeof(vsu_descriptor) == VSU_DESCRIPTOR_SIZE);
static_assert(offsetof(vsu_descriptor, sector_size) == 16);
static_assert(offsetof(vsu_descriptor, name) == 32);
static_assert(offsetof(vsu_descriptor, type) == 64);
static_assert(offsetof(vsu_descriptor, identity) == 80);
static_assert(offsetof(vsu_descriptor, logical_base) == 96);
static_assert(offsetof(vsu_descriptor, usage) == 128);
static_assert(offsetof(vsu_descriptor, discard_mark) == 136);

// The known partition types, as the two little-endian 64-bit halves of the identifier.
constexpr ULONG VSU_KNOWN_TYPES = 3;
extern const ULONG64 vsu_known_types[VSU_KNOWN_TYPES][2];
// 1-based number of a known type; 0 for an unknown one (the zero type included).
ULONG vsu_type_number(const UCHAR* type);
void vsu_type_of(ULONG number, UCHAR* type);  // number 1 to 3
bool vsu_type_is_zero(const UCHAR* type);

// What a sector read back holds. The findings come in the order the loader reports them.
enum vsu_descriptor_verdict : ULONG {
    VSU_DESC_EMPTY = 0,        // first word 0: an empty slot
    VSU_DESC_VALID = 1,        // a partition (possibly deleted: zero type)
    VSU_DESC_BAD_MAGIC = 2,
    VSU_DESC_BAD_SIZE = 3,
    VSU_DESC_UNKNOWN_TYPE = 4,
    VSU_DESC_BAD_RANGE = 5,    // the range wraps or leaves the card's logical capacity
};
struct vsu_descriptor_findings {
    ULONG verdict;
    bool too_new;              // version 3 or above: the card attaches read-only
    bool sector_size_differs;  // the partition is left out and the card attaches read-only
    vsu_descriptor fields;     // the descriptor as read (valid for VSU_DESC_VALID)
};

// Checks `bytes` bytes of a slot sector for a card of `sector_size` bytes per sector and
// `capacity` logical sectors. Any IRQL; reads nothing outside the buffer.
void vsu_descriptor_decode(const void* sector, size_t bytes, ULONG sector_size, ULONG64 capacity,
                           vsu_descriptor_findings* out);

// Fills one sector (`bytes` bytes, at least 144) with the descriptor of the given fields:
// magic, version, size and zero padding are set here.
void vsu_descriptor_encode(const vsu_descriptor* fields, void* sector, size_t bytes);
