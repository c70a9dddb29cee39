#include "token/token_objects.h"

#include "common/format.h"
#include "common/logger.h"

namespace qel {

TokenKey::TokenKey(const TokenCertificate& certificate, Bytes objectID_, const QELKeyAttribute& key, QELType cardType) {
    keyNum = 0;
    bContactless = false;
    logDebug(format("TokenKey : init for key %s", key.keyLabel.c_str()));
    const bool decipherCapable = isDecipherCapable(key.keyUsage);
    algos = Algos(cardType, decipherCapable);
    type = decipherCapable ? KeyType::AUTH_KEY : KeyType::SIGN_KEY;

    objectID = std::move(objectID_);
    keyID = certificate.objectID;
    publicKey = certificate.info;

    bContactless = cardType == QELType::QEL3CL;
    label = key.keyLabel;
    canDecrypt = decipherCapable;
    canSign = (key.keyUsage & 0x204) != 0;
    canPerformKeyExchange = false;
    keySizeInBits = key.keyBitSize;
    suitableForLogin = false;
    if (bContactless) {
        constraints = {{TokenOperation::signData, Constraint::always},
                       {TokenOperation::decryptData, Constraint::never},
                       {TokenOperation::performKeyExchange, Constraint::never}};
    } else {
        constraints = {{TokenOperation::signData, Constraint::pin},
                       {TokenOperation::decryptData, decipherCapable ? Constraint::pin : Constraint::never},
                       {TokenOperation::performKeyExchange, Constraint::never}};
    }
    keyNum = key.keyNum;
}

Constraint TokenKey::constraint(TokenOperation operation) const {
    auto it = constraints.find(operation);
    return it == constraints.end() ? Constraint::never : it->second;
}

}  // namespace qel
