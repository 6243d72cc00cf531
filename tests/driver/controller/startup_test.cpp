// The start-up checks' own rules on the card model: the power budget from the slot, the
// parameters, the override list and the product's figures; the override list; worn ranges.

#include "driver/controller/startup.h"

#include <cstring>
#include <string>
#include <vector>

#include "driver/controller/pmp_client.h"
#include "driver/controller/sensor_cache.h"
#include "driver/platform/format.h"
#include "driver/platform/params.h"
#include "tests/driver/controller/controller_fixture.h"

namespace {

class StartupTest : public ControllerCardTest {
  protected:
    void TearDown() override {
        external_power_override[0] = 0;
        global_slot_power_limit_mw = -1;
        ControllerCardTest::TearDown();
    }
};

struct budget_case {
    const char* what;
    ULONG slot_mw;
    LONG global_mw;
    const char* override_list;
    ULONG product_min;
    ULONG product_max;
    bool throttling_target;  // the sensor cache knows a power monitor
    LONG throttle_point;
    bool throttling_on;
    std::vector<const char*> lines;
};

const budget_case budget_cases[] = {
    {"a 25 W slot", 25000, -1, "", 0, 0, true, 24750, true,
     {": PCIe Slot reported power limit: 25000mWatts", ": PCIe Adapter power limit: 25000mWatts",
      ": PCIe Adapter power Throttle point: 24750mWatts"}},
    {"a slot below the product's minimum", 10000, -1, "", 0, 0, true, 12750, true,
     {": Warning! PCIe Slot reported power 10000mWatts is less than product minimum power 13000mWatts",
      ": PCIe Adapter power limit 10000mWatts less than product minimum power 13000mWatts!",
      ": PCIe Adapter power limit: 13000mWatts"}},
    {"a slot that reports nothing", 0, -1, "", 0, 0, true, 24750, true,
     {": PCIe Slot reported power limit: Unknown"}},
    {"the global limit", 25000, 20000, "", 0, 0, true, 19750, true,
     {": PCIe Global Slot power limit override: 20000mWatts"}},
    {"an override in watts", 10000, -1, "AD1:25,5678", 0, 0, true, 24750, true,
     {": PCIe Adapter External Power Override 25 needs to be specified in mWatts - converting to 25000mWatts",
      ": PCIe Adapter External Power Override for AD1: 25000mwatts"}},
    {"an override without a value", 25000, -1, "5678,AD1", 0, 0, true, 24750, true,
     {": PCIe Adapter External Power Override for AD1: invalid - no value specified"}},
    {"an override of no number", 25000, -1, "AD1:lots", 0, 0, true, 24750, true,
     {": PCIe Adapter External Power Override for AD1: invalid - value = 'lots'"}},
    {"the product's throttle point", 25000, -1, "", 0, 20000, true, 19750, true,
     {": PCIe Adapter power limit 25000mWatts greater than product maximum throttle power 20000mWatts"}},
    {"a throttle point below the minimum", 25000, -1, "", 0, 12000, true, 12750, true,
     {": Product maximum throttle point below static limit.  Resetting throttle point."}},
    {"no power monitor", 25000, -1, "", 14000, 0, false, 24750, false, {}},
};

TEST_F(StartupTest, ThePowerBudgetFollowsTheSlotTheParametersAndTheProduct) {
    for (const budget_case& c : budget_cases) {
        sim::card::CardConfig card = sim::card::CardConfig::small();
        card.pci.slot_power_mw = c.slot_mw;
        replug(card, {});
        sim::kernel::clear_debug_lines();
        global_slot_power_limit_mw = c.global_mw;
        kpav_snprintf(external_power_override, sizeof external_power_override, "%s", c.override_list);
        kpav_snprintf(card_->adapter_serial, sizeof card_->adapter_serial, "%s", "AD1");
        card_->product_min_power_mw = c.product_min;
        card_->product_max_throttle_mw = c.product_max;
        if (c.throttling_target) {
            ASSERT_EQ(pmp_link_start(card_), 0);
            ASSERT_EQ(adc_cache_init(card_), 0);
        }
        power_budget_init(card_);
        EXPECT_EQ(card_->power_limit_mw, c.throttle_point) << c.what;
        EXPECT_EQ(card_->throttling_on != FALSE, c.throttling_on) << c.what;
        EXPECT_EQ(card_->throttling_applicable != FALSE, c.throttling_target) << c.what;
        for (const char* line : c.lines) {
            EXPECT_TRUE(has_text(std::string("Velkor 0000:03:00.0") + line)) << c.what << ": " << line;
        }
    }
}

TEST(OptionList, FindsAnItemByItsWholeName) {
    struct lookup_case {
        const char* list;
        const char* text;
        const char* item;   // NULL: not found
        const char* value;  // NULL: no colon
    };
    const lookup_case cases[] = {
        {"1234:25,5678", "1234", "1234:25,5678", "25,5678"},
        {"1234:25,5678", "5678", "5678", nullptr},
        {"1234:25,5678", "123", nullptr, nullptr},
        {"1234:25,5678", "", nullptr, nullptr},
        {"", "1234", nullptr, nullptr},
        {"a:b:c,d", "a", "a:b:c,d", "b:c,d"},
        {"ab,a", "a", "a", nullptr},
    };
    for (const lookup_case& c : cases) {
        std::strcpy(external_power_override, c.list);
        const char* value = "unset";
        const char* item = option_list_lookup(c.text, &value);
        if (c.item == nullptr) {
            EXPECT_EQ(item, nullptr) << c.list << " / " << c.text;
        } else {
            ASSERT_NE(item, nullptr) << c.list << " / " << c.text;
            EXPECT_STREQ(item, c.item);
        }
        if (c.value == nullptr) {
            EXPECT_EQ(value, nullptr) << c.list << " / " << c.text;
        } else {
            ASSERT_NE(value, nullptr);
            EXPECT_STREQ(value, c.value);
        }
    }
    external_power_override[0] = 0;
}

TEST_F(StartupTest, WornRangesAreCheckedAgainstTheReducedRange) {
    struct worn_case {
        std::vector<worn_range> ranges;
        USHORT base;
        USHORT count;
        bool found;
        const char* line;
    };
    const worn_case cases[] = {
        {{}, 0, 0xFFFF, false, nullptr},
        {{{100, 50}}, 0, 0xFFFF, true, ": NAND modules have worn ranges, but no reduced range selected."},
        {{{100, 50}}, 140, 260, true, ": Worn range of 100-150 overlaps card's reduced range of 140-400"},
        {{{0, 100}}, 100, 100, false, nullptr},    // ends where the reduced range begins
        {{{500, 10}}, 140, 260, false, nullptr},   // after it
        {{{0, 100}, {390, 20}}, 140, 260, true, ": Worn range of 390-410 overlaps card's reduced range of 140-400"},
    };
    for (const worn_case& c : cases) {
        sim::kernel::clear_debug_lines();
        EXPECT_EQ(check_worn_ranges(card_, c.ranges.data(), (ULONG)c.ranges.size(), c.base, c.count), c.found);
        EXPECT_EQ(has_text("Velkor 0000:03:00.0: 12315 Worn ranges inconsistent."), c.found);
        if (c.line != nullptr) {
            EXPECT_TRUE(has_text(std::string("Velkor 0000:03:00.0") + c.line)) << c.line;
        }
    }
}

}  // namespace
