#pragma once
#include <atomic>
#include <thread>

namespace httplib {
class Server;
}

namespace qel::sim {

/// Serves one cpp-httplib server (plain or TLS) on 127.0.0.1 on a thread of its own.
class ServerThread {
public:
    explicit ServerThread(httplib::Server& server) : server_(server) {}
    ~ServerThread() { stop(); }
    ServerThread(const ServerThread&) = delete;
    ServerThread& operator=(const ServerThread&) = delete;

    /// Binds 127.0.0.1 on `port` (0: any free port) and serves. Returns the port, or -1 when the
    /// port cannot be bound.
    int start(int port);
    /// Ends the serving and waits for the thread; nothing when it never started.
    void stop();

private:
    httplib::Server& server_;
    std::thread thread_;
    std::atomic<bool> listening_{false};
};

}  // namespace qel::sim
