#include "sim/p11/objects.h"

#include <cstring>

namespace qel::simp11 {

namespace {

// Application name of the holder data objects.
const char* const kApplication = "QEL";

void common(P11Object& o, CK_OBJECT_CLASS objectClass, const std::string& label, bool isPrivate) {
    o.objectClass = objectClass;
    o.isPrivate = isPrivate;
    o.attributes[CKA_CLASS] = ulongValue(objectClass);
    o.attributes[CKA_TOKEN] = boolValue(true);
    o.attributes[CKA_PRIVATE] = boolValue(isPrivate);
    o.attributes[CKA_MODIFIABLE] = boolValue(false);
    o.attributes[CKA_LABEL] = textValue(label);
}

void keyCommon(P11Object& o, const KeyEntry& key, const CertificateInfo& cert) {
    o.attributes[CKA_KEY_TYPE] = ulongValue(CKK_RSA);
    o.attributes[CKA_ID] = key.id;
    o.attributes[CKA_SUBJECT] = cert.subject;
    o.attributes[CKA_START_DATE] = {};
    o.attributes[CKA_END_DATE] = {};
    o.attributes[CKA_DERIVE] = boolValue(false);
    o.attributes[CKA_LOCAL] = boolValue(false);
    o.attributes[CKA_KEY_GEN_MECHANISM] = ulongValue(CK_UNAVAILABLE_INFORMATION);
    o.attributes[CKA_MODULUS] = cert.modulus;
    o.attributes[CKA_MODULUS_BITS] = ulongValue(static_cast<CK_ULONG>(cert.keyBits));
    o.attributes[CKA_PUBLIC_EXPONENT] = cert.publicExponent;
    o.modulus = cert.modulus;
    o.exponent = cert.publicExponent;
    o.keyReference = key.reference;
}

}  // namespace

Bytes ulongValue(CK_ULONG value) {
    Bytes b(sizeof value);
    std::memcpy(b.data(), &value, sizeof value);
    return b;
}

Bytes boolValue(bool value) { return Bytes{static_cast<std::uint8_t>(value ? CK_TRUE : CK_FALSE)}; }

Bytes textValue(const std::string& text) { return Bytes(text.begin(), text.end()); }

const Bytes* P11Object::attribute(CK_ATTRIBUTE_TYPE type) const {
    auto it = attributes.find(type);
    return it == attributes.end() ? nullptr : &it->second;
}

bool P11Object::boolAttribute(CK_ATTRIBUTE_TYPE type) const {
    const Bytes* v = attribute(type);
    return v != nullptr && v->size() == 1 && (*v)[0] != CK_FALSE;
}

bool P11Object::matches(const CK_ATTRIBUTE* templ, CK_ULONG count) const {
    for (CK_ULONG i = 0; i < count; ++i) {
        const Bytes* v = attribute(templ[i].type);
        if (v == nullptr || v->size() != templ[i].ulValueLen) return false;
        if (!v->empty() && std::memcmp(v->data(), templ[i].pValue, v->size()) != 0) return false;
    }
    return true;
}

CK_RV P11Object::getAttributes(CK_ATTRIBUTE* templ, CK_ULONG count) const {
    CK_RV rv = CKR_OK;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_ATTRIBUTE& a = templ[i];
        if (sensitive.count(a.type) != 0) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_ATTRIBUTE_SENSITIVE;
            continue;
        }
        const Bytes* v = attribute(a.type);
        if (v == nullptr) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_ATTRIBUTE_TYPE_INVALID;
        } else if (a.pValue == nullptr) {
            a.ulValueLen = v->size();
        } else if (a.ulValueLen >= v->size()) {
            if (!v->empty()) std::memcpy(a.pValue, v->data(), v->size());
            a.ulValueLen = v->size();
        } else {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_BUFFER_TOO_SMALL;
        }
    }
    return rv;
}

P11Object makeDataObject(const std::string& label, const Bytes& value, bool isPrivate) {
    P11Object o;
    common(o, CKO_DATA, label, isPrivate);
    o.attributes[CKA_APPLICATION] = textValue(kApplication);
    o.attributes[CKA_OBJECT_ID] = {};
    o.attributes[CKA_VALUE] = value;
    return o;
}

P11Object makeCertificate(const std::string& label, const Bytes& id, const CertificateInfo& cert) {
    P11Object o;
    common(o, CKO_CERTIFICATE, label, false);
    o.attributes[CKA_CERTIFICATE_TYPE] = ulongValue(CKC_X_509);
    o.attributes[CKA_TRUSTED] = boolValue(false);
    o.attributes[CKA_CERTIFICATE_CATEGORY] = ulongValue(1);  // token user
    o.attributes[CKA_ID] = id;
    o.attributes[CKA_SUBJECT] = cert.subject;
    o.attributes[CKA_ISSUER] = cert.issuer;
    o.attributes[CKA_SERIAL_NUMBER] = cert.serialNumber;
    o.attributes[CKA_VALUE] = cert.der;
    o.attributes[CKA_START_DATE] = {};
    o.attributes[CKA_END_DATE] = {};
    return o;
}

P11Object makePrivateKey(const KeyEntry& key, KeyRole role, const CertificateInfo& cert) {
    P11Object o;
    common(o, CKO_PRIVATE_KEY, key.label, true);
    keyCommon(o, key, cert);
    o.role = role;
    o.attributes[CKA_SENSITIVE] = boolValue(true);
    o.attributes[CKA_ALWAYS_SENSITIVE] = boolValue(true);
    o.attributes[CKA_EXTRACTABLE] = boolValue(false);
    o.attributes[CKA_NEVER_EXTRACTABLE] = boolValue(true);
    o.attributes[CKA_DECRYPT] = boolValue(false);
    o.attributes[CKA_SIGN] = boolValue(true);
    o.attributes[CKA_SIGN_RECOVER] = boolValue(false);
    o.attributes[CKA_UNWRAP] = boolValue(false);
    o.attributes[CKA_WRAP_WITH_TRUSTED] = boolValue(false);
    o.attributes[CKA_ALWAYS_AUTHENTICATE] = boolValue(false);
    o.sensitive = {CKA_PRIVATE_EXPONENT, CKA_PRIME_1,     CKA_PRIME_2, CKA_EXPONENT_1,
                   CKA_EXPONENT_2,       CKA_COEFFICIENT, CKA_VALUE};
    return o;
}

P11Object makePublicKey(const KeyEntry& key, const CertificateInfo& cert) {
    P11Object o;
    common(o, CKO_PUBLIC_KEY, key.label, false);
    keyCommon(o, key, cert);
    o.attributes[CKA_ENCRYPT] = boolValue(false);
    o.attributes[CKA_VERIFY] = boolValue(true);
    o.attributes[CKA_VERIFY_RECOVER] = boolValue(false);
    o.attributes[CKA_WRAP] = boolValue(false);
    o.attributes[CKA_TRUSTED] = boolValue(false);
    return o;
}

}  // namespace qel::simp11
