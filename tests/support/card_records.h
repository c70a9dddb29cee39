#pragma once
// Builders of the card's holder and situation records, for the tests and the fuzz seeds.
#include <cstdint>
#include <initializer_list>
#include <string>

#include "common/bytes.h"
#include "common/hex.h"
#include "tests/support/tlv_builder.h"

namespace qel::test {

/// A card identity: issuer 8025000001, card 1234567890, test flag in 0x82 (0x80: a test card),
/// valid from 15/01/2020 to `expiry` ("dd/MM/yyyy").
inline Bytes sampleIdCard(std::uint8_t category = 0x80, const std::string& expiry = "31/12/2024") {
    const Bytes end = *fromHex(expiry.substr(6, 4) + expiry.substr(3, 2) + expiry.substr(0, 2));
    return tlv(0xE3, concat({tlv(0x80, {0x80, 0x25, 0x00, 0x00, 0x01}), tlv(0x81, {0x12, 0x34, 0x56, 0x78, 0x90}),
                             tlv(0x82, {category}), tlv(0x83, {0x20, 0x20, 0x01, 0x15}), tlv(0x84, end)}));
}

/// Monsieur Jean Paul DUPONT, married name MARTIN, usual first name JEAN.
inline Bytes sampleName() {
    Bytes firstNames = concat({bytesOf("JEAN"), {0xFF}, bytesOf("PAUL"), {0xFF, 0xFF}});
    return tlv(0xE4, concat({tlv(0x80, {0x1F}), tlv(0x81, bytesOf("DUPONT")), tlv(0x82, bytesOf("MARTIN")),
                             tlv(0x83, firstNames), tlv(0x84, bytesOf("JEAN"))}));
}

/// The name object: family name and usual first name, nothing else.
inline Bytes nameObject(const std::string& family, const std::string& firstName) {
    return tlv(0xE4, concat({tlv(0x80, {0x1F}), tlv(0x81, bytesOf(family)), tlv(0x83, bytesOf(firstName)),
                             tlv(0x84, bytesOf(firstName))}));
}

/// Card type 00, a physician (10) whose métier code is 21.
inline Bytes sampleInfo() {
    return tlv(0xED, concat({tlv(0x80, {0x00}), tlv(0x81, bytesOf("810001234567")), tlv(0x82, {0x0A}),
                             tlv(0x83, {0x15}), tlv(0x84, bytesOf("DR DUPONT"))}));
}

/// The holder information object: card type, identifier, profession and métier codes (two decimal
/// digits, "" to leave the field out).
inline Bytes infoObject(const std::string& cardType, const std::string& identifier, const std::string& profession,
                        const std::string& metier) {
    // The card writes each code as one byte whose decimal value is the code.
    auto code = [](const std::string& text) { return Bytes{static_cast<std::uint8_t>(std::stoi(text))}; };
    Bytes content = concat({tlv(0x80, code(cardType)), tlv(0x81, bytesOf(identifier))});
    if (!profession.empty()) content = concat({content, tlv(0x82, code(profession))});
    if (!metier.empty()) content = concat({content, tlv(0x83, code(metier))});
    return tlv(0xED, content);
}

/// A liberal practice in a FINESS-identified structure, pharmacist section DA, sector SA07.
inline Bytes sampleActivity(std::uint8_t mode = 0x00, const std::string& structure = "1123456789",
                            const std::string& sector = "SA07") {
    return tlv(0xEE, concat({tlv(0x80, {mode}), tlv(0x82, bytesOf("DA")), tlv(0x84, bytesOf("CABINET DUPONT")),
                             tlv(0x85, bytesOf(structure)), tlv(0x86, bytesOf(sector))}));
}

/// One billing block for situation `situation` (BCD).
inline Bytes billingBlock(std::uint8_t situation, const Bytes& speciality = {0x01, 0x34, 0x09},
                          const Bytes& agreements = {0x02, 0x03, 0x04}, const Bytes& permissions = {0x10}) {
    return tlv(0xA0, concat({tlv(0x80, {situation}), tlv(0x81, {0x12, 0x34, 0x56, 0x78}), tlv(0x82, speciality),
                             tlv(0x83, agreements), tlv(0x84, permissions)}));
}

inline Bytes billing(std::initializer_list<Bytes> blocks) { return tlv(0xE0, concat(blocks)); }

}  // namespace qel::test
