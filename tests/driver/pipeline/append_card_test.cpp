// Appends through an append point on the card model: erase blocks opened with an opener record
// (and erased first when they ask for it), packets with their headers, the index record and the
// footer (at the block's limit) that close a block, appends split across a block's end, rows the card reports out of
// order, input the builders and the handler refuse, and a power cut in the middle of appends.

#include <cstring>
#include <mutex>
#include <vector>

#include "driver/pipeline/ebinfo.h"
#include "driver/pipeline/issue.h"
#include "sim/kernel/control.h"
#include "tests/driver/pipeline/append_channel.h"

namespace {

constexpr ULONG cut_after = 8;  // packets programmed before the power cut
constexpr ULONG64 index_address = 0xFFFFFFFFFF7A00ull;
constexpr ULONG64 footer_address = 0xFFFFFFFAF60000ull;

ULONG64 le(const UCHAR* at, ULONG bytes) {
    ULONG64 v = 0;
    for (ULONG i = 0; i < bytes; i++) {
        v |= (ULONG64)at[i] << (8 * i);
    }
    return v;
}

// The 56-bit address and flag byte of a packet header.
ULONG64 header_address(const UCHAR* at) {
    return le(at + 4, 4) | le(at + 2, 2) << 32 | (ULONG64)at[1] << 48;
}

class AppendCardTest : public AppendChannelTest {
  protected:
    // Packets a block holds: its 24 packet slots end inside its last row, and appends stop at
    // that row's start, so that a flush that pads the row leaves the closing records' room.
    static constexpr ULONG block_packets = 22;

    // Checks packet `k` of the block in back_: its header and payload.
    void expect_packet(ULONG k, ULONG64 lba) {
        const UCHAR* at = back_ + opener_bytes + k * unit;
        ASSERT_EQ(at[0], data_flag) << "packet " << k;
        ASSERT_EQ(header_address(at), lba) << "packet " << k;
        for (ULONG i = 0; i < payload; i++) {
            ASSERT_EQ(at[8 + i], payload_byte(lba, i)) << "packet " << k << " byte " << i;
        }
    }
    void expect_opener(USHORT eb) {
        std::vector<UCHAR> image(opener_bytes);
        opener_image(eb, image.data());
        EXPECT_EQ(std::memcmp(back_, image.data(), opener_bytes), 0);
    }
    void expect_filler(ULONG from, ULONG to) {
        for (ULONG i = from; i < to; i++) {
            ASSERT_EQ(back_[i], 0xF7) << "byte " << i;
        }
    }
    // The index record at `at`: its packet header, kind, block and entry words.
    void expect_index(ULONG at, USHORT eb, const std::vector<ULONG64>& entries) {
        const UCHAR* p = back_ + at;
        EXPECT_EQ(p[0], 160);
        EXPECT_EQ(header_address(p), index_address);
        const UCHAR* record = p + 8;
        EXPECT_EQ(le(record, 2), 258u);
        EXPECT_EQ(le(record + 2, 2), eb);
        EXPECT_EQ(le(record + 16, 4), entries.size() + 1);  // (bytes - 48) / 8 + 1
        for (size_t i = 0; i < entries.size(); i++) {
            EXPECT_EQ(le(record + 48 + 8 * i, 8), entries[i]) << "entry " << i;
        }
        EXPECT_EQ(le(record + 48 + 8 * entries.size(), 8), 0u);
    }
    // Where the footer goes: after the 24 packet slots the tail reserve leaves, and room for a
    // full index record (one packet here).
    ULONG footer_at() {
        EXPECT_EQ(issue_index_record_room(&ap_), unit);
        return opener_bytes + 24 * unit + unit;
    }
    // Where the footer places its one index record.
    ULONG footer_index_position() { return (ULONG)le(back_ + footer_at() + 28, 4) * 8; }
    // The footer listing one index record at `index_at`, and the block's `entries`; in back_ at
    // footer_at(), or at `p`.
    void expect_footer(USHORT eb, ULONG index_at, const std::vector<ULONG64>& entries, const UCHAR* p = nullptr) {
        p = p != nullptr ? p : back_ + footer_at();
        EXPECT_EQ(p[0], 133);
        EXPECT_EQ(header_address(p), footer_address + eb);
        EXPECT_EQ(p[8], 2);                      // positions in 8-byte units
        EXPECT_EQ(le(p + 9, 3), 0u);
        EXPECT_EQ(le(p + 12, 4), 0u);            // usable
        EXPECT_EQ(le(p + 16, 2), 0u);
        EXPECT_EQ(le(p + 18, 2), 1u);            // slots
        EXPECT_EQ(le(p + 20, 2), 1u);            // packets of the longest record
        EXPECT_EQ(le(p + 22, 2), 1u);            // entries
        EXPECT_EQ(le(p + 24, 2), 0u);            // slot 0
        EXPECT_EQ(le(p + 26, 2), 1u);            // one packet
        EXPECT_EQ(le(p + 28, 4), index_at / 8);  // position
        for (size_t i = 0; i < entries.size(); i++) {
            EXPECT_EQ(le(p + 280 + 8 * i, 8), entries[i]) << "list word " << i;
        }
        EXPECT_EQ(le(p + 280 + 8 * entries.size(), 8), 0u);
    }
    // A position entry: the next entry's count, and where it starts.
    static ULONG64 at_entry(ULONG64 count, ULONG64 byte) { return 0x8Cull << 56 | count << 32 | byte / 8; }
};

TEST_F(AppendCardTest, AnAppendAcrossABlockEndIsSplitAndBothBlocksReadBack) {
    ASSERT_EQ(request_open_append_point_sync(&ap_), 0);
    EXPECT_NE(ap_.flags & AP_OPEN, 0);
    // Block 2 holds 22 packets: 20, then 2 of the next 10.
    ASSERT_EQ(append(1000, 20, 0), 0);
    ASSERT_EQ(append(2000, 10, 20), 0);
    ASSERT_TRUE(wait_notices(2));
    USHORT closed = 0;
    ASSERT_EQ(request_close_append_point_sync(&ap_, &closed), 0);
    EXPECT_EQ(closed, 3);
    EXPECT_EQ(ap_.flags & AP_OPEN, 0);
    {
        std::lock_guard<std::mutex> g(mutex_);
        EXPECT_EQ(notices_[0].status, 0);
        EXPECT_EQ(notices_[0].runs.count, 1u);
        EXPECT_EQ(notices_[1].status, 0);
        ASSERT_EQ(notices_[1].runs.count, 2u);
        EXPECT_EQ(notices_[1].runs.vectors[0].eb, 2);
        EXPECT_EQ(notices_[1].runs.vectors[0].lpkt, 20u);
        EXPECT_EQ(notices_[1].runs.packet_counts[0], 2u);
        EXPECT_EQ(notices_[1].runs.vectors[1].eb, 3);
        EXPECT_EQ(notices_[1].runs.vectors[1].lpkt, 0u);
        EXPECT_EQ(notices_[1].runs.packet_counts[1], 8u);
        // Both blocks were erased by their opening appends, and handed back when closed.
        EXPECT_EQ(ebinfo_condition(channel(), 2), EB_COND_REERASE);
        EXPECT_EQ(ebinfo_condition(channel(), 3), EB_COND_REERASE);
        EXPECT_EQ(closed_blocks(), (std::vector<USHORT>{2, 3}));
    }

    ASSERT_EQ(read_block(2), 0);
    expect_opener(2);
    for (ULONG k = 0; k < block_packets; k++) {
        expect_packet(k, k < 20 ? 1000 + k : 2000 + (k - 20));
    }
    ULONG index_at = opener_bytes + block_packets * unit;
    expect_index(index_at, 2, {19ull << 56 | 1000, 1ull << 56 | 2000});
    expect_filler(index_at + unit, footer_at());
    expect_footer(2, index_at, {at_entry(20, opener_bytes), (ULONG64)data_flag << 56 | 1000, 1ull << 56 | 2000});

    ASSERT_EQ(read_block(3), 0);
    expect_opener(3);
    for (ULONG k = 0; k < 8; k++) {
        expect_packet(k, 2002 + k);
    }
    index_at = opener_bytes + 8 * unit;
    expect_index(index_at, 3, {7ull << 56 | 2002});
    expect_filler(index_at + unit, footer_at());
    expect_footer(3, index_at, {at_entry(8, opener_bytes), (ULONG64)data_flag << 56 | 2002});
}

TEST_F(AppendCardTest, AnAppendThatEndsOnTheBlockEndLeavesTheNextOneForTheNextAppend) {
    ASSERT_EQ(request_open_append_point_sync(&ap_), 0);
    ASSERT_EQ(append(1000, block_packets, 0), 0);
    ASSERT_TRUE(wait_notices(1));
    ASSERT_EQ(append(5000, 1, block_packets), 0);
    ASSERT_TRUE(wait_notices(2));
    ASSERT_EQ(request_close_append_point_sync(&ap_, nullptr), 0);
    {
        std::lock_guard<std::mutex> g(mutex_);
        ASSERT_EQ(notices_[0].runs.count, 1u);
        EXPECT_EQ(notices_[0].runs.vectors[0].eb, 2);
        ASSERT_EQ(notices_[1].runs.count, 1u);
        EXPECT_EQ(notices_[1].runs.vectors[0].eb, 3);
        EXPECT_EQ(notices_[1].runs.vectors[0].lpkt, 0u);
    }
    ASSERT_EQ(read_block(3), 0);
    expect_opener(3);
    expect_packet(0, 5000);
    // A single packet that continues the running position needs no position entry.
    expect_index(opener_bytes + unit, 3, {(ULONG64)data_flag << 56 | 5000});
}

TEST_F(AppendCardTest, AnAdvanceClosesTheNamedBlockOnlyWhenItHoldsData) {
    ASSERT_EQ(request_open_append_point_sync(&ap_), 0);
    ASSERT_EQ(append(1000, 3, 0), 0);
    ASSERT_TRUE(wait_notices(1));
    UCHAR closed = 9;
    // Another block than the point's: nothing closes.
    EXPECT_EQ(request_advance_append_point_sync(&ap_, 7, &closed, nullptr, nullptr), 0);
    EXPECT_EQ(closed, 0);
    EXPECT_EQ(request_advance_append_point_sync(&ap_, 2, &closed, nullptr, nullptr), 0);
    EXPECT_EQ(closed, 1);
    // The point has no block now: the next append opens block 3.
    ASSERT_EQ(append(3000, 2, 3), 0);
    ASSERT_TRUE(wait_notices(2));
    ASSERT_EQ(request_close_append_point_sync(&ap_, nullptr), 0);
    ASSERT_EQ(read_block(2), 0);
    for (ULONG k = 0; k < 3; k++) {
        expect_packet(k, 1000 + k);
    }
    // A flush may have padded the packets' row before the advance: the record then starts in
    // the next row, after a position entry.
    ULONG index_at = footer_index_position();
    EXPECT_GE(index_at, opener_bytes + 3 * unit);
    expect_index(index_at, 2, {2ull << 56 | 1000});
    expect_footer(2, index_at, {at_entry(3, opener_bytes), (ULONG64)data_flag << 56 | 1000});
    ASSERT_EQ(read_block(3), 0);
    expect_packet(0, 3000);
    expect_packet(1, 3001);
}

// A read of packets still in the open row has the row padded and issued early, and the point goes
// on at the next row. Packets appended one at a time and read back at once thus take a row each;
// whichever row the block's last packet lands in, the row after it must still leave the closing
// index record and the footer their places.
TEST_F(AppendCardTest, ReadsThatPadEveryRowStillLeaveTheClosingRecordsTheirRoom) {
    ASSERT_EQ(request_open_append_point_sync(&ap_), 0);
    ULONG in_block_2 = 0;
    for (ULONG k = 0; k < 40; k++) {
        ASSERT_EQ(append(1000 + k, 1, k), 0);
        ASSERT_TRUE(wait_notices(k + 1));
        pav_addr_block runs;
        {
            std::lock_guard<std::mutex> g(mutex_);
            ASSERT_EQ(notices_[k].status, 0) << "packet " << k;
            runs = notices_[k].runs;
        }
        ASSERT_EQ(runs.count, 1u);
        if (runs.vectors[0].eb != 2) {
            break;
        }
        in_block_2++;
        media_address at{opener_bytes + runs.vectors[0].lpkt * unit, 2, {}};
        ASSERT_EQ(media_read_raw(channel(), &at, back_, unit, 0, nullptr, nullptr, nullptr), 0);
        EXPECT_EQ(header_address(back_), 1000 + k) << "packet " << k;
    }
    EXPECT_GE(in_block_2, 2u);
    ASSERT_EQ(request_close_append_point_sync(&ap_, nullptr), 0);
    EXPECT_FALSE(channel_failed(channel()));
    ASSERT_EQ(read_block(2), 0);
    const UCHAR* footer = back_ + footer_at();
    EXPECT_EQ(footer[0], 133);
    EXPECT_EQ(header_address(footer), footer_address + 2);
    const UCHAR* index = back_ + footer_index_position();
    EXPECT_EQ(index[0], 160);
    EXPECT_EQ(header_address(index), index_address);
    EXPECT_EQ(le(index + 8 + 2, 2), 2u);  // the record names its block
}

TEST_F(AppendCardTest, RowsReportedOutOfOrderStillCompleteInOrder) {
    model_->inject("swap_flush", "times=always");
    ASSERT_EQ(request_open_append_point_sync(&ap_), 0);
    ASSERT_EQ(append(1000, 30, 0), 0);
    ASSERT_TRUE(wait_notices(1));
    ASSERT_EQ(request_close_append_point_sync(&ap_, nullptr), 0);
    EXPECT_FALSE(channel_failed(channel()));
    EXPECT_EQ(ReadNoFence(&channel()->flush.issued), 0);
    EXPECT_EQ((ULONG)ReadNoFence(&channel()->flush.expected), channel()->flush.next_sequence);
    ASSERT_EQ(read_block(3), 0);
    for (ULONG k = 0; k < 30 - block_packets; k++) {
        expect_packet(k, 1000 + block_packets + k);
    }
}

TEST_F(AppendCardTest, RefusedInputWritesNothingToTheRing) {
    ASSERT_EQ(request_open_append_point_sync(&ap_), 0);
    LONG before = ReadNoFence(&channel()->ring_producer);
    sim::kernel::clear_debug_lines();
    media_address odd{4100, 3, {}};
    EXPECT_EQ(media_read_raw(channel(), &odd, back_, 16, 0, nullptr, nullptr, nullptr), -22);
    media_address even{4096, 3, {}};
    EXPECT_EQ(media_read_raw(channel(), &even, back_, 12, 0, nullptr, nullptr, nullptr), -22);
    EXPECT_EQ(log(), (std::vector<std::string>{"dov0: unaligned read: 3:4100\n",
                                               "paverr Corvane driver: 14338 Internal software error.\n",
                                               "dov0: invalid size: 12\n",
                                               "paverr Corvane driver: 14338 Internal software error.\n"}));
    ULONG bad_geometry[2] = {ap_.geometry_a, 0};
    EXPECT_EQ(request_submit_append(&ap_, on_notice, nullptr, bad_geometry, 0, 1, packets_, nullptr, this), -22);
    // The handler refuses an append of no packets and one whose packets do not fit its point.
    ASSERT_EQ(append(1000, 0, 0), 0);
    ULONG other[2] = {ap_.geometry_a, 512 | 520u << 16};
    ASSERT_EQ(request_submit_append(&ap_, on_notice, nullptr, other, (ULONG64)data_flag << 56, 1, packets_, nullptr,
                                    this),
              0);
    ASSERT_TRUE(wait_notices(2));
    {
        std::lock_guard<std::mutex> g(mutex_);
        EXPECT_EQ(notices_[0].status, -22);
        EXPECT_EQ(notices_[1].status, -22);
    }
    EXPECT_EQ(ReadNoFence(&channel()->ring_producer), before);
    // A point that is not open closes without a request.
    EXPECT_EQ(request_close_append_point_sync(&ap_, nullptr), 0);
    EXPECT_EQ(request_close_append_point_sync(&ap_, nullptr), 0);
    EXPECT_EQ(ReadNoFence(&channel()->ring_producer), before);
}

// Blocks of 64 rows: closing a block that holds a few packets writes its index record, then
// filler over more rows than the small card has page buffers, the footer and filler to the end.
class WholeBlockTest : public AppendCardTest {
  protected:
    ULONG block_rows() const override { return 64; }
};

TEST_F(WholeBlockTest, ClosingFillsTheBlockToItsFooterAndItReadsBack) {
    ASSERT_EQ(request_open_append_point_sync(&ap_), 0);
    for (ULONG k = 0; k < 64; k += 16) {
        ASSERT_EQ(append(1000 + k, 16, k), 0);
    }
    ASSERT_TRUE(wait_notices(4));
    USHORT closed = 0;
    ASSERT_EQ(request_close_append_point_sync(&ap_, &closed), 0);
    EXPECT_EQ(closed, 2);
    {
        std::lock_guard<std::mutex> g(mutex_);
        for (const notice& n : notices_) {
            EXPECT_EQ(n.status, 0);
        }
        EXPECT_EQ(closed_blocks(), (std::vector<USHORT>{2}));
    }

    // The block is larger than the host buffer: it is read in parts.
    const ULONG index_at = opener_bytes + 64 * unit;
    media_address front{0, 2, {}};
    ASSERT_EQ(media_read_raw(channel(), &front, back_, index_at + unit, 0, nullptr, nullptr, nullptr), 0);
    expect_opener(2);
    for (ULONG k = 0; k < 64; k++) {
        expect_packet(k, 1000 + k);
    }
    expect_index(index_at, 2, {15ull << 56 | 1000, 15ull << 56 | 1016, 15ull << 56 | 1032, 15ull << 56 | 1048});
    // Filler up to the footer after the last packet slot and a full index record.
    const ULONG slots = (block_bytes() - tail_reserve - opener_bytes) / unit;
    const ULONG footer = opener_bytes + slots * unit + issue_index_record_room(&ap_);
    for (ULONG at = index_at + unit; at < footer;) {
        ULONG size = footer - at < 524288 ? footer - at : 524288;
        media_address part{at, 2, {}};
        ASSERT_EQ(media_read_raw(channel(), &part, back_, size, 0, nullptr, nullptr, nullptr), 0);
        for (ULONG i = 0; i < size; i++) {
            ASSERT_EQ(back_[i], 0xF7) << "byte " << at + i;
        }
        at += size;
    }
    media_address last{footer, 2, {}};
    ASSERT_EQ(media_read_raw(channel(), &last, back_, 8192, 0, nullptr, nullptr, nullptr), 0);
    expect_footer(2, index_at,
                  {at_entry(16, opener_bytes), (ULONG64)data_flag << 56 | 1000, 15ull << 56 | 1016,
                   15ull << 56 | 1032, 15ull << 56 | 1048},
                  back_);
}

// The channel's stop drains it: the row an append left open is padded and programmed before
// the stop returns, so nothing acknowledged stays in the card's page buffers.
TEST_F(AppendCardTest, StoppingTheChannelProgramsTheRowLeftOpen) {
    ASSERT_EQ(request_open_append_point_sync(&ap_), 0);
    ASSERT_EQ(append(1000, 1, 0), 0);
    ASSERT_TRUE(wait_notices(1));
    ASSERT_TRUE(model_->wait_idle());
    ASSERT_EQ(model_->channel_state().rows, 1u) << "the opener and the packet wait in a page buffer";
    ASSERT_EQ(model_->counters().programs, 0u);
    channel_pipeline_stop(&card_);
    EXPECT_EQ(model_->channel_state().rows, 0u);
    EXPECT_EQ(model_->counters().programs, 1u);
    // The packet's header where the opener ends.
    const ULONG pad_bytes = channel()->geometry.page_size;
    const ULONG pad = opener_bytes / pad_bytes;
    ASSERT_EQ(model_->segment_state(2, pad, 0).kind, sim::card::SegmentKind::programmed);
    std::vector<UCHAR> header = model_->media_peek(2, pad, 0, opener_bytes % pad_bytes, 8);
    EXPECT_EQ(header, (std::vector<UCHAR>{data_flag, 0, 0, 0, 1000 & 0xFF, 1000 >> 8, 0, 0}));
}

// A card that stopped answering cannot hold the stop's drain: after its bound (300 s of machine
// time) the channel fails and the stop goes on.
TEST_F(AppendCardTest, AStopWhoseRowNeverCompletesFailsTheChannelAfterItsBound) {
    ASSERT_EQ(request_open_append_point_sync(&ap_), 0);
    ASSERT_EQ(append(1000, 1, 0), 0);
    ASSERT_TRUE(wait_notices(1));
    model_->inject("stop_answering");
    sim::kernel::set_clock_rate(5000);
    {
        bounded_thread stop("channel stop", [this] { channel_pipeline_stop(&card_); });
        EXPECT_TRUE(stop.finished_within(20000));
    }
    sim::kernel::set_clock_rate(1.0);
    EXPECT_TRUE(channel_failed(channel()));
    EXPECT_EQ(channel()->failure_reason, CHANNEL_FAIL_WATCHDOG);
    EXPECT_EQ(model_->counters().programs, 0u);
}

// The card programs rows as they fill; a cut right after the row that reaches N packets keeps
// exactly the rows programmed by then (the power-cut flush is off) once the card powers on again.
TEST_F(AppendCardTest, APowerCutKeepsExactlyTheProgrammedRows) {
    model_->inject("power_cut", "after_packets=" + std::to_string(cut_after));
    ASSERT_EQ(request_open_append_point_sync(&ap_), 0);
    ASSERT_EQ(append(1000, 20, 0), 0);
    for (int i = 0; i < 10000 && model_->powered(); i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_FALSE(model_->powered());
    const uint64_t programs = model_->counters().programs;
    fail_channel(channel(), 0, CHANNEL_FAIL_WATCHDOG);
    ASSERT_TRUE(wait_notices(1));

    // What block 2 would hold: the opener, then the packets one after another.
    std::vector<UCHAR> image(opener_bytes + 20 * unit);
    opener_image(2, image.data());
    for (ULONG k = 0; k < 20; k++) {
        UCHAR* at = image.data() + opener_bytes + k * unit;
        ULONG64 lba = 1000 + k;
        at[0] = data_flag;
        at[1] = 0;
        at[2] = at[3] = 0;
        at[4] = (UCHAR)lba;
        at[5] = (UCHAR)(lba >> 8);
        at[6] = at[7] = 0;
        for (ULONG i = 0; i < payload; i++) {
            at[8 + i] = payload_byte(lba, i);
        }
    }
    const ULONG pads = channel()->geometry.pads;
    const ULONG pad_bytes = channel()->geometry.page_size;
    pipeline_free_then([this, image, pads, pad_bytes, programs] {
        model_->power_on();
        // Segments in the order the write stream filled them: row by row, pad by pad.
        ULONG programmed = 0;
        ULONG headers = 0;
        bool gap = false;
        for (ULONG row = 0; row < rows_per_eb; row++) {
            for (ULONG pad = 0; pad < pads; pad++) {
                ULONG start = (row * pads + pad) * pad_bytes;
                bool kept = model_->segment_state(2, pad, row).kind == sim::card::SegmentKind::programmed;
                if (!kept) {
                    gap = true;
                    continue;
                }
                EXPECT_FALSE(gap) << "row " << row << " pad " << pad << " kept after a lost one";
                programmed++;
                for (ULONG k = 0; k < 20; k++) {
                    ULONG at = opener_bytes + k * unit;
                    headers += at >= start && at < start + pad_bytes ? 1 : 0;
                }
                std::vector<UCHAR> want(pad_bytes, 0xFF);
                for (ULONG i = 0; i < pad_bytes && start + i < image.size(); i++) {
                    want[i] = image[start + i];
                }
                EXPECT_EQ(model_->media_peek(2, pad, row, 0, pad_bytes), want) << "row " << row << " pad " << pad;
            }
        }
        // Exactly the rows the card had programmed when the power went: the rows still in its
        // page buffers are gone.
        EXPECT_EQ(programmed, programs);
        EXPECT_GE(headers, cut_after);
        EXPECT_LT(programmed, rows_per_eb * pads);
        model_->power_cut();  // off again for the rest of the teardown
    });
}

}  // namespace
