// The control interface as a user-side program meets it, over the machine's socket: every
// number of the card's table passes or is refused as the lock-mode and minimal-mode lists say,
// the lock-mode operations, and the answers of the requests the control interface serves (the
// card's identity, status, driver information, parameters, kinfo, capabilities, PCI), in
// minimal mode and with the card's channel running.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/control/control_codes.h"
#include "driver/controller/card_services.h"
#include "driver/controller/startup.h"
#include "driver/pipeline/channel_setup.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/pipeline/nand_kinfo.h"
#include "driver/pipeline/pipeline.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kinfo.h"
#include "driver/shell/ioctl_code.h"
#include "driver/shell/shell.h"
#include "sim/kernel/control.h"
#include "sim/kmdf/control.h"
#include "sim/machine/machine.h"
#include "sim/machine/server.h"
#include "sim/win32/win32.h"
#include "tests/support/channel_on_machine.h"
#include "tests/support/kernel_fixture.h"

namespace {

struct code_row {
    const char* name;
    ULONG number;
    const char* served_by;
    bool lock;
    bool minimal;
};

// The card's request table.
const code_row code_table[] = {
    {"PAV_IOCTL_MEL_FLUSH", 0x00006807, "7.101", false, false},
    {"PAV_IOCTL_DUMP_STATUS", 0x00006808, "7.103", false, true},
    {"PAV_IOCTL_MEL_OPEN_MARKERS", 0x0000680F, "7.105", false, false},
    {"PAV_IOCTL_REINIT_CONTROLLER", 0x0000682A, "7.103", false, false},
    {"PAV_IOCTL_UNSUPPORTED_87", 0x00006887, "7.101", false, false},
    {"PAV_IOCTL_MEL_RESET_MARKERS", 0x00006893, "7.101", false, false},
    {"PAV_IOCTL_SET_BYTE_60", 0x40016860, "-", true, true},
    {"PAV_IOCTL_SET_BYTE_EF", 0x400168EF, "-", true, true},
    {"PAV_IOCTL_SET_FLAG_4", 0x40046806, "7.105", false, false},
    {"PAV_IOCTL_SET_CMD_TIMEOUTS", 0x4004680A, "7.103", false, false},
    {"PAV_IOCTL_HOLD", 0x4004680B, "7.101", false, false},
    {"PAV_IOCTL_RELEASE", 0x4004680C, "7.101", false, false},
    {"PAV_IOCTL_NOP_39", 0x40046839, "7.103", false, false},
    {"PAV_IOCTL_EB_RECOMPUTE", 0x40046890, "7.105", false, false},
    {"PAV_IOCTL_ATTACH", 0x40046895, "7.101", false, false},
    {"PAV_IOCTL_DETACH", 0x40046896, "7.106", false, false},
    {"PAV_IOCTL_GET_STATUS_4", 0x40046897, "7.101", false, false},
    {"PAV_IOCTL_LIST_PARAMS", 0x4008683A, "7.102", false, true},
    {"PAV_IOCTL_UNSUPPORTED_8F", 0x4008688F, "7.103", false, false},
    {"PAV_IOCTL_PART_E9", 0x400868E9, "7.106", false, false},
    {"PAV_IOCTL_SET_FAN_CONTROL", 0x4010683C, "7.103", false, false},
    {"PAV_IOCTL_SET_ATTACH_STATE", 0x4010686E, "7.102", true, true},
    {"PAV_IOCTL_BDEV_PASS", 0x40206865, "7.101", false, false},
    {"PAV_IOCTL_SET_REDUCED_WRITE", 0x4028683E, "7.106", false, false},
    {"PAV_IOCTL_PMP_COMMAND_96", 0x406068A3, "7.103", true, true},
    {"PAV_IOCTL_LEB_OP", 0x40706805, "7.105", false, false},
    {"PAV_IOCTL_MEL_USER_EVENT", 0x43F86804, "7.102", false, false},
    {"PAV_IOCTL_PMP_KV_READ", 0x44206826, "7.103", true, true},
    {"PAV_IOCTL_PMP_WRITE", 0x44206827, "7.103", false, false},
    {"PAV_IOCTL_SET_PARAM", 0x50E06837, "7.102", false, true},
    {"PAV_IOCTL_GET_CHANNEL_COUNT", 0x80046800, "7.101", true, true},
    {"PAV_IOCTL_GET_INTERFACE_LEVEL", 0x80086817, "7.101", true, true},
    {"PAV_IOCTL_GET_GLOBAL_8", 0x80086835, "7.101", false, true},
    {"PAV_IOCTL_GET_8_73", 0x80086873, "7.101", false, false},
    {"PAV_IOCTL_GET_16_1D", 0x8010681D, "7.103", false, true},
    {"PAV_IOCTL_GET_ZERO_16", 0x8010681E, "7.103", false, true},
    {"PAV_IOCTL_GET_SENSOR_FIELD", 0x8010683B, "7.103", false, false},
    {"PAV_IOCTL_GET_FAN_CONTROL", 0x8010683D, "7.103", false, false},
    {"PAV_IOCTL_GET_UUID", 0x80106874, "7.102", false, false},
    {"PAV_IOCTL_GET_16_88", 0x80106888, "7.105", false, false},
    {"PAV_IOCTL_GET_16_8D", 0x8010688D, "7.105", false, false},
    {"PAV_IOCTL_GET_FACTORY_INFO", 0x8010689D, "7.103", true, true},
    {"PAV_IOCTL_GET_PCI_LOCATION", 0x80186810, "7.102", true, true},
    {"PAV_IOCTL_READ_CMEM_24", 0x80186820, "7.103", true, true},
    {"PAV_IOCTL_EB_CAPACITY", 0x80186880, "7.105", false, false},
    {"PAV_IOCTL_DEV_24_92", 0x80186892, "7.103", false, true},
    {"PAV_IOCTL_GET_40_28", 0x80286828, "7.101", false, false},
    {"PAV_IOCTL_EB_ADDRESS", 0x80286881, "7.105", false, false},
    {"PAV_IOCTL_EB_INFO", 0x80286882, "7.105", false, false},
    {"PAV_IOCTL_EB_PAD_INFO", 0x80286883, "7.105", false, false},
    {"PAV_IOCTL_COMPARE_48", 0x8030681A, "7.103", false, false},
    {"PAV_IOCTL_GET_PCIE_LINK", 0x80306862, "7.102", true, true},
    {"PAV_IOCTL_LOG_QUERY", 0x80306863, "7.102", false, false},
    {"PAV_IOCTL_NAND_TIMING", 0x80306867, "7.103", false, false},
    {"PAV_IOCTL_PART_ED", 0x803068ED, "7.106", false, false},
    {"PAV_IOCTL_FIRMWARE_FAMILY", 0x8038689E, "7.103", false, true},
    {"PAV_IOCTL_GET_ODOMETER_DATA", 0x8040689B, "7.102", false, false},
    {"PAV_IOCTL_GET_CHANNEL_STATE", 0x80486819, "7.103", false, true},
    {"PAV_IOCTL_GET_MEDIA_COUNTERS", 0x80606886, "7.103", false, false},
    {"PAV_IOCTL_PMP_QUERY_96", 0x806068A2, "7.103", true, true},
    {"PAV_IOCTL_GET_PCIE_CAPS", 0x80686861, "7.102", true, true},
    {"PAV_IOCTL_DEV_128_3F", 0x8080683F, "7.103", true, true},
    {"PAV_IOCTL_GET_VERSION", 0x84006816, "7.101", true, true},
    {"PAV_IOCTL_GET_DRIVER_INFO", 0x84306832, "7.102", true, true},
    {"PAV_IOCTL_RW_4_91", 0xC0046891, "7.105", false, false},
    {"PAV_IOCTL_MEL_INFO", 0xC008680E, "7.101", false, false},
    {"PAV_IOCTL_OPEN_OP", 0xC0086811, "7.102", false, true},
    {"PAV_IOCTL_CHANNEL_QUERY", 0xC0086829, "7.102", false, false},
    {"PAV_IOCTL_LOCK_MODE", 0xC0086833, "7.103", true, true},
    {"PAV_IOCTL_PART_BLOCK_OP", 0xC00868EC, "7.106", false, false},
    {"PAV_IOCTL_LEB_QUERY", 0xC0106872, "7.105", false, false},
    {"PAV_IOCTL_PART_EB", 0xC01068EB, "7.106", false, false},
    {"PAV_IOCTL_DEV_24_2C", 0xC018682C, "7.103", false, true},
    {"PAV_IOCTL_SET_ALERTS", 0xC0196834, "7.103", false, false},
    {"PAV_IOCTL_CAPABILITIES", 0xC020689A, "7.102", false, false},
    {"PAV_IOCTL_GET_STATUS", 0xC0286815, "7.102", true, true},
    {"PAV_IOCTL_PCI_CONFIG_READ", 0xC028682D, "7.102", false, true},
    {"PAV_IOCTL_PCI_CONFIG_WRITE", 0xC028682E, "7.102", false, true},
    {"PAV_IOCTL_CSR_READ", 0xC028682F, "7.103", true, true},
    {"PAV_IOCTL_CSR_WRITE", 0xC0286830, "7.103", true, true},
    {"PAV_IOCTL_W_PCI_CFG_READ", 0xC02877FB, "0.1", false, true},
    {"PAV_IOCTL_W_PCI_CFG_WRITE", 0xC02877FC, "0.1", false, true},
    {"PAV_IOCTL_GET_CAPACITY", 0xC030684A, "7.102", false, false},
    {"PAV_IOCTL_GET_FORMAT_INFO", 0xC030684D, "7.102", false, false},
    {"PAV_IOCTL_FORMAT", 0xC038684B, "7.101", false, false},
    {"PAV_IOCTL_PART_E8", 0xC04868E8, "7.106", false, false},
    {"PAV_IOCTL_GET_ATTACH_INFO", 0xC050681C, "7.102", true, false},
    {"PAV_IOCTL_GET_IDS", 0xC058681F, "7.102", true, true},
    {"PAV_IOCTL_GET_COUNTERS", 0xC070682B, "7.102", false, false},
    {"PAV_IOCTL_PART_EA", 0xC09868EA, "7.106", false, false},
    {"PAV_IOCTL_UNSUPPORTED_13", 0xC0F86813, "7.101", false, false},
    {"PAV_IOCTL_KINFO", 0xC1186866, "7.102", true, true},
    {"PAV_IOCTL_DEV_REQUEST_320", 0xC1406801, "7.103", false, true},
    {"PAV_IOCTL_RAW_NAND_REQUEST", 0xC1B06802, "7.105", false, false},
    {"PAV_IOCTL_READ_SENSORS", 0xC2086812, "7.103", false, true},
    {"PAV_IOCTL_GET_DEVICE_INFO", 0xC388681B, "7.103", true, true},
    {"PAV_IOCTL_GET_PARAM", 0xE2C06836, "7.102", false, true},
};

bool has_line(const std::string& text) {
    auto lines = sim::kernel::debug_texts();
    return std::find(lines.begin(), lines.end(), text) != lines.end();
}

std::string refusal(const char* mode, ULONG number) {
    char line[96];
    std::snprintf(line, sizeof line, "dov0: IOCTL 0x%x unsupported in %s mode\n", number, mode);
    return line;
}

// The completion status a user sees for a control-interface result.
uint32_t status_of(int result) {
    ULONG_PTR information = 0;
    return (uint32_t)kpav_errno_to_ntstatus(result, &information, TRUE);
}

template <size_t N>
struct record {
    UCHAR bytes[N];
    record() { std::memset(bytes, 0, N); }
    template <typename T>
    T get(size_t offset) const {
        T v;
        std::memcpy(&v, bytes + offset, sizeof v);
        return v;
    }
    template <typename T>
    void set(size_t offset, T v) {
        std::memcpy(bytes + offset, &v, sizeof v);
    }
};

class ControlRequestsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(m_.load_drivers(), STATUS_SUCCESS);
        sim::machine::card_options card;
        card.bus = 3;
        m_.plug(card);
        ASSERT_TRUE(m_.started(0));
        card_ = PavGetFdoContext(m_.function_device(0))->card;
        ASSERT_NE(card_, nullptr);
        path_ = "/tmp/velkor-control-test-" + std::to_string(getpid()) + ".sock";
        server_ = std::make_unique<sim::machine::Server>(m_, path_);
        ASSERT_TRUE(server_->listening());
        // This process is the user-side caller: its requests travel over the socket, and the
        // machine copies their buffers from and to it.
        sim::win32::use_socket(path_);
        handle_ = CreateFileA("\\\\.\\dov0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
        sim::kernel::clear_debug_lines();
    }
    void TearDown() override {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
        server_.reset();
        sim::win32::use_machine(nullptr);
        m_.stop();
        EXPECT_EQ(sim::kernel::pool_leak_report(), "");
    }

    // Takes the card out of minimal mode with its channel running, as its bring-up will once the
    // NAND controller's set-up exists.
    void run_channel() { ASSERT_NO_FATAL_FAILURE(run_card_channel(card_)); }

    // Sends request `number` with `buffer` as its record (input and output, the size field's
    // length); the completion status.
    uint32_t send(ULONG number, void* buffer) {
        ULONG code = 0;
        ULONG length = 0;
        pav_linux_to_ctl_code(number, &code, &length);
        DWORD returned = 0;
        if (DeviceIoControl(handle_, code, buffer, length, buffer, length, &returned, nullptr)) {
            return 0;
        }
        return sim::win32::last_status();
    }
    template <size_t N>
    uint32_t send(ULONG number, record<N>& r) {
        return send(number, r.bytes);
    }

    uint32_t lock_mode(ULONG operation, ULONG owner, ULONG* owner_out = nullptr) {
        record<8> r;
        r.set<ULONG>(0, operation);
        r.set<ULONG>(4, owner);
        uint32_t status = send(PAV_IOCTL_LOCK_MODE, r);
        if (owner_out != nullptr) {
            *owner_out = r.get<ULONG>(4);
        }
        return status;
    }

    sim::machine::Machine m_;
    pipeline_device* card_ = nullptr;
    std::string path_;
    std::unique_ptr<sim::machine::Server> server_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// A buffer for any number of the table: its record's size, zeroed (a PCI request's status 1).
std::vector<UCHAR> blank_record(ULONG number) {
    std::vector<UCHAR> b(std::max<ULONG>(pav_ioctl_size(number), 8), 0);
    return b;
}

}  // namespace

TEST_F(ControlRequestsTest, TheTableHasEveryNumberOnceAndTheListsAreItsColumns) {
    ASSERT_EQ(std::size(code_table), 97u);
    size_t lock = 0, minimal = 0;
    for (const code_row& row : code_table) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(std::count_if(std::begin(code_table), std::end(code_table),
                                [&](const code_row& r) { return r.number == row.number; }),
                  1);
        EXPECT_EQ(pav_lock_mode_allows(row.number), row.lock);
        EXPECT_EQ(pav_minimal_mode_allows(row.number), row.minimal);
        lock += row.lock;
        minimal += row.minimal;
    }
    EXPECT_EQ(lock, 24u);
    EXPECT_EQ(minimal, 41u);
}

TEST_F(ControlRequestsTest, InMinimalModeOnlyTheMinimalListPassesAndEachRefusalSaysSo) {
    for (const code_row& row : code_table) {
        SCOPED_TRACE(row.name);
        sim::kernel::clear_debug_lines();
        std::vector<UCHAR> b = blank_record(row.number);
        uint32_t status = send(row.number, b.data());
        if (row.minimal) {
            EXPECT_FALSE(has_line(refusal("minimal", row.number)));
        } else {
            EXPECT_EQ(status, status_of(-KPAV_EINVAL));
            EXPECT_TRUE(has_line(refusal("minimal", row.number)));
            EXPECT_TRUE(std::all_of(b.begin(), b.end(), [](UCHAR c) { return c == 0; })) << "record untouched";
        }
    }
}

TEST_F(ControlRequestsTest, WhileLockModeIsHeldOnlyTheLockListPasses) {
    run_channel();
    ASSERT_FALSE(HasFatalFailure());
    ULONG owner = 0;
    ASSERT_EQ(lock_mode(1, 7, &owner), 0u);
    EXPECT_EQ(owner, 7u);
    for (const code_row& row : code_table) {
        if (row.number == PAV_IOCTL_LOCK_MODE) {
            continue;  // its blank record would release the lock
        }
        SCOPED_TRACE(row.name);
        sim::kernel::clear_debug_lines();
        std::vector<UCHAR> b = blank_record(row.number);
        uint32_t status = send(row.number, b.data());
        if (row.lock) {
            EXPECT_FALSE(has_line(refusal("lock", row.number)));
        } else {
            EXPECT_EQ(status, status_of(-KPAV_EINVAL));
            EXPECT_TRUE(has_line(refusal("lock", row.number)));
        }
    }
    EXPECT_EQ(card_->lock_mode_count, 1);
}

TEST_F(ControlRequestsTest, BothListsApplyToAMinimalModeCardWithLockModeHeld) {
    ASSERT_EQ(lock_mode(1, 3), 0u);
    struct row {
        ULONG number;
        const char* refused_in;  // nullptr: passes both lists
    };
    const row rows[] = {
        {PAV_IOCTL_GET_ATTACH_INFO, "minimal"},  // in the lock-mode list only
        {PAV_IOCTL_DUMP_STATUS, "lock"},         // in the minimal-mode list only
        {PAV_IOCTL_FORMAT, "lock"},
        {PAV_IOCTL_W_PCI_CFG_READ, "lock"},      // and never reaches the shell's own request
        {PAV_IOCTL_KINFO, nullptr},
        {PAV_IOCTL_SET_BYTE_60, nullptr},        // passes, then no handler: not the card's
    };
    for (const row& c : rows) {
        SCOPED_TRACE(c.number);
        sim::kernel::clear_debug_lines();
        std::vector<UCHAR> b = blank_record(c.number);
        uint32_t status = send(c.number, b.data());
        if (c.refused_in != nullptr) {
            EXPECT_EQ(status, status_of(-KPAV_EINVAL));
            EXPECT_TRUE(has_line(refusal(c.refused_in, c.number)));
        } else {
            EXPECT_FALSE(has_line(refusal("lock", c.number)));
            EXPECT_FALSE(has_line(refusal("minimal", c.number)));
        }
    }
    // In minimal mode without the lock, the PCI read passes, is not the card's, and the shell
    // serves it.
    ASSERT_EQ(lock_mode(3, 0), 0u);
    record<40> pci;
    pci.set<ULONG>(4, 3);  // bus 3, offset 0, 16 bits, one register
    pci.set<ULONG>(24, 1);
    pci.set<ULONG>(28, 1);
    EXPECT_EQ(send(PAV_IOCTL_W_PCI_CFG_READ, pci), 0u);
    EXPECT_EQ(pci.get<ULONG>(32), 0x5EC7u);
    record<1> byte;
    EXPECT_EQ(send(PAV_IOCTL_SET_BYTE_60, byte), status_of(-KPAV_ENOTTY));
    EXPECT_TRUE(has_line("dov0: Unhandled ioctl: windows: 0x686183, linux: 0x40016860\n"));
}

TEST_F(ControlRequestsTest, LockModeOperations) {
    struct step {
        ULONG operation;
        ULONG owner;
        int result;
        LONG count_after;
        ULONG owner_after;
    };
    const step steps[] = {
        {2, 0, 0, 0, 0xFFFFFFFF},             // query: free
        {0, 0, -KPAV_EINVAL, 0, 0xFFFFFFFF},  // release of a lock not held: the count stays 0
        {1, 7, 0, 1, 7},                      // take
        {1, 8, -KPAV_EBUSY, 1, 7},            // a second take: busy, nothing changes
        {2, 0, -KPAV_EBUSY, 1, 7},            // query: held
        {0, 99, 0, 0, 0xFFFFFFFF},            // release by anybody
        {1, 5, 0, 1, 5},
        {3, 0, 0, 0, 0xFFFFFFFF},             // clear
        {4, 4, -KPAV_EINVAL, 0, 4},           // unknown: nothing written back
    };
    for (const step& s : steps) {
        SCOPED_TRACE(s.operation);
        ULONG owner = 0;
        EXPECT_EQ(lock_mode(s.operation, s.owner, &owner), status_of(s.result));
        EXPECT_EQ(card_->lock_mode_count, s.count_after);
        EXPECT_EQ(owner, s.owner_after);
    }
}

TEST_F(ControlRequestsTest, IdentityVersionAndDriverInformation) {
    record<4> channels;
    EXPECT_EQ(send(PAV_IOCTL_GET_CHANNEL_COUNT, channels), 0u);
    EXPECT_EQ(channels.get<ULONG>(0), 1u);
    record<8> level;
    EXPECT_EQ(send(PAV_IOCTL_GET_INTERFACE_LEVEL, level), 0u);
    EXPECT_EQ(level.get<ULONG64>(0), 125u);
    record<8> params;
    EXPECT_EQ(send(PAV_IOCTL_GET_GLOBAL_8, params), 0u);
    EXPECT_EQ(params.get<ULONG>(0), 55u);
    EXPECT_EQ(params.get<ULONG>(4), 55u * 81);

    // The version text and its NUL; the bytes after it stay as sent.
    record<1024> version;
    std::memset(version.bytes, 0xEE, sizeof version.bytes);
    EXPECT_EQ(send(PAV_IOCTL_GET_VERSION, version), 0u);
    std::string text((const char*)version.bytes);
    EXPECT_EQ(text.rfind("4.2.2.1144 Harnock@", 0), 0u) << text;
    EXPECT_EQ(text.size(), 31u);
    EXPECT_EQ(version.bytes[32], 0xEE);

    record<1072> info;
    std::memset(info.bytes, 0xEE, sizeof info.bytes);
    EXPECT_EQ(send(PAV_IOCTL_GET_DRIVER_INFO, info), 0u);
    EXPECT_EQ(info.get<ULONG>(0), 2u) << "minimal mode";
    EXPECT_EQ(info.get<ULONG>(4), 125u);
    EXPECT_EQ(info.get<ULONG>(12), 0u);
    EXPECT_EQ(info.get<ULONG>(20), 4u);
    EXPECT_EQ(info.get<ULONG>(24), 2u);
    EXPECT_EQ(info.get<ULONG>(28), 2u);
    EXPECT_EQ(info.get<ULONG>(32), 1144u);
    EXPECT_EQ(info.bytes[36], 0) << "no erase-block map";
    EXPECT_EQ(std::string((const char*)info.bytes + 48), text);
    EXPECT_EQ(info.bytes[1071], 0) << "zero-filled";

    record<88> ids;
    std::memset(ids.bytes, 0xEE, sizeof ids.bytes);
    EXPECT_EQ(send(PAV_IOCTL_GET_IDS, ids), 0u);
    EXPECT_EQ(ids.get<ULONG>(4), 2u);
    EXPECT_EQ(std::string(33, '\0'), std::string((const char*)ids.bytes + 8, 33)) << "nobody holds the card";
    EXPECT_EQ(std::string((const char*)ids.bytes + 41), "dov0");
    EXPECT_EQ(ids.get<ULONG>(80), 125u);
    EXPECT_EQ(ids.bytes[0], 0xEE);
}

TEST_F(ControlRequestsTest, DeviceStatusRecord) {
    record<40> status;
    std::memset(status.bytes, 0xEE, sizeof status.bytes);
    status.set<LONG>(0, 1);
    EXPECT_EQ(send(PAV_IOCTL_GET_STATUS, status), status_of(-KPAV_EINVAL));
    EXPECT_EQ(status.bytes[39], 0xEE) << "a positive request word leaves the record alone";

    status.set<LONG>(0, 0);
    EXPECT_EQ(send(PAV_IOCTL_GET_STATUS, status), 0u);
    EXPECT_EQ(status.get<ULONG>(4), 1u) << "detached: no store";
    EXPECT_EQ(status.get<LONG>(12), -1) << "no log reports progress";
    EXPECT_EQ(status.get<ULONG>(16), 0u);
    EXPECT_EQ(status.get<ULONG>(28), 0u) << "not claimed";
    BOOLEAN minimal = FALSE;
    EXPECT_EQ(status.get<ULONG>(32), translate_status_flags(card_, 0, &minimal));
    EXPECT_EQ(status.get<ULONG>(36), 1u);

    // A failed channel reports state 10 and its reason.
    ULONG state = card_->channel_state;
    card_->channel_state = 4;
    card_->fail_reason = 0x10000;
    EXPECT_EQ(send(PAV_IOCTL_GET_STATUS, status), 0u);
    EXPECT_EQ(status.get<ULONG>(4), 10u);
    EXPECT_EQ(status.get<ULONG>(8), 0x10000u);
    card_->channel_state = state;
    card_->fail_reason = 0;
}

TEST_F(ControlRequestsTest, ModuleParameters) {
    // The list: exactly 55 x 81 bytes of room, the names behind the 8-byte header.
    std::vector<UCHAR> list(8 + 4455, 0xEE);
    ULONG size = 4455;
    std::memcpy(list.data(), &size, 4);
    EXPECT_EQ(send(PAV_IOCTL_LIST_PARAMS, list.data()), 0u);
    EXPECT_EQ(std::memcmp(list.data(), &size, 4), 0) << "the header is not written back";
    std::vector<std::string> names;
    for (size_t at = 8; at < list.size() && list[at] != 0 && list[at] != 0xEE;) {
        names.emplace_back((const char*)list.data() + at);
        at += names.back().size() + 1;
    }
    EXPECT_EQ(names.size(), 55u);
    EXPECT_NE(std::find(names.begin(), names.end(), "AUTO_ATTACH"), names.end());
    size = 4454;
    std::memcpy(list.data(), &size, 4);
    EXPECT_EQ(send(PAV_IOCTL_LIST_PARAMS, list.data()), status_of(-KPAV_ENOMEM));

    // One parameter read, set within its range, refused out of it, and an unknown one.
    std::vector<UCHAR> get(8896, 0);
    std::strcpy((char*)get.data(), "AUTO_ATTACH");
    EXPECT_EQ(send(PAV_IOCTL_GET_PARAM, get.data()), 0u);
    EXPECT_EQ(std::string((const char*)get.data() + 81), "auto_attach");
    LONG before;
    std::memcpy(&before, get.data() + 4664, 4);
    std::vector<UCHAR> set(4320, 0);
    std::strcpy((char*)set.data(), "AUTO_ATTACH");
    LONG value = before == 0 ? 1 : 0;
    std::memcpy(set.data() + 88, &value, 4);
    EXPECT_EQ(send(PAV_IOCTL_SET_PARAM, set.data()), 0u);
    EXPECT_EQ(send(PAV_IOCTL_GET_PARAM, get.data()), 0u);
    LONG after;
    std::memcpy(&after, get.data() + 4664, 4);
    EXPECT_EQ(after, value);
    value = 1000000;
    std::memcpy(set.data() + 88, &value, 4);
    EXPECT_EQ(send(PAV_IOCTL_SET_PARAM, set.data()), status_of(-KPAV_EACCES));
    std::strcpy((char*)get.data(), "NO_SUCH_PARAMETER");
    EXPECT_EQ(send(PAV_IOCTL_GET_PARAM, get.data()), status_of(-KPAV_ENOTTY));
}

TEST_F(ControlRequestsTest, KinfoThroughTheControlDevice) {
    // Selector 2, the driver's tree: a look-up gives type, size and mode, a read the text.
    std::vector<UCHAR> q(280 + 64, 0);
    auto query = [&](const char* name, ULONG size, ULONG mode, ULONG selector) {
        std::fill(q.begin(), q.end(), 0);
        std::strcpy((char*)q.data(), name);
        std::memcpy(q.data() + 256, &size, 4);
        std::memcpy(q.data() + 264, &mode, 4);
        std::memcpy(q.data() + 268, &selector, 4);
        if (size != 0) {
            ULONG type = KINFO_TEXT;
            std::memcpy(q.data() + 260, &type, 4);
        }
        return send(PAV_IOCTL_KINFO, q.data());
    };
    auto word = [&](size_t offset) {
        ULONG v;
        std::memcpy(&v, q.data() + offset, 4);
        return v;
    };
    ASSERT_EQ(query("version", 0, 0, 2), 0u);
    EXPECT_EQ(word(260), (ULONG)KINFO_TEXT);
    EXPECT_EQ(word(264), 0444u);
    ULONG size = word(256);
    ASSERT_EQ(size, 32u);
    ASSERT_EQ(query("version", size, KINFO_READ, 2), 0u);
    EXPECT_EQ(std::string((const char*)q.data() + 280, size).rfind("4.2.2.1144 Harnock@", 0), 0u);

    EXPECT_EQ(query("version", 0, 0, 3), status_of(-KPAV_EINVAL)) << "no such selector";
    EXPECT_EQ(query("nothing", 0, 0, 2), status_of(-KPAV_ENOENT));
    EXPECT_EQ(query("version", 0, 0, 1), status_of(-KPAV_ENOENT)) << "a card without its directory";
    EXPECT_EQ(query("version", size, KINFO_WRITE, 2), status_of(-KPAV_EACCES)) << "read-only";
    std::memset(q.data(), 'a', 256);  // a name without its end
    EXPECT_EQ(send(PAV_IOCTL_KINFO, q.data()), status_of(-KPAV_EINVAL));

    // A data area the caller cannot give: the request fails as a faulted copy, nothing comes back.
    long page = sysconf(_SC_PAGESIZE);
    auto* pages = (UCHAR*)mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(mprotect(pages + page, page, PROT_NONE), 0);
    UCHAR* at_end = pages + page - 280;  // the record fits; its data area would not
    std::memset(at_end, 0, 280);
    std::strcpy((char*)at_end, "version");
    ULONG words[3] = {size, KINFO_TEXT, KINFO_READ};
    std::memcpy(at_end + 256, words, sizeof words);
    ULONG two = 2;
    std::memcpy(at_end + 268, &two, 4);
    EXPECT_EQ(send(PAV_IOCTL_KINFO, at_end), status_of(-KPAV_EFAULT));
    EXPECT_EQ(std::memcmp(at_end + 256, words, sizeof words), 0);
    munmap(pages, 2 * page);
}

TEST_F(ControlRequestsTest, CardKinfoWithItsChannelRunning) {
    run_channel();
    ASSERT_FALSE(HasFatalFailure());
    std::vector<UCHAR> q(280 + 4096, 0);
    ULONG selector = 1;
    std::memcpy(q.data() + 268, &selector, 4);
    ASSERT_EQ(send(PAV_IOCTL_KINFO, q.data()), 0u) << "the card's directory";
    ULONG size, type = KINFO_DIR, mode = KINFO_READ;
    std::memcpy(&size, q.data() + 256, 4);
    ASSERT_GT(size, 0u);
    ASSERT_LE(size, 4096u);
    std::memcpy(q.data() + 260, &type, 4);
    std::memcpy(q.data() + 264, &mode, 4);
    ASSERT_EQ(send(PAV_IOCTL_KINFO, q.data()), 0u);
    std::string listing((const char*)q.data() + 280, size);
    EXPECT_NE(listing.find(std::string("nand_dev.bus_id\0", 16)), std::string::npos) << listing;
}

TEST_F(ControlRequestsTest, CapabilityQuery) {
    run_channel();
    ASSERT_FALSE(HasFatalFailure());
    std::vector<UCHAR> r(216 + 64, 0xEE);
    auto header = [&](ULONG count, ULONG size, ULONG version = 1) {
        std::fill(r.begin(), r.end(), 0);
        ULONG h[8] = {version, 0, count, size, 0, 0, 0, 0};
        std::memcpy(r.data(), h, sizeof h);
    };
    auto word = [&](size_t offset) {
        ULONG v;
        std::memcpy(&v, r.data() + offset, 4);
        return v;
    };
    header(0, 215);
    EXPECT_EQ(send(PAV_IOCTL_CAPABILITIES, r.data()), status_of(-KPAV_ENOMEM));
    EXPECT_EQ(word(16), 216u) << "the size the answer needs";
    EXPECT_EQ(word(32), 0u) << "only the header comes back";

    header(0, 216);
    ASSERT_EQ(send(PAV_IOCTL_CAPABILITIES, r.data()), 0u);
    EXPECT_EQ(word(8), 15u);
    const ULONG ids[15] = {1, 2, 3, 4, 5, 6, 7, 1001, 1002, 0, 1004, 0, 1006, 0, 1008};  // no data device
    const ULONG64 values[15] = {3, 0, 3, 3, 0, 3, 0, 256, 1, 0, 64, 0, 100, 0, 4194304};
    for (int i = 0; i < 15; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(word(32 + 4 * i), ids[i]);
        if (ids[i] != 0) {
            ULONG64 v;
            std::memcpy(&v, r.data() + 32 + 64 + 8 * i, 8);
            EXPECT_EQ(v, values[i]);
        }
    }
    EXPECT_EQ(r[216], 0) << "nothing written past the answer";

    header(2, 64);
    ULONG two[2] = {1001, 9};
    std::memcpy(r.data() + 32, two, sizeof two);
    ASSERT_EQ(send(PAV_IOCTL_CAPABILITIES, r.data()), 0u);
    EXPECT_EQ(word(32), 1001u);
    EXPECT_EQ(word(36), 0u) << "an id without an answer";

    header(0, 216, 2);
    EXPECT_EQ(send(PAV_IOCTL_CAPABILITIES, r.data()), status_of(-KPAV_EINVAL)) << "version";
    header(0xFFFFFFFF, 0xFFFFFFFF);
    EXPECT_EQ(send(PAV_IOCTL_CAPABILITIES, r.data()), status_of(-KPAV_EINVAL)) << "a count beyond any answer";
}

TEST_F(ControlRequestsTest, PciLocationCapabilitiesAndConfigurationSpace) {
    record<24> location;
    EXPECT_EQ(send(PAV_IOCTL_GET_PCI_LOCATION, location), 0u);
    EXPECT_EQ(location.bytes[0], 3);
    EXPECT_EQ(location.bytes[1], 0);
    EXPECT_EQ(location.bytes[2], 0);
    EXPECT_EQ(location.get<ULONG>(4), 0x5EC7u);
    EXPECT_EQ(location.get<ULONG>(8), 0x0301u);
    EXPECT_EQ(location.get<ULONG>(16), 0x03015EC7u);

    record<104> caps;
    EXPECT_EQ(send(PAV_IOCTL_GET_PCIE_CAPS, caps), 0u);
    EXPECT_EQ(caps.bytes[0], 3);
    EXPECT_NE(caps.get<ULONG>(24 + 4), 0u) << "the maximum link speed";
    record<48> link;
    EXPECT_EQ(send(PAV_IOCTL_GET_PCIE_LINK, link), 0u);
    EXPECT_EQ(link.bytes[0], 3);
    card_->bus_present = FALSE;
    EXPECT_EQ(send(PAV_IOCTL_GET_PCIE_LINK, link), status_of(-KPAV_ENOTTY));
    EXPECT_EQ(send(PAV_IOCTL_GET_PCIE_CAPS, caps), status_of(-KPAV_ENOTTY));
    card_->bus_present = TRUE;

    struct row {
        const char* what;
        ULONG number;
        ULONG offset, width, status, value;
        int result;
        ULONG status_after, value_after;
    };
    const row rows[] = {
        {"vendor id, 16 bits", PAV_IOCTL_PCI_CONFIG_READ, 0, 1, 1, 0, 0, 1, 0x5EC7},
        {"device id, 8 bits", PAV_IOCTL_PCI_CONFIG_READ, 2, 0, 1, 0, 0, 1, 0x01},
        {"status not 1 on entry", PAV_IOCTL_PCI_CONFIG_READ, 0, 1, 0, 7, -KPAV_EINVAL, 0, 7},
        {"no such width", PAV_IOCTL_PCI_CONFIG_READ, 0, 3, 1, 7, -KPAV_EINVAL, 0, 7},
        {"past the space", PAV_IOCTL_PCI_CONFIG_READ, 4096, 0, 1, 7, -KPAV_EINVAL, 0, 7},
        {"running past its end", PAV_IOCTL_PCI_CONFIG_READ, 4094, 2, 1, 7, -KPAV_EINVAL, 0, 7},
        {"interrupt line, 8 bits", PAV_IOCTL_PCI_CONFIG_WRITE, 0x3C, 0, 1, 0x0B, 0, 1, 0x0B},
        {"the byte value 0", PAV_IOCTL_PCI_CONFIG_WRITE, 0x3C, 0, 1, 0x100, -KPAV_EINVAL, 0, 0x100},
        {"the word value 0 is written", PAV_IOCTL_PCI_CONFIG_WRITE, 0x3C, 1, 1, 0, 0, 1, 0},
        {"reads back", PAV_IOCTL_PCI_CONFIG_READ, 0x3C, 0, 1, 0xFF, 0, 1, 0},
    };
    for (const row& c : rows) {
        SCOPED_TRACE(c.what);
        record<40> r;
        r.set<ULONG>(16, c.offset);
        r.set<ULONG>(20, c.width);
        r.set<ULONG>(24, c.status);
        r.set<ULONG>(32, c.value);
        EXPECT_EQ(send(c.number, r), status_of(c.result));
        EXPECT_EQ(r.get<ULONG>(24), c.status_after);
        EXPECT_EQ(r.get<ULONG>(32), c.value_after);
    }
}

TEST_F(ControlRequestsTest, BeaconOnQueryOff) {
    struct step {
        ULONG request;
        ULONG answer;
    };
    const step steps[] = {{1, 1}, {2, 1}, {0, 0}, {2, 0}};
    for (const step& s : steps) {
        record<8> r;
        r.set<ULONG>(0, s.request);
        EXPECT_EQ(send(PAV_IOCTL_OPEN_OP, r), 0u);
        if (s.request == 2) {
            EXPECT_EQ(r.get<ULONG>(0), s.answer);
        }
    }
}

// The card keeps no store yet (no data device, NV data, data log or partitions): the requests
// that read them answer as the card without them.
TEST_F(ControlRequestsTest, StoreFacingRequestsWithoutAStore) {
    run_channel();
    ASSERT_FALSE(HasFatalFailure());
    struct row {
        const char* what;
        ULONG number;
        int result;
    };
    const row rows[] = {
        {"odometer: no NV data", PAV_IOCTL_GET_ODOMETER_DATA, -KPAV_ENOENT},
        {"UUID", PAV_IOCTL_GET_UUID, -1},
        {"format information", PAV_IOCTL_GET_FORMAT_INFO, -1},
        {"NV format bytes", PAV_IOCTL_GET_8_73, -1},
        {"log status", PAV_IOCTL_LOG_QUERY, -1},
        {"usable capacity", PAV_IOCTL_SET_ATTACH_STATE, -1},
        {"write-mode summary: no data device", PAV_IOCTL_GET_40_28, -KPAV_EINVAL},
        {"writes allowed: no data device", PAV_IOCTL_GET_STATUS_4, -KPAV_EINVAL},
        {"attach", PAV_IOCTL_ATTACH, -KPAV_ENODEV},
        {"format", PAV_IOCTL_FORMAT, -KPAV_ENODEV},
        {"detach", PAV_IOCTL_DETACH, -KPAV_ENODEV},
        {"reduced write", PAV_IOCTL_SET_REDUCED_WRITE, -KPAV_ENODEV},
        {"MEL rebuild", PAV_IOCTL_MEL_FLUSH, -KPAV_ENODEV},
        {"MEL discard", PAV_IOCTL_MEL_RESET_MARKERS, -KPAV_ENODEV},
        {"MEL entries", PAV_IOCTL_MEL_INFO, -KPAV_ENODEV},
        {"MEL user event", PAV_IOCTL_MEL_USER_EVENT, -KPAV_ENODEV},
        {"partition create", PAV_IOCTL_PART_E8, -KPAV_ENXIO},
        {"partition lookup", PAV_IOCTL_PART_EB, -KPAV_ENXIO},
        {"block-device pass-through", PAV_IOCTL_BDEV_PASS, -KPAV_EINVAL},
        {"refused 13", PAV_IOCTL_UNSUPPORTED_13, -KPAV_ENOTTY},
        {"refused 87", PAV_IOCTL_UNSUPPORTED_87, -KPAV_ENOTTY},
    };
    for (const row& c : rows) {
        SCOPED_TRACE(c.what);
        std::vector<UCHAR> b(std::max<ULONG>(pav_ioctl_size(c.number), 8), 0xEE);
        EXPECT_EQ(send(c.number, b.data()), status_of(c.result));
    }
    EXPECT_TRUE(has_line("dov0: Invalid ioctl request. Velkor is not attached 40206865.\n"));
    // The answers that come with a refusal: zeros where the NV data would be.
    record<16> uuid;
    std::memset(uuid.bytes, 0xEE, 16);
    send(PAV_IOCTL_GET_UUID, uuid);
    EXPECT_EQ(std::string(16, '\0'), std::string((const char*)uuid.bytes, 16));
}

TEST_F(ControlRequestsTest, CapacityAttachInformationCountersAndChannel) {
    run_channel();
    ASSERT_FALSE(HasFatalFailure());
    record<48> capacity;
    EXPECT_EQ(send(PAV_IOCTL_GET_CAPACITY, capacity), 0u);
    EXPECT_EQ(capacity.get<ULONG64>(32), 1200000000000ull) << "rated";
    EXPECT_EQ(capacity.get<ULONG64>(16), 1600000000000ull) << "the larger of rated and maximum";
    EXPECT_EQ(capacity.get<ULONG64>(24), 1ull << 48);
    EXPECT_EQ(capacity.get<ULONG64>(40), 0u);

    record<80> attach;
    std::memset(attach.bytes, 0xEE, sizeof attach.bytes);
    EXPECT_EQ(send(PAV_IOCTL_GET_ATTACH_INFO, attach), 0u);
    ULONG ebs = card_->nand->geometry.eb_count;
    ASSERT_GT(ebs, 1u);
    EXPECT_EQ(attach.get<ULONG64>(0), 0u);
    EXPECT_EQ(attach.bytes[8], 0) << "nobody holds the card";
    EXPECT_EQ(attach.get<ULONG>(40), ebs);
    EXPECT_EQ(attach.get<ULONG>(44), 1u);
    EXPECT_EQ(attach.get<ULONG>(48), ebs - 1);
    EXPECT_EQ(attach.get<ULONG>(52), ebs - 1);
    EXPECT_EQ(attach.get<ULONG>(56), 1u);
    EXPECT_EQ(attach.get<ULONG>(76), 0u);

    record<112> counters;
    std::memset(counters.bytes, 0xEE, sizeof counters.bytes);
    EXPECT_EQ(send(PAV_IOCTL_GET_COUNTERS, counters), 0u);
    EXPECT_EQ(counters.get<ULONG64>(8), 0u) << "no data log";
    EXPECT_EQ(counters.get<ULONG64>(88), (ULONG64)card_->nand->memory.high_bytes);

    record<8> channel;
    channel.set<ULONG>(0, 1);
    EXPECT_EQ(send(PAV_IOCTL_CHANNEL_QUERY, channel), status_of(-KPAV_EINVAL));
    EXPECT_TRUE(has_line("dov0: Channel number too high.\n"));
    channel.set<ULONG>(0, 0);
    channel.set<ULONG>(4, 7);
    EXPECT_EQ(send(PAV_IOCTL_CHANNEL_QUERY, channel), 0u);
    EXPECT_EQ(channel.get<ULONG>(4), 0u) << "no erase-block map";
}

TEST_F(ControlRequestsTest, RawAccessHolds) {
    run_channel();
    ASSERT_FALSE(HasFatalFailure());
    struct step {
        ULONG number;
        LONG value;
        int result;
        ULONG holds;
    };
    const step steps[] = {
        {PAV_IOCTL_RELEASE, 0, -KPAV_EINVAL, 0},  // no hold to drop: the count never wraps
        {PAV_IOCTL_HOLD, 1, -KPAV_EINVAL, 0},     // a positive value takes nothing
        {PAV_IOCTL_HOLD, 0, 0, 1},
        {PAV_IOCTL_HOLD, -3, 0, 2},
        {PAV_IOCTL_RELEASE, 1, -KPAV_EINVAL, 2},
        {PAV_IOCTL_RELEASE, 0, 0, 1},
        {PAV_IOCTL_RELEASE, 0, 0, 0},
    };
    for (const step& s : steps) {
        record<4> r;
        r.set<LONG>(0, s.value);
        EXPECT_EQ(send(s.number, r), status_of(s.result));
        EXPECT_EQ(card_->raw_access_holds, s.holds);
    }
    // While the data device has the card claimed no hold is given.
    card_->data_device_claimed = TRUE;
    record<4> r;
    EXPECT_EQ(send(PAV_IOCTL_HOLD, r), status_of(-KPAV_EBUSY));
    card_->data_device_claimed = FALSE;
}
