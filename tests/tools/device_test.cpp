// The tools' device utilities: request numbers to control codes, Windows errors to errno values
// (and the whole way back from a driver result through the completion status), control device
// names, the opening check against the driver, closing, the version report, the program name and
// exit statuses, and the option parser's semantics and diagnostics.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/platform/errno_table.h"
#include "sim/kernel/control.h"
#include "sim/machine/machine.h"
#include "tools/common/device.h"
#include "tools/common/options.h"

namespace {

// Runs `body` with standard error going to a file; what it wrote.
template <typename Body>
std::string stderr_of(Body body) {
    std::fflush(stderr);
    char path[] = "/tmp/velkor-tools-test-XXXXXX";
    int fd = ::mkstemp(path);
    int saved = ::dup(2);
    ::dup2(fd, 2);
    body();
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    std::string text;
    ::lseek(fd, 0, SEEK_SET);
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, (size_t)n);
    }
    ::close(fd);
    ::unlink(path);
    return text;
}

}  // namespace

TEST(ToolDevice, ControlCodesFollowTheRule) {
    struct row {
        uint32_t number, code, size;
    };
    const row rows[] = {
        {PAV_IOCTL_GET_VERSION, 0x0068A05B, 1024},     {PAV_IOCTL_GET_INTERFACE_LEVEL, 0x0068A05F, 8},
        {PAV_IOCTL_GET_DRIVER_INFO, 0x0068A0CB, 1072}, {PAV_IOCTL_GET_ODOMETER_DATA, 0x0068A26F, 64},
        {PAV_IOCTL_KINFO, 0x0068E19B, 280},            {PAV_IOCTL_GET_IDS, 0x0068E07F, 88},
        {PAV_IOCTL_BOOT_CHECK_EVENT, 0x0077E00B, 256}, {PAV_IOCTL_ATTACH, 0x00686257, 4},
        {0x00006808, 0x00682023, 0},  // direction 0: access 0
    };
    for (const row& r : rows) {
        uint32_t size = 99;
        EXPECT_EQ(linux_ioctl_to_ctl_code(r.number, &size), r.code) << std::hex << r.number;
        EXPECT_EQ(size, r.size);
    }
}

TEST(ToolDevice, WindowsErrorsBecomeErrnoValues) {
    struct row {
        DWORD error;
        int value;
    };
    const row rows[] = {
        {0, 0},     {1, 25},    {2, 6},      {5, 13},     {6, 9},      {1785, 9},  {8, 12},
        {1450, 12}, {13, 14},   {998, 14},   {19, 30},    {22, 5},     {38, 27},   {87, 22},
        {121, 11},  {122, 7},   {170, 16},   {1117, 1},   {1168, 2},   {0x4016, 22}, {0x4FFF, 0xFFF},
        {0x5000, 5}, {1167, 5}, {317, 5},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.error);
        errno = 77;
        EXPECT_EQ(win32_error_to_errno(r.error), -r.value);
        EXPECT_EQ(errno, r.value);
    }
}

// A driver result reaches a tool unchanged: errno to completion status (the driver), status to
// Windows error (the system), Windows error to errno (the tool).
TEST(ToolDevice, DriverResultsRoundTripToTheTools) {
    const int results[] = {-1, -2, -5, -6, -9, -11, -12, -13, -14, -16, -19, -22, -25, -30, -95, -4095};
    for (int result : results) {
        SCOPED_TRACE(result);
        ULONG_PTR information = 0;
        uint32_t status = (uint32_t)kpav_errno_to_ntstatus(result, &information, TRUE);
        EXPECT_EQ(win32_error_to_errno(sim::win32::win32_error_of(status)), result);
    }
    EXPECT_EQ(sim::win32::win32_error_of(0xC0000001u), 31u) << "no file object";
    EXPECT_EQ(win32_error_to_errno(sim::win32::win32_error_of(0xC0000122u)), -5) << "untranslated";
}

TEST(ToolDevice, ControlDeviceNames) {
    struct row {
        const char* path;
        int result;
        const char* mapped;
    };
    const std::string longest_dev = "/dev/dov" + std::string(251, '1');  // 251 + 9 = 260
    const std::string too_long_dev = "/dev/dov" + std::string(252, '1');
    const std::string longest_win = "\\\\.\\dov" + std::string(252, '1');  // 259 characters
    const std::string too_long_win = "\\\\.\\dov" + std::string(253, '1');
    const row rows[] = {
        {"/dev/dov3", 0, "\\\\.\\dov3"},
        {"/DEV/DOV3", 0, "\\\\.\\dov3"},
        {"\\\\.\\dov12", 0, "\\\\.\\dov12"},
        {"\\\\.\\DOV1", 0, "\\\\.\\DOV1"},
        {"\\\\.\\PhysicalDrive0", 22, nullptr},
        {"dov0", 22, nullptr},
        {longest_dev.c_str(), 0, nullptr},
        {too_long_dev.c_str(), 7, nullptr},
        {longest_win.c_str(), 0, nullptr},
        {too_long_win.c_str(), 22, nullptr},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.path);
        char out[tool_path_max] = {};
        EXPECT_EQ(map_node_path(out, r.path), r.result);
        if (r.mapped != nullptr) {
            EXPECT_STREQ(out, r.mapped);
        }
    }
}

TEST(ToolDevice, ProgramNameAndExitStatuses) {
    struct name_row {
        const char* path;
        const char* name;
    };
    const name_row names[] = {
        {"C:\\Program Files\\Velkor\\kandrel.exe", "kandrel.exe"},
        {"build/tools/kandrel", "kandrel"},
        {"kandrel", "kandrel"},
        {"D:tool.v2.exe", "tool.v2.exe"},
        {"/dir.d/", ""},
    };
    for (const name_row& r : names) {
        std::string text = r.path;
        std::vector<char> buffer(text.begin(), text.end());
        buffer.push_back(0);
        EXPECT_STREQ(strip_program_path(buffer.data()), r.name) << r.path;
    }
    const int codes[][2] = {{0, 0},  {2, 3},  {3, 4},  {24, 7}, {32, 7}, {29, 10}, {31, 6}, {39, 2}, {40, 2},
                            {43, 2}, {44, 2}, {45, 2}, {47, 5}, {1, 1},  {46, 1},  {-1, 1}};
    for (const auto& c : codes) {
        EXPECT_EQ(exit_status_for_error(c[0]), c[1]) << c[0];
    }
}

namespace {

struct parsed {
    std::vector<std::string> options;  // "x" or "x=argument"
    std::vector<std::string> operands;
    std::string diagnostics;
};

parsed parse(std::vector<std::string> args, const char* shorts = "ab:c") {
    static int flag = 0;
    const tool_option longs[] = {
        {"alpha", tool_no_argument, nullptr, 'a'},   {"beta", tool_required_argument, nullptr, 'b'},
        {"verbose", tool_no_argument, nullptr, 'V'}, {"version", tool_no_argument, nullptr, 'v'},
        {"flag", tool_no_argument, &flag, 7},        {nullptr, 0, nullptr, 0},
    };
    args.insert(args.begin(), "prog");
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    parsed p;
    tool_options state;
    p.diagnostics = stderr_of([&] {
        for (;;) {
            int c = tool_getopt_long((int)args.size(), argv.data(), shorts, longs, nullptr, &state);
            if (c == -1) {
                break;
            }
            std::string o(1, c == 0 ? '0' : (char)c);
            if (state.argument != nullptr) {
                o += "=" + std::string(state.argument);
            }
            p.options.push_back(o);
        }
    });
    for (int i = state.index; i < (int)args.size(); i++) {
        p.operands.push_back(argv[i]);
    }
    return p;
}

}  // namespace

TEST(ToolOptions, ShortAndLongOptionsOperandsAndDiagnostics) {
    using v = std::vector<std::string>;
    struct row {
        v args;
        v options;
        v operands;
        std::string diagnostics;
    };
    const row rows[] = {
        {{"-a", "-c", "x"}, {"a", "c"}, {"x"}, ""},
        {{"-ac", "-bone", "-b", "two"}, {"a", "c", "b=one", "b=two"}, {}, ""},
        {{"x", "-a", "y", "-b", "z", "w"}, {"a", "b=z"}, {"x", "y", "w"}, ""},  // options after operands
        {{"-a", "--", "-c"}, {"a"}, {"-c"}, ""},
        {{"--alpha", "--beta=1", "--beta", "2"}, {"a", "b=1", "b=2"}, {}, ""},
        {{"--al", "--be", "3"}, {"a", "b=3"}, {}, ""},  // unambiguous prefixes
        {{"--flag"}, {"0"}, {}, ""},
        {{"-q"}, {"?"}, {}, "Unknown option -- q\n"},
        {{"-b"}, {"?"}, {}, "Option requires an argument -- b\n"},
        {{"--nothing"}, {"?"}, {}, "Unknown option -- nothing\n"},
        {{"--ver"}, {"?"}, {}, "Ambiguous option -- ver\n"},
        {{"--alpha=1"}, {"?"}, {}, "Option doesn't take an argument -- alpha\n"},
        {{"--beta"}, {"?"}, {}, "Option requires an argument -- beta\n"},
        {{"-"}, {}, {"-"}, ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.args.empty() ? "" : r.args[0]);
        parsed p = parse(r.args);
        EXPECT_EQ(p.options, r.options);
        EXPECT_EQ(p.operands, r.operands);
        EXPECT_EQ(p.diagnostics, r.diagnostics);
    }
}

TEST(ToolOptions, PosixlyCorrectStopsAtTheFirstOperand) {
    ::setenv("POSIXLY_CORRECT", "1", 1);
    parsed p = parse({"-a", "x", "-c"});
    ::unsetenv("POSIXLY_CORRECT");
    EXPECT_EQ(p.options, std::vector<std::string>{"a"});
    EXPECT_EQ(p.operands, (std::vector<std::string>{"x", "-c"}));
}

// The opening check and the version report against the driver on a machine in this process.
class ToolDeviceOnMachine : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(m_.load_drivers(), STATUS_SUCCESS);
        sim::machine::card_options card;
        card.bus = 3;
        m_.plug(card);
        ASSERT_TRUE(m_.started(0));
        sim::win32::use_machine(&m_);
    }
    void TearDown() override {
        sim::win32::use_machine(nullptr);
        m_.stop();
        EXPECT_EQ(sim::kernel::pool_leak_report(), "");
    }
    sim::machine::Machine m_;
};

TEST_F(ToolDeviceOnMachine, OpeningCheckCloseAndVersionReport) {
    control_node* node = open_control_node(0);
    ASSERT_NE(node, nullptr) << errno;
    int slot = -1;
    EXPECT_TRUE(check_ioctl_api(node->handle, &slot));
    char version[255];
    EXPECT_EQ(query_driver_version(node->handle, version), 0);
    EXPECT_EQ(std::string(version).rfind("4.2.2.1144 Harnock@", 0), 0u);

    node->use_count = 1;
    errno = 0;
    EXPECT_EQ(close_control_node(node), -1);
    EXPECT_EQ(errno, 16) << "a node in use stays open";
    node->use_count = 0;
    EXPECT_EQ(close_control_node(node), 0);
    errno = 0;
    EXPECT_EQ(close_control_node(nullptr), -1);
    EXPECT_EQ(errno, 22);

    errno = 0;
    EXPECT_EQ(open_control_node(7), nullptr);
    EXPECT_EQ(errno, 6) << "no such card";
    HANDLE other = open_node("\\\\.\\PhysicalDrive0", _O_RDWR);
    EXPECT_EQ(other, INVALID_HANDLE_VALUE) << "opened unchanged, and there is none";

    std::string report = stderr_of([] { report_version_mismatch("milgrath.exe"); });
    EXPECT_EQ(report,
              "Error: This version of milgrath.exe is not compatible with the running driver.\n"
              "Please install a milgrath.exe that matches the driver's version.\n"
              "milgrath.exe version: 4.2.2\n"
              "Zelt driver version: 4.2.2\n");
}
