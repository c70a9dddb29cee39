#include "update/tmaj_manager.h"

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "common/format.h"
#include "common/logger.h"
#include "common/utf8.h"
#include "http/client.h"
#include "update/relay_limits.h"

namespace qel {

namespace {

constexpr const char* kUpToDatePhrase = "Votre QEL est à jour";

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

// What the logs say of a transfer that failed; the answer cap is the relay's, in its own words.
std::string transportFailure(const http::TransportError& error) {
    if (error.kind == http::Failure::tooLarge) return "réponse de plus de 1 Mio refusée";
    return error.message.empty() ? std::string("Erreur inconnue") : error.message;
}

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

// The session's answer: the decoded command list, or nothing after a logged failure.
ApduList decodeAnswer(const http::Exchange& answer, const Texts& t) {
    if (answer.failure) {
        logError(t.failure + transportFailure(*answer.failure));
        return {};
    }
    const long status = answer.response.status;
    if (status < 200 || status > 299) {
        logError(format(t.status, status));
        return {};
    }
    if (http::mediaType(answer.response) != "application/json") {
        logError(t.mime);
        return {};
    }
    const std::string& body = answer.response.body;
    logDebug(t.received + (isUtf8(body) ? body : std::string()));
    std::string why;
    std::optional<ApduList> list = decodeApduList(body, &why);
    if (!list) {
        logError("JSON erreur: " + why);
        return {};
    }
    logDebug("JSON decode OK !");
    return std::move(*list);
}

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

// No handle is kept between requests: each opens its connection, the cookie store is what carries
// the session.
TmajManager::TmajManager(TmajEndpoint endpoint)
    : endpoint_(std::move(endpoint)), session_(std::make_unique<http::Session>(0)) {}

TmajManager::~TmajManager() = default;

TmajManager& TmajManager::shared() {
    static TmajManager* instance = new TmajManager();  // lives until the process ends
    return *instance;
}

void TmajManager::clearCookies() { session_->clearCookies(); }

std::optional<std::vector<std::string>> TmajManager::cookies() const {
    std::lock_guard lock(cookiesMutex_);
    return cookies_;
}

http::Exchange TmajManager::exchange(const std::string& method, const std::string& url, const std::string* body,
                                     bool jsonHeaders, const std::stop_token& stop) {
    http::Request request{method, url, {{"Cache-Control", "no-cache"}}, {}, {}};  // never an answer kept by a proxy
    if (jsonHeaders) {
        request.headers.emplace_back("Content-Type", "application/json");
        request.headers.emplace_back("Accept", "application/json");
    }
    if (body) request.body = *body;
    http::Policy policy;
    policy.timeoutMs = requestTimeoutMs;
    policy.maxBodyBytes = relay::kMaxAnswerBytes;
    policy.extraCaFile = endpoint_.extraCaFile;
    http::TransferControl control;
    const std::stop_callback cancel(stop, [&control] { control.cancelled = true; });
    return session_->perform(request, policy, &control);
}

TmajCheck TmajManager::check(const std::string& serial) {
    logInfo("Vérification de télémise à jour disponible pour la QEL n°" + serial);
    const std::string url = endpoint_.baseAddress + kCheckPath;
    const std::string body = nlohmann::json{{"cardId", serial}, {"os", "MacOS 10"}}.dump(
        2, ' ', false, nlohmann::json::error_handler_t::replace);
    logDebug("Envoi d'une requête CheckTMAJ à " + url);
    // Each check starts without cookies: another card's, or a finished session's, must not go with it.
    clearCookies();
    const http::Exchange answer = exchange("POST", url, &body, true, {});
    const long status = answer.response.status;
    auto failed = [&](long httpStatus, std::string why) {
        return TmajCheck{TmajAvailability::checkFailed, httpStatus, std::move(why)};
    };
    if (answer.failure) {
        const std::string why = transportFailure(*answer.failure);
        logError("Check TMAJ - une erreur est survenue: " + why);
        return failed(0, why);
    }
    if (status < 200 || status > 299) {
        logError(format("Check TMAJ - statusCode devrait être 2xx, mais code %ld reçu", status));
        return failed(status, format("code %ld", status));
    }
    if (!isUtf8(answer.response.body)) {
        logError("Check TMAJ - une erreur est survenue: la réponse n'est pas un texte UTF-8");
        return failed(status, "la réponse n'est pas un texte UTF-8");
    }
    logDebug("responseString = " + answer.response.body);
    if (answer.response.body.find(kUpToDatePhrase) != std::string::npos) {
        logSuccess("QEL déjà à jour");
        return TmajCheck{TmajAvailability::upToDate, status, {}};
    }
    // The cookies are kept only when the answer announces an update.
    {
        std::lock_guard lock(cookiesMutex_);
        cookies_ = session_->cookies();
    }
    logSuccess("Mise à jour QEL disponible");
    return TmajCheck{TmajAvailability::updateAvailable, status, {}};
}

ApduList TmajManager::getRequest(const std::string& path, const std::vector<std::string>& arguments,
                                 std::stop_token stop) {
    std::string url = endpoint_.baseAddress + kSessionRoot + path;
    for (const std::string& argument : arguments) {
        if (!plainPathArgument(argument)) {
            logError(std::string(kGetTexts.failure) + "argument de chemin refusé");
            return {};
        }
        url += "/" + argument;
    }
    logDebug("Envoi d'une requête GET à " + url);
    return decodeAnswer(exchange("GET", url, nullptr, false, stop), kGetTexts);
}

ApduList TmajManager::postRequest(const std::string& path, const ApduList& inputParams, const std::string& cardnum,
                                  std::stop_token stop) {
    const std::string url = endpoint_.baseAddress + kSessionRoot + path;
    const std::string body = encodePostBody(inputParams, cardnum);
    logDebug("jsonString envoyé:\n " + body);
    logDebug("Envoi d'une requête POST à " + url);
    return decodeAnswer(exchange("POST", url, &body, true, stop), kPostTexts);
}

}  // namespace qel
