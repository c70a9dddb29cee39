#include "token/p11/objects.h"

#include <cstring>

namespace qel::p11 {

namespace {

Bytes ulongValue(CK_ULONG v) {
    Bytes b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    return b;
}
Bytes boolValue(bool v) { return Bytes{static_cast<std::uint8_t>(v ? CK_TRUE : CK_FALSE)}; }
Bytes textValue(const std::string& s) { return Bytes(s.begin(), s.end()); }
// A CK_DATE is the eight characters YYYYMMDD; an unknown date is the empty value.
Bytes dateValue(const std::string& yyyymmdd) { return yyyymmdd.size() == 8 ? textValue(yyyymmdd) : Bytes{}; }

AttributeStatus common(const P11Object& o, CK_ATTRIBUTE_TYPE type, Bytes& v) {
    switch (type) {
        case CKA_CLASS:
            v = ulongValue(o.objectClass);
            return AttributeStatus::ok;
        case CKA_TOKEN:
            v = boolValue(true);
            return AttributeStatus::ok;
        case CKA_PRIVATE:
            v = boolValue(isPrivateObject(o));
            return AttributeStatus::ok;
        case CKA_MODIFIABLE:
            v = boolValue(false);
            return AttributeStatus::ok;
        case CKA_COPYABLE:
            v = boolValue(false);
            return AttributeStatus::ok;
        case CKA_DESTROYABLE:
            v = boolValue(false);
            return AttributeStatus::ok;
        default:
            return AttributeStatus::invalid;
    }
}

AttributeStatus certificateAttribute(const TokenCertificate& c, CK_ATTRIBUTE_TYPE type, Bytes& v) {
    switch (type) {
        case CKA_LABEL:
            v = textValue(c.label);
            return AttributeStatus::ok;
        case CKA_ID:
            v = c.objectID;
            return AttributeStatus::ok;
        case CKA_CERTIFICATE_TYPE:
            v = ulongValue(CKC_X_509);
            return AttributeStatus::ok;
        case CKA_CERTIFICATE_CATEGORY:
            v = ulongValue(1);
            return AttributeStatus::ok;  // token user
        case CKA_TRUSTED:
            v = boolValue(false);
            return AttributeStatus::ok;
        case CKA_VALUE:
            v = c.data;
            return AttributeStatus::ok;
        case CKA_SUBJECT:
            v = c.info.subject;
            return AttributeStatus::ok;
        case CKA_ISSUER:
            v = c.info.issuer;
            return AttributeStatus::ok;
        case CKA_SERIAL_NUMBER:
            v = c.info.serialNumber;
            return AttributeStatus::ok;
        case CKA_PUBLIC_KEY_INFO:
            v = c.info.subjectPublicKeyInfo;
            return AttributeStatus::ok;
        case CKA_CHECK_VALUE:
            v = c.info.checkValue;
            return AttributeStatus::ok;
        case CKA_START_DATE:
            v = dateValue(c.info.notBefore);
            return AttributeStatus::ok;
        case CKA_END_DATE:
            v = dateValue(c.info.notAfter);
            return AttributeStatus::ok;
        case CKA_JAVA_MIDP_SECURITY_DOMAIN:
            v = ulongValue(0);
            return AttributeStatus::ok;  // unspecified
        // Known to be empty: the card stores no URL and no key hashes for its certificates.
        case CKA_URL:
        case CKA_HASH_OF_SUBJECT_PUBLIC_KEY:
        case CKA_HASH_OF_ISSUER_PUBLIC_KEY:
            v.clear();
            return AttributeStatus::ok;
        default:
            return AttributeStatus::invalid;
    }
}

AttributeStatus keyAttribute(const P11Object& o, CK_ATTRIBUTE_TYPE type, Bytes& v) {
    const TokenKey& k = *o.key;
    const bool isPrivate = o.objectClass == CKO_PRIVATE_KEY;
    switch (type) {
        case CKA_LABEL:
            v = textValue(k.label);
            return AttributeStatus::ok;
        case CKA_ID:
            v = k.keyID;
            return AttributeStatus::ok;
        case CKA_KEY_TYPE:
            v = ulongValue(CKK_RSA);
            return AttributeStatus::ok;
        case CKA_SUBJECT:
            v = k.publicKey.subject;
            return AttributeStatus::ok;
        case CKA_MODULUS:
            v = k.publicKey.modulus;
            return AttributeStatus::ok;
        case CKA_PUBLIC_EXPONENT:
            v = k.publicKey.publicExponent;
            return AttributeStatus::ok;
        case CKA_MODULUS_BITS:
            v = ulongValue(static_cast<CK_ULONG>(k.keySizeInBits > 0 ? k.keySizeInBits : k.publicKey.keyBits));
            return AttributeStatus::ok;
        case CKA_PUBLIC_KEY_INFO:
            v = k.publicKey.subjectPublicKeyInfo;
            return AttributeStatus::ok;
        case CKA_LOCAL:
            v = boolValue(false);
            return AttributeStatus::ok;
        case CKA_DERIVE:
            v = boolValue(false);
            return AttributeStatus::ok;
        case CKA_KEY_GEN_MECHANISM:
            v = ulongValue(CK_UNAVAILABLE_INFORMATION);
            return AttributeStatus::ok;
        case CKA_START_DATE:
            v = dateValue(k.publicKey.notBefore);
            return AttributeStatus::ok;
        case CKA_END_DATE:
            v = dateValue(k.publicKey.notAfter);
            return AttributeStatus::ok;
        default:
            break;
    }
    if (isPrivate) {
        switch (type) {
            case CKA_SIGN:
                v = boolValue(keyMaySign(k));
                return AttributeStatus::ok;
            case CKA_DECRYPT:
                v = boolValue(keyMayDecrypt(k));
                return AttributeStatus::ok;
            case CKA_SIGN_RECOVER:
            case CKA_UNWRAP:
            case CKA_ALWAYS_AUTHENTICATE:
            case CKA_EXTRACTABLE:
            case CKA_WRAP_WITH_TRUSTED:
                v = boolValue(false);
                return AttributeStatus::ok;
            case CKA_SENSITIVE:
            case CKA_ALWAYS_SENSITIVE:
            case CKA_NEVER_EXTRACTABLE:
                v = boolValue(true);
                return AttributeStatus::ok;
            case CKA_PRIVATE_EXPONENT:
            case CKA_PRIME_1:
            case CKA_PRIME_2:
            case CKA_EXPONENT_1:
            case CKA_EXPONENT_2:
            case CKA_COEFFICIENT:
            case CKA_VALUE:
                return AttributeStatus::sensitive;
            default:
                return AttributeStatus::invalid;
        }
    }
    switch (type) {
        // What the certificate lets its key be used for: clients choose keys by these, and run the
        // public-key operations themselves (the card holds only the private half).
        case CKA_VERIFY:
            v = boolValue(k.publicKey.allowsVerify());
            return AttributeStatus::ok;
        case CKA_ENCRYPT:
            v = boolValue(k.publicKey.allowsEncrypt());
            return AttributeStatus::ok;
        case CKA_VERIFY_RECOVER:
        case CKA_WRAP:
        case CKA_TRUSTED:
            v = boolValue(false);
            return AttributeStatus::ok;
        default:
            return AttributeStatus::invalid;
    }
}

}  // namespace

bool isPrivateObject(const P11Object& object) {
    return object.objectClass == CKO_PRIVATE_KEY && object.key != nullptr &&
           (object.key->constraint(TokenOperation::signData) == Constraint::pin ||
            object.key->constraint(TokenOperation::decryptData) == Constraint::pin);
}

bool keyMaySign(const TokenKey& key) {
    return key.canSign && key.constraint(TokenOperation::signData) != Constraint::never;
}

bool keyMayDecrypt(const TokenKey& key) {
    return key.canDecrypt && key.constraint(TokenOperation::decryptData) != Constraint::never;
}

std::vector<P11Object> objectsForItems(const std::vector<TokenObject>& items, CK_OBJECT_HANDLE firstHandle) {
    std::vector<P11Object> objects;
    CK_OBJECT_HANDLE next = firstHandle;
    for (const TokenObject& item : items) {
        if (const auto* cert = std::get_if<TokenCertificate>(&item)) {
            objects.push_back(P11Object{next++, CKO_CERTIFICATE, cert, nullptr});
        } else {
            const auto& key = std::get<TokenKey>(item);
            objects.push_back(P11Object{next++, CKO_PRIVATE_KEY, nullptr, &key});
            objects.push_back(P11Object{next++, CKO_PUBLIC_KEY, nullptr, &key});
        }
    }
    return objects;
}

AttributeStatus attributeValue(const P11Object& object, CK_ATTRIBUTE_TYPE type, Bytes& value) {
    value.clear();
    if (common(object, type, value) == AttributeStatus::ok) return AttributeStatus::ok;
    if (object.certificate != nullptr) return certificateAttribute(*object.certificate, type, value);
    if (object.key != nullptr) return keyAttribute(object, type, value);
    return AttributeStatus::invalid;
}

CK_RV fillTemplate(const P11Object& object, CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
    CK_RV rv = CKR_OK;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_ATTRIBUTE& a = attributes[i];
        Bytes value;
        const AttributeStatus status = attributeValue(object, a.type, value);
        if (status != AttributeStatus::ok) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = status == AttributeStatus::sensitive ? CKR_ATTRIBUTE_SENSITIVE : CKR_ATTRIBUTE_TYPE_INVALID;
            continue;
        }
        if (a.pValue == nullptr) {
            a.ulValueLen = value.size();
        } else if (a.ulValueLen < value.size()) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_BUFFER_TOO_SMALL;
        } else {
            if (!value.empty()) std::memcpy(a.pValue, value.data(), value.size());
            a.ulValueLen = value.size();
        }
    }
    return rv;
}

bool matchesTemplate(const P11Object& object, const std::vector<std::pair<CK_ATTRIBUTE_TYPE, Bytes>>& wanted) {
    Bytes value;
    for (const auto& [type, expected] : wanted) {
        if (attributeValue(object, type, value) != AttributeStatus::ok || value != expected) return false;
    }
    return true;
}

}  // namespace qel::p11
