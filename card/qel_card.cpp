#include "card/qel_card.h"

#include <algorithm>

#include "card/card_cache.h"
#include "card/qel_card_file.h"
#include "card/tlv.h"
#include "common/format.h"
#include "common/hex.h"
#include "common/logger.h"
#include "common/secret_bytes.h"

namespace qel {

namespace {

struct KnownAtr {
    Bytes atr;
    QELType type;
    std::uint8_t cla;
};

const std::vector<KnownAtr>& knownAtrs() {
    // Never destroyed: PKCS#11 hosts call in from exit handlers, after static destructors have run.
    static const std::vector<KnownAtr>& atrs = *new std::vector<KnownAtr>{
        {{0x3B, 0x9B, 0x18, 0x80, 0x01, 0x00, 0x12, 0x25, 0x00, 0x64, 0x80, 0x04, 0x01, 0x00, 0x00, 0x90, 0x44},
         QELType::QEL4,
         0x01},
        {{0x3B, 0xDC, 0x18, 0xFF, 0x00, 0x00, 0x12, 0x25, 0x00, 0x64, 0x80, 0x00, 0x04, 0x01, 0x00, 0x90, 0x00},
         QELType::QEL4,
         0x01},
        {{0x3B, 0xAC, 0x00, 0x40, 0x2A, 0x00, 0x12, 0x25, 0x00, 0x64, 0x80, 0x00, 0x03, 0x10, 0x00, 0x90, 0x00},
         QELType::QEL3,
         0x00},
        {{0x3B, 0x8F, 0x80, 0x01, 0x00, 0x31, 0xB8, 0x64, 0x04, 0xB0,
          0xEC, 0xC1, 0x73, 0x94, 0x01, 0x80, 0x82, 0x90, 0x00, 0x0E},
         QELType::QEL3CL,
         0x00},
    };
    return atrs;
}

// Recognises the card before anything else is built, so that an unknown card gets no command.
QELType recogniseCard(SmartCard& card, const Bytes& atr) {
    const std::optional<RecognisedAtr> known = recogniseAtr(atr);
    if (!known) throw CardError(CardError::badParameter);
    card.setCla(known->cla);
    logDebug(format("Found %s card", qualifiedName(known->type).c_str()));
    return known->type;
}

QELFiles filesFor(QELType type) {
    QELFiles files;
    files.configure(type);
    return files;
}

}  // namespace

std::optional<RecognisedAtr> recogniseAtr(const Bytes& atr) {
    for (const KnownAtr& k : knownAtrs())
        if (k.atr == atr) return RecognisedAtr{k.type, k.cla};
    return std::nullopt;
}

QELCard::QELCard(SmartCard& card, const Bytes& atr)
    : type_(recogniseCard(card, atr)), qelFiles_(filesFor(type_)), ops_(card, type_) {
    if (type_ == QELType::QEL4) ops_.selectApplication(qelFiles_.aid);
}

void QELCard::setSmartCard(SmartCard& card) {
    if (type_ == QELType::QEL4) card.setCla(0x01);
    ops_.setSmartCard(card);
}

std::string QELCard::readSerial() {
    std::string serial;
    try {
        QELCardFile file(ops_, qelFiles_.serial, std::nullopt);
        if (std::optional<Bytes> content = file.getContent()) {
            if (std::optional<TLVEntry> first = TLVEntry::decode(*content)) serial = toHex(*first->entryData);
        }
    } catch (const TransportError&) {
        throw;
    } catch (const CardError&) {
        // Already logged by the command layer; a card without a readable serial has the empty one.
    }
    cardSerial_ = serial;
    return serial;
}

std::optional<Bytes> QELCard::readFile(const CardFile& file, const char* failureLog) {
    try {
        CardFile read = file;
        if (bypassCache_) read.cache = false;
        QELCardFile reader(ops_, read, cardSerial_);
        return reader.getContent();
    } catch (const TransportError&) {
        throw;
    } catch (const CardError&) {
        logError(failureLog);
        return std::nullopt;
    }
}

bool QELCard::dropStaleCache() {
    if (!cardSerial_ || !cacheDirectory(*cardSerial_)) return false;
    // Enough for the certificate's header, its version and a serial number of 20 bytes: a renewed
    // certificate always has a new serial, and a re-issued one a new length or serial as well.
    constexpr std::size_t kComparedBytes = 48;
    for (const CardFile* file : {&qelFiles_.signCert, &qelFiles_.authCert}) {
        if (!file->cache || file->fullPath().empty()) continue;
        QELCardFile cached(ops_, *file, cardSerial_);
        if (!cached.readCache() || !cached.fileData() || cached.fileData()->empty()) continue;
        const Bytes& copy = *cached.fileData();
        const std::size_t length = std::min(kComparedBytes, copy.size());
        const SelectResult selected = ops_.selectFile(*file, false);
        bool same = selected.ok;
        if (same) {
            const ReadResult head = ops_.readBinaryData(length);
            same =
                head.ok && head.data.size() == length && std::equal(head.data.begin(), head.data.end(), copy.begin());
        }
        if (same) continue;
        logInfo(format("QEL File : %s changed on the card, the card's cache is dropped", cached.strFilePath().c_str()));
        try {
            cardcache::clearCard(*cardSerial_);
        } catch (const std::exception& e) {
            // The stale records stay: this card object reads past them.
            logError(format("QEL File : the card's cache could not be dropped : %s", e.what()));
            bypassCache_ = true;
        }
        return true;
    }
    return false;
}

std::vector<QELKeyAttribute> QELCard::readKeyAttributes() {
    const std::optional<Bytes> content = readFile(qelFiles_.prkd, "Faid to load private keys info");
    if (!content) return {};
    return decodeKeyDirectory(*content);
}

std::vector<QELCertificate> QELCard::readCertificates() {
    const std::optional<Bytes> content = readFile(qelFiles_.cd, "Faid to load certs info");
    if (!content) return {};
    return decodeCertificateDirectory(*content);
}

std::optional<Bytes> QELCard::readCertificateData(const Bytes& path) {
    // The directory's path only says which of the two certificates is meant; the configured file is
    // the one read.
    const CardFile& file = qelFiles_.authCert.matches(path) ? qelFiles_.authCert : qelFiles_.signCert;
    return readFile(file, "Faid to load cert data");
}

void QELCard::checkPin() {
    if (type_ == QELType::QEL3) {
        ops_.selectFile(qelFiles_.mf, false);
        ops_.checkPinStatus();
    } else {
        ops_.checkPinTries();
    }
}

bool QELCard::pinVerified() {
    if (type_ == QELType::QEL3) ops_.selectFile(qelFiles_.mf, false);
    return ops_.pinVerified();
}

void QELCard::verifyPin(std::string_view pin) {
    SecretBytes bytes(pin);
    if (type_ == QELType::QEL3)
        for (int i = 0; i < 4; ++i) bytes.push_back(0xFF);
    ops_.verifyPinData(bytes);
}

SecParams QELCard::secParams(KeyOp op, const KeyAlgorithm& algorithm, const CardKey& key) const {
    SecParams params;
    params.op = op;
    params.keyType = key.type;
    params.keyId = key.keyNum;
    params.cardType = type_;
    params.files = qelFiles_;
    params.algorithm = algorithm;
    return params;
}

Bytes QELCard::signData(const Bytes& input, const KeyAlgorithm& algorithm, const CardKey& key) {
    if (!key.algos.acceptsSign(algorithm)) {
        logWarning(
            format("Sign data operation - unsupported algorithm for QEL %s key", qualifiedName(key.type).c_str()));
        throw CardError(CardError::badParameter);
    }
    const SecParams params = secParams(KeyOp::SIGN, algorithm, key);
    ops_.manageSecurityEnvironment(params);
    return ops_.computeSignature(params, input);
}

Bytes QELCard::decryptData(const Bytes& input, const KeyAlgorithm& algorithm, const CardKey& key) {
    if (!key.algos.acceptsDecrypt(algorithm)) {
        logWarning(
            format("Decrypt data operation - unsupported algorithm for QEL %s key", qualifiedName(key.type).c_str()));
        throw CardError(CardError::badParameter);
    }
    const SecParams params = secParams(KeyOp::DECRYPT, algorithm, key);
    ops_.manageSecurityEnvironment(params);
    return ops_.decipher(params, input);
}

std::optional<std::string> readQelSerial(SmartCard& card) {
    try {
        QELCard qelCard(card, card.atr());
        std::string serial = qelCard.readSerial();
        if (serial.empty()) return std::nullopt;
        return serial;
    } catch (const std::exception&) {
        // An unknown ATR or a card that cannot be read carries no QEL serial.
        return std::nullopt;
    }
}

}  // namespace qel
