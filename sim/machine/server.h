// Serves a machine's control devices to other processes over a Unix socket: each connection has
// its own handles and its own thread; a request's user buffer is copied from and to the caller's
// process. A closed connection costs nothing: its thread is joined at the next accept (or at
// stop), and a client that hangs up before its reply only ends its own connection.
#pragma once

#include <atomic>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/machine/machine.h"

namespace sim::machine {

class Server {
  public:
    // Listens on `socket_path`; a socket already there is replaced (the caller owns the path: the
    // machine program holds its state directory's lock). Anything else there is left alone.
    Server(Machine& machine, const std::string& socket_path);
    ~Server();
    bool listening() const { return listen_fd_ >= 0; }
    const std::string& error() const { return error_; }  // why it does not listen
    // Stops accepting, closes every connection (their handles) and waits for the threads.
    void stop();

  private:
    struct connection {
        int fd;
        std::thread thread;
    };
    using connection_list = std::list<connection>;
    void accept_loop();
    void serve(connection_list::iterator c);
    void reap();  // callers hold mutex_

    Machine& machine_;
    std::string path_;
    std::string error_;
    int listen_fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::mutex mutex_;
    connection_list connections_;  // open ones and closed ones not yet joined
    std::vector<connection_list::iterator> closed_;
};

}  // namespace sim::machine
