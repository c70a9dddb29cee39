#include "sim/card/desfire_card.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include "common/hex.h"
#include "sim/card/desfire_cipher.h"
#include "sim/card/tlv_writer.h"

namespace qel::sim {

namespace {

constexpr std::uint16_t kOk = 0x9100, kMore = 0x91AF, kAuthError = 0x91AE, kNoApplication = 0x91A0, kLength = 0x917E,
                        kIllegal = 0x911C, kNoKey = 0x9140;

ResponseApdu reply(Bytes data, std::uint16_t sw) { return ResponseApdu{std::move(data), sw}; }

}  // namespace

const Bytes& DesfireCard::applicationId() {
    // "IRV" with its bytes in reverse order.
    static const Bytes aid{0x56, 0x52, 0x49};
    return aid;
}

DesfireCard::DesfireCard(const Profile& profile, CardState& state, std::function<void()> persist)
    : profile_(profile), state_(state), persist_(std::move(persist)) {}

void DesfireCard::reset() {
    appSelected_ = false;
    authPending_ = false;
    authenticated_ = false;
    authenticatedAtApp_ = false;
    rndB_.clear();
    chainIv_.clear();
}

std::string DesfireCard::currentPath() const { return appSelected_ ? toHex(applicationId()) : std::string(); }

ResponseApdu DesfireCard::process(const CommandApdu& c) {
    if (c.cla == 0x90) return native(c);
    if (c.cla == 0x00) return iso(c);
    return statusOnly(0x6E00);
}

ResponseApdu DesfireCard::native(const CommandApdu& c) {
    if (c.p1 != 0 || c.p2 != 0) return statusOnly(0x6A86);
    // Any command but the second frame abandons an authentication under way.
    if (authPending_ && c.ins != 0xAF) authPending_ = false;
    switch (c.ins) {
        case 0x5A: {
            if (c.data.size() != 3) return statusOnly(kLength);
            authenticated_ = false;
            if (c.data == Bytes{0, 0, 0}) {
                appSelected_ = false;
                return statusOnly(kOk);
            }
            if (c.data != applicationId() || !state_.desfireApplicationPresent) return statusOnly(kNoApplication);
            appSelected_ = true;
            return statusOnly(kOk);
        }
        case 0x1A:
            return beginAuthentication(false, c.data);
        case 0xAA:
            return beginAuthentication(true, c.data);
        case 0xAF:
            return finishAuthentication(c.data);
        case 0xDA:
            return deleteApplication(c.data);
        case 0x6A:
            if (appSelected_) return statusOnly(kIllegal);
            return reply(state_.desfireApplicationPresent ? applicationId() : Bytes{}, kOk);
        default:
            return statusOnly(kIllegal);
    }
}

ResponseApdu DesfireCard::beginAuthentication(bool aes, const Bytes& data) {
    authenticated_ = false;
    if (data.size() != 1) return statusOnly(kLength);
    if (data[0] != 0) return statusOnly(kNoKey);
    // The card master key is a DES key, the application key an AES key; the other command does
    // not fit the key and is refused.
    if (aes != appSelected_) return statusOnly(kAuthError);
    const Bytes& key = aes ? profile_.desfire.applicationKey : profile_.desfire.piccMasterKey;
    const std::size_t block = desfireBlock(aes);
    rndB_.assign(block, 0);
    if (RAND_bytes(rndB_.data(), static_cast<int>(block)) != 1) return statusOnly(0x91CA);
    auto challenge = desfireCbc(aes, true, key, Bytes(block, 0), rndB_);
    if (!challenge) return statusOnly(kAuthError);
    authPending_ = true;
    authAes_ = aes;
    chainIv_.assign(challenge->end() - static_cast<long>(block), challenge->end());
    return reply(*challenge, kMore);
}

ResponseApdu DesfireCard::finishAuthentication(const Bytes& data) {
    if (!authPending_) return statusOnly(kIllegal);
    authPending_ = false;
    const std::size_t block = desfireBlock(authAes_);
    if (data.size() != 2 * block) return statusOnly(kLength);
    const Bytes& key = authAes_ ? profile_.desfire.applicationKey : profile_.desfire.piccMasterKey;
    auto plain = desfireCbc(authAes_, false, key, chainIv_, data);
    if (!plain) return statusOnly(kAuthError);
    Bytes rndA(plain->begin(), plain->begin() + static_cast<long>(block));
    Bytes rndBRotated(plain->begin() + static_cast<long>(block), plain->end());
    Bytes expected = rotateLeft(rndB_);
    if (CRYPTO_memcmp(rndBRotated.data(), expected.data(), block) != 0) return statusOnly(kAuthError);
    Bytes iv(data.end() - static_cast<long>(block), data.end());
    auto answer = desfireCbc(authAes_, true, key, iv, rotateLeft(rndA));
    if (!answer) return statusOnly(kAuthError);
    authenticated_ = true;
    authenticatedAtApp_ = appSelected_;
    return reply(*answer, kOk);
}

ResponseApdu DesfireCard::deleteApplication(const Bytes& aid) {
    if (aid.size() != 3) return statusOnly(kLength);
    if (!authenticated_) return statusOnly(kAuthError);
    if (aid != applicationId() || !state_.desfireApplicationPresent) return statusOnly(kNoApplication);
    // The card master key may delete any application; an application key only its own.
    if (authenticatedAtApp_ && !appSelected_) return statusOnly(kAuthError);
    state_.desfireApplicationPresent = false;
    persist_();
    if (appSelected_) {
        appSelected_ = false;
        authenticated_ = false;
    }
    return statusOnly(kOk);
}

Bytes DesfireCard::identityFile(std::uint8_t sfi) const {
    switch (sfi) {
        case 1:
            return tlv(0x80, profile_.holder.identifier());
        case 2:
            return tlv(0x81, bcd(profile_.cardNumber));
        case 3:
            return tlv(0x82, bcd("0802500000" + profile_.cardNumber));
        default:
            return {};
    }
}

ResponseApdu DesfireCard::iso(const CommandApdu& c) {
    static const Bytes kDesfireName{0xD2, 0x76, 0x00, 0x00, 0x85};
    authPending_ = false;
    if (c.ins == 0xA4) {
        if (c.p1 != 0x04) return statusOnly(0x6A86);
        if (c.data.size() < kDesfireName.size() ||
            !std::equal(kDesfireName.begin(), kDesfireName.end(), c.data.begin()))
            return statusOnly(0x6A82);
        appSelected_ = false;
        authenticated_ = false;
        return statusOnly(0x9000);
    }
    if (c.ins == 0xB0) {
        if (!(c.p1 & 0x80)) return statusOnly(0x6986);
        if (!appSelected_) return statusOnly(0x6A82);
        Bytes content = identityFile(c.p1 & 0x1F);
        if (content.empty()) return statusOnly(0x6A82);
        const std::size_t offset = c.p2;
        if (offset >= content.size()) return statusOnly(0x6B00);
        const std::size_t n =
            std::min<std::size_t>(static_cast<std::size_t>(c.le.value_or(256)), content.size() - offset);
        return ResponseApdu{
            Bytes(content.begin() + static_cast<long>(offset), content.begin() + static_cast<long>(offset + n)),
            0x9000};
    }
    return statusOnly(0x6D00);
}

}  // namespace qel::sim
