#pragma once
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/delegates.h"
#include "app/later_hooks.h"
#include "app/views/certificate_view.h"

namespace qel {

class AuthorityStore;
class CrlFetcher;
class Pkcs11Card;
class Pkcs11X509;

/// Name of the authentication certificate of a contact card.
inline constexpr const char* kAuthentCertificateName = "Certificat d'Authentification QEL";

/// The certificates sub-view's collaborators.
struct CertificateViewServices {
    ui::CertificateViewer& viewer;
    ui::FilePicker& files;
    CrlFetcher& fetcher;
    /// The issuing authorities, whose keys check the revocation lists.
    AuthorityStore& authorities;
    /// Where the downloaded list is written.
    std::string crlPath;
    /// The save dialog's starting folder.
    std::string userDesktop;
};

/// The certificates sub-view: shows and saves the card's certificates, and checks the revocation of
/// the authentication certificate for the main window. Main thread only; the check blocks for at
/// most the download's time-out.
class CertificateViewController final : public CertificatesPane {
public:
    /// The view's outlets must be complete; the buttons are wired here.
    CertificateViewController(ui::CertificateView& view, CertificateViewServices services);

    /// The main window, whose selected card the view shows. Null: the view shows no card.
    void setMainWindow(MainWindowDelegate* mainWindow) { mainWindow_ = mainWindow; }

    /// Loads the certificates when none are held yet and sets the rows.
    void viewWillAppear() override;
    void onViewAuthentCertificate();
    void onViewSignatureCertificate();
    void onSaveAuthentCertificate();
    void onSaveSignatureCertificate();

    /// True when the card's authentication certificate is listed as revoked by its issuing
    /// authority's signed list. Every failure is logged and answers false.
    bool checkRevoke();

    // CertificatesPane.
    void setCertificates(std::optional<std::vector<std::shared_ptr<Pkcs11X509>>> certificates) override;
    std::size_t certificateCount() const override { return certArray ? certArray->size() : 0; }
    bool isCardRevoked() override { return checkRevoke(); }

    /// The card shown, and its certificates (absent until loaded).
    std::shared_ptr<Pkcs11Card> pCard;
    std::optional<std::vector<std::shared_ptr<Pkcs11X509>>> certArray;

private:
    std::string authentName() const;
    std::shared_ptr<Pkcs11X509> certificateNamed(const std::string& name) const;
    void showCertificate(const std::string& name);
    void saveCertificate(const std::string& name);
    void updateRows();

    ui::CertificateView& view_;
    const ui::CertificateOutlets& o_;
    CertificateViewServices s_;
    MainWindowDelegate* mainWindow_ = nullptr;
};

}  // namespace qel
