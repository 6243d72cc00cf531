// The erase-block scan on the card model: an index record at the block's stride limit, the
// records it names read in chunks (and their chains), bad index entries, and the scan of an LEB
// chain through the index with the reader's walk where a block has none.
#include "driver/log/eb_scan.h"

#include <string>

#include "driver/log/log_file.h"
#include "driver/log/log_scan.h"
#include "tests/driver/log/media_fixture.h"

namespace {

constexpr ULONG64 record_address = 0xFFFFFFFFFF7A00ull;

class EbScanTest : public StoreMediaTest {
  protected:
    ULONG64 limit(USHORT eb) { return ebinfo_stride_limit(channel(), eb, &ebinfo_table(channel())->layout); }

    // The block's image from byte 0 up to the end of its index record.
    void put_index(leb_image& image, const eb_index_record& head, const std::vector<ULONG64>& ebi) {
        ULONG64 at = limit(image.leb);
        grow(image, at + LOG_INDEX_RECORD_BYTES);
        std::memset(&image.bytes[at], 0, LOG_INDEX_RECORD_BYTES);
        std::memcpy(&image.bytes[at], &head, sizeof head);
        if (!ebi.empty()) std::memcpy(&image.bytes[at + sizeof head], ebi.data(), ebi.size() * 8);
    }
    // A record of `packets` system packets at a packet slot: the slot record in the first
    // packet's data.
    ULONG64 put_record(leb_image& image, ULONG slot_number, ULONG packets, const eb_index_entry& next) {
        ULONG64 at = image.at;
        for (ULONG i = 0; i < packets; i++) put_packet(image, 0xA0, record_address + i, (UCHAR)(0x30 + i));
        eb_slot_record record{};
        record.kind = 1;
        record.record_index = (USHORT)slot_number;
        record.next = next;
        std::memcpy(&image.bytes[at + 8], &record, sizeof record);
        return at;
    }
    eb_index_record index_head(USHORT eb, USHORT slots, USHORT sectors) {
        eb_index_record head{};
        head.opcode = EB_INDEX_OPCODE;
        head.check = EB_INDEX_CHECK_BASE + eb;
        head.slot_count = slots;
        head.sectors_per_slot = sectors;
        return head;
    }
    // Programs the image: its written segments, and the segments of the index at the end.
    void program_with_index(const leb_image& image) {
        ULONG seg = segment_bytes();
        ULONG64 at = limit(image.leb);
        ULONG first = (ULONG)(at / seg);
        std::vector<UCHAR> front(image.bytes.begin(), image.bytes.begin() + std::min<size_t>(image.at, at));
        program_bytes(image.leb, front);
        std::vector<UCHAR> tail(image.bytes.begin() + (size_t)first * seg, image.bytes.end());
        tail.resize((size_t)(geometry_.segments_per_eb - first) * seg, 0xFF);
        dma_visible dma(tail);
        ASSERT_EQ(eb_program_segments(channel(), image.leb, first, geometry_.segments_per_eb - first, tail.data()), 0);
    }
};

TEST_F(EbScanTest, TheIndexAndTheChainedRecordsItNames) {
    leb_image a = take_leb(2);
    const ULONG64 second = put_record(a, 0, 2, eb_index_entry{});
    const ULONG64 first = put_record(a, 0, 3, eb_index_entry{0, 2, (ULONG)second});
    const ULONG64 other = put_record(a, 1, 1, eb_index_entry{});
    eb_index_record head = index_head(2, 2, 4);
    head.entry_count = 3;
    head.entries[0] = {0, 3, (ULONG)first};
    head.entries[1] = {1, 1, (ULONG)other};
    head.entries[2] = {1, 1, 0};  // no record
    put_index(a, head, {});
    program_with_index(a);

    eb_scan_context* scan = nullptr;
    ASSERT_EQ(eb_scan_create(channel(), &scan), 0);
    ASSERT_EQ(eb_scan_begin(channel(), 2, scan, false), 0);
    EXPECT_EQ(scan->limit, log_leb_data_end(&log_, 2)) << "the index sits where the packet slots end";
    EXPECT_EQ(scan->slots[0].records, 2u) << "the first record's next one was read too";
    EXPECT_EQ(scan->slots[1].records, 1u);
    EXPECT_EQ(eb_scan_record_total(scan), 8u);
    EXPECT_EQ(ebinfo_get(channel(), 2)->scanned_records, 8u);
    // The slot holds the last record of its chain: the packets' data, headers passed over.
    EXPECT_EQ(scan->slots[0].buffer[512], 0x31) << "the second packet's data";
    eb_scan_free(scan);
}

struct bad_index_case {
    const char* name;
    eb_index_entry entry;  // offsets relative to H; ~0u: erased index
    int result;
    bool flagged;
    USHORT record_slot = 0;  // the slot the record says it belongs to
};

class BadIndexTest : public EbScanTest, public ::testing::WithParamInterface<bad_index_case> {};

TEST_P(BadIndexTest, IsRefused) {
    const bad_index_case& c = GetParam();
    leb_image a = take_leb(3);
    const ULONG64 record = put_record(a, c.record_slot, 1, eb_index_entry{0, 1, 0});
    if (c.entry.offset != ~0u) {
        eb_index_record head = index_head(3, 1, 2);
        head.entry_count = 1;
        head.entries[0] = c.entry;
        head.entries[0].offset += (ULONG)record;
        put_index(a, head, {});
        if (std::string(c.name) == "chain_loops") {
            eb_slot_record looping{};
            looping.next = {0, 1, (ULONG)record};
            std::memcpy(&a.bytes[record + 8], &looping, sizeof looping);
        }
        program_with_index(a);
    } else {
        program(a);
    }
    eb_scan_context* scan = nullptr;
    ASSERT_EQ(eb_scan_create(channel(), &scan), 0);
    EXPECT_EQ(eb_scan_begin(channel(), 3, scan, false), c.result);
    EXPECT_EQ((ebinfo_get(channel(), 3)->flags & EB_FLAG_GROOM_B) != 0, c.flagged);
    eb_scan_free(scan);
}

INSTANTIATE_TEST_SUITE_P(Media, BadIndexTest,
                         ::testing::Values(bad_index_case{"erased_index", {0, 1, ~0u}, -2, false},
                                           bad_index_case{"sectors_above_the_slot", {0, 3, 0}, -22, false},
                                           bad_index_case{"slot_beyond_the_count", {1, 1, 0}, -22, false},
                                           bad_index_case{"off_the_stride_grid", {0, 1, 8}, -14, true},
                                           bad_index_case{"chain_loops", {0, 1, 0}, -22, false},
                                           bad_index_case{"record_of_another_slot", {0, 1, 0}, -22, false, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// What a scan handed to its callbacks.
struct scan_record {
    std::vector<std::string> calls;
};

scan_record* record_of(log_scan* scan) {
    return (scan_record*)scan->owner;
}

int on_data(log_scan* scan, USHORT leb, ULONG packet, ULONG64 address, ULONG count) {
    record_of(scan)->calls.push_back("data " + std::to_string(leb) + ":" + std::to_string(packet) + " @" +
                                    std::to_string(address) + " x" + std::to_string(count));
    return 0;
}
int on_eb_note(log_scan* scan, USHORT leb, const eb_note* note) {
    record_of(scan)->calls.push_back("eb note " + std::to_string(leb) + " state " + std::to_string(note->state));
    return 0;
}
int on_discard(log_scan* scan, USHORT leb, const UCHAR* note, ULONG bytes) {
    record_of(scan)->calls.push_back("discard " + std::to_string(leb) + " " + std::to_string(bytes) + " " +
                                    std::to_string(note[10]));
    return 0;
}
int on_walk(log_scan* scan, log_file* reader, USHORT leb) {
    UCHAR opcode;
    int rc;
    ULONG entries = 0;
    while ((rc = log_file_next_entry(reader, &opcode)) == 0 && (rc = log_entry_skip(reader, opcode)) == 0) entries++;
    record_of(scan)->calls.push_back("walk " + std::to_string(leb) + " " + std::to_string(entries));
    return rc;
}

const log_scan_ops recording_ops = {on_data, on_eb_note, on_discard, nullptr, nullptr, nullptr, on_walk};

TEST_F(EbScanTest, TheChainIsScannedThroughTheIndexOrWalked) {
    leb_image a = take_leb(4);
    leb_image b = take_leb(5);
    for (ULONG k = 0; k < 6; k++) put_packet(a, 0x90, 700 + k, 0x11);
    eb_note note{};
    pkt_header_encode(note.header, 0xA0, SYS_ADDR_EB_NOTE + 9);
    note.state = MGMT_STATE_ERASED;
    std::vector<UCHAR> body((UCHAR*)&note + 8, (UCHAR*)&note + sizeof note);
    put_packet(a, 0xA0, SYS_ADDR_EB_NOTE + 9, 0, body);
    std::vector<UCHAR> discard(56, 0);
    discard[2] = 1;  // the count (u16 at byte 10 of the note)
    put_packet(a, 0xA0, SYS_ADDR_DISCARD_NOTE, 0, discard);
    put_note(a, LOG_OP_CHECKPOINT, 40, 0x87);
    eb_index_record index = index_head(4, 1, 1);
    // The list: the running offset at H, a run of 6 packets, the EB note, the discard note, the
    // checkpoint (ignored), and a run clipped to the block's packet slots.
    const ULONG64 h = head();
    const ULONG slots = datalog_leb_capacity(&log_, 4);
    put_index(a, index,
              {ebi_offset_word((ULONG)h, 1), ebi_run_word(6, 700), ebi_entry_word(0xA0, SYS_ADDR_EB_NOTE + 9),
               ebi_entry_word(0xA0, SYS_ADDR_DISCARD_NOTE), ebi_entry_word(LOG_OP_CHECKPOINT, 0),
               ebi_offset_word((ULONG)(h + (ULONG64)(slots - 2) * packet()), 1), ebi_run_word(5, 900)});
    program_with_index(a);
    for (ULONG k = 0; k < 3; k++) put_packet(b, 0x90, 800 + k, 0x22);  // no index: walked
    program(b);

    scan_record seen;
    log_scan scan;
    ASSERT_EQ(log_scan_init(&scan, &log_, &recording_ops, &seen), 0);
    EXPECT_EQ(ebi_scan_chain(&scan, 4, PAV_NO_LEB, false), 0);
    EXPECT_EQ(scan.lebs_by_index, 1u);
    EXPECT_EQ(scan.lebs_walked, 1u);
    const std::vector<std::string> expected = {
        "data 4:0 @700 x6",
        "eb note 4 state 2",
        "discard 4 64 1",
        "data 4:" + std::to_string(slots - 2) + " @900 x2",
        "walk 5 3",
    };
    EXPECT_EQ(seen.calls, expected);

    // A discard range leaves its packets out of the runs.
    seen.calls.clear();
    lebs_[4].discard_start = 2;
    lebs_[4].discard_end = 4;
    // A scan that ends at LEB 4 leaves LEB 5 alone.
    EXPECT_EQ(ebi_scan_chain(&scan, 4, 4, false), 0);
    EXPECT_EQ(seen.calls, (std::vector<std::string>{"data 4:0 @700 x2", "data 4:4 @704 x2", "eb note 4 state 2",
                                                    "discard 4 64 1", "data 4:" + std::to_string(slots - 2) + " @900 x2"}));
    log_scan_exit(&scan);
}

// A walk that only notes the LEB it was given.
int on_walk_noted(log_scan* scan, log_file*, USHORT leb) {
    record_of(scan)->calls.push_back("walk " + std::to_string(leb));
    return 0;
}
const log_scan_ops walk_noting_ops = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, on_walk_noted};

TEST_F(EbScanTest, AChainThroughEveryLebIsScannedAndOneThatLoopsIsRefused) {
    // Every LEB of the log in one chain, none with an index: each is walked, none twice.
    const USHORT count = (USHORT)log_.eb_count;
    for (USHORT leb = 0; leb < count; leb++) lebs_[leb].next = leb + 1 < count ? (USHORT)(leb + 1) : PAV_NO_LEB;
    scan_record seen;
    log_scan scan;
    ASSERT_EQ(log_scan_init(&scan, &log_, &walk_noting_ops, &seen), 0);
    EXPECT_EQ(ebi_scan_chain(&scan, 0, PAV_NO_LEB, false), 0);
    EXPECT_EQ(scan.lebs_walked, (ULONG)count);
    std::vector<std::string> walked;
    for (USHORT leb = 0; leb < count; leb++) walked.push_back("walk " + std::to_string(leb));
    EXPECT_EQ(seen.calls, walked);

    // The last LEB leads back to the fourth: the chain loops.
    lebs_[count - 1].next = 3;
    sim::kernel::clear_debug_lines();
    EXPECT_EQ(ebi_scan_chain(&scan, 0, PAV_NO_LEB, false), -22);
    EXPECT_TRUE(logged("dov0: LEB chain loops back to LEB 3\n"));
    log_scan_exit(&scan);
}

}  // namespace
