// The issue handlers on the card model: erase, page program and read back through the
// randomizer, and a read of an erased page.

#include <cstring>
#include <vector>

#include "driver/pipeline/builders.h"
#include "driver/pipeline/issue.h"
#include "driver/platform/memory.h"
#include "tests/driver/pipeline/card_channel.h"

namespace {

class IssueCardTest : public CardChannelTest {
  protected:
    void SetUp() override {
        CardChannelTest::SetUp();
        channel()->issue_table = request_issue_table;
    }
};

TEST_F(IssueCardTest, ARowProgrammedThroughTheRandomizerReadsBack) {
    ULONG64 bus = 0;
    auto* buffer = (UCHAR*)kpav_dma_alloc_contig(&bus);
    ASSERT_NE(buffer, nullptr);
    const ULONG page = channel()->geometry.page_size;
    for (ULONG i = 0; i < page; i++) {
        buffer[i] = (UCHAR)(i * 7 + 3);
    }
    ASSERT_EQ(request_erase_sync(channel(), 3, nullptr, 0), 0);
    ASSERT_EQ(request_page_program_sync(channel(), 3, 1, buffer, page, nullptr, nullptr, 1), 0);
    UCHAR* back = buffer + 2 * page;
    std::memset(back, 0, page);
    media_address address{};
    address.eb = 3;
    address.offset = page;  // page 1: row 0, bank 1
    ASSERT_EQ(media_read_raw(channel(), &address, back, page, 0, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(std::memcmp(back, buffer, page), 0);
    EXPECT_EQ(model_->segment_state(3, 1, 0).kind, sim::card::SegmentKind::programmed);
    // An erased page reads as erased.
    ASSERT_EQ(request_erase_sync(channel(), 4, nullptr, 0), 0);
    address.eb = 4;
    EXPECT_EQ(media_read_raw(channel(), &address, back, 4096, 0, nullptr, nullptr, nullptr), PAV_ERASED_MEDIA);
    kpav_dma_free_contig(buffer);
}

}  // namespace
