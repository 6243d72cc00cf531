// Serves a machine's control devices to other processes over a Unix socket: each connection has
// its own handles; a request's user buffer is copied from and to the caller's process.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/machine/machine.h"

namespace sim::machine {

class Server {
  public:
    Server(Machine& machine, const std::string& socket_path);
    ~Server();
    bool listening() const { return listen_fd_ >= 0; }
    // Stops accepting, closes every connection (their handles) and waits for the threads.
    void stop();

  private:
    void accept_loop();
    void serve(int fd);

    Machine& machine_;
    std::string path_;
    int listen_fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<int> connections_;
    std::vector<std::thread> servers_;
};

}  // namespace sim::machine
