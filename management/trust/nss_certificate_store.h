#pragma once
#include <string>

#include "management/trust/trust_installer.h"

typedef struct NSSInitContextStr NSSInitContext;

namespace qel {

/// The user's NSS shared database: ~/.local/share/pki/nssdb when that folder exists, else
/// ~/.pki/nssdb.
std::string userNssDatabase();

/// The issuer chain's store on Linux: the user's NSS shared database (read by Chromium and most
/// desktop applications), opened through libnss3 without the built-in roots module and without the
/// modules the user registered, so that neither the system's trust store nor any card is touched.
class NssCertificateStore final : public CertificateStore {
public:
    explicit NssCertificateStore(std::string directory = userNssDatabase()) : directory_(std::move(directory)) {}
    ~NssCertificateStore() override { close(); }

    bool open() override;
    void close() override;
    Presence find(const AuthorityCertificate& authority) override;
    bool add(const AuthorityCertificate& authority) override;
    bool trustAsAuthority(const AuthorityCertificate& authority) override;

    const std::string& directory() const { return directory_; }

private:
    std::string directory_;
    NSSInitContext* context_ = nullptr;
};

}  // namespace qel
