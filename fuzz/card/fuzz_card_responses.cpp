// Card answers from a hostile card: the SELECT size scan, the GET DATA counter scan, padding removal,
// the key and certificate directories, and whole card reads where every answer comes from the input.
#include <cstddef>
#include <cstdint>

#include "card/card_directory.h"
#include "card/qel_card.h"
#include "card/sec_params.h"
#include "fuzz/card/fuzz_env.h"
#include "fuzz/support/stream_card.h"

namespace {

using namespace qel;
using fuzz::StreamCard;

const Bytes kAtrs[] = {fuzz::kAtrQel3, fuzz::kAtrQel3Contactless, fuzz::kAtrQel4};

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
                } catch (const CardError&) {
                }
                break;
            }
            case 1:
                (void)removePkcs1Padding(rest);
                break;
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
                (void)qel.signData(Bytes(32, 0x11), AsymmetricAlgorithm::RSASignatureDigestPKCS1v15SHA256, key);
                (void)qel.decryptData(Bytes(256, 0x22), AsymmetricAlgorithm::RSAEncryptionPKCS1, key);
                break;
            }
        }
    } catch (const CardError&) {
        // TransportError included
    }
    return 0;
}
