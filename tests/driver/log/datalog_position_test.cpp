// The data log's address arithmetic along its LEB chain, and its internal-error report.
#include "driver/log/datalog.h"
#include "tests/driver/log/log_fixture.h"

namespace {

class DatalogTest : public MetadataTest {};

ULONG uneven_capacity(ULONG leb) {
    return leb == 2 ? 5 : 100;
}

TEST_F(DatalogTest, AddressesAdvanceAlongTheChain) {
    test_log t(6, 100);
    // Chain 0 -> 2 -> 1 -> 5; LEB 2 holds 5 packets.
    t.lebs[0].next = 2;
    t.lebs[2].next = 1;
    t.lebs[1].next = 5;
    t.lebs[5].next = PAV_NO_LEB;
    t.set_capacities(uneven_capacity);
    EXPECT_EQ(t.log.leb_span, 101u);
    const struct {
        uint64_t from, n, to;
    } cases[] = {
        {5, 1000, 5},                        // below 16: unchanged
        {t.addr(0, 10), 89, t.addr(0, 99)},  // stays in the LEB
        {t.addr(0, 10), 90, t.addr(2, 0)},   // the next LEB of the chain, not LEB 1
        {t.addr(0, 99), 6, t.addr(1, 0)},    // LEB 2 skipped whole
        {t.addr(0, 99), 5, t.addr(2, 4)},
        {t.addr(2, 4), 1, t.addr(1, 0)},
        {t.addr(1, 50), 149, t.addr(5, 99)},
        {t.addr(1, 50), 150, ~0ull},         // lands just past the last LEB
        {t.addr(5, 50), 49, t.addr(5, 99)},
        {t.addr(6, 0), 1, ~0ull},            // no such LEB
    };
    for (auto& c : cases) {
        EXPECT_EQ(pav_log_addr_advance(&t.log, c.from, c.n), c.to) << c.from << " + " << c.n;
    }
    log_pos pos = {0, 98};
    ASSERT_EQ(log_pos_advance(&t.log, &pos, 3), 0);
    EXPECT_EQ(pos.leb, 2);
    EXPECT_EQ(pos.offset, 1u);
    pos = {5, 0};
    EXPECT_EQ(log_pos_advance(&t.log, &pos, 100), -5);
    EXPECT_EQ(log_pos_advance(nullptr, &pos, 1), -22);
    EXPECT_EQ(datalog_write_position(&t.log, t.addr(2, 3)), (192ull << 24) | 3);
    EXPECT_EQ(datalog_write_position(&t.log, 7), 0u);
}

struct failure_owner {
    int calls = 0;
    int reason = 0;
};

void record_failure(void* owner, int reason) {
    ((failure_owner*)owner)->calls++;
    ((failure_owner*)owner)->reason = reason;
}

TEST_F(DatalogTest, InternalErrorsAreReportedOnce) {
    test_log t(2, 10);
    pav_log_internal_error(&t.log, 7, 0, 0);
    pav_log_internal_error(&t.log, 9, 0, 0);
    EXPECT_EQ(t.log.state.value, (ULONG)PAV_LOG_UNRECOVERABLE_ERROR);
    int lines = 0;
    for (auto& l : log()) lines += l == "paverr Corvane driver: 16384 Internal software error (data)\n";
    EXPECT_EQ(lines, 1);

    test_log owned(2, 10);
    failure_owner owner;
    bdev_failure_callbacks callbacks{};
    callbacks.on_device_failure = record_failure;
    owned.log.owner = &owner;
    owned.log.owner_ops = &callbacks;
    pav_log_internal_error(&owned.log, 9, 0, 0);
    pav_log_internal_error(&owned.log, 7, 0, 0);
    EXPECT_EQ(owner.calls, 1);
    EXPECT_EQ(owner.reason, 9);

    test_log detached(2, 10);
    detached.log.channel = nullptr;
    pav_log_internal_error(&detached.log, 7, 0, 0);
    EXPECT_EQ(detached.log.state.value, (ULONG)PAV_LOG_RUNNING) << "a log without a card reports nothing";
}

}  // namespace
