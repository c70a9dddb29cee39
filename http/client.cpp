#include "http/client.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <strings.h>

#include <array>
#include <cctype>
#include <iterator>
#include <mutex>

namespace qel::http {
namespace {

bool globalInit() {
    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return initialised;
}

struct ListFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct MimeFree {
    void operator()(curl_mime* mime) const { curl_mime_free(mime); }
};

// What one transfer's callbacks share.
struct Transfer {
    Response* out = nullptr;
    const Policy* policy = nullptr;
    TransferControl* control = nullptr;
    const std::atomic<bool>* stopping = nullptr;
    ClientIdentity* identity = nullptr;
    bool tooLarge = false;
};

std::size_t collectBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const std::size_t length = size * count;
    if (t->out->body.size() + length > t->policy->maxBodyBytes) {
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
        t->out->headers.clear();  // a new response begins (after an interim one or a redirect)
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

int onProgress(void* user, curl_off_t downTotal, curl_off_t downNow, curl_off_t upTotal, curl_off_t upNow) {
    auto* t = static_cast<Transfer*>(user);
    if (!t->control) return *t->stopping ? 1 : 0;
    if (TransferProgress* p = t->control->progress.get()) {
        p->totalToReceive = downTotal;
        p->bytesReceived = downNow;
        p->totalToSend = upTotal;
        p->bytesSent = upNow;
    }
    return (t->control->cancelled || *t->stopping) ? 1 : 0;
}

// The extra authorities go beside those libcurl loaded (the system's); verification itself is left on.
CURLcode prepareContext(CURL*, void* sslContext, void* user) {
    auto* t = static_cast<Transfer*>(user);
    auto* context = static_cast<SSL_CTX*>(sslContext);
    if (!t->policy->extraCaFile.empty()) {
        X509_STORE* store = SSL_CTX_get_cert_store(context);
        if (!store || X509_STORE_load_file(store, t->policy->extraCaFile.c_str()) != 1) return CURLE_SSL_CACERT_BADFILE;
    }
    if (t->identity && !t->identity->configureContext(context)) return CURLE_SSL_CERTPROBLEM;
    return CURLE_OK;
}

Failure failureOf(CURLcode code) {
    switch (code) {
        case CURLE_FAILED_INIT:
        case CURLE_OUT_OF_MEMORY:
        case CURLE_NOT_BUILT_IN:
        case CURLE_UNKNOWN_OPTION:
            return Failure::setup;
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL:
            return Failure::badAddress;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_CONNECT:
            return Failure::unreachable;
        case CURLE_PEER_FAILED_VERIFICATION:
            return Failure::serverUntrusted;
        case CURLE_SSL_CACERT_BADFILE:
            return Failure::authorityFile;
        case CURLE_SSL_CERTPROBLEM:
            return Failure::clientIdentity;
        case CURLE_OPERATION_TIMEDOUT:
            return Failure::timedOut;
        case CURLE_ABORTED_BY_CALLBACK:
            return Failure::cancelled;
        case CURLE_TOO_MANY_REDIRECTS:
            return Failure::redirects;
        default:
            return Failure::transfer;
    }
}

void setBody(CURL* h, const Request& request, std::unique_ptr<curl_mime, MimeFree>& mime) {
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
}

curl_slist* headerList(const Request& request) {
    curl_slist* list = curl_slist_append(nullptr, "Expect:");  // no 100-continue round trip
    // libcurl would label a body without type as a form; an unlabelled body stays unlabelled.
    bool typed = false;
    for (const auto& header : request.headers) typed = typed || ::strcasecmp(header.first.c_str(), "Content-Type") == 0;
    if (!typed && request.formParts.empty()) list = curl_slist_append(list, "Content-Type:");
    for (const auto& [name, value] : request.headers)
        list = curl_slist_append(list, (value.empty() ? name + ";" : name + ": " + value).c_str());
    return list;
}

}  // namespace

std::string mediaType(const Response& response) {
    std::string type;
    for (const auto& [name, value] : response.headers)
        if (::strcasecmp(name.c_str(), "Content-Type") == 0) type = value;
    type = type.substr(0, type.find(';'));
    while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.pop_back();
    for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return type;
}

struct Session::Impl {
    explicit Impl(std::size_t idleHandles) : maxIdle(idleHandles) {
        globalInit();
        share = curl_share_init();
        if (share) {
            curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
            curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
            curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &Impl::lock);
            curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &Impl::unlock);
            curl_share_setopt(share, CURLSHOPT_USERDATA, this);
        }
    }
    ~Impl() {
        for (const IdleHandle& h : idle) curl_easy_cleanup(h.handle);
        if (share) curl_share_cleanup(share);
    }

    // Locked per kind of data, as libcurl asks when handles of one share run on several threads.
    static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
        static_cast<Impl*>(self)->shareLocks[static_cast<std::size_t>(data) % kShareLocks].lock();
    }
    static void unlock(CURL*, curl_lock_data data, void* self) {
        static_cast<Impl*>(self)->shareLocks[static_cast<std::size_t>(data) % kShareLocks].unlock();
    }

    // A handle keeps its connections between transfers: taking an idle one reuses them, but only for
    // the identity they were made with, and only if no drop came in between.
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
            if (handleGeneration == generation && maxIdle > 0) {
                idle.push_back(IdleHandle{key, h});
                if (idle.size() <= maxIdle) return;
                h = idle.front().handle;  // the longest unused one goes
                idle.erase(idle.begin());
            }
        }
        curl_easy_cleanup(h);
    }

    // The store is the share's: any handle attached to it reads or empties it.
    template <typename F>
    void withStore(F&& f) {
        if (!share) return;
        if (CURL* h = curl_easy_init()) {
            curl_easy_setopt(h, CURLOPT_SHARE, share);
            f(h);
            curl_easy_cleanup(h);
        }
    }

    static constexpr std::size_t kShareLocks = 8;
    CURLSH* share = nullptr;
    std::array<std::mutex, kShareLocks> shareLocks;

    const std::size_t maxIdle;
    std::mutex mutex;
    struct IdleHandle {
        std::string key;
        CURL* handle;
    };
    std::vector<IdleHandle> idle;
    std::uint64_t generation = 0;  // counts the drops
    std::atomic<bool> stopping{false};
};

Session::Session(std::size_t idleHandles) : impl_(std::make_unique<Impl>(idleHandles)) {}

Session::~Session() = default;

std::vector<std::string> Session::cookies() {
    std::vector<std::string> lines;
    impl_->withStore([&](CURL* h) {
        curl_slist* list = nullptr;
        curl_easy_getinfo(h, CURLINFO_COOKIELIST, &list);
        for (curl_slist* it = list; it; it = it->next) lines.emplace_back(it->data);
        curl_slist_free_all(list);
    });
    return lines;
}

void Session::clearCookies() {
    impl_->withStore([](CURL* h) { curl_easy_setopt(h, CURLOPT_COOKIELIST, "ALL"); });
}

void Session::dropConnections() {
    std::vector<Impl::IdleHandle> dropped;
    {
        std::lock_guard guard(impl_->mutex);
        ++impl_->generation;
        dropped.swap(impl_->idle);
    }
    for (const Impl::IdleHandle& h : dropped) curl_easy_cleanup(h.handle);
    clearCookies();
}

void Session::stop() { impl_->stopping = true; }

Exchange Session::perform(const Request& request, const Policy& policy, TransferControl* control,
                          ClientIdentity* identity) {
    Exchange out;
    out.response.url = request.url;
    auto fail = [&](Failure kind, CURLcode code, std::string message) {
        out.failure = TransportError{kind, code, std::move(message)};
        return std::move(out);
    };
    if (impl_->stopping || (control && control->cancelled))
        return fail(Failure::cancelled, CURLE_ABORTED_BY_CALLBACK, "requête annulée");

    Transfer transfer;
    transfer.out = &out.response;
    transfer.policy = &policy;
    transfer.control = control;
    transfer.stopping = &impl_->stopping;
    transfer.identity = identity;

    const std::string key = identity ? identity->connectionKey() : std::string();
    bool fresh = false;
    std::uint64_t generation = 0;
    CURL* h = impl_->acquire(key, generation, fresh);
    if (!h) return fail(Failure::setup, CURLE_FAILED_INIT, "initialisation du client HTTP impossible");
    curl_easy_reset(h);
    std::array<char, CURL_ERROR_SIZE> errorBuffer{};
    const char* protocols = policy.allowPlainHttp ? "http,https" : "https";
    curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, protocols);
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, protocols);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, policy.maxRedirects > 0 ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, policy.maxRedirects);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, policy.timeoutMs);
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
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &onProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer);

    std::unique_ptr<curl_mime, MimeFree> mime;
    setBody(h, request, mime);
    std::unique_ptr<curl_slist, ListFree> headers(headerList(request));
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());

    if (identity && !identity->configure(h)) {
        curl_easy_cleanup(h);  // whatever the identity set stays with this handle
        return fail(Failure::clientIdentity, CURLE_SSL_CERTPROBLEM, "identité TLS du client indisponible");
    }

    CURLcode code = curl_easy_perform(h);
    std::string message;
    if (code != CURLE_OK) message = errorBuffer[0] ? errorBuffer.data() : curl_easy_strerror(code);
    Failure kind = failureOf(code);
    if (code != CURLE_OK && identity && identity->clientKeyFailed()) {
        code = CURLE_SSL_CERTPROBLEM;
        kind = Failure::clientIdentity;
        message = "la clé de la carte n'a pas signé la connexion";
    } else if (transfer.tooLarge) {
        kind = Failure::tooLarge;
        message = "réponse plus grande que " + std::to_string(policy.maxBodyBytes) + " octets";
        out.response.body.clear();
    } else if (code == CURLE_ABORTED_BY_CALLBACK) {
        message = "requête annulée";
    }
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &out.response.status);
    // The list of cookie files has been read; freed here, as the reset would drop it. The shared store
    // keeps its cookies.
    if (fresh) curl_easy_setopt(h, CURLOPT_COOKIEFILE, nullptr);
    // The handle must not keep pointers to this call's buffers once it is back in the pool.
    curl_easy_reset(h);
    impl_->release(h, key, generation);
    if (code != CURLE_OK) out.failure = TransportError{kind, code, std::move(message)};
    return out;
}

Exchange fetch(const Request& request, const Policy& policy, TransferControl* control) {
    Session session;
    return session.perform(request, policy, control);
}

}  // namespace qel::http
