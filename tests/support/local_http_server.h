#pragma once
// A plain-HTTP server on loopback for the HTTP clients' unit tests: each route answers with what the
// test's handler writes, and every request received is recorded.
#include <httplib.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qel::test {

class LocalHttpServer {
public:
    struct Received {
        std::string method;
        std::string target;  ///< path and query as sent, still percent-encoded
        httplib::Headers headers;
        std::string body;
        int remotePort = -1;
        httplib::MultipartFormDataMap files;  ///< the parts of a multipart body (its body is then empty)
    };
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    /// Keeps a client's connection for as many requests as it sends (the library's default closes it
    /// after five), so that clients' connection reuse can be seen.
    LocalHttpServer() {
        server_.set_keep_alive_max_count(100000);
        server_.set_keep_alive_timeout(2);  // stop() waits this long for an idle kept connection
        server_.set_tcp_nodelay(true);      // small answers go out at once, not after a delayed ACK
    }
    ~LocalHttpServer() { stop(); }

    /// A route for every method; the pattern is a regular expression of the path. The request is
    /// recorded before the handler runs, so it is there when the client has its answer.
    void route(const std::string& pattern, Handler handler) {
        handler = [this, inner = std::move(handler)](const httplib::Request& request, httplib::Response& response) {
            {
                std::lock_guard lock(mutex_);
                received_.push_back({request.method, request.target, request.headers, request.body, request.remote_port,
                                     request.files});
            }
            inner(request, response);
        };
        server_.Get(pattern, handler);
        server_.Post(pattern, handler);
        server_.Put(pattern, handler);
        server_.Delete(pattern, handler);
        server_.Patch(pattern, handler);
        server_.Options(pattern, handler);
    }

    /// Starts listening on a free port of 127.0.0.1 and returns once connections are accepted.
    int start() {
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return port_;
    }
    void stop() {
        if (!thread_.joinable()) return;
        server_.stop();
        thread_.join();
    }

    std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
    int port() const { return port_; }

    std::vector<Received> received() const {
        std::lock_guard lock(mutex_);
        return received_;
    }

private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = -1;
    mutable std::mutex mutex_;
    std::vector<Received> received_;
};

}  // namespace qel::test
