// Where the host's processor time goes during a benchmark's timed part, cheaply enough to leave
// on in every run:
//   - context switches of the whole process (voluntary: a thread waited; involuntary: a thread
//     was preempted), from getrusage, per operation;
//   - the share of the process's processor time spent in the driver's own code, by sampling:
//     a process processor-time timer (every 250 µs of processor time used by any thread, at the
//     host's tick granularity) signals the thread that used it, which notes whether the
//     instruction it was stopped at lies in the driver's code. The driver's code is the text of
//     the strovane library, which bench/driver_text.ld gathers into one range of the program.
//     Samples of an excluded thread (the card model's engine: the card's work is not the host's)
//     are left out of both counts. Time in the host kernel is sampled at the instruction it
//     returns to, so a system call counts for the code that made it;
//   - each thread's processor time (/proc/self/task/*/schedstat, in nanoseconds), by the name
//     the stand-in gives its threads ("sim-cpu0", "sim-thread", "card-engine", ...), to find the
//     one thread that bounds a rate.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace bench {

struct switch_count {
    int64_t voluntary = 0;
    int64_t involuntary = 0;
};
// The process's switches so far (every thread, live or ended).
switch_count switches_now();
switch_count operator-(const switch_count& a, const switch_count& b);

// One sampler at a time for the program.
class code_sampler {
  public:
    // `excluded(context)`, called in the signal handler on the sampled thread, says whether its
    // samples are left out (it must be async-signal-safe; `context` must outlive the sampler).
    explicit code_sampler(bool (*excluded)(void* context) = nullptr, void* context = nullptr);
    ~code_sampler();
    code_sampler(const code_sampler&) = delete;
    code_sampler& operator=(const code_sampler&) = delete;

    // Counting on (resume) and off (pause); counts add up across the periods.
    void resume();
    void pause();

    uint64_t samples() const;         // samples counted (the excluded thread's left out)
    uint64_t driver_samples() const;  // of which in the driver's code
    // driver_samples / samples, 0 without samples.
    double driver_share() const;

  private:
    void* timer_ = nullptr;
    bool armed_ = false;
};

// Whether the driver's code range was found in this program (false: driver_share stays 0).
bool driver_text_known();

// Processor time of each live thread of the process, in seconds, by thread id.
struct thread_time {
    std::string name;
    double seconds = 0;
};
using thread_times = std::map<long, thread_time>;
thread_times thread_times_now();
// Adds what each thread used from `before` to `after` into `sum` (a thread born in between counts
// from 0).
void add_thread_times(thread_times& sum, const thread_times& before, const thread_times& after);
// The thread of `sum` that used the most.
thread_time busiest(const thread_times& sum);

}  // namespace bench
