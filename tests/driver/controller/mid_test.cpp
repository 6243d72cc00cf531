// The manufacturing data read from the card model's management processor: a healthy card's, and
// each way a copy can be wrong; the section chain's bounds; the factory record in card memory;
// the target address records the copies are read from.

#include "driver/controller/mid.h"

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "driver/controller/card_memory.h"
#include "driver/controller/crc16.h"
#include "driver/controller/pmp_client.h"
#include "driver/controller/sensor_cache.h"
#include "driver/controller/smp_targets.h"
#include "driver/controller/startup.h"
#include "sim/card/mid_writer.h"
#include "sim/kernel/control.h"
#include "tests/driver/controller/controller_fixture.h"

namespace {

using sim::card::Mid;
using sim::card::MidItem;
using bytes = std::vector<UCHAR>;

ULONG64 key_of(const std::string& serial) {
    ULONG64 h = 0;
    for (char c : serial) {
        h = h * 257 + (UCHAR)c;
    }
    return h;
}

class MidTest : public ControllerCardTest {
  protected:
    // The link, the sensor cache and the address records, as start-up has them before the read.
    void start() {
        ASSERT_EQ(pmp_link_start(card_), 0);
        ASSERT_EQ(adc_cache_init(card_), 0);
        smp_record_targets(card_);
        ASSERT_EQ(mid_create(card_), 0);
    }
    void write(const std::vector<uint8_t>& node, uint8_t key, const Mid& mid) {
        bar_->pmp_set_kv(node, key, mid.bytes());
    }
};

TEST_F(MidTest, AHealthyCardsDataIsReadFromItsCopies) {
    start();
    ASSERT_EQ(load_mid(card_), 0);
    const card_mid* mid = card_->mid;
    EXPECT_EQ(card_->minimal_mode_reasons, 0u);
    EXPECT_EQ(mid->presence, MID_HAS_PRODUCT | MID_HAS_CONTROLLER | MID_HAS_NAND);
    EXPECT_STREQ(card_->product_name, "Velkor Ombrel3 1.2TB");
    EXPECT_STREQ(card_->adapter_serial, "AD1234567890");
    EXPECT_EQ(card_->card_key, key_of("AD1234567890"));
    EXPECT_EQ(card_->board_key, key_of("BD0987654321"));
    EXPECT_EQ(card_->board_kind, 1u);
    EXPECT_TRUE(card_->adapter_mid_found);
    EXPECT_EQ(card_->product_min_power_mw, 13000u);
    EXPECT_EQ(card_->product_max_throttle_mw, 0u);
    EXPECT_STREQ(mid->product_uuid, "6f1c2a3e-0d4b-4c11-9a7e-5b2f8c9d0e11");
    EXPECT_STREQ(mid->board_serial, "BD0987654321");
    EXPECT_EQ(mid->default_capacity_mb, 1200000u);
    EXPECT_EQ(mid->sector_size, 512u);
    EXPECT_EQ(mid->rated_endurance_tb, 17000u);
    EXPECT_EQ(mid->rated_endurance_gb, 17000000u);
    EXPECT_EQ(mid->reduced_base, 0);
    EXPECT_EQ(mid->reduced_count, 256);
    EXPECT_EQ(mid->pad_count, 30u);
    EXPECT_EQ(mid->tag26, 8u);
    EXPECT_EQ(mid->tag27, 1u);
    EXPECT_EQ(mid->bank_limit, 8u);
    EXPECT_EQ(mid->sni_rate_hz, 50000000u);
    EXPECT_EQ(bytes(mid->sni_calibration, mid->sni_calibration + mid->sni_calibration_count), bytes(30, 3));
    EXPECT_EQ(bytes(mid->nand_id, mid->nand_id + mid->nand_id_count), (bytes{0x56, 0x4B, 0x4E, 0x31}));
    EXPECT_EQ(mid->powercut_level, 1u);
    EXPECT_EQ(mid->core_temp_limit_c, 85u);
    EXPECT_EQ(mid->tag4_flag, 2u);
    EXPECT_EQ(mid->highest_port, 1u);
    for (const char* line : {"Velkor 0000:03:00.0: Product UUID is 6f1c2a3e-0d4b-4c11-9a7e-5b2f8c9d0e11",
                             "Velkor 0000:03:00.0: Adapter serial number is AD1234567890",
                             "Velkor 0000:03:00.0: Board serial number is BD0987654321",
                             "Velkor 0000:03:00.0: Default capacity        1200.000 GBytes",
                             "Velkor 0000:03:00.0: Maximum capacity        1600.000 GBytes",
                             "Velkor 0000:03:00.0: Default sector size     512 bytes",
                             "Velkor 0000:03:00.0: Rated endurance         17.00 PBytes",
                             "Velkor 0000:03:00.0: 85C temp range hardware found",
                             "Velkor 0000:03:00.0: Minimum Fan Speed Threshold 1000 RPM",
                             "Velkor 0000:03:00.0: Required PCIE bandwidth 4.000 GBytes per sec"}) {
        EXPECT_TRUE(has_text(line)) << line;
    }
}

// One change to the card's copies, what the read then says, and what the card keeps.
struct mid_case {
    const char* what;
    std::function<void(Mid& adapter, Mid& controller, Mid& unit)> change;
    int result;
    ULONG reasons;
    const char* line;  // logged (the card's display name before it); NULL: none expected
    std::function<bool(const pipeline_device*)> holds;
};

const mid_case mid_cases[] = {
    {"a newer driver wanted",
     [](Mid& a, Mid&, Mid&) { a.find(1)->set(MidItem::text(11, "4.2.3")); }, 0, 0x801,
     ": Driver version 4.2.2 less than minimum 4.2.3", nullptr},
    {"an older driver wanted",
     [](Mid& a, Mid&, Mid&) { a.find(1)->set(MidItem::text(11, "4.1.9")); }, 0, 0, nullptr, nullptr},
    {"a two-part version",
     [](Mid& a, Mid&, Mid&) { a.find(1)->set(MidItem::text(11, "4.2")); }, 0, 0, nullptr, nullptr},
    {"a sector size above the largest",
     [](Mid&, Mid& c, Mid&) { c.find(3)->set(MidItem::number(2, 8192, 2)); }, 0, 0,
     ":        but limited by OS to 4096 bytes", [](auto* card) { return card->mid->sector_size == 4096; }},
    {"a sector size below the smallest",
     [](Mid&, Mid& c, Mid&) { c.find(3)->set(MidItem::number(2, 256, 2)); }, 0, 0,
     ":        but limited by OS to 512 bytes", [](auto* card) { return card->mid->sector_size == 512; }},
    {"a worn-range blob of 44 bytes",
     [](Mid&, Mid& c, Mid&) { c.find(5)->set(MidItem::blob(18, bytes(44, 1))); }, -1, 0,
     ": Worn Ranges blob is too long.", [](auto* card) { return card->mid->worn_count == 0; }},
    {"two worn ranges",
     [](Mid&, Mid& c, Mid&) { c.find(5)->set(MidItem::blob(18, {100, 0, 50, 0, 0x10, 0x27, 1, 0})); }, 0, 0,
     nullptr,
     [](auto* card) {
         return card->mid->worn_count == 2 && card->mid->worn[0].start == 100 && card->mid->worn[0].count == 50 &&
                card->mid->worn[1].start == 10000 && card->mid->worn[1].count == 1;
     }},
    {"no NAND ID bytes",
     [](Mid&, Mid& c, Mid& u) {
         c.find(5)->set(MidItem::blob(20, {}));
         u.find(5)->set(MidItem::blob(20, {}));
     },
     -1, 0x20001, ": ID byte length: 0 invalid.", nullptr},
    {"nine NAND ID bytes", [](Mid&, Mid& c, Mid&) { c.find(5)->set(MidItem::blob(20, bytes(9, 0x56))); }, -1, 0,
     ": ID byte length: 9 invalid.", nullptr},
    {"six banks", [](Mid&, Mid& c, Mid&) { c.find(3)->set(MidItem::number(26, 6, 1)); }, 0, 0x20001,
     ": Invalid manufacturing configuration data (0x1a).", nullptr},
    {"three of tag 27", [](Mid&, Mid& c, Mid&) { c.find(3)->set(MidItem::number(27, 3, 1)); }, 0, 0x20001,
     ": Invalid manufacturing configuration data (0x1b).", nullptr},
    {"a required tag missing", [](Mid&, Mid& c, Mid&) { c.find(3)->remove(28); }, 0, 0x20001,
     ": Manufacturing configuration data incomplete (0x1c).", nullptr},
    {"a throttle point of 21000 is none",
     [](Mid& a, Mid&, Mid&) { a.find(1)->set(MidItem::number(14, 21000, 2)); }, 0, 0, nullptr,
     [](auto* card) { return card->product_max_throttle_mw == 0; }},
    {"a throttle point of 24000",
     [](Mid& a, Mid&, Mid&) { a.find(1)->set(MidItem::number(14, 24000, 2)); }, 0, 0, nullptr,
     [](auto* card) { return card->product_max_throttle_mw == 24000; }},
    {"modules that are not all present",
     [](Mid&, Mid& c, Mid&) { c.find(3)->set(MidItem::number(15, 0x07, 1)); }, 0, 0x401,
     ": Module Mask (0x7) doesn't match Present Mask (0xf)", nullptr},
    {"an endurance of 1050 TB",
     [](Mid&, Mid& c, Mid&) { c.find(3)->set(MidItem::number(3, 1050)); }, 0, 0,
     ": Rated endurance         1.05 PBytes", nullptr},
    {"the external power override",
     [](Mid& a, Mid&, Mid&) { a.sections.push_back({4, {MidItem::number(1, 1, 1)}}); }, 0, 0,
     ": MID: external_power_override enabled", [](auto* card) { return card->power_override == TRUE; }},
    {"no UUID", [](Mid& a, Mid&, Mid&) { a.find(1)->remove(13); }, 0, 0,
     ": Product UUID is 00000000-0000-0000-0000-000000000000", nullptr},
    // The adapter's Board section breaks the chain: Product stays, the adapter serial goes.
    {"a bad check in the second section",
     [](Mid& a, Mid&, Mid&) { a.find(2)->bad_check = true; }, 0, 0, nullptr,
     [](auto* card) { return card->adapter_serial[0] == 0 && !card->adapter_mid_found; }},
    // A copy whose first section is bad is not read at all; the Product section is then missing.
    {"a bad check in the adapter's first section",
     [](Mid& a, Mid&, Mid&) { a.find(1)->bad_check = true; }, -1, 0, ": MID missing Product section.",
     [](auto* card) { return card->product_name[0] == 0; }},
    // Without the controller's copy its checked tags are missing too.
    {"a first section of another type",
     [](Mid&, Mid& c, Mid&) { c.sections[0].type = 3; }, -1, 0x20001, ": MID missing Controller section.", nullptr},
    {"the unit's copy alone holds the NAND section",
     [](Mid&, Mid& c, Mid&) { c.sections.pop_back(); }, 0, 0, nullptr,
     [](auto* card) { return card->mid->nand_id_count == 4; }},
};

TEST_F(MidTest, EachKindOfWrongDataIsReportedAsThePartsSay) {
    for (const mid_case& c : mid_cases) {
        sim::kernel::clear_debug_lines();
        release_card();
        card_->minimal_mode_reasons = 0;
        card_->card_key = card_->board_key = 0;
        card_->adapter_mid_found = FALSE;
        card_->product_name[0] = card_->adapter_serial[0] = 0;
        card_->product_max_throttle_mw = 0;
        card_->power_override = FALSE;
        Mid adapter = sim::card::default_adapter_mid();
        Mid controller = sim::card::default_controller_mid();
        Mid unit = sim::card::default_unit_mid();
        c.change(adapter, controller, unit);
        write({1}, 0, adapter);
        write({1, 1}, 0, controller);
        write({1, 1}, 1, unit);
        start();
        EXPECT_EQ(load_mid(card_), c.result) << c.what;
        EXPECT_EQ(card_->minimal_mode_reasons, c.reasons) << c.what;
        if (c.line != nullptr) {
            EXPECT_TRUE(has_text(std::string("Velkor 0000:03:00.0") + c.line)) << c.what;
        }
        if (c.holds) {
            EXPECT_TRUE(c.holds(card_)) << c.what;
        }
    }
}

TEST_F(MidTest, WithNoCopyReadTheDataIsMissingNotInvalid) {
    start();
    bar_->inject("pmp_kv_absent", "times=always");
    EXPECT_EQ(load_mid(card_), -1);
    EXPECT_EQ(card_->minimal_mode_reasons, 0u);
    for (const char* section : {"Product", "Controller", "NAND"}) {
        EXPECT_TRUE(has_text(std::string("Velkor 0000:03:00.0: MID missing ") + section + " section.")) << section;
    }
    EXPECT_FALSE(has_text("Invalid manufacturing configuration data"));
}

// A value whose section lengths or items reach past where they may: nothing outside the section
// is read (the sanitizers watch) and nothing of a bad section is applied.
TEST_F(MidTest, SectionsAndItemsStayInsideTheValue) {
    start();
    auto section = [](UCHAR id, const bytes& items, int length_delta = 0) {
        bytes s(items.size() + 6);
        USHORT length = (USHORT)(items.size() + 2 + length_delta);
        USHORT crc = crc16_ccitt(items.data(), (USHORT)items.size());
        s[0] = 2;
        s[1] = id;
        s[2] = (UCHAR)length;
        s[3] = (UCHAR)(length >> 8);
        for (size_t i = 0; i < items.size(); i++) {
            s[4 + i] = items[i];
        }
        s[4 + items.size()] = (UCHAR)crc;
        s[5 + items.size()] = (UCHAR)(crc >> 8);
        return s;
    };
    struct bound_case {
        const char* what;
        bytes value;
        int result;
    };
    bytes reaching = section(1, {1, 3, 'A', 'B'});  // the item claims a byte of the check
    bytes at_the_end(1024, 0xFF);
    bytes first = section(1, {10, 1, 'X'});
    std::copy(first.begin(), first.end(), at_the_end.begin());
    size_t next = first.size();
    // A padding section up to 1021, then a header that would run past the value.
    bytes filler = section(9, bytes(1021 - next - 6, 0));
    std::copy(filler.begin(), filler.end(), at_the_end.begin() + (long)next);
    at_the_end[1021] = 2;
    at_the_end[1022] = 1;
    at_the_end[1023] = 0;
    const bound_case cases[] = {
        {"an item reaching into the check", reaching, 0},
        {"a length below the check's two bytes", section(1, {}, -2), -1},
        {"a length past the value", section(1, {1, 1, 'A'}, 1020), -1},
        {"a section header at the value's end", at_the_end, 0},
    };
    for (const bound_case& c : cases) {
        bytes value = c.value;
        value.resize(1024, 0xFF);
        card_->product_name[0] = 0;
        EXPECT_EQ(mid_parse_value(card_, value.data()), c.result) << c.what;
        EXPECT_STREQ(card_->product_name, "") << c.what;
    }
}

TEST(DriverVersion, IsComparedPartByPart) {
    struct version_case {
        const char* text;
        bool at_least;
    };
    const version_case cases[] = {
        {"4.2.2", true}, {"4.2.3", false}, {"4.2", true},   {"4.1.9", true}, {"4.3.0", false},
        {"5", false},    {"3.9.9", true},  {"4.2.10", false}, {"", true},  {"4.2.2.9", true},
    };
    for (const version_case& c : cases) {
        EXPECT_EQ(driver_version_at_least(c.text), c.at_least) << c.text;
    }
}

TEST(Crc16, MatchesTheKnownChecks) {
    const char* digits = "123456789";
    EXPECT_EQ(crc16_ccitt(digits, 9), 0x29B1);
    EXPECT_EQ(crc16_ccitt(digits, 0), 0xFFFF);
    EXPECT_EQ(crc16_ccitt("A", 1), sim::card::crc16_ccitt_false((const uint8_t*)"A", 1));
}

TEST_F(MidTest, TheFactoryRecordIsReadFromCardMemory) {
    ASSERT_EQ(mid_create(card_), 0);
    read_factory_record(card_);
    const auto& f = card_->mid->factory;
    ASSERT_TRUE(f.valid);
    EXPECT_EQ(f.values[0], 8u);
    EXPECT_EQ(f.values[1], 9u);
    EXPECT_EQ(f.values[2], 3u);
    EXPECT_EQ(f.values[7], 51234u);
    EXPECT_STREQ(f.text[0], "Velkor factory image");
    EXPECT_STREQ(f.text[1], "factory 2026-12-10");
    EXPECT_EQ(bar_->memory_words_read(), 84u);

    // Controllers of other generations have none.
    card_->generation = 4;
    read_factory_record(card_);
    EXPECT_FALSE(card_->mid->factory.valid);
    EXPECT_EQ(bar_->memory_words_read(), 84u);
}

TEST_F(MidTest, CardMemoryIsReadAWordAtATimeInMemoryOrder) {
    ULONG64 before = bar_->memory_words_read();
    UCHAR b[5];
    ASSERT_EQ(cmem_read(card_, CMEM_FACTORY_RECORD, 5, b, 1), 0);
    EXPECT_EQ(bytes(b, b + 5), (bytes{0x0D, 0xD0, 0xFE, 0xCA, 0x00}));  // the magic, little-endian
    EXPECT_EQ(bar_->memory_words_read() - before, 3u);
    ASSERT_EQ(cmem_read(card_, CMEM_FACTORY_RECORD + 1, 4, b, 1), 0);
    EXPECT_EQ(bytes(b, b + 4), (bytes{0xD0, 0xFE, 0xCA, 0x00}));
    EXPECT_EQ(bar_->memory_words_read() - before, 6u);
    // Erased memory reads all ones.
    ASSERT_EQ(cmem_read(card_, 0x100000, 4, b, 1), 0);
    EXPECT_EQ(bytes(b, b + 4), bytes(4, 0xFF));
}

// A select register that never reads back ends the read: no hang, no factory record.
TEST_F(MidTest, ACardMemoryWindowThatCannotBeSelectedFailsTheRead) {
    model_->inject("hw_lock", "never times=always");
    ASSERT_EQ(mid_create(card_), 0);
    UCHAR b[4];
    EXPECT_EQ(cmem_read(card_, CMEM_FACTORY_RECORD, 4, b, 1), -5);
    read_factory_record(card_);
    EXPECT_FALSE(card_->mid->factory.valid);
    EXPECT_EQ(bar_->memory_words_read(), 0u);
}

class MidFactoryMagicTest : public MidTest {
  protected:
    sim::card::ControllerConfig controller_config() const override {
        sim::card::ControllerConfig c;
        c.factory.magic = 0xCAFED00E;
        return c;
    }
};

TEST_F(MidFactoryMagicTest, ARecordWithAnotherMagicIsNotTaken) {
    ASSERT_EQ(mid_create(card_), 0);
    read_factory_record(card_);
    EXPECT_FALSE(card_->mid->factory.valid);
}

TEST_F(MidTest, TheTargetRecordsNameTheCardsAncestors) {
    ASSERT_EQ(pmp_link_start(card_), 0);
    ASSERT_EQ(adc_cache_init(card_), 0);
    smp_record_targets(card_);
    struct record_case {
        ULONG index;
        bytes path;
        UCHAR unit;
    };
    const record_case cases[] = {
        {SMP_RECORD_FULL, {1, 1, 2}, 0},   {SMP_RECORD_ADAPTER, {1}, 0}, {SMP_RECORD_SECOND, {}, 0},
        {SMP_RECORD_CONTROLLER, {1, 1}, 0}, {SMP_RECORD_UNIT, {1, 1}, 1}, {SMP_RECORD_UNIT + 1, {}, 0},
        {SMP_RECORD_UNIT + 2, {}, 0},      {SMP_RECORD_INDICATORS, {1}, 0},
    };
    for (const record_case& c : cases) {
        const pmp_address_record* r = smp_address_record(card_, c.index);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(bytes(r->path, r->path + r->length), c.path) << c.index;
        EXPECT_EQ(r->unit, c.unit) << c.index;
        EXPECT_EQ(r->kind, 1) << c.index;
    }
    EXPECT_TRUE(has_text("Velkor 0000:03:00.0: SMP controller Microcode APP  version 2.3.1 17"));
    EXPECT_TRUE(has_text("Velkor 0000:03:00.0: SMP    adapter Microcode BOOT version 1.0.4 2"));
    EXPECT_FALSE(has_text("SMP PCIe Serial Enabled"));
}

class MidKind14Test : public MidTest {
  protected:
    // The card right below the adapter, on its port 3: its path is 1 3.
    sim::card::ControllerConfig controller_config() const override {
        sim::card::ControllerConfig c;
        c.pmp.link_node = {1};
        c.pmp.host_port = 3;
        sim::card::PmpNodeConfig* adapter = c.pmp.node({1});
        adapter->flags |= sim::card::pmp_pcie_serial;
        adapter->app_version = {0, 0, 0, 0};
        Mid mid = sim::card::default_adapter_mid();
        mid.find(2)->set(MidItem::text(1, "ABC"));
        mid.find(2)->set(MidItem::number(3, 14, 1));
        adapter->kv[0] = mid.bytes();
        return c;
    }
};

TEST_F(MidKind14Test, ABoardOfKind14CarriesThePathInItsSerial) {
    start();
    load_mid(card_);
    EXPECT_TRUE(has_text("Velkor 0000:03:00.0: Board serial number is ABC-13"));
    EXPECT_STREQ(card_->mid->board_serial, "ABC-13");
    EXPECT_EQ(card_->board_key, key_of("ABC-13"));
    // Kind 14 is an adapter's kind too; its serial stays as written.
    EXPECT_STREQ(card_->adapter_serial, "ABC");
    EXPECT_TRUE(has_text("Velkor 0000:03:00.0: SMP PCIe Serial Enabled"));
    EXPECT_FALSE(has_text("adapter Microcode APP"));  // a version of zeros is not printed
    EXPECT_TRUE(has_text("adapter Microcode BOOT version 1.0.4 2"));

    // A serial too long to take the path keeps its own text.
    release_card();
    Mid mid = sim::card::default_adapter_mid();
    std::string long_serial(127, 'S');
    mid.find(2)->set(MidItem::text(1, long_serial));
    mid.find(2)->set(MidItem::number(3, 14, 1));
    write({1}, 0, mid);
    start();
    load_mid(card_);
    EXPECT_EQ(std::string(card_->mid->board_serial), long_serial);
}

}  // namespace
