#pragma once
// The certificates sub-view, the certificate dialog and the save dialog.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/views/widgets.h"

namespace qel::ui {

/// The controls of the certificates sub-view: one row per certificate of the card.
struct CertificateOutlets {
    Label* authentName = nullptr;   ///< "Certificat d'Authentification QEL" or "Certificat Technique QEL"
    Button* authentView = nullptr;  ///< `onViewAuthentCertificate`
    Button* authentSave = nullptr;  ///< `onSaveAuthentCertificate`
    Label* signatureName = nullptr;
    Button* signatureView = nullptr;  ///< `onViewSignatureCertificate`
    Button* signatureSave = nullptr;  ///< `onSaveSignatureCertificate`
    Label* countLabel = nullptr;      ///< how many certificates the card holds
    Label* messageLabel = nullptr;    ///< the outcome of a save

    bool complete() const;
};

class CertificateView {
public:
    virtual ~CertificateView() = default;
    virtual const CertificateOutlets& outlets() = 0;
    /// The whole sub-view (hidden while it loads).
    virtual void setViewHidden(bool hidden) = 0;
};

/// A certificate decoded for display. Texts are ready to show; lists keep the certificate's order.
struct CertificateDetails {
    std::string title;  ///< the certificate's name on the card
    std::string subject;
    std::string issuer;
    std::string notBefore;  ///< "dd/MM/yyyy HH:mm:ss" in local time
    std::string notAfter;
    std::string serial;     ///< hexadecimal, bytes separated by ':'
    std::string publicKey;  ///< algorithm and size, e.g. "RSA 2048 bits"
    std::string signatureAlgorithm;
    std::string sha256;  ///< fingerprints, bytes separated by ':'
    std::string sha1;
    std::vector<std::string> keyUsages;
    struct Extension {
        std::string name;
        bool critical = false;
        std::string value;
    };
    std::vector<Extension> extensions;
};

/// Shows one certificate in a window-modal dialog.
class CertificateViewer {
public:
    virtual ~CertificateViewer() = default;
    virtual void show(const CertificateDetails& details) = 0;
};

/// A save dialog: one file type, no folder creation.
struct SaveRequest {
    std::string startDirectory;
    std::string proposedName;
    std::string extension;  ///< "cer", without the dot
    /// The dialog's title and what the files are, for its type filter.
    std::string title = "Enregistrer le certificat";
    std::string typeName = "Certificat";
};

/// Asks the user where to save a file.
class FilePicker {
public:
    virtual ~FilePicker() = default;
    /// The absolute path chosen, or nothing when the user cancelled. Main thread only.
    virtual std::optional<std::string> chooseSaveLocation(const SaveRequest& request) = 0;
};

}  // namespace qel::ui
