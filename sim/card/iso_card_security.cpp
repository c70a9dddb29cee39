#include "sim/card/iso_card.h"

#include <utility>

#include "sim/card/tlv_writer.h"

namespace qel::sim {

namespace {

constexpr std::uint16_t kOk = 0x9000, kBadP1P2 = 0x6A86, kBadData = 0x6A80, kNoKey = 0x6A88, kWrongLength = 0x6700,
                        kSecurity = 0x6982, kConditions = 0x6985;
constexpr std::uint8_t kAuthTemplate = 0xA4, kSignTemplate = 0xB6, kDecipherTemplate = 0xB8;

struct SignatureScheme {
    std::size_t hashLength;
    bool pss;
    const char* hashName;
};

// Algorithm references of the signature environment: 12 / 42 on the third generation, the
// 91-tag references on the fourth.
std::optional<SignatureScheme> schemeFor(int algorithm) {
    switch (algorithm) {
        case 0x12:
        case 0x0A:
            return SignatureScheme{20, false, "SHA1"};
        case 0x42:
        case 0x28:
            return SignatureScheme{32, false, "SHA256"};
        case 0x15:
            return SignatureScheme{20, true, "SHA1"};
        case 0x2C:
            return SignatureScheme{32, true, "SHA256"};
        default:
            return std::nullopt;
    }
}

Bytes digestInfoPrefix(const char* hashName) {
    if (std::string(hashName) == "SHA1")
        return {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
    return {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
            0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
}

}  // namespace

const CardKey* IsoCard::keyInScope(std::uint8_t reference) const {
    // A key reference names a key of the current folder or of one of its parents.
    for (const CardKey& k : content_->keys)
        if (k.profile.reference == reference && k.folder->isAncestorOf(currentDf_)) return &k;
    return nullptr;
}

CardKey* IsoCard::keyInScope(std::uint8_t reference) {
    return const_cast<CardKey*>(std::as_const(*this).keyInScope(reference));
}

ResponseApdu IsoCard::manageSecurityEnvironment(const CommandApdu& c) {
    env_ = Environment{};
    const bool fourth = profile_.generation == Generation::QEL4;
    const std::uint8_t templ = c.p2;
    if (templ != kAuthTemplate && templ != kSignTemplate && templ != kDecipherTemplate) return statusOnly(kBadP1P2);
    // The fourth generation sets its signature environment with P1 81, everything else with 41.
    const std::uint8_t expectedP1 = fourth && templ == kSignTemplate ? 0x81 : 0x41;
    if (c.p1 != expectedP1 || (fourth && templ == kAuthTemplate)) return statusOnly(kBadP1P2);

    int algorithm = -1, reference = -1;
    const Bytes& d = c.data;
    for (std::size_t i = 0; i < d.size();) {
        if (i + 1 >= d.size()) return statusOnly(kBadData);
        const std::uint8_t tag = d[i], len = d[i + 1];
        if (i + 2 + len > d.size()) return statusOnly(kBadData);
        const std::uint8_t* v = &d[i + 2];
        if (tag == 0x80 && len == 1)
            algorithm = v[0];
        else if ((tag == 0x83 || tag == 0x84) && len == 1)
            reference = v[0];
        else if (tag == 0x91 && len == 2 && (v[1] & 0x80)) {
            algorithm = v[0];
            reference = v[1] & 0x7F;
        } else
            return statusOnly(kBadData);
        i += 2 + len;
    }
    if (reference < 0) return statusOnly(kBadData);
    const CardKey* key = keyInScope(static_cast<std::uint8_t>(reference));
    if (!key) return statusOnly(kNoKey);

    bool fits = false;
    switch (templ) {
        case kAuthTemplate:
            fits = key->decipherCapable() && algorithm == 0x02;
            break;
        case kDecipherTemplate:
            fits = key->decipherCapable() && (fourth ? algorithm < 0 : algorithm == 0x1A);
            break;
        case kSignTemplate:
            fits = fourth ? (algorithm == 0x0A || algorithm == 0x28 || algorithm == 0x15 || algorithm == 0x2C)
                          : (!key->decipherCapable() && (algorithm == 0x12 || algorithm == 0x42));
            break;
    }
    if (!fits) return statusOnly(kBadData);
    env_ = Environment{templ, algorithm, key};
    return statusOnly(kOk);
}

ResponseApdu IsoCard::performSecurityOperation(const CommandApdu& c) {
    if (c.p1 == 0x9E && c.p2 == 0x9A) {
        ResponseApdu r = computeSignature(c.data);
        return r.sw == kOk ? withLe(std::move(r.data), c) : r;
    }
    if (c.p1 == 0x80 && c.p2 == 0x86) {
        ResponseApdu r = decipher(c.data);
        return r.sw == kOk ? withLe(std::move(r.data), c) : r;
    }
    return statusOnly(kBadP1P2);
}

ResponseApdu IsoCard::computeSignature(const Bytes& input) {
    if (env_.templateTag != kSignTemplate || !env_.key) return statusOnly(kConditions);
    if (!pins_.pinVerified()) return statusOnly(kSecurity);
    auto scheme = schemeFor(env_.algorithm);
    if (!scheme) return statusOnly(kConditions);
    if (input.size() != scheme->hashLength) return statusOnly(kWrongLength);
    std::optional<Bytes> sig;
    if (scheme->pss) {
        sig = env_.key->key.signPss(input, scheme->hashName);
    } else {
        Bytes digestInfo = digestInfoPrefix(scheme->hashName);
        digestInfo.insert(digestInfo.end(), input.begin(), input.end());
        sig = env_.key->key.signPkcs1(digestInfo);
    }
    if (!sig) return statusOnly(0x6F00);
    return ResponseApdu{*sig, kOk};
}

ResponseApdu IsoCard::internalAuthenticate(const CommandApdu& c) {
    if (c.p1 != 0x00 || c.p2 != 0x00) return statusOnly(kBadP1P2);
    if (env_.templateTag != kAuthTemplate || !env_.key) return statusOnly(kConditions);
    // Through the contactless interface the technical key authenticates without a PIN.
    if (kind_ != ReaderKind::contactless && !pins_.pinVerified()) return statusOnly(kSecurity);
    if (c.data.empty() || c.data.size() + 11 > env_.key->key.size()) return statusOnly(kWrongLength);
    auto sig = env_.key->key.signPkcs1(c.data);
    if (!sig) return statusOnly(0x6F00);
    return withLe(*sig, c);
}

ResponseApdu IsoCard::generateKeyPair(const CommandApdu& c) {
    // P1 80: generate and answer the public key. The data is one control reference template naming
    // the key: A4, B6 or B8 { 83 or 84, 01, key reference }.
    if (c.p1 != 0x80 || c.p2 != 0x00) return statusOnly(kBadP1P2);
    const Bytes& d = c.data;
    const bool templateTag =
        !d.empty() && (d[0] == kAuthTemplate || d[0] == kSignTemplate || d[0] == kDecipherTemplate);
    if (d.size() != 5 || !templateTag || d[1] != 3 || (d[2] != 0x83 && d[2] != 0x84) || d[3] != 1)
        return statusOnly(kBadData);
    if (!pins_.pinVerified()) return statusOnly(kSecurity);
    CardKey* key = keyInScope(d[4]);
    if (!key) return statusOnly(kNoKey);
    RsaKey fresh = RsaKey::generate(key->key.bits());
    key->key = fresh;
    state_.generatedKeys[key->profile.reference] = fresh.toPem();
    // An environment set on the replaced key must not reach the new one unannounced.
    env_ = Environment{};
    persist_();
    // Over 256 bytes with a 2048-bit key: the host fetches it with GET RESPONSE.
    return withLe(tlv(0x7F49, cat({tlv(0x81, fresh.modulus()), tlv(0x82, fresh.publicExponent())})), c);
}

ResponseApdu IsoCard::decipher(const Bytes& input) {
    if (env_.templateTag != kDecipherTemplate || !env_.key) return statusOnly(kConditions);
    if (!pins_.pinVerified()) return statusOnly(kSecurity);
    const bool fourth = profile_.generation == Generation::QEL4;
    Bytes cryptogram = input;
    if (!fourth) {
        // Padding-indicator byte 81 in front of the cryptogram.
        if (input.empty() || input[0] != 0x81) return statusOnly(kBadData);
        cryptogram.erase(cryptogram.begin());
    }
    if (cryptogram.size() != env_.key->key.size()) return statusOnly(kWrongLength);
    auto block = env_.key->key.decryptRaw(cryptogram);
    if (!block) return statusOnly(kBadData);
    // The fourth generation hands back the whole block and leaves the padding to the host.
    if (fourth) return ResponseApdu{*block, kOk};
    auto message = stripPkcs1Type2(*block);
    if (!message) return statusOnly(kBadData);
    return ResponseApdu{*message, kOk};
}

}  // namespace qel::sim
