// The machine program as its users run it: velkor-sim started as a process of its own on a
// state directory of its own, reached over its socket, stopped with a signal or killed.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
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

#include "sim/machine/wire.h"
#include "sim/win32/win32.h"
#include "tests/support/child_process.h"

#ifndef VELKOR_SIM_PROGRAM
#error "VELKOR_SIM_PROGRAM names the velkor-sim program"
#endif

namespace {

void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

bool exists(const std::string& path) {
    struct stat st{};
    return ::lstat(path.c_str(), &st) == 0;
}

size_t count_of(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        n++;
    }
    return n;
}

// Under the sanitizers a boot takes seconds; these bounds only end a hung test.
constexpr int boot_seconds = 240;
constexpr int stop_seconds = 120;

class ProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char base[] = "/tmp/velkor-sim-test-XXXXXX";
        ASSERT_NE(::mkdtemp(base), nullptr);
        base_ = base;
        state_ = base_ + "/state";
        socket_ = state_ + "/machine.sock";
    }

    void TearDown() override {
        for (pid_t pid : running_) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        std::filesystem::remove_all(base_);
    }

    // Starts velkor-sim with `args`; its output goes to base/<name>.out and .err. With
    // `terminated`, SIGTERM is already waiting when it starts (as if it came during boot).
    pid_t start(const std::vector<std::string>& args, const std::string& name, bool terminated = false) {
        pid_t pid = spawn_program(VELKOR_SIM_PROGRAM, args, base_ + "/" + name + ".out", base_ + "/" + name + ".err", [&] {
            if (terminated) {
                sigset_t term;
                sigemptyset(&term);
                sigaddset(&term, SIGTERM);
                sigprocmask(SIG_BLOCK, &term, nullptr);
                ::raise(SIGTERM);
            }
        });
        running_.push_back(pid);
        return pid;
    }

    // The raw wait status, or -1 when it did not end in time (then it is killed).
    int wait_exit(pid_t pid, int seconds = stop_seconds) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        int status = 0;
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::erase(running_, pid);
        return status;
    }

    // Runs velkor-sim to its end; its exit code (-1 when it did not exit by itself).
    int run(const std::vector<std::string>& args, const std::string& name = "run") {
        int status = wait_exit(start(args, name), boot_seconds);
        return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    int stop(pid_t pid, int signal = SIGTERM) {
        ::kill(pid, signal);
        int status = wait_exit(pid);
        return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Starts a machine with one card and waits until it serves.
    pid_t start_serving(const std::string& name = "machine") {
        pid_t pid = start({"--state", state_, "--cards", "1"}, name);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(boot_seconds);
        while (output(name).find("velkor-sim: serving") == std::string::npos) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                std::erase(running_, pid);
                ADD_FAILURE() << "velkor-sim ended before it served: " << errors(name);
                return -1;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "velkor-sim did not serve in time";
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return pid;
    }

    std::string output(const std::string& name) { return read_file(base_ + "/" + name + ".out"); }
    std::string errors(const std::string& name) { return read_file(base_ + "/" + name + ".err"); }
    std::string log() { return read_file(state_ + "/log"); }

    // A raw connection to the machine's socket; -1 when there is none.
    int connect_raw() {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socket_.c_str(), sizeof address.sun_path - 1);
        if (::connect(fd, (sockaddr*)&address, sizeof address) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

    static sim::machine::wire::request open_request() {
        sim::machine::wire::request r{};
        r.op = sim::machine::wire::open_device;
        std::strcpy(r.name, "\\\\.\\dov0");
        return r;
    }

    // The machine answers: the card's control device opens and closes through the socket.
    bool serves() {
        sim::win32::use_socket(socket_);
        HANDLE h = CreateFileA("\\\\.\\dov0", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        return h != INVALID_HANDLE_VALUE && CloseHandle(h);
    }

    std::string base_;
    std::string state_;
    std::string socket_;
    std::vector<pid_t> running_;
};

// "2025-03-14 15:09:26.535 " at the start of a log line.
constexpr size_t stamp_length = 24;
bool stamped(const std::string& line) {
    const char* shape = "dddd-dd-dd dd:dd:dd.ddd ";
    if (line.size() < stamp_length) {
        return false;
    }
    for (size_t i = 0; i < stamp_length; i++) {
        if (shape[i] == 'd' ? !std::isdigit((unsigned char)line[i]) : line[i] != shape[i]) {
            return false;
        }
    }
    return true;
}

// The mapped areas of a process (each thread stack kept is one more, with its guard page).
size_t mappings(pid_t pid) {
    std::string maps = read_file("/proc/" + std::to_string(pid) + "/maps");
    return (size_t)std::count(maps.begin(), maps.end(), '\n');
}

TEST_F(ProgramTest, AClientThatHangsUpBeforeItsReplyEndsOnlyItsConnection) {
    pid_t machine = start_serving();
    ASSERT_GT(machine, 0);
    sim::machine::wire::request r = open_request();
    for (int i = 0; i < 100; i++) {
        int fd = connect_raw();
        ASSERT_GE(fd, 0) << "the machine went away after " << i << " clients: " << errors("machine");
        if (i % 2 == 0) {
            // Shut for reading first, so the reply surely finds no reader; wait for the machine
            // to close its end after its write failed.
            ::shutdown(fd, SHUT_RD);
            ASSERT_EQ(::send(fd, &r, sizeof r, MSG_NOSIGNAL), (ssize_t)sizeof r);
            pollfd p{fd, 0, 0};  // POLLHUP: both directions shut
            ASSERT_EQ(::poll(&p, 1, stop_seconds * 1000), 1);
        } else {
            // As a user's client does it: ask, then hang up at once.
            ASSERT_EQ(::send(fd, &r, sizeof r, MSG_NOSIGNAL), (ssize_t)sizeof r);
        }
        ::close(fd);
    }
    EXPECT_TRUE(serves());
    EXPECT_EQ(stop(machine), 0) << errors("machine");
    EXPECT_FALSE(exists(socket_)) << "the socket goes with the machine";
    EXPECT_NE(log().find("run stopped cleanly"), std::string::npos);
    EXPECT_TRUE(exists(state_ + "/registry.txt"));
}

// Each connection's thread ends with it: many short ones leave the machine as it was.
TEST_F(ProgramTest, ClosedConnectionsCostNothing) {
    pid_t machine = start_serving();
    ASSERT_GT(machine, 0);
    ASSERT_TRUE(serves());
    size_t before = mappings(machine);
    const int connections = 3000;
    sim::machine::wire::request r = open_request();
    for (int i = 0; i < connections; i++) {
        int fd = connect_raw();
        ASSERT_GE(fd, 0) << "connection " << i;
        sim::machine::wire::reply out{};
        ASSERT_EQ(::send(fd, &r, sizeof r, MSG_NOSIGNAL), (ssize_t)sizeof r);
        ASSERT_EQ(::recv(fd, &out, sizeof out, MSG_WAITALL), (ssize_t)sizeof out) << "connection " << i;
        ASSERT_EQ(out.status, 0);
        ::close(fd);  // the handle it opened is closed with it
    }
    EXPECT_TRUE(serves());
    size_t after = mappings(machine);
    // A thread kept would keep its stack and guard page: two areas per connection. The
    // sanitizers' own allocators map a few more as they go.
    EXPECT_LT(after, before + connections / 8) << "mapped areas grew from " << before << " to " << after << " over "
                                               << connections << " closed connections";
    EXPECT_EQ(stop(machine), 0) << errors("machine");
}

// A registry that cannot be read whole stops the start with the file and line; the file stays
// as it is for the user to mend, and the next start with it mended keeps its values.
TEST_F(ProgramTest, ARegistryThatDoesNotLoadIsRefusedAndKept) {
    ASSERT_EQ(::mkdir(state_.c_str(), 0755), 0);
    const std::string registry = state_ + "/registry.txt";
    const std::string good = "[\\Registry\\Machine\\Kept]\n\"Mine\"=dword:00000005\n";
    struct bad_file {
        std::string text;
        std::string where;
    };
    const bad_file cases[] = {
        {good + "\"Broken\"=dword:zz\n", registry + ":3: bad value data"},
        {good + "\"Cut\"=dword:0000", registry + ":3: the line has no end: the file is cut off"},
        {"# velkor registry 2\n" + good, registry + ":3: no \"# end of registry\" line: the file is cut off"},
    };
    for (const bad_file& c : cases) {
        write_file(registry, c.text);
        EXPECT_EQ(run({"--state", state_, "--cards", "0", "--boot-and-stop"}), 1);
        EXPECT_NE(errors("run").find("refusing to start: the registry does not load: " + c.where), std::string::npos)
            << errors("run");
        EXPECT_EQ(read_file(registry), c.text) << "the user's file is left as it was";
    }
    EXPECT_NE(log().find("refusing to start: the registry does not load: " + cases[0].where), std::string::npos);

    write_file(registry, good);
    EXPECT_EQ(run({"--state", state_, "--cards", "0", "--boot-and-stop"}), 0) << errors("run");
    std::string saved = read_file(registry);
    EXPECT_NE(saved.find(good), std::string::npos) << saved;
    EXPECT_EQ(saved.substr(saved.size() - 18), "# end of registry\n");
    EXPECT_FALSE(exists(registry + ".tmp"));
}

// A save that fails is an error of the stop: non-zero, said, the old file kept, and the next
// start says the run did not end cleanly.
TEST_F(ProgramTest, AFailedSaveExitsNonZeroAndKeepsTheOldFile) {
    ASSERT_EQ(run({"--state", state_, "--cards", "0", "--boot-and-stop"}), 0) << errors("run");
    const std::string registry = state_ + "/registry.txt";
    std::string before = read_file(registry);
    ASSERT_EQ(::mkdir((registry + ".tmp").c_str(), 0755), 0);  // where the new file would be written
    EXPECT_EQ(run({"--state", state_, "--cards", "0", "--boot-and-stop"}), 1);
    EXPECT_NE(errors("run").find("the registry was not saved: cannot create " + registry + ".tmp"), std::string::npos)
        << errors("run");
    EXPECT_EQ(read_file(registry), before);
    ASSERT_EQ(::rmdir((registry + ".tmp").c_str()), 0);
    EXPECT_EQ(run({"--state", state_, "--cards", "0", "--boot-and-stop"}), 0) << errors("run");
    EXPECT_NE(log().find("previous run did not stop cleanly"), std::string::npos) << log();
}

// SIGTERM waiting when boot begins: boot stops at its next step and the machine stops in
// order, a large registry saved whole.
TEST_F(ProgramTest, ASignalDuringBootLeadsToAnOrderlyStop) {
    ASSERT_EQ(::mkdir(state_.c_str(), 0755), 0);
    const int values = 100000;
    {
        std::ofstream out(state_ + "/registry.txt", std::ios::binary);
        out << "[\\Registry\\Machine\\Many]\n";
        for (int i = 0; i < values; i++) {
            out << "\"V" << i << "\"=dword:00000001\n";
        }
    }
    int status = wait_exit(start({"--state", state_, "--cards", "2"}, "run", true), boot_seconds);
    ASSERT_TRUE(status != -1 && WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << errors("run");
    EXPECT_NE(output("run").find("velkor-sim: stop requested during boot: stopping"), std::string::npos);
    EXPECT_EQ(output("run").find("dov0 at"), std::string::npos) << "no card was started";
    EXPECT_FALSE(exists(socket_));
    EXPECT_EQ(count_of(read_file(state_ + "/registry.txt"), "=dword:00000001\n"), (size_t)values);
    EXPECT_NE(log().find("run stopped cleanly"), std::string::npos);
}

// The state directory is the running machine's: a second machine on it refuses to start and
// leaves the socket, the log, the registry and the lock of the first as they are.
TEST_F(ProgramTest, ASecondMachineOnTheSameStateDirectoryRefusesAndTouchesNothing) {
    pid_t first = start_serving("first");
    ASSERT_GT(first, 0);
    struct stat socket_before{};
    ASSERT_EQ(::stat(socket_.c_str(), &socket_before), 0);
    write_file(state_ + "/registry.txt", "[\\Registry\\Machine\\X]\n");
    std::string log_before = log();
    std::string lock_before = read_file(state_ + "/lock");
    for (const char* mode : {"--cards", "--boot-and-stop"}) {
        std::vector<std::string> args{"--state", state_};
        if (std::string(mode) == "--cards") {
            args.insert(args.end(), {"--cards", "1"});
        } else {
            args.push_back(mode);
        }
        EXPECT_EQ(run(args, "second"), 1);
        EXPECT_NE(errors("second").find(state_ + " is in use by another machine (running since "), std::string::npos)
            << errors("second");
        EXPECT_NE(errors("second").find("(pid " + std::to_string(first) + ")"), std::string::npos) << errors("second");
        EXPECT_EQ(output("second"), "");
    }
    struct stat socket_after{};
    ASSERT_EQ(::stat(socket_.c_str(), &socket_after), 0);
    EXPECT_EQ(socket_after.st_ino, socket_before.st_ino) << "the first machine's socket is still there";
    EXPECT_EQ(log(), log_before);
    EXPECT_EQ(read_file(state_ + "/registry.txt"), "[\\Registry\\Machine\\X]\n");
    EXPECT_EQ(read_file(state_ + "/lock"), lock_before);
    EXPECT_TRUE(serves());
    EXPECT_EQ(stop(first), 0) << errors("first");
}

TEST_F(ProgramTest, CommandLineMistakesAreRefusedBeforeAnythingIsMade) {
    const std::string long_state = base_ + "/" + std::string(120, 'd');
    struct mistake {
        std::vector<std::string> args;
        std::string message;
    };
    const mistake cases[] = {
        {{"--cards", "abc"}, "--cards must be a number from 0 to 16, not \"abc\""},
        {{"--cards", "2x"}, "--cards must be a number from 0 to 16, not \"2x\""},
        {{"--cards", "-1"}, "--cards must be a number from 0 to 16"},
        {{"--cards", "17"}, "--cards must be a number from 0 to 16"},
        {{"--cards", "99999999999999999999"}, "--cards must be a number from 0 to 16"},
        {{"--cards", ""}, "--cards must be a number from 0 to 16"},
        {{"--cards"}, "--cards needs a value"},
        {{"--state", ""}, "--state needs a directory"},
        {{"--bogus"}, "unknown option \"--bogus\""},
        {{"--state", long_state}, long_state + "/machine.sock: too long for a socket address"},
    };
    for (const mistake& m : cases) {
        std::vector<std::string> args = m.args;
        if (m.args[0] != "--state") {
            args.insert(args.begin(), {"--state", state_});
        }
        EXPECT_EQ(run(args), 2) << m.message;
        EXPECT_NE(errors("run").find("velkor-sim: " + m.message), std::string::npos) << errors("run");
        EXPECT_FALSE(exists(state_));
        EXPECT_FALSE(exists(long_state));
    }
}

// Where the machine cannot listen it says why and exits non-zero, after an orderly stop.
TEST_F(ProgramTest, AFailureToListenExitsNonZero) {
    ASSERT_EQ(::mkdir(state_.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(socket_.c_str(), 0755), 0);  // something that is not a socket is in the way
    EXPECT_EQ(run({"--state", state_, "--cards", "1"}), 1);
    EXPECT_NE(errors("run").find("velkor-sim: cannot serve: cannot listen on " + socket_), std::string::npos)
        << errors("run");
    struct stat st{};
    EXPECT_EQ(::stat(socket_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << "what was in the way is left alone";
    EXPECT_TRUE(exists(state_ + "/registry.txt")) << "the stop saved the registry";
}

// Every line of the log carries its time; each run begins with a mark and says how the one
// before it ended.
TEST_F(ProgramTest, TheLogMarksEachRunAndHowThePreviousOneEnded) {
    ASSERT_EQ(run({"--state", state_, "--cards", "1", "--boot-and-stop"}), 0) << errors("run");
    ASSERT_EQ(run({"--state", state_, "--cards", "1", "--boot-and-stop"}), 0) << errors("run");
    pid_t killed = start_serving();
    ASSERT_GT(killed, 0);
    stop(killed, SIGKILL);  // a power cut
    ASSERT_EQ(run({"--state", state_, "--cards", "1", "--boot-and-stop"}), 0) << errors("run");

    std::string text = log();
    std::istringstream lines(text);
    std::string line;
    std::vector<std::string> marks;
    for (int n = 1; std::getline(lines, line); n++) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();  // a driver line ended "\r\n"
        }
        ASSERT_TRUE(stamped(line)) << "line " << n << ": " << line;
        for (const char* mark : {"==== run began", "previous run stopped cleanly", "previous run did not stop cleanly",
                                 "run stopped cleanly"}) {
            if (line.compare(stamp_length, std::strlen(mark), mark) == 0) {
                marks.push_back(mark);
            }
        }
    }
    EXPECT_EQ(marks, (std::vector<std::string>{
                         "==== run began", "run stopped cleanly",                                  //
                         "==== run began", "previous run stopped cleanly", "run stopped cleanly",  //
                         "==== run began", "previous run stopped cleanly",                         //
                         "==== run began", "previous run did not stop cleanly", "run stopped cleanly",
                     }))
        << text;
    EXPECT_NE(text.find("previous run did not stop cleanly (killed, crashed or a power cut): it was running since "),
              std::string::npos);
    EXPECT_EQ(count_of(text, "dov0 at 0000:03:00.0\n"), 4u);
}

}  // namespace
