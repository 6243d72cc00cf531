// The data log's appends on the card model, in two geometries (fewer and more than 2048 packets
// per LEB): packets of every kind put on media through the append point across three LEBs, the
// completions' log addresses, the LEB records and the written position that follow them, the
// reader walking it all back byte-exact forwards and backwards, the blocks' index records read
// back through the erase-block scan, a power cut in the middle of an append, and appends over
// more rows than the card has page buffers.
#include <map>
#include <string>

#include "driver/log/apt.h"
#include "driver/log/eb_scan.h"
#include "driver/log/log_file.h"
#include "driver/log/log_scan.h"
#include "driver/pipeline/eb_geometry.h"
#include "tests/driver/log/media_fixture.h"

namespace {

constexpr ULONG64 index_address = 0xFFFFFFFFFF7A00ull;

struct geometry_case {
    const char* name;
    ULONG rows;
    ULONG pads;
};

ULONG64 pkt_header_address(const UCHAR* header) {
    UCHAR opcode;
    ULONG64 address;
    pkt_header_decode(header, &opcode, &address);
    return address;
}

// A packet of an index record (its packets carry the record's address on).
bool is_index_packet(const UCHAR* bytes) {
    ULONG64 address = pkt_header_address(bytes);
    return bytes[0] == 0xA0 && address >= index_address && address < index_address + 64;
}

// A packet the log was asked to append, as it must read back.
struct packet_want {
    UCHAR kind;
    ULONG64 address;
};

// Appends read back: where each appended packet landed, and the log read forwards over them.
class AppendReadBackTest : public StoreMediaTest {
  protected:
    void TearDown() override {
        log_file_destroy(reader_);
        reader_ = nullptr;
        StoreMediaTest::TearDown();
    }

    // Where each appended packet landed, from the completions: LEB -> packet offset -> packet.
    std::map<USHORT, std::map<ULONG, packet_want>> landed() {
        std::map<USHORT, std::map<ULONG, packet_want>> out;
        for (auto& a : appended_) {
            const datalog_append_req& r = a.request;
            ULONG k = 0;
            for (ULONG i = 0; i < r.run_count; i++) {
                for (ULONG j = 0; j < r.runs[i].packets; j++, k++) {
                    out[r.runs[i].leb][r.runs[i].offset + j] = {r.kind, r.address + k};
                }
            }
            EXPECT_EQ(k, r.count);
        }
        return out;
    }
    // The packet as it lies on media: its header, then its payload.
    std::vector<UCHAR> packet_image(const packet_want& p) {
        std::vector<UCHAR> bytes(packet());
        pkt_header_encode(bytes.data(), p.kind, p.address);
        for (ULONG i = 0; i < log_.sector_size; i++) bytes[8 + i] = payload_byte(p.address, i);
        return bytes;
    }
    ULONG offset_of(ULONG64 byte) { return (ULONG)((byte - head()) / packet()); }

    // Reads the log forwards from its head: every appended packet in order and byte-exact (the
    // index records between them passed over), then the end of the chain. The packets read.
    size_t read_forwards(const std::map<USHORT, std::map<ULONG, packet_want>>& want) {
        if (reader_ == nullptr) {
            EXPECT_EQ(log_file_create(&reader_, &log_), 0);
        }
        EXPECT_EQ(log_file_open(reader_, nullptr, LOG_FILE_FORWARD, LOG_FILE_NO_LIMIT), 0);
        size_t read = 0;
        std::vector<UCHAR> bytes(packet());
        for (USHORT leb = log_.head_leb; leb != PAV_NO_LEB; leb = lebs_[leb].next) {
            auto it = want.find(leb);
            if (it == want.end()) break;
            for (const auto& [offset, p] : it->second) {
                UCHAR opcode = 0;
                log_file_pos where{};
                for (;;) {
                    EXPECT_EQ(log_file_next_entry(reader_, &opcode), 0) << leb << "+" << offset;
                    if (::testing::Test::HasFailure()) return read;
                    log_file_where(reader_, &where);
                    EXPECT_EQ(log_file_copy_out(reader_, bytes.data(), packet()), 0);
                    if (!is_index_packet(bytes.data()) && opcode != EB_INDEX_OPCODE) break;
                    // An index record, or the closing record at the end of the previous LEB.
                    EXPECT_TRUE(opcode != EB_INDEX_OPCODE || where.byte == log_leb_data_end(&log_, where.leb));
                    EXPECT_EQ(log_entry_skip(reader_, opcode), 0);
                }
                EXPECT_EQ(where.leb, leb);
                EXPECT_EQ(where.byte, head() + (ULONG64)offset * packet()) << leb << "+" << offset;
                EXPECT_EQ(bytes, packet_image(p)) << leb << "+" << offset;
                EXPECT_EQ(log_entry_skip(reader_, opcode), 0);
                if (::testing::Test::HasFailure()) return read;
                read++;
            }
        }
        UCHAR opcode = 0;
        int rc = log_file_next_entry(reader_, &opcode);
        while (rc == 0 && (opcode == 0xA0 || opcode == EB_INDEX_OPCODE)) {  // the last LEB's closing records
            std::vector<UCHAR> header(8);
            EXPECT_EQ(log_file_copy_out(reader_, header.data(), 8), 0);
            EXPECT_TRUE(is_index_packet(header.data()) || opcode == EB_INDEX_OPCODE);
            EXPECT_EQ(log_entry_skip(reader_, opcode), 0);
            rc = log_file_next_entry(reader_, &opcode);
        }
        EXPECT_EQ(rc, -2) << "the end of the chain";
        EXPECT_EQ(reader_->error_count, 0u);
        return read;
    }

    log_file* reader_ = nullptr;
};

class StoreAppendTest : public AppendReadBackTest, public ::testing::WithParamInterface<geometry_case> {
  protected:
    ULONG rows() const override { return GetParam().rows; }
    ULONG pads() const override { return GetParam().pads; }
};

// Appends of every kind until the third LEB is open: one append crosses an LEB's end.
TEST_P(StoreAppendTest, PacketsAppendedAcrossThreeLebsReadBackThroughTheLog) {
    open_point();
    const ULONG per_leb = log_.packets_per_leb;
    append(0x90, 1000, 300);
    append(0xA0, SYS_ADDR_EB_NOTE + 5, 1);
    append(0x8E, 0x1234ull * 8, 1);
    append(0x9F, 7000, 1);
    // 256-packet pieces (whose ends do not fall on the LEBs' ends) up to two and a half LEBs.
    ULONG64 next = 100000;
    for (ULONG done = 303; done < per_leb * 5 / 2; done += 256, next += 256) append(0x90, next, 256);
    ASSERT_TRUE(wait_appends());

    bool crossed = false;
    for (auto& a : appended_) {
        ASSERT_EQ(a.request.status, 0);
        ASSERT_GE(a.request.run_count, 1u);
        crossed = crossed || a.request.run_count == 2;
        for (ULONG i = 0; i < a.request.run_count; i++) {
            const datalog_run& run = a.request.runs[i];
            EXPECT_EQ(run.address, pav_log_addr(&log_, run.leb, run.offset));
            EXPECT_LE(run.offset + run.packets, datalog_leb_capacity(&log_, run.leb));
        }
    }
    EXPECT_TRUE(crossed) << "an append split across an LEB's end";
    // The chain the open steps made: three LEBs, sequences 64 apart, the first two closed.
    const USHORT first = log_.head_leb;
    ASSERT_NE(first, PAV_NO_LEB);
    const USHORT second = lebs_[first].next;
    ASSERT_NE(second, PAV_NO_LEB);
    const USHORT third = lebs_[second].next;
    ASSERT_NE(third, PAV_NO_LEB);
    EXPECT_EQ(lebs_[third].next, PAV_NO_LEB);
    EXPECT_EQ(log_.append_leb, third);
    EXPECT_EQ(lebs_[second].previous, first);
    EXPECT_EQ(lebs_[second].sequence, lebs_[first].sequence + 64);
    EXPECT_EQ(lebs_[third].sequence, lebs_[second].sequence + 64);
    EXPECT_EQ(lebs_[first].func.value, (ULONG)PAV_LEB_FUNC_CLOSED);
    EXPECT_EQ(lebs_[second].func.value, (ULONG)PAV_LEB_FUNC_CLOSED);
    EXPECT_EQ(lebs_[third].func.value, (ULONG)PAV_LEB_FUNC_WRITING);
    EXPECT_EQ(log_.lebs_in_use, 3u);
    // The written position: the end of the last append.
    const datalog_append_req& last = appended_.back().request;
    const datalog_run& end = last.runs[last.run_count - 1];
    EXPECT_EQ(end.leb, third);
    EXPECT_EQ(log_.written_pos, (ULONG64)third | (ULONG64)(end.offset + end.packets) << 32);
    EXPECT_EQ(log_.open_free_packets, datalog_leb_capacity(&log_, third) - end.offset - end.packets);

    close_point();
    EXPECT_EQ(lebs_[third].func.value, (ULONG)PAV_LEB_FUNC_CLOSED);
    EXPECT_EQ(log_.written_pos, (ULONG64)third | (ULONG64)datalog_leb_capacity(&log_, third) << 32);

    auto want = landed();
    size_t total = 0;
    for (auto& a : appended_) total += a.request.count;
    EXPECT_EQ(read_forwards(want), total);

    // Backwards from the end of the third LEB's packet slots into the second: each slot is an
    // appended packet, an index record or filler.
    ASSERT_EQ(log_file_open(reader_, nullptr, LOG_FILE_BACKWARD, 1), 0);
    std::vector<UCHAR> bytes(packet());
    ULONG slots = 0;
    for (USHORT leb : {third, second}) {
        const ULONG count = (ULONG)((log_leb_data_end(&log_, leb) - head()) / packet());
        for (ULONG k = count; k-- > (leb == third ? 0 : count - 40);) {
            ASSERT_EQ(log_file_skip(reader_, packet()), 0) << leb << "+" << k;
            log_file_pos where{};
            log_file_where(reader_, &where);
            ASSERT_EQ(where.leb, leb);
            ASSERT_EQ(where.byte, head() + (ULONG64)k * packet());
            ASSERT_EQ(log_file_copy_out(reader_, bytes.data(), packet()), 0);
            auto it = want[leb].find(k);
            if (it != want[leb].end()) {
                EXPECT_EQ(bytes, packet_image(it->second)) << leb << "+" << k;
            } else {
                EXPECT_TRUE(bytes[0] == LOG_OP_PAD_F7 || is_index_packet(bytes.data()))
                    << leb << "+" << k << ": " << (int)bytes[0];
            }
            slots++;
        }
    }
    EXPECT_GT(slots, 40u);
}

// The close steps' index records, read back through the erase-block scan: each closed block's
// closing record at its stride limit names its index records, and its entry list gives back
// every run that was appended there.
TEST_P(StoreAppendTest, ClosedBlocksIndexesReadBackThroughTheScan) {
    open_point();
    const ULONG per_leb = log_.packets_per_leb;
    append(0x90, 1000, 300);
    append(0xA0, SYS_ADDR_EB_NOTE + 5, 1);
    append(0x91, 5000, 1);
    ULONG64 next = 100000;
    for (ULONG done = 302; done < per_leb * 5 / 2; done += 200, next += 200) append(0x90, next, 200);
    ASSERT_TRUE(wait_appends());
    for (auto& a : appended_) ASSERT_EQ(a.request.status, 0);
    close_point();

    // Every closed block: its closing record and the index records it names.
    eb_scan_context* context = nullptr;
    ASSERT_EQ(eb_scan_create(channel(), &context), 0);
    for (USHORT leb = log_.head_leb; leb != PAV_NO_LEB; leb = lebs_[leb].next) {
        ASSERT_EQ(eb_scan_begin(channel(), leb, context, false), 0) << "LEB " << leb;
        EXPECT_EQ(context->limit, log_leb_data_end(&log_, leb));
        const eb_index_record* index = eb_scan_index(context);
        EXPECT_EQ(index->kind, EB_INDEX_KIND_EIGHTHS);
        EXPECT_EQ(index->flags, 0u);
        ASSERT_GE(index->slot_count, 1u);
        EXPECT_EQ(index->entry_count, index->slot_count);
        for (ULONG i = 0; i < index->slot_count; i++) {
            const UCHAR* record = context->slots[i].buffer;
            EXPECT_EQ(record[0] | record[1] << 8, 258) << "record " << i;
            EXPECT_EQ(record[2] | record[3] << 8, leb);
            EXPECT_EQ(((const eb_slot_record*)record)->record_index, i);
        }
    }
    eb_scan_free(context);

    // The chain scanned through the indexes: the data runs and the EB note, where they landed.
    struct seen {
        std::map<USHORT, std::map<ULONG, ULONG64>> data;  // LEB -> packet -> address
        std::vector<USHORT> notes;
    } found;
    static const log_scan_ops ops = {
        [](log_scan* scan, USHORT leb, ULONG packet, ULONG64 address, ULONG count) {
            auto* f = (seen*)scan->owner;
            for (ULONG i = 0; i < count; i++) f->data[leb][packet + i] = address + i;
            return 0;
        },
        [](log_scan* scan, USHORT leb, const eb_note*) {
            ((seen*)scan->owner)->notes.push_back(leb);
            return 0;
        },
        nullptr, nullptr, nullptr, nullptr, nullptr};
    log_scan scan{};
    ASSERT_EQ(log_scan_init(&scan, &log_, &ops, &found), 0);
    EXPECT_EQ(ebi_scan_chain(&scan, log_.head_leb, PAV_NO_LEB, false), 0);
    EXPECT_EQ(scan.lebs_by_index, 3u);
    EXPECT_EQ(scan.lebs_walked, 0u);
    log_scan_exit(&scan);

    std::map<USHORT, std::map<ULONG, ULONG64>> want;
    for (auto& [leb, packets] : landed()) {
        for (auto& [offset, p] : packets) {
            if (p.kind >= 0x90 && p.kind <= 0x9F) want[leb][offset] = p.address;
        }
    }
    EXPECT_EQ(found.data, want);
    EXPECT_EQ(found.notes, std::vector<USHORT>{log_.head_leb});
}

// The power goes in the middle of an append. After the reboot the reader walks the packets the
// card had programmed, each whole and exact, to the end of the LEB without an error.
TEST_P(StoreAppendTest, APowerCutInTheMiddleOfAnAppendLeavesAPrefixTheReaderWalks) {
    model_->inject("power_cut", "after_packets=300");
    open_point();
    append(0x90, 1000, 600);
    for (int i = 0; i < 10000 && model_->powered(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_FALSE(model_->powered());
    fail_channel(channel(), 0, CHANNEL_FAIL_WATCHDOG);
    ASSERT_TRUE(wait_appends());
    const USHORT leb = log_.append_leb;
    ASSERT_NE(leb, PAV_NO_LEB);

    reboot();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(log_.head_leb, leb);
    std::map<USHORT, std::map<ULONG, packet_want>> want;
    for (ULONG k = 0; k < 600; k++) want[leb][k] = {0x90, 1000 + k};
    ASSERT_EQ(log_file_create(&reader_, &log_), 0);
    ASSERT_EQ(log_file_open(reader_, nullptr, LOG_FILE_FORWARD, LOG_FILE_NO_LIMIT), 0);
    std::vector<UCHAR> bytes(packet());
    ULONG read = 0;
    UCHAR opcode = 0;
    int rc;
    while ((rc = log_file_next_entry(reader_, &opcode)) == 0) {
        log_file_pos where{};
        log_file_where(reader_, &where);
        ASSERT_EQ(where.byte, head() + (ULONG64)read * packet());
        ASSERT_EQ(log_file_copy_out(reader_, bytes.data(), packet()), 0);
        ASSERT_EQ(bytes, packet_image(want[leb][read])) << "packet " << read;
        ASSERT_EQ(log_entry_skip(reader_, opcode), 0);
        read++;
    }
    EXPECT_EQ(rc, -2);
    EXPECT_EQ(reader_->error_count, 0u);
    // At least the packets the card had programmed when the power went; not all of them.
    EXPECT_GE(read, 300u);
    EXPECT_LT(read, 600u);
}

const geometry_case geometries[] = {
    {"Rows16Pads2", 16, 2},  // fewer than 2048 packets per LEB
    {"Rows16Pads4", 16, 4},  // more
};
INSTANTIATE_TEST_SUITE_P(Geometries, StoreAppendTest, ::testing::ValuesIn(geometries),
                         [](const ::testing::TestParamInfo<geometry_case>& info) { return info.param.name; });

// Appends each over many more rows than the card has page buffers, as large host writes are.
// The card keeps a row in a page buffer until the row is full and waits for a free buffer at the
// next one, so an append must not open rows far ahead of its bytes. One append inside an LEB,
// and one across the LEB's end with more rows than the buffers on either side of it.
class LargeAppendTest : public AppendReadBackTest {
  protected:
    static constexpr ULONG sector = 512;
    // Packets of a large append: at least 4 MiB, and twice what the card's page buffers could
    // hold, so that either half of it outnumbers them.
    static ULONG large_count() {
        const sim::card::CardConfig card = sim::card::CardConfig::small();
        ULONG64 buffered = (ULONG64)(card.channel.page_buffers + 1) * card.geometry.segment_max();
        ULONG64 bytes = 2 * buffered > (4ull << 20) ? 2 * buffered : 4ull << 20;
        return (ULONG)((bytes + sector - 1) / sector);
    }
    // An LEB holds one and a half large appends, and its head and tail reserves.
    ULONG rows() const override {
        const sim::card::NandGeometry g = sim::card::CardConfig::small().geometry;
        ULONG64 row = (ULONG64)g.banks * pads() * g.page_data;
        return (ULONG)((ULONG64)large_count() * (sector + 8) * 3 / 2 / row) + 4;
    }
    // Request lists that take the largest append here.
    ULONG stripe_bytes() const override { return 2 * large_count() * sector; }
    // Pad rows the packets of `run` take on media.
    ULONG64 rows_of(const datalog_run& run) {
        return (ULONG64)run.packets * packet() / eb_pad_capacity(channel(), run.leb, 0);
    }
};

TEST_F(LargeAppendTest, AppendsOverMoreRowsThanThePageBuffersReadBackWithinAndAcrossAnLeb) {
    ASSERT_EQ(log_.sector_size, sector);
    const ULONG buffers = model_->config().channel.page_buffers;
    const ULONG large = large_count();
    open_point();
    ASSERT_GT(log_.packets_per_leb, large + large / 4);
    // The first leaves half a large append's room in its LEB; the second crosses the LEB's end.
    append(0x90, 1000000, log_.packets_per_leb - large / 2);
    append(0x90, 3000000, large);
    ASSERT_TRUE(wait_appends());
    const datalog_append_req& within = appended_[0].request;
    const datalog_append_req& across = appended_[1].request;
    ASSERT_EQ(within.status, 0);
    ASSERT_EQ(across.status, 0);
    ASSERT_EQ(within.run_count, 1u);
    ASSERT_EQ(across.run_count, 2u);
    EXPECT_EQ(across.runs[0].leb, within.runs[0].leb);
    EXPECT_NE(across.runs[1].leb, within.runs[0].leb);
    EXPECT_GT(rows_of(within.runs[0]), buffers);
    EXPECT_GT(rows_of(across.runs[0]), buffers);
    EXPECT_GT(rows_of(across.runs[1]), buffers);
    close_point();
    EXPECT_EQ(read_forwards(landed()), (size_t)within.count + across.count);
}

// The layout figures as the data log's appends leave them on media (headers plain, so the image
// shows them): the opener, the packet slots from H, the closing index record after the last
// packet, filler, and the closing record at the stride limit.
class AppendLayoutTest : public StoreMediaTest {
  protected:
    ULONG rows() const override { return 16; }
};

TEST_F(AppendLayoutTest, TheOnMediaLayoutFiguresOfAppendedPackets) {
    InterlockedExchange(&eb_headers_plain, 1);
    open_point();
    append(0x90, 0x0000123456789ABCull, 1);     // packet 0
    append(0xA0, SYS_ADDR_DISCARD_NOTE, 1);    // packet 1: the discard note
    append(0xA0, SYS_ADDR_EB_NOTE + 2, 1);     // packet 2: an EB note
    append(0x95, 5000, 70);                    // packets 3-72, across a segment boundary
    ASSERT_TRUE(wait_appends());
    close_point();
    const USHORT eb = log_.head_leb;
    ASSERT_NE(eb, PAV_NO_LEB);
    const ULONG seg = segment_bytes();
    auto at = [&](ULONG64 byte, size_t n) {
        ULONG segment = (ULONG)(byte / seg);
        return model_->media_peek(eb, segment % 2, segment / 2, byte % seg, n);
    };
    using bytes = std::vector<uint8_t>;
    const ULONG p = packet();
    const ULONG64 h = head();
    const ULONG64 limit = log_leb_data_end(&log_, eb);
    EXPECT_EQ(p, 520u);
    EXPECT_EQ(h, 131072u);
    EXPECT_EQ(log_.geometry.tail_reserve, 520u * 20);
    EXPECT_EQ(log_.packets_per_leb, 1744u) << "(1 MiB - T - H) / P";
    EXPECT_EQ(limit, h + 1744ull * p);
    EXPECT_EQ(ebinfo_stride_limit(channel(), eb, &ebinfo_table(channel())->layout), limit);
    const struct {
        const char* what;
        ULONG64 byte;
        bytes expected;
    } figures[] = {
        {"EB header magic", 12, {0xF0, 0x1E, 0xEB, 0xFE}},
        {"EB header block number", 6, {(uint8_t)eb, 0}},
        {"EB header data start", 28, {0x00, 0x00, 0x02, 0x00}},
        {"opener at byte 48: opcode and EBO number", 48, {0x84, 0xFF, 0xFF, 0xFF, (uint8_t)eb, 0x00, 0xFE, 0xFF}},
        {"filler up to the head reserve", h - 8, bytes(8, 0xF7)},
        {"packet 0 at H", h, {0x90, 0x00, 0x34, 0x12, 0xBC, 0x9A, 0x78, 0x56}},
        {"discard note at H + P", h + p, {0xA0, 0xFF, 0xFF, 0xFF, 0xF0, 0x79, 0xFF, 0xFF}},
        {"EB note at H + 2P", h + 2 * p, {0xA0, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0xFC, 0xFF}},
        {"the next packet in the next slot", h + 3 * p, {0x95, 0x00, 0x00, 0x00, 0x88, 0x13, 0x00, 0x00}},
        {"packet 63: its header ends segment 4", h + 63 * p, {0x95, 0x00, 0x00, 0x00, 0xC4, 0x13, 0x00, 0x00}},
        {"packet 64 in segment 5", h + 64 * p, {0x95, 0x00, 0x00, 0x00, 0xC5, 0x13, 0x00, 0x00}},
        {"the closing index record after the last packet", h + 73 * p,
         {0xA0, 0xFF, 0xFF, 0xFF, 0x00, 0x7A, 0xFF, 0xFF, 0x02, 0x01, (uint8_t)eb, 0x00}},
        {"filler after it", h + 74 * p, bytes(8, 0xF7)},
        {"filler up to the stride limit", limit - 8, bytes(8, 0xF7)},
        {"the closing record at the stride limit: opcode, check word, kind 2", limit,
         {0x85, 0xFF, 0xFF, 0xFF, (uint8_t)eb, 0x00, 0xF6, 0xFA, 0x02, 0x00, 0x00, 0x00}},
        {"its one slot: the index record's packet and position", limit + 24,
         {0x00, 0x00, 0x01, 0x00, 0x89, 0x52, 0x00, 0x00}},
        {"its entry list: packet 0's position first", limit + 280, {0x00, 0x40, 0x00, 0x00, 0x01, 0x00, 0x00, 0x8C}},
        {"filler to the block's end", 1048576 - 8, bytes(8, 0xF7)},
    };
    for (const auto& f : figures) {
        EXPECT_EQ(at(f.byte, f.expected.size()), f.expected) << f.what;
    }
    EXPECT_EQ(h + 63 * p + 8, 5 * (ULONG64)seg) << "segment 4 ends with packet 63's header";
}

// The take of an erased block for an append point: by wear from the erased list, erased first
// when it asks for it; an empty list is -28.
class AptTakeTest : public StoreMediaTest {
  protected:
    ULONG rows() const override { return 16; }
};

TEST_F(AptTakeTest, TakesAnErasedBlockAndErasesItFirstWhenItAsks) {
    apt_eb_request request{};
    EXPECT_EQ(apt_take_erased_eb(channel(), &request), -28) << "nothing listed";
    EXPECT_EQ(request.taken, 0);
    EXPECT_EQ(request.eb, EB_NONE);
    // Block 5, written, then listed again with its erase still owed.
    std::vector<UCHAR> bytes(segment_bytes(), 0x3C);
    program_bytes(5, bytes);
    ASSERT_EQ(model_->segment_state(5, 0, 0).kind, sim::card::SegmentKind::programmed);
    ebinfo_erased_list_add(channel(), 5);
    ebinfo_get(channel(), 5)->condition = EB_COND_ERASE_FIRST;
    const LONG erases = ebinfo_get(channel(), 5)->erase_count;
    ASSERT_EQ(apt_take_erased_eb(channel(), &request), 0);
    EXPECT_EQ(request.eb, 5);
    EXPECT_EQ(request.taken, 1);
    EXPECT_EQ(model_->segment_state(5, 0, 0).kind, sim::card::SegmentKind::erased);
    EXPECT_EQ(ebinfo_get(channel(), 5)->condition, EB_COND_BLANK);
    EXPECT_EQ(ebinfo_get(channel(), 5)->erase_count, erases + 1);
    // A listed block that needs no erase is taken as it is.
    ebinfo_erased_list_add(channel(), 6);
    const LONG erases6 = ebinfo_get(channel(), 6)->erase_count;
    ASSERT_EQ(apt_take_erased_eb(channel(), &request), 0);
    EXPECT_EQ(request.eb, 6);
    EXPECT_EQ(ebinfo_get(channel(), 6)->erase_count, erases6);
    EXPECT_EQ(apt_take_erased_eb(channel(), &request), -28);
}

}  // namespace
