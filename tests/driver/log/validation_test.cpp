// Attach-time validation on the card model: LEBs written with their openers, the card restarted,
// every opener read back and checked against the log slots, the newest LEB's record of the other
// blocks applied, and the chain ordered by sequence; the refusals with their messages.
#include <algorithm>
#include <functional>

#include "driver/log/validation.h"
#include "tests/driver/log/media_fixture.h"

namespace {

class ValidationTest : public StoreMediaTest {
  protected:
    eb_info* info(USHORT eb) { return ebinfo_get(channel(), eb); }
    ULONG func(USHORT eb) { return lebs_[eb].func.value; }

    // An LEB opened with an opener of `sequence` that `edit` may change, holding one data packet.
    leb_image opened(USHORT eb, ULONG64 sequence, const std::function<void(mgmt_header*)>& edit = {}) {
        ebinfo_prepare_erased(channel(), eb);
        std::vector<UCHAR> opener(mgmt_region_size(&geometry_));
        mgmt_header* record = nullptr;
        EXPECT_EQ(mgmt_header_build(channel(), opener.data(), (ULONG)opener.size(), eb, &ebinfo_table(channel())->layout,
                                    &record),
                  0);
        // The other blocks as the log saw them when this one opened: those opened before it
        // written, the rest erased.
        opened_.push_back(eb);
        mgmt_state_map_build(
            channel(), record->state_map, eb,
            [](void* context, USHORT e) -> UCHAR {
                const auto& seen = ((ValidationTest*)context)->opened_;
                return std::find(seen.begin(), seen.end(), e) != seen.end() ? MGMT_STATE_WRITTEN : MGMT_STATE_ERASED;
            },
            this);
        record->log_id = 1;
        record->sequence = sequence << 24;
        record->format_sequence = 3;
        record->capacity = format_.capacity;
        if (edit) edit(record);
        EXPECT_EQ(eb_header_write(channel(), eb, opener.data()), 0);
        leb_image image;
        image.leb = eb;
        image.bytes.assign(head(), 0xFA);
        std::memcpy(image.bytes.data(), opener.data(), opener.size());
        image.at = head();
        put_packet(image, 0x90, 1000 + eb, 0x11);
        return image;
    }
    // The EB note of `eb` in `state` as a packet of `image`.
    void note(leb_image& image, USHORT eb, UCHAR state) {
        eb_note n{};
        ASSERT_EQ(eb_note_build(channel(), &n, eb, state), 0);
        std::vector<UCHAR> body((const UCHAR*)&n + 8, (const UCHAR*)&n + sizeof n);
        put_packet(image, 0xA0, SYS_ADDR_EB_NOTE + eb, 0x00, body);
    }
    void restart_and_validate(int expected, bool retry = false) {
        reboot();
        ASSERT_FALSE(HasFatalFailure());
        for (auto& l : lebs_) kpav_state_init(&l.func, PAV_LEB_FUNC_UNKNOWN);
        if (validated_) mgmt_validation_exit(&v_);
        ASSERT_EQ(mgmt_validation_init(&v_, &log_), 0);
        validated_ = true;
        ASSERT_EQ(mgmt_metadata_validate(&v_, retry), expected);
    }
    void TearDown() override {
        if (validated_) mgmt_validation_exit(&v_);
        StoreMediaTest::TearDown();
    }
    mgmt_validation v_{};
    bool validated_ = false;
    std::vector<USHORT> opened_;
};

TEST_F(ValidationTest, OpenersOrderTheChainAndTheNewestRecordsTheRest) {
    leb_image a = opened(2, 64);
    leb_image b = opened(9, 128);
    leb_image c = opened(5, 192);
    leb_image newest = opened(7, 256);
    // LEB 5 was groomed and erased after the newest LEB opened: its EB note says so.
    note(newest, 5, MGMT_STATE_ERASED);
    for (leb_image* image : {&a, &b, &c, &newest}) program(*image);

    restart_and_validate(0);
    EXPECT_EQ(v_.corrupt, 0u);
    EXPECT_EQ(v_.upgrade, 0);
    EXPECT_EQ(mgmt_validation_format_sequence(&v_), 3u);
    EXPECT_EQ(func(3), (ULONG)PAV_LEB_FUNC_ERASED);
    EXPECT_EQ(lebs_[9].sequence, 128u);

    ASSERT_EQ(leb_order_chain(&v_, false), 0);
    EXPECT_EQ(v_.chain_count, 3u);
    EXPECT_EQ(log_.head_leb, 2);
    EXPECT_EQ(lebs_[2].next, 9);
    EXPECT_EQ(lebs_[9].next, 7);
    EXPECT_EQ(lebs_[7].next, PAV_NO_LEB);
    EXPECT_EQ(log_.append_leb, 7);
    for (USHORT leb : {2, 9, 7}) EXPECT_EQ(func(leb), (ULONG)PAV_LEB_FUNC_CLOSED) << leb;
    EXPECT_EQ(func(5), (ULONG)PAV_LEB_FUNC_ERASED) << "the note's state";
    EXPECT_EQ(info(5)->condition, EB_COND_ERASE_FIRST);
    EXPECT_EQ(info(12)->condition, EB_COND_BLANK) << "a blank block stays as it is";

    leb_index index{};
    ASSERT_EQ(attach_alloc_leb_index(&log_, v_.chain_count, &index), 0);
    EXPECT_EQ(index.leb_at[0], 2);
    EXPECT_EQ(index.leb_at[2], 7);
    EXPECT_EQ(index.leb_at[3], PAV_NO_LEB);
    EXPECT_EQ(index.position_of[9], 1);
    EXPECT_EQ(index.position_of[5], PAV_NO_LEB);
    leb_index_free(&index);

    ASSERT_EQ(leb_unlink(&log_, 9), 0);
    EXPECT_EQ(lebs_[2].next, 7);
    EXPECT_EQ(lebs_[7].previous, 2);
    ASSERT_EQ(leb_unlink(&log_, 7), 0);
    EXPECT_EQ(log_.append_leb, 2);
    EXPECT_EQ(leb_unlink(&log_, 0), -22);
    EXPECT_TRUE(logged("dov0: invalid LEB    0 (valid range    0-  15).\n"));

    ASSERT_EQ(leb_rebuild_erased_list(&log_), 0);
    EXPECT_EQ(ebinfo_table(channel())->erased_count, 16u - 3) << "every LEB but the three written";
}

// LEBs whose openers repeat a sequence: one of them is linked, the chain stays in order.
TEST_F(ValidationTest, ARepeatedSequenceLinksOnce) {
    program(opened(3, 64));
    program(opened(4, 64));
    program(opened(1, 128));
    program(opened(11, 192));  // the newest: it knows the others as written
    restart_and_validate(0);
    ASSERT_EQ(leb_order_chain(&v_, false), 0);
    EXPECT_EQ(v_.chain_count, 3u);
    USHORT first = log_.head_leb;
    EXPECT_TRUE(first == 3 || first == 4);
    EXPECT_EQ(lebs_[first].next, 1);
    EXPECT_EQ(lebs_[1].next, 11);
    EXPECT_EQ(log_.append_leb, 11);
}

TEST_F(ValidationTest, OpenersThatDoNotBelongAreRefused) {
    struct row {
        const char* what;
        std::function<void(mgmt_header*)> edit;
        int result;
        const char* message;
    } rows[] = {
        {"version", [](mgmt_header* r) { r->version = 0x600; }, -9, "dov0: Unsupported format version 1536.\n"},
        {"log id", [](mgmt_header* r) { r->log_id = 2; }, -22, "dov0: EB    5 has invalid log_id: 2\n"},
        {"EBO number", [](mgmt_header* r) { r->ebo[3] = 6; }, -22, "dov0: EB    5 has EBO number mismatch\n"},
        {"sector size", [](mgmt_header* r) { r->sector_size = 4096; }, -22, "dov0: eb    5 had sector size mismatch\n"},
        {"capacity", [](mgmt_header* r) { r->capacity = 5; }, -22, "dov0: eb    5 had capacity mismatch\n"},
        {"volume id", [](mgmt_header* r) { r->volume_id[15] = 1; }, -22, "dov0: eb    5 had volume id mismatch\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        for (USHORT eb = 0; eb < 16; eb++) {
            request_erase_sync(channel(), eb, nullptr, 0);
        }
        program(opened(2, 64));
        program(opened(5, 128, r.edit));
        restart_and_validate(r.result);
        EXPECT_TRUE(logged(r.message)) << r.message;
        if (r.result == -22) {
            EXPECT_TRUE(logged("dov0: Unable to read management metadata at (   5).\n"));
        }
    }
}

// A later format's openers replace the slot; the older format's LEBs are then foreign.
TEST_F(ValidationTest, ForeignAndCorruptLebsStopTheChainUnlessTolerated) {
    program(opened(2, 64, [](mgmt_header* r) { r->format_sequence = 2; }));
    leb_image newest = opened(5, 128);
    program(newest);
    restart_and_validate(0);
    EXPECT_EQ(mgmt_validation_format_sequence(&v_), 3u) << "the newer format took the slot";
    EXPECT_EQ(leb_order_chain(&v_, false), -22);
    EXPECT_EQ(v_.incompatible, 1) << "an LEB of another format";
    ASSERT_EQ(leb_order_chain(&v_, true), 0);
    EXPECT_EQ(v_.chain_count, 1u);
    EXPECT_EQ(log_.head_leb, 5);
}

TEST_F(ValidationTest, ACorruptRecordCountsUntilTheNewestNoteErasesIt) {
    // Block 8's first packet: a valid header, but the payload is a data packet.
    ebinfo_prepare_erased(channel(), 8);
    std::vector<UCHAR> first(mgmt_region_size(&geometry_), 0);
    first[96] = 0x90;
    ASSERT_EQ(eb_header_write(channel(), 8, first.data()), 0);
    first.resize(head(), 0xFA);
    program_bytes(8, first);
    opened_.push_back(8);  // written, as far as the LEBs opened after it know
    program(opened(2, 64));
    restart_and_validate(0);
    EXPECT_EQ(v_.corrupt, 1u);
    EXPECT_EQ(func(8), (ULONG)PAV_LEB_FUNC_CORRUPT);
    EXPECT_EQ(leb_order_chain(&v_, false), -22);
    EXPECT_TRUE(logged("dov0: Too many corrupt lebs (1).\n"));

    leb_image newest = opened(5, 128);
    note(newest, 8, MGMT_STATE_ERASED);
    program(newest);
    restart_and_validate(0);
    ASSERT_EQ(leb_order_chain(&v_, false), 0);
    EXPECT_EQ(v_.corrupt, 0u);
    EXPECT_EQ(func(8), (ULONG)PAV_LEB_FUNC_ERASED);
    EXPECT_EQ(v_.chain_count, 2u);
}

TEST_F(ValidationTest, OnlyOlderVersionsMeanAnUpgrade) {
    program(opened(2, 64, [](mgmt_header* r) { r->version = 0x4FF; }));
    program(opened(5, 128, [](mgmt_header* r) { r->version = 0x501; }));
    restart_and_validate(0);
    EXPECT_EQ(v_.upgrade, 0);
    EXPECT_FALSE(logged("dov0: Upgrade detected. Preparing drive, this could take several minutes.\n"));

    request_erase_sync(channel(), 5, nullptr, 0);
    restart_and_validate(0);
    EXPECT_EQ(v_.upgrade, 1);
    EXPECT_TRUE(logged("dov0: Upgrade detected. Preparing drive, this could take several minutes.\n"));
    EXPECT_NE(info(1)->flags & EB_FLAG_GROOM_B, 0) << "the first block after block 0 goes to the error notice";
}

}  // namespace

namespace {

// A valid EB note found by the scan gives the block its wear and masks and erases it.
TEST_F(ValidationTest, AnEbNoteAppliedErasesItsBlockWithTheNotesWear) {
    program(opened(6, 64));
    InterlockedExchange(&info(6)->erase_count, 41);
    info(6)->erase_time = 1700000000;
    info(6)->banks[1].saved_mask &= ~1u;
    eb_note n{};
    ASSERT_EQ(eb_note_build(channel(), &n, 6, MGMT_STATE_ERASED), 0);
    InterlockedExchange(&info(6)->erase_count, 0);
    info(6)->erase_time = 0;
    info(6)->banks[1].saved_mask |= 1u;
    ASSERT_EQ(eb_note_apply(channel(), &n), 0);
    EXPECT_EQ(info(6)->erase_count, 42) << "the note's count, and the erase after it";
    EXPECT_EQ(info(6)->banks[1].raw_mask & 1u, 0u) << "the note's masks";
    EXPECT_GE(info(6)->condition, EB_COND_NOTED);
    EXPECT_EQ(media_page_check_read(channel(), 6, 0), 1) << "erased";
    n.header[4] = 0x00;  // an address outside the notes' range
    n.header[6] = 0x00;
    EXPECT_EQ(eb_note_apply(channel(), &n), -22);

    // Erased and corrupt LEBs lose their wear; the others keep theirs.
    kpav_state_init(&lebs_[6].func, PAV_LEB_FUNC_ERASED);
    kpav_state_init(&lebs_[7].func, PAV_LEB_FUNC_CORRUPT);
    kpav_state_init(&lebs_[8].func, PAV_LEB_FUNC_CLOSED);
    InterlockedExchange(&info(8)->erase_count, 5);
    leb_unknown_wear(&log_);
    EXPECT_EQ(info(6)->erase_count, -1);
    EXPECT_EQ(info(7)->erase_count, -1);
    EXPECT_EQ(info(8)->erase_count, 5);
}

}  // namespace
