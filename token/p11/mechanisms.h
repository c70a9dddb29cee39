#pragma once
#include <openssl/evp.h>

#include <memory>
#include <optional>
#include <vector>

#include "card/algorithms.h"
#include "common/bytes.h"
#include "token/token_objects.h"
#include "token/p11/pkcs11.h"

namespace qel::p11 {

/// How one signature mechanism reaches the card's digest algorithms.
struct SignMechanism {
    CK_MECHANISM_TYPE type = CKM_RSA_PKCS;
    /// CKM_RSA_PKCS: the caller hands a DigestInfo; the algorithm is read from it at signing time.
    bool digestInfoInput = false;
    /// The module hashes the data with `digest` (CKM_SHAx_RSA_PKCS, CKM_SHAx_RSA_PKCS_PSS).
    bool moduleHashes = false;
    /// The card algorithm (all mechanisms but CKM_RSA_PKCS).
    std::optional<AsymmetricAlgorithm> algorithm;
    const EVP_MD* digest = nullptr;
};

/// Reads a signature mechanism and its parameters. CKR_MECHANISM_INVALID for a mechanism the card
/// cannot do at all; CKR_MECHANISM_PARAM_INVALID for PSS parameters other than MGF1 with the same
/// hash and a salt as long as the hash (what the card produces).
CK_RV signMechanism(const CK_MECHANISM& mechanism, SignMechanism& out);

/// CKM_RSA_PKCS decipherment only; CKR_MECHANISM_INVALID otherwise.
CK_RV decryptMechanism(const CK_MECHANISM& mechanism, AsymmetricAlgorithm& out);

/// The algorithm and the bare hash of a PKCS#1 v1.5 DigestInfo (SHA-1, -224, -256, -384, -512);
/// nothing for any other input.
struct DigestInfoContent {
    AsymmetricAlgorithm algorithm;
    Bytes hash;
};
std::optional<DigestInfoContent> splitDigestInfo(const Bytes& input);

/// The mechanisms a token offers, from what its keys accept.
std::vector<CK_MECHANISM_TYPE> tokenMechanisms(const std::vector<const TokenKey*>& keys);
/// Mechanism information for one of those; false when the token does not offer it.
bool tokenMechanismInfo(const std::vector<const TokenKey*>& keys, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO& info);

/// Whether a key accepts the mechanism for signature with some algorithm the mechanism may carry.
bool keyAcceptsSignMechanism(const TokenKey& key, const SignMechanism& mechanism);

/// An incremental hash (OpenSSL EVP), freed on destruction.
class Digest {
public:
    explicit Digest(const EVP_MD* md);
    void update(const std::uint8_t* data, std::size_t size);
    Bytes final();

private:
    struct Free {
        void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
    };
    std::unique_ptr<EVP_MD_CTX, Free> ctx_;
};

}  // namespace qel::p11
