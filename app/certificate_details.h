#pragma once
#include <openssl/types.h>

#include <string>

#include "app/views/certificate_view.h"

namespace qel {

/// Decodes a certificate for the certificate dialog. `title` is the certificate's name on the card.
ui::CertificateDetails describeCertificate(X509* certificate, const std::string& title);

}  // namespace qel
