// Whole reads and writes on a descriptor (they go on after an interruption or a short count),
// and the text of a failed call.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

namespace sim::machine {

// false at the end of the stream or on an error.
inline bool read_all(int fd, void* data, size_t size) {
    auto* p = (char*)data;
    while (size > 0) {
        ssize_t n = ::read(fd, p, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += (size_t)n;
        size -= (size_t)n;
    }
    return true;
}

// On a socket a peer that hung up gives EPIPE, never the signal that would end the process.
inline bool write_all(int fd, const void* data, size_t size, bool socket) {
    auto* p = (const char*)data;
    while (size > 0) {
        ssize_t n = socket ? ::send(fd, p, size, MSG_NOSIGNAL) : ::write(fd, p, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += (size_t)n;
        size -= (size_t)n;
    }
    return true;
}

// "what: <the error of errno>".
inline std::string errno_text(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

}  // namespace sim::machine
