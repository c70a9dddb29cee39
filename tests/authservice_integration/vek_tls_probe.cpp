// vek-tls-probe: one request (or several fresh connections) to the authentication service with the
// card as TLS client identity, as Kartello makes it, for the integration tests; they run it as an
// ordinary user, because p11-kit reads a user's module registrations only for one.
//   vek-tls-probe --url URL [--card SERIAL] [--method M] [--data BODY] [--header 'Name: value']...
//                 [--issuer-library PATH --issuer-token TEXT]   (the PIN on standard input)
//                 [--software-cert PEM --software-key PEM] [--repeat N]
//   vek-tls-probe --service BASE-URL --admin ADMIN-URL --holder ID [--card SERIAL]
//                 [--issuer-library ... --issuer-token ...]
// With --issuer-library, the PIN step is made first through that library, as Kartello's is.
// --card names the selected card by its serial (none: no card selected).
// The first form makes plain requests and prints key=value lines: per connection "handshake_us", then
// status, curl, tls, signature, identity, modules (the PKCS#11 modules mapped), body. The second runs
// the service's operations through Kartello's runtime, with the card's identity on its HTTP session,
// one command per line of standard input (after the PIN line), and prints one line per command (and
// "took_ms" lines), then identity and modules:
//   fault TEXT | clear-faults | request NOTIFICATION-ID | code-state true|false
//   op pending | op codeState | op challenges N | op verify N CODE | op verify-right N
//   op cardResponse N SUCCEED|UNAUTHORIZED|CANCELLED | op logoutAll
//   select SERIAL|none (the card selected in the window) | holder ID (the holder of the next operations) | login
//   TOKEN-TEXT PIN (the PIN step for another card) mark PATH (creates PATH, then waits for PATH.go: the test changes
//   the cards meanwhile)
// Words after a command's own are ignored (a tag that makes the line unique).
#include <curl/curl.h>
#include <dlfcn.h>
#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <p11-kit/pkcs11.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include <sstream>

#include "authservice/apis/authentication_apis.h"
#include "authservice/apis/session_management_api.h"
#include "authservice/tls/client_tls.h"
#include "authservice/vek_config.h"
#include "common/hex.h"

namespace {

struct Captured {
    std::string body;
    std::string tls;
    std::string signature;
};

std::size_t collectBody(char* data, std::size_t size, std::size_t count, void* user) {
    static_cast<Captured*>(user)->body.append(data, size * count);
    return size * count;
}

// The connection is alive while its headers arrive: what it negotiated is read then.
std::size_t noteTls(char*, std::size_t size, std::size_t count, void* user) {
    auto* handle = static_cast<std::pair<CURL*, Captured*>*>(user);
    curl_tlssessioninfo* info = nullptr;
    if (handle->second->tls.empty() && curl_easy_getinfo(handle->first, CURLINFO_TLS_SSL_PTR, &info) == CURLE_OK &&
        info != nullptr && info->backend == CURLSSLBACKEND_OPENSSL && info->internals != nullptr) {
        SSL* ssl = static_cast<SSL*>(info->internals);
        handle->second->tls = SSL_get_version(ssl);
        int type = NID_undef;
        if (SSL_get_signature_type_nid(ssl, &type) == 1)
            handle->second->signature = type == NID_rsassaPss       ? "RSA-PSS"
                                        : type == NID_rsaEncryption ? "RSA-PKCS1"
                                                                    : "other";
        else
            handle->second->signature = "none";
    }
    return size * count;
}

// Kartello's PIN step through the issuer's library: a login on the token whose label holds `token`.
// The library stays loaded and logged in for the rest of the run, as in Kartello; a later step (the
// next card) logs in on that card's token through the same loaded library.
bool issuerLogin(const std::string& library, const std::string& token, std::string pin) {
    static CK_FUNCTION_LIST_PTR f = [&library]() -> CK_FUNCTION_LIST_PTR {
        void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) return nullptr;
        auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle, "C_GetFunctionList"));
        CK_FUNCTION_LIST_PTR list = nullptr;
        if (getList == nullptr || getList(&list) != CKR_OK || list->C_Initialize(nullptr) != CKR_OK) return nullptr;
        return list;
    }();
    bool done = false;
    CK_ULONG count = 0;
    if (f != nullptr) f->C_GetSlotList(CK_TRUE, nullptr, &count);
    std::vector<CK_SLOT_ID> slots(count);
    if (f != nullptr) f->C_GetSlotList(CK_TRUE, slots.data(), &count);
    slots.resize(count);
    for (CK_SLOT_ID slot : slots) {
        CK_TOKEN_INFO info{};
        if (f->C_GetTokenInfo(slot, &info) != CKR_OK) continue;
        if (std::string(reinterpret_cast<char*>(info.label), sizeof info.label).find(token) == std::string::npos)
            continue;
        CK_SESSION_HANDLE s = CK_INVALID_HANDLE;
        if (f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &s) != CKR_OK) continue;
        const CK_RV rv = f->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), pin.size());
        done = rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN;
        break;
    }
    OPENSSL_cleanse(pin.data(), pin.size());
    return done;
}

// The PKCS#11 modules mapped into this process besides the issuer's library: the file names of
// /proc/self/maps that end in .so and name a PKCS#11 module of the system or Sigilla.
std::string issuerFile;  // the issuer's library's file name, not counted

std::string loadedModules() {
    std::ifstream maps("/proc/self/maps");
    std::set<std::string> names;
    for (std::string line; std::getline(maps, line);) {
        const std::size_t slash = line.rfind('/');
        if (slash == std::string::npos) continue;
        const std::string name = line.substr(slash + 1);
        if (name == issuerFile) continue;
        if (name.find("pkcs11") != std::string::npos || name.find("softhsm") != std::string::npos ||
            name.find("p11-kit-proxy") != std::string::npos)
            names.insert(name);
    }
    std::string out;
    for (const std::string& name : names) out += (out.empty() ? "" : ",") + name;
    return out;
}

// Stops at a point the test named: `path` is created, and the run goes on once `path`.go exists
// (the test changes the cards in between).
void meet(const std::string& path) {
    std::ofstream(path) << "reached\n";
    while (!std::ifstream(path + ".go").good()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

// A plain HTTP call to the simulator's admin server.
std::string admin(const std::string& url, const std::string& method, const std::string& body = "") {
    CURL* curl = curl_easy_init();
    Captured answer;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    if (method == "POST") curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &collectBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    const CURLcode code = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    return code == CURLE_OK ? answer.body : "<admin unreachable>";
}

std::string oneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return text;
}

template <typename T>
std::string outcome(const qel::vek::Result<T>& result, const std::function<std::string(const T&)>& show) {
    if (result) return "ok value=" + show(result.value());
    const qel::vek::ErrorResponse& e = result.error();
    return "error status=" + std::to_string(e.statusCode()) + " body=" + oneLine(e.body().value_or("<none>")) +
           " underlying=" + oneLine(qel::vek::describe(e.error()));
}

// The service's operations, one per command line; see the header.
int runService(const std::string& base, const std::string& adminUrl, std::string holder,
               const std::string& issuerLibrary) {
    using namespace qel::vek;
    const char* home = std::getenv("HOME");
    VekConfig::setSettingsPath(std::string(home ? home : "/tmp") + "/vek-probe.plist");
    std::remove(VekConfig::settingsPath().c_str());
    {
        std::ofstream settings(VekConfig::settingsPath(), std::ios::binary);
        settings << VekConfig::encodeBinary(VekParams{base, base});
    }
    auto tls = std::make_shared<CardClientTls>();
    HttpSession::shared().setClientTlsConfigurator(tls);
    auto noBody = [](const NoBody&) { return std::string("none"); };
    for (std::string line; std::getline(std::cin, line);) {
        std::istringstream words(line);
        std::string verb, what, a, b;
        words >> verb >> what >> a >> b;
        std::string result;
        const auto started = std::chrono::steady_clock::now();
        if (verb == "mark") {
            meet(what);
            result = "met";
        } else if (verb == "select") {
            // What Kartello's window does when the selected card changes; "none" for no card.
            qel::vek::selectCard(what == "none" ? std::string() : what);
            result = "selected";
        } else if (verb == "holder") {
            holder = what;
            result = "holder " + holder;
        } else if (verb == "login") {
            // The PIN step for the card now in the reader: login TOKEN-TEXT PIN
            result = issuerLogin(issuerLibrary, what, a) ? "ok" : "failed";
        } else if (verb == "fault") {
            result = admin(adminUrl + "/admin/fault", "POST", what);
        } else if (verb == "clear-faults") {
            result = admin(adminUrl + "/admin/clear-faults", "POST");
        } else if (verb == "request") {
            result =
                admin(adminUrl + "/admin/request", "POST",
                      nlohmann::json{{"idNat", holder}, {"notificationId", what}, {"serviceName", "Portail"}}.dump());
        } else if (verb == "code-state") {
            result = admin(adminUrl + "/admin/code-state", "POST", what);
        } else if (verb == "op" && what == "pending") {
            result = outcome<std::vector<PendingAuthenticationRequestDto>>(
                CIBAAuthenticationAPIAPI::getPendingRequests(holder), [](const auto& list) {
                    std::string ids;
                    for (const auto& p : list) ids += p.notificationId.value_or("?") + ",";
                    return ids;
                });
        } else if (verb == "op" && what == "codeState") {
            result = outcome<EnabledFlagDto>(
                MultiFactorCIBAAuthenticationConfigurationAPI::getCodeState(),
                [](const EnabledFlagDto& f) { return f.enabled ? (*f.enabled ? "true" : "false") : "absent"; });
        } else if (verb == "op" && what == "challenges") {
            result =
                outcome<CodeSet>(MultiFactorCIBAAuthenticationAPI::createCodeChallenges(NotificationKeyDto{a}, holder),
                                 [](const CodeSet& codes) { return std::to_string(codes.size()) + "codes"; });
        } else if (verb == "op" && (what == "verify" || what == "verify-right")) {
            std::string code = b;
            if (what == "verify-right") {
                // The service's first code is the one its page shows the holder.
                const auto received = nlohmann::json::parse(admin(adminUrl + "/admin/received", "GET"), nullptr, false);
                if (received.is_object())
                    for (const auto& p : received["pending"])
                        if (p["notificationId"] == a && !p["codes"].empty()) code = p["codes"][0];
            }
            result = outcome<VerifyCodeResponseDto>(
                MultiFactorCIBAAuthenticationAPI::verifyCode(VerifyCodeRequestDto{code, a}, holder),
                [](const VerifyCodeResponseDto& r) { return r.valid ? (*r.valid ? "valid" : "invalid") : "absent"; });
        } else if (verb == "op" && what == "cardResponse") {
            const AuthStatus status = b == "CANCELLED"      ? AuthStatus::CANCELLED
                                      : b == "UNAUTHORIZED" ? AuthStatus::UNAUTHORIZED
                                                            : AuthStatus::SUCCEED;
            result = outcome<NoBody>(
                CIBAAuthenticationAPIAPI::postCardResponse(CibaAuthenticationCardResponseDto{a, status}, holder),
                noBody);
        } else if (verb == "op" && what == "logoutAll") {
            result = outcome<NoBody>(SessionManagementAPIAPI::logoutAll(holder), noBody);
        } else {
            result = "unknown command";
        }
        const auto took =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
        std::cout << line << " => " << result << std::endl;
        if (verb == "op") std::cout << "took_ms " << took.count() << " " << line << std::endl;
    }
    if (auto identity = tls->lastIdentity())
        std::cout << "identity=" << identity->tokenLabel << " " << qel::toHex(identity->id) << "\n";
    else
        std::cout << "identity=none\n";
    std::cout << "modules=" << loadedModules() << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string url, method = "GET", data, issuer, issuerToken, softCert, softKey, service, adminUrl, holder, card;
    std::vector<std::string> headers;
    bool hasData = false;
    int repeat = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i], value = argv[i + 1];
        if (arg == "--url")
            url = value;
        else if (arg == "--method")
            method = value;
        else if (arg == "--data")
            data = value, hasData = true;
        else if (arg == "--header")
            headers.push_back(value);
        else if (arg == "--issuer-library")
            issuer = value;
        else if (arg == "--issuer-token")
            issuerToken = value;
        else if (arg == "--software-cert")
            softCert = value;
        else if (arg == "--software-key")
            softKey = value;
        else if (arg == "--repeat")
            repeat = std::stoi(value);
        else if (arg == "--service")
            service = value;
        else if (arg == "--admin")
            adminUrl = value;
        else if (arg == "--holder")
            holder = value;
        else if (arg == "--card")
            card = value;
        else {
            std::cerr << "vek-tls-probe: unknown argument " << arg << "\n";
            return 2;
        }
    }
    if (url.empty() && service.empty()) return 2;
    // As Kartello's process does: Sigilla's login without a PIN takes over the card verified here.
    setenv("SIGILLA_ADOPT_VERIFIED_CARD", std::to_string(getpid()).c_str(), 1);
    if (!issuer.empty()) {
        issuerFile = issuer.substr(issuer.rfind('/') + 1);
        std::string pin;
        std::getline(std::cin, pin);
        const bool ok = issuerLogin(issuer, issuerToken, std::move(pin));
        std::cout << "issuer_login=" << (ok ? "ok" : "failed") << "\n";
        if (!ok) return 1;
    }

    curl_global_init(CURL_GLOBAL_DEFAULT);
    qel::vek::selectCard(card);
    if (!service.empty()) return runService(service, adminUrl, holder, issuer);
    qel::vek::ClientTls tls;
    Captured last;
    long status = 0;
    CURLcode code = CURLE_OK;
    char error[CURL_ERROR_SIZE] = {};
    for (int attempt = 0; attempt < repeat; ++attempt) {
        CURL* curl = curl_easy_init();
        last = Captured{};
        std::pair<CURL*, Captured*> self{curl, &last};
        curl_slist* list = nullptr;
        for (const auto& h : headers) list = curl_slist_append(list, h.c_str());
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
        if (hasData) curl_easy_setopt(curl, CURLOPT_POSTFIELDS, data.c_str());
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &collectBody);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &last);
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &noteTls);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, &self);
        if (softCert.empty()) {
            tls.configure(curl);
        } else {
            const char* ca = std::getenv("QEL_VEK_CA_FILE");
            curl_easy_setopt(curl, CURLOPT_CAINFO, ca ? ca : "");
            curl_easy_setopt(curl, CURLOPT_SSLCERT, softCert.c_str());
            if (softCert.size() > 4 && softCert.compare(softCert.size() - 4, 4, ".cer") == 0)
                curl_easy_setopt(curl, CURLOPT_SSLCERTTYPE, "DER");
            curl_easy_setopt(curl, CURLOPT_SSLKEY, softKey.c_str());
            curl_easy_setopt(curl, CURLOPT_SSL_SESSIONID_CACHE, 0L);
        }
        error[0] = '\0';
        code = curl_easy_perform(curl);
        status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        curl_off_t connected = 0, secured = 0;
        curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME_T, &connected);
        curl_easy_getinfo(curl, CURLINFO_APPCONNECT_TIME_T, &secured);
        if (code == CURLE_OK) std::cout << "handshake_us=" << (secured - connected) << "\n";
        curl_slist_free_all(list);
        curl_easy_cleanup(curl);
    }
    // As the service's runtime reports it: a transfer that failed is status -1.
    std::cout << "status=" << (code == CURLE_OK ? status : -1) << "\n"
              << "curl=" << static_cast<int>(code) << " " << (error[0] ? error : curl_easy_strerror(code)) << "\n"
              << "tls=" << last.tls << "\nsignature=" << last.signature << "\n";
    if (auto identity = tls.lastIdentity())
        std::cout << "identity=" << identity->tokenLabel << " " << qel::toHex(identity->id) << " (" << identity->module
                  << ")\n";
    else
        std::cout << "identity=none\n";
    std::cout << "modules=" << loadedModules() << "\n";
    std::cout << "body=" << last.body << "\n";
    return 0;
}
