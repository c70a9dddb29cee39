#include "app/certificate_view_controller.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "app/certificate_details.h"
#include "management/revocation/crl_download.h"
#include "management/revocation/crl_lookup.h"
#include "management/trust/authority_store.h"
#include "common/logger.h"
#include "issuerlib/pkcs11_card.h"

namespace qel {
namespace {

bool writeFile(const std::string& path, const Bytes& bytes, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        error = std::strerror(errno);
        return false;
    }
    const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (std::fclose(file) != 0 || !written) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

std::string countText(std::size_t count) {
    if (count == 0) return "Aucun certificat sur la carte";
    return std::to_string(count) + (count == 1 ? " certificat sur la carte" : " certificats sur la carte");
}

}  // namespace

CertificateViewController::CertificateViewController(ui::CertificateView& view, CertificateViewServices services)
    : view_(view), o_(view.outlets()), s_(std::move(services)) {
    if (!o_.complete()) throw std::invalid_argument("certificate view: outlets missing");
    o_.authentView->setClickHandler([this] { onViewAuthentCertificate(); });
    o_.authentSave->setClickHandler([this] { onSaveAuthentCertificate(); });
    o_.signatureView->setClickHandler([this] { onViewSignatureCertificate(); });
    o_.signatureSave->setClickHandler([this] { onSaveSignatureCertificate(); });
}

void CertificateViewController::setCertificates(std::optional<std::vector<std::shared_ptr<Pkcs11X509>>> certificates) {
    certArray = std::move(certificates);
    // A new card: what the view showed belongs to the previous one.
    if (!certArray) pCard.reset();
    o_.messageLabel->setText("");
}

std::string CertificateViewController::authentName() const {
    return !pCard || pCard->contactQEL ? kAuthentCertificateName : kTechnicalCertificateLabel;
}

void CertificateViewController::viewWillAppear() {
    logInfo("Demande de certificats");
    view_.setViewHidden(true);
    pCard = mainWindow_ ? mainWindow_->selectedCard() : nullptr;
    if (!certArray && pCard) {
        if (mainWindow_) mainWindow_->beginCardReading();
        if (!pCard->x509Certs) pCard->loadCertificates();
        certArray = pCard->x509Certs;
        if (mainWindow_) mainWindow_->endCardReading();
    }
    updateRows();
    view_.setViewHidden(false);
}

void CertificateViewController::updateRows() {
    const bool contact = pCard && pCard->contactQEL;
    o_.authentName->setText(authentName());
    const bool hasCard = pCard != nullptr;
    o_.authentView->setEnabled(hasCard);
    o_.authentSave->setEnabled(hasCard);
    o_.signatureName->setText(kSignatureCertificateLabel);
    o_.signatureView->setHidden(!contact);
    o_.signatureSave->setHidden(o_.signatureView->isHidden());
    o_.signatureName->setHidden(o_.signatureView->isHidden());
    o_.countLabel->setText(countText(certificateCount()));
    o_.messageLabel->setText("");
}

std::shared_ptr<Pkcs11X509> CertificateViewController::certificateNamed(const std::string& name) const {
    if (certArray)
        for (const auto& certificate : *certArray)
            if (certificate && certificate->certName == name) return certificate;
    logError("Pas de certificat avec le nom: " + name);
    return nullptr;
}

void CertificateViewController::showCertificate(const std::string& name) {
    auto certificate = certificateNamed(name);
    if (!certificate) return;
    s_.viewer.show(describeCertificate(certificate->secCert(), name));
}

void CertificateViewController::saveCertificate(const std::string& name) {
    auto certificate = certificateNamed(name);
    if (!certificate || !certificate->derValue) return;
    ui::SaveRequest request;
    request.startDirectory = s_.userDesktop;
    request.proposedName = name + " - " + (pCard ? pCard->serial : std::string()) + ".cer";
    request.extension = "cer";
    auto chosen = s_.files.chooseSaveLocation(request);
    if (!chosen) return;
    std::string path = *chosen;
    if (path.size() < 4 || path.compare(path.size() - 4, 4, ".cer") != 0) path += ".cer";
    logSuccess("Certificat enregistré sous: file://" + path);
    std::string error;
    if (!writeFile(path, *certificate->derValue, error)) {
        // A certificate the user believes saved but is not would be found missing much later.
        logError("Erreur lors de l'écriture du certificat " + path + " : " + error);
        o_.messageLabel->setTextColour(ui::colours::red);
        o_.messageLabel->setText("Le certificat n'a pas pu être enregistré.");
        return;
    }
    o_.messageLabel->setTextColour(ui::colours::darkGrey);
    o_.messageLabel->setText("Certificat enregistré sous : " + path);
}

void CertificateViewController::onViewAuthentCertificate() { showCertificate(authentName()); }
void CertificateViewController::onViewSignatureCertificate() { showCertificate(kSignatureCertificateLabel); }
void CertificateViewController::onSaveAuthentCertificate() { saveCertificate(authentName()); }
void CertificateViewController::onSaveSignatureCertificate() { saveCertificate(kSignatureCertificateLabel); }

bool CertificateViewController::checkRevoke() {
    if (!certArray || certArray->empty()) return false;
    std::shared_ptr<Pkcs11X509> certificate;
    for (const auto& candidate : *certArray)
        if (candidate && candidate->certName == kAuthentCertificateName) {
            certificate = candidate;
            break;
        }
    if (!certificate) {
        logError("CheckRevoke: Erreur lors de la récupération du certificat");
        return false;
    }
    auto serial = serialBytes(certificate->secCert());
    if (!serial) {
        logError("CheckRevoke: Erreur lors de la récupération du numéro de série du certificat");
        return false;
    }
    auto url = crlDistributionPoint(certificate->secCert());
    if (!url) {
        logError("CheckRevoke: Erreur lors de la récupération de l'URL du point de distribution CRL");
        return false;
    }
    auto crl = s_.fetcher.fetch(*url, s_.crlPath);
    if (!crl) {
        logError("CheckRevoke: Erreur lors de la récupération du CRL");
        return false;
    }
    const AuthorityCertificate* issuer = findIssuer(s_.authorities.all(), certificate->secCert());
    const CrlAnswer answer =
        issuer ? lookupSerial(*crl, *serial, issuer->certificate.get()) : CrlAnswer::notSignedByIssuer;
    switch (answer) {
        case CrlAnswer::notRevoked:
            logInfo("Certificat valide");
            return false;
        case CrlAnswer::revoked:
            logWarning("Certificat opposé !");
            return true;
        case CrlAnswer::notSignedByIssuer:
            // Anyone between the card and the server can send a list; only the authority's counts.
            logError(issuer ? "CheckRevoke: La signature du CRL ne correspond pas à l'autorité émettrice"
                            : "CheckRevoke: Autorité émettrice du certificat introuvable");
            break;
        case CrlAnswer::outdated:
            logError("CheckRevoke: Le CRL a dépassé sa date de prochaine mise à jour : il ne permet pas de conclure");
            break;
        case CrlAnswer::unreadable:
            break;
    }
    logError("CheckRevoke: Erreur lors de la vérification de l'opposition du certificat");
    return false;
}

}  // namespace qel
