#include "management/revocation/crl_lookup.h"

#include <openssl/bn.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <vector>

namespace qel {

CrlAnswer lookupSerial(const Bytes& crlDer, const Bytes& serial, X509* issuer,
                       std::chrono::system_clock::time_point now) {
    if (crlDer.empty() || serial.empty() || !issuer) return CrlAnswer::unreadable;
    const unsigned char* p = crlDer.data();
    std::unique_ptr<X509_CRL, decltype(&X509_CRL_free)> crl(d2i_X509_CRL(nullptr, &p, static_cast<long>(crlDer.size())),
                                                            X509_CRL_free);
    // Bytes after the list mean it is not the file the server meant to send.
    if (!crl || p != crlDer.data() + crlDer.size()) return CrlAnswer::unreadable;
    if (X509_NAME_cmp(X509_CRL_get_issuer(crl.get()), X509_get_subject_name(issuer)) != 0)
        return CrlAnswer::notSignedByIssuer;
    EVP_PKEY* key = X509_get0_pubkey(issuer);
    if (!key || X509_CRL_verify(crl.get(), key) != 1) return CrlAnswer::notSignedByIssuer;

    std::unique_ptr<BIGNUM, decltype(&BN_free)> number(
        BN_bin2bn(serial.data(), static_cast<int>(serial.size()), nullptr), BN_free);
    if (!number) return CrlAnswer::unreadable;
    std::unique_ptr<ASN1_INTEGER, decltype(&ASN1_INTEGER_free)> wanted(BN_to_ASN1_INTEGER(number.get(), nullptr),
                                                                       ASN1_INTEGER_free);
    if (!wanted) return CrlAnswer::unreadable;
    X509_REVOKED* entry = nullptr;
    // Compares the integers themselves (the list is sorted and searched by value).
    if (X509_CRL_get0_by_serial(crl.get(), &entry, wanted.get()) == 1) return CrlAnswer::revoked;
    // An old list may simply predate the revocation: its silence is no answer.
    const ASN1_TIME* nextUpdate = X509_CRL_get0_nextUpdate(crl.get());
    time_t at = std::chrono::system_clock::to_time_t(now);
    if (!nextUpdate || X509_cmp_time(nextUpdate, &at) <= 0) return CrlAnswer::outdated;
    return CrlAnswer::notRevoked;
}

std::optional<Bytes> serialBytes(X509* certificate) {
    if (!certificate) return std::nullopt;
    const ASN1_INTEGER* serial = X509_get0_serialNumber(certificate);
    if (!serial) return std::nullopt;
    std::unique_ptr<BIGNUM, decltype(&BN_free)> number(ASN1_INTEGER_to_BN(serial, nullptr), BN_free);
    if (!number || BN_is_negative(number.get())) return std::nullopt;
    Bytes bytes(static_cast<std::size_t>(BN_num_bytes(number.get())));
    if (bytes.empty())
        bytes.push_back(0);
    else
        BN_bn2bin(number.get(), bytes.data());
    return bytes;
}

std::optional<std::string> crlDistributionPoint(X509* certificate) {
    if (!certificate) return std::nullopt;
    std::unique_ptr<CRL_DIST_POINTS, decltype(&CRL_DIST_POINTS_free)> points(
        static_cast<CRL_DIST_POINTS*>(X509_get_ext_d2i(certificate, NID_crl_distribution_points, nullptr, nullptr)),
        CRL_DIST_POINTS_free);
    if (!points) return std::nullopt;
    std::vector<std::string> uris;
    for (int i = 0; i < sk_DIST_POINT_num(points.get()); ++i) {
        const DIST_POINT* point = sk_DIST_POINT_value(points.get(), i);
        if (!point->distpoint || point->distpoint->type != 0) continue;
        const GENERAL_NAMES* names = point->distpoint->name.fullname;
        for (int j = 0; j < sk_GENERAL_NAME_num(names); ++j) {
            const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, j);
            if (name->type != GEN_URI) continue;
            const ASN1_IA5STRING* uri = name->d.uniformResourceIdentifier;
            uris.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(uri)),
                              static_cast<std::size_t>(ASN1_STRING_length(uri)));
        }
    }
    if (uris.size() < 2 || uris[1].empty()) return std::nullopt;
    return uris[1];
}

}  // namespace qel
