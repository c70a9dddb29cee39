#pragma once
#include "card/qel_card.h"
#include "card/card_error.h"

namespace qel::sigillatest {

/// What another program sharing a fourth-generation card gets for a signature it sends without any
/// PIN (MANAGE SECURITY ENVIRONMENT, then COMPUTE DIGITAL SIGNATURE): 9000 while the card is
/// verified, 6982 once it is not.
inline int signatureWithoutPin(SmartCard& connection) {
    QELCard card(connection, connection.atr());
    try {
        card.signData(Bytes(32, 0x11), AsymmetricAlgorithm::RSASignatureDigestPKCS1v15SHA256,
                      CardKey{KeyType::SIGN_KEY, 2, Algos(QELType::QEL4, false)});
        return 0x9000;
    } catch (const CardError& e) {
        return e.code() == CardError::authenticationNeeded ? 0x6982 : e.code();
    }
}

}  // namespace qel::sigillatest
