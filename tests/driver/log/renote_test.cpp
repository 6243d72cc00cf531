// EB notes re-recorded before an LEB is erased, on the card model: every LEB without a note gets
// one (with the state its function state gives), the notes that lie in the LEB about to be erased
// are written again elsewhere, and each note's new place is the LEB's note address; a scan of
// the chain finds them.
#include <map>
#include <vector>

#include "driver/log/apt.h"
#include "driver/log/log_scan.h"
#include "driver/log/mgmt.h"
#include "tests/driver/log/media_fixture.h"

namespace {

class RenoteTest : public StoreMediaTest {
  protected:
    USHORT leb_of(ULONG64 address) { return (USHORT)((address - PAV_LOG_FIRST_ADDR) / log_.leb_span); }
    // The EB notes the chain holds, by the EB they describe: the LEB each lies in and its state
    // byte, the latest in log order.
    struct found_note {
        USHORT in_leb;
        UCHAR state;
    };
    std::map<USHORT, found_note> scan_notes() {
        std::map<USHORT, found_note> found;
        static const log_scan_ops ops = {
            nullptr,
            [](log_scan* scan, USHORT leb, const eb_note* note) {
                ULONG64 address = 0;
                UCHAR opcode = 0;
                pkt_header_decode(note->header, &opcode, &address);
                (*(std::map<USHORT, found_note>*)scan->owner)[(USHORT)(address - SYS_ADDR_EB_NOTE)] = {leb,
                                                                                                       note->state};
                return 0;
            },
            nullptr, nullptr, nullptr, nullptr, nullptr};
        log_scan scan{};
        EXPECT_EQ(log_scan_init(&scan, &log_, &ops, &found), 0);
        EXPECT_EQ(ebi_scan_chain(&scan, log_.head_leb, PAV_NO_LEB, false), 0);
        log_scan_exit(&scan);
        return found;
    }
};

TEST_F(RenoteTest, NotesAreWrittenForLebsWithoutAndAgainForThoseInTheLebToBeErased) {
    open_point();
    // A block the MEL maps gets no note.
    ebinfo_get(channel(), 15)->mel_mark = EB_MEL_MAPPED_OUT;
    eb_note_tracker tracker;
    eb_note_tracker_init(&tracker);
    ASSERT_EQ(datalog_renote_leb(&log_, PAV_NO_LEB, &tracker), 0);
    EXPECT_EQ(tracker.count, 1);
    const USHORT first = log_.append_leb;
    ASSERT_NE(first, PAV_NO_LEB);
    for (USHORT eb = 0; eb < 15; eb++) {
        ASSERT_NE(log_.counters[eb].note_address, ~0ull) << eb;
        EXPECT_EQ(leb_of(log_.counters[eb].note_address), first) << eb;
    }
    EXPECT_EQ(log_.counters[15].note_address, ~0ull);

    // The notes now lie in `first`; the point moves on and `first` is to be erased.
    ASSERT_EQ(datalog_advance_and_close(&log_, first), 0);
    ASSERT_EQ(log_.lebs[first].func.value, (ULONG)PAV_LEB_FUNC_CLOSED);
    ASSERT_EQ(datalog_renote_leb(&log_, first, &tracker), 0);
    const USHORT second = log_.append_leb;
    ASSERT_NE(second, first);
    for (USHORT eb = 0; eb < 15; eb++) EXPECT_EQ(leb_of(log_.counters[eb].note_address), second) << eb;
    close_point();

    std::map<USHORT, found_note> notes = scan_notes();
    ASSERT_EQ(notes.size(), 15u);
    for (auto& [eb, note] : notes) {
        EXPECT_EQ(note.in_leb, second) << eb;
        // Closed: 1; erased: 2. `second` was erased or already writing when its own note was
        // built, depending on when the point took it.
        if (eb == second) {
            EXPECT_TRUE(note.state == 1 || note.state == 2) << (int)note.state;
        } else {
            EXPECT_EQ(note.state, eb == first ? 1 : 2) << eb;
        }
    }

    // No note lies in `first` any more and every LEB has one: nothing to write.
    open_point();
    std::vector<ULONG64> before;
    for (USHORT eb = 0; eb < 16; eb++) before.push_back(log_.counters[eb].note_address);
    ASSERT_EQ(datalog_renote_leb(&log_, first, &tracker), 0);
    for (USHORT eb = 0; eb < 16; eb++) EXPECT_EQ(log_.counters[eb].note_address, before[eb]) << eb;
}

}  // namespace
