#include "authservice/http_session.h"

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <array>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iterator>
#include <mutex>
#include <strings.h>
#include <thread>

#include "common/curl_support.h"

namespace qel::vek {
namespace {

constexpr std::size_t kWorkers = 4;
constexpr std::size_t kIdleHandles = 8;

struct CurlListFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct CurlMimeFree {
    void operator()(curl_mime* mime) const { curl_mime_free(mime); }
};

// What one transfer's callbacks share.
struct Transfer {
    HttpExchange* out = nullptr;
    TransferControl* control = nullptr;
    const std::atomic<bool>* stopping = nullptr;
    bool tooLarge = false;
    std::string caFile;
    std::shared_ptr<ClientTlsConfigurator> configurator;
};

std::size_t collectBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const std::size_t length = size * count;
    if (t->out->body.size() + length > HttpSession::kMaxBodyBytes) {
        t->tooLarge = true;
        return 0;  // the transfer stops with a write error
    }
    t->out->body.append(data, length);
    return length;
}

std::size_t collectHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const std::size_t length = size * count;
    std::string_view line(data, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (line.starts_with("HTTP/")) {
        t->out->headers.clear();  // a new response begins (after an interim one)
        return length;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return length;
    std::string name(line.substr(0, colon));
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    auto [it, inserted] = t->out->headers.emplace(std::move(name), std::string(value));
    if (!inserted) it->second += ", " + std::string(value);
    return length;
}

int progress(void* user, curl_off_t downTotal, curl_off_t downNow, curl_off_t upTotal, curl_off_t upNow) {
    auto* t = static_cast<Transfer*>(user);
    if (TransferProgress* p = t->control->progress.get()) {
        p->totalToReceive = downTotal;
        p->bytesReceived = downNow;
        p->totalToSend = upTotal;
        p->bytesSent = upNow;
    }
    return (t->control->cancelled || *t->stopping) ? 1 : 0;
}

CURLcode prepareContext(CURL*, void* sslContext, void* user) {
    auto* t = static_cast<Transfer*>(user);
    auto* context = static_cast<SSL_CTX*>(sslContext);
    if (!t->caFile.empty() && !curl::addExtraAuthorities(context, t->caFile.c_str())) return CURLE_SSL_CACERT_BADFILE;
    if (t->configurator && !t->configurator->configureContext(context)) return CURLE_SSL_CERTPROBLEM;
    return CURLE_OK;
}

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
        curl::globalInit();
        share = curl_share_init();
        if (share) {
            curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
            curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
            curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &Impl::lock);
            curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &Impl::unlock);
            curl_share_setopt(share, CURLSHOPT_USERDATA, this);
        }
        if (const char* ca = std::getenv(kVekExtraCaVariable); ca && *ca) caFile = ca;
    }

    static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
        static_cast<Impl*>(self)->shareLocks[static_cast<std::size_t>(data) % kShareLocks].lock();
    }
    static void unlock(CURL*, curl_lock_data data, void* self) {
        static_cast<Impl*>(self)->shareLocks[static_cast<std::size_t>(data) % kShareLocks].unlock();
    }

    // A handle keeps its connections between transfers: taking an idle one reuses them, but only for
    // the identity they were made with, and only if no card change came in between.
    CURL* acquire(const std::string& key, std::uint64_t& generationOut, bool& fresh) {
        {
            std::lock_guard guard(mutex);
            generationOut = generation;
            for (auto it = idle.rbegin(); it != idle.rend(); ++it) {
                if (it->key != key) continue;
                CURL* h = it->handle;
                idle.erase(std::next(it).base());
                fresh = false;
                return h;
            }
        }
        fresh = true;
        return curl_easy_init();
    }
    void release(CURL* h, const std::string& key, std::uint64_t handleGeneration) {
        {
            std::lock_guard guard(mutex);
            if (handleGeneration == generation) {
                idle.push_back(IdleHandle{key, h});
                if (idle.size() <= kIdleHandles) return;
                h = idle.front().handle;  // the longest unused one goes
                idle.erase(idle.begin());
            }
        }
        curl_easy_cleanup(h);
    }
    void dropIdle() {
        std::vector<IdleHandle> dropped;
        {
            std::lock_guard guard(mutex);
            ++generation;
            dropped.swap(idle);
        }
        for (const IdleHandle& h : dropped) curl_easy_cleanup(h.handle);
        if (!share) return;
        // The store is the share's: any handle attached to it empties it.
        if (CURL* h = curl_easy_init()) {
            curl_easy_setopt(h, CURLOPT_SHARE, share);
            curl_easy_setopt(h, CURLOPT_COOKIELIST, "ALL");
            curl_easy_cleanup(h);
        }
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

    static constexpr std::size_t kShareLocks = 8;
    CURLSH* share = nullptr;
    std::array<std::mutex, kShareLocks> shareLocks;

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;
    std::vector<std::thread> workers;
    struct IdleHandle {
        std::string key;
        CURL* handle;
    };
    std::vector<IdleHandle> idle;
    std::uint64_t generation = 0;  // counts the card changes
    std::atomic<bool> stopping{false};

    std::shared_ptr<ClientTlsConfigurator> configurator;
    std::string caFile;
    std::atomic<bool> allowPlainHttp{false};
};

HttpSession::HttpSession() : impl_(std::make_unique<Impl>()) {}

HttpSession::~HttpSession() {
    shutdown();
    for (const auto& h : impl_->idle) curl_easy_cleanup(h.handle);
    if (impl_->share) curl_share_cleanup(impl_->share);
}

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

void HttpSession::dropConnections() { impl_->dropIdle(); }

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
    HttpExchange out;
    out.url = request.url;
    Transfer transfer;
    transfer.out = &out;
    transfer.control = control.get();
    transfer.stopping = &impl_->stopping;
    {
        std::lock_guard guard(impl_->mutex);
        transfer.caFile = impl_->caFile;
        transfer.configurator = impl_->configurator;
    }

    const std::string key = transfer.configurator ? transfer.configurator->connectionKey() : std::string();
    bool fresh = false;
    std::uint64_t generation = 0;
    CURL* h = impl_->acquire(key, generation, fresh);
    if (!h) {
        out.curlCode = CURLE_FAILED_INIT;
        out.errorText = "initialisation du client HTTP impossible";
        return out;
    }
    curl_easy_reset(h);
    std::array<char, CURL_ERROR_SIZE> errorBuffer{};
    curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, impl_->allowPlainHttp ? "http,https" : "https");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, request.timeoutMs);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &prepareContext);
    curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, &transfer);
    // The share holds the session's cookie store: with it the cookie engine is on, and nothing is read
    // from or written to disk.
    if (impl_->share) curl_easy_setopt(h, CURLOPT_SHARE, impl_->share);
    // The cookie engine is switched on once per handle and stays on through the resets; setting the
    // option on every request would add a list entry that the reset drops without freeing.
    if (fresh) curl_easy_setopt(h, CURLOPT_COOKIEFILE, "");
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer.data());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &collectBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &collectHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &progress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer);

    std::unique_ptr<curl_mime, CurlMimeFree> mime;
    if (!request.formParts.empty()) {
        mime.reset(curl_mime_init(h));
        for (const FormPart& p : request.formParts) {
            curl_mimepart* part = curl_mime_addpart(mime.get());
            curl_mime_name(part, p.name.c_str());
            curl_mime_data(part, p.data.data(), p.data.size());
            if (p.fileName) {
                curl_mime_filename(part, p.fileName->c_str());
                curl_mime_type(part, p.contentType.empty() ? "application/octet-stream" : p.contentType.c_str());
            }
        }
        curl_easy_setopt(h, CURLOPT_MIMEPOST, mime.get());
        if (request.method != "POST") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    } else if (request.method == "GET") {
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    } else if (request.method == "HEAD") {
        curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    } else {
        if (request.method == "POST" || request.body) {
            // The request outlives the transfer: libcurl reads the body from it without a copy.
            const char* data = request.body ? request.body->data() : "";
            const std::size_t size = request.body ? request.body->size() : 0;
            curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(size));
            curl_easy_setopt(h, CURLOPT_POSTFIELDS, data);
        }
        if (request.method != "POST") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }

    curl_slist* list = curl_slist_append(nullptr, "Expect:");  // no 100-continue round trip
    // libcurl would label a body without type as a form; an unlabelled body stays unlabelled.
    bool typed = false;
    for (const auto& header : request.headers) typed = typed || ::strcasecmp(header.first.c_str(), "Content-Type") == 0;
    if (!typed && request.formParts.empty()) list = curl_slist_append(list, "Content-Type:");
    for (const auto& [name, value] : request.headers)
        list = curl_slist_append(list, (value.empty() ? name + ";" : name + ": " + value).c_str());
    std::unique_ptr<curl_slist, CurlListFree> headers(list);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());

    if (transfer.configurator && !transfer.configurator->configure(h)) {
        out.curlCode = CURLE_SSL_CERTPROBLEM;
        out.errorText = "identité TLS du client indisponible";
        curl_easy_cleanup(h);  // whatever the configurator set stays with this handle
        return out;
    }

    CURLcode code = curl_easy_perform(h);
    if (code != CURLE_OK && transfer.configurator && transfer.configurator->clientKeyFailed()) {
        code = CURLE_SSL_CERTPROBLEM;
        errorBuffer[0] = '\0';
        std::snprintf(errorBuffer.data(), errorBuffer.size(), "%s", "la clé de la carte n'a pas signé la connexion");
    }
    out.curlCode = code;
    if (code != CURLE_OK) {
        if (transfer.tooLarge)
            out.errorText = "réponse plus grande que " + std::to_string(kMaxBodyBytes) + " octets";
        else if (code == CURLE_ABORTED_BY_CALLBACK && control->cancelled)
            out.errorText = "requête annulée";
        else
            out.errorText = errorBuffer[0] ? errorBuffer.data() : curl_easy_strerror(code);
    }
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    out.statusCode = status;
    // The list of cookie files has been read; freed here, as the reset would drop it. The shared store
    // keeps its cookies.
    if (fresh) curl_easy_setopt(h, CURLOPT_COOKIEFILE, nullptr);
    // The handle must not keep pointers to this call's buffers once it is back in the pool.
    curl_easy_reset(h);
    impl_->release(h, key, generation);
    return out;
}

}  // namespace qel::vek
