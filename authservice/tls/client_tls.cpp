// The engine interface is the one the installed pkcs11 engine offers; OpenSSL 3 marks it deprecated.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "authservice/tls/client_tls.h"

#include <curl/curl.h>
#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/ui.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <memory>
#include <mutex>

#include "common/format.h"
#include "common/hex.h"
#include "common/logger.h"

namespace qel::vek {

namespace {

struct EvpPkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct X509Free {
    void operator()(X509* c) const { X509_free(c); }
};

std::string openSslError() {
    const unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (e == 0) return "no detail";
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    return text;
}

// The engine asks its UI for a PIN when a key needs a login it has not got. Here no one is asked:
// the read fails, so the key is simply not loaded.
UI_METHOD* noPinPrompt() {
    static UI_METHOD* method = [] {
        UI_METHOD* m = UI_create_method("Kartello: no PIN prompt");
        UI_method_set_reader(m, [](UI*, UI_STRING*) { return 0; });
        return m;
    }();
    return method;
}

std::mutex selectionMutex;
std::string selection;  // the selected card's serial

// One engine for the process, over Sigilla's module file: the identity lookup loads the same file, so
// a token logged in there is logged in for the engine too. Never finished: that would finalise the
// module and end the card's login that the next handshakes use.
ENGINE* pkcs11Engine(const std::string& modulePath) {
    static std::mutex mutex;
    static ENGINE* engine = nullptr;
    std::lock_guard lock(mutex);
    if (engine != nullptr) return engine;
    ENGINE* e = ENGINE_by_id("pkcs11");
    if (e == nullptr) {
        logError(format("Vek TLS : the pkcs11 engine is not available : %s", openSslError().c_str()));
        return nullptr;
    }
    if (!ENGINE_ctrl_cmd_string(e, "MODULE_PATH", modulePath.c_str(), 0) || !ENGINE_init(e)) {
        logError(format("Vek TLS : the pkcs11 engine could not start : %s", openSslError().c_str()));
        ENGINE_free(e);
        return nullptr;
    }
    engine = e;
    return engine;
}

// Sigilla's module file, read from its registration once.
const std::string& sigillaModule() {
    static const std::string path = registeredSigillaModule();
    return path;
}

const char* problemText(IdentityProblem problem) {
    switch (problem) {
        case IdentityProblem::noModule:
            return "Sigilla is not registered or cannot start";
        case IdentityProblem::noToken:
            return "no token for the card";
        case IdentityProblem::notVerified:
            return "the card is not verified";
        case IdentityProblem::noAuthenticationKey:
            return "the token has no authentication key";
        case IdentityProblem::none:
            break;
    }
    return "no identity";
}

CURLcode sslContextCallback(CURL*, void* sslContext, void* self) {
    auto* tls = static_cast<ClientTls*>(self);
    if (!tls->addAuthorities(sslContext)) return CURLE_SSL_CACERT_BADFILE;
    return tls->prepareContext(sslContext) ? CURLE_OK : CURLE_SSL_CERTPROBLEM;
}

}  // namespace

void selectCard(const std::string& cardSerial) {
    {
        std::lock_guard lock(selectionMutex);
        selection = cardSerial;
    }
    HttpSession::shared().dropConnections();
}

std::string selectedCard() {
    std::lock_guard lock(selectionMutex);
    return selection;
}

ClientTlsOptions ClientTlsOptions::fromEnvironment() {
    ClientTlsOptions options;
    if (const char* file = std::getenv("QEL_VEK_CA_FILE"); file != nullptr) options.authorityFile = file;
    return options;
}

ClientTls::ClientTls(ClientTlsOptions options) : options_(std::move(options)) {}

bool ClientTls::prepareHandle(CURL* curl) {
    const bool ok = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
                    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
                    curl_easy_setopt(curl, CURLOPT_SSL_SESSIONID_CACHE, 0L) == CURLE_OK;
    if (!ok) logError("Vek TLS : libcurl refused the TLS options");
    return ok;
}

bool ClientTls::configure(CURL* curl) {
    if (!prepareHandle(curl)) return false;
    const bool ok = curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, &sslContextCallback) == CURLE_OK &&
                    curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, this) == CURLE_OK;
    if (!ok) logError("Vek TLS : libcurl refused the TLS context callback (is it built with OpenSSL?)");
    return ok;
}

bool ClientTls::addAuthorities(void* sslContext) const {
    if (options_.authorityFile.empty()) return true;
    // The system's store is already in the context; the configured authorities come on top.
    if (X509_STORE_load_file(SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext)),
                             options_.authorityFile.c_str()) == 1)
        return true;
    logError(format("Vek TLS : the authority file %s cannot be read : %s", options_.authorityFile.c_str(),
                    openSslError().c_str()));
    return false;
}

std::optional<PreparedIdentity> ClientTls::lastIdentity() const {
    std::lock_guard lock(mutex_);
    return last_;
}

bool ClientTls::prepareContext(void* sslContext) {
    SSL_CTX* ctx = static_cast<SSL_CTX*>(sslContext);
    {
        std::lock_guard lock(mutex_);
        last_.reset();
    }
    const std::string card = selectedCard();
    if (card.empty()) {
        logError("Vek TLS : no card selected, no client identity");
        return false;
    }
    // The lookup's session holds the token's login until the engine has loaded the key.
    const CardIdentity found = findCardIdentity(sigillaModule(), card);
    if (!found.identity) {
        logError(format("Vek TLS : no client identity for card %s : %s", card.c_str(), problemText(found.problem)));
        return false;
    }
    const ClientIdentity& identity = *found.identity;
    ENGINE* engine = pkcs11Engine(sigillaModule());
    if (engine == nullptr) return false;

    const unsigned char* der = identity.certificate.data();
    std::unique_ptr<X509, X509Free> certificate(
        d2i_X509(nullptr, &der, static_cast<long>(identity.certificate.size())));
    // By its identifier only, the card's own, so that no other key can match it: the engine keeps the
    // tokens it listed at its first key and would name the reader's token after that card. (It keeps
    // that card's sessions too: a later card's key stays out of its reach, and the request fails.)
    std::unique_ptr<EVP_PKEY, EvpPkeyFree> key(
        ENGINE_load_private_key(engine, identity.keyIdUri().c_str(), noPinPrompt(), nullptr));
    if (!certificate || !key) {
        logError(format("Vek TLS : the identity %s of token %s cannot be used : %s", toHex(identity.id).c_str(),
                        identity.tokenLabel.c_str(), openSslError().c_str()));
        return false;
    }
    // A key without RSA-PSS cannot sign in TLS 1.3, and OpenSSL prefers PSS even in TLS 1.2: such a
    // key is held to TLS 1.2 and offers PKCS#1 v1.5 signatures only.
    const char* clientSignatures = identity.signsPss ? "rsa_pss_rsae_sha256:RSA+SHA256" : "RSA+SHA256";
    if ((!identity.signsPss && SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION) != 1) ||
        SSL_CTX_set1_client_sigalgs_list(ctx, clientSignatures) != 1 ||
        SSL_CTX_use_certificate(ctx, certificate.get()) != 1 || SSL_CTX_use_PrivateKey(ctx, key.get()) != 1) {
        logError(format("Vek TLS : the identity cannot be set on the connection : %s", openSslError().c_str()));
        return false;
    }
    logInfo(format("Vek TLS : client identity %s of token %s (%s), %s", toHex(identity.id).c_str(),
                   identity.tokenLabel.c_str(), identity.module.c_str(),
                   identity.signsPss ? "TLS 1.3 allowed" : "TLS 1.2 with PKCS#1 v1.5"));
    std::lock_guard lock(mutex_);
    last_ = PreparedIdentity{identity.module, identity.tokenLabel, identity.id, identity.signsPss};
    return true;
}

}  // namespace qel::vek
