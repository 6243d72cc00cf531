// velkor-sim: boots a simulated Windows host from a state directory, loads orrimand and
// strovane, plugs in the cards and serves their control devices to other processes until it is
// told to stop (SIGINT or SIGTERM), when it powers the cards down and unloads the drivers.
// Killing it is a power cut.
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/kernel/control.h"
#include "sim/machine/machine.h"
#include "sim/machine/server.h"

namespace {

void usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s [--state DIR] [--cards N] [--boot-and-stop]\n"
                 "  --state DIR      state directory (registry, log, socket); default velkor-state\n"
                 "  --cards N        cards to plug in (buses 3, 4, ...); default 2\n"
                 "  --boot-and-stop  boot, start the cards, then stop at once\n",
                 program);
}

}  // namespace

int main(int argc, char** argv) {
    std::string state = "velkor-state";
    int cards = 2;
    bool boot_and_stop = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--state" && i + 1 < argc) {
            state = argv[++i];
        } else if (a == "--cards" && i + 1 < argc) {
            cards = std::atoi(argv[++i]);
        } else if (a == "--boot-and-stop") {
            boot_and_stop = true;
        } else if (a == "-h" || a == "--help") {
            usage(argv[0]);
            return 0;
        } else {
            usage(argv[0]);
            return 2;
        }
    }
    if (cards < 0 || cards > 16) {
        std::fprintf(stderr, "%s: --cards must be 0 to 16\n", argv[0]);
        return 2;
    }
    ::mkdir(state.c_str(), 0755);
    std::string log_path = state + "/log";
    FILE* log = std::fopen(log_path.c_str(), "a");
    if (log == nullptr) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], log_path.c_str());
        return 1;
    }
    setvbuf(log, nullptr, _IOLBF, 0);

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    sim::machine::machine_options options;
    options.state_directory = state;
    sim::machine::Machine machine(options);
    sim::kernel::set_debug_echo(log);
    NTSTATUS status = machine.load_drivers();
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "%s: loading the drivers failed (0x%08x)\n", argv[0], (unsigned)status);
        return 1;
    }
    for (int i = 0; i < cards; i++) {
        sim::machine::card_options card;
        card.bus = 3 + (ULONG)i;
        card.slot = (ULONG)i + 1;
        card.numa_node = 0;
        // Each card is an adapter of its own: its manufacturing data carries its own serials.
        sim::card::MidIdentity identity;
        identity.adapter_serial = "AD12345678" + std::to_string(90 + i);
        identity.board_serial = "BD09876543" + std::to_string(21 + i);
        card.controller.pmp = sim::card::PmpConfig::healthy(identity);
        size_t index = machine.plug(card);
        if (!NT_SUCCESS(machine.start_status(index))) {
            std::fprintf(stderr, "%s: card on bus %u did not start (0x%08x)\n", argv[0], card.bus,
                         (unsigned)machine.start_status(index));
        }
    }
    for (const std::string& line : sim::kernel::debug_texts()) {
        std::fputs(line.c_str(), stdout);
    }
    std::fflush(stdout);
    if (!boot_and_stop) {
        sim::machine::Server server(machine, state + "/machine.sock");
        if (!server.listening()) {
            std::fprintf(stderr, "%s: cannot listen on %s/machine.sock\n", argv[0], state.c_str());
        } else {
            std::printf("velkor-sim: serving %s/machine.sock (SIGINT or SIGTERM stops)\n", state.c_str());
            std::fflush(stdout);
            int signal = 0;
            sigwait(&signals, &signal);
        }
        server.stop();
    }
    sim::kernel::clear_debug_lines();
    machine.stop();
    for (const std::string& line : sim::kernel::debug_texts()) {
        std::fputs(line.c_str(), stdout);
    }
    std::string leaks = sim::kernel::pool_leak_report();
    if (!leaks.empty()) {
        std::fprintf(stderr, "%s: pool left allocated after unload:\n%s", argv[0], leaks.c_str());
        return 1;
    }
    std::printf("velkor-sim: stopped, every pool tag back to zero\n");
    sim::kernel::set_debug_echo(nullptr);
    std::fclose(log);
    return 0;
}
