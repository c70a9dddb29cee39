// A token built over a card whose answers all come from the input: directories, certificate files
// and serial may be anything. Whatever token comes out, every attribute of every object is read, and
// the DigestInfo reader gets the rest of the input.
#include <cstddef>
#include <cstdint>

#include "fuzz/card/fuzz_env.h"
#include "token/p11/mechanisms.h"
#include "token/p11/objects.h"
#include "token/sigilla.h"

namespace {

using namespace qel;

// One length byte, then that many bytes of answer (status word included); the card is gone when the
// input runs out.
class StreamCard : public SmartCard {
public:
    StreamCard(Bytes atr, const std::uint8_t* data, std::size_t size) : atr_(std::move(atr)), data_(data), size_(size) {}
    Bytes atr() const override { return atr_; }
    void beginSession() override {}
    void endSession() override {}
    Bytes transmit(const Bytes&) override {
        if (pos_ >= size_) throw TransportError(TransportError::Kind::cardRemoved, 0, "card removed");
        std::size_t n = data_[pos_++];
        n = std::min(n, size_ - pos_);
        Bytes answer(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return answer;
    }

private:
    Bytes atr_;
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

const Bytes kAtrs[] = {
    {0x3B, 0xAC, 0x00, 0x40, 0x2A, 0x00, 0x12, 0x25, 0x00, 0x64, 0x80, 0x00, 0x03, 0x10, 0x00, 0x90, 0x00},
    {0x3B, 0xDC, 0x18, 0xFF, 0x00, 0x00, 0x12, 0x25, 0x00, 0x64, 0x80, 0x00, 0x04, 0x01, 0x00, 0x90, 0x00},
    {0x3B, 0x8F, 0x80, 0x01, 0x00, 0x31, 0xB8, 0x64, 0x04, 0xB0, 0xEC, 0xC1, 0x73, 0x94, 0x01, 0x80, 0x82, 0x90,
     0x00, 0x0E},
};

const CK_ATTRIBUTE_TYPE kAttributes[] = {
    CKA_CLASS, CKA_TOKEN,   CKA_PRIVATE, CKA_LABEL,   CKA_ID,       CKA_VALUE,         CKA_SUBJECT,   CKA_ISSUER,
    CKA_SERIAL_NUMBER,      CKA_MODULUS, CKA_PUBLIC_EXPONENT,       CKA_MODULUS_BITS,  CKA_SIGN,      CKA_DECRYPT,
    CKA_PUBLIC_KEY_INFO,    CKA_KEY_TYPE, CKA_PRIVATE_EXPONENT,     CKA_CERTIFICATE_TYPE,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qel::fuzz::privateFolder();
    if (size < 1) return 0;
    StreamCard card(kAtrs[data[0] % 3], data + 1, size - 1);
    try {
        TokenDriver driver;
        auto token = driver.createTokenForSmartCard(card, Bytes{0x80, 0x25});
        for (const p11::P11Object& object : p11::objectsForItems(token->keychainContents(), 1)) {
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
    } catch (const TokenError&) {
    } catch (const TransportError&) {
    }
    p11::splitDigestInfo(Bytes(data, data + size));
    return 0;
}
