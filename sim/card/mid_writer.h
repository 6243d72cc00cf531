// Manufacturing data (MID) as the card's management processor keeps it: 1024-byte values made of
// sections {type 2, id, u16 L, items, CRC-16/CCITT-FALSE of the items} and items {tag, n, n
// bytes}, the rest 0xFF. The writer builds them from a list of sections; tests change any item,
// or break a section's type, length or check, to reach every path of the host's reader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim::card {

// CRC-16/CCITT-FALSE (polynomial 0x1021, initial 0xFFFF): "123456789" gives 0x29B1.
uint16_t crc16_ccitt_false(const uint8_t* bytes, size_t n);

struct MidItem {
    uint8_t tag = 0;
    std::vector<uint8_t> value;

    static MidItem number(uint8_t tag, uint32_t v, unsigned bytes = 4);
    static MidItem text(uint8_t tag, const std::string& s);
    static MidItem blob(uint8_t tag, std::vector<uint8_t> bytes);
};

struct MidSection {
    uint8_t id = 0;
    std::vector<MidItem> items;
    // Breakage, for tests: a type other than 2, a check that does not match, a length field
    // other than the items' (the section is written as it says).
    uint8_t type = 2;
    bool bad_check = false;
    int length_delta = 0;

    MidItem* find(uint8_t tag);
    void set(MidItem item);  // replaces the item of that tag, or appends it
    void remove(uint8_t tag);
};

struct Mid {
    std::vector<MidSection> sections;

    MidSection* find(uint8_t id);
    // The 1024-byte value (sections that do not fit are cut off).
    std::vector<uint8_t> bytes() const;
};

// Section ids.
constexpr uint8_t mid_product = 1;
constexpr uint8_t mid_board = 2;
constexpr uint8_t mid_controller = 3;
constexpr uint8_t mid_power = 4;
constexpr uint8_t mid_nand = 5;

// The healthy card's MIDs: the adapter's (Product and Board with the adapter serial), the
// controller's (Board with the board serial, Controller, NAND) and a unit's (NAND).
struct MidIdentity {
    std::string adapter_serial = "AD1234567890";
    std::string board_serial = "BD0987654321";
    uint32_t total_pads = 30;
    uint32_t banks = 8;
    uint32_t sni_rate = 50000000;
    std::vector<uint8_t> nand_id = {0x56, 0x4B, 0x4E, 0x31};
};
Mid default_adapter_mid(const MidIdentity& id = {});
Mid default_controller_mid(const MidIdentity& id = {});
Mid default_unit_mid(const MidIdentity& id = {});

}  // namespace sim::card
