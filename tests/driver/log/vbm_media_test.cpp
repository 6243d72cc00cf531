// A LEB's bitmap on the card model: its VBM record appended through the log, found again after
// a restart by the address its write reported, a damaged record refused, and the pacing that
// decides which LEB's record is due.
#include <algorithm>
#include <thread>

#include "driver/log/vbmap.h"
#include "tests/driver/log/media_fixture.h"

namespace {

class VbmMediaTest : public StoreMediaTest {
  protected:
    void SetUp() override {
        StoreMediaTest::SetUp();
        if (HasFatalFailure()) return;
        open_point();
        ASSERT_EQ(vbmap_create(&map_, &log_, 0, 16, 512), 0);
        made_ = true;
    }
    void TearDown() override {
        drop_map();
        StoreMediaTest::TearDown();
    }
    void drop_map() {
        if (made_) {
            vbm_exit(&map_);
            vbmap_destroy(&map_);
            made_ = false;
        }
    }
    static int written(void* owner, ULONG64 first_key, ULONG count, const datalog_run* runs, ULONG run_count) {
        auto* self = (VbmMediaTest*)owner;
        self->key_ = first_key;
        self->count_ = count;
        self->runs_.assign(runs, runs + run_count);
        return 0;
    }
    bool wait_writes(USHORT leb) {
        for (int i = 0; i < 10000 && vbm_writes_in_flight(&map_, leb) != 0; i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return vbm_writes_in_flight(&map_, leb) == 0;
    }
    // The log's next pick of an erased block lands on `wanted`: the pick steps by the clock over
    // the least-worn blocks on the erased list, so the clock given is `wanted`'s place there.
    // Without it the LEB a test gets depends on when it runs.
    void pick_next(USHORT wanted) {
        static nand_dev* on;
        static USHORT target;
        on = channel();
        target = wanted;
        ebinfo_table(channel())->pick_clock = [] {
            const eb_table* table = ebinfo_table(on);
            ULONG64 place = 0;
            for (USHORT at = table->erased_head; at != EB_NONE && at != target; at = table->info[at].erased_next) {
                place++;
            }
            return place * 10;  // the pick steps clock x 100 / 1000 places
        };
    }
    // The LEB holding some data, its bits set but for three, and its record written.
    USHORT write_record() {
        append(0x90, 1000, 20);
        EXPECT_TRUE(wait_appends());
        USHORT leb = log_.append_leb;
        EXPECT_EQ(vbmap_set(&map_, leb, 0, 20), 0);
        EXPECT_EQ(vbmap_clear(&map_, leb, 5, 3), 0);
        EXPECT_EQ(vbm_start(&map_, &ops_, this), 0);
        EXPECT_EQ(vbm_write_leb_now(&map_, leb), 0);
        EXPECT_TRUE(wait_writes(leb));
        return leb;
    }
    // Changes the stored byte `at` of the record's packet `k` (its block, segment and offset) to
    // `value`, which must differ from it: a poke that changes nothing damages nothing.
    void poke_record(ULONG k, ULONG at, UCHAR value) {
        ULONG64 address = runs_[0].address + k;
        USHORT eb = (USHORT)((address - 16) / log_.leb_span);
        ULONG64 byte = head() + (address - 16) % log_.leb_span * packet() + at;
        ULONG seg = segment_bytes();
        ULONG segment = (ULONG)(byte / seg);
        ASSERT_NE(model_->media_peek(eb, segment % 2, segment / 2, byte % seg, 1)[0], value)
            << "packet " << k << " byte " << at;
        model_->media_poke(eb, segment % 2, segment / 2, byte % seg, {value});
    }

    vbmap map_{};
    bool made_ = false;
    static int dropped(void* owner, ULONG64 first_key, ULONG) {
        ((VbmMediaTest*)owner)->dropped_.push_back(first_key);
        return 0;
    }
    // The map as the owner's forward map would show it: the runs the test lists.
    static int walk(void* owner, ULONG64 first_key, ULONG64 end_key, vbm_run_fn fn, void* arg) {
        for (const auto& run : ((VbmMediaTest*)owner)->map_runs_) {
            if (run.key >= first_key && run.key < end_key) fn(arg, run.key, run.count, run.address);
        }
        return 0;
    }
    struct map_run {
        ULONG64 key, count, address;
    };
    std::vector<map_run> map_runs_;
    std::vector<ULONG64> dropped_;
    const vbm_owner_ops ops_{written, dropped, walk};
    ULONG64 key_ = 0;
    ULONG count_ = 0;
    std::vector<datalog_run> runs_;
};

TEST_F(VbmMediaTest, ARecordWrittenIsFoundAgainAfterARestart) {
    USHORT leb = write_record();
    ASSERT_EQ(runs_.size(), 1u);
    // Over 32768 packets per LEB: two blocks, 16 sectors of 512 bytes, the header and a spare.
    ASSERT_GT(log_.packets_per_leb, 32768u);
    EXPECT_EQ(map_.vbm_stride, 18u);
    EXPECT_EQ(key_, 0x00FFFFFFFEF70000ull + leb * 18ull);
    EXPECT_EQ(count_, 17u);
    EXPECT_EQ(lebs_[leb].tracked, runs_[0].address);
    EXPECT_EQ(lebs_[leb].tracked_leb, runs_[0].leb);
    const ULONG64 position = lebs_[leb].first_position;
    EXPECT_EQ(position, lebs_[leb].sequence << 24 | 20) << "the written position when it was taken";
    const ULONG64 address = runs_[0].address;

    drop_map();
    reboot();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(vbmap_create(&map_, &log_, 0, 16, 512), 0);
    made_ = true;
    std::vector<UCHAR> record(vbm_record_bytes(&map_));
    ULONG64 taken = 0;
    ASSERT_EQ(vbm_record_read(&map_, leb, address, record.data(), &taken), 0);
    EXPECT_EQ(taken, position);
    EXPECT_TRUE(vbm_record_test(&map_, record.data(), 4));
    EXPECT_FALSE(vbm_record_test(&map_, record.data(), 5));
    EXPECT_TRUE(vbm_record_test(&map_, record.data(), 19));
    EXPECT_FALSE(vbm_record_test(&map_, record.data(), 20));
    ASSERT_EQ(vbmap_copy_in(&map_, leb, record.data(), record.size()), 0);
    EXPECT_EQ(log_.counters[leb].valid, 17);
    EXPECT_TRUE(vbmap_test(&map_, leb, 8));
    EXPECT_FALSE(vbmap_test(&map_, leb, 7));
}

// A record whose header names another LEB, whose packets carry other addresses, or that is looked
// for where none lies, is not used. LEB 14's record: its packet 4 carries a system address whose
// low byte is 0 (base + 14 x 18 + 4 = ...F70100), which a damage must change.
TEST_F(VbmMediaTest, ADamagedOrMisplacedRecordIsRefused) {
    pick_next(14);
    USHORT leb = write_record();
    ASSERT_EQ(leb, 14);
    const ULONG64 address = runs_[0].address;
    std::vector<UCHAR> record(vbm_record_bytes(&map_));
    ULONG64 taken = 0;
    ASSERT_EQ(vbm_record_read(&map_, leb, address, record.data(), &taken), 0);
    EXPECT_EQ(vbm_record_read(&map_, (USHORT)(leb + 1), address, record.data(), &taken), -5) << "another LEB's";
    EXPECT_EQ(vbm_record_read(&map_, leb, address - 20, record.data(), &taken), -5) << "the data packets before it";
    poke_record(4, 4, (UCHAR)~(vbm_record_address(&map_, leb) + 4));  // packet 4's address, its low byte
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(vbm_record_read(&map_, leb, address, record.data(), &taken), -5);
    poke_record(0, 8 + 2, (UCHAR)(leb + 3));  // the header's LEB
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(vbm_record_read(&map_, leb, address, record.data(), &taken), -5);
}

// A record cut short, the log ending inside it, is refused: the packets it lacks would be
// whatever the caller's buffer held. Kept: the header alone, and all but the last packet.
TEST_F(VbmMediaTest, ARecordTheLogEndsInsideIsRefused) {
    append(0x90, 1000, 4);
    ASSERT_TRUE(wait_appends());
    const USHORT leb = log_.append_leb;
    std::vector<UCHAR> whole(vbm_record_bytes(&map_));
    ASSERT_EQ(vbm_record_build(&map_, leb, lebs_[leb].sequence << 24 | 4, whole.data()), 0);
    const ULONG sectors = vbm_record_sectors(&map_);
    for (ULONG kept : {1u, sectors - 1}) {
        SCOPED_TRACE(kept);
        appended& a = append(0xA0, vbm_record_address(&map_, leb),
                             std::vector<UCHAR>(whole.begin(), whole.begin() + (size_t)kept * log_.sector_size));
        ASSERT_TRUE(wait_appends());
        ASSERT_EQ(a.request.status, 0);
        std::vector<UCHAR> record(whole.size(), 0xEE);
        ULONG64 taken = 0;
        EXPECT_EQ(vbm_record_read(&map_, leb, a.request.runs[0].address, record.data(), &taken), -5);
    }
}

// At attach the map's runs over the record ranges tell where each closed LEB's record lies; its
// header gives the LEB's position back, and a record that is not the LEB's is dropped. The record
// is written into LEB 3 itself; the LEB the map wrongly names is another one that is not closed.
TEST_F(VbmMediaTest, TheIndexLoadFindsEachLebsRecordThroughTheMap) {
    pick_next(3);
    USHORT leb = write_record();
    ASSERT_EQ(leb, 3);
    const ULONG64 address = runs_[0].address;
    const ULONG64 position = lebs_[leb].first_position;
    drop_map();
    reboot();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(lebs_[leb].func.value, (ULONG)PAV_LEB_FUNC_CLOSED);
    USHORT open = 0;
    while (open < lebs_.size() && (open == leb || lebs_[open].func.value == PAV_LEB_FUNC_CLOSED)) open++;
    ASSERT_LT(open, lebs_.size());
    ASSERT_EQ(vbmap_create(&map_, &log_, 0, 16, 512), 0);
    made_ = true;
    const ULONG64 stride = map_.vbm_stride;
    map_runs_ = {
        {key_, count_, address},                                 // the record
        {key_ + stride, count_ - 1, address + 40},               // LEB + 1: not the whole range
        {VBMAP_BASE_KEY + open * stride, count_, address - 20},  // another LEB, not closed
    };
    ASSERT_EQ(vbm_attach_index_load(&map_, &ops_, this, false), 0);
    EXPECT_EQ(lebs_[leb].tracked, address);
    EXPECT_EQ(lebs_[leb].tracked_leb, runs_[0].leb);
    EXPECT_EQ(lebs_[leb].first_position, position);
    EXPECT_EQ(lebs_[open].tracked_leb, PAV_NO_LEB);
    EXPECT_EQ(lebs_[open].first_position, lebs_[open].sequence << 24);
    EXPECT_EQ(std::count(dropped_.begin(), dropped_.end(), key_), 0) << "a LEB with its record keeps it";
    EXPECT_EQ(std::count(dropped_.begin(), dropped_.end(), VBMAP_BASE_KEY + open * stride), 1);

    ASSERT_EQ(vbm_attach_index_load(&map_, &ops_, this, true), 0);
    EXPECT_EQ(lebs_[leb].first_position, lebs_[leb].sequence << 24) << "not read: the LEB's start";

    poke_record(0, 8 + 2, (UCHAR)(leb + 3));
    ASSERT_FALSE(HasFatalFailure());
    dropped_.clear();
    ASSERT_EQ(vbm_attach_index_load(&map_, &ops_, this, false), 0);
    EXPECT_EQ(lebs_[leb].tracked_leb, PAV_NO_LEB) << "another LEB's header";
    EXPECT_EQ(lebs_[leb].first_position, lebs_[leb].sequence << 24);
    EXPECT_EQ(std::count(dropped_.begin(), dropped_.end(), key_), 1);
}

TEST_F(VbmMediaTest, ThePacingWritesTheFirstOpenLebWhenItsRecordIsTooOld) {
    append(0x90, 1000, 4);
    ASSERT_TRUE(wait_appends());
    USHORT leb = log_.append_leb;
    // The LEB alone on the list: never older than its own position.
    ASSERT_EQ(vbm_start(&map_, &ops_, this), 0);
    EXPECT_EQ(vbm_write_due(&map_), 0u);
    // Its bitmap saved at a later position, but the last write asked for none: due.
    lebs_[leb].first_position = lebs_[leb].sequence << 24 | 0xFFFF;
    lebs_[leb].last_position = 0;
    vbm_leb_remove(&map_, leb, false);
    vbm_leb_opened(&map_, leb);
    lebs_[leb].first_position = lebs_[leb].sequence << 24 | 0xFFFF;
    lebs_[leb].last_position = 0;
    map_.oldest_position = lebs_[leb].sequence << 24 | 1;
    EXPECT_EQ(vbm_write_due(&map_), 1u);
    ASSERT_TRUE(wait_writes(leb));
    EXPECT_EQ(runs_.size(), 1u);
    EXPECT_EQ(lebs_[leb].first_position, lebs_[leb].sequence << 24 | 4) << "taken behind the 4 data packets";
    EXPECT_EQ(vbm_write_due(&map_), 0u) << "written: not due any more";

    // A write that cannot be submitted gives its request back and leaves the LEB as it was.
    close_point();
    const ULONG64 before = lebs_[leb].last_position;
    EXPECT_EQ(vbm_write_leb_now(&map_, leb), -22);
    EXPECT_EQ(lebs_[leb].last_position, before);
    EXPECT_EQ(vbm_writes_in_flight(&map_, leb), 0u);
}

}  // namespace

namespace {

struct write_reasons {
    static int set(void* owner, int level, int reason) {
        auto* self = (write_reasons*)owner;
        self->level = level;
        self->reason = reason;
        return 0;
    }
    int level = 0;
    int reason = -1;
};

TEST_F(VbmMediaTest, FailingTheDevice) {
    write_reasons reasons;
    bdev_failure_callbacks callbacks{};
    callbacks.set_write_reason = write_reasons::set;
    log_.owner_ops = &callbacks;
    log_.owner = &reasons;
    kpav_state state;
    struct row {
        ULONG state;
        int level;
    } rows[] = {{DEVICE_STATE_RUNNING, 2}, {DEVICE_STATE_ATTACHING, 0}, {DEVICE_STATE_FAILED, 0}};
    for (const row& r : rows) {
        reasons = {};
        kpav_state_init(&state, r.state);
        device_fail_for_reason(&log_, &state, 11);
        EXPECT_EQ(reasons.level, r.level) << r.state;
        EXPECT_EQ(state.value, r.state);
        EXPECT_FALSE(channel_failed(channel()));
    }
    kpav_state_init(&state, 2);
    device_fail_for_reason(&log_, &state, 11);
    EXPECT_TRUE(logged("paverr Corvane driver: 18465 Failing device (thermal).\n"));
    EXPECT_EQ(state.value, DEVICE_STATE_FAILED);
    EXPECT_EQ(log_.state.value, (ULONG)PAV_LOG_UNRECOVERABLE_ERROR);
    EXPECT_TRUE(channel_failed(channel()));
    log_.owner_ops = nullptr;
    drop_map();
}

}  // namespace
