// The card model's management processor as the host reaches it, through the byte channel's
// registers: its frames against known bytes, its answers to each command, the attention pulse
// that the card hands over from its control word, and the channel's faults; the manufacturing
// data writer; card memory through its window.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "sim/card/card.h"
#include "sim/card/controller.h"
#include "sim/card/mid_writer.h"
#include "sim/card/pmp_codec.h"
#include "sim/kernel/control.h"
#include "sim/kernel/mmio.h"
#include "tests/support/kernel_fixture.h"

namespace {

using sim::card::pmp::Frame;
using bytes = std::vector<uint8_t>;
namespace pmp = sim::card::pmp;

constexpr uint32_t data_register = 0x9180;
constexpr uint32_t status_register = 0x9188;
constexpr uint32_t control_word = 0x9000;
constexpr uint32_t select_register = 0x90D8;

TEST(PmpCodec, FramesMatchTheKnownBytes) {
    const uint8_t abc[] = {0x61, 0x62, 0x63};
    EXPECT_EQ(pmp::checksum(abc, 3), 0x9D3B);
    Frame request;
    request.destination = {0};
    request.source = {0};
    request.header[1] = 3;
    request.header[2] = 3;
    request.payload = {0, 0, 64, 0, 0, 0, 0, 0};
    EXPECT_EQ(pmp::encode(request), (bytes{0x43, 0x21, 0x01, 0x01, 0x00, 0x01, 0x00, 0x00, 0x03, 0x03, 0x08, 0x00,
                                           0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0xB0, 0x99}));
}

TEST(PmpCodec, TheDecoderUndoesTheDoublingAndResynchronisesOnTheMagic) {
    Frame f;
    f.destination = {1, 1};
    f.source = {1, 0x43, 2};
    f.header[1] = 4;
    f.header[2] = 3;
    f.payload = {0x43, 0x43, 0x21, 7};
    bytes wire = pmp::encode(f);
    EXPECT_GT(wire.size(), pmp::frame_bytes(f).size());

    pmp::Decoder d;
    // Noise, a frame cut short by the next one's start, then the whole frame.
    bytes stream{0x00, 0x55};
    stream.insert(stream.end(), wire.begin(), wire.begin() + 8);
    stream.insert(stream.end(), wire.begin(), wire.end());
    std::vector<Frame> got;
    for (uint8_t b : stream) {
        if (auto frame = d.feed(b)) {
            got.push_back(*frame);
        }
    }
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].source, f.source);
    EXPECT_EQ(got[0].payload, f.payload);
    EXPECT_EQ(d.counters().bad_magic, 2u);
    EXPECT_EQ(d.counters().broken, 1u);

    bytes bad = pmp::frame_bytes(f);
    bad.back() ^= 1;
    for (uint8_t b : pmp::stuff(bad)) {
        EXPECT_FALSE(d.feed(b).has_value());
    }
    EXPECT_EQ(d.counters().bad_checksum, 1u);
    bytes long_payload = pmp::frame_bytes(f);
    long_payload[3 + 1 + 2 + 1 + 3 + 3] = 73;
    for (uint8_t b : pmp::stuff(long_payload)) {
        d.feed(b);
    }
    EXPECT_GE(d.counters().bad_length, 1u);
}

TEST(MidWriter, SectionsCarryTheirLengthAndCheck) {
    EXPECT_EQ(sim::card::crc16_ccitt_false((const uint8_t*)"123456789", 9), 0x29B1);
    EXPECT_EQ(sim::card::crc16_ccitt_false(nullptr, 0), 0xFFFF);
    sim::card::Mid mid;
    mid.sections.push_back({1, {sim::card::MidItem::text(1, "AB"), sim::card::MidItem::number(12, 0x1234, 2)}});
    bytes v = mid.bytes();
    ASSERT_EQ(v.size(), 1024u);
    bytes items{1, 2, 'A', 'B', 12, 2, 0x34, 0x12};
    uint16_t crc = sim::card::crc16_ccitt_false(items.data(), items.size());
    bytes expected{2, 1, 10, 0};
    expected.insert(expected.end(), items.begin(), items.end());
    expected.push_back((uint8_t)crc);
    expected.push_back((uint8_t)(crc >> 8));
    EXPECT_EQ(bytes(v.begin(), v.begin() + (long)expected.size()), expected);
    EXPECT_EQ(v[expected.size()], 0xFF);

    mid.sections[0].bad_check = true;
    mid.sections[0].length_delta = 3;
    bytes broken = mid.bytes();
    EXPECT_EQ(broken[2], 13);
    EXPECT_NE(broken[12], expected[12]);
}

// The host's side of the byte channel, over the BAR as the driver reaches it.
class PmpModelTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        card_ = std::make_unique<sim::card::Card>(sim::card::CardConfig::small());
        bar_ = std::make_unique<sim::card::ControllerBar>(*card_, config());
        card_->set_controller(bar_.get());
        card_->plug(0, 3, 0);
        PHYSICAL_ADDRESS address;
        address.QuadPart = (LONGLONG)card_->bar_address();
        regs_ = (volatile ULONG*)MmMapIoSpace(address, sim::card::Card::bar_size, MmNonCached);
    }
    void TearDown() override {
        MmUnmapIoSpace((PVOID)regs_, sim::card::Card::bar_size);
        card_->set_controller(nullptr);
        card_->unplug();
        bar_.reset();
        card_.reset();
        KernelTest::TearDown();
    }
    virtual sim::card::ControllerConfig config() const { return {}; }

    uint32_t read(uint32_t offset) { return READ_REGISTER_ULONG(regs_ + offset / 4); }
    void write(uint32_t offset, uint32_t value) { WRITE_REGISTER_ULONG(regs_ + offset / 4, value); }

    void send(const Frame& f) {
        for (uint8_t b : pmp::encode(f)) {
            write(data_register, b);
        }
    }
    // The frames waiting for the host now.
    std::vector<Frame> receive() {
        std::vector<Frame> out;
        while ((read(status_register) & 1) == 0) {
            if (auto f = decoder_.feed((uint8_t)(read(data_register) >> 8))) {
                out.push_back(*f);
            }
        }
        return out;
    }
    // A command from the host {1, 1, 2} to `node`; its answers.
    std::vector<Frame> command(const bytes& node, uint8_t cmd, uint32_t argument, uint8_t flags = 0,
                               const bytes& data = {}, uint8_t asked = 64) {
        Frame f;
        f.destination = node;
        f.source = {1, 1, 2};
        f.header[1] = 4;
        f.header[2] = 3;
        f.payload = {cmd, flags, (uint8_t)(flags & 1 ? data.size() : asked), 0x5A, (uint8_t)argument,
                     (uint8_t)(argument >> 8), (uint8_t)(argument >> 16), (uint8_t)(argument >> 24)};
        f.payload.insert(f.payload.end(), data.begin(), data.end());
        send(f);
        return receive();
    }
    static bytes data_of(const Frame& f) { return bytes(f.payload.begin() + 8, f.payload.end()); }

    std::unique_ptr<sim::card::Card> card_;
    std::unique_ptr<sim::card::ControllerBar> bar_;
    volatile ULONG* regs_ = nullptr;
    pmp::Decoder decoder_;
};

TEST_F(PmpModelTest, TheLinkNodeGivesTheHostItsAddress) {
    EXPECT_EQ(read(status_register), 1u);  // nothing received, room to send
    Frame request;
    request.destination = {0};
    request.source = {0};
    request.header[1] = 3;
    request.header[2] = 3;
    request.payload = {0, 0, 64, 0, 0, 0, 0, 0};
    send(request);
    auto answers = receive();
    ASSERT_EQ(answers.size(), 1u);
    const Frame& a = answers[0];
    EXPECT_EQ(a.destination, bytes{0});
    EXPECT_EQ(a.source, (bytes{1, 1}));
    EXPECT_EQ(a.header[0], 0);
    EXPECT_EQ(a.header[1], 3);
    EXPECT_EQ(a.header[2], 3);
    EXPECT_EQ(a.payload[1], 1);
    EXPECT_EQ(data_of(a), (bytes{3, 1, 1, 2}));

    bar_->inject("pmp_refuse_address");
    send(request);
    answers = receive();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].header[0], 2);
    EXPECT_TRUE(data_of(answers[0]).empty());
}

TEST_F(PmpModelTest, NodesAnswerTheirCommands) {
    auto record = command({1}, 1, 0);
    ASSERT_EQ(record.size(), 1u);
    bytes r = data_of(record[0]);
    ASSERT_EQ(r.size(), 39u);
    EXPECT_EQ(r[1], 2);                                         // adapter
    EXPECT_EQ(r[3] | r[4] << 8 | r[5] << 16, 0x0A6003);         // its flags
    EXPECT_EQ(bytes(r.begin() + 9, r.begin() + 13), (bytes{2, 3, 1, 17}));
    EXPECT_EQ(record[0].source, bytes{1});
    EXPECT_EQ(record[0].payload[3], 0x5A);  // the request's sequence
    EXPECT_EQ(record[0].header[1], 3);      // answers go to the reply class
    EXPECT_EQ(record[0].header[2], 4);

    // Key/value data from an offset, at most 64 bytes and what the value has left.
    bytes value = bar_->pmp_kv({1, 1}, 0);
    EXPECT_EQ(data_of(command({1, 1}, 7, 960)[0]), bytes(value.begin() + 960, value.end()));
    EXPECT_EQ(data_of(command({1, 1}, 7, 1000)[0]).size(), 24u);
    EXPECT_EQ(data_of(command({1, 1}, 7, 5u << 24)[0]), bytes(64, 0xFF));  // an absent key
    EXPECT_EQ(data_of(command({1, 1}, 7, 0, 0, {}, 10)[0]).size(), 10u);   // as many as asked

    // Samples of set A from a byte offset: the controller's four, 5 bytes each.
    bytes samples = data_of(command({1, 1}, 9, 0)[0]);
    ASSERT_EQ(samples.size(), 20u);
    EXPECT_EQ(samples[5], 1);  // sensor number
    EXPECT_EQ(samples[6] | samples[7] << 8, 450);
    EXPECT_EQ(data_of(command({1, 1}, 9, 10)[0]).size(), 10u);

    // Descriptors: set A with bit 24; past the set, nothing.
    bytes d = data_of(command({1}, 54, 1u << 24 | 1u << 16)[0]);
    ASSERT_EQ(d.size(), 52u);
    EXPECT_EQ(std::string((const char*)&d[3]), "outlet");
    EXPECT_EQ(d[1], 10);
    EXPECT_TRUE(data_of(command({1}, 54, 1u << 24 | 5u << 16)[0]).empty());
    bytes twelve = data_of(command({1}, 54, 0)[0]);
    EXPECT_EQ(twelve[44] | twelve[45] << 8, 12000);

    // Power: only the power monitor answers; 18000 mW at 12.1 V.
    bytes power = data_of(command({1}, 53, 0)[0]);
    ASSERT_EQ(power.size(), 32u);
    EXPECT_EQ(power[0], 10);
    EXPECT_EQ(power[24] | power[25] << 8, 18000 * 1000 / 12100);
    EXPECT_TRUE(data_of(command({1, 1}, 53, 0)[0]).empty());

    bytes set = data_of(command({1}, 57, 0)[0]);
    ASSERT_EQ(set.size(), 32u);
    EXPECT_EQ(set[0], 0x8B);  // 0, 1, 3, 7
    EXPECT_EQ(set[7], 0x02);  // 57

    EXPECT_TRUE(command({7, 7}, 1, 0).empty());  // no such node
}

TEST_F(PmpModelTest, WritesAreStagedUntilTheLastPiece) {
    bytes first(64, 0xA1);
    auto ack = command({1}, 7, 3u << 24, 1, first);
    ASSERT_EQ(ack.size(), 1u);
    EXPECT_TRUE(data_of(ack[0]).empty());
    EXPECT_TRUE(bar_->pmp_kv({1}, 3).empty());  // not committed yet
    command({1}, 7, 3u << 24 | 64, 3, bytes(2, 0xB2));
    bytes kept = bar_->pmp_kv({1}, 3);
    ASSERT_EQ(kept.size(), 1024u);
    EXPECT_EQ(kept[63], 0xA1);
    EXPECT_EQ(kept[65], 0xB2);
    EXPECT_EQ(kept[66], 0xFF);

    command({1}, 10, 2, 3, {3});
    auto indicators = bar_->pmp_indicators({1});
    EXPECT_EQ(indicators[2].setting, 3);
    EXPECT_EQ(indicators[2].writes, 1u);
}

// The card owns the control word; its writes reach the management processor too.
TEST_F(PmpModelTest, AnAttentionPulseOnTheControlWordWakesASilentNode) {
    bar_->inject("pmp_silent_until_attention", "n=1");
    EXPECT_TRUE(command({1}, 1, 0).empty());
    write(control_word, 0xFFFFFFFF);  // a controller reset is no pulse
    write(control_word, 0);
    EXPECT_EQ(bar_->pmp_counters().attention_pulses, 0u);
    write(control_word, 0x08000000);
    write(control_word, 0);
    EXPECT_EQ(bar_->pmp_counters().attention_pulses, 1u);
    EXPECT_EQ(command({1}, 1, 0).size(), 1u);
    EXPECT_EQ(card_->control_writes().back(), 0u);
}

TEST_F(PmpModelTest, TheChannelsFaultsShowInItsStatus) {
    bar_->inject("pmp_tx_full");
    EXPECT_EQ(read(status_register), 0x9u);
    bar_->clear("pmp_tx_full");

    bar_->inject("pmp_tx_stall");
    Frame f;
    f.destination = {1};
    f.source = {1, 1, 2};
    f.header[2] = 3;
    f.payload = bytes(60, 0);
    send(f);
    EXPECT_EQ(read(status_register), 0x9u);  // 64 bytes held
    bar_->clear("pmp_tx_stall");
    EXPECT_EQ(read(status_register) & 0x8, 0u);

    // Answers become visible after the latency.
    sim::kernel::set_clock_rate(0);
    bar_->inject("pmp_latency", "us=500 times=always");
    Frame q;
    q.destination = {1};
    q.source = {1, 1, 2};
    q.header[1] = 4;
    q.header[2] = 3;
    q.payload = {1, 0, 64, 1, 0, 0, 0, 0};
    send(q);
    EXPECT_EQ(read(status_register) & 1, 1u);
    sim::kernel::advance_clock(5000);  // 500 us
    EXPECT_EQ(receive().size(), 1u);

    card_->set_bus_lost(true);
    EXPECT_EQ(read(status_register), 0xFFFFFFFFu);
    card_->set_bus_lost(false);
}

TEST_F(PmpModelTest, CardMemoryIsReadThroughItsWindow) {
    auto word = [this](uint32_t address) {
        write(0x90A4, address / 2);
        for (int i = 0; i < 9; i++) {
            write(0x90A8, 5);
        }
        uint32_t v = read(0x90A0) >> 16;
        write(0x90A8, 1);
        return v;
    };
    EXPECT_EQ(word(0x1F10000), 0xFFFFu);  // nothing selected
    write(select_register, 1);
    EXPECT_EQ(read(select_register), 1u);
    EXPECT_EQ(word(0x1F10000), 0x0DD0u);  // the magic 0xCAFED00D, the lower address high
    EXPECT_EQ(word(0x1F10002), 0xFECAu);
    EXPECT_EQ(word(0x1F10008), 0x0800u);  // major 8
    EXPECT_EQ(word(0x1F10028), ('V' << 8 | 'e'));
    EXPECT_EQ(word(0x100), 0xFFFFu);  // erased
    EXPECT_EQ(bar_->memory_words_read(), 6u);
}

}  // namespace
