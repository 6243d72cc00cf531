// The start-up checks on the simulated host, a card per case: each reason of minimal mode the
// machine's card can be given, announced as the driver announces it, and the card still started
// and named; a management processor that wakes only after attention pulses.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "driver/platform/params.h"
#include "sim/card/mid_writer.h"
#include "sim/kernel/control.h"
#include "sim/kernel/registry_control.h"
#include "sim/machine/machine.h"

namespace {

bool has_text(const std::string& part) {
    for (const std::string& line : sim::kernel::debug_texts()) {
        if (line.find(part) != std::string::npos) {
            return true;
        }
    }
    return false;
}

struct reason_case {
    const char* what;
    std::function<void(sim::machine::card_options&)> change;
    std::vector<const char*> lines;  // each logged, after the card's name unless they name none
};

sim::card::Mid controller_mid_with(uint8_t section, sim::card::MidItem item) {
    sim::card::Mid mid = sim::card::default_controller_mid();
    mid.find(section)->set(std::move(item));
    return mid;
}

const reason_case reason_cases[] = {
    {"no management processor", [](auto& o) { o.controller.smp = false; },
     {"12313 MINIMAL MODE DRIVER: Unable to communicate with SMP."}},
    {"a management processor that never answers",
     [](auto& o) { o.controller.pmp.silent_until_attention = 100; },
     {"12320 PMP Address: failed", "dov??: recv_count        : 0",
      "12313 MINIMAL MODE DRIVER: Unable to communicate with SMP."}},
    {"firmware below the window", [](auto& o) { o.controller.fw_version = 0x801C10; },
     {"12293 Minimum firmware version supported is 8.7.17. Current firmware version is 8.7.16.",
      "12313 MINIMAL MODE DRIVER: Firmware is incompatible."}},
    {"poisoned firmware", [](auto& o) { o.controller.build_word = 0x40000000; },
     {"12292 ERROR: The PAV firmware is a poisoned version - Internal use only! ver = 0x40000000.",
      "12313 MINIMAL MODE DRIVER: Firmware is incompatible."}},
    {"fallback firmware", [](auto& o) { o.controller.fallback_firmware = true; },
     {"12313 MINIMAL MODE DRIVER: Running on FALLBACK firmware."}},
    {"invalid manufacturing data",
     [](auto& o) {
         o.controller.pmp.node({1, 1})->kv[0] = controller_mid_with(3, sim::card::MidItem::number(26, 6, 1)).bytes();
     },
     {"Invalid manufacturing configuration data (0x1a).",
      "12313 MINIMAL MODE DRIVER: Invalid manufacturing configuration data, contact customer support."}},
    {"manufacturing data that cannot be read", [](auto& o) { o.controller.pmp.node({1})->kv.clear(); },
     {"MID missing Product section.", "12313 MINIMAL MODE DRIVER: MID data unavailable."}},
    {"a newer driver wanted",
     [](auto& o) {
         sim::card::Mid mid = sim::card::default_adapter_mid();
         mid.find(1)->set(sim::card::MidItem::text(11, "4.2.3"));
         o.controller.pmp.node({1})->kv[0] = mid.bytes();
     },
     {"12313 MINIMAL MODE DRIVER: Driver does not support this version of firmware."}},
};

std::string pci_name(ULONG bus) {
    char text[32];
    std::snprintf(text, sizeof text, "0000:%02x:00.0", (unsigned)bus);
    return text;
}

// One machine, a card per reason on buses 3, 4, ...
TEST(StartupChecksOnTheMachine, EachReasonOfMinimalModeIsAnnouncedAndTheCardStillStarts) {
    sim::machine::machine_options mo;
    mo.kernel.clock_rate = 2000;  // discovery that fails takes 34 s of machine time
    sim::machine::Machine m(mo);
    ASSERT_EQ(m.load_drivers(), STATUS_SUCCESS);
    for (size_t i = 0; i < std::size(reason_cases); i++) {
        const reason_case& c = reason_cases[i];
        sim::machine::card_options o;
        o.bus = 3 + (ULONG)i;
        o.numa_node = 0;
        c.change(o);
        size_t index = m.plug(o);
        std::string card = "Velkor " + pci_name(o.bus);
        EXPECT_TRUE(m.started(index)) << c.what;
        EXPECT_TRUE(has_text("dov" + std::to_string(i) + " at " + pci_name(o.bus))) << c.what;
        for (const char* line : c.lines) {
            std::string expected = std::string(line).rfind("dov??", 0) == 0 ? line : card + ": " + line;
            EXPECT_TRUE(has_text(expected)) << c.what << ": " << expected;
        }
        // A card already in minimal mode sets no channel up, so that is not among its reasons.
        EXPECT_FALSE(has_text(card + ": 12312 MINIMAL MODE DRIVER: General channel")) << c.what;
        auto notices = m.card(index).control_writes();
        ASSERT_GE(notices.size(), 2u);
        EXPECT_EQ(notices[notices.size() - 2], 0x20000000u) << c.what;
    }
    m.stop();
    EXPECT_EQ(sim::kernel::pool_leak_report(), "");
}

TEST(StartupChecksOnTheMachine, TheParameterForcesMinimalMode) {
    sim::machine::Machine m;
    sim::kernel::registry_set_dword(std::string(sim::machine::Machine::service_key("strovane")) + "\\Parameters",
                                    "FORCE_MINIMAL_MODE", 1);
    ASSERT_EQ(m.load_drivers(), STATUS_SUCCESS);
    m.plug({});
    EXPECT_TRUE(m.started(0));
    EXPECT_TRUE(has_text("Velkor 0000:03:00.0: 12313 MINIMAL MODE DRIVER: Forced by module parameter."));
    m.stop();
    force_minimal_mode = 0;  // the driver's parameters outlive its unload in this process
}

// A management processor that ignores the first discoveries answers after an attention pulse:
// the card takes its product name and only the channel's set-up keeps it in minimal mode.
TEST(StartupChecksOnTheMachine, AManagementProcessorWokenByAPulsePassesTheChecks) {
    sim::machine::machine_options mo;
    mo.kernel.clock_rate = 2000;
    sim::machine::Machine m(mo);
    ASSERT_EQ(m.load_drivers(), STATUS_SUCCESS);
    sim::machine::card_options o;
    o.controller.pmp.silent_until_attention = 1;
    m.plug(o);
    EXPECT_TRUE(m.started(0));
    EXPECT_EQ(m.bar(0).pmp_counters().attention_pulses, 1u);
    EXPECT_TRUE(has_text("dov??: PMP Address: 1 1 2"));
    EXPECT_TRUE(has_text("Velkor Ombrel3 1.2TB 0000:03:00.0: probed dov0"));
    EXPECT_FALSE(has_text("Unable to communicate with SMP"));
    EXPECT_TRUE(has_text("MINIMAL MODE DRIVER: General channel initialization failure (-19)."));
    m.stop();
}

}  // namespace
