#pragma once
#include <string>
#include <set>
#include <vector>

#include "management/trust/authority_store.h"
#include "management/views/alert_presenter.h"
#include "common/bytes.h"

namespace qel {

class Pkcs11X509;

/// The issuer chain installation for the card's first certificate.
class TrustInstaller {
public:
    virtual ~TrustInstaller() = default;
    virtual void checkIssuerChain(const Pkcs11X509& certificate) = 0;
};

/// The user's certificate database, where the issuer chain is installed.
class CertificateStore {
public:
    virtual ~CertificateStore() = default;
    /// Opens the database for reading and writing, creating it when the user has none. False (logged)
    /// when it cannot be opened; the other calls are only made between `open` and `close`.
    virtual bool open() = 0;
    virtual void close() = 0;

    struct Presence {
        bool present = false;
        /// Trusted as an authority that issues the card's kind of certificates (a trust anchor).
        bool trusted = false;
    };
    /// Whether a certificate with that subject is in the database.
    virtual Presence find(const AuthorityCertificate& authority) = 0;
    /// Adds the certificate without any trust. False (logged) on failure.
    virtual bool add(const AuthorityCertificate& authority) = 0;
    /// Marks the certificate, already added, as a trusted authority. False (logged) on failure.
    virtual bool trustAsAuthority(const AuthorityCertificate& authority) = 0;
};

/// One candidate of the chain walk and what the database knows of it.
struct KeychainCert {
    const AuthorityCertificate* authority = nullptr;
    bool isRoot = false;
    bool isInKeychain = false;
    bool isTrusted = false;
};

/// What one installation of the issuer chain did.
struct TrustInstallOutcome {
    enum class Status {
        done,                 ///< the chain is in the database, its root trusted (`added` may be empty)
        noMatchingAuthority,  ///< no authority certificate matches the card's issuer
        refused,              ///< the user did not agree to trust the root: nothing was written
        storeFailed,          ///< the database could not be opened or changed (logged)
    };
    Status status = Status::noMatchingAuthority;
    /// The authorities of the chain, card side first (their resource names).
    std::vector<std::string> chain;
    /// The authorities added by this call.
    std::vector<std::string> added;
    /// The root marked as a trusted authority by this call; empty when it already was.
    std::string trustedRoot;
};

/// Installs the issuing chain of the card's first certificate into the user's database and makes its
/// root a trusted authority, after telling the user. Main thread only.
class TrustCertificatesInstaller final : public TrustInstaller {
public:
    TrustCertificatesInstaller(AuthorityStore& authorities, CertificateStore& store, ui::AlertPresenter& alerts)
        : authorities_(authorities), store_(store), alerts_(alerts) {}

    void checkIssuerChain(const Pkcs11X509& certificate) override { installChainOf(certificate); }

    /// The chain of the certificate's issuer (`installChain`); storeFailed without a certificate.
    TrustInstallOutcome installChainOf(const Pkcs11X509& certificate);

    /// Walks from the authority whose subject contains `issuerName` up to a root and installs what
    /// is missing. Nothing is added when the user refuses to trust the root; a chain refused once
    /// is not asked for again while the program runs (refused at once).
    TrustInstallOutcome installChain(const Bytes& issuerName);

private:
    std::vector<KeychainCert> walk(const Bytes& issuerName);

    AuthorityStore& authorities_;
    CertificateStore& store_;
    ui::AlertPresenter& alerts_;
    /// The roots (resource names) whose trust the user refused.
    std::set<std::string> refusedRoots_;
};

}  // namespace qel
