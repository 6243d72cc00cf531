// The firmware family record in card memory: a 28-byte header at the family location (u16 magic
// 0xAA55 @0, u16 block below 2048 @2, u16 0x0EF1 @4) and a 24-byte record at location + block x
// 512 (u32 0xEF10B001 @0, 16 bytes of family information @4), all little-endian. Tests change any
// field to make the reader's checks fail.
#pragma once

#include <array>
#include <cstdint>

namespace sim::card {

class CardMemory;

struct FamilyRecordConfig {
    bool present = true;
    uint32_t location_register = 0xCAFECAFE;  // 0x1248; 0xCAFECAFE = the default location
    uint16_t magic = 0xAA55;
    uint16_t block = 16;
    uint16_t tag = 0x0EF1;
    uint32_t record_magic = 0xEF10B001;
    std::array<uint8_t, 16> info = {'V', 'K', '-', 'F', 'A', 'M', 'I', 'L', 'Y', '-', '0', '3', 1, 2, 3, 4};

    // The card address the location register names.
    uint32_t location() const { return location_register == 0xCAFECAFE ? 0x01E00000 : location_register; }
};

// Writes the header and the record (when present and the location is not 0).
void write_family_record(CardMemory& memory, const FamilyRecordConfig& config);

}  // namespace sim::card
