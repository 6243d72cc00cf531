// The card's link to its management processor on the card model: discovery, the requests and
// their retries, the key/value cache, the activity indicators, and the link surviving corrupted,
// stray and endless answers.

#include "driver/controller/pmp_client.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "driver/controller/activity_indicators.h"
#include "driver/controller/sensor_cache.h"
#include "driver/controller/smp_targets.h"
#include "sim/kernel/control.h"
#include "tests/driver/controller/controller_fixture.h"

namespace {

using bytes = std::vector<UCHAR>;

pmp_address address_of(const bytes& b) {
    pmp_address a{};
    a.length = (UCHAR)b.size();  // a length above 8 is kept, its bytes are not
    std::copy(b.begin(), b.begin() + (long)std::min<size_t>(b.size(), sizeof a.bytes), a.bytes);
    return a;
}

ULONG argument_of(const sim::card::pmp::Frame& f) {
    return (ULONG)f.payload[4] | (ULONG)f.payload[5] << 8 | (ULONG)f.payload[6] << 16 | (ULONG)f.payload[7] << 24;
}

class PmpClientTest : public ControllerCardTest {
  protected:
    void start_link() {
        ASSERT_EQ(pmp_link_start(card_), 0);
    }
    // The host's frames of one command since `from`.
    std::vector<sim::card::pmp::Frame> requests(UCHAR command, size_t from = 0) {
        std::vector<sim::card::pmp::Frame> out;
        auto all = bar_->pmp_frames_in();
        for (size_t i = from; i < all.size(); i++) {
            if (all[i].payload.size() >= 8 && all[i].payload[0] == command) {
                out.push_back(all[i]);
            }
        }
        return out;
    }
};

TEST_F(PmpClientTest, TheLinkTakesTheAddressTheManagementProcessorGives) {
    start_link();
    const pmp_address* own = pmp_own_address(card_);
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(bytes(own->bytes, own->bytes + own->length), (bytes{1, 1, 2}));
    EXPECT_TRUE(has_text("dov??: PMP Address: 1 1 2"));
    EXPECT_EQ(pmp_highest_port(card_), 1);
    EXPECT_EQ(bar_->pmp_counters().attention_pulses, 0u);
}

TEST_F(PmpClientTest, ASilentManagementProcessorIsWokenByAttentionPulses) {
    sim::kernel::set_clock_rate(2000);
    bar_->inject("pmp_silent_until_attention", "n=2");
    start_link();
    EXPECT_EQ(bar_->pmp_counters().attention_pulses, 2u);
    EXPECT_EQ(pmp_own_address(card_)->length, 3);
}

// Discovery gives up after the first try and ten pulses: the statistics say what the link saw,
// and nothing of the link is left.
TEST_F(PmpClientTest, DiscoveryThatNeverGetsAnAddressFailsTheLink) {
    sim::kernel::set_clock_rate(4000);
    bar_->inject("pmp_refuse_address", "times=always");
    EXPECT_EQ(pmp_link_start(card_), 1);
    EXPECT_EQ(card_->pmp, nullptr);
    EXPECT_EQ(pmp_own_address(card_), nullptr);
    EXPECT_EQ(bar_->pmp_counters().attention_pulses, 10u);
    EXPECT_TRUE(has_text("Velkor 0000:03:00.0: 12320 PMP Address: failed"));
    // Eleven discoveries of twelve tries, each refused.
    EXPECT_TRUE(has_text("dov??: addr_nak          : 132"));
    EXPECT_TRUE(has_text("dov??: recv_count        : 132"));
    EXPECT_TRUE(has_text("dov??: send_count        : 132"));
    EXPECT_TRUE(has_text("dov??: vart_status       : 0x1"));
}

TEST_F(PmpClientTest, QueriesRefuseBadArgumentsBeforeSendingAnything) {
    start_link();
    size_t frames = bar_->pmp_frames_in().size();
    UCHAR buffer[64];
    pmp_address none = address_of({});
    pmp_address nine = address_of({1, 1, 1, 1, 1, 1, 1, 1, 1});
    pmp_address adapter = address_of({1});
    EXPECT_EQ(pmp_query(card_, &none, 1, 0, buffer, 39), -1);
    EXPECT_EQ(pmp_query(card_, &nine, 1, 0, buffer, 39), -1);
    EXPECT_EQ(pmp_query(card_, &adapter, 1, 0, nullptr, 39), -1);
    EXPECT_EQ(pmp_query(card_, &adapter, 1, 0, buffer, 0), -1);
    EXPECT_EQ(pmp_read_data(card_, &none, 7, 0, buffer, 64), 0u);
    EXPECT_EQ(pmp_write_data(card_, &nine, 7, 0, buffer, 64), 0u);
    EXPECT_EQ(pmp_command(card_, &none, 10, 1, buffer, 1, 0), -1);
    EXPECT_EQ(bar_->pmp_frames_in().size(), frames);

    // A query copies what the answer carries, up to the size asked.
    EXPECT_EQ(pmp_query(card_, &adapter, 1, 0, buffer, 64), 39);
    EXPECT_EQ(buffer[1], 2);  // the adapter's kind
    EXPECT_EQ(pmp_query(card_, &adapter, 1, 0, buffer, 10), 10);
}

TEST_F(PmpClientTest, ReadsAndWritesGoInPiecesOfSixtyFourBytes) {
    start_link();
    pmp_address controller = address_of({1, 1});
    size_t from = bar_->pmp_frames_in().size();
    UCHAR value[130];
    ASSERT_EQ(pmp_read_data(card_, &controller, 7, 0, value, sizeof value), 130u);
    auto reads = requests(7, from);
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(argument_of(reads[0]), 0u);
    EXPECT_EQ(argument_of(reads[1]), 64u);
    EXPECT_EQ(argument_of(reads[2]), 128u);
    bytes stored = bar_->pmp_kv({1, 1}, 0);
    EXPECT_EQ(bytes(value, value + 130), bytes(stored.begin(), stored.begin() + 130));

    // A piece that comes back short ends the read: 64 and then 40 of 64.
    bar_->inject("pmp_samples_bytes", "node=[1,1] set=a bytes=104 times=always");
    UCHAR samples[128];
    EXPECT_EQ(pmp_read_data(card_, &controller, 9, 0, samples, sizeof samples), 104u);

    struct write_case {
        ULONG length;
        std::vector<UCHAR> flags;
    };
    const write_case cases[] = {{130, {1, 1, 3}}, {64, {3}}, {65, {1, 3}}};
    for (const write_case& c : cases) {
        bytes data(c.length);
        for (size_t i = 0; i < data.size(); i++) {
            data[i] = (UCHAR)(i * 7 + c.length);
        }
        from = bar_->pmp_frames_in().size();
        EXPECT_EQ(pmp_write_data(card_, &controller, 7, 5u << 24, data.data(), c.length), c.length);
        std::vector<UCHAR> flags;
        for (const auto& f : requests(7, from)) {
            flags.push_back(f.payload[1]);
        }
        EXPECT_EQ(flags, c.flags) << c.length;
        bytes kept = bar_->pmp_kv({1, 1}, 5);
        ASSERT_EQ(kept.size(), 1024u);
        EXPECT_EQ(bytes(kept.begin(), kept.begin() + c.length), data);
    }
}

TEST_F(PmpClientTest, UnansweredAndStrayAnswersAreRetriedOrDiscarded) {
    sim::kernel::set_clock_rate(2000);
    start_link();
    pmp_address adapter = address_of({1});
    UCHAR record[39];
    const char* faults[] = {"pmp_ignore", "pmp_wrong_sequence", "pmp_wrong_source", "pmp_data_len_overflow",
                            "pmp_short_payload"};
    for (const char* fault : faults) {
        bar_->inject(fault, std::string(fault) == "pmp_ignore" ? "command=1 times=2" : "");
        std::memset(record, 0, sizeof record);
        EXPECT_EQ(pmp_query(card_, &adapter, 1, 0, record, sizeof record), 39) << fault;
        EXPECT_EQ(record[1], 2) << fault;
    }
    // Tries: three for the ignored requests, one each when the right answer followed a stray one,
    // two when the only answer was malformed.
    EXPECT_EQ(requests(1).size(), 3u + 1 + 1 + 2 + 2);
}

// Each kind of corrupted answer is counted by the host's receiver and dropped; the request is
// tried again and gets its answer.
TEST_F(PmpClientTest, CorruptedAnswersAreCountedAndTheLinkRecovers) {
    sim::kernel::set_clock_rate(2000);
    start_link();
    pmp_address controller = address_of({1, 1});
    struct corrupt_case {
        const char* kind;
        ULONG pmp_link_counters::*counter;
    };
    const corrupt_case cases[] = {
        {"bad_magic", &pmp_link_counters::recv_bad_magic},
        {"bad_version", &pmp_link_counters::recv_bad_version},
        {"bad_checksum", &pmp_link_counters::recv_bad_cksum},
        {"len_73", &pmp_link_counters::recv_bad_len},
        {"len_0", &pmp_link_counters::recv_bad_len},
        {"lone_43_21", &pmp_link_counters::recv_bad_magic},
        {"truncate", &pmp_link_counters::recv_bad_magic},
    };
    for (const corrupt_case& c : cases) {
        ULONG before = pmp_counters(card_)->*c.counter;
        bar_->inject("pmp_corrupt", std::string("kind=") + c.kind);
        UCHAR record[39] = {};
        EXPECT_EQ(pmp_query(card_, &controller, 1, 0, record, sizeof record), 39) << c.kind;
        EXPECT_EQ(record[2], 2) << c.kind;  // the controller's unit count
        EXPECT_GT(pmp_counters(card_)->*c.counter, before) << c.kind;
    }
    // An address answer that would overrun the address is not taken.
    pmp_link_release(card_);
    bar_->inject("pmp_address_len9");
    start_link();
    EXPECT_EQ(pmp_own_address(card_)->length, 3);
}

TEST_F(PmpClientTest, EndlessTrafficOrALostBusEndsTheRequestInsteadOfHangingIt) {
    sim::kernel::set_clock_rate(5000);
    start_link();
    pmp_address adapter = address_of({1});
    UCHAR record[39];
    // Noise without end behind the answer: the answer still gets through.
    bar_->inject("pmp_babble", "endless");
    EXPECT_EQ(pmp_query(card_, &adapter, 1, 0, record, sizeof record), 39);
    // Noise and no answer: every try ends.
    bar_->inject("pmp_ignore", "command=1 times=always");
    EXPECT_EQ(pmp_query(card_, &adapter, 1, 0, record, sizeof record), -1);
    bar_->clear("pmp_babble");
    bar_->clear("pmp_ignore");
    EXPECT_EQ(pmp_query(card_, &adapter, 1, 0, record, sizeof record), 39);

    model_->set_bus_lost(true);
    EXPECT_EQ(pmp_query(card_, &adapter, 1, 0, record, sizeof record), -1);
    model_->set_bus_lost(false);
}

TEST_F(PmpClientTest, TheKeyValueCacheReadsAValueOnce) {
    start_link();
    pmp_kv_key key{};
    key.address = address_of({1});
    key.key = 0;
    key.type = PMP_KV_TYPE;
    const pmp_kv_entry* entry = nullptr;
    ASSERT_EQ(pmp_kv_lookup(card_, &key, &entry), 0);
    EXPECT_EQ(entry->value_length, 1024);
    bytes stored = bar_->pmp_kv({1}, 0);
    EXPECT_EQ(bytes(entry->value, entry->value + 1024), stored);
    size_t reads = requests(7).size();
    EXPECT_EQ(reads, 16u);
    const pmp_kv_entry* again = nullptr;
    ASSERT_EQ(pmp_kv_lookup(card_, &key, &again), 0);
    EXPECT_EQ(again, entry);
    EXPECT_EQ(requests(7).size(), reads);

    // An absent key reads as all 0xFF; another key type, or an empty address, reads nothing.
    key.key = 9;
    ASSERT_EQ(pmp_kv_lookup(card_, &key, &entry), 0);
    EXPECT_EQ(bytes(entry->value, entry->value + 1024), bytes(1024, 0xFF));
    key.type = 2;
    EXPECT_EQ(pmp_kv_lookup(card_, &key, &entry), 1);
    EXPECT_EQ(entry, nullptr);
    pmp_kv_key empty{};
    empty.type = PMP_KV_TYPE;
    UCHAR value[1024];
    EXPECT_EQ(pmp_kv_fetch(card_, &empty, value), -14);
    reads = requests(7).size();
    EXPECT_EQ(pmp_kv_lookup(card_, &empty, &entry), 1);
    EXPECT_EQ(requests(7).size(), reads);
}

TEST_F(PmpClientTest, AValueThatComesBackShortIsNotCached) {
    sim::kernel::set_clock_rate(4000);
    start_link();
    bar_->inject("pmp_ignore", "command=7 times=always");
    pmp_kv_key key{};
    key.address = address_of({1, 1});
    key.type = PMP_KV_TYPE;
    UCHAR value[1024];
    EXPECT_EQ(pmp_kv_fetch(card_, &key, value), -5);
    const pmp_kv_entry* entry = nullptr;
    EXPECT_EQ(pmp_kv_lookup(card_, &key, &entry), 1);
    bar_->clear("pmp_ignore");
    EXPECT_EQ(pmp_kv_lookup(card_, &key, &entry), 0);
}

TEST_F(PmpClientTest, AddressesFormatAsDecimalBytes) {
    struct format_case {
        bytes address;
        const char* text;
    };
    const format_case cases[] = {
        {{}, ""},
        {{1, 1, 2}, "1 1 2"},
        {{255, 255, 255, 255, 255, 255, 255, 255}, "255 255 255 255 255 255 255 255"},
    };
    for (const format_case& c : cases) {
        pmp_address a = address_of(c.address);
        char text[40];
        EXPECT_EQ(pmp_format_address(&a, text, sizeof text), std::strlen(c.text));
        EXPECT_STREQ(text, c.text);
    }
}

TEST(ActivityLevels, FollowTheByteAndEraseScales) {
    struct level_case {
        ULONG count;
        ULONG bytes_level;
        ULONG erase_level;
    };
    const level_case cases[] = {
        {0, 0, 0},
        {300, 0, 235},
        {400, 0, 240},
        {501, 0, 246},
        {300000000, 235, 246},
        {450000000, 240, 246},
        {600000000, 246, 246},
        {600000001, 246, 246},
    };
    for (const level_case& c : cases) {
        EXPECT_EQ(activity_byte_level(c.count), c.bytes_level) << c.count;
        EXPECT_EQ(activity_erase_level(c.count), c.erase_level) << c.count;
    }
}

class ActivityIndicatorsTest : public PmpClientTest {
  protected:
    void SetUp() override {
        PmpClientTest::SetUp();
        start_link();
        ASSERT_EQ(adc_cache_init(card_), 0);
        smp_record_targets(card_);
    }
    // The adapter's indicators 1, 2 and 4, and how often each was written.
    std::vector<UCHAR> settings() {
        std::vector<UCHAR> out;
        auto all = bar_->pmp_indicators({1});
        for (ULONG i : {1u, 2u, 4u}) {
            out.push_back(all[i].setting);
        }
        return out;
    }
    ULONG writes() {
        ULONG n = 0;
        for (const auto& [index, i] : bar_->pmp_indicators({1})) {
            n += i.writes;
        }
        return n;
    }
};

TEST_F(ActivityIndicatorsTest, SettingsFollowTheCardsStateAndAreSentOnlyWhenTheyChange) {
    pav_activity now{};
    activity_indicators_update(card_, &now);  // no saved state yet: attention
    EXPECT_EQ(settings(), (std::vector<UCHAR>{1, 0, 0}));
    EXPECT_EQ(writes(), 3u);
    activity_indicators_update(card_, &now);
    EXPECT_EQ(writes(), 3u);

    ULONG state = 1;
    card_->saved_state = &state;
    activity_indicators_update(card_, &now);  // running, idle
    EXPECT_EQ(settings(), (std::vector<UCHAR>{0, 0, 1}));
    now.bytes_written = 10000000;
    now.bytes_read = 400000000;
    activity_indicators_update(card_, &now);  // a little written, much read
    EXPECT_EQ(settings(), (std::vector<UCHAR>{0, 2, 3}));
    now.erases = 400;
    activity_indicators_update(card_, &now);  // many erases, nothing read since
    EXPECT_EQ(settings(), (std::vector<UCHAR>{0, 3, 1}));

    state = 2;  // the beacon, whatever the activity
    now.bytes_written += 900000000;
    activity_indicators_update(card_, &now);
    EXPECT_EQ(settings(), (std::vector<UCHAR>{1, 1, 1}));
    state = 1;
    now.channel_attention = TRUE;
    activity_indicators_update(card_, &now);
    EXPECT_EQ(settings(), (std::vector<UCHAR>{1, 0, 0}));
    card_->saved_state = nullptr;
}

}  // namespace
