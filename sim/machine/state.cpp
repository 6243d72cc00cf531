#include "sim/machine/state.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include "sim/machine/fd_io.h"

namespace sim::machine {
namespace {

// The log's stream: the time goes in front of every line, whoever writes it (the machine's
// own marks, or the kernel's debug print echoed there).
struct stamped_log {
    int fd;
    bool line_start = true;
};

ssize_t stamped_write(void* cookie, const char* data, size_t size) {
    auto* log = (stamped_log*)cookie;
    std::string out;
    for (size_t i = 0; i < size; i++) {
        if (log->line_start) {
            out += local_time_text() + " ";
            log->line_start = false;
        }
        out.push_back(data[i]);
        if (data[i] == '\n') {
            log->line_start = true;
        }
    }
    return write_all(log->fd, out.data(), out.size(), false) ? (ssize_t)size : -1;
}

int stamped_close(void* cookie) {
    auto* log = (stamped_log*)cookie;
    int r = ::close(log->fd);
    delete log;
    return r;
}

std::string file_text(int fd) {
    std::string text;
    char buffer[256];
    ssize_t n;
    while ((n = ::pread(fd, buffer, sizeof buffer, (off_t)text.size())) > 0) {
        text.append(buffer, (size_t)n);
    }
    return text;
}

std::string first_line(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

}  // namespace

std::string local_time_text() {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[40];
    size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%03d", (int)millis);
    return text;
}

std::unique_ptr<StateDirectory> StateDirectory::open(const std::string& path, const std::string& run_description,
                                                     std::string* error) {
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        *error = errno_text("cannot make the state directory " + path);
        return nullptr;
    }
    std::unique_ptr<StateDirectory> dir(new StateDirectory);
    dir->path_ = path;
    std::string lock_path = path + "/lock";
    dir->lock_fd_ = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (dir->lock_fd_ < 0) {
        *error = errno_text("cannot open " + lock_path);
        return nullptr;
    }
    if (::flock(dir->lock_fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            std::string holder = first_line(file_text(dir->lock_fd_));
            *error = path + " is in use by another machine" + (holder.empty() ? "" : " (" + holder + ")");
        } else {
            *error = errno_text("cannot lock " + lock_path);
        }
        return nullptr;
    }
    std::string previous = first_line(file_text(dir->lock_fd_));

    std::string log_path = path + "/log";
    int log_fd = ::open(log_path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (log_fd < 0) {
        *error = errno_text("cannot open " + log_path);
        return nullptr;
    }
    // A log whose last run was cut off in the middle of a line gets its line ended first.
    struct stat st{};
    char last = '\n';
    if (::fstat(log_fd, &st) == 0 && st.st_size > 0 && ::pread(log_fd, &last, 1, st.st_size - 1) == 1 &&
        last != '\n') {
        write_all(log_fd, "\n", 1, false);
    }
    auto* cookie = new stamped_log{log_fd};
    dir->log_ = fopencookie(cookie, "a", {nullptr, stamped_write, nullptr, stamped_close});
    if (dir->log_ == nullptr) {
        *error = errno_text("cannot open " + log_path);
        stamped_close(cookie);
        return nullptr;
    }
    setvbuf(dir->log_, nullptr, _IOLBF, 0);

    dir->note("==== run began (pid " + std::to_string(::getpid()) + ", " + run_description + ")");
    if (previous.rfind("running", 0) == 0) {
        dir->note("previous run did not stop cleanly (killed, crashed or a power cut): it was " + previous);
    } else if (!previous.empty()) {
        dir->note("previous run " + previous);
    }
    return dir;
}

StateDirectory::~StateDirectory() {
    if (log_ != nullptr) {
        std::fclose(log_);
    }
    if (lock_fd_ >= 0) {
        ::close(lock_fd_);
    }
}

void StateDirectory::note(const std::string& line) {
    std::fprintf(log_, "%s\n", line.c_str());
    std::fflush(log_);
}

bool StateDirectory::write_lock_file(const std::string& text, std::string* error) {
    if (::ftruncate(lock_fd_, 0) != 0 || ::pwrite(lock_fd_, text.data(), text.size(), 0) != (ssize_t)text.size() ||
        ::fsync(lock_fd_) != 0) {
        *error = errno_text("cannot write " + path_ + "/lock");
        return false;
    }
    return true;
}

bool StateDirectory::mark_running(std::string* error) {
    return write_lock_file(
        "running since " + local_time_text() + " (pid " + std::to_string(::getpid()) + ")\n", error);
}

bool StateDirectory::mark_stopped_cleanly(std::string* error) {
    if (!write_lock_file("stopped cleanly at " + local_time_text() + "\n", error)) {
        return false;
    }
    note("run stopped cleanly");
    return true;
}

}  // namespace sim::machine
