// Requests per second of the authentication service's runtime on one kept-alive loopback connection:
// a blocking operation end to end (settings file read, request built, sent through the shared libcurl
// session, answer decoded), against a plain-HTTP server in the same process. The TLS handshake is not
// in the loop: the connection is made once and kept.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "authservice/apis/authentication_apis.h"
#include "authservice/vek_config.h"

namespace {

using namespace qel::vek;

class LoopbackService {
public:
    LoopbackService() {
        server_.set_keep_alive_max_count(1u << 30);
        // Without it the server's small writes wait for the client's delayed acknowledgement (about 40 ms
        // a request), which would be measured instead of the client.
        server_.set_tcp_nodelay(true);
        server_.Get(".*/pending", [](const httplib::Request&, httplib::Response& r) {
            r.set_content(R"([{"notificationId":"n-1","serviceName":"Portail","scope":"openid"}])", "application/json");
        });
        server_.Get(".*", [](const httplib::Request&, httplib::Response& r) {
            r.set_content(R"({"enabled":true})", "application/json");
        });
        const int port = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        folder_ = std::filesystem::temp_directory_path() / ("qel-bench-vek-" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder_);
        base_ = "http://127.0.0.1:" + std::to_string(port) + "/";
        const std::string& base = base_;
        const std::string settings = (folder_ / "vek.plist").string();
        std::ofstream(settings, std::ios::binary) << VekConfig::encodeBinary({base, base});
        VekConfig::setSettingsPath(settings);
        HttpSession::shared().setAllowPlainHttp(true);
    }
    ~LoopbackService() {
        server_.stop();
        thread_.join();
        std::filesystem::remove_all(folder_);
    }

    const std::string& base() const { return base_; }

private:
    std::string base_;
    httplib::Server server_;
    std::thread thread_;
    std::filesystem::path folder_;
};

LoopbackService& service() {
    static LoopbackService s;
    return s;
}

void BM_VekCodeStateBlocking(benchmark::State& state) {
    service();
    for (auto _ : state) {
        auto result = MultiFactorCIBAAuthenticationConfigurationAPI::getCodeState();
        if (!result.ok()) state.SkipWithError(result.error().description().c_str());
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_VekCodeStateBlocking)->UseRealTime();

void BM_VekPendingRequestsBlocking(benchmark::State& state) {
    service();
    for (auto _ : state) {
        auto result = CIBAAuthenticationAPIAPI::getPendingRequests("801234567890");
        if (!result.ok()) state.SkipWithError(result.error().description().c_str());
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_VekPendingRequestsBlocking)->UseRealTime();

// The same request without the operation layer: no settings file read, the URL given.
void BM_VekBuilderFixedUrl(benchmark::State& state) {
    const std::string url = service().base() + "api/ulmora-authentication/config/ciba/multi-factor/code/state";
    for (auto _ : state) {
        auto result =
            HttpRequestBuilderFactory::decodingBuilder<EnabledFlagDto>("GET", url, {}, {}, true)->executeBlocking();
        if (!result.ok()) state.SkipWithError(result.error().description().c_str());
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_VekBuilderFixedUrl)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
