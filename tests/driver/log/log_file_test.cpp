// The log reader over LEBs written to the card model: entries of every kind read back byte-exact
// forwards, packet slots backwards across LEBs, an erased page ending an LEB, the LEB limit, and
// bad media input.
#include "driver/log/log_file.h"

#include <string>

#include "tests/driver/log/media_fixture.h"

namespace {

struct entry {
    USHORT leb;
    ULONG64 byte;
    UCHAR opcode;  // as the reader returns it
    ULONG length;
};

class LogFileTest : public StoreMediaTest {
  protected:
    void TearDown() override {
        log_file_destroy(reader_);
        StoreMediaTest::TearDown();
    }
    void create() { ASSERT_EQ(log_file_create(&reader_, &log_), 0); }

    void add(leb_image& image, UCHAR opcode, ULONG64 address, UCHAR fill, const std::vector<UCHAR>& body = {}) {
        ULONG64 at = put_packet(image, opcode, address, fill, body);
        expected_.push_back({image.leb, at, log_opcode_fold(opcode), packet()});
    }
    void add_note(leb_image& image, UCHAR opcode, ULONG length, UCHAR fill) {
        ULONG64 at = put_note(image, opcode, length, fill);
        expected_.push_back({image.leb, at, opcode, length});
    }
    const std::vector<UCHAR>& image_of(USHORT leb) {
        for (auto& i : images_) {
            if (i.leb == leb) return i.bytes;
        }
        static std::vector<UCHAR> none;
        return none;
    }

    log_file* reader_ = nullptr;
    std::vector<entry> expected_;
    std::vector<leb_image> images_;
};

TEST_F(LogFileTest, EntriesReadBackForwardsAndPacketsBackwardsAcrossThreeLebs) {
    leb_image a = take_leb(2);
    leb_image b = take_leb(3);
    leb_image c = take_leb(4);
    ASSERT_EQ(lebs_[2].next, 3);
    ASSERT_EQ(lebs_[4].previous, 3);
    // LEB 2: data packets of every class, an EB note, notes and metadata; it ends where a packet
    // slot crosses into a segment that was never programmed.
    for (ULONG k = 0; k < 70; k++) add(a, (UCHAR)(0x90 + k % 16), 10000 + k, (UCHAR)k);
    std::vector<UCHAR> note(88, 0);
    note[8] = 7;
    add(a, 0xA0, SYS_ADDR_EB_NOTE + 2, 0, note);
    add_note(a, LOG_OP_CHECKPOINT, 40, 0x87);
    add(a, 0xA0, SYS_ADDR_DISCARD_NOTE, 0);
    add(a, 0x8E, 0x1234ull * 8, 0x8E);
    add_note(a, LOG_OP_MD_HEADER, 40, 0x89);
    const ULONG seg = segment_bytes();
    while ((a.at + packet()) / seg == a.at / seg) add(a, 0x90, 20000 + a.at, 0x5A);
    pad_to_slot(a);
    grow(a, a.at + 8);
    a.bytes[a.at] = LOG_OP_PAD_F7;  // the slot that crosses the segment end
    a.bytes.resize(a.at / seg * seg + seg);
    // LEB 3: a trim note, a space entry handed to the caller, a large note and packets.
    for (ULONG k = 0; k < 40; k++) add(b, 0x9F, 30000 + k, (UCHAR)(k + 1));
    add(b, 0xA8, SYS_ADDR_LEB_LIST_NOTE, 0x01);
    add_note(b, LOG_OP_SPACE_FA, 8, 0xFA);
    add_note(b, LOG_OP_LARGE_NOTE, 4104, 0x8A);
    for (ULONG k = 0; k < 80; k++) add(b, 0x90, 40000 + k, (UCHAR)(k + 7));
    // LEB 4: packets, then programmed 0xFF.
    for (ULONG k = 0; k < 30; k++) add(c, 0x91, 50000 + k, (UCHAR)(k + 3));
    images_ = {a, b, c};
    program(a);
    program(b);
    program(c);
    EXPECT_EQ(model_->segment_state(2, (a.bytes.size() / seg) % 2, (a.bytes.size() / seg) / 2).kind,
              sim::card::SegmentKind::erased);

    create();
    ASSERT_EQ(log_file_open(reader_, nullptr, LOG_FILE_FORWARD, LOG_FILE_NO_LIMIT), 0);
    std::vector<UCHAR> bytes;
    for (const entry& e : expected_) {
        UCHAR opcode = 0;
        ASSERT_EQ(log_file_next_entry(reader_, &opcode), 0) << e.leb << "+" << e.byte;
        log_file_pos where;
        log_file_where(reader_, &where);
        ASSERT_EQ(where.leb, e.leb);
        ASSERT_EQ(where.byte, e.byte);
        EXPECT_EQ(opcode, e.opcode);
        bytes.assign(e.length, 0);
        ASSERT_EQ(log_file_copy_out(reader_, bytes.data(), e.length), 0);
        const auto& image = image_of(e.leb);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), image.begin() + e.byte)) << e.leb << "+" << e.byte;
        ASSERT_EQ(log_entry_skip(reader_, opcode), 0);
    }
    UCHAR opcode = 0;
    EXPECT_EQ(log_file_next_entry(reader_, &opcode), -2) << "the end of the chain";

    // Backward from the end of LEB 4's packets: every packet slot's header, then across into
    // LEB 3, whose slots end at its data end (erased there).
    log_file_pos end{4, c.at};
    ASSERT_EQ(log_file_open(reader_, &end, LOG_FILE_BACKWARD, 1), 0);
    for (ULONG64 slot = c.at; slot > head();) {
        slot -= packet();
        ASSERT_EQ(log_file_skip(reader_, packet()), 0);
        UCHAR header[8];
        ASSERT_EQ(log_file_copy_out(reader_, header, 8), 0);
        EXPECT_TRUE(std::equal(header, header + 8, c.bytes.begin() + slot)) << slot;
    }
    ASSERT_EQ(log_file_skip(reader_, packet()), 0);
    log_file_pos where;
    log_file_where(reader_, &where);
    EXPECT_EQ(where.leb, 3);
    EXPECT_EQ(where.byte, log_leb_data_end(&log_, 3) - packet());
    ASSERT_EQ(log_file_peek_opcode(reader_, &opcode), 0);
    EXPECT_EQ(opcode, LOG_OP_EMPTY);
    // LEB 3 read backward from its last packet: slots (and the packet that straddles a unit).
    end = {3, b.at};
    ASSERT_EQ(log_file_open(reader_, &end, LOG_FILE_BACKWARD, 0), 0);
    for (ULONG64 slot = b.at; slot > head();) {
        slot -= packet();
        ASSERT_EQ(log_file_skip(reader_, packet()), 0);
        bytes.assign(packet(), 0);
        ASSERT_EQ(log_file_copy_out(reader_, bytes.data(), packet()), 0);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), b.bytes.begin() + slot)) << slot;
    }
    EXPECT_EQ(log_file_skip(reader_, packet()), -2) << "no LEB may be entered";
    EXPECT_EQ(log_file_skip(reader_, 8), -2);
}

TEST_F(LogFileTest, AnEmptyLogAndAnErasedUnit) {
    create();
    EXPECT_EQ(log_file_open(reader_, nullptr, LOG_FILE_FORWARD, LOG_FILE_NO_LIMIT), -2) << "no head LEB";
    leb_image a = take_leb(2);
    images_ = {a};
    program(a);  // the opener and nothing after it: the first unit at H was never programmed
    ASSERT_EQ(log_file_open(reader_, nullptr, LOG_FILE_FORWARD, LOG_FILE_NO_LIMIT), 0);
    UCHAR opcode = 0;
    EXPECT_EQ(log_file_next_entry(reader_, &opcode), -2);
    log_file_pos at{2, head()};
    ASSERT_EQ(log_file_open(reader_, &at, LOG_FILE_FORWARD, 0), 0);
    ASSERT_EQ(log_file_peek_opcode(reader_, &opcode), 0);
    EXPECT_EQ(opcode, LOG_OP_EMPTY) << "an erased unit reads as all ones";
    EXPECT_EQ(reader_->error_count, 0u);
}

// Bad media input: a message and an error, never a crash or a hang.
struct bad_case {
    const char* name;
    // Lays out LEBs 2 and 3 (chained) and returns where the reader opens (LEB 65535: the head).
    log_file_pos (*lay_out)(leb_image& a, leb_image& b);
    int at_entry;    // what next_entry or the entry's skip gives
    const char* message;
    bool counted;    // further steps give -5
};

class BadInputTest : public LogFileTest, public ::testing::WithParamInterface<bad_case> {};

log_file_pos unknown_opcode(leb_image& a, leb_image&) {
    a.bytes.resize(a.at + 520, 0x00);
    a.bytes[a.at] = 0x86;
    return {PAV_NO_LEB, 0};
}

log_file_pos invalid_open(leb_image& a, leb_image&) {
    // The opener's opcode spoiled under the header's scrambling.
    eb_header header;
    std::vector<UCHAR> first(a.bytes.begin(), a.bytes.begin() + 5120);
    EXPECT_EQ(eb_first_packet_decode(first.data(), 4096, 1024), 0);
    std::memcpy(&header, first.data(), sizeof header);
    first[96] = 0x83;
    eb_header_build(&header, first.data(), 4096, 1024, header.check == (USHORT)~header.seed);
    std::copy(first.begin(), first.begin() + 5120, a.bytes.begin());
    return {PAV_NO_LEB, 0};
}

log_file_pos chain_loops(leb_image& a, leb_image& b) {
    a.bytes.resize(a.at + 520, 0x11);
    a.bytes[a.at] = 0x90;
    b.bytes.resize(b.at + 520, 0x22);
    b.bytes[b.at] = 0x90;
    return {PAV_NO_LEB, 0};
}

TEST_P(BadInputTest, GivesTheMessageAndTheError) {
    const bad_case& c = GetParam();
    leb_image a = take_leb(2);
    leb_image b = take_leb(3);
    log_file_pos start = c.lay_out(a, b);
    if (std::string(c.name) == "chain_loops") {
        lebs_[3].next = 2;
    }
    images_ = {a, b};
    program(a);
    program(b);
    create();
    ASSERT_EQ(log_file_open(reader_, start.leb == PAV_NO_LEB ? nullptr : &start, LOG_FILE_FORWARD, LOG_FILE_NO_LIMIT),
              0);
    int rc = 0;
    for (int steps = 0; steps < 100000 && rc == 0; steps++) {
        UCHAR opcode = 0;
        rc = log_file_next_entry(reader_, &opcode);
        if (rc == 0) rc = log_entry_skip(reader_, opcode);
    }
    EXPECT_EQ(rc, c.at_entry);
    EXPECT_TRUE(logged(c.message)) << c.message;
    UCHAR opcode = 0;
    EXPECT_EQ(log_file_next_entry(reader_, &opcode), c.counted ? -5 : c.at_entry == -22 ? 0 : c.at_entry);
}

INSTANTIATE_TEST_SUITE_P(
    Media, BadInputTest,
    ::testing::Values(bad_case{"unknown_opcode", unknown_opcode, -22, "dov0: unknown entry 0x86 seen in log @2+131072\n",
                               false},
                      bad_case{"invalid_open", invalid_open, -22,
                               "dov0: Discovered invalid open for erase block    2\n", true},
                      bad_case{"chain_loops", chain_loops, -22, "dov0: LEB chain loops back to LEB 3\n", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LogFileTest, AnEntryRunningPastItsLebIsRefused) {
    leb_image a = take_leb(2);
    leb_image b = take_leb(3);
    program(a);
    program(b);
    // A large note 16 bytes before the end of LEB 2's block.
    const ULONG last = geometry_.segments_per_eb - 1;
    std::vector<UCHAR> tail(segment_bytes(), 0x00);
    tail[segment_bytes() - 16] = LOG_OP_LARGE_NOTE;
    dma_visible dma(tail);
    ASSERT_EQ(eb_program_segments(channel(), 2, last, 1, tail.data()), 0);
    create();
    log_file_pos at{2, eb_segment_offset(channel(), 2, last) + segment_bytes() - 16};
    ASSERT_EQ(log_file_open(reader_, &at, LOG_FILE_FORWARD, LOG_FILE_NO_LIMIT), 0);
    UCHAR opcode = 0;
    ASSERT_EQ(log_file_next_entry(reader_, &opcode), 0);
    EXPECT_EQ(opcode, LOG_OP_LARGE_NOTE);
    EXPECT_EQ(log_entry_skip(reader_, opcode), -22);
    EXPECT_TRUE(logged("dov0: entry 0x8a runs past the end of LEB 2\n"));
    EXPECT_EQ(log_file_next_entry(reader_, &opcode), -5);
}

}  // namespace
