// Erase-block headers and management records written to the card model and read back: the
// retry pass, blank blocks, wear inheritance at bring-up, the tail fill; and the on-media layout
// figures read from the media image.
#include <string>

#include "tests/driver/log/media_fixture.h"

namespace {

class HeaderMediaTest : public StoreMediaTest {
  protected:
    int read_header(USHORT eb) {
        std::vector<UCHAR> pads(eb_header_pads_buffer_size(channel()));
        std::vector<UCHAR> confirm(eb_header_confirm_size(channel()));
        dma_visible p(pads), c(confirm);
        return eb_header_read(channel(), eb, pads.data(), confirm.data());
    }
    eb_info* info(USHORT eb) { return ebinfo_get(channel(), eb); }
};

TEST_F(HeaderMediaTest, BringUpReadsHeadersAndRecordsAndBlankBlocksInheritWear) {
    InterlockedExchange(&info(2)->erase_count, 17);
    InterlockedExchange(&info(5)->erase_count, 30);
    leb_image a = take_leb(2);
    leb_image b = take_leb(5);
    put_packet(a, 0x90, 1000, 0x11);
    put_packet(b, 0x90, 2000, 0x22);
    program(a);
    program(b);
    const USHORT seed2 = info(2)->seed;
    const ULONG time5 = info(5)->erase_time;
    // A fresh table knows nothing of the blocks.
    for (USHORT eb = 0; eb < 16; eb++) {
        ebinfo_reset_eb(channel(), eb);
        InterlockedExchange(&info(eb)->erase_count, 0);
        info(eb)->erase_time = 0;
        info(eb)->seed = 0;
        info(eb)->condition = EB_COND_UNKNOWN;
        info(eb)->header_flags = 0;
    }
    const USHORT mapped_out[] = {7, EB_NONE};
    ASSERT_EQ(mgmt_data_read(channel(), mapped_out, nullptr), 0);
    EXPECT_EQ(info(7)->mel_mark, EB_MEL_MAPPED_OUT);
    EXPECT_EQ(info(7)->header_flags, 0) << "a mapped-out block is not read";
    EXPECT_EQ(info(2)->erase_count, 17);
    EXPECT_EQ(info(2)->seed, seed2);
    EXPECT_EQ(info(2)->header_state, EB_HEADER_ERASED) << "version 3";
    EXPECT_EQ(info(2)->condition, EB_COND_OPEN) << "the last segment still reads as erased";
    EXPECT_EQ(info(5)->erase_count, 30);
    EXPECT_EQ(info(5)->erase_time, time5);
    // Blank blocks: flag 2, condition 9, the first readable block's wear.
    EXPECT_EQ(info(3)->header_flags, EB_HFLAG_TRIED | EB_HFLAG_BLANK);
    EXPECT_EQ(info(3)->condition, EB_COND_BLANK);
    EXPECT_EQ(info(3)->erase_count, 17);
    EXPECT_EQ(ebinfo_table(channel())->attach_disabled, 0);

    // A failing map load disables attach but still maps the listed blocks out.
    const USHORT more[] = {9, EB_NONE};
    EXPECT_EQ(mgmt_data_read(channel(), more, [](nand_dev*) { return -5; }), -5);
    EXPECT_EQ(info(9)->mel_mark, EB_MEL_MAPPED_OUT);
    EXPECT_EQ(ebinfo_table(channel())->attach_disabled, 1);
    EXPECT_TRUE(logged("dov0: Unable to read management data - MEL.\n"));
}

TEST_F(HeaderMediaTest, AFullBlockEndsWithConditionFive) {
    leb_image a = take_leb(4);
    a.bytes.resize((size_t)segment_bytes() * geometry_.segments_per_eb, 0x5A);
    program(a);
    std::vector<UCHAR> buffer(mgmt_read_buffer_size(channel()));
    std::vector<UCHAR> confirm(eb_header_confirm_size(channel()));
    dma_visible p(buffer), c(confirm);
    info(4)->condition = EB_COND_UNKNOWN;
    ASSERT_EQ(mgmt_header_read_one(channel(), buffer.data(), confirm.data(), 4), 0);
    EXPECT_EQ(info(4)->condition, EB_COND_FULL);
    UCHAR opcode = 0;
    ASSERT_EQ(mgmt_record_read(channel(), buffer.data(), 4, &opcode, true), 0);
    EXPECT_EQ(opcode, MGMT_OPCODE);
    EXPECT_EQ(mgmt_record_of(buffer.data())->version, MGMT_VERSION);
    EXPECT_EQ(mgmt_record_of(buffer.data())->sequence, lebs_[4].sequence << 24);
}

// A header spoiled on media, and what the two passes make of it.
struct header_case {
    const char* name;
    void (*spoil)(std::vector<UCHAR>& image, ULONG packet, USHORT eb);
    const char* fault;  // injected before the read ("" none)
    int result;
    UCHAR flags;        // header flags beyond "tried"
};

void flip_both_copies(std::vector<UCHAR>& image, ULONG packet, USHORT) {
    image[20] ^= 0x01;
    image[packet + 20] ^= 0x01;
}
void flip_second_copy(std::vector<UCHAR>& image, ULONG packet, USHORT) {
    image[packet + 20] ^= 0x01;
}
void wrong_magic(std::vector<UCHAR>& image, ULONG packet, USHORT eb) {
    eb_header header;
    ASSERT_EQ(eb_first_packet_decode(image.data(), packet, 1024), 0);
    std::memcpy(&header, image.data(), sizeof header);
    header.magic = 0xFEEB1EF1;  // the CRC is made for it: only the magic is wrong
    bool plain = header.check == (USHORT)~header.seed;
    eb_header_build(&header, image.data(), packet, 1024, plain);
    (void)eb;
}
void keep(std::vector<UCHAR>&, ULONG, USHORT) {}

class HeaderCaseTest : public HeaderMediaTest, public ::testing::WithParamInterface<header_case> {};

TEST_P(HeaderCaseTest, TheRetryPassDecides) {
    const header_case& c = GetParam();
    leb_image a = take_leb(3);
    c.spoil(a.bytes, geometry_.packet_size, a.leb);
    program(a);
    if (c.fault[0] != '\0') model_->inject("read_uncorrectable", c.fault);
    info(3)->header_flags = 0;
    info(3)->condition = EB_COND_UNKNOWN;
    EXPECT_EQ(read_header(3), c.result);
    EXPECT_EQ(info(3)->header_flags, EB_HFLAG_TRIED | c.flags);
    if (c.result == 0) {
        EXPECT_EQ(info(3)->condition, EB_COND_HEADER_READ);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Headers, HeaderCaseTest,
    ::testing::Values(header_case{"good", keep, "", 0, 0},
                      header_case{"bad_crc", flip_both_copies, "", -5, EB_HFLAG_READ_FAILED},
                      header_case{"copies_disagree", flip_second_copy, "", -5, EB_HFLAG_READ_FAILED},
                      header_case{"wrong_magic", wrong_magic, "", -5, EB_HFLAG_READ_FAILED}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HeaderMediaTest, TheTailFillProgramsFromTheFirstErasedSegment) {
    leb_image a = take_leb(6);
    put_packet(a, 0x90, 77, 0x33);
    program(a);  // segments 0-4
    const ULONG written = (ULONG)((a.bytes.size() + segment_bytes() - 1) / segment_bytes());
    EXPECT_EQ(media_page_check_read(channel(), 6, written - 1), 0);
    EXPECT_EQ(media_page_check_read(channel(), 6, written), 1);
    ASSERT_EQ(eb_fill_unwritten_tail(channel(), 6, false), 0);
    EXPECT_EQ(info(6)->last_written_segment, written - 1);
    const ULONG limit = geometry_.fill_rows * geometry_.banks;
    for (ULONG s = 0; s < limit; s++) {
        EXPECT_EQ(model_->segment_state(6, s % 2, s / 2).kind, sim::card::SegmentKind::programmed) << s;
    }
    EXPECT_EQ(model_->segment_state(6, limit % 2, limit / 2).kind, sim::card::SegmentKind::erased);
    EXPECT_EQ(media_page_check_read(channel(), 6, limit - 1), 0);
}

TEST_F(HeaderMediaTest, AWholeBlockIsFilledInRunsOfAThousandSegments) {
    leb_image a = take_leb(8);
    program(a);
    ASSERT_EQ(eb_fill_unwritten_tail(channel(), 8, true), 0);
    const ULONG last = geometry_.segments_per_eb - 1;
    EXPECT_EQ(model_->segment_state(8, last % 2, last / 2).kind, sim::card::SegmentKind::programmed);
    EXPECT_EQ(media_page_check_read(channel(), 8, last), 0);
    EXPECT_EQ(eb_fill_unwritten_tail(channel(), 8, true), 0) << "a full block has no tail";
}

// The layout figures as the media image holds them (headers plain, so the image shows them).
TEST_F(StoreMediaTest, TheOnMediaLayoutFigures) {
    InterlockedExchange(&eb_headers_plain, 1);
    leb_image a = take_leb(5);
    const USHORT eb = a.leb;
    put_packet(a, 0x90, 0x0000123456789ABCull, 0x11);                    // packet 0
    put_packet(a, 0xA0, SYS_ADDR_DISCARD_NOTE, 0x00);                   // packet 1: the discard note
    put_packet(a, 0xA0, SYS_ADDR_EB_NOTE + eb, 0x00);                   // packet 2: an EB note
    const ULONG64 note = put_note(a, LOG_OP_CHECKPOINT, 40, 0x77);      // a 40-byte note, then 0xF3
    for (int i = 0; i < 61; i++) put_packet(a, 0x95, 5000 + i, 0x44);   // across a segment boundary
    program(a);
    const ULONG seg = segment_bytes();
    auto at = [&](ULONG64 byte, size_t n) {
        ULONG segment = (ULONG)(byte / seg);
        return model_->media_peek(eb, segment % 2, segment / 2, byte % seg, n);
    };
    using bytes = std::vector<uint8_t>;
    const ULONG p = packet();
    const ULONG h = head();
    EXPECT_EQ(p, 520u);
    EXPECT_EQ(h, 131072u) << "16 KiB pages, 4 to a row: 5 pages rounded to two rows";
    EXPECT_EQ(log_.geometry.tail_reserve, 520u * 20);
    const struct {
        const char* what;
        ULONG64 byte;
        bytes expected;
    } figures[] = {
        {"EB header magic", 12, {0xF0, 0x1E, 0xEB, 0xFE}},
        {"EB header block number", 6, {(uint8_t)eb, 0}},
        {"EB header version 3", 4, {3, 0}},
        {"EB header data start", 28, {0x00, 0x00, 0x02, 0x00}},
        {"EB header chunk size and fill", 32, {0x00, 0x04, 0x00, 0xA5}},
        {"second header copy", 4096 + 12, {0xF0, 0x1E, 0xEB, 0xFE}},
        {"opener at byte 48: opcode and EBO number", 48, {0x84, 0xFF, 0xFF, 0xFF, (uint8_t)eb, 0x00, 0xFE, 0xFF}},
        {"opener version 0x501", 48 + 10, {0x01, 0x05}},
        {"0xFA up to the head reserve", h - 8, bytes(8, 0xFA)},
        {"packet 0 at H", h, {0x90, 0x00, 0x34, 0x12, 0xBC, 0x9A, 0x78, 0x56}},
        {"discard note at H + P", h + p, {0xA0, 0xFF, 0xFF, 0xFF, 0xF0, 0x79, 0xFF, 0xFF}},
        {"EB note at H + 2P", h + 2 * p, {0xA0, 0xFF, 0xFF, 0xFF, (uint8_t)eb, 0x00, 0xFC, 0xFF}},
        {"40-byte note at H + 3P", note, {0x87, 0x77, 0x77, 0x77}},
        {"0xF3 after the note's 40 bytes", note + 40, {0xF3}},
        {"the next packet in the next slot", h + 4 * p, {0x95, 0x00, 0x00, 0x00, 0x88, 0x13, 0x00, 0x00}},
        {"packet 63: its header ends segment 4", h + 63 * p, {0x95, 0x00, 0x00, 0x00, 0xC3, 0x13, 0x00, 0x00}},
        {"packet 64 in segment 5", h + 64 * p, {0x95, 0x00, 0x00, 0x00, 0xC4, 0x13, 0x00, 0x00}},
    };
    for (const auto& f : figures) {
        EXPECT_EQ(at(f.byte, f.expected.size()), f.expected) << f.what;
    }
    EXPECT_EQ(h + 63 * p + 8, 5 * (ULONG64)seg) << "segment 4 (bank 0 of row 2) ends with packet 63's header";
    EXPECT_EQ(at(h + 63 * p + 8, 4), bytes(4, 0x44)) << "its body goes on in segment 5";
}

}  // namespace
