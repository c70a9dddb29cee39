#include "card/card_directory.h"

namespace qel {

namespace {

const std::string* label(const TLVSequence& s) {
    const auto* t = s.find<TLVUTF8String>();
    return t != nullptr ? &t->value : nullptr;
}

Bytes octets(const TLVSequence& s) {
    const auto* o = s.find<TLVOctetString>();
    return o != nullptr && o->value ? *o->value : Bytes{};
}

}  // namespace

std::optional<QELKeyAttribute> keyAttributeFromSequence(const TLVSequence& object) {
    const auto& seq = object.seqList;
    if (seq.size() < 2) return std::nullopt;
    QELKeyAttribute key;
    const std::string* text = label(seq[0]);
    if (text == nullptr) return key;
    if (seq.size() < 3) return std::nullopt;
    key.keyLabel = *text;
    key.KeyID = octets(seq[1]);
    if (const auto* ref = seq[1].find<TLVInteger>()) {
        if (ref->value < 0 || ref->value > 255) return std::nullopt;
        key.keyNum = static_cast<std::uint8_t>(ref->value);
    }
    if (const auto* usage = seq[1].find<TLVBitString>()) key.keyUsage = usage->flags();
    if (!seq[2].seqList.empty()) {
        if (const auto* bits = seq[2].seqList[0].find<TLVInteger>()) key.keyBitSize = bits->value;
    }
    return key;
}

std::optional<QELCertificate> certificateFromSequence(const TLVSequence& object) {
    const auto& seq = object.seqList;
    if (seq.size() < 2) return std::nullopt;
    QELCertificate cert;
    const std::string* text = label(seq[0]);
    if (text == nullptr) return cert;
    cert.certLabel = *text;
    cert.KeyID = octets(seq[1]);
    if (seq.size() < 3) return cert;
    const TLVSequence& typeAttributes = seq[2];
    if (typeAttributes.seqList.empty()) return cert;
    const TLVSequence& value = typeAttributes.seqList[0];
    if (value.seqList.empty()) return cert;
    cert.certPath = octets(value.seqList[0]);
    return cert;
}

std::vector<QELKeyAttribute> decodeKeyDirectory(const Bytes& content) {
    std::vector<QELKeyAttribute> keys;
    const TLVSequence directory(content);
    for (const TLVSequence& object : directory.seqList)
        if (auto key = keyAttributeFromSequence(object)) keys.push_back(std::move(*key));
    return keys;
}

std::vector<QELCertificate> decodeCertificateDirectory(const Bytes& content) {
    std::vector<QELCertificate> certs;
    const TLVSequence directory(content);
    for (const TLVSequence& object : directory.seqList)
        if (auto cert = certificateFromSequence(object)) certs.push_back(std::move(*cert));
    return certs;
}

}  // namespace qel
