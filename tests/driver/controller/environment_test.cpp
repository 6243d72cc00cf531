// The controller's environment: the code conversions; and on a running channel of the card model
// with its controller side (the system monitor), the supply check, the alarm windows, and the
// environment interrupts as the card raises them and the completion rings deliver them.

#include "driver/controller/environment.h"

#include <algorithm>
#include <memory>
#include <string>

#include "driver/controller/mid.h"
#include "driver/controller/pmp_client.h"
#include "driver/controller/sensor_cache.h"
#include "driver/pipeline/hw_cmds.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/platform/memory.h"
#include "sim/card/controller.h"
#include "sim/kernel/control.h"
#include "tests/driver/controller/controller_fixture.h"
#include "tests/driver/pipeline/card_channel.h"

namespace {

using sim::card::Sensor;
using sim::card::SystemMonitor;

TEST(EnvironmentCodes, ConvertAsTheMonitorsRegistersSay) {
    struct temperature_case {
        ULONG code;
        LONG degrees;
    };
    const temperature_case temperatures[] = {
        {0x8ABF, 0},   {0xB340, 79},  {0xB5C0, 84}, {0xC7B4, 120}, {0xCA40, 125},
        {0x8000, -21},  // below freezing
        {0xCC00, 128},  // above 127: not wrapped to a negative figure
        {0xFFFF, 230},
    };
    for (const temperature_case& c : temperatures) {
        EXPECT_EQ(env_temperature_c(c.code), c.degrees) << std::hex << c.code;
    }
    struct millivolt_case {
        ULONG code;
        ULONG supply_mv;
        ULONG capacitor_mv;
    };
    const millivolt_case millivolts[] = {
        {20973, 958, 320},   {22717, 1037, 346},  {36545, 1672, 557}, {41983, 1918, 640},
        {20928, 958, 319},   {27136, 1242, 414},  {18944, 867, 289},  {29120, 1333, 444},
        {18000, 823, 274},   {0, 0, 0},           {0xFFFF, 2997, 1000},
    };
    for (const millivolt_case& c : millivolts) {
        EXPECT_EQ(env_voltage_mv(c.code), c.supply_mv) << c.code;
        EXPECT_EQ(env_capacitor_mv(c.code), c.capacitor_mv) << c.code;
    }
    EXPECT_EQ(env_temperature_alarm_code(80), 0xB340u);
    EXPECT_EQ(env_temperature_alarm_code(85), 0xB5C0u);
    EXPECT_EQ(env_temperature_c(env_temperature_alarm_code(80)), 79) << "the code of a limit reads a degree below";
    EXPECT_EQ(env_temperature_c(env_temperature_alarm_code(85)), 84);
}

// A running channel on the card model with its system monitor plugged in, and the card's
// environment operations in the channel's bring-up.
class EnvironmentTest : public CardChannelTest {
  protected:
    void configure() override {
        bar_ = std::make_unique<sim::card::ControllerBar>(*model_, controller_config());
        model_->set_controller(bar_.get());
        card_.generation = generation();
        ASSERT_EQ(mid_create(&card_), 0);
        card_.mid->core_temp_limit_c = 85;
        card_.mid->powercut_level = 1;
        owner_.env_interrupt = env_interrupt;
        owner_.check_fpga_voltages = check_fpga_voltages;
        owner_.program_env_alarms = program_env_alarms;
        pipeline_free_then([this] {
            model_->set_controller(nullptr);
            bar_.reset();
            mid_free(&card_);
        });
    }
    virtual sim::card::ControllerConfig controller_config() const { return {}; }
    virtual ULONG generation() const { return 3; }

    bool env_masked() { return (hw_read(channel(), BAR_NAND + NAND_INTR_MASK) & ENV_INTR_MASK) != 0; }
    void unmask_env() { intr_mask_clear(channel(), ENV_INTR_MASK); }
    ULONG failure() const { return card_.nand->failure_reason; }
    env_alert_record alert() { return env_last_alert(&card_); }
    // Waits until the environment interrupt has let the next one in again.
    bool settled_unmasked() {
        return eventually([&] { return !env_masked(); });
    }
    static bool seen(const std::string& text) {
        return eventually([&] { return logged(text); });
    }
    static size_t count(const std::string& part) {
        auto texts = sim::kernel::debug_texts();
        return (size_t)std::count_if(texts.begin(), texts.end(),
                                     [&](const std::string& t) { return t.find(part) != std::string::npos; });
    }
    std::vector<ULONG> csr_writes(ULONG offset) {
        std::vector<ULONG> out;
        for (const auto& w : bar_->csr_writes(offset)) {
            out.push_back(w.value);
        }
        return out;
    }

    std::unique_ptr<sim::card::ControllerBar> bar_;
};

TEST_F(EnvironmentTest, SetUpChecksTheSuppliesAndProgramsTheCapacitorWindow) {
    EXPECT_EQ(csr_writes(0x1300), std::vector<ULONG>{}) << "the default limit keeps the reset value";
    EXPECT_EQ(csr_writes(0x130C), std::vector<ULONG>{18944}) << "capacitor present: watched for failing";
    EXPECT_EQ(csr_writes(0x1308), std::vector<ULONG>{29120});

    // The supply check, with the environment's interrupts held (the readings would raise them).
    intr_mask_set(channel(), ENV_INTR_MASK);
    struct supply_case {
        uint16_t core, aux;
        int result;
        const char* message;
    };
    const supply_case cases[] = {
        {20973, 36545, 0, nullptr},
        {22717, 41983, 0, nullptr},
        {20972, 39296, 1, "dov0: Invalid FPGA core voltage: 958mV\n"},
        {21824, 41984, 1, "dov0: Invalid FPGA aux voltage: 1921mV\n"},
        {22718, 36544, 1, "dov0: Invalid FPGA aux voltage: 1672mV\n"},  // both reported
    };
    for (const supply_case& c : cases) {
        sim::kernel::clear_debug_lines();
        bar_->env_set(Sensor::core, c.core);
        bar_->env_set(Sensor::aux, c.aux);
        EXPECT_EQ(check_fpga_voltages(channel()), c.result) << c.core << " " << c.aux;
        if (c.message != nullptr) {
            EXPECT_TRUE(logged(c.message)) << c.message;
        }
    }
    EXPECT_TRUE(logged("dov0: Invalid FPGA core voltage: 1037mV\n"));
    card_.generation = 4;
    EXPECT_EQ(check_fpga_voltages(channel()), 0) << "other controllers are not checked";
    card_.generation = 3;
    EXPECT_FALSE(channel_failed(channel()));
}

TEST_F(EnvironmentTest, TheTemperatureLimitAndTheCapacitorWindowFollowTheManufacturingData) {
    card_.mid->core_temp_limit_c = 80;
    card_.mid->powercut_level = 1;
    bar_->env_set(Sensor::capacitor, SystemMonitor::capacitor_code(250));
    ASSERT_TRUE(settled_unmasked());
    program_env_alarms(channel());
    EXPECT_EQ(bar_->peek(0x1300), 0xC7B4B340u);
    EXPECT_EQ(bar_->peek(0x130C), 20928u) << "capacitor absent: watched for appearing";
    EXPECT_EQ(bar_->peek(0x1308), 27136u);
    card_.mid->powercut_level = 2;
    size_t writes = csr_writes(0x1308).size();
    program_env_alarms(channel());
    EXPECT_EQ(csr_writes(0x1308).size(), writes) << "only level 1 depends on the capacitor";
}

TEST_F(EnvironmentTest, AnAuxVoltageOutOfItsWindowFailsTheChannelAndKeepsTheInterruptMasked) {
    bar_->env_set(Sensor::aux, 0x8000);
    ASSERT_TRUE(seen("dov0: Warning: Voltage 'aux' is out of spec. Shutting down channel.\n"));
    EXPECT_TRUE(seen("dov0: Warning: Voltage 'aux' min/max/cval : 1500/1798/1500 mV\n"));
    ASSERT_TRUE(eventually([&] { return channel_failed(channel()); }));
    EXPECT_EQ(failure(), CHANNEL_FAIL_AUX_VOLTAGE);
    EXPECT_TRUE(env_masked());
    env_alert_record a = alert();
    EXPECT_EQ(a.last_kind, ENV_ALERT_AUX);
    EXPECT_EQ(a.kinds, ENV_ALERT_AUX);
    EXPECT_EQ(a.code, 0x8000u);
    EXPECT_EQ(a.low, 0x8EC0);
    EXPECT_EQ(a.high, 0xA400);
    EXPECT_GT(a.time, 1600000000u);

    // Masked, the next alarm waits in the card.
    bar_->env_set(Sensor::core, 0x4000);
    EXPECT_FALSE(eventually([&] { return count("Voltage 'core'") != 0; }, 200));
}

TEST_F(EnvironmentTest, ASpuriousInterruptOnlyLogsAndLetsTheNextOneIn) {
    struct spurious_case {
        ULONG bits;
        const char* message;
    };
    const spurious_case cases[] = {
        {ENV_STATUS_AUX, "dov0: Warning: Voltage 'aux' spurious intr.\n"},
        {ENV_STATUS_CORE, "dov0: Warning: Voltage 'core' spurious intr.\n"},
        {ENV_STATUS_TEMPERATURE, "dov0: Warning: Thermal spurious intr (Actual=45 C Trigger=85 C).\n"},
        {ENV_STATUS_OVER_TEMPERATURE, "dov0: Warning: Overtemperature spurious intr (Actual=45 C Trigger=125 C).\n"},
    };
    for (const spurious_case& c : cases) {
        bar_->env_raise(c.bits);
        ASSERT_TRUE(seen(c.message)) << c.message;
        ASSERT_TRUE(settled_unmasked()) << c.message;
        EXPECT_FALSE(channel_failed(channel()));
        env_alert_record a = alert();
        EXPECT_EQ(a.kinds, 0u);
        EXPECT_EQ(a.low, 0);
        EXPECT_EQ(a.high, 0);
    }
    // Unmasked, a real alarm arrives afterwards.
    bar_->env_set(Sensor::core, 0x5900);
    ASSERT_TRUE(eventually([&] { return channel_failed(channel()); }));
    EXPECT_EQ(failure(), CHANNEL_FAIL_CORE_VOLTAGE);
    EXPECT_TRUE(logged("dov0: Warning: Voltage 'core' min/max/cval : 999/1042/1042 mV\n"));
}

TEST_F(EnvironmentTest, ASpuriousAuxBitSilencesTheRealCoreFaultOfTheSameInterrupt) {
    intr_mask_set(channel(), ENV_INTR_MASK);
    bar_->env_set(Sensor::core, 0x4000);  // latched in the card: 0x200
    bar_->env_raise(ENV_STATUS_AUX);      // latched: 0x400
    unmask_env();                         // one event, 94 | 0x600
    ASSERT_TRUE(seen("dov0: Warning: Voltage 'aux' spurious intr.\n"));
    ASSERT_TRUE(settled_unmasked());
    EXPECT_EQ(count("Voltage 'core'"), 0u);
    EXPECT_FALSE(channel_failed(channel()));
}

TEST_F(EnvironmentTest, ATemperatureAtTheAlarmCodeIsRealThoughItReadsADegreeBelow) {
    card_.mid->core_temp_limit_c = 80;
    program_env_alarms(channel());
    bar_->env_set(Sensor::temperature, 0xB340);  // 79 degrees by the conversion
    ASSERT_TRUE(seen("dov0: WARNING: Temperature is too high (79 C).\n"));
    ASSERT_TRUE(eventually([&] { return channel_failed(channel()); }));
    EXPECT_EQ(failure(), CHANNEL_FAIL_TEMPERATURE);
    EXPECT_TRUE(env_masked());
    env_alert_record a = alert();
    EXPECT_EQ(a.last_kind, ENV_ALERT_TEMPERATURE);
    EXPECT_EQ(a.code, 0xB340u);
    EXPECT_EQ(a.low, 0x8ABF);
    EXPECT_EQ(a.high, 0xB340) << "the programmed limit";
}

TEST_F(EnvironmentTest, OverTemperatureFailsWithTheTemperatureAndRecordsBoth) {
    bar_->env_set(Sensor::temperature, SystemMonitor::temperature_code(126000));
    ASSERT_TRUE(seen("dov0: WARNING: Overtemperature detected (126 C).\n"));
    EXPECT_TRUE(logged("dov0: WARNING: Temperature is too high (126 C).\n"));
    ASSERT_TRUE(eventually([&] { return channel_failed(channel()); }));
    EXPECT_EQ(failure(), CHANNEL_FAIL_TEMPERATURE) << "the first reason stays";
    env_alert_record a = alert();
    EXPECT_EQ(a.kinds, ENV_ALERT_TEMPERATURE | ENV_ALERT_OVER_TEMPERATURE);
    EXPECT_EQ(a.last_kind, ENV_ALERT_OVER_TEMPERATURE);
    EXPECT_EQ(a.low, 0xC7B4);
    EXPECT_EQ(a.high, 0xCA40);
    EXPECT_TRUE(env_masked());
}

TEST_F(EnvironmentTest, AnInterruptRaisedByHandIsAlwaysReal) {
    struct by_hand_case {
        ULONG bits;
        ULONG reason;
        ULONG kind;
    };
    const by_hand_case cases[] = {
        {ENV_STATUS_TEMPERATURE, CHANNEL_FAIL_TEMPERATURE, ENV_ALERT_TEMPERATURE},
        {ENV_STATUS_AUX, CHANNEL_FAIL_AUX_VOLTAGE, ENV_ALERT_AUX},
    };
    for (const by_hand_case& c : cases) {
        restart();
        env_interrupt(channel(), c.bits, 0);
        EXPECT_TRUE(channel_failed(channel()));
        EXPECT_EQ(failure(), c.reason);
        EXPECT_EQ(alert().last_kind, c.kind);
        EXPECT_TRUE(env_masked());
    }
}

TEST_F(EnvironmentTest, TheCapacitorMovesItsWindowAndTheFlushFollowsIt) {
    bar_->env_set(Sensor::capacitor, 18000);
    ASSERT_TRUE(seen("dov0: Powercut flush supported but NOT installed (274 mV).\n"));
    ASSERT_TRUE(settled_unmasked());
    EXPECT_EQ(bar_->peek(0x130C), 20928u);
    EXPECT_EQ(bar_->peek(0x1308), 27136u);
    EXPECT_EQ(channel()->powercut_flush_enabled, 0);
    env_alert_record a = alert();
    EXPECT_EQ(a.last_kind, ENV_ALERT_POWERCUT_NOT_INSTALLED);
    EXPECT_EQ(a.code, 18000u);
    EXPECT_EQ(a.low, 0x51C0);
    EXPECT_EQ(a.high, 0x6A00);

    bar_->env_set(Sensor::capacitor, SystemMonitor::capacitor_code(370));
    ASSERT_TRUE(seen("dov0: Powercut flush supported and enabled (370 mV).\n"));
    ASSERT_TRUE(settled_unmasked());
    EXPECT_EQ(bar_->peek(0x130C), 18944u);
    EXPECT_EQ(bar_->peek(0x1308), 29120u);
    EXPECT_EQ(channel()->powercut_flush_enabled, 1);
    a = alert();
    EXPECT_EQ(a.last_kind, ENV_ALERT_POWERCUT_ENABLED);
    EXPECT_EQ(a.low, 0x4A00);
    EXPECT_EQ(a.high, 0x71C0);
    EXPECT_FALSE(channel_failed(channel()));
}

class EnvironmentOtherControllerTest : public EnvironmentTest {
    ULONG generation() const override { return 5; }
};

TEST_F(EnvironmentOtherControllerTest, AnyVoltageInterruptIsOutOfSpec) {
    bar_->env_raise(ENV_STATUS_CORE);
    ASSERT_TRUE(seen("dov0: Warning: Voltage 'core' is out of spec. Shutting down channel.\n"));
    ASSERT_TRUE(eventually([&] { return channel_failed(channel()); }));
    EXPECT_EQ(failure(), CHANNEL_FAIL_CORE_VOLTAGE);
    EXPECT_EQ(alert().low, 0);
    EXPECT_EQ(alert().high, 0);
}

TEST_F(EnvironmentTest, TheDefaultLimitsTableAnswersEachAlertCode) {
    card_.mid->core_temp_limit_c = 80;
    program_env_alarms(channel());
    struct limits_case {
        ULONG generation, level, enabled, code;
        USHORT low, high;
    };
    const limits_case cases[] = {
        {3, 0, 0, 0, 0x8ABF, 0xB340},  {3, 0, 0, 1, 0x51EC, 0x58BE}, {5, 0, 0, 1, 0, 0},
        {3, 0, 0, 3, 0x8EC0, 0xA400},  {6, 0, 0, 3, 0, 0},           {3, 0, 0, 7, 0xC7B4, 0xCA40},
        {3, 1, 1, 31, 0x4A00, 0x71C0}, {3, 1, 0, 63, 0x51C0, 0x6A00}, {3, 2, 1, 31, 0, 0xFFFF},
        {3, 0, 0, 63, 0, 0xFFFF},      {3, 0, 0, 2, 0x1234, 0x5678},  {3, 0, 0, 62, 0x1234, 0x5678},
    };
    for (const limits_case& c : cases) {
        card_.generation = c.generation;
        card_.mid->powercut_level = c.level;
        channel()->powercut_flush_enabled = (UCHAR)c.enabled;
        USHORT low = 0x1234;
        USHORT high = 0x5678;
        env_alert_default_limits(channel(), &low, &high, c.code);
        EXPECT_EQ(low, c.low) << c.code;
        EXPECT_EQ(high, c.high) << c.code;
    }
    card_.generation = 3;
}

// The NAND temperature comes from the sensor cache.
class NandTemperatureTest : public ControllerCardTest {};

TEST_F(NandTemperatureTest, IsTheHottestNandSampleElseTheControllerLessTen) {
    ASSERT_EQ(pmp_link_start(card_), 0);
    ASSERT_EQ(adc_cache_init(card_), 0);
    auto channel = std::make_unique<nand_dev>();
    channel->card = card_;
    EXPECT_EQ(nand_temperature_c(channel.get()), 45) << "450 tenths";
    bar_->inject("pmp_sensor", "node=[1,1] set=a index=2 value=819");
    adc_refresh_set_a(card_);
    EXPECT_EQ(nand_temperature_c(channel.get()), 81) << "truncated";
    for (const char* sensor : {"node=[1] set=a index=0", "node=[1] set=a index=1", "node=[1,1] set=a index=0",
                               "node=[1,1] set=a index=1", "node=[1,1] set=a index=2", "node=[1,1] set=a index=3"}) {
        bar_->inject("pmp_sensor", std::string(sensor) + " value=0");
    }
    adc_refresh_set_a(card_);
    bar_->env_set(Sensor::temperature, SystemMonitor::temperature_code(52000));
    adc_refresh_core_temperature(card_);
    EXPECT_EQ(nand_temperature_c(channel.get()), 42) << "the controller's 52 degrees less 10";
    bar_->env_set(Sensor::temperature, SystemMonitor::temperature_code(5000));
    adc_refresh_core_temperature(card_);
    EXPECT_EQ(nand_temperature_c(channel.get()), -5);
}

}  // namespace
