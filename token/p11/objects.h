#pragma once
#include <vector>

#include "common/bytes.h"
#include "token/token_objects.h"
#include "token/p11/pkcs11.h"

namespace qel::p11 {

/// One PKCS#11 object of a token: a certificate item, or the private or public half of a key item.
/// Points into the token's items, which live as long as the token.
struct P11Object {
    CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
    CK_OBJECT_CLASS objectClass = CKO_CERTIFICATE;
    const TokenCertificate* certificate = nullptr;
    const TokenKey* key = nullptr;
};

/// The objects of a token's items, in item order (a key item gives its private key then its public
/// key), with handles from `firstHandle` on.
std::vector<P11Object> objectsForItems(const std::vector<TokenObject>& items, CK_OBJECT_HANDLE firstHandle);

/// Whether the key may sign / decipher at all: the item's capability and a constraint other than
/// `never`. These are the objects' CKA_SIGN and CKA_DECRYPT.
bool keyMaySign(const TokenKey& key);
bool keyMayDecrypt(const TokenKey& key);

/// A private key whose use needs the PIN is a private object: applications see it after C_Login,
/// which is when they expect to use it. Every other object is public.
bool isPrivateObject(const P11Object& object);

/// Outcome of reading one attribute.
enum class AttributeStatus { ok, sensitive, invalid };

/// The value of one attribute of an object, encoded as PKCS#11 lays it out in memory (CK_BBOOL one
/// byte, CK_ULONG native). `sensitive` for the private key's secret parts, `invalid` for an
/// attribute the object does not have.
AttributeStatus attributeValue(const P11Object& object, CK_ATTRIBUTE_TYPE type, Bytes& value);

/// C_GetAttributeValue's rules over a template: each entry gets its length, or its value when a
/// buffer is given, or CK_UNAVAILABLE_INFORMATION. Returns CKR_OK, CKR_ATTRIBUTE_SENSITIVE,
/// CKR_ATTRIBUTE_TYPE_INVALID or CKR_BUFFER_TOO_SMALL (the last one met wins, as callers expect).
CK_RV fillTemplate(const P11Object& object, CK_ATTRIBUTE_PTR attributes, CK_ULONG count);

/// True when every attribute of the template has exactly the given value on the object.
bool matchesTemplate(const P11Object& object, const std::vector<std::pair<CK_ATTRIBUTE_TYPE, Bytes>>& wanted);

}  // namespace qel::p11
