#include "sim/services/server_thread.h"

#include <httplib.h>

#include <chrono>

namespace qel::sim {

int ServerThread::start(int port) {
    const int bound =
        port == 0 ? server_.bind_to_any_port("127.0.0.1") : (server_.bind_to_port("127.0.0.1", port) ? port : -1);
    if (bound < 0) return -1;
    listening_ = true;
    thread_ = std::thread([this] {
        server_.listen_after_bind();
        listening_ = false;
    });
    return bound;
}

void ServerThread::stop() {
    if (!thread_.joinable()) return;
    // The server thread may not have reached its accept loop yet: stop() only ends a running one.
    while (listening_ && !server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    server_.stop();
    thread_.join();
}

}  // namespace qel::sim
