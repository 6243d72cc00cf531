#include "sim/card/mid_writer.h"

#include <algorithm>
#include <array>

namespace sim::card {
namespace {

constexpr size_t mid_size = 1024;

std::array<uint16_t, 256> crc_table() {
    std::array<uint16_t, 256> t{};
    for (unsigned b = 0; b < 256; b++) {
        uint16_t r = (uint16_t)(b << 8);
        for (int i = 0; i < 8; i++) {
            r = (r & 0x8000) != 0 ? (uint16_t)(r << 1 ^ 0x1021) : (uint16_t)(r << 1);
        }
        t[b] = r;
    }
    return t;
}

}  // namespace

uint16_t crc16_ccitt_false(const uint8_t* bytes, size_t n) {
    static const std::array<uint16_t, 256> table = crc_table();
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; i++) {
        crc = (uint16_t)(crc << 8 ^ table[(crc >> 8 ^ bytes[i]) & 0xFF]);
    }
    return crc;
}

MidItem MidItem::number(uint8_t tag, uint32_t v, unsigned bytes) {
    MidItem item{tag, {}};
    for (unsigned i = 0; i < bytes; i++) {
        item.value.push_back((uint8_t)(v >> (8 * i)));
    }
    return item;
}

MidItem MidItem::text(uint8_t tag, const std::string& s) {
    return MidItem{tag, std::vector<uint8_t>(s.begin(), s.end())};
}

MidItem MidItem::blob(uint8_t tag, std::vector<uint8_t> bytes) {
    return MidItem{tag, std::move(bytes)};
}

MidItem* MidSection::find(uint8_t tag) {
    for (MidItem& i : items) {
        if (i.tag == tag) {
            return &i;
        }
    }
    return nullptr;
}

void MidSection::set(MidItem item) {
    if (MidItem* existing = find(item.tag)) {
        *existing = std::move(item);
    } else {
        items.push_back(std::move(item));
    }
}

void MidSection::remove(uint8_t tag) {
    items.erase(std::remove_if(items.begin(), items.end(), [tag](const MidItem& i) { return i.tag == tag; }),
                items.end());
}

MidSection* Mid::find(uint8_t id) {
    for (MidSection& s : sections) {
        if (s.id == id) {
            return &s;
        }
    }
    return nullptr;
}

std::vector<uint8_t> Mid::bytes() const {
    std::vector<uint8_t> out;
    for (const MidSection& s : sections) {
        std::vector<uint8_t> items;
        for (const MidItem& i : s.items) {
            items.push_back(i.tag);
            items.push_back((uint8_t)i.value.size());
            items.insert(items.end(), i.value.begin(), i.value.end());
        }
        uint16_t length = (uint16_t)((int)items.size() + 2 + s.length_delta);
        uint16_t check = crc16_ccitt_false(items.data(), items.size());
        if (s.bad_check) {
            check ^= 0x5A5A;
        }
        out.push_back(s.type);
        out.push_back(s.id);
        out.push_back((uint8_t)length);
        out.push_back((uint8_t)(length >> 8));
        out.insert(out.end(), items.begin(), items.end());
        out.push_back((uint8_t)check);
        out.push_back((uint8_t)(check >> 8));
    }
    out.resize(mid_size, 0xFF);
    return out;
}

Mid default_adapter_mid(const MidIdentity& id) {
    Mid m;
    m.sections.push_back({mid_product,
                          {MidItem::text(1, "Velkor Ombrel3 1.2TB"), MidItem::text(2, "Ombrel3"), MidItem::number(3, 1, 1),
                           MidItem::number(4, 1, 1), MidItem::text(10, "VKR-1200"), MidItem::text(11, "4.2.0"),
                           MidItem::number(12, 13000, 2),
                           MidItem::text(13, "6f1c2a3e-0d4b-4c11-9a7e-5b2f8c9d0e11")}});
    m.sections.push_back({mid_board,
                          {MidItem::text(1, id.adapter_serial), MidItem::text(2, "REV-B"), MidItem::number(3, 1, 1),
                           MidItem::number(4, 1, 1), MidItem::number(6, 4000, 2), MidItem::number(7, 1, 1),
                           MidItem::number(8, 0, 1), MidItem::number(11, 1000, 2)}});
    return m;
}

Mid default_controller_mid(const MidIdentity& id) {
    Mid m;
    m.sections.push_back({mid_board,
                          {MidItem::text(1, id.board_serial), MidItem::text(2, "REV-B"), MidItem::number(3, 6, 1),
                           MidItem::number(4, 1, 1), MidItem::number(6, 4000, 2), MidItem::number(7, 1, 1),
                           MidItem::number(8, 0, 1)}});
    m.sections.push_back({mid_controller,
                          {MidItem::number(1, 1200000), MidItem::number(23, 1600000), MidItem::number(2, 512, 2),
                           MidItem::number(3, 17000), MidItem::number(11, 0, 2), MidItem::number(12, 256, 2),
                           MidItem::number(13, 85, 1), MidItem::number(15, 0x0F, 1), MidItem::number(19, 8, 1),
                           MidItem::number(25, id.total_pads, 1), MidItem::number(26, id.banks, 1),
                           MidItem::number(27, 1, 1), MidItem::number(28, 1, 1),
                           MidItem::blob(29, std::vector<uint8_t>(30, 3)), MidItem::number(30, id.sni_rate),
                           MidItem::number(31, 0, 1)}});
    m.sections.push_back({mid_nand, {MidItem::number(14, 1, 1), MidItem::blob(20, id.nand_id)}});
    return m;
}

Mid default_unit_mid(const MidIdentity& id) {
    Mid m;
    m.sections.push_back({mid_nand, {MidItem::number(14, 1, 1), MidItem::blob(20, id.nand_id)}});
    return m;
}

}  // namespace sim::card
