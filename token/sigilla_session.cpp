#include "token/sigilla_session.h"

#include "common/format.h"
#include "common/logger.h"
#include "token/sigilla.h"

namespace qel {

namespace {

const char* operationName(int operation) {
    switch (operation) {
        case 1:
            return "read data";
        case 2:
            return "sign data";
        case 3:
            return "decrypt data";
        case 4:
            return "perform key exchange";
        default:
            return "Unknown algorithm ?";
    }
}

}  // namespace

SigillaSession::SigillaSession(Sigilla& token, SmartCard& smartCard)
    : token_(token), card_(token.card()), smartCard_(smartCard) {}

void SigillaSession::takeCardForOperation() {
    // QELCard::setSmartCard puts the fourth generation's class byte 01 back on the card object, so
    // that no command of this operation goes out with another one.
    card_->setSmartCard(smartCard_);
}

bool SigillaSession::supportsOperation(int operation, const Bytes& keyObjectID, const KeyAlgorithm& algorithm) {
    logInfo(format("SigillaSession : Ask for supports algorithm %s in order to %s", algorithmName(algorithm).c_str(),
                   operationName(operation)));
    if (token_.publishedObjects().empty()) return false;
    const TokenKey* key = nullptr;
    try {
        key = &token_.keyForObjectID(keyObjectID);
    } catch (const CardError& e) {
        logError(format("SigillaSession : Ask for supports algorithm - An error occurred : %s", e.what()));
        return false;
    }
    switch (operation) {
        case 2:
            if (key->algos.acceptsSign(algorithm)) return true;
            logWarning(format("SigillaSession : Algorithm not supported by key %d", key->keyNum));
            return false;
        case 3:
            if (key->algos.acceptsDecrypt(algorithm)) return true;
            logWarning("SigillaSession : Algorithm not supported by QEL Auth key");
            return false;
        case 4:
            logWarning("SigillaSession : Key Exchange operation - not supported");
            return false;
        default:
            logWarning("SigillaSession : Unknown operation");
            return false;
    }
}

std::unique_ptr<QELAuthOperation> SigillaSession::beginAuthForOperation(int /*operation*/, Constraint /*constraint*/) {
    takeCardForOperation();
    auto auth = std::make_unique<QELAuthOperation>(card_, smartCard_);
    card_->checkPin();
    auth->apduTemplate = QELAuthOperation::templateFor(card_->type());
    auth->pinByteOffset = 0;
    auth->smartCard = &smartCard_;
    return auth;
}

bool SigillaSession::cardAlreadyVerified() {
    takeCardForOperation();
    return card_->pinVerified();
}

Bytes SigillaSession::signData(const Bytes& data, const Bytes& keyObjectID, const KeyAlgorithm& algorithm) {
    logInfo(format("SigillaSession : Sign data operation with algorithm %s", algorithmName(algorithm).c_str()));
    if (token_.publishedObjects().empty()) {
        logWarning("SigillaSession : Sign data operation - publishedObjects is unavailable");
        throw CardError(CardError::badParameter);
    }
    const TokenKey& key = token_.keyForObjectID(keyObjectID);
    takeCardForOperation();
    return card_->signData(data, algorithm, key.cardKey());
}

Bytes SigillaSession::decryptData(const Bytes& data, const Bytes& keyObjectID, const KeyAlgorithm& algorithm) {
    logInfo(format("SigillaSession : Decrypt data operation with algorithm %s", algorithmName(algorithm).c_str()));
    if (token_.publishedObjects().empty()) {
        logWarning("SigillaSession : Decrypt data operation - publishedObjects is unavailable");
        throw CardError(CardError::badParameter);
    }
    const TokenKey& key = token_.keyForObjectID(keyObjectID);
    takeCardForOperation();
    return card_->decryptData(data, algorithm, key.cardKey());
}

Bytes SigillaSession::performKeyExchange(const Bytes& /*publicKey*/, const Bytes& /*keyObjectID*/,
                                         const KeyAlgorithm& /*algorithm*/) {
    logWarning("SigillaSession : Key Exchange operation - Not Supported by QEL Card");
    throw CardError(CardError::notImplemented);
}

}  // namespace qel
