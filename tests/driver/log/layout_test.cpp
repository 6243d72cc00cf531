// The on-media layouts the store writes, checked as byte images: the erase-block header with its
// CRC and keystream, the first packet, the management header and the EB note, packet headers,
// entry lengths, reserved addresses and the erase-block index.
#include <array>
#include <vector>

#include "driver/log/eb_header.h"
#include "driver/log/log_entry.h"
#include "driver/log/mgmt.h"
#include "tests/driver/log/store_fixture.h"

namespace {

class LayoutTest : public StoreTest {};

ULONG le32(const UCHAR* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | (ULONG)p[3] << 24;
}
USHORT le16(const UCHAR* p) {
    return (USHORT)(p[0] | p[1] << 8);
}

TEST(EbHeaderCodec, CrcAndKeystreamConstants) {
    EXPECT_EQ(crc32k("123456789", 9), 0x2D3DD0AEu);
    EXPECT_EQ(eb_keystream_word(0), 0u);
    EXPECT_EQ(eb_keystream_word(1), 0x3500C525B001C2B1ull);
    EXPECT_EQ(eb_keystream_word(0x8001), eb_keystream_word(1)) << "15 bits";
    // Scrambling a region: byte k >= 4 with byte k mod 8 of W(seed + k / 8).
    std::array<UCHAR, 24> region{};
    eb_scramble_region(region.data(), region.size(), 1);
    for (ULONG k = 0; k < 4; k++) EXPECT_EQ(region[k], 0) << k;
    for (ULONG k = 4; k < region.size(); k++) {
        EXPECT_EQ(region[k], (UCHAR)(eb_keystream_word(1 + k / 8) >> (8 * (k % 8)))) << k;
    }
    eb_scramble_region(region.data(), region.size(), 1);
    for (auto b : region) EXPECT_EQ(b, 0) << "its own inverse";
}

TEST(EbHeaderCodec, PlainHeaderBytes) {
    eb_header h;
    eb_header_fill(&h, 0, true, EB_HEADER_WRITTEN, 0x0102, 0xFFFFFFFF, 0x5F5E1000, 7, 131072, 1024);
    h.crc = ~crc32k(&h, 44);
    const UCHAR* b = (const UCHAR*)&h;
    const UCHAR expect_head[] = {0x00, 0x00, 0xFF, 0xFF, 0x04, 0x00, 0x02, 0x01, 0xFF, 0xFF, 0xFF, 0x3F,
                                 0xF0, 0x1E, 0xEB, 0xFE, 0x00, 0x10, 0x5E, 0x5F, 0, 0, 0, 0,
                                 0x07, 0, 0, 0, 0x00, 0x00, 0x02, 0x00, 0x00, 0x04, 0x00};
    for (ULONG i = 0; i < sizeof(expect_head); i++) EXPECT_EQ(b[i], expect_head[i]) << "byte " << i;
    for (ULONG i = 35; i < 44; i++) EXPECT_EQ(b[i], 0xA5) << "fill " << i;
    EXPECT_EQ(le32(b + 44), ~crc32k(b, 44));
    eb_header out;
    EXPECT_EQ(eb_header_decode(&out, b), 0);
    EXPECT_EQ(eb_header_pad_mask(&out), 0x3FFFFFFFu);
}

TEST(EbHeaderCodec, DecodeRefusesBadHeaders) {
    eb_header h;
    eb_header_fill(&h, 1234, false, EB_HEADER_ERASED, 9, 0x3, 100, 2, 4096, 1024);
    h.crc = ~crc32k(&h, 44);
    UCHAR image[48];
    std::memcpy(image, &h, 48);
    eb_scramble_region(image, 48, 1234);
    eb_header out;
    ASSERT_EQ(eb_header_decode(&out, image), 0);
    EXPECT_EQ(out.eb, 9);
    EXPECT_EQ(out.version, 3);
    EXPECT_EQ(le16(image), 1234) << "seed and check stay in clear";
    EXPECT_EQ(le16(image + 2), 1234 ^ 3);
    // Every bit of bytes 0-43 counts (bytes 0-3 change the form, the rest the CRC).
    for (ULONG bit = 0; bit < 44 * 8; bit++) {
        UCHAR bad[48];
        std::memcpy(bad, image, 48);
        bad[bit / 8] ^= (UCHAR)(1u << (bit % 8));
        EXPECT_EQ(eb_header_decode(&out, bad), -22) << "bit " << bit;
    }
    UCHAR erased[48];
    std::memset(erased, 0xFF, 48);
    erased[10] = 0;
    EXPECT_EQ(eb_header_decode(&out, erased), -2) << "FF FF FF FF first";
    // A wrong version or magic with a good CRC.
    for (int field = 0; field < 2; field++) {
        eb_header v = h;
        if (field == 0) v.version = 5;
        else v.magic = 0xFEEB1EF1;
        v.crc = ~crc32k(&v, 44);
        EXPECT_EQ(eb_header_decode(&out, (const UCHAR*)&v), -22) << field;
    }
    // A plain header is accepted whatever the driver-wide form.
    eb_header plain;
    eb_header_fill(&plain, 0, true, EB_HEADER_WRITTEN, 9, 0x3, 100, 2, 4096, 1024);
    plain.crc = ~crc32k(&plain, 44);
    EXPECT_EQ(eb_header_decode(&out, (const UCHAR*)&plain), 0);
}

TEST(EbHeaderCodec, FirstPacketCarriesTwoCopiesAndThePayload) {
    const ULONG packet = 4096, chunk = 1024;
    for (bool plain : {false, true}) {
        std::vector<UCHAR> buffer(packet + chunk + 48, 0xEE);
        for (ULONG i = 96; i < packet + 48; i++) buffer[i] = (UCHAR)(i * 7);
        eb_header h;
        eb_header_fill(&h, plain ? 0 : 777, plain, EB_HEADER_ERASED, 3, 0x3, 100, 2, 4096, chunk);
        eb_header_build(&h, buffer.data(), packet, chunk, plain);
        eb_header first, copy;
        ASSERT_EQ(eb_header_decode(&first, buffer.data()), 0);
        ASSERT_EQ(eb_header_decode(&copy, buffer.data() + packet), 0);
        EXPECT_EQ(std::memcmp(&first, &copy, 48), 0);
        EXPECT_EQ(std::memcmp(buffer.data(), buffer.data() + packet, 48), 0) << "the stored copies agree";
        ASSERT_EQ(eb_first_packet_decode(buffer.data(), packet, chunk), 0);
        for (ULONG i = 96; i < packet + 48; i++) ASSERT_EQ(buffer[i], (UCHAR)(i * 7)) << i;
    }
}

TEST_F(LayoutTest, HeadersApplyToTheirBlock) {
    init(small_store_geometry(4));
    eb_header h;
    eb_header_fill(&h, 55, false, EB_HEADER_WRITTEN, 1, 0x1, 100, 2, 4096, 1024);
    ASSERT_EQ(eb_header_apply(&channel_, 1, &h), 0);
    EXPECT_EQ(info(1)->seed, 55);
    EXPECT_EQ(info(1)->header_state, EB_HEADER_WRITTEN);
    EXPECT_EQ(info(1)->banks[0].usable_bytes, 16384u) << "bank 0 recomputed from the header's mask";
    h.version = 3;
    ASSERT_EQ(eb_header_apply(&channel_, 1, &h), 0);
    EXPECT_EQ(info(1)->header_state, EB_HEADER_ERASED);
    h.version = 0xA5A5;
    EXPECT_EQ(eb_header_apply(&channel_, 1, &h), -22);
    table()->geometry.erased_state = 0;
    h.version = 4;
    EXPECT_EQ(eb_header_apply(&channel_, 1, &h), -22);
    EXPECT_EQ(info(1)->header_state, EB_HEADER_NONE);

    // Written from the record: the block's seed scrambles both regions.
    table()->geometry.erased_state = 1;
    table()->layout.data_start = 131072;
    ebinfo_prepare_erased(&channel_, 2);
    std::vector<UCHAR> buffer(4096 + 1024 + 48, 0);
    ASSERT_EQ(eb_header_write(&channel_, 2, buffer.data()), 0);
    eb_header out;
    ASSERT_EQ(eb_header_decode(&out, buffer.data()), 0);
    EXPECT_EQ(out.seed, info(2)->seed);
    EXPECT_EQ(out.version, 3);
    EXPECT_EQ(out.data_start, 131072u);
    EXPECT_EQ(out.erase_time, info(2)->erase_time);
    EXPECT_EQ(eb_header_write(&channel_, 9, buffer.data()), -22) << "no such block";
}

TEST(LogEntries, OpcodeLengths) {
    const ULONG P = 520, T = 10400;
    for (int op = 0; op < 256; op++) {
        ULONG length = 0;
        int rc = log_entry_length_of((UCHAR)op, P, T, &length);
        int expect_rc = 0;
        ULONG expect = 0;
        if (op == 0x85) expect = T;
        else if (op == 0x87 || op == 0x89) expect = 40;
        else if (op == 0x8A) expect = 4104;
        else if (op == 0x8B) expect = 48;
        else if (op == 0x88 || op == 0x8D || op == 0x8E || op == 0x8F || (op >= 0x90 && op <= 0xAF)) expect = P;
        else if (op == 0xF3 || op == 0xF7 || op == 0xFA || op == 0xFF) expect = 8;
        else expect_rc = -22;
        EXPECT_EQ(rc, expect_rc) << std::hex << op;
        if (rc == 0) {
            EXPECT_EQ(length, expect) << std::hex << op;
        }
    }
    EXPECT_EQ(log_opcode_fold(0x95), 0x90);
    EXPECT_EQ(log_opcode_fold(0xAF), 0xA0);
    EXPECT_EQ(log_opcode_fold(0x8E), 0x8E);
}

TEST(LogEntries, PacketHeaderBytes) {
    struct header_case {
        UCHAR opcode;
        ULONG64 address;
        std::array<UCHAR, 8> bytes;
    } cases[] = {
        {0xA0, SYS_ADDR_DISCARD_NOTE, {0xA0, 0xFF, 0xFF, 0xFF, 0xF0, 0x79, 0xFF, 0xFF}},
        {0x84, mgmt_ebo_number(5), {0x84, 0xFF, 0xFF, 0xFF, 0x05, 0x00, 0xFE, 0xFF}},
        {0x90, 0x00123456789ABCDEull, {0x90, 0x12, 0x56, 0x34, 0xDE, 0xBC, 0x9A, 0x78}},
        {0x8E, 0x7FFFF800000008ull, {0x8E, 0x7F, 0xF8, 0xFF, 0x08, 0, 0, 0}},  // a metadata block's
    };
    for (const auto& c : cases) {
        std::array<UCHAR, 8> out;
        pkt_header_encode(out.data(), c.opcode, c.address);
        EXPECT_EQ(out, c.bytes) << std::hex << c.address;
        UCHAR op;
        ULONG64 address;
        pkt_header_decode(c.bytes.data(), &op, &address);
        EXPECT_EQ(op, c.opcode);
        EXPECT_EQ(address, c.address & LOG_ADDR_MASK);
        ULONG64 word = pkt_header_word(c.opcode, c.address);
        EXPECT_EQ(std::memcmp(&word, c.bytes.data(), 8), 0);
    }
    // The EBO number gives the block back: the word at 4 plus 0x20000.
    UCHAR ebo[8];
    pkt_header_encode(ebo, 0x84, mgmt_ebo_number(5));
    EXPECT_EQ((ULONG)(le32(ebo + 4) + 0x20000u), 5u);
}

TEST(LogEntries, ReservedAddresses) {
    struct addr_case {
        ULONG64 address;
        sys_addr_kind kind;
    } cases[] = {
        {0x00FFFFFFFFFC0000ull + 7, SYS_KIND_EB_NOTE},
        {0xFFFFFFFFFC0000ull + 0x1FFFF, SYS_KIND_EB_NOTE},
        {0xFFFFFFFAF5C000ull, SYS_KIND_DATA},
        {0xFFFFFFFAF5C000ull + 16383, SYS_KIND_DATA},
        {0xFFFFFFFAF5C000ull + 16384, SYS_KIND_OTHER},
        {0xFFFFFFFEF70000ull, SYS_KIND_DATA},
        {0xFFFFFFFFF6FFFFull, SYS_KIND_DATA},
        {0xFFFFFFFFF70000ull, SYS_KIND_ATTACH_DISCARD},
        {0xFFFFFFFFF8FFFFull, SYS_KIND_ATTACH_DISCARD},
        {0xFFFFFFFFFF79D0ull + 15, SYS_KIND_ONE_PACKET_NOTE},
        {0xFFFFFFFFFF79E0ull, SYS_KIND_LEB_LIST_NOTE},
        {0xFFFFFFFFFF79F0ull, SYS_KIND_DISCARD_NOTE},
        {0xFFFFFFFFFF7A00ull + 0x3FF, SYS_KIND_MD_REGION},
        {0xFFFFFFFFFF7E00ull, SYS_KIND_OTHER},
        {0x1000, SYS_KIND_OTHER},
    };
    for (const auto& c : cases) EXPECT_EQ(sys_addr_classify(c.address), c.kind) << std::hex << c.address;
}

TEST(LogEntries, IndexWordsDecodeToEntries) {
    const ULONG P = 520;
    std::vector<ULONG64> words = {
        ebi_offset_word(131072, 0),                // start at H
        ebi_run_word(5, 1000),                     // 5 data packets from address 1000
        ebi_run_word(1, 77),                       // a single packet
        ebi_entry_word(0xA3, SYS_ADDR_EB_NOTE + 4),  // an EB note (folded to 0xA0)
        ebi_offset_word(140000, 3),                // a jump, and a count of 3 for the next entry
        ebi_entry_word(0x8E, 0x800),
        ebi_run_word(128, 5000),                   // clipped at the capacity
        ebi_run_word(2, 9),                        // beyond it: dropped
        0,                                         // the end
        ebi_run_word(2, 1),
    };
    ebi_walk walk;
    ULONG64 capacity = 140000 + 3 * P + 10 * P;
    ebi_walk_init(&walk, words.data(), (ULONG)words.size(), P, false, capacity);
    std::vector<ebi_entry> seen;
    ebi_entry e;
    while (ebi_walk_next(&walk, &e) == 1) seen.push_back(e);
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[0].offset, 131072u);
    EXPECT_EQ(seen[0].opcode, 0x90);
    EXPECT_EQ(seen[0].count, 5u);
    EXPECT_EQ(seen[0].address, 1000u);
    EXPECT_EQ(seen[1].offset, 131072u + 5 * P);
    EXPECT_EQ(seen[1].count, 1u);
    EXPECT_EQ(seen[2].opcode, 0xA0);
    EXPECT_EQ(seen[2].address, SYS_ADDR_EB_NOTE + 4);
    EXPECT_EQ(seen[3].offset, 140000u);
    EXPECT_EQ(seen[3].opcode, 0x8E);
    EXPECT_EQ(seen[3].count, 3u);
    EXPECT_EQ(seen[4].offset, 140000u + 3 * P);
    EXPECT_EQ(seen[4].count, 10u) << "a run clipped to the capacity";
    // Kind 2 counts offsets in eighths.
    std::vector<ULONG64> eighths = {ebi_offset_word(131072 / 8, 0), ebi_run_word(2, 5)};
    ebi_walk_init(&walk, eighths.data(), 2, P, true, capacity);
    ASSERT_EQ(ebi_walk_next(&walk, &e), 1);
    EXPECT_EQ(e.offset, 131072u);
}

TEST_F(LayoutTest, ManagementHeaderImage) {
    store_geometry g = small_store_geometry(16);
    init(g);
    info(3)->erase_count = 42;
    info(3)->erase_time = 0x01020304;
    InterlockedOr(&info(3)->flags, EB_FLAG_RELAXED_SPLIT);
    info(3)->banks[1].saved_mask = 0x1;
    ebinfo_recompute_eb(&channel_, 3);
    info(0)->mel_mark = EB_MEL_COPY;
    eb_layout layout = {131072, 10400, 512, 520};
    std::vector<UCHAR> buffer(mgmt_region_size(&g) + 16, 0x11);
    mgmt_header* record = nullptr;
    ASSERT_EQ(mgmt_header_build(&channel_, buffer.data(), mgmt_region_size(&g), 3, &layout, &record), 0);
    ASSERT_EQ((UCHAR*)record, buffer.data() + 96);
    const UCHAR* m = buffer.data() + 96;
    const UCHAR head[] = {0x84, 0xFF, 0xFF, 0xFF, 0x03, 0x00, 0xFE, 0xFF, 0x01, 0x02, 0x01, 0x05};
    for (ULONG i = 0; i < sizeof(head); i++) EXPECT_EQ(m[i], head[i]) << "byte " << i;
    EXPECT_EQ(le32(m + 12), 131072u);
    EXPECT_EQ(le32(m + 16), 42u);
    EXPECT_EQ(le32(m + 20), 0x01020304u);
    EXPECT_EQ(le32(m + 28), 0x3u) << "bank 0 raw mask (one plane: one word per bank)";
    EXPECT_EQ(le32(m + 32), 0x1u) << "bank 1 raw mask";
    EXPECT_EQ(le32(m + 92), 0x51A7C0DEu);
    EXPECT_EQ(m[96], 1);
    EXPECT_EQ(m[104], 1);
    EXPECT_EQ(m[168], 1);
    EXPECT_EQ(le32(m + 128), 512u);
    EXPECT_EQ(le32(m + 132), 10400u);
    // State map: EB 0 has a map mark (3), EB 3 is this one (1), the rest erased (2).
    EXPECT_EQ(m[464], (UCHAR)(3 | 2 << 2 | 2 << 4 | 1 << 6));
    EXPECT_EQ(m[465], 0xAA);
    EXPECT_EQ(m[468], 0) << "no block 16";
    for (ULONG i = 0; i < 96; i++) ASSERT_EQ(buffer[i], 0xFA) << "fill " << i;
    EXPECT_EQ(buffer[96 + 4560], 0xFA) << "past the record, within the data start";
    EXPECT_EQ(buffer[mgmt_region_size(&g)], 0x11) << "the fill stops at the buffer's end";
    EXPECT_EQ(mgmt_header_build(&channel_, buffer.data(), 4000, 3, &layout, &record), -22);

    // The region read back: 4656 rounded to codewords (5120), at least a packet plus a codeword
    // (5120), rounded to two packets (8192).
    EXPECT_EQ(mgmt_region_size(&g), 8192u);

    // A card of more than 16384 blocks keeps its map inside the header: the rest read unknown.
    std::vector<UCHAR> map(MGMT_STATE_MAP_BYTES + 64, 0xEE);
    eb_table* t = table();
    ULONG saved = t->count;
    t->count = 20000;
    EXPECT_EQ(mgmt_state_map_build(&channel_, map.data(), 0, [](void*, USHORT) { return (UCHAR)1; }, nullptr),
              MGMT_STATE_MAP_BYTES);
    t->count = saved;
    EXPECT_EQ(map[MGMT_STATE_MAP_BYTES - 1], 0x55);
    EXPECT_EQ(map[MGMT_STATE_MAP_BYTES], 0xEE) << "nothing written past the header";
    EXPECT_EQ(mgmt_state_map_get(map.data(), 16383), MGMT_STATE_WRITTEN);
    EXPECT_EQ(mgmt_state_map_get(map.data(), 20000), MGMT_STATE_UNKNOWN);
}

TEST_F(LayoutTest, EbNoteImage) {
    init(small_store_geometry(8));
    info(6)->erase_count = 9;
    info(6)->erase_time = 1000;
    info(6)->banks[0].saved_mask = 0x2;
    eb_note note;
    ASSERT_EQ(eb_note_build(&channel_, &note, 6, MGMT_STATE_ERASED), 0);
    const UCHAR* b = (const UCHAR*)&note;
    const UCHAR head[] = {0xA0, 0xFF, 0xFF, 0xFF, 0x06, 0x00, 0xFC, 0xFF};
    for (ULONG i = 0; i < 8; i++) EXPECT_EQ(b[i], head[i]) << i;
    EXPECT_EQ(le32(b + 8), 9u);
    EXPECT_EQ(le32(b + 12), 1000u);
    EXPECT_EQ(b[16], MGMT_STATE_ERASED);
    EXPECT_EQ(le32(b + 20), 0x2u);
    EXPECT_EQ(le32(b + 24), 0x3u);
    EXPECT_EQ(eb_note_build(&channel_, &note, 99, 1), -2);
}

}  // namespace
