#pragma once
#include <openssl/types.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/authority_names.h"
#include "common/bytes.h"

namespace qel {

/// The folder the authority certificates ("<name>.cer", DER) are read from: $QEL_AUTHORITY_DIR
/// when set, else the installed data folder.
std::string authorityDirectory();

/// One authority certificate with the names the chain walk compares.
struct AuthorityCertificate {
    std::string resourceName;
    std::shared_ptr<X509> certificate;
    Bytes der;
    /// DER of the subject and issuer names.
    Bytes subject;
    Bytes issuer;
    /// Issuer and subject byte-equal.
    bool isRoot() const { return subject == issuer; }
};

/// The authority certificates found in a folder, in list order. A file that is missing or is not a
/// certificate is skipped (logged): the installed application carries all of them.
std::vector<AuthorityCertificate> loadAuthorities(const std::string& directory);

/// The authority certificates of one folder, read on first use and kept.
class AuthorityStore {
public:
    explicit AuthorityStore(std::string directory) : directory_(std::move(directory)) {}
    /// Certificates given directly (tests).
    explicit AuthorityStore(std::vector<AuthorityCertificate> authorities)
        : authorities_(std::move(authorities)), loaded_(true) {}
    const std::vector<AuthorityCertificate>& all() {
        if (!loaded_) {
            authorities_ = loadAuthorities(directory_);
            loaded_ = true;
        }
        return authorities_;
    }

private:
    std::string directory_;
    std::vector<AuthorityCertificate> authorities_;
    bool loaded_ = false;
};

/// The DER encoding of a name; empty for a null name.
Bytes derOfName(const X509_NAME* name);

/// The authority that issued `certificate`: its subject equals the certificate's issuer and its key
/// verifies the certificate's signature. Null when none does.
const AuthorityCertificate* findIssuer(const std::vector<AuthorityCertificate>& authorities, X509* certificate);

}  // namespace qel
