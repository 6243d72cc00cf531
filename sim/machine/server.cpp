#include "sim/machine/server.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "sim/kernel/control.h"
#include "sim/machine/wire.h"

namespace sim::machine {
namespace {

bool read_all(int fd, void* data, size_t size) {
    auto* p = (char*)data;
    while (size > 0) {
        ssize_t n = ::read(fd, p, size);
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= (size_t)n;
    }
    return true;
}

bool write_all(int fd, const void* data, size_t size) {
    auto* p = (const char*)data;
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= (size_t)n;
    }
    return true;
}

}  // namespace

Server::Server(Machine& machine, const std::string& socket_path) : machine_(machine), path_(socket_path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof address.sun_path) {
        return;
    }
    std::strcpy(address.sun_path, path_.c_str());
    ::unlink(path_.c_str());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    if (::bind(fd, (sockaddr*)&address, sizeof address) != 0 || ::listen(fd, 16) != 0) {
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
    if (listen_fd_ >= 0) {
        ::shutdown(listen_fd_, SHUT_RDWR);
        ::close(listen_fd_);
    }
    if (acceptor_.joinable()) {
        acceptor_.join();
    }
    {
        std::lock_guard<std::mutex> g(mutex_);
        for (int fd : connections_) {
            ::shutdown(fd, SHUT_RDWR);
        }
    }
    for (std::thread& t : servers_) {
        t.join();
    }
    ::unlink(path_.c_str());
}

void Server::accept_loop() {
    while (!stopping_) {
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (stopping_) {
                return;
            }
            continue;
        }
        std::lock_guard<std::mutex> g(mutex_);
        connections_.push_back(fd);
        servers_.emplace_back([this, fd] { serve(fd); });
    }
}

void Server::serve(int fd) {
    ucred peer{};
    socklen_t length = sizeof peer;
    ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length);
    // User buffers of this connection's requests are the peer's memory.
    sim::kernel::set_user_process(peer.pid);
    std::map<uint64_t, WDFFILEOBJECT> handles;
    uint64_t next = 1;
    wire::request r{};
    while (read_all(fd, &r, sizeof r)) {
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
        if (!write_all(fd, &out, sizeof out)) {
            break;
        }
    }
    for (auto& [id, file] : handles) {
        machine_.close(file);
    }
    sim::kernel::set_user_process(0);
    ::close(fd);
}

}  // namespace sim::machine
