#include "authservice/tls/client_tls.h"

#include "authservice/tls/card_key.h"

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

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

std::mutex selectionMutex;
std::string selection;             // the selected card's serial
std::uint64_t selectionCount = 0;  // counts the selections

// The signers of the card keys handed to connections, dropped when the card changes: a key made
// for one card never signs for the next, even on a connection that is still finishing.
std::mutex signersMutex;
std::vector<std::weak_ptr<TokenSigner>> signers;

void keepSigner(const std::shared_ptr<TokenSigner>& signer) {
    std::lock_guard lock(signersMutex);
    std::erase_if(signers, [](const std::weak_ptr<TokenSigner>& s) { return s.expired(); });
    signers.push_back(signer);
}

void dropSigners() {
    std::vector<std::weak_ptr<TokenSigner>> dropped;
    {
        std::lock_guard lock(signersMutex);
        dropped.swap(signers);
    }
    for (const auto& s : dropped)
        if (auto signer = s.lock()) signer->drop();
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
        ++selectionCount;
    }
    dropSigners();
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
    std::string card;
    std::uint64_t selected = 0;
    {
        std::lock_guard lock(selectionMutex);
        card = selection;
        selected = selectionCount;
    }
    if (card.empty()) {
        logError("Vek TLS : no card selected, no client identity");
        return false;
    }
    CardIdentity found = findCardIdentity(sigillaModule(), card);
    if (!found.identity) {
        logError(format("Vek TLS : no client identity for card %s : %s", card.c_str(), problemText(found.problem)));
        return false;
    }
    const ClientIdentity identity = *found.identity;
    const unsigned char* der = identity.certificate.data();
    std::unique_ptr<X509, X509Free> certificate(
        d2i_X509(nullptr, &der, static_cast<long>(identity.certificate.size())));
    // The key signs through a session of our own on the card's token (the lookup's, closed after the
    // handshake's signature), and only while this card stays selected.
    auto signer = std::make_shared<TokenSigner>(sigillaModule(), card, std::move(found));
    keepSigner(signer);
    {
        std::lock_guard lock(selectionMutex);
        if (selectionCount != selected) {
            signer->drop();
            logError(format("Vek TLS : card %s was replaced while its identity was prepared", card.c_str()));
            return false;
        }
    }
    std::unique_ptr<EVP_PKEY, EvpPkeyFree> key(certificate ? newCardKey(certificate.get(), signer) : nullptr);
    if (!certificate || !key) {
        logError(format("Vek TLS : the identity %s of token %s cannot be used : %s", toHex(identity.id).c_str(),
                        identity.tokenLabel.c_str(), openSslError().c_str()));
        return false;
    }
    // A key without RSA-PSS cannot sign in TLS 1.3, and OpenSSL prefers PSS even in TLS 1.2: such a
    // key is held to TLS 1.2 and offers PKCS#1 v1.5 signatures only. A renegotiation would ask the
    // card again, on a connection that may outlive its card: none is allowed.
    const char* clientSignatures = identity.signsPss ? "rsa_pss_rsae_sha256:RSA+SHA256" : "RSA+SHA256";
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
    if ((!identity.signsPss && SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION) != 1) ||
        SSL_CTX_set1_client_sigalgs_list(ctx, clientSignatures) != 1 ||
        SSL_CTX_use_certificate(ctx, certificate.get()) != 1 || SSL_CTX_use_PrivateKey(ctx, key.get()) != 1) {
        logError(format("Vek TLS : the identity cannot be set on the connection : %s", openSslError().c_str()));
        return false;
    }
    logInfo(format("Vek TLS : client identity %s (%s), %s", identity.keyUri().c_str(), identity.module.c_str(),
                   identity.signsPss ? "TLS 1.3 allowed" : "TLS 1.2 with PKCS#1 v1.5"));
    std::lock_guard lock(mutex_);
    last_ = PreparedIdentity{identity.module, identity.tokenLabel, identity.id, identity.signsPss};
    return true;
}

bool CardClientTls::configure(CURL* handle) {
    clearCardSignatureFailure();
    return tls_.prepareHandle(handle);
}

bool CardClientTls::clientKeyFailed() { return cardSignatureFailedOnThisThread(); }

}  // namespace qel::vek
