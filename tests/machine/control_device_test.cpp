// The card's control device: the caller's record reached in the caller's context (also for a
// request that waited for the card's power-up), records that cannot be reached, and the
// driver-private requests: PCI configuration writes and the boot-time check events.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "driver/control/control_ioctl.h"
#include "driver/shell/ioctl_code.h"
#include "sim/kernel/control.h"
#include "sim/kmdf/control.h"
#include "sim/machine/machine.h"
#include "sim/win32/win32.h"
#include "tests/support/kernel_fixture.h"

namespace {

// A control-interface number with a 1-byte record that the caller only sends, admitted in minimal
// mode, that no handler serves.
constexpr ULONG unserved_number = PAV_IOCTL_SET_BYTE_60;


bool has_line(const std::string& text) {
    auto lines = sim::kernel::debug_texts();
    return std::find(lines.begin(), lines.end(), text) != lines.end();
}

struct pci_request {
    ULONG domain, bus, device, function;
    ULONG64 offset;
    ULONG width, count, value, unused;
};
static_assert(sizeof(pci_request) == 40);

struct check_event {
    UCHAR level;
    UCHAR reserved[7];
    char text[248];
};
static_assert(sizeof(check_event) == 256);

// What a request the control interface and the private requests do not know ends with.
constexpr uint32_t unknown_request = 0xC0000010;

class ControlDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(m_.load_drivers(), STATUS_SUCCESS);
        sim::machine::card_options card;
        card.bus = 3;
        card.numa_node = 0;
        m_.plug(card);
        ASSERT_TRUE(m_.started(0));
        sim::win32::use_machine(&m_);
        handle_ = CreateFileA("\\\\.\\dov0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        CloseHandle(handle_);
        sim::win32::use_machine(nullptr);
        m_.stop();
        EXPECT_EQ(sim::kernel::pool_leak_report(), "");
    }

    // Sends the request of Linux number `number` with `record` as its input and output buffer
    // (`output_length` bytes of output; the record's size by default). The NTSTATUS.
    uint32_t send(ULONG number, void* record, ULONG output_length = ~0u) {
        ULONG code = 0;
        ULONG length = 0;
        pav_linux_to_ctl_code(number, &code, &length);
        DWORD returned = 0;
        if (DeviceIoControl(handle_, code, record, length, record, output_length == ~0u ? length : output_length,
                            &returned, nullptr)) {
            return 0;
        }
        return sim::win32::last_status();
    }

    sim::machine::Machine m_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace

TEST_F(ControlDeviceTest, ARequestThatWaitedForTheCardsPowerUpReachesItsCallersRecord) {
    sim::kmdf::stack_power_down(m_.stack(0), WdfPowerDeviceD3);
    pci_request r{0, 3, 0, 0, 0, 1, 1, 0, 0};  // bus 3, offset 0 (the vendor id), 16 bits
    uint32_t status = 1;
    {
        // The queue holds the request until the card is back in D0, then presents it from a
        // worker thread, where the caller's address means nothing.
        bounded_thread caller("caller", [&] { status = send(PAV_IOCTL_W_PCI_CFG_READ, &r); });
        ASSERT_TRUE(eventually([&] { return sim::kmdf::held_requests(m_.function_device(0)) == 1; }));
        EXPECT_EQ(sim::kmdf::stack_power_up(m_.stack(0)), STATUS_SUCCESS);
    }
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(r.value, 0x5EC7u);
}

TEST_F(ControlDeviceTest, ARecordTheCallerCannotGiveFailsAsAFaultedCopyBeforeAnyHandler) {
    long page_size = sysconf(_SC_PAGESIZE);
    void* unmapped = mmap(nullptr, page_size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(unmapped, MAP_FAILED);
    auto* read_only = (ULONG*)mmap(nullptr, page_size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(read_only, MAP_FAILED);
    ULONG value = 0;
    pci_request r{0, 3, 0, 0, 0, 1, 1, 0, 0};
    struct row {
        const char* what;
        ULONG number;
        void* record;
        ULONG output_length;  // ~0: the record's size
        uint32_t status;
    };
    const row rows[] = {
        {"unmapped", PAV_IOCTL_W_PCI_CFG_READ, unmapped, ~0u, 0xC0000005},
        {"output shorter than the record", PAV_IOCTL_W_PCI_CFG_READ, &r, 39, 0xC0000005},
        {"read-only, the caller receives", PAV_IOCTL_W_PCI_CFG_READ, read_only, ~0u, 0xC0000005},
        // A record the caller only sends may be read-only: it reaches the handlers, which do not
        // know the number yet.
        {"read-only, the caller sends", unserved_number, read_only, ~0u, unknown_request},
        // An "in" record that its handler answers in: read-only, the answer cannot be given.
        {"read-only, answered in", PAV_IOCTL_SET_ATTACH_STATE, read_only, ~0u, 0xC0000005},
        {"writable", unserved_number, &value, ~0u, unknown_request},
    };
    for (const row& c : rows) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(send(c.number, c.record, c.output_length), c.status);
    }
    munmap(unmapped, page_size);
    munmap(read_only, page_size);
}

TEST_F(ControlDeviceTest, PciConfigurationWritesReachTheCardsConfigurationSpace) {
    struct row {
        const char* what;
        pci_request request;
        uint32_t status;
    };
    const row rows[] = {
        {"interrupt line, 8 bits", {0, 3, 0, 0, 0x3C, 0, 1, 0x0B, 0}, 0},
        {"cache line size, 8 bits", {0, 3, 0, 0, 0x0C, 0, 1, 0x10, 0}, 0},
        {"16 bits at an odd offset", {0, 3, 0, 0, 0x3D, 1, 1, 0x0707, 0}, 0xC00000FA},
        {"32 bits at an offset not a multiple of 4", {0, 3, 0, 0, 0x3E, 2, 1, 0x07070707, 0}, 0xC00000FA},
        {"past the configuration header", {0, 3, 0, 0, 256, 0, 1, 0x07, 0}, 0xC00000FA},
        {"no such width", {0, 3, 0, 0, 0x3C, 3, 1, 0x07, 0}, 0xC00000FA},
        {"more than one register", {0, 3, 0, 0, 0x3C, 0, 2, 0x07, 0}, 0xC00000FA},
        {"another domain", {1, 3, 0, 0, 0x3C, 0, 1, 0x07, 0}, 0xC0000005},
        {"no such bus", {0, 300, 0, 0, 0x3C, 0, 1, 0x07, 0}, 0xC0000005},
    };
    for (const row& c : rows) {
        SCOPED_TRACE(c.what);
        pci_request w = c.request;
        EXPECT_EQ(send(PAV_IOCTL_W_PCI_CFG_WRITE, &w), c.status);
    }
    // What was written reads back, and nothing else changed.
    auto read_byte = [&](ULONG offset) {
        pci_request r{0, 3, 0, 0, offset, 0, 1, 0, 0};
        EXPECT_EQ(send(PAV_IOCTL_W_PCI_CFG_READ, &r), 0u);
        return r.value;
    };
    EXPECT_EQ(read_byte(0x3C), 0x0Bu);
    EXPECT_EQ(read_byte(0x0C), 0x10u);
    EXPECT_EQ(read_byte(0x3D), 0x01u);  // the interrupt pin is not writable and was not written
    EXPECT_EQ(read_byte(0x3E), 0x00u);
}

TEST_F(ControlDeviceTest, BootCheckEventsAreLoggedByLevelAndBadTextsRefused) {
    struct row {
        const char* what;
        UCHAR level;
        std::string text;
        uint32_t status;
        std::string line;  // "" when none is expected
    };
    const std::string full(248, 'x');
    const row rows[] = {
        {"information", 0, "volumes checked", 0, "volumes checked\n"},
        {"warning", 1, "volume 2 repaired", 0, "pavwrn volume 2 repaired\n"},
        {"error", 2, "volume 3 lost", 0, "paverr Corvane driver: 06164 volume 3 lost\n"},
        {"no terminating NUL", 2, full, 0xC00000FA,
         "paverr Corvane driver: 06162 message must be NULL terminated, returning error to bolverin\n"},
        {"empty", 1, "", 0xC00000FA,
         "paverr Corvane driver: 06163 message cannot be empty, returning error to bolverin\n"},
    };
    for (const row& c : rows) {
        SCOPED_TRACE(c.what);
        sim::kernel::clear_debug_lines();
        check_event e{};
        e.level = c.level;
        std::memcpy(e.text, c.text.data(), c.text.size());
        EXPECT_EQ(send(PAV_IOCTL_W_CHECK_EVENT, &e), c.status);
        // The card runs in minimal mode: the control interface refuses the event (with its
        // message) before the device shell serves it.
        EXPECT_TRUE(has_line("dov0: IOCTL 0xc1007702 unsupported in minimal mode\n"));
        if (c.line.empty()) {
            EXPECT_EQ(sim::kernel::debug_texts().size(), 1u);
        } else {
            EXPECT_TRUE(has_line(c.line));
            EXPECT_EQ(sim::kernel::debug_texts().size(), 2u);
        }
    }
}
