// velkor-sim: boots a simulated Windows host from a state directory, loads orrimand and
// strovane, plugs in the cards and serves their control devices to other processes until it is
// told to stop (SIGINT or SIGTERM), when it powers the cards down, unloads the drivers and saves
// the registry. Killing it is a power cut: the next start says so in the log.
#include <signal.h>
#include <sys/un.h>

#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include "sim/kernel/control.h"
#include "sim/machine/machine.h"
#include "sim/machine/server.h"
#include "sim/machine/state.h"

namespace {

constexpr int most_cards = 16;
// Debug lines kept in memory while serving (every line still goes to the log).
constexpr size_t lines_kept_while_serving = 1024;

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: velkor-sim [--state DIR] [--cards N] [--boot-and-stop]\n"
                 "  --state DIR      state directory (registry, log, socket); default velkor-state\n"
                 "  --cards N        cards to plug in (buses 3, 4, ...), 0 to %d; default 2\n"
                 "  --boot-and-stop  boot, start the cards, then stop at once\n",
                 most_cards);
}

int refuse_usage(const std::string& why) {
    std::fprintf(stderr, "velkor-sim: %s\n", why.c_str());
    usage(stderr);
    return 2;
}

// A whole decimal number from 0 to `most`, nothing else.
bool parse_count(const std::string& text, int most, int* value) {
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *value = std::stoi(text);
    return *value <= most;
}

// Takes a pending SIGINT or SIGTERM, if one came.
bool stop_requested(const sigset_t& signals) {
    timespec now{};
    return sigtimedwait(&signals, nullptr, &now) > 0;
}

void print_debug_lines() {
    for (const std::string& line : sim::kernel::debug_texts()) {
        std::fputs(line.c_str(), stdout);
    }
    std::fflush(stdout);
}

// Says it on stderr and in the log.
void complain(sim::machine::StateDirectory& dir, const std::string& what) {
    std::fprintf(stderr, "velkor-sim: %s\n", what.c_str());
    dir.note(what);
}

}  // namespace

int main(int argc, char** argv) {
    // SIGINT and SIGTERM are taken by sigwait while serving, and looked for between the steps of
    // boot; until boot is done (and can be undone) they wait. A client that hangs up before its
    // reply is that connection's end, not the machine's.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::string state = "velkor-state";
    int cards = 2;
    bool boot_and_stop = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--state" || a == "--cards") {
            if (i + 1 == argc) {
                return refuse_usage(a + " needs a value");
            }
            std::string value = argv[++i];
            if (a == "--state") {
                state = value;
            } else if (!parse_count(value, most_cards, &cards)) {
                return refuse_usage("--cards must be a number from 0 to " + std::to_string(most_cards) + ", not \"" +
                                    value + "\"");
            }
        } else if (a == "--boot-and-stop") {
            boot_and_stop = true;
        } else if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else {
            return refuse_usage("unknown option \"" + a + "\"");
        }
    }
    if (state.empty()) {
        return refuse_usage("--state needs a directory");
    }
    std::string socket_path = state + "/machine.sock";
    if (!boot_and_stop && socket_path.size() >= sizeof(sockaddr_un::sun_path)) {
        std::fprintf(stderr, "velkor-sim: %s: too long for a socket address (%zu bytes, at most %zu)\n",
                     socket_path.c_str(), socket_path.size(), sizeof(sockaddr_un::sun_path) - 1);
        return 2;
    }

    std::string error;
    auto dir = sim::machine::StateDirectory::open(state, std::to_string(cards) + " cards", &error);
    if (!dir) {
        std::fprintf(stderr, "velkor-sim: %s\n", error.c_str());
        return 1;
    }

    sim::machine::machine_options options;
    options.state_directory = state;
    std::optional<sim::machine::Machine> machine;
    try {
        machine.emplace(options);
    } catch (const std::runtime_error& e) {
        complain(*dir, std::string("refusing to start: the registry does not load: ") + e.what());
        return 1;
    }
    if (!dir->mark_running(&error)) {
        complain(*dir, "refusing to start: " + error);
        return 1;
    }
    sim::kernel::set_debug_echo(dir->log());

    int result = 0;
    bool stopping = stop_requested(signals);
    if (!stopping) {
        NTSTATUS status = machine->load_drivers();
        if (!NT_SUCCESS(status)) {
            char text[64];
            std::snprintf(text, sizeof text, "loading the drivers failed (0x%08x)", (unsigned)status);
            complain(*dir, text);
            stopping = true;
            result = 1;
        }
    }
    for (int i = 0; i < cards && !stopping; i++) {
        sim::machine::card_options card;
        card.bus = 3 + (ULONG)i;
        card.slot = (ULONG)i + 1;
        card.numa_node = 0;
        // Each card is an adapter of its own: its manufacturing data carries its own serials.
        sim::card::MidIdentity identity;
        identity.adapter_serial = "AD12345678" + std::to_string(90 + i);
        identity.board_serial = "BD09876543" + std::to_string(21 + i);
        card.controller.pmp = sim::card::PmpConfig::healthy(identity);
        size_t index = machine->plug(card);
        if (!NT_SUCCESS(machine->start_status(index))) {
            std::fprintf(stderr, "velkor-sim: card on bus %u did not start (0x%08x)\n", card.bus,
                         (unsigned)machine->start_status(index));
        }
        stopping = stop_requested(signals);
    }
    print_debug_lines();
    if (stopping && result == 0) {
        std::printf("velkor-sim: stop requested during boot: stopping\n");
        dir->note("stop requested during boot");
    }
    if (!stopping && !boot_and_stop) {
        sim::kernel::clear_debug_lines();
        sim::kernel::set_debug_capture_limit(lines_kept_while_serving);
        sim::machine::Server server(*machine, socket_path);
        if (!server.listening()) {
            complain(*dir, "cannot serve: " + server.error());
            result = 1;
        } else {
            std::printf("velkor-sim: serving %s (SIGINT or SIGTERM stops)\n", socket_path.c_str());
            std::fflush(stdout);
            int signal = 0;
            sigwait(&signals, &signal);
        }
        server.stop();
        sim::kernel::set_debug_capture_limit(std::numeric_limits<size_t>::max());
    }
    sim::kernel::clear_debug_lines();
    bool saved = machine->stop(&error);
    print_debug_lines();
    sim::kernel::set_debug_echo(nullptr);
    if (!saved) {
        complain(*dir, "the registry was not saved: " + error);
        return 1;
    }
    std::string leaks = sim::kernel::pool_leak_report();
    if (!dir->mark_stopped_cleanly(&error)) {
        complain(*dir, error);
        result = 1;
    }
    if (!leaks.empty()) {
        complain(*dir, "pool left allocated after unload:\n" + leaks);
        return 1;
    }
    if (result == 0) {
        std::printf("velkor-sim: stopped, every pool tag back to zero\n");
    }
    return result;
}
