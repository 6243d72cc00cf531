// Flush records: byte accounting across pad rows, the requests that wait for rows, completions
// taken in issue order, bad pads, and completions the card should not send.

#include <memory>

#include "driver/pipeline/pipeline.h"
#include "tests/support/kernel_fixture.h"

namespace {

std::vector<ULONG> started_rows;

class FlushTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        started_rows.clear();
        std::strcpy(card_.name, "dov0");
        nand_dev_init(&channel_, &card_);
        nand_geometry& g = channel_.geometry;
        g.pads = 4;
        g.banks = 2;
        g.page_size = 4096;
        g.rows_per_eb = 64;
        ops_.program_start = [](nand_dev*, flush_record* record) { started_rows.push_back(record->index); };
        channel_.backend = &ops_;
        ASSERT_EQ(flush_records_alloc(&channel_), 0);
    }
    void TearDown() override {
        flush_records_free(&channel_);
        requests_.clear();
        KernelTest::TearDown();
    }
    velkor_request* make(ULONG type, ULONG64 flags) {
        requests_.push_back(std::make_unique<velkor_request>());
        velkor_request* r = requests_.back().get();
        *r = velkor_request{};
        r->channel = &channel_;
        r->type = type;
        r->flags = flags;
        InitializeListHead(&r->flush_link);
        InitializeListHead(&r->queue_link);
        return r;
    }
    void account(flush_position* at, velkor_request* r, ULONG64 bytes) {
        kpav_spin_lock(&channel_.issue_lock);
        flush_account_bytes(&channel_, at, r, bytes);
        kpav_spin_unlock(&channel_.issue_lock);
    }
    // A full row of pad `pad` of block 1 written by `r`: the row is issued.
    void fill_row(ULONG pad, velkor_request* r) {
        flush_position at{1, (ULONG64)pad * 4096};
        account(&at, r, 4096);
    }
    bool waiting(const velkor_request* r) { return ReadAcquire(&r->flush_waiting) != 0; }

    pipeline_device card_{};
    nand_dev channel_;
    channel_backend_ops ops_ = channel_backend_defaults;
    std::vector<std::unique_ptr<velkor_request>> requests_;
};

TEST_F(FlushTest, RowsCompleteInIssueOrderWhateverOrderTheCardReports) {
    std::vector<velkor_request*> writers;
    for (ULONG i = 0; i < 6; i++) {
        writers.push_back(make(REQUEST_APPEND, REQ_FLUSH_WAITER));
        fill_row(i % 4, writers.back());
    }
    ASSERT_EQ(started_rows.size(), 6u);
    EXPECT_EQ(channel_.flush.issued, 6);
    for (int i = 0; i < 4; i++) {
        flush_complete(&channel_, started_rows[i]);
    }
    // The card reports the sixth row before the fifth: its writer keeps waiting.
    flush_complete(&channel_, started_rows[5]);
    EXPECT_TRUE(waiting(writers[5]));
    EXPECT_TRUE(waiting(writers[4]));
    EXPECT_EQ(channel_.flush.issued, 2);
    flush_complete(&channel_, started_rows[4]);
    EXPECT_FALSE(waiting(writers[4]));
    EXPECT_FALSE(waiting(writers[5]));
    EXPECT_EQ(channel_.flush.issued, 0);
    EXPECT_EQ(channel_.flush.free_count, (LONG)FLUSH_RECORD_COUNT);
    EXPECT_TRUE(IsListEmpty(&channel_.flush.out_of_order));
}

TEST_F(FlushTest, AWriteThatEndsExactlyAtThePadsCapacityIssuesTheRow) {
    flush_position at{1, 1000};
    account(&at, make(REQUEST_APPEND, 0), 3096);
    EXPECT_EQ(channel_.flush.current, nullptr);
    EXPECT_EQ(started_rows.size(), 1u);
    EXPECT_EQ(at.offset, 4096u);
    account(&at, make(REQUEST_APPEND, 0), 10);
    ASSERT_NE(channel_.flush.current, nullptr);
    EXPECT_EQ(channel_.flush.current->pad, 1);
    EXPECT_EQ(channel_.flush.current->bytes, 10u);
    EXPECT_EQ(channel_.flush.current->bank, 1u);
}

TEST_F(FlushTest, AWriteWaitsForEveryRowItTouchesAndIsLinkedOnce) {
    velkor_request* w = make(REQUEST_PAGE_PROGRAM, REQ_FLUSH_WAITER | REQ_FLUSH_JOIN);
    flush_position at{1, 0};
    account(&at, w, 4096 + 2000);  // fills pad 0's row, opens pad 1's
    ASSERT_EQ(started_rows.size(), 1u);
    kpav_spin_lock(&channel_.issue_lock);
    flush_attach_waiter(&channel_, w);  // as the issue path does for the open row
    flush_attach_waiter(&channel_, w);
    kpav_spin_unlock(&channel_.issue_lock);
    int linked = 0;
    for (PLIST_ENTRY e = channel_.flush.waiters.Flink; e != &channel_.flush.waiters; e = e->Flink) {
        linked++;
    }
    EXPECT_EQ(linked, 1);
    flush_complete(&channel_, started_rows[0]);
    EXPECT_TRUE(waiting(w));  // its second row is not programmed yet
    kpav_spin_lock(&channel_.issue_lock);
    flush_issue(&channel_);
    kpav_spin_unlock(&channel_.issue_lock);
    ASSERT_EQ(started_rows.size(), 2u);
    flush_complete(&channel_, started_rows[1]);
    EXPECT_FALSE(waiting(w));
    EXPECT_EQ(w->fail, 0);
}

TEST_F(FlushTest, BadPadsFailTheWaitersThePadErrorRuleSelects) {
    velkor_request* erase = make(REQUEST_ERASE, REQ_FLUSH_WAITER);
    velkor_request* append = make(REQUEST_APPEND, REQ_FLUSH_WAITER | REQ_FLUSH_JOIN);
    velkor_request* program = make(REQUEST_PAGE_PROGRAM, REQ_FLUSH_WAITER | REQ_FLUSH_JOIN);
    velkor_request* later = make(REQUEST_PAGE_PROGRAM, REQ_FLUSH_WAITER | REQ_FLUSH_JOIN);
    kpav_spin_lock(&channel_.issue_lock);
    flush_position at{1, 0};
    flush_account_bytes(&channel_, &at, append, 100);
    flush_attach_waiter(&channel_, erase);
    flush_attach_waiter(&channel_, append);
    flush_attach_waiter(&channel_, program);
    flush_issue(&channel_);
    flush_account_bytes(&channel_, &at, later, 100);
    flush_attach_waiter(&channel_, later);
    flush_issue(&channel_);
    kpav_spin_unlock(&channel_.issue_lock);
    const ULONG map[2] = {0x5, 0x1};
    flush_note_bad_pads(&channel_, started_rows[0], map, 2);
    flush_complete(&channel_, started_rows[0]);
    EXPECT_EQ(erase->fail, -5);
    EXPECT_NE(erase->flags & REQ_FAILED, 0u);
    EXPECT_EQ(erase->bad_pad_map[0], 0x5u);
    EXPECT_EQ(erase->bad_pad_map[1], 0x1u);
    EXPECT_EQ(program->fail, -5);
    EXPECT_EQ(append->fail, 0);  // the log moves its data; the append itself succeeded
    flush_complete(&channel_, started_rows[1]);
    EXPECT_EQ(later->fail, 0);  // its row was clean
    EXPECT_EQ(channel_.flush.pad_error_events, 1);
}

TEST_F(FlushTest, WithoutAFreeRecordTheWriteFailsWithMinus12) {
    flush_position at{1, 0};
    kpav_spin_lock(&channel_.issue_lock);
    for (ULONG i = 0; i < FLUSH_RECORD_COUNT; i++) {
        ASSERT_NE(flush_take_record(&channel_, &at, 0), nullptr);
    }
    velkor_request* w = make(REQUEST_APPEND, 0);
    flush_account_bytes(&channel_, &at, w, 100);
    kpav_spin_unlock(&channel_.issue_lock);
    EXPECT_EQ(w->fail, -12);
    EXPECT_NE(w->flags & REQ_FAILED, 0u);
    EXPECT_TRUE(logged("paverr Corvane driver: 12305 out of flush records.\n"));
}

TEST_F(FlushTest, FillerWithNoOpenRowAccountsNothing) {
    flush_position at{1, 0};
    account(&at, nullptr, 8192);
    EXPECT_EQ(channel_.flush.current, nullptr);
    EXPECT_TRUE(started_rows.empty());
    EXPECT_EQ(at.offset, 0u);
}

TEST_F(FlushTest, CompletionsOfRowsThatAreNotInFlightFailTheChannel) {
    struct bad_case {
        const char* what;
        ULONG index;
    };
    velkor_request* w = make(REQUEST_APPEND, 0);
    fill_row(0, w);
    fill_row(1, w);
    const bad_case cases[] = {{"beyond the pool", 4096}, {"never issued", 17}, {"already early", started_rows[1]}};
    flush_complete(&channel_, started_rows[1]);  // early: waits for the first
    for (const bad_case& c : cases) {
        channel_set_state(&channel_, CHANNEL_STATE_RUNNING);
        flush_complete(&channel_, c.index);
        EXPECT_TRUE(channel_failed(&channel_)) << c.what;
    }
    EXPECT_TRUE(logged("paverr Corvane driver: 12318 Failing channel (262144).\n"));
    EXPECT_EQ(channel_.flush.issued, 2);
}

}  // namespace
