#include "bench/host_cost.h"

#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <ucontext.h>

#include <dirent.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>

// Bounds of the driver's code, placed by bench/driver_text.ld.
extern "C" const char velkor_driver_text_begin[];
extern "C" const char velkor_driver_text_end[];

namespace bench {
namespace {

constexpr long sample_interval_ns = 250000;

std::atomic<bool> counting{false};
std::atomic<uint64_t> all_samples{0};
std::atomic<uint64_t> in_driver{0};
std::atomic<bool (*)(void*)> excluded_thread{nullptr};
std::atomic<void*> excluded_context{nullptr};
std::atomic<bool> sampler_live{false};

void on_sample(int, siginfo_t*, void* context) {
    if (!counting.load(std::memory_order_relaxed)) {
        return;
    }
    bool (*excluded)(void*) = excluded_thread.load(std::memory_order_acquire);
    if (excluded != nullptr && excluded(excluded_context.load(std::memory_order_acquire))) {
        return;
    }
    auto* uc = (ucontext_t*)context;
    auto pc = (uintptr_t)uc->uc_mcontext.gregs[REG_RIP];
    all_samples.fetch_add(1, std::memory_order_relaxed);
    if (pc >= (uintptr_t)velkor_driver_text_begin && pc < (uintptr_t)velkor_driver_text_end) {
        in_driver.fetch_add(1, std::memory_order_relaxed);
    }
}

}  // namespace

switch_count switches_now() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return {u.ru_nvcsw, u.ru_nivcsw};
}

switch_count operator-(const switch_count& a, const switch_count& b) {
    return {a.voluntary - b.voluntary, a.involuntary - b.involuntary};
}

bool driver_text_known() {
    return (uintptr_t)velkor_driver_text_end > (uintptr_t)velkor_driver_text_begin;
}

code_sampler::code_sampler(bool (*excluded)(void* context), void* context) {
    if (sampler_live.exchange(true)) {
        std::fprintf(stderr, "bench: a second code sampler\n");
        std::abort();
    }
    all_samples = 0;
    in_driver = 0;
    excluded_context = context;
    excluded_thread = excluded;
    struct sigaction action {};
    action.sa_sigaction = on_sample;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGPROF, &action, nullptr);
    sigevent event{};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = SIGPROF;
    timer_t timer;
    if (timer_create(CLOCK_PROCESS_CPUTIME_ID, &event, &timer) == 0) {
        timer_ = new timer_t(timer);
    }
}

code_sampler::~code_sampler() {
    pause();
    if (timer_ != nullptr) {
        timer_delete(*(timer_t*)timer_);
        delete (timer_t*)timer_;
    }
    // A signal already on its way finds the handler still there, counting off.
    excluded_thread = nullptr;
    excluded_context = nullptr;
    sampler_live = false;
}

void code_sampler::resume() {
    counting = true;
    if (timer_ != nullptr && !armed_) {
        itimerspec every{};
        every.it_interval.tv_nsec = sample_interval_ns;
        every.it_value.tv_nsec = sample_interval_ns;
        timer_settime(*(timer_t*)timer_, 0, &every, nullptr);
        armed_ = true;
    }
}

void code_sampler::pause() {
    counting = false;
    if (timer_ != nullptr && armed_) {
        itimerspec off{};
        timer_settime(*(timer_t*)timer_, 0, &off, nullptr);
        armed_ = false;
    }
}

thread_times thread_times_now() {
    thread_times all;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) {
        return all;
    }
    while (dirent* e = readdir(tasks)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') {
            continue;
        }
        std::string dir = std::string("/proc/self/task/") + e->d_name;
        std::ifstream stat(dir + "/schedstat");
        std::ifstream comm(dir + "/comm");
        uint64_t ns = 0;
        thread_time t;
        if (!(stat >> ns)) {
            continue;
        }
        std::getline(comm, t.name);
        t.seconds = (double)ns * 1e-9;
        all[std::strtol(e->d_name, nullptr, 10)] = t;
    }
    closedir(tasks);
    return all;
}

void add_thread_times(thread_times& sum, const thread_times& before, const thread_times& after) {
    for (const auto& [tid, t] : after) {
        auto earlier = before.find(tid);
        thread_time& s = sum[tid];
        s.name = t.name;
        s.seconds += t.seconds - (earlier != before.end() ? earlier->second.seconds : 0);
    }
}

thread_time busiest(const thread_times& sum) {
    thread_time most;
    for (const auto& [tid, t] : sum) {
        if (t.seconds > most.seconds) {
            most = t;
        }
    }
    return most;
}

uint64_t code_sampler::samples() const {
    return all_samples.load();
}

uint64_t code_sampler::driver_samples() const {
    return in_driver.load();
}

double code_sampler::driver_share() const {
    uint64_t n = samples();
    return n > 0 ? (double)driver_samples() / (double)n : 0;
}

}  // namespace bench
