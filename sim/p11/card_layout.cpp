#include "sim/p11/card_layout.h"

#include "common/format.h"

namespace qel::simp11 {

CardStatusError::CardStatusError(std::uint16_t sw) : std::runtime_error(qel::format("card status %04X", sw)), sw_(sw) {}

namespace {

const Bytes kAtrQel4a{0x3B, 0x9B, 0x18, 0x80, 0x01, 0x00, 0x12, 0x25, 0x00,
                      0x64, 0x80, 0x04, 0x01, 0x00, 0x00, 0x90, 0x44};
const Bytes kAtrQel4b{0x3B, 0xDC, 0x18, 0xFF, 0x00, 0x00, 0x12, 0x25, 0x00,
                      0x64, 0x80, 0x00, 0x04, 0x01, 0x00, 0x90, 0x00};
const Bytes kAtrQel3{0x3B, 0xAC, 0x00, 0x40, 0x2A, 0x00, 0x12, 0x25, 0x00,
                     0x64, 0x80, 0x00, 0x03, 0x10, 0x00, 0x90, 0x00};
const Bytes kAtrQel3Cl{0x3B, 0x8F, 0x80, 0x01, 0x00, 0x31, 0xB8, 0x64, 0x04, 0xB0,
                       0xEC, 0xC1, 0x73, 0x94, 0x01, 0x80, 0x82, 0x90, 0x00, 0x0E};

}  // namespace

std::optional<CardGeneration> generationFromAtr(const Bytes& atr) {
    if (atr == kAtrQel4a || atr == kAtrQel4b) return CardGeneration::QEL4;
    if (atr == kAtrQel3) return CardGeneration::QEL3;
    if (atr == kAtrQel3Cl) return CardGeneration::QEL3CL;
    return std::nullopt;
}

const Bytes& qelApplicationId() {
    static const Bytes aid{0x80, 0x25, 0x00, 0x00, 0x01, 0xFF, 0x01, 0x00};
    return aid;
}

Bytes holderFilePath(std::uint16_t fileId) {
    return Bytes{
        0x3F, 0x00, 0x00, 0x03, static_cast<std::uint8_t>(fileId >> 8), static_cast<std::uint8_t>(fileId & 0xFF)};
}

std::string generationName(CardGeneration generation) { return generation == CardGeneration::QEL4 ? "QEL4" : "QEL3"; }

CardLayout layoutFor(CardGeneration generation) {
    // The issuer's files live under DF 3F00 0001; the fourth generation adds one sub-DF per key.
    auto issuerFile = [](std::uint16_t fileId) {
        return Bytes{
            0x3F, 0x00, 0x00, 0x01, static_cast<std::uint8_t>(fileId >> 8), static_cast<std::uint8_t>(fileId & 0xFF)};
    };
    CardLayout l;
    l.serialFile = {0x3F, 0x00, 0xD0, 0x03};
    l.cardInfoFile = holderFilePath(0xD000);
    l.privateKeyDirectory = issuerFile(0x7002);
    l.certificateDirectory = issuerFile(0x7005);
    l.signKeyEnvironment = l.authKeyEnvironment = {0x3F, 0x00, 0x00, 0x01};
    switch (generation) {
        case CardGeneration::QEL3:
            l.signCertificate = issuerFile(0xA001);
            l.authCertificate = issuerFile(0xA002);
            break;
        case CardGeneration::QEL3CL:
            // The contactless interface shows its own directories and only the authentication certificate.
            l.privateKeyDirectory = issuerFile(0x7102);
            l.certificateDirectory = issuerFile(0x7105);
            l.authCertificate = issuerFile(0xA003);
            break;
        case CardGeneration::QEL4:
            l.signCertificate = {0x3F, 0x00, 0x00, 0x01, 0x01, 0x01, 0xA0, 0x10};
            l.authCertificate = {0x3F, 0x00, 0x00, 0x01, 0x01, 0x02, 0xA0, 0x20};
            l.signKeyEnvironment = {0x3F, 0x00, 0x00, 0x01, 0x01, 0x01};
            l.authKeyEnvironment = {0x3F, 0x00, 0x00, 0x01, 0x01, 0x02};
            l.cla = 0x01;
            l.selectP1 = 0x08;
            l.selectP2 = 0x00;
            l.readChunk = 255;
            l.padPin = false;
            l.selectApplication = true;
            break;
    }
    return l;
}

}  // namespace qel::simp11

namespace qel::simp11 {

bool cardAcceptsHash(CardGeneration generation, KeyRole role, HashAlg hash) {
    if (generation != CardGeneration::QEL4 && role == KeyRole::auth) return true;
    return hash == HashAlg::sha1 || hash == HashAlg::sha256;
}

}  // namespace qel::simp11
