#pragma once
#include <p11-kit/pkcs11.h>

#include <map>
#include <set>
#include <string>

#include "card/certificate_info.h"
#include "common/bytes.h"
#include "sim/p11/card_backend.h"
#include "sim/p11/pkcs15.h"

namespace qel::simp11 {

/// One PKCS#11 object of a token: its attributes as the bytes C_GetAttributeValue hands out.
struct P11Object {
    CK_OBJECT_HANDLE handle = 0;
    CK_OBJECT_CLASS objectClass = CKO_DATA;
    bool isPrivate = false;
    std::map<CK_ATTRIBUTE_TYPE, Bytes> attributes;
    /// Attributes the object has but never reveals (the private key's secret parts).
    std::set<CK_ATTRIBUTE_TYPE> sensitive;

    // Keys only: what the card needs to use or check them.
    KeyRole role = KeyRole::sign;
    std::uint8_t keyReference = 0;
    Bytes modulus;
    Bytes exponent;

    /// True when every attribute of the template is present with exactly that value.
    bool matches(const CK_ATTRIBUTE* templ, CK_ULONG count) const;

    /// Fills a template following the size-query rules of C_GetAttributeValue: every entry is
    /// processed; the result is the error of an entry that failed, CKR_OK when none did.
    CK_RV getAttributes(CK_ATTRIBUTE* templ, CK_ULONG count) const;

    const Bytes* attribute(CK_ATTRIBUTE_TYPE type) const;
    bool boolAttribute(CK_ATTRIBUTE_TYPE type) const;
};

Bytes ulongValue(CK_ULONG value);
Bytes boolValue(bool value);
Bytes textValue(const std::string& text);

P11Object makeDataObject(const std::string& label, const Bytes& value, bool isPrivate);
P11Object makeCertificate(const std::string& label, const Bytes& id, const CertificateInfo& cert);
P11Object makePrivateKey(const KeyEntry& key, KeyRole role, const CertificateInfo& cert);
P11Object makePublicKey(const KeyEntry& key, const CertificateInfo& cert);

}  // namespace qel::simp11
