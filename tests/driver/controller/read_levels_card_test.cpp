// Read levels on the card model: reads carry their block's parameter word, a block whose
// thresholds drifted fails at the level the table gives, the retry sequence finds the level it
// needs, and what the retry learned makes the next read right at once.

#include <cstring>
#include <mutex>
#include <vector>

#include "driver/controller/read_levels.h"
#include "driver/pipeline/builders.h"
#include "driver/pipeline/issue.h"
#include "driver/pipeline/nand_cmds.h"
#include "driver/pipeline/nand_media.h"
#include "driver/pipeline/pipeline.h"
#include "driver/platform/memory.h"
#include "tests/driver/pipeline/card_channel.h"

namespace {

constexpr USHORT block = 3;
constexpr ULONG die = 1;  // the bank of page 1 of a row

// A read-error recovery reduced to the read-level retries of one die: a read that failed
// uncorrectable takes the next retry while there is one; one that succeeded after retries
// teaches its levels.
struct retry_record {
    std::mutex mutex;
    ULONG index = 0;
    bool active = false;
    std::vector<ULONG> words;  // the parameter word of each retry
    std::vector<int> results;  // of every attempt
};
retry_record* record = nullptr;

int recover(nand_dev* channel, velkor_request* request) {
    if (request->type != REQUEST_READ || record == nullptr) {
        return 1;
    }
    std::lock_guard<std::mutex> hold(record->mutex);
    record->results.push_back(request->fail);
    if (request->fail == PAV_UNCORRECTABLE) {
        record->active = true;
        if (readlevel_retry_next(channel, request, &record->index, block, die)) {
            record->words.push_back(request->readlevel_override[die]);
            return resubmit_request(channel, request) ? 0 : 1;
        }
        record->active = false;
        return 1;
    }
    if (request->fail == 0 && record->active) {
        readlevel_retry_success(channel, request, block, die);
        record->active = false;
    }
    return 1;
}

class ReadLevelCardTest : public CardChannelTest {
  protected:
    void SetUp() override {
        record = &record_;
        CardChannelTest::SetUp();
        channel()->issue_table = request_issue_table;
        buffer_ = (UCHAR*)kpav_dma_alloc_contig(&bus_);
        ASSERT_NE(buffer_, nullptr);
    }
    void configure() override {
        owner_.nand_controller_init = [](nand_dev* channel) {
            int rc = geometry_from_card(channel);
            // The part's family as the part set-up finds it (the ONFi family, 8-bit levels).
            if (rc == 0) {
                rc = nand_mgmt_info_find(channel, 1);
            }
            channel->iface.policy = nand_media_policy_find(5);
            channel->iface.eq_capable = 1;
            channel->iface.rl_mask = 0xFF;
            return rc != 0 ? rc : readlevel_setup(channel);
        };
        owner_.eb_pad_read_level = readlevel_eb_word;
        owner_.readlevel_free = readlevel_free;
        owner_.read_recovery_complete = recover;
    }
    void TearDown() override {
        UCHAR* buffer = buffer_;
        pipeline_free_then([buffer] { kpav_dma_free_contig(buffer); });
        CardChannelTest::TearDown();
        record = nullptr;
    }
    void program_page() {
        const ULONG page_bytes = channel()->geometry.page_size;
        std::memset(buffer_, 0x5C, page_bytes);
        ASSERT_EQ(request_erase_sync(channel(), block, nullptr, 0), 0);
        ASSERT_EQ(request_page_program_sync(channel(), block, 1, buffer_, page_bytes, nullptr, nullptr, 1), 0);
    }
    int read_page() {
        {
            std::lock_guard<std::mutex> hold(record_.mutex);
            record_.index = 0;
            record_.words.clear();
            record_.results.clear();
        }
        media_address address{};
        address.eb = block;
        address.offset = channel()->geometry.page_size;  // row 0, bank 1
        std::memset(buffer_ + 65536, 0, 4096);
        return media_read_raw(channel(), &address, buffer_ + 65536, 4096, 0, nullptr, nullptr, nullptr);
    }
    // The parameter words the reads of the block's page sent to the card, in order.
    std::vector<ULONG> words_sent() {
        std::vector<ULONG> out;
        for (const auto& e : model_->entry_trace()) {
            if (e.reg == BAR_NAND + NAND_READ_LEVEL) {
                out.push_back(e.value);
            }
        }
        return out;
    }

    retry_record record_;
    UCHAR* buffer_ = nullptr;
    ULONG64 bus_ = 0;
};

TEST_F(ReadLevelCardTest, AReadAtTheWrongLevelFailsAndTheRetriesRecoverIt) {
    program_page();
    // At the level the table gives (-2) the page reads; every read says so.
    ASSERT_EQ(read_page(), 0);
    EXPECT_EQ(buffer_[65536], 0x5C);
    ASSERT_FALSE(words_sent().empty());
    EXPECT_EQ(words_sent().back(), 0xFEFEFEFEu);

    // The block's bank drifted to -28: the table's level is far off, the read fails without
    // retries.
    model_->inject("read_level_drift", "eb=3 bank=1 level=-28 window=2");
    owner_.read_recovery_complete = owner_request_finished;
    EXPECT_EQ(read_page(), PAV_UNCORRECTABLE);
    owner_.read_recovery_complete = recover;

    // With the retries the read recovers: the table level, plus the retry offset, then the
    // steps around the range's middle until -28.
    ASSERT_EQ(read_page(), 0);
    EXPECT_EQ(buffer_[65536], 0x5C);
    EXPECT_EQ(record_.words, (std::vector<ULONG>{0xFEFEFEFE, 0xEFEFEFEF, 0xF0F0F0F0, 0xF6F6F6F6, 0xEAEAEAEA,
                                                 0xFCFCFCFC, 0xE4E4E4E4}));
    EXPECT_EQ(record_.results.size(), 8u);
    EXPECT_EQ(record_.results.back(), 0);

    // What the retry learned: the next read is right at once.
    size_t before = words_sent().size();
    ASSERT_EQ(read_page(), 0);
    EXPECT_EQ(record_.results, std::vector<int>{0});
    ASSERT_EQ(words_sent().size(), before + 1);
    EXPECT_EQ(words_sent().back(), 0xE4E4E4E4u);
}

TEST_F(ReadLevelCardTest, ADriftBeyondTheRetryRangeFailsOnceTheSequenceEnds) {
    program_page();
    model_->inject("read_level_drift", "eb=3 bank=1 level=40 window=2");
    EXPECT_EQ(read_page(), PAV_UNCORRECTABLE);
    EXPECT_EQ(record_.words.size(), 11u);  // the table level, its offset, nine steps
    EXPECT_EQ(record_.results.size(), 12u);
    // Nothing was learned: the block reads at the table's level again.
    model_->clear("read_level_drift");
    ASSERT_EQ(read_page(), 0);
    EXPECT_EQ(words_sent().back(), 0xFEFEFEFEu);
}

}  // namespace
