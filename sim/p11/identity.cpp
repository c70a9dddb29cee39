#include "sim/p11/identity.h"

#include <algorithm>
#include <cctype>

#include "common/hex.h"
#include "sim/p11/card_layout.h"
#include "sim/p11/tlv.h"

namespace qel::simp11 {

namespace {

bool allDigits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

bool printable(char c) { return c > 0x20 && c < 0x7F; }

std::optional<std::string> asciiField(const std::vector<Tlv>& fields, std::uint32_t tag) {
    for (const Tlv& f : fields) {
        if (f.tag != tag) continue;
        std::string s(f.value.begin(), f.value.end());
        for (char c : s)
            if (!printable(c)) return std::nullopt;
        return s;
    }
    return std::nullopt;
}

}  // namespace

std::string CardIdentity::tokenLabel() const { return generation + "-" + cardNumber + labelCharacter; }

std::string CardIdentity::tokenSerial() const { return cardNumber + checkCharacter; }

std::optional<CardIdentity> parseCardInfo(const Bytes& content) {
    std::vector<Tlv> fields = parseTlv(content);
    auto generation = asciiField(fields, 0x80);
    auto number = asciiField(fields, 0x81);
    auto check = asciiField(fields, 0x82);
    auto label = asciiField(fields, 0x83);
    if (!generation || !number || !check || !label) return std::nullopt;
    // The label holds 32 characters and the serial 16: keep both within reach.
    if (generation->empty() || generation->size() > 8 || !allDigits(*number) || number->size() > 15 ||
        check->size() != 1 || label->size() != 1)
        return std::nullopt;
    CardIdentity id;
    id.generation = *generation;
    id.cardNumber = *number;
    id.checkCharacter = (*check)[0];
    id.labelCharacter = (*label)[0];
    for (const Tlv& f : fields)
        if (f.tag == 0x84 && f.value.size() == 1) id.testCard = (f.value[0] & 0x01) != 0;
    return id;
}

std::optional<std::string> cardNumberFromSerialFile(const Bytes& content) {
    std::vector<Tlv> elements = parseTlv(content);
    if (elements.empty()) return std::nullopt;
    const Bytes& v = elements.front().value;
    static const Bytes prefix{0x80, 0x25, 0x00, 0x00, 0x01};
    if (v.size() != prefix.size() + 5 || !std::equal(prefix.begin(), prefix.end(), v.begin())) return std::nullopt;
    std::string number = qel::toHex(v.data() + prefix.size(), 5);
    if (!allDigits(number)) return std::nullopt;
    return number;
}

CardIdentity identityWithoutCardInfo(CardGeneration generation, const std::string& cardNumber) {
    static const char kLetters[] = "ABCDEFGHJKLMNPQRSTUVWXYZ";
    unsigned sum = 0;
    for (std::size_t i = 0; i < cardNumber.size(); ++i)
        sum += static_cast<unsigned>(cardNumber[i] - '0') * static_cast<unsigned>(i % 2 == 0 ? 3 : 1);
    CardIdentity id;
    id.generation = generationName(generation);
    id.cardNumber = cardNumber;
    id.checkCharacter = kLetters[sum % 24];
    id.labelCharacter = id.checkCharacter;
    return id;
}

}  // namespace qel::simp11
