#include "authservice/http_session.h"

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

namespace qel::vek {
namespace {

constexpr std::size_t kWorkers = 4;
constexpr std::size_t kIdleHandles = 8;

// Adapts a plain function to the configurator interface.
class FunctionConfigurator final : public ClientTlsConfigurator {
public:
    explicit FunctionConfigurator(std::function<bool(CURL*)> f) : f_(std::move(f)) {}
    bool configure(CURL* handle) override { return f_(handle); }

private:
    std::function<bool(CURL*)> f_;
};

}  // namespace

struct HttpSession::Impl {
    Impl() {
        if (const char* ca = std::getenv(kVekExtraCaVariable); ca && *ca) caFile = ca;
    }

    void startWorkers() {
        if (!workers.empty()) return;
        for (std::size_t i = 0; i < kWorkers; ++i)
            workers.emplace_back([this] {
                for (;;) {
                    std::function<void()> job;
                    {
                        std::unique_lock guard(mutex);
                        wake.wait(guard, [this] { return stopping || !jobs.empty(); });
                        if (stopping) return;
                        job = std::move(jobs.front());
                        jobs.pop_front();
                    }
                    job();
                }
            });
    }

    http::Session transfers{kIdleHandles};

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;
    std::vector<std::thread> workers;
    bool stopping = false;

    std::shared_ptr<ClientTlsConfigurator> configurator;
    std::string caFile;
    std::atomic<bool> allowPlainHttp{false};
};

HttpSession::HttpSession() : impl_(std::make_unique<Impl>()) {}

HttpSession::~HttpSession() { shutdown(); }

HttpSession& HttpSession::shared() {
    // Lives as long as the process: completions may still be on their way when it ends.
    static HttpSession* session = new HttpSession();
    return *session;
}

void HttpSession::shutdown() {
    std::vector<std::thread> workers;
    {
        std::lock_guard guard(impl_->mutex);
        impl_->stopping = true;
        impl_->jobs.clear();
        workers.swap(impl_->workers);
    }
    impl_->transfers.stop();
    impl_->wake.notify_all();
    for (std::thread& t : workers) {
        // A completion that ends the program runs on a worker: it cannot wait for itself.
        if (t.get_id() == std::this_thread::get_id())
            t.detach();
        else
            t.join();
    }
}

void HttpSession::submit(std::function<void()> job) {
    {
        std::lock_guard guard(impl_->mutex);
        if (impl_->stopping) return;
        impl_->startWorkers();
        impl_->jobs.push_back(std::move(job));
    }
    impl_->wake.notify_one();
}

void HttpSession::setClientTlsConfigurator(std::shared_ptr<ClientTlsConfigurator> configurator) {
    std::lock_guard guard(impl_->mutex);
    impl_->configurator = std::move(configurator);
}

void HttpSession::setClientTlsConfigurator(std::function<bool(CURL*)> configure) {
    setClientTlsConfigurator(configure ? std::make_shared<FunctionConfigurator>(std::move(configure)) : nullptr);
}

void HttpSession::dropConnections() { impl_->transfers.dropConnections(); }

void HttpSession::setExtraCaFile(const std::string& path) {
    std::lock_guard guard(impl_->mutex);
    impl_->caFile = path;
}

std::string HttpSession::extraCaFile() const {
    std::lock_guard guard(impl_->mutex);
    return impl_->caFile;
}

void HttpSession::setAllowPlainHttp(bool allow) { impl_->allowPlainHttp = allow; }

HttpExchange HttpSession::perform(const HttpRequest& request, const std::shared_ptr<TransferControl>& control) {
    http::Policy policy;
    policy.timeoutMs = request.timeoutMs;
    policy.maxBodyBytes = kMaxBodyBytes;
    policy.allowPlainHttp = impl_->allowPlainHttp;
    std::shared_ptr<ClientTlsConfigurator> configurator;
    {
        std::lock_guard guard(impl_->mutex);
        policy.extraCaFile = impl_->caFile;
        configurator = impl_->configurator;
    }
    http::Exchange exchange = impl_->transfers.perform(request, policy, control.get(), configurator.get());

    HttpExchange out;
    out.failure = std::move(exchange.failure);
    out.statusCode = exchange.response.status;
    out.url = std::move(exchange.response.url);
    out.headers = std::move(exchange.response.headers);
    out.body = std::move(exchange.response.body);
    return out;
}

}  // namespace qel::vek
