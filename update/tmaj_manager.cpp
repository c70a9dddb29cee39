#include "update/tmaj_manager.h"

#include <curl/curl.h>

#include <array>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "common/curl_support.h"
#include "common/format.h"
#include "common/logger.h"
#include "common/utf8.h"
#include "update/relay_limits.h"

namespace qel {

namespace {

constexpr const char* kUpToDatePhrase = "Votre QEL est à jour";

struct CurlDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

// Path arguments go into the URL as they are: only characters that cannot change its structure.
bool plainPathArgument(const std::string& argument) {
    if (argument.empty()) return false;
    for (char c : argument) {
        const bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
                        c == '_' || c == '.' || c == '~' || c == ':';
        if (!ok) return false;
    }
    return true;
}

std::string mimeType(const char* contentType) {
    if (!contentType) return {};
    std::string type(contentType);
    type = type.substr(0, type.find(';'));
    while (!type.empty() && type.back() == ' ') type.pop_back();
    for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return type;
}

// Collects the body up to the answer limit; past it the transfer stops (libcurl sees a short write).
struct CappedBody {
    std::string* body;
    bool overflowed = false;
};

std::size_t appendCapped(char* data, std::size_t size, std::size_t count, void* out) {
    auto* capped = static_cast<CappedBody*>(out);
    const std::size_t n = size * count;
    if (capped->body->size() + n > relay::kMaxAnswerBytes) {
        capped->overflowed = true;
        return 0;
    }
    capped->body->append(data, n);
    return n;
}

constexpr const char* kTooLarge = "réponse de plus de 1 Mio refusée";

struct Texts {
    const char* failure;
    const char* status;
    const char* mime;
    const char* received;
};
constexpr Texts kGetTexts{"HTTP GET Request - une erreur est survenue: ",
                          "HTTP GET Request - statusCode devrait être 2xx, mais code %ld reçu",
                          "HTTP GET Request - Mauvais type MIME !", "HTTP GET Request: jsonString reçu:\n "};
constexpr Texts kPostTexts{"HTTP POST Request - une erreur est survenue: ",
                           "HTTP POST Request - statusCode devrait être 2xx, mais code %ld reçu",
                           "HTTP POST Request: Mauvais type MIME !", "HTTP POST Request - jsonString reçu:\n "};

}  // namespace

TmajEndpoint tmajEndpointFromEnvironment() {
    TmajEndpoint endpoint;
    if (const char* base = std::getenv(kTmajBaseAddressVariable); base && *base) {
        endpoint.baseAddress = base;
        while (!endpoint.baseAddress.empty() && endpoint.baseAddress.back() == '/') endpoint.baseAddress.pop_back();
    }
    if (const char* ca = std::getenv(kTmajExtraCaVariable); ca && *ca) endpoint.extraCaFile = ca;
    return endpoint;
}

// The shared cookie store, locked per kind of data as libcurl asks when handles run on several threads.
struct TmajManager::Share {
    Share() {
        curl::globalInit();
        handle = curl_share_init();
        curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
        curl_share_setopt(handle, CURLSHOPT_LOCKFUNC, &Share::lock);
        curl_share_setopt(handle, CURLSHOPT_UNLOCKFUNC, &Share::unlock);
        curl_share_setopt(handle, CURLSHOPT_USERDATA, this);
    }
    ~Share() { curl_share_cleanup(handle); }

    static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
        static_cast<Share*>(self)->mutexes[static_cast<std::size_t>(data) % kLocks].lock();
    }
    static void unlock(CURL*, curl_lock_data data, void* self) {
        static_cast<Share*>(self)->mutexes[static_cast<std::size_t>(data) % kLocks].unlock();
    }

    static constexpr std::size_t kLocks = 8;
    CURLSH* handle = nullptr;
    std::array<std::mutex, kLocks> mutexes;
};

struct TmajManager::Exchange {
    bool transferred = false;
    std::string error;
    long status = 0;
    std::string mime;
    std::string body;
};

TmajManager::TmajManager(TmajEndpoint endpoint) : endpoint_(std::move(endpoint)), share_(std::make_unique<Share>()) {}

TmajManager::~TmajManager() = default;

TmajManager& TmajManager::shared() {
    static TmajManager* instance = new TmajManager();  // lives until the process ends
    return *instance;
}

void TmajManager::clearCookies() {
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) return;
    curl_easy_setopt(curl.get(), CURLOPT_SHARE, share_->handle);
    curl_easy_setopt(curl.get(), CURLOPT_COOKIELIST, "ALL");
}

std::optional<std::vector<std::string>> TmajManager::cookies() const {
    std::lock_guard lock(cookiesMutex_);
    return cookies_;
}

TmajManager::Exchange TmajManager::exchange(const std::string& method, const std::string& url, const std::string* body,
                                            bool jsonHeaders, bool takeCookies) {
    Exchange out;
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) {
        out.error = "initialisation du client HTTP impossible";
        return out;
    }
    std::array<char, CURL_ERROR_SIZE> errorBuffer{};
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, requestTimeoutMs);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!endpoint_.extraCaFile.empty()) {
        curl_easy_setopt(c, CURLOPT_SSL_CTX_FUNCTION, &curl::addExtraAuthoritiesCallback);
        curl_easy_setopt(c, CURLOPT_SSL_CTX_DATA, endpoint_.extraCaFile.c_str());
    }
    curl_easy_setopt(c, CURLOPT_SHARE, share_->handle);
    curl_easy_setopt(c, CURLOPT_COOKIEFILE, "");  // cookie engine on, nothing read from disk
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorBuffer.data());
    CappedBody capped{&out.body};
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &appendCapped);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &capped);
    std::unique_ptr<curl_slist, CurlDeleter> headers;
    // Always a fresh answer, never one kept by a proxy.
    curl_slist* list = curl_slist_append(nullptr, "Cache-Control: no-cache");
    if (jsonHeaders) {
        list = curl_slist_append(list, "Content-Type: application/json");
        list = curl_slist_append(list, "Accept: application/json");
    }
    headers.reset(list);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    if (method == "POST") {
        curl_easy_setopt(c, CURLOPT_POST, 1L);
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, body ? body->c_str() : "");
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(body ? body->size() : 0));
    } else {
        curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    }

    const CURLcode code = curl_easy_perform(c);
    if (capped.overflowed) {
        out.body.clear();
        out.error = kTooLarge;
        return out;
    }
    if (code != CURLE_OK) {
        out.error = errorBuffer[0] ? errorBuffer.data() : curl_easy_strerror(code);
        return out;
    }
    out.transferred = true;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &out.status);
    char* contentType = nullptr;
    curl_easy_getinfo(c, CURLINFO_CONTENT_TYPE, &contentType);
    out.mime = mimeType(contentType);
    if (takeCookies) {
        curl_slist* cookieList = nullptr;
        curl_easy_getinfo(c, CURLINFO_COOKIELIST, &cookieList);
        std::vector<std::string> lines;
        for (curl_slist* it = cookieList; it; it = it->next) lines.emplace_back(it->data);
        curl_slist_free_all(cookieList);
        std::lock_guard lock(cookiesMutex_);
        cookies_ = std::move(lines);
    }
    return out;
}

TmajCheck TmajManager::check(const std::string& serial) {
    logInfo("Vérification de télémise à jour disponible pour la QEL n°" + serial);
    const std::string url = endpoint_.baseAddress + kCheckPath;
    const std::string body = nlohmann::json{{"cardId", serial}, {"os", "MacOS 10"}}.dump(
        2, ' ', false, nlohmann::json::error_handler_t::replace);
    logDebug("Envoi d'une requête CheckTMAJ à " + url);
    // Each check starts without cookies: another card's, or a finished session's, must not go with it.
    clearCookies();
    // Cookies are copied only when the answer announces an update: taken here, dropped below otherwise.
    std::optional<std::vector<std::string>> previous = cookies();
    Exchange answer = exchange("POST", url, &body, true, true);
    auto restoreCookies = [&] {
        std::lock_guard lock(cookiesMutex_);
        cookies_ = std::move(previous);
    };
    auto failed = [&](long httpStatus, std::string why) {
        restoreCookies();
        return TmajCheck{kCheckFailed, httpStatus, std::move(why)};
    };
    if (!answer.transferred) {
        const std::string why = answer.error.empty() ? "Erreur inconnue" : answer.error;
        logError("Check TMAJ - une erreur est survenue: " + why);
        return failed(0, why);
    }
    if (answer.status < 200 || answer.status > 299) {
        logError(format("Check TMAJ - statusCode devrait être 2xx, mais code %ld reçu", answer.status));
        return failed(answer.status, format("code %ld", answer.status));
    }
    if (!isUtf8(answer.body)) {
        logError("Check TMAJ - une erreur est survenue: la réponse n'est pas un texte UTF-8");
        return failed(answer.status, "la réponse n'est pas un texte UTF-8");
    }
    logDebug("responseString = " + answer.body);
    if (answer.body.find(kUpToDatePhrase) != std::string::npos) {
        restoreCookies();
        logSuccess("QEL déjà à jour");
        return TmajCheck{kUpToDate, answer.status, {}};
    }
    logSuccess("Mise à jour QEL disponible");
    return TmajCheck{kUpdateAvailable, answer.status, {}};
}

ApduList TmajManager::decodeAnswer(const Exchange& answer, const char* kind) {
    const Texts& t = std::string_view(kind) == "GET" ? kGetTexts : kPostTexts;
    if (!answer.transferred) {
        logError(t.failure + (answer.error.empty() ? std::string("Erreur inconnue") : answer.error));
        return {};
    }
    if (answer.status < 200 || answer.status > 299) {
        logError(format(t.status, answer.status));
        return {};
    }
    if (answer.mime != "application/json") {
        logError(t.mime);
        return {};
    }
    logDebug(t.received + (isUtf8(answer.body) ? answer.body : std::string()));
    std::string why;
    std::optional<ApduList> list = decodeApduList(answer.body, &why);
    if (!list) {
        logError("JSON erreur: " + why);
        return {};
    }
    logDebug("JSON decode OK !");
    return std::move(*list);
}

ApduList TmajManager::getRequest(const std::string& path, const std::vector<std::string>& arguments) {
    std::string url = endpoint_.baseAddress + kSessionRoot + path;
    for (const std::string& argument : arguments) {
        if (!plainPathArgument(argument)) {
            logError(std::string(kGetTexts.failure) + "argument de chemin refusé");
            return {};
        }
        url += "/" + argument;
    }
    logDebug("Envoi d'une requête GET à " + url);
    return decodeAnswer(exchange("GET", url, nullptr, false, false), "GET");
}

ApduList TmajManager::postRequest(const std::string& path, const ApduList& inputParams, const std::string& cardnum) {
    const std::string url = endpoint_.baseAddress + kSessionRoot + path;
    const std::string body = encodePostBody(inputParams, cardnum);
    logDebug("jsonString envoyé:\n " + body);
    logDebug("Envoi d'une requête POST à " + url);
    return decodeAnswer(exchange("POST", url, &body, true, false), "POST");
}

}  // namespace qel
