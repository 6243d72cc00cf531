// The partial-atomic-write note written to the log on the card model: a write over three LEBs
// takes two 64-byte notes (two entries each at most), each a system packet at the note's address
// that a scan of the chain hands back, and that applied again sets the same discard ranges.
#include <cstring>
#include <vector>

#include "driver/log/atomic_note.h"
#include "driver/log/log_scan.h"
#include "tests/driver/log/media_fixture.h"

namespace {

class AtomicNoteWriteTest : public StoreMediaTest {};

TEST_F(AtomicNoteWriteTest, AWriteOverThreeLebsTakesTwoNotesThatAScanFindsAndApplies) {
    open_point();
    std::vector<USHORT> lebs;
    for (int i = 0; i < 3; i++) {
        append(0x90, 100 + i, 1);
        ASSERT_TRUE(wait_appends());
        lebs.push_back(log_.append_leb);
        if (i < 2) {
            ASSERT_EQ(datalog_advance_and_close(&log_, log_.append_leb), 0);
        }
    }
    ASSERT_NE(lebs[0], lebs[1]);
    ASSERT_NE(lebs[1], lebs[2]);
    ASSERT_EQ(atomic_discard_note_build(&log_, lebs[0], 5, lebs[2], 7), 0);
    ASSERT_EQ(((atomic_note*)log_.discard_note)->count, 3);
    ASSERT_EQ(atomic_discard_note_write(&log_), 0);
    EXPECT_EQ(log_.discard_note, nullptr);
    close_point();

    std::vector<std::vector<UCHAR>> notes;
    static const log_scan_ops ops = {nullptr, nullptr,
                                     [](log_scan* scan, USHORT, const UCHAR* note, ULONG bytes) {
                                         ((std::vector<std::vector<UCHAR>>*)scan->owner)
                                             ->emplace_back(note, note + bytes);
                                         return 0;
                                     },
                                     nullptr, nullptr, nullptr, nullptr};
    log_scan scan{};
    ASSERT_EQ(log_scan_init(&scan, &log_, &ops, &notes), 0);
    ASSERT_EQ(ebi_scan_chain(&scan, log_.head_leb, PAV_NO_LEB, false), 0);
    log_scan_exit(&scan);
    ASSERT_EQ(notes.size(), 2u);
    const auto* first = (const atomic_note*)notes[0].data();
    const auto* second = (const atomic_note*)notes[1].data();
    const UCHAR header[8] = {0xA0, 0xFF, 0xFF, 0xFF, 0xF0, 0x79, 0xFF, 0xFF};
    EXPECT_EQ(std::memcmp(first->header, header, 8), 0);
    EXPECT_EQ(first->count, 2);
    EXPECT_EQ(second->count, 1);
    EXPECT_EQ(first->entries[0].leb, lebs[0]);
    EXPECT_EQ(first->entries[0].first_packet, 5u);
    EXPECT_EQ(first->entries[1].leb, lebs[1]);
    EXPECT_EQ(first->entries[1].first_packet, 0u);
    EXPECT_EQ(second->entries[0].leb, lebs[2]);
    EXPECT_EQ(second->entries[0].last_packet, 7u);
    EXPECT_EQ(second->entries[0].sequence, log_.lebs[lebs[2]].sequence);

    for (USHORT leb : lebs) log_.lebs[leb].discard_start = log_.lebs[leb].discard_end = 0;
    ASSERT_EQ(atomic_discard_note_apply(&log_, first, 64), 0);
    ASSERT_EQ(atomic_discard_note_apply(&log_, second, 64), 0);
    EXPECT_EQ(log_.lebs[lebs[0]].discard_start, 5u);
    EXPECT_EQ(log_.lebs[lebs[0]].discard_end, datalog_leb_capacity(&log_, lebs[0]));
    EXPECT_EQ(log_.lebs[lebs[1]].discard_start, 0u);
    EXPECT_EQ(log_.lebs[lebs[2]].discard_end, 8u);
}

}  // namespace
