#include "app/certificate_details.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <ctime>
#include <memory>

#include "common/format.h"

namespace qel {
namespace {

using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free)>;

std::string textOf(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return length > 0 && data ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

std::string nameText(const X509_NAME* name) {
    BioPtr bio(BIO_new(BIO_s_mem()), BIO_free);
    if (!name || !bio) return {};
    // One line, most specific last as desktops show it, UTF-8 kept as is.
    X509_NAME_print_ex(bio.get(), name, 0, (XN_FLAG_ONELINE | ASN1_STRFLGS_UTF8_CONVERT) & ~ASN1_STRFLGS_ESC_MSB);
    return textOf(bio.get());
}

std::string colonHex(const unsigned char* data, std::size_t size) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        if (i) text.push_back(':');
        text.push_back(digits[data[i] >> 4]);
        text.push_back(digits[data[i] & 0x0F]);
    }
    return text;
}

std::string timeText(const ASN1_TIME* time) {
    std::tm utc{};
    if (!time || ASN1_TIME_to_tm(time, &utc) != 1) return {};
    std::time_t seconds = timegm(&utc);
    std::tm local{};
    if (!localtime_r(&seconds, &local)) return {};
    return format("%02d/%02d/%04d %02d:%02d:%02d", local.tm_mday, local.tm_mon + 1, local.tm_year + 1900, local.tm_hour,
                  local.tm_min, local.tm_sec);
}

std::string fingerprint(X509* certificate, const EVP_MD* digest) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate, digest, md, &length) != 1) return {};
    return colonHex(md, length);
}

std::string keyText(X509* certificate) {
    EVP_PKEY* key = X509_get0_pubkey(certificate);
    if (!key) return {};
    const char* type = EVP_PKEY_get0_type_name(key);
    return format("%s %d bits", type ? type : "?", EVP_PKEY_get_bits(key));
}

// The extension names and the phrases of their printed values that the holder meets on QEL cards,
// in French like the rest of the view; anything else stays as the library prints it.
const char* frenchExtensionName(int nid) {
    switch (nid) {
        case NID_key_usage:
            return "Utilisation de la clé";
        case NID_ext_key_usage:
            return "Utilisation étendue de la clé";
        case NID_basic_constraints:
            return "Contraintes de base";
        case NID_subject_key_identifier:
            return "Identifiant de la clé du sujet";
        case NID_authority_key_identifier:
            return "Identifiant de la clé de l'autorité";
        case NID_crl_distribution_points:
            return "Points de distribution des listes de révocation";
        case NID_certificate_policies:
            return "Politiques de certification";
        case NID_info_access:
            return "Accès aux informations de l'autorité";
        case NID_subject_alt_name:
            return "Autre nom du sujet";
        case NID_issuer_alt_name:
            return "Autre nom de l'émetteur";
        case NID_private_key_usage_period:
            return "Période d'utilisation de la clé privée";
        case NID_qcStatements:
            return "Déclarations de certificat qualifié";
        default:
            return nullptr;
    }
}

std::string frenchValue(std::string text) {
    static const std::pair<const char*, const char*> phrases[] = {
        {"Digital Signature", "Signature numérique"},
        {"Non Repudiation", "Non-répudiation"},
        {"Key Encipherment", "Chiffrement de clé"},
        {"Data Encipherment", "Chiffrement de données"},
        {"Key Agreement", "Accord de clé"},
        {"Certificate Sign", "Signature de certificats"},
        {"CRL Sign", "Signature de listes de révocation"},
        {"Encipher Only", "Chiffrement seul"},
        {"Decipher Only", "Déchiffrement seul"},
        {"TLS Web Client Authentication", "Authentification de client TLS"},
        {"TLS Web Server Authentication", "Authentification de serveur TLS"},
        {"E-mail Protection", "Protection du courrier électronique"},
        {"Code Signing", "Signature de code"},
        {"Time Stamping", "Horodatage"},
        {"Full Name:", "Nom complet :"},
        {"Policy:", "Politique :"},
        {"CPS:", "Déclaration des pratiques :"},
        {"User Notice:", "Avis à l'utilisateur :"},
        {"Explicit Text:", "Texte explicite :"},
        {"CA Issuers - URI:", "Émetteurs de l'AC - URI :"},
        {"OCSP - URI:", "OCSP - URI :"},
        {"CA:TRUE", "AC : oui"},
        {"CA:FALSE", "AC : non"},
        {"pathlen:", "longueur de chemin : "},
        {"keyid:", "identifiant de clé : "},
        {"email:", "courriel : "},
        {"DirName:", "nom de répertoire : "},
    };
    for (const auto& [english, french] : phrases) {
        const std::string from = english;
        for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + std::strlen(french)))
            text.replace(at, from.size(), french);
    }
    return text;
}

std::string extensionValue(X509_EXTENSION* extension) {
    BioPtr bio(BIO_new(BIO_s_mem()), BIO_free);
    if (!bio) return {};
    if (X509V3_EXT_print(bio.get(), extension, 0, 0) != 1) {
        const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(extension);
        return colonHex(ASN1_STRING_get0_data(data), static_cast<std::size_t>(ASN1_STRING_length(data)));
    }
    std::string text = textOf(bio.get());
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return frenchValue(std::move(text));
}

std::vector<std::string> keyUsages(X509* certificate) {
    static const std::pair<std::uint32_t, const char*> usages[] = {
        {KU_DIGITAL_SIGNATURE, "Signature numérique"},
        {KU_NON_REPUDIATION, "Non-répudiation"},
        {KU_KEY_ENCIPHERMENT, "Chiffrement de clé"},
        {KU_DATA_ENCIPHERMENT, "Chiffrement de données"},
        {KU_KEY_AGREEMENT, "Accord de clé"},
        {KU_KEY_CERT_SIGN, "Signature de certificats"},
        {KU_CRL_SIGN, "Signature de listes de révocation"},
        {KU_ENCIPHER_ONLY, "Chiffrement seul"},
        {KU_DECIPHER_ONLY, "Déchiffrement seul"},
    };
    std::vector<std::string> names;
    const std::uint32_t bits = X509_get_key_usage(certificate);
    // UINT32_MAX: the certificate sets no usage at all.
    if (bits == UINT32_MAX) return names;
    for (const auto& [bit, name] : usages)
        if (bits & bit) names.emplace_back(name);
    return names;
}

}  // namespace

ui::CertificateDetails describeCertificate(X509* certificate, const std::string& title) {
    ui::CertificateDetails d;
    d.title = title;
    if (!certificate) return d;
    d.subject = nameText(X509_get_subject_name(certificate));
    d.issuer = nameText(X509_get_issuer_name(certificate));
    d.notBefore = timeText(X509_get0_notBefore(certificate));
    d.notAfter = timeText(X509_get0_notAfter(certificate));
    if (const ASN1_INTEGER* serial = X509_get0_serialNumber(certificate))
        d.serial = colonHex(ASN1_STRING_get0_data(serial), static_cast<std::size_t>(ASN1_STRING_length(serial)));
    d.publicKey = keyText(certificate);
    d.signatureAlgorithm = OBJ_nid2ln(X509_get_signature_nid(certificate));
    d.sha256 = fingerprint(certificate, EVP_sha256());
    d.sha1 = fingerprint(certificate, EVP_sha1());
    d.keyUsages = keyUsages(certificate);
    for (int i = 0; i < X509_get_ext_count(certificate); ++i) {
        X509_EXTENSION* extension = X509_get_ext(certificate, i);
        const ASN1_OBJECT* object = X509_EXTENSION_get_object(extension);
        const int nid = OBJ_obj2nid(object);
        char oid[80] = {};
        OBJ_obj2txt(oid, sizeof oid, object, 1);
        const char* french = frenchExtensionName(nid);
        d.extensions.push_back({french             ? french
                                : nid != NID_undef ? OBJ_nid2ln(nid)
                                                   : oid,
                                X509_EXTENSION_get_critical(extension) == 1, extensionValue(extension)});
    }
    return d;
}

}  // namespace qel
