#include "sim/p11/pkcs15.h"

#include "sim/p11/tlv.h"

namespace qel::simp11 {

namespace {

constexpr std::uint32_t kSequence = 0x30;
constexpr std::uint32_t kTypeAttributes = 0xA1;
constexpr std::uint32_t kUtf8 = 0x0C;
constexpr std::uint32_t kOctets = 0x04;
constexpr std::uint32_t kInteger = 0x02;
constexpr std::uint32_t kBits = 0x03;

// An entry is SEQUENCE { common object attributes, common class attributes, [1] type attributes }.
const Tlv* part(const Tlv& entry, std::size_t index) { return entry.nthChild(index, kSequence, kTypeAttributes); }

std::string labelOf(const Tlv& entry) {
    const Tlv* common = part(entry, 0);
    const Tlv* label = common ? common->child(kUtf8) : nullptr;
    if (label == nullptr) return {};
    return std::string(label->value.begin(), label->value.end());
}

}  // namespace

std::vector<KeyEntry> parsePrivateKeyDirectory(const Bytes& content) {
    std::vector<KeyEntry> keys;
    for (const Tlv& entry : parseTlv(content)) {
        if (entry.tag != kSequence) continue;
        KeyEntry k;
        k.label = labelOf(entry);
        const Tlv* keyAttributes = part(entry, 1);
        if (k.label.empty() || keyAttributes == nullptr) continue;
        if (const Tlv* id = keyAttributes->child(kOctets)) k.id = id->value;
        if (const Tlv* ref = keyAttributes->child(kInteger)) {
            std::uint64_t v = tlvUnsigned(ref->value);
            if (v > 0xFF || ref->value.size() > 8) continue;
            k.reference = static_cast<std::uint8_t>(v);
        }
        if (const Tlv* usage = keyAttributes->child(kBits)) k.usage = tlvBitFlags(usage->value);
        if (const Tlv* typeAttributes = part(entry, 2)) {
            const Tlv* rsa = typeAttributes->child(kSequence);
            const Tlv* bits = rsa ? rsa->child(kInteger) : nullptr;
            if (bits != nullptr && bits->value.size() <= 4) k.modulusBits = static_cast<int>(tlvUnsigned(bits->value));
        }
        if (k.id.empty()) continue;
        keys.push_back(std::move(k));
    }
    return keys;
}

std::vector<CertificateEntry> parseCertificateDirectory(const Bytes& content) {
    std::vector<CertificateEntry> certs;
    for (const Tlv& entry : parseTlv(content)) {
        if (entry.tag != kSequence) continue;
        CertificateEntry c;
        c.label = labelOf(entry);
        const Tlv* classAttributes = part(entry, 1);
        if (c.label.empty() || classAttributes == nullptr) continue;
        if (const Tlv* id = classAttributes->child(kOctets)) c.id = id->value;
        // [1] { SEQUENCE { SEQUENCE (Path) { OCTET STRING path ... } } }
        if (const Tlv* typeAttributes = part(entry, 2)) {
            const Tlv* x509 = typeAttributes->child(kSequence);
            const Tlv* pathSeq = x509 ? x509->child(kSequence) : nullptr;
            const Tlv* path = pathSeq ? pathSeq->child(kOctets) : nullptr;
            if (path != nullptr) c.path = path->value;
        }
        if (c.id.empty()) continue;
        certs.push_back(std::move(c));
    }
    return certs;
}

}  // namespace qel::simp11
