// A partition descriptor slot as media hands it back: any bytes, of any length, go to the
// decoder for a card of 512-byte sectors and 2^20 logical sectors. Nothing may be read outside
// the bytes given; a descriptor the decoder accepts names a known type (or none: deleted) and a
// range inside the card, and encoding what it read gives a sector it reads back the same way.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "driver/block/vsu_descriptor.h"

namespace {

constexpr ULONG sector_size = 512;
constexpr ULONG64 capacity = 1ull << 20;

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An allocation of exactly the input's size: a read past it is the sanitizer's to see.
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[size == 0 ? 1 : size]);
    if (size != 0) {
        std::memcpy(bytes.get(), data, size);
    }
    vsu_descriptor_findings f;
    vsu_descriptor_decode(bytes.get(), size, sector_size, capacity, &f);
    check(f.verdict <= VSU_DESC_BAD_RANGE);
    if (f.verdict != VSU_DESC_VALID || f.sector_size_differs) {
        return 0;
    }
    const vsu_descriptor& d = f.fields;
    bool deleted = vsu_type_is_zero(d.type);
    check(deleted || vsu_type_number(d.type) != 0);
    check(deleted || (d.logical_base <= capacity && d.length <= capacity - d.logical_base));
    check(d.size == VSU_DESCRIPTOR_SIZE && d.magic == VSU_DESCRIPTOR_MAGIC);

    static uint8_t sector[sector_size];
    vsu_descriptor_encode(&d, sector, sizeof sector);
    vsu_descriptor_findings again;
    vsu_descriptor_decode(sector, sizeof sector, sector_size, capacity, &again);
    check(again.verdict == VSU_DESC_VALID && !again.sector_size_differs && !again.too_new);
    check(std::memcmp(again.fields.name, d.name, sizeof d.name) == 0);
    check(std::memcmp(again.fields.type, d.type, sizeof d.type) == 0);
    check(again.fields.logical_base == d.logical_base && again.fields.length == d.length);
    check(again.fields.usage == d.usage && again.fields.discard_mark == d.discard_mark);
    return 0;
}
