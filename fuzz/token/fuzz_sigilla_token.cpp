// A token built over a card whose answers all come from the input: directories, certificate files
// and serial may be anything. Whatever token comes out, every attribute of every object is read, and
// the DigestInfo reader gets the rest of the input.
#include <cstddef>
#include <cstdint>

#include "fuzz/card/fuzz_env.h"
#include "fuzz/support/stream_card.h"
#include "token/p11/mechanisms.h"
#include "token/p11/objects.h"
#include "token/sigilla.h"

namespace {

using namespace qel;
using fuzz::StreamCard;

const Bytes kAtrs[] = {fuzz::kAtrQel3, fuzz::kAtrQel4Second, fuzz::kAtrQel3Contactless};

const CK_ATTRIBUTE_TYPE kAttributes[] = {
    CKA_CLASS,
    CKA_TOKEN,
    CKA_PRIVATE,
    CKA_LABEL,
    CKA_ID,
    CKA_VALUE,
    CKA_SUBJECT,
    CKA_ISSUER,
    CKA_SERIAL_NUMBER,
    CKA_MODULUS,
    CKA_PUBLIC_EXPONENT,
    CKA_MODULUS_BITS,
    CKA_SIGN,
    CKA_DECRYPT,
    CKA_PUBLIC_KEY_INFO,
    CKA_KEY_TYPE,
    CKA_PRIVATE_EXPONENT,
    CKA_CERTIFICATE_TYPE,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qel::fuzz::privateFolder();
    if (size < 1) return 0;
    StreamCard card(kAtrs[data[0] % 3], data + 1, size - 1);
    try {
        TokenDriver driver;
        auto token = driver.createTokenForSmartCard(card, Bytes{0x80, 0x25});
        for (const p11::P11Object& object : p11::objectsForItems(token->publishedObjects(), 1)) {
            for (CK_ATTRIBUTE_TYPE type : kAttributes) {
                CK_ATTRIBUTE attribute{type, nullptr, 0};
                p11::fillTemplate(object, &attribute, 1);
                if (attribute.ulValueLen != CK_UNAVAILABLE_INFORMATION) {
                    Bytes value(attribute.ulValueLen);
                    attribute.pValue = value.data();
                    p11::fillTemplate(object, &attribute, 1);
                }
            }
        }
    } catch (const CardError&) {
        // TransportError included
    }
    p11::splitDigestInfo(Bytes(data, data + size));
    return 0;
}
