// Hardware events on the card model: every event word the card sends (or a test injects)
// reaches the channel's event decoder through the completion rings.

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "driver/pipeline/ebinfo.h"
#include "driver/pipeline/builders.h"
#include "driver/pipeline/events.h"
#include "driver/pipeline/issue.h"
#include "driver/pipeline/nand_cmds.h"
#include "driver/platform/memory.h"
#include "sim/kernel/control.h"
#include "tests/driver/pipeline/card_channel.h"

namespace {

constexpr ULONG no_failure = 0xFFFFFFFFu;
constexpr ULONG sector = 512;
constexpr ULONG unit = sector + 8;
constexpr UCHAR user_packet = 144;

bool logged_part(const std::string& part) {
    auto texts = sim::kernel::debug_texts();
    return std::any_of(texts.begin(), texts.end(), [&](const std::string& t) { return t.find(part) != std::string::npos; });
}

size_t count_part(const std::string& part) {
    auto texts = sim::kernel::debug_texts();
    return (size_t)std::count_if(texts.begin(), texts.end(),
                                 [&](const std::string& t) { return t.find(part) != std::string::npos; });
}

// What the channel's bring-up operations and client the tests install saw.
struct seen_services {
    std::mutex mutex;  // env_words: the decoder runs on the rings' DPCs
    std::vector<ULONG> env_words;
    bool recovered = false;
    int fail = 0;
    ULONG failed_lanes = 0;
    ULONG weak_lanes = 0;
    ULONG failed_lane = 0;
    ULONG64 flags = 0;
    bool hardware_failed = false;
};
seen_services* seen = nullptr;

class EventsTest : public CardChannelTest {
  protected:
    void SetUp() override {
        seen = &seen_;
        CardChannelTest::SetUp();
        channel()->issue_table = request_issue_table;
        buffer_ = (UCHAR*)kpav_dma_alloc_contig(&bus_);
        ASSERT_NE(buffer_, nullptr);
    }
    void configure() override {
        owner_.env_interrupt = [](nand_dev*, ULONG word, int check) {
            std::lock_guard<std::mutex> hold(seen->mutex);
            seen->env_words.push_back(check == 1 ? word : 0);
        };
        // Read recovery is the first to see a retired request: what the decoder left in it.
        owner_.read_recovery_complete = [](nand_dev*, velkor_request* request) {
            if (request->type == REQUEST_READ) {
                seen->recovered = true;
                seen->fail = request->fail;
                seen->failed_lanes = request->failed_lanes;
                seen->weak_lanes = request->weak_lanes;
                seen->failed_lane = request->failed_lane;
                seen->flags = request->flags;
            }
            return 1;
        };
    }
    void TearDown() override {
        UCHAR* buffer = buffer_;
        pipeline_free_then([buffer] { kpav_dma_free_contig(buffer); });
        ebinfo_exit(channel());
        CardChannelTest::TearDown();
        seen = nullptr;
    }

    // The channel's erase-block information, every block using the lanes of `lane_mask` in every
    // bank.
    void use_ebinfo(ULONG lane_mask) {
        const nand_geometry& g = channel()->geometry;
        store_geometry geometry{};
        geometry.eb_count = g.eb_count;
        geometry.planes = g.planes;
        geometry.banks = g.banks;
        geometry.data_pads = g.data_pads;
        geometry.total_pads = g.total_pads;
        geometry.segments_per_eb = g.rows_per_eb * g.banks;
        geometry.page_size = g.page_size;
        ASSERT_EQ(ebinfo_init(channel(), &geometry), 0);
        for (ULONG eb = 0; eb < g.eb_count; eb++) {
            for (ULONG bank = 0; bank < g.banks; bank++) {
                ebinfo_get(channel(), (USHORT)eb)->banks[bank].effective_mask = lane_mask;
            }
        }
    }
    // A client above the channel that is in its hardware-failure mode when the test says so.
    void use_client() {
        static constexpr nand_dev_client_ops ops = [] {
            nand_dev_client_ops o = nand_dev_client_defaults;
            o.hardware_failed = [](nand_dev*) { return seen->hardware_failed; };
            return o;
        }();
        nand_dev_set_client(channel(), &ops, &seen_);
    }

    // Waits until the decoder handled everything injected before: an improperly handled word
    // (low byte 15) goes through the same ring after it.
    void settle() {
        static ULONG sentinel = 0;
        char word[32];
        ULONG value = 0x0F | (0x8000 + (++sentinel & 0x7FFF)) << 8;
        std::snprintf(word, sizeof word, "word=0x%x", value);
        model_->inject("event", word);
        char line[80];
        std::snprintf(line, sizeof line, "dov0: Improperly handled interrupt: %8.8x\n", value);
        ASSERT_TRUE(eventually([&] { return logged(line); }));
    }

    void inject(const std::string& parameters) { model_->inject("event", parameters); }

    // Waits for the card's register dump taken with `reason`; the number of dumps asked for.
    // A dump of the card starts with the reason (a later failure may take a dump of its own once
    // the first was printed).
    bool dumped(const std::string& reason) {
        return eventually([&] {
            for (const std::string& text : dump_texts()) {
                if (text.rfind("pavinf dov0: ERROR " + reason + "\n", 0) == 0) {
                    return true;
                }
            }
            return false;
        });
    }
    size_t dumps() { return dump_requests(); }

    // A page of `eb` programmed with packets whose headers name sectors lba, lba + 1, ...
    void program_packets(USHORT eb, USHORT page, ULONG64 lba, ULONG count) {
        const ULONG page_bytes = channel()->geometry.page_size;
        std::memset(buffer_, 0x5C, page_bytes);
        for (ULONG u = 0; u < count; u++) {
            UCHAR* at = buffer_ + u * unit;
            ULONG high = user_packet;
            auto low = (ULONG)(lba + u);
            std::memcpy(at, &high, 4);
            std::memcpy(at + 4, &low, 4);
        }
        ASSERT_EQ(request_erase_sync(channel(), eb, nullptr, 0), 0);
        ASSERT_EQ(request_page_program_sync(channel(), eb, page, buffer_, page_bytes, nullptr, nullptr, 1), 0);
    }

    // Reads `count` packets at the start of `page` of `eb`, synchronously.
    int read_packets(USHORT eb, USHORT page, ULONG64 lba, ULONG count) {
        tavrin_ioctx* context = request_alloc(channel(), REQUEST_ALLOC_WAIT);
        if (context == nullptr) {
            return -KPAV_ENOMEM;
        }
        velkor_request* request = context->request;
        request->type = REQUEST_READ;
        request->data_op = DATA_OP_PACKETS;
        request->geometry_b = unit << 16 | sector;
        auto& read = request->params.read;
        read.packet_kind = user_packet;
        read.address.eb = eb;
        read.address.offset = (ULONG64)page * channel()->geometry.page_size;
        read.lba = lba;
        read.packet_count = count;
        read.data_length = sector * count;
        read.transfer_length = unit * count;
        EXPECT_EQ(kpav_sgl_map_bytes(request->list, buffer_ + 4 * 65536, read.data_length), 0);
        return request_submit_wait(context);
    }

    int read_raw(USHORT eb, USHORT page, ULONG size) {
        media_address address{};
        address.eb = eb;
        address.offset = (ULONG64)page * channel()->geometry.page_size;
        return media_read_raw(channel(), &address, buffer_ + 4 * 65536, size, 0, nullptr, nullptr, nullptr);
    }

    ULONG failure() const { return card_.nand->failure_reason; }
    ULONG nand_register(ULONG reg) { return hw_read(channel(), BAR_NAND + reg); }

    seen_services seen_;
    UCHAR* buffer_ = nullptr;
    ULONG64 bus_ = 0;
};

// ---- Event words without a record

struct simple_case {
    const char* name;
    const char* fault;       // the card fault that sends the word
    const char* parameters;
    const char* line;        // what the decoder logs ("" nothing)
    ULONG reason;            // the channel's failure reason, or no_failure
    const char* dump;        // the register dump's reason (nullptr: none asked for by the decoder)
};

void PrintTo(const simple_case& c, std::ostream* os) {
    *os << c.name;
}

class SimpleEventTest : public EventsTest, public ::testing::WithParamInterface<simple_case> {};

TEST_P(SimpleEventTest, LogsItsLineAndFailsTheChannelAsTheTableSays) {
    const simple_case& c = GetParam();
    hw_write(channel(), BAR_NAND + NAND_POWERCUT_FLUSH, 1);
    hw_write(channel(), BAR_NAND + NAND_BROWNOUT_FLUSH, 1);
    model_->inject(c.fault, c.parameters);
    if (c.reason != no_failure) {
        ASSERT_TRUE(eventually([&] { return channel_failed(channel()); }));
        EXPECT_EQ(failure(), c.reason);
    } else {
        settle();
        EXPECT_FALSE(channel_failed(channel()));
    }
    if (*c.line != 0) {
        EXPECT_TRUE(logged(c.line)) << c.line;
    }
    if (c.dump != nullptr) {
        EXPECT_TRUE(dumped(c.dump)) << c.dump;
    }
    // The write-path parity errors stop the flushes the card would run at power loss.
    bool write_parity = c.reason == CHANNEL_FAIL_WRITE_PARITY;
    EXPECT_EQ(nand_register(NAND_POWERCUT_FLUSH), write_parity ? 0u : 1u);
    EXPECT_EQ(nand_register(NAND_BROWNOUT_FLUSH), write_parity ? 0u : 1u);
}

const simple_case simple_cases[] = {
    {"improper_15", "event", "word=0x10F", "dov0: Improperly handled interrupt: 0000010f\n", no_failure, nullptr},
    {"bank_word_of_a_missing_bank", "event", "word=0x123", "dov0: Improperly handled interrupt: 00000123\n", no_failure,
     nullptr},
    {"improper_49", "event", "word=49", "dov0: Improperly handled interrupt: 00000031\n", no_failure, nullptr},
    {"ignored_98", "event", "word=98", "", no_failure, nullptr},
    {"record_102", "record102", "", "", no_failure, nullptr},
    {"write_parity", "parity", "event=92 detail=0x100", "dov0: Write Path Parity Error Detected - completion: 0000015c\n",
     CHANNEL_FAIL_WRITE_PARITY, "Failing channel."},
    {"read_parity", "parity", "event=93", "dov0: Read Path Parity Error Detected - completion: 0000005d\n",
     CHANNEL_FAIL_READ_PARITY, "Failing channel."},
    {"encoder_parity", "parity", "event=224", "dov0: Encoder Parity Error Detected - completion: 000000e0\n",
     CHANNEL_FAIL_WRITE_PARITY, "Failing channel."},
    {"page_buffer_parity", "upset", "kind=page_parity detail=0x300",
     "dov0: Write Path Page Buffer Parity Error Detected - interrupt: 00000363\n", CHANNEL_FAIL_WRITE_PARITY,
     "Failing channel."},
    {"clock_lock", "dcm_unlock", "", "dov0: Nand DCM lost lock....DCM Lock = 0.\n", CHANNEL_FAIL_CLOCK_LOCK,
     "Failing channel."},
    {"poison", "poison", "", "", CHANNEL_FAIL_POISON, "Poison Pkt detected from host."},
    {"bar_lost", "bar_lost", "", "dov0: Lost PCIE BAR mapping.\n", CHANNEL_FAIL_BAR_LOST, "Failing channel."},
    {"unknown_7", "event", "word=7", "dov0: Unknown interrupt (q=0): val[0]: 00000007\n", CHANNEL_FAIL_UNKNOWN_EVENT,
     nullptr},
    {"unknown_239", "event", "word=239", "dov0: Unknown interrupt (q=0): val[0]: 000000ef\n", CHANNEL_FAIL_UNKNOWN_EVENT,
     nullptr},
    {"unknown_255", "event", "word=0x12FF", "dov0: Unknown interrupt (q=0): val[0]: 000012ff\n",
     CHANNEL_FAIL_UNKNOWN_EVENT, nullptr},
    {"unlisted_101", "event", "word=101", "dov0: Unknown interrupt (q=0): val[0]: 00000065\n", CHANNEL_FAIL_UNKNOWN_EVENT,
     nullptr},
};

INSTANTIATE_TEST_SUITE_P(Words, SimpleEventTest, ::testing::ValuesIn(simple_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EventsTest, UpsetsAreCountedAcknowledgedAndAMultiBitUpsetIsMasked) {
    model_->inject("upset", "kind=single");
    model_->inject("upset", "kind=event");
    model_->inject("upset", "kind=fatal");
    model_->inject("upset", "kind=multi");
    settle();
    EXPECT_TRUE(logged("dov0: Single Bit Event Upset Error Detected - interrupt: 00100063\n"));
    EXPECT_TRUE(logged("dov0: Single Bit Event Upset Error Detected - interrupt: 00000064\n"));
    EXPECT_TRUE(logged("dov0: SEU Fatal Error Detected - interrupt: 00000264\n"));
    EXPECT_TRUE(logged("dov0: Multi Bit Event Upset Error Detected - interrupt: 00000464\n"));
    const channel_events& ev = channel()->events;
    EXPECT_EQ(ev.single_bit_upsets, 2);
    EXPECT_EQ(ev.fatal_upsets, 1);
    EXPECT_EQ(ev.multi_bit_upsets, 1);
    EXPECT_EQ(model_->counters().upset_acknowledges, 4u);
    EXPECT_NE(nand_register(NAND_INTR_MASK) & INTR_MASK_MULTI_BIT_UPSET, 0u);
    EXPECT_FALSE(channel_failed(channel()));
    // Masked now: the card drops further event upsets.
    ULONG64 masked = model_->counters().events_masked;
    model_->inject("upset", "kind=multi");
    settle();
    EXPECT_EQ(model_->counters().events_masked, masked + 1);
    EXPECT_EQ(ev.multi_bit_upsets, 1);
}

TEST_F(EventsTest, AnEnvironmentEventGoesToTheMonitorWithTheWord) {
    inject("word=0x45E");  // 94 with the temperature bit
    settle();
    std::lock_guard<std::mutex> hold(seen_.mutex);
    ASSERT_EQ(seen_.env_words.size(), 1u);
    EXPECT_EQ(seen_.env_words[0], 0x45Eu);
    EXPECT_FALSE(channel_failed(channel()));
}

// ---- PCIe link errors

TEST_F(EventsTest, APcieLinkWordPrintsItsBitsAndRepeatsOnlyAfterAnHour) {
    inject("word=0x20067");
    settle();
    EXPECT_TRUE(logged("dov0: PCIe fatal link error detected - interrupt val[0]: 00020067\n"));
    EXPECT_TRUE(logged("dov0:    * Unknown PCIe link error detected.\n"));
    EXPECT_TRUE(logged("dov0:   * PCIE Link Status: 0x00000000. Total PCIe interrupt recieved: 1\n"));
    EXPECT_FALSE(logged_part("link symbol unlock"));
    EXPECT_EQ(count_part("PCIe fatal link error"), 1u);

    // Within the hour the same word prints nothing, but it is counted.
    sim::kernel::advance_clock(3599ull * 10000000);
    inject("word=0x20067");
    settle();
    EXPECT_EQ(count_part("PCIe fatal link error"), 1u);
    EXPECT_EQ(channel()->events.pcie_interrupts, 2);

    // A bit not reported before prints at once, with its line and without the unknown one.
    inject("word=0x10167");
    settle();
    EXPECT_TRUE(logged("dov0: PCIe non-fatal link error detected - interrupt val[0]: 00010167\n"));
    EXPECT_TRUE(logged("dov0:    * PCIe link error. Loss of PLL lock, loss of GTP lock, malformed TLP, internal "
                       "overflow in PCIe core.\n"));
    EXPECT_TRUE(logged("dov0:    * PCIe link symbol unlock detected.\n"));
    EXPECT_EQ(count_part("Unknown PCIe link error"), 1u);
    EXPECT_TRUE(logged_part("Total PCIe interrupt recieved: 3\n"));
    inject("word=0x10167");
    settle();
    EXPECT_EQ(count_part("PCIe non-fatal link error"), 1u);

    // More than an hour after the first report it prints again.
    sim::kernel::advance_clock(2ull * 10000000);
    inject("word=0x20067");
    settle();
    EXPECT_EQ(count_part("PCIe fatal link error"), 2u);
    EXPECT_FALSE(channel_failed(channel()));
}

TEST_F(EventsTest, EachLinkDetailBitHasItsLine) {
    inject("word=0x1F67");  // bits 8-12
    settle();
    for (const char* line : {"dov0:    * PCIe link symbol unlock detected.\n", "dov0:    * PCIe link disparity detected.\n",
                             "dov0:    * PCIe link 8B 10B detected.\n", "dov0:    * PCIe link TLP replay detected.\n",
                             "dov0:    * PCIe link TLP NAK detected.\n"}) {
        EXPECT_TRUE(logged(line)) << line;
    }
    EXPECT_FALSE(logged_part("Unknown PCIe link error"));
}

// ---- Records

struct record_case {
    const char* name;
    const char* parameters;
    ULONG bytes;
    ULONG reason;
};

void PrintTo(const record_case& c, std::ostream* os) {
    *os << c.name;
}

class BrokenRecordTest : public EventsTest, public ::testing::WithParamInterface<record_case> {};

// A foreign word where the terminator belongs: the rest of the ring can no longer be framed.
TEST_P(BrokenRecordTest, FailsTheChannelWithTheEventsReason) {
    const record_case& c = GetParam();
    inject(c.parameters);
    ASSERT_TRUE(eventually([&] { return channel_failed(channel()); }));
    EXPECT_EQ(failure(), c.reason);
    char line[96];
    std::snprintf(line, sizeof line, "dov0: Failed to get completion record size %4u cr=", c.bytes);
    EXPECT_TRUE(logged_part(line)) << line;
    EXPECT_TRUE(dumped("Failing channel."));
}

const record_case broken_records[] = {
    // A two-lane card: (2 + 3) / 4 x 8 + 4 bytes.
    {"bank_group", "word=16 record=[1,0xE0E0] bad_terminator", 12, CHANNEL_FAIL_PAD_RECORD},
    {"fatal_bank_group", "word=0x20000010 record=[1,0,0] bad_terminator", 16, CHANNEL_FAIL_PAD_RECORD},
    {"magic", "word=44 record=[4,0,0,0,0] bad_terminator", 24, CHANNEL_FAIL_MAGIC},
    {"weak_lane", "word=104 record=[4] bad_terminator", 8, CHANNEL_FAIL_PAD_FATAL},
    {"failed_lane", "word=105 record=[4] bad_terminator", 8, CHANNEL_FAIL_PAD_FATAL},
    {"narrow_lane", "word=170 record=[4] bad_terminator", 8, CHANNEL_FAIL_NARROW_PAD_RECORD},
    {"decode", "word=204 record=[4] bad_terminator", 8, CHANNEL_FAIL_DECODE},
    {"histogram", "word=238 record=[1,2] bad_terminator", 12, CHANNEL_FAIL_NARROW_PAD_RECORD},
    {"record_102", "word=102 record=[1,2,3] bad_terminator", 124, 0},
};

INSTANTIATE_TEST_SUITE_P(Terminators, BrokenRecordTest, ::testing::ValuesIn(broken_records),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EventsTest, TheBankHistogramCountsEntriesInsideItsTable) {
    // Two banks: entry (2 + 1) x (w >> 24) + min(first + second - 1, 2).
    volatile LONG table[9] = {};
    channel()->events.histogram_entries = 9;
    WritePointerRelease((PVOID volatile*)&channel()->events.histogram, (PVOID)table);
    model_->inject("histogram", "record=[0,0x02001001,0]");   // 3 x 2 + min(1, 2) = 7
    model_->inject("histogram", "record=[0,0x01000009,0]");   // 3 x 1 + min(8, 2) = 5
    model_->inject("histogram", "record=[0,0x00000000,0]");   // first + second - 1 < 0
    model_->inject("histogram", "record=[0,0xFF000001,0]");   // 3 x 255: past the table
    settle();
    EXPECT_EQ(table[7], 1);
    EXPECT_EQ(table[5], 1);
    EXPECT_EQ(std::count_if(std::begin(table), std::end(table), [](LONG v) { return v != 0; }), 2);
    EXPECT_EQ(channel()->events.histogram_dropped, 2);
    EXPECT_FALSE(channel_failed(channel()));
    WritePointerRelease((PVOID volatile*)&channel()->events.histogram, nullptr);
}

// ---- Pad errors of programs and erases

TEST_F(EventsTest, AFailedLaneOfARowFailsThePageProgramThatWaitsForIt) {
    ASSERT_EQ(request_erase_sync(channel(), 5, nullptr, 0), 0);
    model_->inject("program_fail", "eb=5 bank=0 lane=1");
    std::memset(buffer_, 0x33, channel()->geometry.page_size);
    EXPECT_EQ(request_page_program_sync(channel(), 5, 0, buffer_, channel()->geometry.page_size, nullptr, nullptr, 1),
              -KPAV_EIO);
    EXPECT_EQ(channel()->flush.pad_error_events, 1);
    EXPECT_FALSE(channel_failed(channel()));
}

TEST_F(EventsTest, EraseLanesOutsideTheBlocksMaskChangeNothing) {
    use_ebinfo(0x1);  // the blocks use lane 0 only
    // Every lane is erased; lane 1 fails, but no block keeps data there.
    model_->inject("erase_fail", "eb=6 bank=1 lane=1");
    EXPECT_EQ(request_erase_sync(channel(), 6, nullptr, REQ_ALL_LANES), 0);
    EXPECT_EQ(channel()->events.erase_pad_events, 0);
    // A lane the block uses fails the erase.
    model_->inject("erase_fail", "eb=6 bank=1 lane=0 status=0x60");
    EXPECT_EQ(request_erase_sync(channel(), 6, nullptr, REQ_ALL_LANES), -KPAV_EIO);
    EXPECT_EQ(channel()->events.erase_pad_events, 1);
    EXPECT_FALSE(channel_failed(channel()));
}

TEST_F(EventsTest, TheIgnoreMaskHidesStatusBits) {
    channel()->events.status_ignore_mask = 0x01;
    model_->inject("erase_fail", "eb=7 bank=0 lane=0 status=0xE1");
    EXPECT_EQ(request_erase_sync(channel(), 7, nullptr, 0), 0);
    EXPECT_EQ(channel()->events.erase_pad_events, 0);
}

TEST_F(EventsTest, PadErrorsInTheScanModeOnlyMarkTheChannelsMap) {
    WriteRelease(&channel()->events.scan_mode, 1);
    model_->inject("erase_fail", "eb=7 bank=1 lane=1");
    EXPECT_EQ(request_erase_sync(channel(), 7, nullptr, 0), 0);
    // Two lanes, one plane: bank 1's lane 1 is pad index (1 x 1 + 0) x 2 + 1.
    EXPECT_EQ(channel()->events.scan_pad_errors[0], 1 << 3);
    EXPECT_EQ(channel()->events.erase_pad_events, 0);
}

TEST_F(EventsTest, AFatalPadRecordFailsTheChannel) {
    model_->inject("pad_fatal", "bank=0");
    EXPECT_EQ(request_erase_sync(channel(), 8, nullptr, 0), -KPAV_EIO);
    EXPECT_EQ(failure(), CHANNEL_FAIL_PAD_FATAL);
}

TEST_F(EventsTest, APadRecordOfABankGroupTheChannelLacksIsUnknown) {
    inject("word=19 record=[1,0xE1E1]");  // group 3 of a two-bank card
    ASSERT_TRUE(eventually([&] { return channel_failed(channel()); }));
    EXPECT_EQ(failure(), CHANNEL_FAIL_UNKNOWN_EVENT);
    EXPECT_TRUE(logged("dov0: Unknown interrupt (q=0): val[0]: 00000013\n"));
}

// The request side of a pad record, on requests as their issue handlers leave them.
TEST_F(EventsTest, PadErrorsOfARequestFollowThePadErrorRule) {
    struct pad_case {
        const char* name;
        ULONG type;
        ULONG64 flags;
        bool fails;
        bool erase_count;
    };
    const pad_case cases[] = {
        {"erase", REQUEST_ERASE, 0, true, true},
        {"waiting page program", REQUEST_PAGE_PROGRAM, REQ_FLUSH_WAITER | REQ_FLUSH_JOIN, true, false},
        {"page program", REQUEST_PAGE_PROGRAM, REQ_FLUSH_JOIN, false, false},
    };
    use_ebinfo(0x3);
    use_client();
    seen_.hardware_failed = true;
    eb_info* info = ebinfo_get(channel(), 9);
    // Two lanes, one plane: bank 1's lane 0 is pad index 2.
    const ULONG bitmap[15] = {1u << 2};
    for (const pad_case& c : cases) {
        SCOPED_TRACE(c.name);
        RtlZeroMemory(info->retired_pads, sizeof info->retired_pads);
        RtlZeroMemory(info->error_level, sizeof info->error_level);
        LONG64 erases = channel()->events.erase_pad_events;
        LONG64 others = channel()->events.other_pad_events;
        tavrin_ioctx* context = request_alloc(channel(), REQUEST_ALLOC_WAIT);
        ASSERT_NE(context, nullptr);
        velkor_request* request = context->request;
        request->type = c.type;
        request->flags = c.flags;
        request->params.erase.eb = 9;
        if (c.type == REQUEST_PAGE_PROGRAM) {
            request->params.page_program.eb = 9;
        }
        events_request_pad_errors(channel(), request, bitmap);
        events_request_pad_errors(channel(), request, bitmap);  // the block is noted once
        EXPECT_EQ(request->fail, c.fails ? -KPAV_EIO : 0);
        EXPECT_EQ((request->flags & REQ_FAILED) != 0, c.fails);
        EXPECT_EQ(request->bad_pad_map[0], 1u << 2);
        EXPECT_EQ(channel()->events.erase_pad_events - erases, c.erase_count ? 2 : 0);
        EXPECT_EQ(channel()->events.other_pad_events - others, c.erase_count ? 0 : 2);
        if (c.erase_count) {
            EXPECT_EQ(info->retired_pads[0], 0u);
            EXPECT_EQ(info->error_level[2], 0);
            EXPECT_EQ(request->eb_notice_count, 0);
        } else {
            // The block keeps the pad retired, and in the log's hardware-failure mode its level.
            EXPECT_EQ(info->retired_pads[0], 1u << 2);
            EXPECT_EQ(info->error_level[2], 145);
            EXPECT_EQ(info->error_level[3], 0);
            ASSERT_EQ(request->eb_notice_count, 1);
            EXPECT_EQ(request->eb_notices[0], 9);
        }
        request_free(request);
    }
    // Outside the hardware-failure mode the pad is retired but its level stays.
    seen_.hardware_failed = false;
    RtlZeroMemory(info->error_level, sizeof info->error_level);
    tavrin_ioctx* program = request_alloc(channel(), REQUEST_ALLOC_WAIT);
    ASSERT_NE(program, nullptr);
    program->request->type = REQUEST_PAGE_PROGRAM;
    program->request->params.page_program.eb = 9;
    events_request_pad_errors(channel(), program->request, bitmap);
    EXPECT_EQ(info->error_level[2], 0);
    request_free(program->request);
    // Pads the block does not use change nothing.
    for (eb_bank& bank : info->banks) {
        bank.effective_mask = 0x2;
    }
    tavrin_ioctx* context = request_alloc(channel(), REQUEST_ALLOC_WAIT);
    ASSERT_NE(context, nullptr);
    context->request->type = REQUEST_ERASE;
    context->request->params.erase.eb = 9;
    LONG64 erases = channel()->events.erase_pad_events;
    events_request_pad_errors(channel(), context->request, bitmap);
    EXPECT_EQ(context->request->fail, 0);
    EXPECT_EQ(context->request->bad_pad_map[0], 0u);
    EXPECT_EQ(channel()->events.erase_pad_events, erases);
    request_free(context->request);
}

TEST_F(EventsTest, MarkingAPadFailedRaisesItsLevelInEveryPlaneOrFlagsTheBlock) {
    tavrin_ioctx* context = request_alloc(channel(), REQUEST_ALLOC_WAIT);
    ASSERT_NE(context, nullptr);
    velkor_request* request = context->request;
    use_ebinfo(0x3);
    eb_info* info = ebinfo_get(channel(), 4);
    // No log above the channel: the block is flagged.
    mark_eb_pads_failed(channel(), request, 4, 1, 1);
    EXPECT_EQ(info->flags, 0x4);
    for (UCHAR level : info->error_level) {
        ASSERT_EQ(level, 0);
    }
    // With a log: the level of the pad rises in each plane (two here), the block is noted once.
    use_client();
    channel()->geometry.planes = 2;
    ebinfo_table(channel())->geometry.planes = 2;
    mark_eb_pads_failed(channel(), request, 4, 1, 1);
    mark_eb_pads_failed(channel(), request, 4, 1, 1);
    channel()->geometry.planes = 1;
    nand_dev_set_client(channel(), nullptr, nullptr);
    EXPECT_EQ(info->error_level[5], 176);  // (1 x 2 + 0) x 2 + 1
    EXPECT_EQ(info->error_level[7], 176);  // (1 x 2 + 1) x 2 + 1
    EXPECT_EQ(info->error_level[4], 0);
    ASSERT_EQ(request->eb_notice_count, 1);
    EXPECT_EQ(request->eb_notices[0], 4);
    request_free(request);
}

// ---- Read errors

TEST_F(EventsTest, AnUncorrectableReadCompletesWithItsFailingLane) {
    program_packets(3, 1, 100, 4);
    model_->inject("read_uncorrectable", "eb=3 bank=1 row=0 lane=1");
    EXPECT_EQ(read_raw(3, 1, 4096), PAV_UNCORRECTABLE);
    ASSERT_TRUE(seen_.recovered);
    EXPECT_EQ(seen_.fail, PAV_UNCORRECTABLE);
    EXPECT_EQ(seen_.failed_lanes, 0x2u);
    EXPECT_EQ(seen_.failed_lane, 1u);
    EXPECT_EQ(channel()->events.read_pad_errors, 1);

    // The narrow form names its lane the same way.
    seen_.recovered = false;
    model_->inject("read_uncorrectable", "eb=3 bank=1 row=0 lane=0 event=187");
    EXPECT_EQ(read_raw(3, 1, 4096), PAV_UNCORRECTABLE);
    ASSERT_TRUE(seen_.recovered);
    EXPECT_EQ(seen_.failed_lanes, 0x1u);
    EXPECT_EQ(channel()->events.read_pad_errors, 2);

    // A weak lane was corrected: the read succeeds and says which lane it was.
    seen_.recovered = false;
    model_->inject("read_weak", "eb=3 bank=1 row=0 lane=1");
    EXPECT_EQ(read_raw(3, 1, 4096), 0);
    ASSERT_TRUE(seen_.recovered);
    EXPECT_EQ(seen_.weak_lanes, 0x2u);
    EXPECT_EQ(seen_.failed_lanes, 0u);
    EXPECT_NE(seen_.flags & REQ_WEAK_LANES, 0u);
    EXPECT_FALSE(channel_failed(channel()));
}

TEST_F(EventsTest, AReadErrorOfNoRequestOnTheCardFailsTheChannel) {
    inject("word=105 record=[0x1000014,0]");  // tag 5: nothing issued
    ASSERT_TRUE(eventually([&] { return channel_failed(channel()); }));
    EXPECT_EQ(failure(), CHANNEL_FAIL_BAD_COMPLETION);
    EXPECT_TRUE(logged_part("names no request on the card"));
    EXPECT_EQ(channel()->events.read_pad_errors, 0);
}

TEST_F(EventsTest, ADecodeErrorFailsTheChannelUnlessTheReadIsAlreadyFailing) {
    program_packets(3, 1, 100, 4);
    model_->inject("read_uncorrectable", "eb=3 bank=1 row=0");
    model_->inject("decode_error", "eb=3 bank=1 row=0");
    EXPECT_EQ(read_raw(3, 1, 4096), PAV_UNCORRECTABLE);
    EXPECT_FALSE(channel_failed(channel()));

    model_->inject("decode_error", "eb=3 bank=1 row=0");
    read_raw(3, 1, 4096);
    ASSERT_TRUE(eventually([&] { return channel_failed(channel()); }));
    EXPECT_EQ(failure(), CHANNEL_FAIL_DECODE);
    EXPECT_TRUE(logged("dov0: Validator indicates an apparent decode error.\n"));
}

// ---- Magic mismatch

TEST_F(EventsTest, AMagicMismatchIsReadOnceMore) {
    program_packets(3, 1, 100, 4);
    ASSERT_EQ(read_packets(3, 1, 100, 4), 0);
    ASSERT_EQ(buffer_[4 * 65536], 0x5C);

    model_->inject("magic_corrupt", "eb=3 bank=1 row=0 packet=2");
    EXPECT_EQ(read_packets(3, 1, 100, 4), 0);
    EXPECT_TRUE(logged_part("dov0: magic mismatch read packets 3+16384 size: 2048 (0x2c) magic request: 64 "
                            "expected: 90:66 received: 90:67\n"));
    EXPECT_TRUE(logged("dov0: addr = 3:1:0.\n"));
    EXPECT_TRUE(logged("dov0: EB 3[0] valid = 0x3.\n"));
    EXPECT_TRUE(logged("dov0: EB 3[7] valid = 0x3.\n"));
    EXPECT_TRUE(logged_part("Unexpected media contents - mismatch."));
    EXPECT_TRUE(logged_part("mismatcher"));
    EXPECT_TRUE(logged("dov0: retrying magic mismatch request (bank 1).\n"));
    EXPECT_EQ(dumps(), 1u);
    EXPECT_FALSE(channel_failed(channel()));
}

TEST_F(EventsTest, ASecondMagicMismatchOfTheRetryFailsTheChannel) {
    program_packets(3, 1, 100, 4);
    model_->inject("magic_corrupt", "eb=3 bank=1 row=0 packet=0 times=2");
    EXPECT_EQ(read_packets(3, 1, 100, 4), -KPAV_EIO);
    EXPECT_EQ(count_part("retrying magic mismatch request"), 1u);
    EXPECT_EQ(count_part("magic mismatch read"), 2u);
    ASSERT_TRUE(channel_failed(channel()));
    EXPECT_EQ(failure(), 0u);
}

TEST_F(EventsTest, AMagicMismatchOfNoRequestSlippedBy) {
    inject("word=44 record=[0x1000014,0,0,0,0,0]");  // tag 5: nothing issued
    ASSERT_TRUE(eventually([&] { return channel_failed(channel()); }));
    EXPECT_EQ(failure(), CHANNEL_FAIL_MAGIC);
    EXPECT_TRUE(logged("dov0: Magic mismatch tag 0x5 slipped by us.\n"));
    EXPECT_EQ(dumps(), 1u);
}

}  // namespace
