// The sensor cache on the card model: what the management processors report, read back as the
// model was set; the derived figures; the sensors table; the controller's temperature; power.

#include "driver/controller/sensor_cache.h"

#include <string>
#include <vector>

#include "driver/controller/pmp_client.h"
#include "driver/controller/smp_targets.h"
#include "driver/platform/kinfo.h"
#include "sim/kernel/control.h"
#include "tests/driver/controller/controller_fixture.h"

namespace {

class SensorCacheTest : public ControllerCardTest {
  protected:
    void start(bool with_cache = true) {
        ASSERT_EQ(pmp_link_start(card_), 0);
        if (with_cache) {
            ASSERT_EQ(adc_cache_init(card_), 0);
        }
    }
    struct sample {
        ULONG target, index, value;
        bool operator==(const sample&) const = default;
    };
    std::vector<sample> walk() {
        std::vector<sample> out;
        adc_cursor cursor{0, 0};
        sample s{};
        while (adc_cache_iterate(card_, &cursor, &s.target, &s.index, &s.value) == 1) {
            out.push_back(s);
        }
        return out;
    }
    std::string table() {
        std::vector<char> buffer(16384);
        kinfo_seq seq{nullptr, buffer.data(), buffer.size(), 0, 0, 0};
        EXPECT_EQ(adc_sensors_show(card_, &seq), 0);
        return std::string(buffer.data(), (size_t)seq.used);
    }
};

TEST_F(SensorCacheTest, TargetsAndSamplesAreReadAsTheModelHasThem) {
    start();
    const UCHAR* adapter = adc_target_record(card_, 0);
    const UCHAR* controller = adc_target_record(card_, 1);
    ASSERT_NE(adapter, nullptr);
    ASSERT_NE(controller, nullptr);
    EXPECT_EQ(adapter[SMP_TARGET_KIND], 2);
    EXPECT_EQ(controller[SMP_TARGET_KIND], 0);
    EXPECT_EQ(adc_target_record(card_, 2), nullptr);
    const pmp_address* monitor = adc_power_monitor(card_);
    ASSERT_NE(monitor, nullptr);
    EXPECT_EQ(monitor->length, 1);
    EXPECT_EQ(monitor->bytes[0], 1);

    EXPECT_EQ(walk(), (std::vector<sample>{{0, 0, 300}, {0, 1, 380}, {1, 0, 450}, {1, 1, 450}, {1, 2, 450}, {1, 3, 450}}));
    EXPECT_EQ(adc_cache_min_value(card_), 300u);
    EXPECT_EQ(adc_cache_max_value(card_), 450u);
    EXPECT_EQ(adc_cache_average(card_), (300u + 380 + 4 * 450) / 6);
    EXPECT_EQ(adc_supply_12v(card_), 12100u);
    EXPECT_STREQ(adc_sensor_name(card_, ADC_SET_A, 0, 1), "outlet");
    EXPECT_STREQ(adc_sensor_name(card_, ADC_SET_B, 1, 0), "vccint");
    EXPECT_STREQ(adc_sensor_name(card_, ADC_SET_FANS, 0, 0), "fan1");
    EXPECT_STREQ(adc_sensor_name(card_, ADC_SET_A, 0, 2), "unknown");
    EXPECT_STREQ(adc_sensor_name(card_, ADC_SET_FANS, 1, 0), "unknown");  // the controller has no fans

    // A sensor set to another value reads so after the refresh, and moves the figures.
    bar_->inject("pmp_sensor", "node=[1,1] set=a index=2 value=812");
    adc_refresh_set_a(card_);
    EXPECT_EQ(adc_cache_max_value(card_), 812u);
    EXPECT_EQ(walk()[4], (sample{1, 2, 812}));
}

TEST_F(SensorCacheTest, SampleAnswersThatAreNoWholeSamplesGiveNone) {
    start();
    struct size_case {
        ULONG bytes;
        size_t controller_samples;
    };
    const size_case cases[] = {{125, 25}, {124, 0}, {0, 0}, {20, 4}};
    for (const size_case& c : cases) {
        bar_->inject("pmp_samples_bytes", "node=[1,1] set=a times=always bytes=" + std::to_string(c.bytes));
        adc_refresh_set_a(card_);
        size_t n = 0;
        for (const sample& s : walk()) {
            n += s.target == 1 ? 1 : 0;
        }
        EXPECT_EQ(n, c.controller_samples) << c.bytes;
        bar_->clear("pmp_samples_bytes");
    }
}

TEST_F(SensorCacheTest, TheControllersTemperatureComesFromItsRegister) {
    start();
    struct code_case {
        ULONG raw;
        SHORT tenths;
    };
    const code_case cases[] = {{0x9C40, 344}, {0x8000, -211}, {0xFFFF, 2308}, {0x1234ABCD, 650}};
    for (const code_case& c : cases) {
        bar_->poke(0x1314, c.raw);
        adc_refresh_core_temperature(card_);
        EXPECT_EQ(adc_core_temperature(card_), c.tenths) << std::hex << c.raw;
    }
    // One all-ones read is no temperature, and no lost bus while the card still answers.
    bar_->poke(0x1314, 0xFFFFFFFF);
    adc_refresh_core_temperature(card_);
    EXPECT_EQ(adc_core_temperature(card_), 650);
    EXPECT_TRUE(card_->bus_present);

    model_->set_bus_lost(true);
    adc_refresh_core_temperature(card_);
    EXPECT_FALSE(card_->bus_present);
    EXPECT_EQ(card_->channel_state, 4u);
    EXPECT_TRUE(has_text("Velkor 0000:03:00.0: 12319 Detected lost bus enumeration."));
    model_->set_bus_lost(false);
}

TEST_F(SensorCacheTest, PowerSamplesAccumulateWithTheSmallestNonZeroMinimum) {
    start();
    struct power_step {
        ULONG mw;
        ULONG min;
        ULONG max;
        ULONG power;
    };
    // current mA = mW x 1000 / 12100 mV; power = current x 12.1 V.
    const power_step steps[] = {{0, 0, 0, 0}, {61, 5, 5, 60}, {18000, 5, 1487, 17992}, {100, 5, 1487, 96}};
    ULONG64 samples = 0;
    for (const power_step& s : steps) {
        bar_->inject("pmp_power", "node=[1] mw=" + std::to_string(s.mw));
        adc_refresh_power(card_);
        adc_power_figures p = adc_power(card_);
        samples += 10;
        EXPECT_EQ(p.samples, samples) << s.mw;
        EXPECT_EQ(p.min, s.min) << s.mw;
        EXPECT_EQ(p.max, s.max) << s.mw;
        EXPECT_EQ(p.power, s.power) << s.mw;
    }
}

class SensorCacheNo12VoltTest : public SensorCacheTest {
  protected:
    sim::card::ControllerConfig controller_config() const override {
        sim::card::ControllerConfig c;
        sim::card::PmpNodeConfig* adapter = c.pmp.node({1});
        adapter->set_b[0].nominal = 11000;
        adapter->set_b[0].divisor = 0;
        adapter->set_b[1].divisor = 5;
        adapter->set_a[0].name = "inlet air";
        adapter->set_a[1].excluded = true;
        adapter->set_a[1].value = 990;
        return c;
    }
};

TEST_F(SensorCacheNo12VoltTest, WithoutATwelveVoltSensorTheDefaultSupplyIsUsed) {
    start();
    EXPECT_EQ(adc_supply_12v(card_), 12150u);
    adc_refresh_power(card_);
    // The model's current: 18000 mW at its own 12000 mV; the host multiplies by 12.15 V.
    EXPECT_EQ(adc_power(card_).power, 1500u * 12150 / 1000);
    // The excluded sensor counts for neither the maximum nor the average, but is the smallest.
    EXPECT_EQ(adc_cache_max_value(card_), 450u);
    EXPECT_EQ(adc_cache_average(card_), (300u + 4 * 450) / 5);
    EXPECT_EQ(adc_cache_min_value(card_), 300u);
}

TEST_F(SensorCacheNo12VoltTest, TheSensorsTableShowsEveryRowByItsDivisor) {
    start();
    std::string t = table();
    const char* rows[] = {
        "Node       ID   Name             Units    Value\n",
        "adapter    0x00 inlet_air        C        30.0  \n",
        "adapter    0x01 outlet           C        99.0  \n",
        "adapter    0x00 12V              V      12100.0  \n",  // divisor 0 counts as 1
        "adapter    0x01 3V3              V       660.***\n",   // an unknown divisor
        "adapter    0x00 fan1             unknown 6000.0  \n",
        "controller 0x00 nand0            C        45.0  \n",
        "controller 0x01 vccaux           V         1.800\n",
    };
    size_t at = 0;
    for (const char* row : rows) {
        size_t found = t.find(row, at);
        EXPECT_NE(found, std::string::npos) << row << "\n" << t;
        at = found == std::string::npos ? at : found;
    }
}

TEST_F(SensorCacheTest, RunningOutOfMemoryLeavesNoCacheBehind) {
    start(false);
    for (uint64_t n : {1, 2, 4}) {
        sim::kernel::fail_nth(sim::kernel::fault_site::pool, n, "mal4");
        EXPECT_EQ(adc_cache_init(card_), -1) << n;
        sim::kernel::clear_faults();
        EXPECT_EQ(card_->sensors, nullptr);
    }
    EXPECT_EQ(count_text("dov??: Inadequate memory - adc_cache."), 3u);
    EXPECT_EQ(adc_cache_init(card_), 0);
}

}  // namespace
