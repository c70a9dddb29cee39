// The key search through the contact interface and the deletion of the contactless application.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>

#include "management/scard/scard.h"
#include "common/logger.h"
#include "common/secret_bytes.h"

namespace qel {
namespace {

Bytes nativeCommand(std::uint8_t ins, const Bytes& data) {
    Bytes apdu{0x90, ins, 0x00, 0x00, static_cast<std::uint8_t>(data.size())};
    apdu.insert(apdu.end(), data.begin(), data.end());
    apdu.push_back(0x00);
    return apdu;
}

Bytes rotateLeft(const Bytes& b) {
    if (b.empty()) return b;
    Bytes r(b.begin() + 1, b.end());
    r.push_back(b.front());
    return r;
}

// CBC without padding: AES-128 for a 16-byte key from the card; single DES (as two-key 3DES with
// K1 = K2, which OpenSSL's default provider keeps) for the 8-byte default key.
std::optional<Bytes> cbc(bool aes, bool encrypt, const Bytes& key, const Bytes& iv, const Bytes& data) {
    const std::size_t block = aes ? 16 : 8;
    if (data.empty() || data.size() % block != 0 || iv.size() != block) return std::nullopt;
    Bytes fullKey = key;
    if (!aes) fullKey.insert(fullKey.end(), key.begin(), key.end());
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    Bytes out(data.size() + block);
    int n = 0, tail = 0;
    const bool ok = ctx &&
                    EVP_CipherInit_ex(ctx.get(), aes ? EVP_aes_128_cbc() : EVP_des_ede_cbc(), nullptr, fullKey.data(),
                                      iv.data(), encrypt ? 1 : 0) == 1 &&
                    EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
                    EVP_CipherUpdate(ctx.get(), out.data(), &n, data.data(), static_cast<int>(data.size())) == 1 &&
                    EVP_CipherFinal_ex(ctx.get(), out.data() + n, &tail) == 1;
    OPENSSL_cleanse(fullKey.data(), fullKey.size());
    if (!ok) return std::nullopt;
    out.resize(static_cast<std::size_t>(n + tail));
    return out;
}

std::uint32_t resultOf(std::uint16_t sw) {
    if (sw == 0x9100) return scard::kOk;
    if (sw == 0x91AE) return scard::kAuthRefused;
    return scard::kStepFailed;
}

}  // namespace

DesfireKeySearch Scard::searchIRVDesfireKey(const std::string& readerName, const std::string& pin) {
    logDebug("Enter : searchIRVDesfireKey");
    DesfireKeySearch search;
    if (pin.size() != 4) return search;
    search.result = withPinCard(readerName, [&](ScardExchange& card) {
        card.transmit({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00, 0x00});
        Bytes verify{0x00, 0x20, 0x00, 0x01, 0x04};
        verify.reserve(10);
        verify.insert(verify.end(), pin.begin(), pin.end());
        verify.push_back(0x00);
        const Bytes shown{0x00, 0x20, 0x00, 0x01, 0x04, 0xFF, 0xFF, 0xFF, 0xFF};
        card.transmit(verify, &shown);
        wipe(verify);
        card.transmit({0x00, 0xA4, 0x01, 0x0C, 0x02, 0x00, 0x02, 0x00});
        card.transmit({0x00, 0xA4, 0x00, 0x0C, 0x02, 0xC0, 0x01, 0x00});
        // The key never reaches the log: the read is logged as 16 bytes FF.
        const Bytes read{0x00, 0xB0, 0x00, 0x00, 0x10};
        ScardResponse answer = card.transmitSecret(read);
        if (answer.sw != 0x9000 || answer.data.size() != 16) {
            wipe(answer.data);
            return scard::kStepFailed;
        }
        search.key = std::move(answer.data);
        return scard::kOk;
    });
    if (search.result != scard::kOk && search.key) {
        wipe(*search.key);
        search.key.reset();
    }
    return search;
}

std::uint32_t Scard::deleteIRVDesfire(const std::string& readerName, const Bytes& key, bool keyFromCard) {
    logDebug("Enter : deleteIRVDesfire");
    const bool aes = keyFromCard;
    const std::size_t block = aes ? 16 : 8;
    if (key.size() < block) return scard::kStepFailed;
    const Bytes k(key.begin(), key.begin() + static_cast<long>(block));
    std::uint32_t rv = withCard(readerName, [&](ScardExchange& card) -> std::uint32_t {
        card.transmit({0x00, 0xA4, 0x04, 0x00, 0x05, 0xD2, 0x76, 0x00, 0x00, 0x85});
        card.transmit({0x90, 0x5A, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00});
        if (keyFromCard) card.transmit(nativeCommand(0x5A, irvApplicationId()));
        const ScardResponse first = card.transmit(nativeCommand(aes ? 0xAA : 0x1A, Bytes{0x00}));
        if (first.sw == 0x91AE) return scard::kAuthRefused;
        if (first.sw != 0x91AF || first.data.size() != block) return scard::kStepFailed;
        auto rndB = cbc(aes, false, k, Bytes(block, 0), first.data);
        Bytes rndA(block);
        if (!rndB || RAND_bytes(rndA.data(), static_cast<int>(block)) != 1) return scard::kStepFailed;
        Bytes plain = rndA;
        const Bytes rotated = rotateLeft(*rndB);
        plain.insert(plain.end(), rotated.begin(), rotated.end());
        // The chaining continues from the challenge's last block.
        auto token = cbc(aes, true, k, Bytes(first.data.end() - static_cast<long>(block), first.data.end()), plain);
        wipe(plain);
        if (!token) return scard::kStepFailed;
        const ScardResponse second = card.transmit(nativeCommand(0xAF, *token));
        if (second.sw == 0x91AE) return scard::kAuthRefused;
        if (second.sw != 0x9100) return scard::kStepFailed;
        auto answer = cbc(aes, false, k, Bytes(token->end() - static_cast<long>(block), token->end()), second.data);
        const Bytes expected = rotateLeft(rndA);
        if (!answer || answer->size() != block || CRYPTO_memcmp(answer->data(), expected.data(), block) != 0)
            return scard::kAuthMismatch;
        return resultOf(card.transmit(nativeCommand(0xDA, irvApplicationId())).sw);
    });
    return rv;
}

}  // namespace qel
