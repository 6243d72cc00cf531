// kandrel as its users run it. Against velkor-sim, each a process of its own: the driver's tree
// listed, read and refused, the card's tree (a card in minimal mode has none), a card or a
// machine that is not there, and its command line. In this process, against nodes a test adds to
// the driver's tree: numbers set and read back, values that do not fit, text with NULs, listings
// below the root.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "driver/platform/kinfo.h"
#include "driver/shell/shell.h"
#include "sim/kernel/control.h"
#include "sim/machine/machine.h"
#include "sim/win32/win32.h"
#include "tests/support/channel_on_machine.h"
#include "tests/support/child_process.h"
#include "tools/kandrel/kandrel.h"

#ifndef VELKOR_SIM_PROGRAM
#error "VELKOR_SIM_PROGRAM names the velkor-sim program"
#endif
#ifndef KANDREL_PROGRAM
#error "KANDREL_PROGRAM names the kandrel program"
#endif

namespace {

struct outcome {
    int status;
    std::string out;
    std::string err;
};

const std::string dashes(79, '-');
const std::string usage_head = "Tavrin kinfo utility (v";

class KandrelProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char base[] = "/tmp/velkor-kandrel-test-XXXXXX";
        ASSERT_NE(::mkdtemp(base), nullptr);
        base_ = base;
        socket_ = base_ + "/state/machine.sock";
    }
    void TearDown() override {
        if (machine_ > 0) {
            ::kill(machine_, SIGTERM);
            int status = 0;
            ::waitpid(machine_, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << read_file(base_ + "/machine.err");
        }
        std::filesystem::remove_all(base_);
    }

    void start_machine() {
        machine_ = spawn_program(VELKOR_SIM_PROGRAM, {"--state", base_ + "/state", "--cards", "1"},
                                 base_ + "/machine.out", base_ + "/machine.err");
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(240);
        while (read_file(base_ + "/machine.out").find("velkor-sim: serving") == std::string::npos) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "velkor-sim did not serve";
            int status = 0;
            ASSERT_EQ(::waitpid(machine_, &status, WNOHANG), 0) << read_file(base_ + "/machine.err");
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    // Runs kandrel with `args` as a process of its own, reaching the machine by its socket.
    outcome run(const std::vector<std::string>& args) {
        static int n = 0;
        std::string out = base_ + "/kandrel" + std::to_string(++n) + ".out";
        std::string err = base_ + "/kandrel" + std::to_string(n) + ".err";
        pid_t pid = spawn_program(KANDREL_PROGRAM, args, out, err,
                                  [&] { ::setenv("VELKOR_SIM_SOCKET", socket_.c_str(), 1); });
        int status = 0;
        ::waitpid(pid, &status, 0);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(out), read_file(err)};
    }

    std::string base_;
    std::string socket_;
    pid_t machine_ = -1;
};

}  // namespace

TEST_F(KandrelProgramTest, AgainstARunningMachine) {
    start_machine();
    ASSERT_FALSE(HasFatalFailure());
    outcome version = run({"-d", "/dev/dov0", "version"});
    ASSERT_EQ(version.status, 0) << version.err;
    ASSERT_EQ(version.out.rfind("4.2.2.1144 Harnock@", 0), 0u) << version.out;
    const std::string text = version.out;  // the text node's own line end

    struct row {
        const char* what;
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err;
    };
    const row rows[] = {
        {"the driver's tree", {"-d", "/dev/dov0"}, 0, "version\n", ""},
        {"options after the operands", {"/dev/dov0", "-d"}, 0, "version\n", ""},
        {"a long option's prefix", {"--driver", "\\\\.\\dov0"}, 0, "version\n", ""},
        {"listed with values", {"-d", "-i", "/dev/dov0"}, 0, dashes + "\nversion\n" + text, ""},
        {"verbose", {"-V", "-d", "/dev/dov0", "version"}, 0,
         "version R TEXT\nsize=" + std::to_string(text.size()) + "\nmode=292\n" + text, ""},
        {"a read-only node", {"-d", "/dev/dov0", "version", "5"}, 4, "",
         "Error: the kinfo query failed with error code 1\nOperation is not permitted.\n"},
        {"an unknown node", {"-d", "/dev/dov0", "no/such/node"}, 3, "",
         "Error: the kinfo query failed with error code 2\nThe device does not exist.\n"},
        {"the card's tree: none in minimal mode", {"/dev/dov0"}, 3, "",
         "Error: the kinfo query failed with error code 2\nThe device does not exist.\n"},
        {"no such card", {"/dev/dov7"}, 3, "",
         "Error: the kinfo query failed with error code 6\nThe device does not exist.\n"},
        {"a key of 256 characters", {"-d", "/dev/dov0", std::string(256, 'k')}, 1, "",
         "Error: the kinfo query failed with error code 7\n"},
        {"the build tag", {"-v"}, 0, "", ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        outcome o = run(r.args);
        EXPECT_EQ(o.status, r.status);
        if (r.args[0] != "-v") {
            EXPECT_EQ(o.out, r.out);
        } else {
            EXPECT_EQ(o.out.rfind("4.2.2.1144 Harnock@", 0), 0u);
            EXPECT_EQ(o.out.size(), 32u);
        }
        EXPECT_EQ(o.err, r.err);
    }
}

TEST_F(KandrelProgramTest, CommandLineAndNoMachine) {
    outcome help = run({"-h"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind(usage_head, 0), 0u);
    EXPECT_NE(help.out.find("usage: kandrel <device> [<kinfo key>] [<value>]\n"), std::string::npos);
    EXPECT_EQ(help.err, "");
    outcome none = run({});
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, help.out) << "the usage, on standard error";
    outcome bad = run({"-q", "/dev/dov0"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.err, "Unknown option -- q\n" + help.out);
    outcome ambiguous = run({"--ver", "/dev/dov0"});
    EXPECT_EQ(ambiguous.status, 2);
    EXPECT_EQ(ambiguous.err, "Ambiguous option -- ver\n" + help.out);
    // No machine runs: the control device cannot be reached.
    outcome away = run({"-d", "/dev/dov0"});
    EXPECT_EQ(away.status, 1);
    EXPECT_EQ(away.err, "Error: the kinfo query failed with error code 5\n");
}

namespace {

ULONG u32 = 7;
LONG i32 = -3;
ULONG64 u64 = 1;
ULONG read_only = 42;

// Text with NUL bytes in it (printing stops at a NUL: they are put in afterwards).
int show_blob(void*, ULONG, kinfo_seq* seq) {
    ULONG64 start = seq->used;
    kinfo_seq_printf(seq, "one_two_");
    for (ULONG64 i = start; i < seq->used; i++) {
        if (seq->buffer[i] == '_') {
            seq->buffer[i] = 0;
        }
    }
    return 0;
}

// kandrel in this process, against a machine in this process: standard output and error
// captured.
class KandrelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(m_.load_drivers(), STATUS_SUCCESS);
        sim::machine::card_options card;
        card.bus = 3;
        m_.plug(card);
        ASSERT_TRUE(m_.started(0));
        sim::win32::use_machine(&m_);
        kinfo_node* root = pav_driver_kinfo_root();
        ASSERT_EQ(kinfo_create_dir(root, "test", &dir_), 0);
        kinfo_node* deep = nullptr;
        ASSERT_EQ(kinfo_create_dir(dir_, "deep", &deep), 0);
        ASSERT_EQ(kinfo_create_value(dir_, KINFO_UINT32, "u32", KINFO_MODE_RW, &u32, 4, nullptr), 0);
        ASSERT_EQ(kinfo_create_value(dir_, KINFO_INT32, "i32", KINFO_MODE_RW, &i32, 4, nullptr), 0);
        ASSERT_EQ(kinfo_create_value(deep, KINFO_UINT64, "u64", KINFO_MODE_RW, &u64, 8, nullptr), 0);
        ASSERT_EQ(kinfo_create_value(dir_, KINFO_UINT32, "ro", KINFO_MODE_RO, &read_only, 4, nullptr), 0);
        ASSERT_EQ(kinfo_create_text(dir_, "blob", nullptr, show_blob, nullptr), 0);
    }
    void TearDown() override {
        kinfo_remove(&dir_);
        sim::win32::use_machine(nullptr);
        m_.stop();
        EXPECT_EQ(sim::kernel::pool_leak_report(), "");
    }

    outcome run(std::vector<std::string> args) {
        args.insert(args.begin(), "kandrel");
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        std::fflush(stdout);
        std::fflush(stderr);
        char out_path[] = "/tmp/velkor-kandrel-out-XXXXXX";
        char err_path[] = "/tmp/velkor-kandrel-err-XXXXXX";
        int out = ::mkstemp(out_path);
        int err = ::mkstemp(err_path);
        int saved_out = ::dup(1);
        int saved_err = ::dup(2);
        ::dup2(out, 1);
        ::dup2(err, 2);
        int status = kandrel_main((int)args.size(), argv.data());
        std::fflush(stdout);
        std::fflush(stderr);
        ::dup2(saved_out, 1);
        ::dup2(saved_err, 2);
        ::close(saved_out);
        ::close(saved_err);
        ::close(out);
        ::close(err);
        outcome o{status, read_file(out_path), read_file(err_path)};
        ::unlink(out_path);
        ::unlink(err_path);
        return o;
    }

    sim::machine::Machine m_;
    kinfo_node* dir_ = nullptr;
};

}  // namespace

TEST_F(KandrelTest, NumbersAreSetAndReadBack) {
    struct row {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err;
    };
    const std::string refused = "Error: the kinfo query failed with error code 22\n";
    const row rows[] = {
        {{"-d", "/dev/dov0", "test/u32"}, 0, "7\n", ""},
        {{"-d", "/dev/dov0", "test/u32", "0x10"}, 0, "16\n", ""},
        {{"-d", "/dev/dov0", "test.u32"}, 0, "16\n", ""},
        {{"-d", "-x", "/dev/dov0", "test/u32"}, 0, "0x10\n", ""},
        {{"-d", "/dev/dov0", "test/u32", "4294967295"}, 0, "4294967295\n", ""},
        {{"-d", "/dev/dov0", "test/u32", "4294967296"}, 1, "", refused},  // does not fit
        {{"-d", "--", "/dev/dov0", "test/u32", "-1"}, 1, "", refused},  // "--": "-1" is no option
        {{"-d", "/dev/dov0", "test/u32", "zero"}, 0, "4294967295\n", ""},  // no digits: a read
        {{"-d", "--", "/dev/dov0", "test/i32", "-5"}, 0, "-5\n", ""},
        {{"-d", "-x", "/dev/dov0", "test/i32"}, 0, "0xfffffffb\n", ""},
        {{"-d", "--", "/dev/dov0", "test/i32", "-2147483649"}, 1, "", refused},
        {{"-d", "/dev/dov0", "test/deep/u64", "18446744073709551615"}, 0, "18446744073709551615\n", ""},
        {{"-d", "/dev/dov0", "test/deep/u64", "18446744073709551616"}, 1, "", refused},
        {{"-d", "-V", "/dev/dov0", "test/deep/u64", "0X20"}, 0, "test/deep/u64 RW UINT64\nsize=8\nmode=420\n32\n", ""},
        {{"-d", "/dev/dov0", "test/ro", "1"}, 4, "",
         "Error: the kinfo query failed with error code 1\nOperation is not permitted.\n"},
        {{"-d", "/dev/dov0", "test/blob", "1"}, 4, "",
         "Error: the kinfo query failed with error code 1\nOperation is not permitted.\n"},
    };
    for (const row& r : rows) {
        std::string trace;
        for (const std::string& a : r.args) {
            trace += a + " ";
        }
        SCOPED_TRACE(trace);
        outcome o = run(r.args);
        EXPECT_EQ(o.status, r.status);
        EXPECT_EQ(o.out, r.out);
        EXPECT_EQ(o.err, r.err);
    }
    EXPECT_EQ(u32, 4294967295u);
    EXPECT_EQ(i32, -5);
    EXPECT_EQ(u64, 32u);
    EXPECT_EQ(read_only, 42u);
}

TEST_F(KandrelTest, TextListingsAndBinaryOutput) {
    outcome text = run({"-d", "/dev/dov0", "test/blob"});
    EXPECT_EQ(text.status, 0);
    EXPECT_EQ(text.out, "one\ntwo\n");
    outcome binary = run({"-d", "-b", "/dev/dov0", "test/blob"});
    EXPECT_EQ(binary.out, std::string("one\0two\0", 8));

    // A directory lists its leaves below it, with "/" between components.
    outcome listing = run({"-d", "/dev/dov0", "test"});
    EXPECT_EQ(listing.out, "deep/u64\nu32\ni32\nro\nblob\n");
    // With -i each leaf is read from below the listed key.
    u32 = 9;
    outcome info = run({"-d", "-i", "/dev/dov0", "test"});
    EXPECT_EQ(info.status, 0);
    EXPECT_EQ(info.out, dashes + "\ndeep/u64\n" + std::to_string(u64) + "\n" + dashes + "\nu32\n9\n" + dashes +
                            "\ni32\n" + std::to_string(i32) + "\n" + dashes + "\nro\n42\n" + dashes + "\nblob\none\ntwo\n");
}

// With its channel running the card has a kinfo directory of its own, which kandrel reaches
// without -d.
TEST_F(KandrelTest, TheCardsOwnTree) {
    pipeline_device* card = PavGetFdoContext(m_.function_device(0))->card;
    ASSERT_NO_FATAL_FAILURE(run_card_channel(card));
    outcome listing = run({"/dev/dov0"});
    EXPECT_EQ(listing.status, 0) << listing.err;
    EXPECT_EQ(listing.out.rfind("nand_dev/bus_id\nnand_dev/channels/0/client\n", 0), 0u) << listing.out;
    outcome bus = run({"-V", "/dev/dov0", "nand_dev/bus_id"});
    EXPECT_EQ(bus.out, "nand_dev/bus_id R TEXT\nsize=13\nmode=292\n0000:03:00.0\n");
    outcome geometry = run({"/dev/dov0", "nand_dev.channels.0"});
    EXPECT_NE(geometry.out.find("geom/"), std::string::npos) << geometry.out;
}
