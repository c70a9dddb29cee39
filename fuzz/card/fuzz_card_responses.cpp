// Card answers from a hostile card: the SELECT size scan, the GET DATA counter scan, padding removal,
// the key and certificate directories, and whole card reads where every answer comes from the input.
#include <cstddef>
#include <cstdint>

#include "card/card_directory.h"
#include "card/qel_card.h"
#include "card/sec_params.h"
#include "fuzz_env.h"

namespace {

using namespace qel;

// Answers each command with the next piece of the input: one length byte, then that many bytes
// (status word included). When the input runs out the card is gone.
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
    {0x3B, 0x8F, 0x80, 0x01, 0x00, 0x31, 0xB8, 0x64, 0x04, 0xB0, 0xEC, 0xC1, 0x73, 0x94, 0x01, 0x80, 0x82, 0x90, 0x00,
     0x0E},
    {0x3B, 0x9B, 0x18, 0x80, 0x01, 0x00, 0x12, 0x25, 0x00, 0x64, 0x80, 0x04, 0x01, 0x00, 0x00, 0x90, 0x44},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qel::fuzz::privateFolder();
    if (size < 1) return 0;
    const std::uint8_t mode = data[0];
    const Bytes rest(data + 1, data + size);
    try {
        switch (mode % 4) {
            case 0: {
                StreamCard card(kAtrs[0], nullptr, 0);
                QELOps ops(card, QELType::QEL3);
                (void)ops.fileSizeFromSelectResponse(rest);
                Bytes answer = rest;
                answer.insert(answer.end(), {0x90, 0x00});
                Bytes framed{static_cast<std::uint8_t>(std::min<std::size_t>(answer.size(), 255))};
                framed.insert(framed.end(), answer.begin(), answer.begin() + framed[0]);
                StreamCard pinCard(kAtrs[0], framed.data(), framed.size());
                QELOps pinOps(pinCard, QELType::QEL3);
                try {
                    pinOps.checkPinStatus();
                } catch (const TokenError&) {
                }
                break;
            }
            case 1: (void)removePkcs1Padding(rest); break;
            case 2:
                (void)decodeKeyDirectory(rest);
                (void)decodeCertificateDirectory(rest);
                break;
            case 3: {
                // A whole token start on a card whose every answer is hostile. The serial is kept empty
                // so that nothing reaches the cache.
                StreamCard card(kAtrs[(mode >> 2) % 3], rest.data(), rest.size());
                QELCard qel(card, card.atr());
                (void)qel.readKeyAttributes();
                (void)qel.readCertificates();
                (void)qel.readCertificateData(Bytes{0xA0, 0x02});
                (void)qel.readSerial();
                qel.checkPin();
                qel.verifyPin("1234");
                const CardKey key{KeyType::AUTH_KEY, 2, Algos(qel.type(), true)};
                (void)qel.signData(Bytes(32, 0x11), SecKeyAlgorithm::RSASignatureDigestPKCS1v15SHA256, key);
                (void)qel.decryptData(Bytes(256, 0x22), SecKeyAlgorithm::RSAEncryptionPKCS1, key);
                break;
            }
        }
    } catch (const TokenError&) {
    } catch (const TransportError&) {
    }
    return 0;
}
