#include "driver/controller/mid.h"

#include <cstddef>

#include "driver/controller/card_memory.h"
#include "driver/controller/crc16.h"
#include "driver/controller/little_endian.h"
#include "driver/card/pipeline_device.h"
#include "driver/controller/pmp_client.h"
#include "driver/controller/sensor_cache.h"
#include "driver/controller/smp_targets.h"
#include "driver/controller/startup.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/format.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"

namespace {

constexpr UCHAR section_type = 2;
constexpr ULONG tag_bits = 224;
constexpr ULONG driver_version[3] = {4, 2, 2};
constexpr ULONG no_throttle_point = 21000;

enum section_id : UCHAR {
    section_product = 1,
    section_board = 2,
    section_controller = 3,
    section_power = 4,
    section_nand = 5,
};

// One section's items and the tags seen in it.
struct mid_section {
    const UCHAR* items;
    ULONG length;
    ULONG seen[tag_bits / 32];
};

struct mid_item {
    UCHAR tag;
    ULONG length;
    const UCHAR* record;  // tag, length, value: as a size-tagged value
    const UCHAR* value;
};

// The next item whose bytes lie wholly inside the section's items; false at the end.
bool next_item(mid_section* s, ULONG* offset, mid_item* item) {
    ULONG at = *offset;
    if (at + 2 > s->length || at + 2 + s->items[at + 1] > s->length) {
        return false;
    }
    item->tag = s->items[at];
    item->length = s->items[at + 1];
    item->record = s->items + at;
    item->value = s->items + at + 2;
    if (item->tag < tag_bits) {
        s->seen[item->tag / 32] |= 1u << (item->tag % 32);
    }
    *offset = at + 2 + item->length;
    return true;
}

ULONG number(const mid_item& item) {
    return item.length == 0 ? 0 : pmp_value_number(item.record);
}

void text(const mid_item& item, char* out, ULONG limit) {
    ULONG n = item.length < limit ? item.length : limit;
    RtlCopyMemory(out, item.value, n);
    out[n] = 0;
}

ULONG64 key_hash(const char* text) {
    ULONG64 h = 0;
    for (const char* c = text; *c != 0; c++) {
        h = h * 257 + (UCHAR)*c;
    }
    return h;
}

// Each required tag that the section did not carry is reported; any makes the data invalid.
void check_required(pipeline_device* card, const mid_section& s, const UCHAR* required, ULONG count) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    for (ULONG i = 0; i < count; i++) {
        UCHAR tag = required[i];
        if ((s.seen[tag / 32] & 1u << (tag % 32)) == 0) {
            kpav_print(KPAV_CLASS_NORMAL, "%s: Manufacturing configuration data incomplete (0x%x).\n",
                       card->display_name, (unsigned)tag);
            card->minimal_mode_reasons |= PAV_MINIMAL | PAV_MINIMAL_MID_INVALID;
        }
    }
}

void mid_parse_product(pipeline_device* card, mid_section* s, ULONG* presence) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    card_mid* mid = card->mid;
    const char* name = card->display_name;
    bool uuid = false;
    mid_item item;
    for (ULONG at = 0; next_item(s, &at, &item);) {
        *presence |= MID_HAS_PRODUCT;
        switch (item.tag) {
            case 1: text(item, card->product_name, 128); break;
            case 2: text(item, mid->product_text2, 128); break;
            case 6: text(item, mid->product_text6, 127); break;
            case 7: text(item, mid->product_text7, 128); break;
            case 9: text(item, mid->product_text9, 127); break;
            case 10: text(item, mid->product_text10, 128); break;
            case 11: {
                char minimum[128];
                text(item, minimum, 127);
                if (!driver_version_at_least(minimum)) {
                    kpav_print(KPAV_CLASS_NORMAL, "%s: Driver version %s.%s.%s less than minimum %s\n", name, "4", "2",
                               "2", minimum);
                    card->minimal_mode_reasons |= PAV_MINIMAL | PAV_MINIMAL_DRIVER_TOO_OLD;
                }
                break;
            }
            case 12: card->product_min_power_mw = number(item); break;
            case 13:
                text(item, mid->product_uuid, 36);
                uuid = true;
                break;
            case 14: {
                ULONG point = number(item);
                card->product_max_throttle_mw = point == no_throttle_point ? 0 : point;
                break;
            }
            default: break;
        }
    }
    if (!uuid) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Product Configuration missing UUID, using default.\n", name);
        kpav_snprintf(mid->product_uuid, sizeof mid->product_uuid, "%s", "00000000-0000-0000-0000-000000000000");
    }
    kpav_print(KPAV_CLASS_NORMAL, "%s: Product UUID is %s\n", name, mid->product_uuid);
    static const UCHAR required[] = {10, 1, 2, 3, 4};
    check_required(card, *s, required, ARRAYSIZE(required));
}

bool kind_in(ULONG kind, const UCHAR* kinds, ULONG count) {
    for (ULONG i = 0; i < count; i++) {
        if (kinds[i] == kind) {
            return true;
        }
    }
    return false;
}

// Kind 14's board serial carries the card's PMP path ("ABC" on path 1 3: "ABC-13"), when it fits.
void append_path(pipeline_device* card, char* serial, size_t size) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const pmp_address_record* full = smp_address_record(card, SMP_RECORD_FULL);
    size_t length = 0;
    while (serial[length] != 0) {
        length++;
    }
    if (full == nullptr || full->length == 0 || length + full->length >= 130) {
        return;
    }
    char suffix[40] = "-";
    size_t n = 1;
    for (ULONG i = 0; i < full->length && i < PMP_ADDRESS_MAX; i++) {
        n += (size_t)kpav_snprintf(suffix + n, sizeof suffix - n, "%d", (int)full->path[i]);
    }
    if (length + n < size) {
        RtlCopyMemory(serial + length, suffix, n + 1);
    }
}

void mid_parse_board(pipeline_device* card, mid_section* s, ULONG* presence) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(presence);  // a board section marks nothing present
    card_mid* mid = card->mid;
    const char* name = card->display_name;
    char serial[129] = {};
    bool has_serial = false;
    ULONG kind = 0;
    mid_item item;
    for (ULONG at = 0; next_item(s, &at, &item);) {
        switch (item.tag) {
            case 1:
                text(item, serial, 128);
                has_serial = true;
                break;
            case 3: kind = number(item); break;
            case 6: {
                ULONG mbps = number(item);
                kpav_print(KPAV_CLASS_NORMAL, "%s: Required PCIE bandwidth %u.%03u GBytes per sec\n", name, mbps / 1000,
                           mbps % 1000);
                break;
            }
            case 7: {
                ULONG level = number(item);
                if (level < 3 && level > mid->powercut_level) {
                    mid->powercut_level = level;
                }
                break;
            }
            case 11:
                mid->min_fan_rpm = number(item);
                kpav_print(KPAV_CLASS_NORMAL, "%s: Minimum Fan Speed Threshold %u RPM\n", name, mid->min_fan_rpm);
                break;
            default: break;
        }
    }
    static const UCHAR board_kinds[] = {6, 7, 8, 9, 10, 12, 14, 15, 16};
    static const UCHAR adapter_kinds[] = {1, 2, 3, 4, 7, 8, 11, 12, 14, 15, 16};
    if (has_serial && kind_in(kind, board_kinds, ARRAYSIZE(board_kinds))) {
        kpav_snprintf(mid->board_serial, sizeof mid->board_serial, "%s", serial);
        if (kind == 14) {
            append_path(card, mid->board_serial, sizeof mid->board_serial);
        }
        kpav_print(KPAV_CLASS_NORMAL, "%s: Board serial number is %s\n", name, mid->board_serial);
        card->board_key = key_hash(mid->board_serial);
    }
    bool adapter = kind_in(kind, adapter_kinds, ARRAYSIZE(adapter_kinds));
    bool lone_board = kind == 5 && !card->adapter_mid_found;
    if (adapter || lone_board) {
        if (has_serial) {
            if (adapter) {
                kpav_print(KPAV_CLASS_NORMAL, "%s: Adapter serial number is %s\n", name, serial);
            } else {
                kpav_print(KPAV_CLASS_NORMAL, "%s: adapter serial number is %s\n", name, serial);
            }
            kpav_snprintf(card->adapter_serial, sizeof card->adapter_serial, "%s", serial);
            card->card_key = key_hash(serial);
        }
        card->board_kind = adapter ? kind : 4;
        card->adapter_mid_found = TRUE;
    }
    static const UCHAR required[] = {1, 2, 3, 4, 6, 7, 8};
    check_required(card, *s, required, ARRAYSIZE(required));
}

void check_module_mask(pipeline_device* card, ULONG mask) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const pmp_address_record* controller = smp_address_record(card, SMP_RECORD_CONTROLLER);
    const UCHAR* target = controller != nullptr && controller->length != 0
                              ? adc_target_record(card, controller->length - 1u)
                              : nullptr;
    ULONG present = target != nullptr ? target[SMP_TARGET_PRESENT_MASK] : 0;
    if (present != 0 && present != mask) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Module Mask (0x%x) doesn't match Present Mask (0x%x)\n",
                   card->display_name, mask, present);
        card->minimal_mode_reasons |= PAV_MINIMAL | PAV_MINIMAL_UNSUPPORTED_NAND;
    }
}

void mid_parse_controller(pipeline_device* card, mid_section* s, ULONG* presence) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    card_mid* mid = card->mid;
    const char* name = card->display_name;
    mid_item item;
    for (ULONG at = 0; next_item(s, &at, &item);) {
        *presence |= MID_HAS_CONTROLLER;
        ULONG v = number(item);
        switch (item.tag) {
            case 1:
                mid->default_capacity_mb = v;
                kpav_print(KPAV_CLASS_NORMAL, "%s: Default capacity        %u.%03u GBytes\n", name, v / 1000, v % 1000);
                break;
            case 23:
                mid->max_capacity_mb = v;
                kpav_print(KPAV_CLASS_NORMAL, "%s: Maximum capacity        %u.%03u GBytes\n", name, v / 1000, v % 1000);
                break;
            case 2: {
                kpav_print(KPAV_CLASS_NORMAL, "%s: Default sector size     %u bytes\n", name, v);
                ULONG size = v < 512 ? 512 : v > 4096 ? 4096 : v;
                if (size != v) {
                    kpav_print(KPAV_CLASS_NORMAL, "%s:        but limited by OS to %u bytes\n", name, size);
                }
                mid->sector_size = size;
                break;
            }
            case 3:
                mid->rated_endurance_tb = v;
                mid->rated_endurance_gb = v * 1000;
                // Hundredths of a PByte: 1050 TBytes are 1.05.
                kpav_print(KPAV_CLASS_NORMAL, "%s: Rated endurance         %u.%02u PBytes\n", name, v / 1000,
                           v % 1000 / 10);
                break;
            case 4: mid->tag4_flag = v != 0 ? 1 : 0; break;
            case 11: mid->reduced_base = (USHORT)v; break;
            case 12: mid->reduced_count = (USHORT)v; break;
            case 13:
                mid->core_temp_limit_c = v;
                kpav_print(KPAV_CLASS_NORMAL, "%s: %uC temp range hardware found\n", name, v);
                break;
            case 15:
                mid->module_mask = v;
                check_module_mask(card, v);
                break;
            case 19: mid->bank_limit = v; break;
            case 20: mid->tag20 = (USHORT)v; break;
            case 21: mid->tag21 = (USHORT)v; break;
            case 22: mid->tag22 = (UCHAR)v; break;
            case 25: mid->pad_count = v; break;
            case 26: mid->tag26 = v; break;
            case 27: mid->tag27 = v; break;
            case 28: mid->tag28 = v; break;
            case 29:
                mid->sni_calibration_count = item.length < MID_SNI_MAX ? item.length : MID_SNI_MAX;
                RtlCopyMemory(mid->sni_calibration, item.value, mid->sni_calibration_count);
                break;
            case 30: mid->sni_rate_hz = v; break;
            case 31: mid->tag31_flag = v != 0 ? 1 : 0; break;
            default: break;
        }
    }
    static const UCHAR required[] = {1, 2, 3, 19, 25, 26, 27, 28, 29, 30, 31};
    check_required(card, *s, required, ARRAYSIZE(required));
}

void mid_parse_power(pipeline_device* card, mid_section* s, ULONG* presence) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    mid_item item;
    for (ULONG at = 0; next_item(s, &at, &item);) {
        *presence |= MID_HAS_POWER;
        if (item.tag == 1) {
            card->power_override = TRUE;
            kpav_print(KPAV_CLASS_NORMAL, "%s: MID: external_power_override enabled\n", card->display_name);
        }
    }
}

void mid_parse_nand(pipeline_device* card, mid_section* s, ULONG* presence) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    card_mid* mid = card->mid;
    const char* name = card->display_name;
    mid_item item;
    for (ULONG at = 0; next_item(s, &at, &item);) {
        *presence |= MID_HAS_NAND;
        switch (item.tag) {
            case 14: mid->nand_tag14 = number(item); break;
            case 18:
                if (item.length > 4 * MID_WORN_RANGES_MAX) {
                    kpav_print(KPAV_CLASS_NORMAL, "%s: Worn Ranges blob is too long.\n", name);
                    mid->worn_count = 0;
                    *presence |= MID_NAND_ITEM_FAILED;
                    break;
                }
                mid->worn_count = item.length / 4;
                for (ULONG i = 0; i < mid->worn_count; i++) {
                    mid->worn[i] = {le_get_u16(item.value + 4 * i), le_get_u16(item.value + 4 * i + 2)};
                }
                break;
            case 20:
                if (item.length < 1 || item.length > MID_NAND_ID_MAX) {
                    kpav_print(KPAV_CLASS_NORMAL, "%s: ID byte length: %d invalid.\n", name, (int)item.length);
                    *presence |= MID_NAND_ITEM_FAILED;
                    break;
                }
                mid->nand_id_count = item.length;
                RtlCopyMemory(mid->nand_id, item.value, item.length);
                break;
            default: break;
        }
    }
    static const UCHAR required[] = {14, 20};
    check_required(card, *s, required, ARRAYSIZE(required));
}

// A section that lies wholly inside the value, of type 2, with at least its check and a check
// that matches.
bool section_ok(const UCHAR* value, ULONG offset) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    if (offset + 4 > MID_SIZE || value[offset] != section_type) {
        return false;
    }
    ULONG length = le_get_u16(value + offset + 2);
    if (length < 2 || offset + length >= MID_SIZE - 4) {
        return false;
    }
    USHORT check = le_get_u16(value + offset + 2 + length);
    return crc16_ccitt(value + offset + 4, (USHORT)(length - 2)) == check;
}

}  // namespace

int mid_create(pipeline_device* card) {
    PAGED_CODE();
    card->mid = (card_mid*)kpav_zalloc(sizeof(card_mid), KPAV_TAG_MAL);
    return card->mid != nullptr ? 0 : -KPAV_ENOMEM;
}

void mid_free(pipeline_device* card) {
    PAGED_CODE();
    kpav_free_if(card->mid, KPAV_TAG_MAL);
    card->mid = nullptr;
}

bool driver_version_at_least(const char* text) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const char* at = text;
    for (ULONG i = 0; i < 3; i++) {
        const char* end = nullptr;
        ULONG wanted = (ULONG)kpav_strtoul(at, &end, 10);
        if (driver_version[i] != wanted) {
            return driver_version[i] > wanted;
        }
        if (*end != '.' || i == 2) {
            return true;
        }
        at = end + 1;
    }
    return true;
}

int mid_parse_value(pipeline_device* card, const UCHAR value[MID_SIZE]) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    if (!section_ok(value, 0)) {
        return -1;
    }
    ULONG* presence = &card->mid->presence;
    for (ULONG offset = 0; section_ok(value, offset);) {
        ULONG length = le_get_u16(value + offset + 2);
        mid_section s{value + offset + 4, length - 2, {}};
        switch (value[offset + 1]) {
            case section_product: mid_parse_product(card, &s, presence); break;
            case section_board: mid_parse_board(card, &s, presence); break;
            case section_controller: mid_parse_controller(card, &s, presence); break;
            case section_power: mid_parse_power(card, &s, presence); break;
            case section_nand: mid_parse_nand(card, &s, presence); break;
            default: break;
        }
        offset += length + 4;
    }
    return 0;
}

int parse_mid(pipeline_device* card, ULONG record) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    const pmp_address_record* target = smp_address_record(card, record);
    if (target == nullptr) {
        return -1;
    }
    pmp_kv_key key{};
    key.address.length = target->length;
    RtlCopyMemory(key.address.bytes, target->path, sizeof key.address.bytes);
    key.key = target->unit;
    key.type = target->kind;
    const pmp_kv_entry* entry = nullptr;
    if (pmp_kv_lookup(card, &key, &entry) != 0) {
        return -1;
    }
    return mid_parse_value(card, entry->value);
}

void mid_validate(pipeline_device* card) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const card_mid* mid = card->mid;
    bool invalid = false;
    auto report = [&](ULONG what) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Invalid manufacturing configuration data (0x%x).\n", card->display_name,
                   what);
        invalid = true;
    };
    if (mid->tag26 != 4 && mid->tag26 != 8) {
        report(0x1A);
    }
    if (mid->tag27 != 1 && mid->tag27 != 2) {
        report(0x1B);
    }
    if (mid->nand_id_count == 0) {
        report(0x14);
    }
    if (invalid) {
        card->minimal_mode_reasons |= PAV_MINIMAL | PAV_MINIMAL_MID_INVALID;
    }
}

int load_mid(pipeline_device* card) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    card_mid* mid = card->mid;
    RtlZeroMemory(mid, offsetof(card_mid, factory));  // the factory record is read apart
    mid->tag4_flag = 2;
    mid->reduced_base = 0;
    mid->reduced_count = 0xFFFF;
    mid->powercut_level = 0;
    mid->core_temp_limit_c = 85;
    card->board_kind = 0;

    ULONG parsed = 0;
    static const ULONG copies[] = {SMP_RECORD_ADAPTER, SMP_RECORD_SECOND, SMP_RECORD_CONTROLLER};
    for (ULONG record : copies) {
        parsed += parse_mid(card, record) == 0 ? 1 : 0;
    }
    for (ULONG unit = 0; unit < 3; unit++) {
        if (parse_mid(card, SMP_RECORD_UNIT + unit) == 0) {
            parsed++;
            break;
        }
    }
    mid->highest_port = pmp_highest_port(card);
    // The cross-checks look at what all copies gave together, once; with no copy read at all
    // the data is missing rather than invalid.
    if (parsed != 0) {
        mid_validate(card);
    }
    const char* name = card->display_name;
    int result = 0;
    if ((mid->presence & MID_HAS_PRODUCT) == 0) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: MID missing Product section.\n", name);
        result = -1;
    }
    if ((mid->presence & MID_HAS_CONTROLLER) == 0) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: MID missing Controller section.\n", name);
        result = -1;
    }
    if ((mid->presence & MID_HAS_NAND) == 0) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: MID missing NAND section.\n", name);
        return -1;
    }
    return (mid->presence & MID_NAND_ITEM_FAILED) != 0 ? -1 : result;
}

void read_factory_record(pipeline_device* card) {
    PAGED_CODE();
    card_mid* mid = card->mid;
    mid->factory.valid = FALSE;
    if (card->generation != 3) {
        return;
    }
    UCHAR record[FACTORY_RECORD_SIZE];
    if (cmem_read(card, CMEM_FACTORY_RECORD, sizeof record, record, 1) != 0 || le_get_u32(record) != FACTORY_MAGIC) {
        return;
    }
    for (ULONG i = 0; i < 8; i++) {
        mid->factory.values[i] = le_get_u32(record + 8 + 4 * i);
    }
    for (ULONG t = 0; t < 2; t++) {
        RtlCopyMemory(mid->factory.text[t], record + 40 + 64 * t, 64);
        mid->factory.text[t][63] = 0;
    }
    mid->factory.valid = TRUE;
}
