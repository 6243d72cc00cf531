// The scheduler's queues and its preference rules, on a channel without threads.

#include <memory>

#include "driver/pipeline/nand_dev.h"
#include "tests/support/kernel_fixture.h"

namespace {

class SchedTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        nand_dev_init(&channel_, &card_);
        ASSERT_EQ(flush_records_alloc(&channel_), 0);
    }
    void TearDown() override {
        flush_records_free(&channel_);
        requests_.clear();
        KernelTest::TearDown();
    }

    velkor_request* make(ULONG type, ULONG read_class, ULONG64 flags = 0) {
        requests_.push_back(std::make_unique<velkor_request>());
        velkor_request* r = requests_.back().get();
        *r = velkor_request{};
        r->channel = &channel_;
        InitializeListHead(&r->chain_link);
        InitializeListHead(&r->queue_link);
        r->chain_head = r;
        r->chain_count = 1;
        r->type = type;
        r->read_class = read_class;
        r->flags = flags | REQ_CHAIN_HEAD | REQ_CHAIN_TAIL;
        r->issue_word = (ULONG)requests_.size();  // a name for the test
        return r;
    }
    velkor_request* join(velkor_request* head, ULONG type) {
        velkor_request* r = make(type, head->read_class, head->flags & ~(REQ_CHAIN_HEAD | REQ_CHAIN_TAIL));
        head->flags &= ~REQ_CHAIN_TAIL;
        InsertTailList(&head->chain_link, &r->chain_link);
        r->chain_head = head;
        head->chain_count++;
        r->flags |= REQ_CHAIN_TAIL;
        return r;
    }
    void enqueue(velkor_request* r) {
        kpav_spin_lock(&channel_.queue_lock);
        sched_enqueue(&channel_, r, true);
        kpav_spin_unlock(&channel_.queue_lock);
    }
    velkor_request* pick() {
        ULONG waiting = 0;
        velkor_request* r = sched_dequeue(&channel_, &waiting);
        if (r != nullptr) {
            InterlockedDecrement(&channel_.queued);
        }
        return r;
    }
    // The names of the next n picks (0 when nothing was picked).
    std::vector<ULONG> picks(int n) {
        std::vector<ULONG> names;
        for (int i = 0; i < n; i++) {
            velkor_request* r = pick();
            names.push_back(r != nullptr ? r->issue_word : 0);
        }
        return names;
    }

    pipeline_device card_{};
    nand_dev channel_;
    std::vector<std::unique_ptr<velkor_request>> requests_;
};

TEST_F(SchedTest, ReadsAndOrderedRequestsTakeTurnsByRunsOf51) {
    for (int i = 0; i < 60; i++) {
        enqueue(make(REQUEST_READ, 1));
        enqueue(make(REQUEST_OPEN_AP, 0));
    }
    int reads = 0;
    int ordered = 0;
    std::vector<int> sides;
    for (int i = 0; i < 103; i++) {
        velkor_request* r = pick();
        ASSERT_NE(r, nullptr);
        sides.push_back(r->read_class != 0 ? 1 : 0);
    }
    for (int i = 0; i < 51; i++) {
        reads += sides[i];
    }
    for (int i = 51; i < 102; i++) {
        ordered += 1 - sides[i];
    }
    EXPECT_EQ(reads, 51);      // reads first, until more than 50 ran in a row
    EXPECT_EQ(ordered, 51);    // then ordered ones, while fewer than 51 ran in a row
    EXPECT_EQ(sides[102], 1);  // then reads again
}

TEST_F(SchedTest, AHighPriorityRequestWithoutItsFlushRecordsBlocksAllIssue) {
    velkor_request* urgent = make(REQUEST_PAGE_PROGRAM, 0, REQ_HIGH_PRIORITY);
    urgent->flushes_needed = 10;
    enqueue(make(REQUEST_READ, 1));
    enqueue(urgent);
    channel_.flush.free_count = 5;
    EXPECT_EQ(pick(), nullptr);
    EXPECT_EQ(pick(), nullptr);
    EXPECT_NE(channel_.credit_blocked, 0);
    EXPECT_EQ(channel_.no_pick, 2u);
    channel_.flush.free_count = 10;
    EXPECT_EQ(pick(), urgent);
    EXPECT_EQ(channel_.no_pick, 0u);
    EXPECT_EQ(pick()->type, (ULONG)REQUEST_READ);
}

TEST_F(SchedTest, GroomerWorkWaitsWhileUserRequestsAreOutstandingUnlessPassesFindNothing) {
    velkor_request* groomer = make(REQUEST_READ, 1, REQ_GROOMER);
    enqueue(groomer);
    channel_.outstanding_count = 1;
    for (int pass = 0; pass < 4; pass++) {
        EXPECT_EQ(pick(), nullptr) << pass;
    }
    EXPECT_EQ(pick(), groomer);
    velkor_request* next = make(REQUEST_OPEN_AP, 0, REQ_GROOMER);
    enqueue(next);
    EXPECT_EQ(pick(), nullptr);
    channel_.outstanding_count = 0;
    EXPECT_EQ(pick(), next);
}

TEST_F(SchedTest, ARequeuedReadGoesToTheFrontOfItsQueue) {
    velkor_request* a = make(REQUEST_READ, 1);
    velkor_request* b = make(REQUEST_READ, 1);
    velkor_request* retried = make(REQUEST_READ, 1, REQ_REQUEUED);
    enqueue(a);
    enqueue(b);
    enqueue(retried);
    EXPECT_EQ(pick(), retried);
    EXPECT_EQ(pick(), a);
    EXPECT_EQ(pick(), b);
}

struct overlap_client {
    static bool maps(nand_dev*, ULONG64 lba, ULONG64) { return lba < 1000; }
    static bool moves(nand_dev*, velkor_request* groomer_write, ULONG64 lba, ULONG64 count) {
        return groomer_write->range_lba < lba + count && lba < groomer_write->range_lba + groomer_write->range_count;
    }
};

TEST_F(SchedTest, AUserAppendNeverOvertakesAnOlderGroomerWriteOfTheSameSectors) {
    nand_dev_client_ops ops = nand_dev_client_defaults;
    ops.maps_into_groomed_eb = overlap_client::maps;
    ops.groomer_moves_overlap = overlap_client::moves;
    channel_.client_ops = &ops;
    velkor_request* g1 = make(REQUEST_APPEND, 0, REQ_GROOMER);
    g1->range_lba = 500;
    g1->range_count = 8;
    velkor_request* g2 = make(REQUEST_APPEND, 0, REQ_GROOMER);
    g2->range_lba = 100;
    g2->range_count = 8;
    velkor_request* user = make(REQUEST_APPEND, 0);
    user->range_lba = 104;
    user->range_count = 8;
    velkor_request* elsewhere = make(REQUEST_APPEND, 0);
    elsewhere->range_lba = 5000;  // not in the block being emptied
    elsewhere->range_count = 8;
    enqueue(g1);
    enqueue(g2);
    enqueue(user);
    enqueue(elsewhere);
    channel_.outstanding_count = 1;  // the groomer would otherwise yield to user work
    // The user append overlaps g2 (queued before it): g2 goes first, then the append.
    EXPECT_EQ(pick(), g2);
    EXPECT_EQ(pick(), user);
    // The next append maps outside the groomed block: it does not wait for g1.
    EXPECT_EQ(pick(), elsewhere);
    channel_.outstanding_count = 0;
    EXPECT_EQ(pick(), g1);
    channel_.client_ops = &nand_dev_client_defaults;
}

TEST_F(SchedTest, AnOrderedRequestThatIsNoAppendYieldsToAnOlderGroomerWrite) {
    velkor_request* groomer = make(REQUEST_APPEND, 0, REQ_GROOMER);
    velkor_request* barrier = make(REQUEST_BARRIER, 0);
    enqueue(groomer);
    enqueue(barrier);
    channel_.outstanding_count = 1;
    EXPECT_EQ(pick(), groomer);
    EXPECT_EQ(pick(), barrier);
}

TEST_F(SchedTest, AMixedChainIsTakenWholeBeforeAnythingThatCouldOvertakeIt) {
    velkor_request* head = make(REQUEST_APPEND, 0, REQ_MIXED_CHAIN);
    velkor_request* barrier = join(head, REQUEST_BARRIER);
    enqueue(head);
    velkor_request* urgent = make(REQUEST_OPEN_AP, 0, REQ_HIGH_PRIORITY);
    EXPECT_EQ(pick(), head);
    enqueue(urgent);  // arrives while the chain is half taken
    EXPECT_EQ(channel_.open_chain, 1u);
    EXPECT_EQ(pick(), barrier);
    EXPECT_EQ(channel_.open_chain, 0u);
    EXPECT_EQ(pick(), urgent);
}

TEST_F(SchedTest, AFailedChainGoesWholeToTheFailQueue) {
    velkor_request* head = make(REQUEST_READ, 1, REQ_FAILED);
    velkor_request* member = join(head, REQUEST_READ);
    EXPECT_EQ(sched_enqueue(&channel_, head, true), 0u);
    request_queue* fail = &channel_.queues[QUEUE_FAIL];
    EXPECT_EQ(fail->count, 2u);
    EXPECT_EQ(channel_.outstanding_count, 2);
    EXPECT_EQ(channel_.queued, 0);
    EXPECT_NE(member->flags & REQ_OUTSTANDING, 0u);
    EXPECT_NE(channel_.software_status & PIPE_NEEDS_COMPLETION, 0);
    EXPECT_EQ(pick(), nullptr);
    while (queue_pop(fail) != nullptr) {
    }
}

TEST_F(SchedTest, UrgentGroomerWorkTakesTheOlderGroomerHeadAndNoticesThePick) {
    static int notices = 0;
    static int last_flag = -1;
    notices = 0;
    nand_dev_client_ops ops = nand_dev_client_defaults;
    ops.grooming_urgency = [](nand_dev*) { return 1; };
    ops.pick_notice = [](nand_dev*, velkor_request*, int waited) {
        notices++;
        last_flag = waited;
    };
    channel_.client_ops = &ops;
    velkor_request* moved = make(REQUEST_APPEND, 0, REQ_GROOMER);
    velkor_request* reread = make(REQUEST_READ, 1, REQ_GROOMER);
    velkor_request* user = make(REQUEST_READ, 1);
    enqueue(moved);
    enqueue(reread);
    enqueue(user);
    channel_.outstanding_count = 3;  // urgent: no yielding
    EXPECT_EQ(pick(), moved);
    EXPECT_EQ(last_flag, 1);
    EXPECT_EQ(pick(), reread);
    EXPECT_EQ(pick(), user);
    EXPECT_EQ(last_flag, 0);
    EXPECT_EQ(notices, 3);
    channel_.client_ops = &nand_dev_client_defaults;
}

}  // namespace
