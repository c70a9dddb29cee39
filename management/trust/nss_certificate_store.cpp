#include "management/trust/nss_certificate_store.h"

#include <cert.h>
#include <certdb.h>
#include <nss.h>
#include <pk11pub.h>
#include <prerror.h>
#include <sys/stat.h>

#include <cstdlib>

#include "common/logger.h"
#include "common/user_dirs.h"

namespace qel {
namespace {

std::string nssError() {
    const PRErrorCode code = PR_GetError();
    const char* name = PR_ErrorToName(code);
    const char* text = PR_ErrorToString(code, PR_LANGUAGE_I_DEFAULT);
    return std::string(name ? name : "?") + " (" + (text ? text : "") + ")";
}

SECItem itemOf(const Bytes& bytes) {
    return SECItem{siBuffer, const_cast<unsigned char*>(bytes.data()), static_cast<unsigned int>(bytes.size())};
}

}  // namespace

std::string userNssDatabase() { return userdirs::nssSharedDatabase(); }

bool NssCertificateStore::open() {
    if (context_) return true;
    if (!userdirs::makeDirs(directory_, 0700)) {
        logError("Base de certificats NSS : impossible de créer " + directory_);
        return false;
    }
    NSSInitParameters parameters{};
    parameters.length = sizeof parameters;
    const std::string config = "sql:" + directory_;
    context_ = NSS_InitContext(config.c_str(), "", "", "", &parameters, NSS_INIT_NOROOTINIT | NSS_INIT_NOMODDB);
    if (!context_) {
        logError("Base de certificats NSS " + directory_ + " : ouverture impossible " + nssError());
        return false;
    }
    // A database created just now has no password yet; give it the empty one, as
    // `certutil -N --empty-password` does, so that every tool opens it without asking.
    if (PK11SlotInfo* slot = PK11_GetInternalKeySlot()) {
        if (PK11_NeedUserInit(slot) && PK11_InitPin(slot, "", "") != SECSuccess)
            logError("Base de certificats NSS : initialisation impossible " + nssError());
        PK11_FreeSlot(slot);
    }
    return true;
}

void NssCertificateStore::close() {
    if (!context_) return;
    if (NSS_ShutdownContext(context_) != SECSuccess) logError("Base de certificats NSS : fermeture " + nssError());
    context_ = nullptr;
}

CertificateStore::Presence NssCertificateStore::find(const AuthorityCertificate& authority) {
    Presence presence;
    if (!context_) return presence;
    SECItem subject = itemOf(authority.subject);
    CERTCertificate* found = CERT_FindCertByName(CERT_GetDefaultCertDB(), &subject);
    if (!found) return presence;
    presence.present = true;
    CERTCertTrust trust{};
    // Trusted for what the card's certificates need; a root trusted for servers only is completed.
    const unsigned wanted = CERTDB_TRUSTED_CA | CERTDB_TRUSTED_CLIENT_CA;
    presence.trusted = CERT_GetCertTrust(found, &trust) == SECSuccess && (trust.sslFlags & wanted) == wanted;
    CERT_DestroyCertificate(found);
    return presence;
}

bool NssCertificateStore::add(const AuthorityCertificate& authority) {
    if (!context_) return false;
    PK11SlotInfo* slot = PK11_GetInternalKeySlot();
    if (!slot) {
        logError("Base de certificats NSS : pas d'emplacement interne " + nssError());
        return false;
    }
    SECItem der = itemOf(authority.der);
    const SECStatus status =
        PK11_ImportDERCert(slot, &der, CK_INVALID_HANDLE, const_cast<char*>(authority.resourceName.c_str()), PR_FALSE);
    PK11_FreeSlot(slot);
    if (status != SECSuccess) {
        logError("Ajout du certificat " + authority.resourceName + " impossible : " + nssError());
        return false;
    }
    return true;
}

bool NssCertificateStore::trustAsAuthority(const AuthorityCertificate& authority) {
    if (!context_) return false;
    SECItem der = itemOf(authority.der);
    CERTCertificate* certificate = CERT_FindCertByDERCert(CERT_GetDefaultCertDB(), &der);
    if (!certificate) {
        logError("Certificat " + authority.resourceName + " absent de la base : " + nssError());
        return false;
    }
    CERTCertTrust trust{};
    // A trust anchor for TLS only: "C" for the certificates it issues to servers, "T" for those it
    // issues to clients, which the card's authentication certificate is (with "C" alone NSS refuses
    // to verify it). Mail and code signing are left to the user.
    SECStatus status = CERT_DecodeTrustString(&trust, "CT,,");
    if (status == SECSuccess) status = CERT_ChangeCertTrust(CERT_GetDefaultCertDB(), certificate, &trust);
    CERT_DestroyCertificate(certificate);
    if (status != SECSuccess) {
        logError("Confiance du certificat " + authority.resourceName + " impossible : " + nssError());
        return false;
    }
    return true;
}

}  // namespace qel
