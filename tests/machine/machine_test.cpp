// The simulated host with strovane and orrimand: cards named and started, minimal mode and its
// reasons, numbers given back, the control device reached from this process and from another
// one, failures injected at every allocation of a probe, and unload with every tag at zero.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "driver/block/bdev_data.h"
#include "driver/block/capabilities.h"
#include "driver/control/control_ioctl.h"
#include "driver/controller/card.h"
#include "driver/controller/startup.h"
#include "driver/shell/ioctl_code.h"
#include "sim/kernel/control.h"
#include "sim/machine/machine.h"
#include "sim/machine/server.h"
#include "sim/win32/win32.h"

namespace {

bool has_line(const std::string& text) {
    auto lines = sim::kernel::debug_texts();
    return std::find(lines.begin(), lines.end(), text) != lines.end();
}

bool has_text(const std::string& part) {
    for (const std::string& line : sim::kernel::debug_texts()) {
        if (line.find(part) != std::string::npos) {
            return true;
        }
    }
    return false;
}

struct MachineTest : ::testing::Test {
    void TearDown() override {
        sim::kernel::clear_faults();
    }
    static sim::machine::card_options card_on(ULONG bus) {
        sim::machine::card_options c;
        c.bus = bus;
        c.numa_node = 0;
        return c;
    }
};

TEST_F(MachineTest, TwoCardsAreNamedAndUnloadLeavesNoPool) {
    {
        sim::machine::Machine m;
        ASSERT_EQ(m.load_drivers(), STATUS_SUCCESS);
        m.plug(card_on(3));
        m.plug(card_on(4));
        EXPECT_TRUE(m.started(0));
        EXPECT_TRUE(m.started(1));
        EXPECT_TRUE(has_line("dov0 at 0000:03:00.0\n"));
        EXPECT_TRUE(has_line("dov1 at 0000:04:00.0\n"));
        // Both pass the management processor's and the manufacturing data's checks, taking their
        // product name from it; without the NAND controller's set-up their channel has no
        // geometry, so both run in minimal mode, and say why.
        EXPECT_TRUE(has_line("dov??: PMP Address: 1 1 2\n"));
        EXPECT_TRUE(has_line("Velkor Ombrel3 1.2TB 0000:03:00.0: probed dov0\n"));
        EXPECT_FALSE(has_text("Unable to communicate with SMP"));
        EXPECT_FALSE(has_text("MID data unavailable"));
        EXPECT_TRUE(has_text("MINIMAL MODE DRIVER: General channel initialization failure (-19)."));
        auto notices = m.card(0).control_writes();
        ASSERT_GE(notices.size(), 2u);
        EXPECT_EQ(notices[notices.size() - 2], 0x20000000u);
        EXPECT_EQ(notices.back(), 0u);
        m.stop();
        EXPECT_TRUE(has_line("Velkor driver unloaded...\n"));
    }
    EXPECT_EQ(sim::kernel::pool_leak_report(), "");
}

TEST_F(MachineTest, NumbersComeBackLowestFirstWhenACardGoesAway) {
    sim::machine::Machine m;
    ASSERT_EQ(m.load_drivers(), STATUS_SUCCESS);
    for (ULONG bus = 3; bus < 6; bus++) {
        m.plug(card_on(bus));
    }
    m.unplug(1);
    sim::kernel::clear_debug_lines();
    m.plug(card_on(7));
    EXPECT_TRUE(has_line("dov1 at 0000:07:00.0\n"));
    m.plug(card_on(8));
    EXPECT_TRUE(has_line("dov3 at 0000:08:00.0\n"));
}

struct firmware_case {
    ULONG version;
    bool minimal;
    const char* line;
};

TEST_F(MachineTest, FirmwareOutsideTheWindowGivesMinimalMode) {
    const firmware_case cases[] = {
        {0x801C11, false, nullptr},
        {0x801C10, true, "Minimum firmware version supported is 8.7.17. Current firmware version is 8.7.16."},
        {0x802800, true, "Unsupported firmware version 8.10.0 detected, version must be less than 8.10.0."},
    };
    for (const firmware_case& c : cases) {
        sim::machine::Machine m;
        ASSERT_EQ(m.load_drivers(), STATUS_SUCCESS);
        auto o = card_on(3);
        o.controller.fw_version = c.version;
        m.plug(o);
        EXPECT_TRUE(m.started(0));
        EXPECT_EQ(has_text("MINIMAL MODE DRIVER: Firmware is incompatible."), c.minimal) << std::hex << c.version;
        if (c.line != nullptr) {
            EXPECT_TRUE(has_text(c.line));
        }
        EXPECT_TRUE(has_line("dov0 at 0000:03:00.0\n"));
    }
}

TEST_F(MachineTest, UnsupportedKindOrLostBusFailsTheStart) {
    {
        sim::machine::Machine m;
        ASSERT_EQ(m.load_drivers(), STATUS_SUCCESS);
        auto o = card_on(3);
        o.controller.kind = 2;
        m.plug(o);
        EXPECT_FALSE(m.started(0));
        EXPECT_TRUE(has_text("Kelvo hardware not supported by this driver."));
        EXPECT_TRUE(has_text("MINIMAL MODE DRIVER: Controller hardware not supported by this driver (2)."));
        EXPECT_TRUE(has_text("Drive startup failed (-22)."));
        // Its number went back.
        m.plug(card_on(4));
        EXPECT_TRUE(has_line("dov0 at 0000:04:00.0\n"));
    }
    EXPECT_EQ(sim::kernel::pool_leak_report(), "");
}

// Every allocation of a probe, failed in turn: the card fails to start, nothing leaks, and the
// next card still starts.
TEST_F(MachineTest, InjectedAllocationFailureAtEveryStepOfProbe) {
    sim::machine::Machine m;
    ASSERT_EQ(m.load_drivers(), STATUS_SUCCESS);
    // A first card sets up the driver-wide state (per-processor threads, the saved-state record
    // of its card key) that lives until unload; every later probe of the same card must leave
    // the pool exactly as it found it.
    m.unplug(m.plug(card_on(3)));
    auto before = sim::kernel::pool_outstanding();
    uint64_t start = sim::kernel::attempts(sim::kernel::fault_site::pool);
    size_t probe = m.plug(card_on(3));
    ASSERT_TRUE(m.started(probe));
    uint64_t allocations = sim::kernel::attempts(sim::kernel::fault_site::pool) - start;
    m.unplug(probe);
    EXPECT_EQ(sim::kernel::pool_outstanding(), before);
    ASSERT_GT(allocations, 3u);
    // A failure that keeps the adapter's manufacturing data from being read gives the card another
    // key (its board's, or its location's), whose saved-state record (32 bytes of "mal4") also
    // lives until unload; nothing else may stay.
    constexpr uint64_t saved_state_record = 32;
    for (uint64_t n = 1; n <= allocations; n++) {
        sim::kernel::fail_nth(sim::kernel::fault_site::pool, n);
        size_t i = m.plug(card_on(3));
        sim::kernel::clear_faults();
        m.unplug(i);
        auto after = sim::kernel::pool_outstanding();
        auto with_new_key = before;
        with_new_key["mal4"].allocations += 1;
        with_new_key["mal4"].bytes += saved_state_record;
        if (after == with_new_key) {
            before = after;
        }
        EXPECT_EQ(after, before) << "allocation " << n;
    }
    sim::kernel::clear_debug_lines();
    size_t last = m.plug(card_on(3));
    EXPECT_TRUE(m.started(last));
    EXPECT_TRUE(has_text("dov0 at"));
}

TEST_F(MachineTest, ControlRequestsReachTheControlInterfaceAndThePrivateRequests) {
    sim::machine::Machine m;
    ASSERT_EQ(m.load_drivers(), STATUS_SUCCESS);
    m.plug(card_on(3));
    sim::win32::use_machine(&m);
    HANDLE h = CreateFileA("\\\\.\\dov0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char record[280] = {};
    DWORD returned = 0;

    // The PCI configuration read of the private requests, through the configuration ports.
    ULONG code = 0;
    ULONG length = 0;
    pav_linux_to_ctl_code(PAV_IOCTL_W_PCI_CFG_READ, &code, &length);
    ULONG pci[10] = {0, 3, 0, 0, 0, 0, 1, 1, 0, 0};  // bus 3, offset 0, 16 bits, count 1
    EXPECT_TRUE(DeviceIoControl(h, code, pci, length, pci, length, &returned, nullptr));
    EXPECT_EQ(pci[8], 0x5EC7u);
    pci[1] = 300;  // no such bus: refused, never another device
    EXPECT_FALSE(DeviceIoControl(h, code, pci, length, pci, length, &returned, nullptr));

    // A number that passes both lists but that no handler serves.
    EXPECT_FALSE(DeviceIoControl(h, 0x00686183, record, 1, record, 1, &returned, nullptr));
    EXPECT_EQ(sim::win32::last_status(), 0xC0000010u);
    EXPECT_TRUE(has_text("dov0: Unhandled ioctl: windows: 0x686183, linux: 0x40016860"));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(CreateFileA("\\\\.\\dov7", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    sim::win32::use_machine(nullptr);
}

TEST_F(MachineTest, AnotherProcessReachesTheControlDeviceOverTheSocket) {
    sim::machine::Machine m;
    ASSERT_EQ(m.load_drivers(), STATUS_SUCCESS);
    m.plug(card_on(3));
    std::string path = "/tmp/velkor-machine-test-" + std::to_string(getpid()) + ".sock";
    sim::machine::Server server(m, path);
    ASSERT_TRUE(server.listening());
    pid_t child = fork();
    if (child == 0) {
        // The child sends a PCI configuration read; its buffer is copied across processes.
        sim::win32::use_socket(path);
        HANDLE h = CreateFileA("\\\\.\\dov0", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            _exit(2);
        }
        ULONG code = 0;
        ULONG length = 0;
        pav_linux_to_ctl_code(PAV_IOCTL_W_PCI_CFG_READ, &code, &length);
        ULONG pci[10] = {0, 3, 0, 0, 2, 0, 1, 1, 0, 0};  // device id at offset 2
        DWORD returned = 0;
        BOOL ok = DeviceIoControl(h, code, pci, length, pci, length, &returned, nullptr);
        CloseHandle(h);
        _exit(ok && pci[8] == 0x0301 ? 0 : 3);
    }
    int status = 0;
    waitpid(child, &status, 0);
    server.stop();
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ControlCode, MapsBothWays) {
    struct row {
        ULONG code;
        ULONG input;
        ULONG number;
    };
    const row rows[] = {
        {0x0068E19B, 280, 0xC1186866},
        {0x0077E3EF, 40, 0xC02877FB},
        {0x0077E3F3, 40, 0xC02877FC},
        {0x0077E00B, 256, 0xC1007702},
        {0x00686257, 4, 0x40046895},
    };
    for (const row& r : rows) {
        ULONG number = 0;
        ASSERT_TRUE(pav_ctl_code_to_linux(r.code, r.input, &number));
        EXPECT_EQ(number, r.number) << std::hex << r.code;
        ULONG code = 0;
        ULONG input = 0;
        pav_linux_to_ctl_code(r.number, &code, &input);
        EXPECT_EQ(code, r.code) << std::hex << r.number;
        EXPECT_EQ(input, r.input);
    }
    ULONG number = 0;
    EXPECT_FALSE(pav_ctl_code_to_linux(0x0068E19B, 0x4000, &number));  // would turn into direction bits
    EXPECT_FALSE(pav_ctl_code_to_linux(0x00680003, 4, &number));        // function below 0x800
}

}  // namespace
