// The completion of the groomer's moves on the card model: data written through the data device
// is written again elsewhere by an append, as a move does; the completion records it at its new
// place through the store the log was handed (the metadata table), counts its batch down and
// wakes the groomer after the batch's last move. And the log's status for the control interface.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "driver/block/mdt_store.h"
#include "driver/log/datalog_append.h"
#include "driver/log/datalog_groom.h"
#include "driver/platform/errno_table.h"
#include "tests/driver/block/data_device_fixture.h"

namespace {

class GroomMoveTest : public DataDeviceTest {
  protected:
    void TearDown() override {
        datalog_set_store(&log_, nullptr, nullptr);
        DataDeviceTest::TearDown();
    }
    // The log address that holds `sector`; 0 when unmapped.
    ULONG64 where(ULONG64 sector) {
        lrbtree_lookup found{};
        lrbtree_range range{};
        lrbtree_enumerate(mdt_.map, &range, &lrbtree_lookup_at, &found, 0, sector, sector + 1);
        return found.gpkt != 0 ? found.gpkt + (sector - found.start) : 0;
    }
    // A move of [start, start + count) whose data `bytes` is appended again; waits for its
    // completion.
    struct move_append {
        datalog_append_req request{};
        groom_move* move;
        std::atomic<bool> done{false};
    };
    void move(groom_move* m, const std::vector<UCHAR>& bytes) {
        dma_visible dma(bytes);
        move_append a;
        a.move = m;
        a.request.kind = 0x90;
        a.request.address = m->first_key;
        a.request.count = (ULONG)m->count;
        a.request.packets = bytes.data();
        a.request.context = &a;
        a.request.done = [](datalog_append_req* r) {
            auto* self = (move_append*)r->context;
            pav_addr_block placement{};
            placement.count = r->run_count;
            for (ULONG i = 0; i < r->run_count; i++) {
                placement.vectors[i] = {r->runs[i].leb, r->runs[i].offset};
                placement.packet_counts[i] = r->runs[i].packets;
            }
            groom_move_complete(self->move, r->status, &placement);
            self->done = true;
        };
        groom_move_start(m);
        ASSERT_EQ(datalog_append(&log_, &a.request), 0);
        for (int i = 0; i < 10000 && !a.done; i++) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_TRUE(a.done.load());
    }
};

TEST_F(GroomMoveTest, AMoveIsRecordedAtItsNewPlaceAndTheBatchsLastMoveWakesTheGroomer) {
    std::vector<UCHAR> a = pattern(200, 64, 1);
    std::vector<UCHAR> b = pattern(900, 16, 2);
    ASSERT_EQ(write(200, a), 0);
    ASSERT_EQ(write(900, b), 0);
    const ULONG64 old_a = where(200);
    ASSERT_NE(old_a, 0u);

    groom_waiters groomer;
    groom_waiters_init(&groomer);
    groomer.waiting = 1;
    groom_batch batch{};
    batch.groomer = &groomer;

    // Without a store above the log the move has no new place: refused, the map unchanged.
    groom_move refused = {&log_, &batch, 3, 200, 64, 1};
    move(&refused, a);
    EXPECT_EQ(refused.status, -KPAV_ENODEV);
    EXPECT_EQ(where(200), old_a);
    EXPECT_EQ(groomer.woken, 1);

    datalog_set_store(&log_, &mdt_store_ops, &mdt_);
    groom_move first = {&log_, &batch, 0, 200, 64, 1};
    groom_move second = {&log_, &batch, 70, 900, 16, 1};
    groom_move_start(&second);  // in flight while the first completes
    move(&first, a);
    EXPECT_EQ(first.status, 0);
    EXPECT_NE(where(200), old_a);
    EXPECT_EQ(batch.pending, 1);
    EXPECT_EQ(batch.bits[1], (LONG64)(1ull << 6));
    EXPECT_EQ(groomer.woken, 1);  // the batch is not done yet
    // The second completes as a failed write: nothing recorded, the batch done.
    const ULONG64 old_b = where(900);
    groom_move_complete(&second, -KPAV_EIO, nullptr);
    EXPECT_EQ(second.status, -KPAV_EIO);
    EXPECT_EQ(where(900), old_b);
    EXPECT_EQ(batch.pending, 0);
    EXPECT_EQ(batch.bits[0] | batch.bits[1], 0);
    EXPECT_EQ(groomer.woken, 2);

    // The old packets lost their validity to the new ones; the data reads the same.
    USHORT old_leb = (USHORT)((old_a - PAV_LOG_FIRST_ADDR) / log_.leb_span);
    USHORT new_leb = (USHORT)((where(200) - PAV_LOG_FIRST_ADDR) / log_.leb_span);
    if (old_leb == new_leb) {
        EXPECT_EQ(log_.counters[old_leb].valid, 64 + 16);
    } else {
        EXPECT_EQ(log_.counters[new_leb].valid, 64);
    }
    std::vector<UCHAR> out;
    ASSERT_EQ(read(200, 64, &out), 0);
    EXPECT_EQ(out, a);
}

TEST_F(GroomMoveTest, TheStatusIsFilledOnlyWhileTheGroomerRuns) {
    groomer_status_source g{};
    g.enabled = 1;
    g.reserve = 100;
    g.second = 7;
    for (ULONG i = 0; i < 6; i++) g.counters[i] = 10 + i;
    log_.forward_map_blocks = 3;
    datalog_status status;
    for (ULONG state : {0u, 1u, 3u}) {
        g.state = state;
        g.phase = 1;
        ASSERT_EQ(datalog_get_status(&log_, &status, &g), 0);
        EXPECT_EQ(status.groomer_enabled, 0u);
        EXPECT_EQ(status.metadata_room, 0u);
    }
    g.state = GROOMER_RUNNING;
    const struct {
        ULONG phase, code;
    } phases[] = {{1, 0}, {5, 1}, {2, 5}, {3, 3}, {4, 7}, {0, 8}, {6, 8}};
    for (const auto& p : phases) {
        g.phase = p.phase;
        ASSERT_EQ(datalog_get_status(&log_, &status, &g), 0);
        EXPECT_EQ(status.code, p.code) << p.phase;
    }
    const ULONG64 room = 3 * (4096 / log_.sector_size) + 5ull * log_.packets_per_leb + 100;
    EXPECT_EQ(status.groomer_enabled, 1u);
    EXPECT_EQ(status.metadata_room, room);
    EXPECT_EQ(status.metadata_room_second, room + 7);
    EXPECT_EQ(status.counters[5], 15u);
    log_.forward_map_blocks = 0;
}

}  // namespace
