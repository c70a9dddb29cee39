#pragma once
// A private key that stays on the card, as OpenSSL sees it: an EVP_PKEY with the certificate's public
// key whose signatures are made by a CardSigner. It lives in a library context of its own, with a
// small provider that offers RSA key management and RSA signatures and nothing else, so that no other
// key of the process is ever handled by it.
#include <memory>
#include <optional>
#include <string>

#include "common/bytes.h"

typedef struct evp_pkey_st EVP_PKEY;
typedef struct x509_st X509;

namespace qel::vek {

/// The digests the card's keys sign.
enum class CardDigest { sha1, sha224, sha256 };
/// PKCS#1 v1.5, or PSS with a salt as long as the digest and MGF1 over the same digest (what TLS 1.3
/// asks for, and all the card makes).
enum class CardPadding { pkcs1, pss };

/// One signature the card is asked for: the digest of the data, already computed.
struct CardSignRequest {
    CardPadding padding = CardPadding::pkcs1;
    CardDigest digest = CardDigest::sha256;
    Bytes hash;
};

/// Where a card key's signatures are made. Called on the thread that signs (the handshake's).
class CardSigner {
public:
    virtual ~CardSigner() = default;
    /// The signature, or nothing (logged) when the card cannot give it.
    virtual std::optional<Bytes> sign(const CardSignRequest& request) = 0;
};

/// A new key (the caller frees it) with the certificate's RSA public key and the signer's private
/// operations; null (and logged) when the certificate's key is not RSA. The key holds the signer
/// until it is freed.
EVP_PKEY* newCardKey(X509* certificate, std::shared_ptr<CardSigner> signer);

/// Whether a signer refused a signature on this thread since the last clearCardSignatureFailure():
/// a handshake that failed for that reason failed because of the card.
bool cardSignatureFailedOnThisThread();
void clearCardSignatureFailure();

/// The oldest error OpenSSL has queued on this thread, as text ("no detail" when none); the queue is
/// emptied, so that a later failure is not described by this one.
std::string openSslError();

}  // namespace qel::vek
