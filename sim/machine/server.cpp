#include "sim/machine/server.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>

#include "sim/kernel/control.h"
#include "sim/machine/fd_io.h"
#include "sim/machine/wire.h"

namespace sim::machine {

Server::Server(Machine& machine, const std::string& socket_path) : machine_(machine), path_(socket_path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof address.sun_path) {
        error_ = path_ + ": too long for a socket address (" + std::to_string(path_.size()) + " bytes, at most " +
                 std::to_string(sizeof address.sun_path - 1) + ")";
        return;
    }
    std::strcpy(address.sun_path, path_.c_str());
    struct stat existing{};
    if (::lstat(path_.c_str(), &existing) == 0 && S_ISSOCK(existing.st_mode)) {
        ::unlink(path_.c_str());
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error_ = errno_text("cannot make a socket");
        return;
    }
    if (::bind(fd, (sockaddr*)&address, sizeof address) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        error_ = errno_text("cannot listen on " + path_);
        ::close(fd);
        return;
    }
    listen_fd_ = fd;
    acceptor_ = std::thread([this] { accept_loop(); });
}

Server::~Server() {
    stop();
}

void Server::stop() {
    if (stopping_.exchange(true)) {
        return;
    }
    if (listen_fd_ < 0) {
        return;
    }
    ::shutdown(listen_fd_, SHUT_RDWR);
    if (acceptor_.joinable()) {
        acceptor_.join();
    }
    ::close(listen_fd_);
    connection_list all;
    {
        std::lock_guard<std::mutex> g(mutex_);
        for (connection& c : connections_) {
            if (c.fd >= 0) {
                ::shutdown(c.fd, SHUT_RDWR);
            }
        }
        all.splice(all.end(), connections_);
        closed_.clear();
    }
    for (connection& c : all) {
        c.thread.join();
    }
    ::unlink(path_.c_str());
}

void Server::reap() {
    for (connection_list::iterator c : closed_) {
        c->thread.join();
        connections_.erase(c);
    }
    closed_.clear();
}

void Server::accept_loop() {
    while (!stopping_) {
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (stopping_) {
                return;
            }
            if (errno != EINTR && errno != ECONNABORTED) {
                // Out of descriptors or memory for now: wait a little rather than spin.
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            continue;
        }
        std::lock_guard<std::mutex> g(mutex_);
        reap();
        auto c = connections_.insert(connections_.end(), connection{fd, {}});
        c->thread = std::thread([this, c] { serve(c); });
    }
}

void Server::serve(connection_list::iterator c) {
    int fd = c->fd;
    ucred peer{};
    socklen_t length = sizeof peer;
    ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length);
    // User buffers of this connection's requests are the peer's memory.
    sim::kernel::set_user_process(peer.pid);
    std::map<uint64_t, WDFFILEOBJECT> handles;
    uint64_t next = 1;
    wire::request r{};
    while (read_all(fd, &r, sizeof r)) {
        wire::received();
        wire::reply out{};
        r.name[sizeof r.name - 1] = 0;
        if (r.op == wire::open_device) {
            WDFFILEOBJECT file = nullptr;
            out.status = machine_.open(r.name, &file);
            if (out.status >= 0) {
                handles[next] = file;
                out.handle = next++;
            }
        } else if (r.op == wire::device_control) {
            auto it = handles.find(r.handle);
            ULONG_PTR information = 0;
            out.status = it == handles.end()
                             ? (int32_t)STATUS_INVALID_HANDLE
                             : machine_.device_control(it->second, r.code, (void*)(uintptr_t)r.buffer, r.input_length,
                                                       r.output_length, &information);
            out.information = information;
        } else if (r.op == wire::close_device) {
            auto it = handles.find(r.handle);
            if (it != handles.end()) {
                machine_.close(it->second);
                handles.erase(it);
            }
        } else {
            out.status = (int32_t)STATUS_INVALID_PARAMETER;
        }
        wire::sent();
        if (!write_all(fd, &out, sizeof out, true)) {
            break;
        }
    }
    for (auto& [id, file] : handles) {
        machine_.close(file);
    }
    sim::kernel::set_user_process(0);
    // Closed under the lock: stop() never shuts down a number a later connection was given.
    std::lock_guard<std::mutex> g(mutex_);
    ::close(fd);
    c->fd = -1;
    if (!stopping_) {
        closed_.push_back(c);
    }
}

}  // namespace sim::machine
