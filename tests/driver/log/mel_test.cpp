// The erase-block map: its header and entity stream codecs, and its two copies written to the
// card model and loaded back after a restart, whole and damaged in each way a copy can be (the
// load falls back to the other copy and mends the damaged one, or fails with the message).
#include <atomic>
#include <cstring>
#include <thread>

#include "driver/log/mel.h"
#include "driver/log/mel_internal.h"
#include "driver/platform/little_endian.h"
#include "tests/driver/log/media_fixture.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes entity(USHORT kind, ULONG size, UCHAR fill = 0) {
    bytes e(size, fill);
    le_put_u16(e.data(), kind);
    le_put_u16(e.data() + 2, (USHORT)size);
    return e;
}
bytes marker(ULONG count) {
    bytes m = entity(MEL_END, 8);
    le_put_u32(m.data() + 4, count);
    return m;
}
void add_bytes(bytes& to, const bytes& more) {
    to.insert(to.end(), more.begin(), more.end());
}

struct collected {
    std::vector<std::pair<USHORT, ULONG>> entities;
};
int collect(void* context, USHORT kind, const UCHAR*, ULONG size) {
    ((collected*)context)->entities.push_back({kind, size});
    return 0;
}

TEST(MelCodec, HeaderRoundTripAndMagic) {
    mel_header h{};
    h.version = 7;
    h.primary = 0;
    h.shadow = 1;
    h.chips_per_bank = 2;
    h.banks = 2;
    h.planes = 1;
    h.eb_count = 16;
    h.day = 20000;
    h.masks[0] = 3;
    h.masks[15] = 0x80000000u;
    UCHAR image[MEL_HEADER_BYTES];
    mel_header_encode(image, &h);
    const UCHAR magic[] = {0x77, 0x5A, 0x21, 0x47, 0x6C, 0x4B, 0xA5, 0x77};
    EXPECT_EQ(std::memcmp(image, magic, 8), 0);
    EXPECT_EQ(image[8], 7);
    EXPECT_EQ(image[32], 16);
    EXPECT_EQ(image[40], 3);
    EXPECT_EQ(image[103], 0x80);
    mel_header back{};
    ASSERT_EQ(mel_header_decode(image, &back), 0);
    EXPECT_EQ(back.day, 20000u);
    EXPECT_EQ(back.masks[15], 0x80000000u);
    image[7] ^= 0x10;
    EXPECT_EQ(mel_header_decode(image, &back), -22);
}

// Entities run on across segment ends wherever the ends fall; after a marker the rest of its
// segment is not read.
TEST(MelCodec, StreamAssemblesAcrossSegmentEnds) {
    bytes stream;
    add_bytes(stream, entity(MEL_MAPPED_OUT, 6));
    add_bytes(stream, entity(0x0007, 3000, 0x5A));
    add_bytes(stream, entity(MEL_COUNTS, 24));
    add_bytes(stream, marker(3));
    for (ULONG split = 1; split < stream.size(); split += 7) {
        mel_stream s;
        mel_stream_init(&s);
        collected c;
        ASSERT_EQ(mel_stream_feed(&s, stream.data(), split, collect, &c, "dov0"), 0);
        bytes second(stream.begin() + split, stream.end());
        second.resize(second.size() + 40, 0x00);  // after the marker: never read as entities
        ASSERT_EQ(mel_stream_feed(&s, second.data(), (ULONG)second.size(), collect, &c, "dov0"), 0) << split;
        ASSERT_EQ(c.entities.size(), 3u) << split;
        EXPECT_EQ(c.entities[1], (std::pair<USHORT, ULONG>{0x0007, 3000}));
        EXPECT_EQ(s.markers, 1u);
        EXPECT_EQ(s.last_count, 3u);
    }
}

TEST_F(KernelTest, MelStreamRefusesBadEntities) {
    struct row {
        bytes data;
        const char* message;
    } rows[] = {
        {bytes(8, 0xFF), "dov0: MEL - unexpected erased space.\n"},
        {bytes{0x07, 0x00, 0x03, 0x00}, "dov0: MEL too small entity.\n"},
        {entity(0x0007, 4), nullptr},
    };
    rows[2].data = bytes(4, 0);
    le_put_u16(rows[2].data.data(), 0x0007);
    le_put_u16(rows[2].data.data() + 2, 3851);
    rows[2].message = "dov0: MEL too large entity.\n";
    for (const row& r : rows) {
        mel_stream s;
        mel_stream_init(&s);
        EXPECT_EQ(mel_stream_feed(&s, r.data.data(), (ULONG)r.data.size(), nullptr, nullptr, "dov0"), -22);
        EXPECT_TRUE(logged(r.message)) << r.message;
    }
}

TEST(MelCodec, MarkerCountAtTheEndOfTheWrittenBytes) {
    bytes b = entity(MEL_TIME, 12);
    add_bytes(b, marker(41));
    EXPECT_EQ(mel_marker_count(b.data(), (ULONG)b.size()), 41);
    b.resize(b.size() + 100, 0xFF);
    EXPECT_EQ(mel_marker_count(b.data(), (ULONG)b.size()), 41);
    b.resize(b.size() - 101);  // the marker's last byte gone
    EXPECT_EQ(mel_marker_count(b.data(), (ULONG)b.size()), -1);
    EXPECT_EQ(mel_marker_count(b.data(), 3), -1);
    const ULONG none[EB_PAD_WORDS] = {1, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80000000u};
    EXPECT_EQ(pad_mask_weight(none), 4u);
}

// ---- On the card model

class MelMediaTest : public StoreMediaTest {
  protected:
    void SetUp() override {
        StoreMediaTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(mel_create(channel()), 0);
    }
    void TearDown() override {
        mel_free(channel());
        StoreMediaTest::TearDown();
    }
    // A restart of the card on the same media: the map made again, not loaded yet.
    void restart_card() {
        mel_free(channel());
        stop_store();
        restart();
        if (HasFatalFailure()) return;
        start_store(false);
        ASSERT_EQ(mel_create(channel()), 0);
    }
    mel_record* mel() { return mel_of(channel()); }
    eb_info* info(USHORT eb) { return ebinfo_get(channel(), eb); }
    ULONG seg() { return eb_segment_length(channel(), 0, 1); }
    // Segment s of a block as stored, and a change of its bytes.
    bytes peek(USHORT eb, ULONG s, ULONG offset, size_t n) {
        return model_->media_peek(eb, s % 2, s / 2, offset, n);
    }
    void poke(USHORT eb, ULONG s, ULONG offset, const bytes& b) { model_->media_poke(eb, s % 2, s / 2, offset, b); }
    ULONG header_at() { return geometry_.packet_size + geometry_.ecc_chunk_size; }

    // A map with decisions in it, written: EB 5 loses pad 1 of bank 0, EB 6 is mapped out, and a
    // count event.
    void write_decisions() {
        ASSERT_EQ(mel_write(channel(), 1), 0);
        ASSERT_EQ(mel_retire_pad(channel(), 5, 1), 1);
        ASSERT_EQ(mel_retire_pad(channel(), 6, 0), 1);
        ASSERT_EQ(mel_retire_pad(channel(), 6, 1), 0) << "the bank would fall below its minimum: mapped out";
        ASSERT_EQ(mel_log_counts_event(channel(), 42, 1, 2, 3), 0);
        ASSERT_EQ(mel_write(channel(), 0), 0);
    }
    void expect_decisions() {
        EXPECT_EQ(info(5)->banks[0].saved_mask & 2u, 0u);
        EXPECT_EQ(info(6)->mel_mark, EB_MEL_MAPPED_OUT);
        EXPECT_EQ(mel_entity_count(channel()), entities_);
        EXPECT_EQ(info(0)->mel_mark, EB_MEL_COPY);
        EXPECT_EQ(info(1)->mel_mark, EB_MEL_COPY);
        EXPECT_FALSE(mel_no_map(channel()));
    }
    ULONG entities_ = 4;
};

TEST_F(MelMediaTest, WrittenDecisionsComeBackAfterARestart) {
    EXPECT_TRUE(mel_no_map(channel()));
    write_decisions();
    EXPECT_EQ(mel_copy_eb(channel(), 0), 0);
    EXPECT_EQ(mel_copy_eb(channel(), 1), 1);
    EXPECT_TRUE(mel_copy_valid(channel(), 0) && mel_copy_valid(channel(), 1));
    // The first flush had nothing to write; segment 1 holds the second.
    EXPECT_EQ(peek(0, 1, 0, 4), (bytes{0x02, 0x01, 66, 0}));
    EXPECT_EQ(peek(0, 2, 0, 4), bytes(4, 0xFF));
    EXPECT_EQ(peek(0, 0, header_at(), 8), (bytes{0x77, 0x5A, 0x21, 0x47, 0x6C, 0x4B, 0xA5, 0x77}));

    restart_card();
    EXPECT_TRUE(mel_no_map(channel()));
    ASSERT_EQ(mel_load(channel()), 0);
    expect_decisions();
    EXPECT_EQ(ebinfo_table(channel())->error_totals[1], 2u);
    EXPECT_FALSE(logged("dov0: MEL sizes differ, selected 0.\n"));
    EXPECT_FALSE(logged("dov0: MEL sizes differ, selected 1.\n"));

    // A flush after the load goes on behind what was read; the next load sees it.
    ASSERT_EQ(mel_log_counts_event(channel(), 43, 0, 1, 0), 0);
    entities_++;
    restart_card();
    ASSERT_EQ(mel_load(channel()), 0);
    EXPECT_EQ(ebinfo_table(channel())->error_totals[1], 3u);
    expect_decisions();
}

TEST_F(MelMediaTest, ACardWithoutAMapSaysSo) {
    EXPECT_EQ(mel_load(channel()), -2);
    EXPECT_TRUE(logged("dov0: No MEL found.\n"));
    EXPECT_TRUE(mel_no_map(channel()));
}

// Each kind of damage to one copy: the load takes the other copy, says why, and rewrites the
// damaged one, so that the next load finds both whole.
TEST_F(MelMediaTest, ADamagedCopyIsNotTrustedAndIsRewritten) {
    struct damage {
        const char* what;
        USHORT eb;
        ULONG segment;
        ULONG offset;  // header_at() + this for segment 0
        bytes with;
        const char* message;
    } cases[] = {
        {"primary header magic", 0, 0, 0, {0x00}, "dov0: First located MEL @ 1 is *not* primary, assuming primary @ 0 is corrupted.\n"},
        {"shadow header magic", 1, 0, 0, {0x00}, "dov0: Primary MEL block 0 points to invalid shadow @ 1\n"},
        {"primary geometry", 0, 0, 24, {3}, "dov0: MEL has geometry mismatch num banks 3 != 2\n"},
        {"shadow names other blocks", 1, 0, 12, {9}, "dov0: Primary MEL block 0 and shadow disagree as to MEL block locations; trusting primary.\n"},
        {"primary names itself as shadow", 0, 0, 16, {0}, "dov0: Primary MEL block 0 points to invalid shadow @ 65535\n"},
        {"primary end marker", 0, 1, 66 + 66 + 6 + 24, {0x00}, "dov0: MEL sizes differ, selected 1.\n"},
        {"erased space inside the primary's entities", 0, 1, 0, {0xFF, 0xFF}, "dov0: MEL - unexpected erased space.\n"},
    };
    write_decisions();
    for (const damage& d : cases) {
        SCOPED_TRACE(d.what);
        ULONG offset = d.segment == 0 ? header_at() + d.offset : d.offset;
        bytes saved = peek(d.eb, d.segment, offset, d.with.size());
        poke(d.eb, d.segment, offset, d.with);
        restart_card();
        ASSERT_EQ(mel_load(channel()), 0);
        EXPECT_TRUE(logged(d.message));
        expect_decisions();
        EXPECT_TRUE(mel_copy_valid(channel(), 0) && mel_copy_valid(channel(), 1));
        // The damaged copy was written again: the next load needs no fallback.
        EXPECT_NE(peek(d.eb, d.segment, offset, d.with.size()), d.with) << "rewritten";
        sim::kernel::clear_debug_lines();
        restart_card();
        ASSERT_EQ(mel_load(channel()), 0);
        EXPECT_FALSE(logged(d.message));
        expect_decisions();
        (void)saved;
    }
}

TEST_F(MelMediaTest, BothCopiesDamagedFailTheLoad) {
    write_decisions();
    const ULONG end = 66 + 66 + 6 + 24;
    poke(0, 1, end, {0x00});
    poke(1, 1, end, {0x00});
    restart_card();
    EXPECT_EQ(mel_load(channel()), -5);
    EXPECT_TRUE(logged("dov0: Failed to read either copy of the MEL.\n"));
    EXPECT_TRUE(mel_no_map(channel()));
}

// An end marker whose first bytes end one segment and whose count begins the next.
TEST_F(MelMediaTest, AnEndMarkerAcrossASegmentEndIsFound) {
    // Entities enough to program segments 1 and 2 of both copies, whose bytes are then replaced.
    ASSERT_EQ(mel_write(channel(), 1), 0);
    mel_set_write_hold(channel(), 1);
    for (ULONG i = 0; i < MEL_COUNT_LIMIT; i++) ASSERT_EQ(mel_log_counts_event(channel(), i, 1, 0, 0), 0);
    const mel_wear wear{1, 1, 1};
    for (int i = 0; i < 300; i++) ASSERT_EQ(mel_add_wear_entities(channel(), 5, &wear), 1);
    mel_set_write_hold(channel(), 0);
    const ULONG length = seg();
    ASSERT_NE(peek(0, 2, 0, 1), bytes{0xFF});
    bytes first;
    ULONG pieces = 0;
    while (first.size() + 4 < length) {
        ULONG room = length - 4 - (ULONG)first.size();
        add_bytes(first, entity(0x0007, room >= 3004 ? 3000 : room, 0x33));
        pieces++;
    }
    ASSERT_EQ(first.size() + 4, length);
    const ULONG count = 10;
    bytes m = marker(count);
    add_bytes(first, bytes(m.begin(), m.begin() + 4));
    for (USHORT eb : {0, 1}) {
        poke(eb, 1, 0, first);
        bytes second(m.begin() + 4, m.end());
        second.resize(length, 0xFF);
        poke(eb, 2, 0, second);
    }
    restart_card();
    ASSERT_EQ(mel_load(channel()), 0);
    EXPECT_EQ(mel_entity_count(channel()), pieces);
    EXPECT_FALSE(logged("dov0: Failed to read either copy of the MEL.\n"));
    EXPECT_TRUE(mel_copy_valid(channel(), 0) && mel_copy_valid(channel(), 1));
    EXPECT_EQ(mel()->next_segment[0], 3);
}

// A shadow below its primary is found first; the primary is read before it is given up on.
TEST_F(MelMediaTest, AShadowFoundFirstDoesNotCondemnItsPrimary) {
    mel()->eb[0] = 3;
    mel()->eb[1] = 1;
    info(3)->mel_mark = info(1)->mel_mark = EB_MEL_COPY;
    ASSERT_EQ(mel_write(channel(), 1), 0);
    ASSERT_EQ(mel_retire_pad(channel(), 5, 1), 1);
    ASSERT_EQ(mel_write(channel(), 0), 0);
    restart_card();
    ASSERT_EQ(mel_load(channel()), 0);
    EXPECT_FALSE(logged("dov0: First located MEL @ 1 is *not* primary, assuming primary @ 3 is corrupted.\n"));
    EXPECT_EQ(mel_copy_eb(channel(), 0), 3);
    EXPECT_EQ(mel_copy_eb(channel(), 1), 1);
    EXPECT_EQ(mel_entity_count(channel()), 1u);
}

// A fresh map's copies never share a block and pass over mapped-out ones and, while others are
// left, over blocks holding a log's data.
TEST_F(MelMediaTest, CopiesTakeDistinctBlocksThatAreNotMappedOut) {
    info(0)->mel_mark = EB_MEL_MAPPED_OUT;
    mel()->eb[1] = 1;
    ASSERT_EQ(mel_write(channel(), 1), 0);
    EXPECT_EQ(mel_copy_eb(channel(), 0), 2);
    EXPECT_EQ(mel_copy_eb(channel(), 1), 1);

    mel_discard(channel());
    EXPECT_TRUE(mel_no_map(channel()));
    info(2)->condition = EB_COND_FULL;
    info(1)->condition = EB_COND_OPEN;
    ASSERT_EQ(mel_write(channel(), 1), 0);
    EXPECT_EQ(mel_copy_eb(channel(), 0), 3);
    EXPECT_EQ(mel_copy_eb(channel(), 1), 4);
    EXPECT_FALSE(mel_no_map(channel()));
}

TEST_F(MelMediaTest, HeldWritesAndTheCountEventLimit) {
    ASSERT_EQ(mel_write(channel(), 1), 0);
    mel_set_write_hold(channel(), 1);
    for (ULONG i = 0; i < MEL_COUNT_LIMIT; i++) ASSERT_EQ(mel_log_counts_event(channel(), i, 1, 0, 0), 0);
    EXPECT_EQ(peek(0, 2, 0, 4), bytes(4, 0xFF)) << "held: nothing written";
    EXPECT_EQ(mel_log_counts_event(channel(), 1000, 1, 0, 0), -7);
    EXPECT_EQ(ebinfo_table(channel())->error_totals[0], 1001u) << "the counters are added all the same";
    EXPECT_EQ(mel_entity_count(channel()), MEL_COUNT_LIMIT);
    mel_set_write_hold(channel(), 0);
    restart_card();
    ASSERT_EQ(mel_load(channel()), 0);
    EXPECT_EQ(mel_entity_count(channel()), MEL_COUNT_LIMIT);
    EXPECT_EQ(ebinfo_table(channel())->error_totals[0], 1000u);
}

// The weekly refresh rewrites both copies once the primary is seven days old, not before.
TEST_F(MelMediaTest, RefreshRewritesAWeekOldMap) {
    write_decisions();
    const ULONG64 programs = model_->counters().programs;
    ASSERT_EQ(mel_refresh(channel()), 0);
    EXPECT_EQ(model_->counters().programs, programs) << "a fresh map is left alone";
    mel_header before{};
    ASSERT_EQ(mel_header_decode(mel()->header[0], &before), 0);
    sim::kernel::advance_clock(7ull * 86400 * 10000000);
    ASSERT_EQ(mel_refresh(channel()), 0);
    mel_header after{};
    ASSERT_EQ(mel_header_decode(mel()->header[0], &after), 0);
    EXPECT_EQ(after.day, before.day + 7);
    EXPECT_GT(model_->counters().programs, programs);
    restart_card();
    ASSERT_EQ(mel_load(channel()), 0);
    expect_decisions();
}

TEST_F(MelMediaTest, RewritingAValidCopyBesideAnInvalidOneIsRefused) {
    ASSERT_EQ(mel_write(channel(), 1), 0);
    mel()->valid[1] = 0;
    ASSERT_EQ(mel_write(channel(), 1), 0);
    EXPECT_TRUE(logged("dov0: Too few valid copies of EB map.\n"));
    EXPECT_TRUE(mel_copy_valid(channel(), 1)) << "the invalid copy is written in full";
}

TEST_F(MelMediaTest, UserEventsAndEntries) {
    ASSERT_EQ(mel_write(channel(), 1), 0);
    std::vector<UCHAR> event(MEL_USER_EVENT_BYTES, 0);
    le_put_u32(event.data(), 16);
    le_put_u32(event.data() + 4, 1);
    EXPECT_EQ(mel_user_event(channel(), event.data()), -22);
    EXPECT_TRUE(logged("dov0: MEL User event: Invalid LEB   16 passed in (  16 blocks)\n"));
    le_put_u32(event.data(), 7);
    le_put_u32(event.data() + 4, 9);
    EXPECT_EQ(mel_user_event(channel(), event.data()), -22);
    le_put_u32(event.data() + 4, 6);
    le_put_u64(event.data() + 8, 5);
    le_put_u32(event.data() + 16, 4);
    EXPECT_EQ(mel_user_event(channel(), event.data()), 0);
    // Type 1: a level for pad 1 of bank 1 (index 3): the pad is reported and retired.
    le_put_u32(event.data() + 4, 1);
    std::memset(event.data() + 8, 0, 480);
    event[8 + 3] = 20;
    EXPECT_EQ(mel_user_event(channel(), event.data()), 0);
    EXPECT_EQ(info(7)->banks[1].saved_mask & 2u, 0u);
    const ULONG count = mel_entity_count(channel());
    EXPECT_EQ(count, 1u + 1 + 1 + 3) << "counts, pad errors, retirement, three wear entities";

    std::vector<UCHAR> reply(200, 0);
    EXPECT_EQ(mel_get_entries(channel(), "card-7", reply.data(), (ULONG)reply.size()), -28);
    const ULONG needed = le_get_u32(reply.data()) - 4096;
    EXPECT_EQ(needed, MEL_ENTRIES_HEAD_BYTES + 24 + (10 + 8) + 66 + 3 * 12);
    reply.assign(needed, 0);
    ASSERT_EQ(mel_get_entries(channel(), "card-7", reply.data(), needed), 0);
    EXPECT_EQ(le_get_u32(reply.data()), needed);
    EXPECT_EQ(le_get_u32(reply.data() + 20), 4u) << "reply version";
    EXPECT_EQ(std::string((const char*)reply.data() + 28), "card-7");
    EXPECT_EQ(le_get_u32(reply.data() + 161), 1u) << "shadow EB";
    EXPECT_EQ(le_get_u16(reply.data() + MEL_ENTRIES_HEAD_BYTES), MEL_COUNTS);
}

// Alerts from the request path append without the mutex while events and flushes run under it:
// every entity arrives whole.
TEST_F(MelMediaTest, AlertsMeetEventsWithoutLosingEntities) {
    ASSERT_EQ(mel_write(channel(), 1), 0);
    mel_alert_leb(channel(), 9, 1);
    EXPECT_TRUE(logged("dov0: MEL alerted with invalid LEB    9 (   0,    1)\n"));
    ebinfo_record_pad_error(channel(), 1, 0, 30);
    mel_set_write_hold(channel(), 1);
    constexpr int kRounds = 300;
    std::atomic<bool> go{false};
    std::thread alerts([&] {
        while (!go.load()) {
        }
        for (int i = 0; i < kRounds; i++) mel_alert_leb(channel(), 1, 1);
    });
    go.store(true);
    for (int i = 0; i < kRounds; i++) ASSERT_EQ(mel_log_counts_event(channel(), i, 0, 0, 1), 0);
    alerts.join();
    EXPECT_EQ(mel_entity_count(channel()), (ULONG)(3 * kRounds));
    EXPECT_EQ(mel()->rewrite[1], 1);
    mel_set_write_hold(channel(), 0);
    restart_card();
    ASSERT_EQ(mel_load(channel()), 0);
    EXPECT_EQ(mel_entity_count(channel()), (ULONG)(3 * kRounds));
}

}  // namespace
