// The controller's system monitor: value-to-code conversions, the alarm rules and what they
// raise, the capacitor window, the registers a controller reset puts back; and through a card,
// the environment event with its mask.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "sim/card/controller.h"
#include "sim/card/system_monitor.h"
#include "tests/sim/card/card_host.h"

using card_test::CardHost;
using card_test::CardTest;
using card_test::lenient;
using card_test::nand;
using sim::card::Sensor;
using sim::card::SystemMonitor;

namespace {

constexpr uint32_t temp = SystemMonitor::temperature_bit;
constexpr uint32_t core = SystemMonitor::core_bit;
constexpr uint32_t aux = SystemMonitor::aux_bit;
constexpr uint32_t over = SystemMonitor::over_temperature_bit;
constexpr uint32_t cap_bad = SystemMonitor::capacitor_bad_bit;
constexpr uint32_t cap_good = SystemMonitor::capacitor_good_bit;

// What the host computes from a code (whole degrees, millivolts).
int host_degrees(uint32_t code) {
    return (int)((code * 504) >> 16) - 273;
}
uint32_t host_mv(uint32_t code) {
    return (code >> 6) * 3000 >> 10;
}

TEST(SystemMonitor, ValuesBecomeCodesTheHostReadsBack) {
    EXPECT_EQ(SystemMonitor::temperature_code(45000), 41372);
    EXPECT_EQ(SystemMonitor::capacitor_code(370), 24248);
    EXPECT_EQ(SystemMonitor::capacitor_code(274) * 1000u / 65535, 274u);
    for (int c = 0; c <= 127; c++) {
        EXPECT_EQ(host_degrees(SystemMonitor::temperature_code(c * 1000)), c) << c;
    }
    for (uint32_t mv : {958u, 999u, 1037u, 1672u, 1798u, 1918u}) {
        uint32_t back = host_mv(SystemMonitor::voltage_code(mv));
        EXPECT_LE(back, mv);
        EXPECT_GE(back + 3, mv) << mv;
    }
}

TEST(SystemMonitor, AlarmsRaiseOnceWhenTheyBecomeActive) {
    SystemMonitor m;
    struct step {
        const char* what;
        Sensor sensor;
        uint16_t code;
        uint32_t raised;
    };
    const step steps[] = {
        {"core below its window", Sensor::core, 0x51EB, core},
        {"still below: nothing new", Sensor::core, 0x5000, 0},
        {"core back inside", Sensor::core, 0x5500, 0},
        {"core above its window", Sensor::core, 0x58BF, core},
        {"core at the window's top is inside", Sensor::core, 0x58BE, 0},
        {"aux below", Sensor::aux, 0x8EBF, aux},
        {"aux at the window's bottom is inside", Sensor::aux, 0x8EC0, 0},
        {"aux above", Sensor::aux, 0xA401, aux},
        {"temperature just below the 85-degree limit", Sensor::temperature, 0xB5BF, 0},
        {"temperature at the limit code", Sensor::temperature, 0xB5C0, temp},
        {"over-temperature trigger", Sensor::temperature, 0xCA40, over},
        {"below the trigger, above the release: held", Sensor::temperature, 0xC800, 0},
        {"above the trigger again: still the same alarm", Sensor::temperature, 0xCB00, 0},
        {"below the release: over-temperature ends", Sensor::temperature, 0xC7B3, 0},
        {"above the trigger: raised anew", Sensor::temperature, 0xCA40, over},
        {"cool: both end", Sensor::temperature, 41372, 0},
        {"both at once", Sensor::temperature, 0xCC00, temp | over},
    };
    for (const step& s : steps) {
        EXPECT_EQ(m.set(s.sensor, s.code), s.raised) << s.what;
    }
}

TEST(SystemMonitor, TheTemperatureLimitIsTheLowHalfOfItsRegister) {
    SystemMonitor m;
    m.set(Sensor::temperature, 0xB400);  // between the 80 and the 85 degree codes
    EXPECT_EQ(m.read(0x1300), 0xC7B4B5C0u);
    EXPECT_EQ(m.write(0x1300, 0xC7B4B340), temp) << "a lower limit raises at once";
    EXPECT_EQ(m.write(0x1300, 0xC7B4B340), 0u);
    m.write(0x1300, 0xC7B4B5C0);
    EXPECT_EQ(m.set(Sensor::temperature, 0xB500), 0u);
}

TEST(SystemMonitor, TheCapacitorRaisesOnCrossingItsWindowAndItsRegistersRebaselineSilently) {
    SystemMonitor m;  // 370 mV, window 0..0xFFFF at reset
    EXPECT_EQ(m.write(0x130C, 18944), 0u);
    EXPECT_EQ(m.write(0x1308, 29120), 0u);
    EXPECT_EQ(m.set(Sensor::capacitor, 18000), cap_bad);
    EXPECT_EQ(m.set(Sensor::capacitor, 17000), 0u);
    // Moving the window over the reading says nothing; leaving it does.
    EXPECT_EQ(m.write(0x130C, 10000), 0u);
    EXPECT_EQ(m.set(Sensor::capacitor, 9000), cap_bad);
    EXPECT_EQ(m.set(Sensor::capacitor, 24248), cap_good);
    EXPECT_EQ(m.read(0x1338), 24248u);
}

TEST(SystemMonitor, ReadingsKeepTheirExtremesAndAResetPutsTheRegistersBack) {
    SystemMonitor m;
    m.set(Sensor::core, 0x5200);
    m.set(Sensor::core, 0x5800);
    m.set(Sensor::core, 0x5500);
    EXPECT_EQ(m.read(0x1318), 0x5500u);
    EXPECT_EQ(m.read(0x1324), 0x58005200u);
    m.set(Sensor::temperature, 0xB000);
    m.set(Sensor::temperature, 0xA000);
    EXPECT_EQ(m.read(0x1314), 0xB000A000u) << "high half: the hottest code seen";
    m.set_minmax(Sensor::aux, 0x9000, 0x9100);
    EXPECT_EQ(m.read(0x1328), 0x91009000u);
    m.poke(0x1314, 0xFFFFFFFF);  // a raw word, read back until the reading changes
    EXPECT_EQ(m.read(0x1314), 0xFFFFFFFFu);
    m.set(Sensor::temperature, 0xA100);
    EXPECT_EQ(m.read(0x1314), 0xB000A100u);

    m.write(0x1300, 0xC7B40000 | 0x9000);  // the alarm active now, the reading below the next limit
    m.write(0x1308, 100);
    m.set(Sensor::core, 0x4000);  // core alarm active
    m.reset();
    EXPECT_EQ(m.read(0x1300), 0xC7B4B5C0u);
    EXPECT_EQ(m.read(0x1308), 0xFFFFu);
    EXPECT_EQ(m.read(0x130C), 0u);
    EXPECT_EQ(m.read(0x1324), 0x40004000u);
    // The alarms were re-taken silently: the core one stays active and raises nothing more.
    EXPECT_EQ(m.set(Sensor::core, 0x4100), 0u);
    EXPECT_EQ(m.set(Sensor::core, 0x5500), 0u);
    EXPECT_EQ(m.set(Sensor::core, 0x4100), core);
}

// Through the card: the controller side posts 94 | bits on ring 0, through the interrupt mask.
class SystemMonitorOnCard : public CardTest {
  protected:
    CardHost& host() {
        CardHost& h = make_host(lenient());
        bar_ = std::make_unique<sim::card::ControllerBar>(h.card);
        h.card.set_controller(bar_.get());
        h.start(1, false);
        return h;
    }
    void TearDown() override {
        if (host_ != nullptr) {
            host_->card.set_controller(nullptr);
        }
        bar_.reset();
        CardTest::TearDown();
    }
    std::unique_ptr<sim::card::ControllerBar> bar_;
};

TEST_F(SystemMonitorOnCard, AnAlarmArrivesAsTheEnvironmentEventAndWaitsWhileMasked) {
    CardHost& h = host();
    EXPECT_EQ(h.read(0x8000 + 0x1318), 21824u) << "the healthy card's core code";
    bar_->env_set(Sensor::aux, 0x8000);
    EXPECT_EQ(h.drain(0), (std::vector<uint32_t>{94 | aux}));
    bar_->env_raise(core);
    EXPECT_EQ(h.drain(0), (std::vector<uint32_t>{94 | core})) << "raised with no reading changed";

    h.write(nand(0x2004), 0x1000000);
    bar_->env_set(Sensor::temperature, 0xCB00);
    EXPECT_TRUE(h.drain(0).empty());
    h.write(nand(0x2004), 0);
    EXPECT_EQ(h.drain(0), (std::vector<uint32_t>{94 | temp | over}));

    // A host write of the temperature limit raises too; a controller reset raises nothing.
    bar_->env_set(Sensor::temperature, 0xB400);
    h.write(nand(0x1300), 0xC7B4B340);
    EXPECT_EQ(h.drain(0), (std::vector<uint32_t>{94 | temp}));
    h.write(nand(0x1000), 0xFFFFFFFF);
    EXPECT_EQ(h.read(nand(0x1300)), 0xC7B4B5C0u);
    EXPECT_TRUE(h.drain(0).empty());
}

}  // namespace
