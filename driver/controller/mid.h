// The card's manufacturing data (MID), served by its management processor as 1024-byte
// key/value records, and the factory record in card memory.
//
// A MID value is a chain of sections from byte 0, integers little-endian: type (2), section id,
// length L (the item bytes and the 2-byte check), items, CRC-16/CCITT-FALSE of the item bytes;
// the next section starts L + 4 bytes on. An item is a tag, a length n and n value bytes; numbers
// are read by their length (1, 2 or 4 bytes). Sections: 1 Product, 2 Board, 3 Controller,
// 4 Power, 5 NAND. The card reads up to four copies (the adapter's, a second one, the
// controller's and the first of its units that parses) and merges what they say.
//
// What the MID gives the card record itself (product name, adapter serial, card and board keys,
// board kind, power figures, the external power override) lands there; the rest is kept here for
// the channel's set-up and the control interface.
#pragma once

#include "driver/controller/startup.h"
#include "driver/platform/os.h"

constexpr ULONG MID_SIZE = 1024;
constexpr ULONG MID_WORN_RANGES_MAX = 10;
constexpr ULONG MID_NAND_ID_MAX = 8;
constexpr ULONG MID_SNI_MAX = 30;

// Presence bits.
constexpr ULONG MID_HAS_PRODUCT = 0x2;
constexpr ULONG MID_HAS_CONTROLLER = 0x4;
constexpr ULONG MID_HAS_POWER = 0x10;
constexpr ULONG MID_HAS_NAND = 0x100;
constexpr ULONG MID_NAND_ITEM_FAILED = 0x10000;

constexpr ULONG FACTORY_RECORD_SIZE = 168;
constexpr ULONG FACTORY_MAGIC = 0xCAFED00D;

struct card_mid {
    ULONG presence;
    // Product.
    char product_text2[129];
    char product_text6[128];
    char product_text7[129];
    char product_text9[128];
    char product_text10[129];
    char product_uuid[37];
    // Board.
    char board_serial[129];
    ULONG powercut_level;  // 0 none, 1 depends on the controller, 2 supported
    ULONG min_fan_rpm;
    // Controller.
    ULONG default_capacity_mb;
    ULONG max_capacity_mb;
    ULONG sector_size;
    ULONG rated_endurance_tb;
    ULONG rated_endurance_gb;  // the same figure x 1000
    ULONG tag4_flag;           // 2 when not given
    USHORT reduced_base;
    USHORT reduced_count;      // 0xFFFF: no reduced range
    ULONG core_temp_limit_c;
    ULONG module_mask;
    ULONG bank_limit;          // tag 19
    ULONG pad_count;           // tag 25
    ULONG tag26;               // 4 or 8: banks configured
    ULONG tag27;               // 1 or 2
    ULONG tag28;
    USHORT tag20;
    USHORT tag21;
    UCHAR tag22;
    ULONG tag31_flag;
    UCHAR sni_calibration[MID_SNI_MAX];
    ULONG sni_calibration_count;
    ULONG sni_rate_hz;
    ULONG highest_port;        // of the card's PMP address
    // NAND.
    ULONG nand_tag14;
    worn_range worn[MID_WORN_RANGES_MAX];
    ULONG worn_count;
    UCHAR nand_id[MID_NAND_ID_MAX];
    ULONG nand_id_count;
    // Factory record (generation-3 controllers).
    struct {
        BOOLEAN valid;
        ULONG values[8];
        char text[2][64];
    } factory;
};

// ---- Interface

// The card's MID record, zeroed; 0 or -12. PASSIVE_LEVEL.
int mid_create(pipeline_device* card);
void mid_free(pipeline_device* card);

// Reads and merges the card's MID copies: 0, or -1 when the Product, Controller or NAND section
// is missing or a NAND item failed. Reasons of minimal mode found in the data are added to the
// card. Below DISPATCH_LEVEL.
int load_mid(pipeline_device* card);
// One copy, named by address record `record`: 0, or -1 when it cannot be read or its first
// section is bad. Sections up to the first bad one are applied.
int parse_mid(pipeline_device* card, ULONG record);
// The cross-checks over everything read: Controller tags 26 and 27, the NAND ID.
void mid_validate(pipeline_device* card);
// True when this driver (4.2.2) is at least the version "major.minor.micro" of `text`.
bool driver_version_at_least(const char* text);
// The factory record at card address 0x1F10000 (generation-3 controllers); the valid flag says
// whether it was read with its magic.
void read_factory_record(pipeline_device* card);

// Parses one MID value as parse_mid does once it has it (tests, and the copies read above).
int mid_parse_value(pipeline_device* card, const UCHAR value[MID_SIZE]);
