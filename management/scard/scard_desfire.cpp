// The key search through the contact interface and the deletion of the contactless application.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>

#include "management/scard/scard.h"
#include "card/status_words.h"
#include "common/logger.h"
#include "common/secret_bytes.h"

namespace qel {
namespace {

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

ScardStatus resultOf(std::uint16_t statusWord) {
    if (statusWord == sw::desfireSuccess) return std::nullopt;
    return Scard::refused(statusWord);
}

}  // namespace

DesfireKeySearch Scard::searchIRVDesfireKey(const std::string& readerName, std::string_view pin) {
    logDebug("Enter : searchIRVDesfireKey");
    DesfireKeySearch search;
    if (pin.size() != 4) return search;
    search.result = withPinCard(readerName, [&](ScardExchange& card) -> ScardStatus {
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
        if (answer.sw != sw::success || answer.data.size() != 16) {
            wipe(answer.data);
            return refused(answer.sw);
        }
        search.key = std::move(answer.data);
        return std::nullopt;
    });
    if (search.result && search.key) {
        wipe(*search.key);
        search.key.reset();
    }
    return search;
}

ScardStatus Scard::deleteIRVDesfire(const std::string& readerName, const Bytes& key, bool keyFromCard) {
    logDebug("Enter : deleteIRVDesfire");
    const bool aes = keyFromCard;
    const std::size_t block = aes ? 16 : 8;
    if (key.size() < block) return refused(0);
    const Bytes k(key.begin(), key.begin() + static_cast<long>(block));
    ScardStatus rv = withCard(readerName, [&](ScardExchange& card) -> ScardStatus {
        selectDesfireCard(card);
        if (keyFromCard) card.transmit(desfireCommand(0x5A, irvApplicationId()));
        const ScardResponse first = card.transmit(desfireCommand(aes ? 0xAA : 0x1A, Bytes{0x00}));
        if (first.sw != sw::desfireAdditionalFrame || first.data.size() != block) return refused(first.sw);
        auto rndB = cbc(aes, false, k, Bytes(block, 0), first.data);
        Bytes rndA(block);
        if (!rndB || RAND_bytes(rndA.data(), static_cast<int>(block)) != 1) return refused(0);
        Bytes plain = rndA;
        const Bytes rotated = rotateLeft(*rndB);
        plain.insert(plain.end(), rotated.begin(), rotated.end());
        // The chaining continues from the challenge's last block.
        auto token = cbc(aes, true, k, Bytes(first.data.end() - static_cast<long>(block), first.data.end()), plain);
        wipe(plain);
        if (!token) return refused(0);
        const ScardResponse second = card.transmit(desfireCommand(0xAF, *token));
        if (second.sw != sw::desfireSuccess) return refused(second.sw);
        auto answer = cbc(aes, false, k, Bytes(token->end() - static_cast<long>(block), token->end()), second.data);
        const Bytes expected = rotateLeft(rndA);
        if (!answer || answer->size() != block || CRYPTO_memcmp(answer->data(), expected.data(), block) != 0)
            return CardError(CardError::corruptedData);
        return resultOf(card.transmit(desfireCommand(0xDA, irvApplicationId())).sw);
    });
    return rv;
}

}  // namespace qel
