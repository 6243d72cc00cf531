// The machine program's state directory. The machine running on it holds the lock on its file
// "lock", so a second machine on the same directory refuses to start and touches nothing. The
// lock file also says whether the last run stopped cleanly: "running ..." from the start of a
// run until its orderly stop writes "stopped cleanly ...". The log ("log") gets the local date
// and time at the start of each line and a mark at the start of each run.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace sim::machine {

class StateDirectory {
  public:
    // Makes the directory if needed, takes its lock, opens the log and marks the run's start in
    // it ("==== run began ...", then what the lock file says of the previous run). nullptr with
    // `error` set when it cannot (another machine holds it, or the directory or its files cannot
    // be made).
    static std::unique_ptr<StateDirectory> open(const std::string& path, const std::string& run_description,
                                                std::string* error);
    ~StateDirectory();  // closes the log and lets the lock go
    StateDirectory(const StateDirectory&) = delete;
    StateDirectory& operator=(const StateDirectory&) = delete;

    const std::string& path() const { return path_; }
    // Line buffered; every line written is stamped.
    FILE* log() const { return log_; }
    // A line in the log; the machine's messages to the user go there too.
    void note(const std::string& line);
    // From here a stop that is not orderly shows at the next start.
    bool mark_running(std::string* error);
    // The orderly stop is complete (the registry is saved).
    bool mark_stopped_cleanly(std::string* error);

  private:
    StateDirectory() = default;
    bool write_lock_file(const std::string& text, std::string* error);

    std::string path_;
    int lock_fd_ = -1;
    FILE* log_ = nullptr;
};

// The local date and time, "2025-03-14 15:09:26.535".
std::string local_time_text();

}  // namespace sim::machine
