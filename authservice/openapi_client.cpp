#include <atomic>
#include <mutex>

#include "authservice/request_builder.h"
#include "authservice/vek_config.h"

namespace qel::vek {
namespace {

struct ClientSettings {
    std::mutex mutex;
    Headers customHeaders;
    MainQueue* responseQueue = nullptr;
    std::atomic<long> timeoutMs{60000};
};

ClientSettings& settings() {
    static ClientSettings s;
    return s;
}

std::string selectedBaseUrl() {
    const VekParams params = VekConfig::loadParams();
    return isTestEnvironment() ? params.testPath : params.prodPath;
}

}  // namespace

Headers OpenAPIClientAPI::customHeaders() {
    std::lock_guard lock(settings().mutex);
    return settings().customHeaders;
}

void OpenAPIClientAPI::setCustomHeaders(Headers headers) {
    std::lock_guard lock(settings().mutex);
    settings().customHeaders = std::move(headers);
}

MainQueue* OpenAPIClientAPI::apiResponseQueue() {
    std::lock_guard lock(settings().mutex);
    return settings().responseQueue;
}

void OpenAPIClientAPI::setApiResponseQueue(MainQueue* queue) {
    std::lock_guard lock(settings().mutex);
    settings().responseQueue = queue;
}

long OpenAPIClientAPI::timeoutMs() { return settings().timeoutMs.load(); }
void OpenAPIClientAPI::setTimeoutMs(long milliseconds) { settings().timeoutMs.store(milliseconds); }

std::string OpenAPIClientAPI::authenticationBasePath() { return selectedBaseUrl() + "api/ulmora-authentication"; }
std::string OpenAPIClientAPI::sessionBasePath() { return selectedBaseUrl() + "api/ulmora-session"; }

}  // namespace qel::vek
