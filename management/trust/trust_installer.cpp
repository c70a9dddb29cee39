#include "management/trust/trust_installer.h"

#include <openssl/x509.h>

#include <algorithm>

#include "common/logger.h"
#include "issuerlib/pkcs11_x509.h"

namespace qel {
namespace {

bool contains(const Bytes& haystack, const Bytes& needle) {
    return !needle.empty() &&
           std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

class OpenStore {
public:
    explicit OpenStore(CertificateStore& store) : store_(store), open_(store.open()) {}
    ~OpenStore() {
        if (open_) store_.close();
    }
    OpenStore(const OpenStore&) = delete;
    OpenStore& operator=(const OpenStore&) = delete;
    explicit operator bool() const { return open_; }

private:
    CertificateStore& store_;
    bool open_;
};

}  // namespace

TrustInstallOutcome TrustCertificatesInstaller::installChainOf(const Pkcs11X509& certificate) {
    if (!certificate.secCert()) return TrustInstallOutcome{TrustInstallOutcome::Status::storeFailed, {}, {}, {}};
    return installChain(derOfName(X509_get_issuer_name(certificate.secCert())));
}

std::vector<KeychainCert> TrustCertificatesInstaller::walk(const Bytes& issuerName) {
    std::vector<KeychainCert> chain;
    Bytes wanted = issuerName;
    const auto& authorities = authorities_.all();
    // A chain cannot be longer than the list; a loop of names would otherwise never end.
    while (chain.size() < authorities.size()) {
        auto match = std::find_if(authorities.begin(), authorities.end(),
                                  [&](const AuthorityCertificate& a) { return contains(a.subject, wanted); });
        if (match == authorities.end()) break;
        if (std::any_of(chain.begin(), chain.end(), [&](const KeychainCert& c) { return c.authority == &*match; }))
            break;
        KeychainCert candidate;
        candidate.authority = &*match;
        candidate.isRoot = match->isRoot();
        const auto presence = store_.find(*match);
        candidate.isInKeychain = presence.present;
        candidate.isTrusted = presence.trusted;
        chain.push_back(candidate);
        if (candidate.isRoot) break;
        wanted = match->issuer;
    }
    return chain;
}

TrustInstallOutcome TrustCertificatesInstaller::installChain(const Bytes& issuerName) {
    using Status = TrustInstallOutcome::Status;
    TrustInstallOutcome outcome;
    OpenStore open(store_);
    if (!open) {
        outcome.status = Status::storeFailed;
        return outcome;
    }
    const std::vector<KeychainCert> chain = walk(issuerName);
    if (chain.empty()) {
        logInfo("Aucun certificat d'autorité ne correspond à l'émetteur du certificat");
        outcome.status = Status::noMatchingAuthority;
        return outcome;
    }
    for (const KeychainCert& candidate : chain) outcome.chain.push_back(candidate.authority->resourceName);
    const bool rootNeedsTrust = chain.back().isRoot && !chain.back().isTrusted;
    if (rootNeedsTrust && refusedRoots_.count(chain.back().authority->resourceName)) {
        // Every card read would ask again otherwise: the holder's answer stands until restart.
        outcome.status = Status::refused;
        return outcome;
    }
    if (rootNeedsTrust) {
        ui::Alert alert;
        alert.messageText = "Mise à jour des trousseaux d'accès.";
        alert.informativeText = "Les certificats de confiance de l'IRV vont être installés sur votre système.";
        alert.buttons = {"OK", "Annuler"};
        // Asked before anything is written: a refusal leaves the database as it was.
        if (alerts_.runModal(alert) != 0) {
            logInfo("Installation des certificats de confiance refusée par l'utilisateur");
            refusedRoots_.insert(chain.back().authority->resourceName);
            outcome.status = Status::refused;
            return outcome;
        }
    }
    outcome.status = Status::storeFailed;
    for (const KeychainCert& candidate : chain) {
        const std::string& name = candidate.authority->resourceName;
        if (!candidate.isInKeychain) {
            if (!store_.add(*candidate.authority)) return outcome;
            logSuccess("Certificat d'autorité ajouté : " + name);
            outcome.added.push_back(name);
        }
        if (candidate.isRoot && !candidate.isTrusted) {
            if (!store_.trustAsAuthority(*candidate.authority)) return outcome;
            logSuccess("Autorité racine de confiance : " + name);
            outcome.trustedRoot = name;
        }
    }
    outcome.status = Status::done;
    return outcome;
}

}  // namespace qel
