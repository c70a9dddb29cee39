#include "token/sigilla.h"

#include <algorithm>

#include "common/format.h"
#include "common/hex.h"
#include "common/logger.h"
#include "token/sigilla_session.h"

namespace qel {

namespace {

std::string identifierText(const std::optional<Bytes>& aid) {
    if (!aid) return "AID not provided !!";
    std::string text;
    for (std::uint8_t b : *aid) text += format("0x%.2X ", b);
    return text;
}

// Recognition needs the card's ATR; a slot that reports none is refused like an unknown card.
std::shared_ptr<QELCard> recognise(SmartCard& smartCard) {
    const Bytes atr = smartCard.atr();
    if (atr.empty()) throw CardError(CardError::badParameter);
    return std::make_shared<QELCard>(smartCard, atr);
}

}  // namespace

Sigilla::Sigilla(SmartCard& smartCard, const std::optional<Bytes>& aid, TokenDriver& /*driver*/) {
    logInfo(format("Sigilla : Starting init of Sigilla for AID : %s", identifierText(aid).c_str()));
    if (!aid) throw CardError(CardError::badParameter);
    card_ = recognise(smartCard);

    instanceID_ = card_->readSerial();
    logInfo(format("Sigilla : Found QEL Card with serial number %s", instanceID_.c_str()));
    // A renewed or re-issued card keeps its serial: what was cached under it may be another card's.
    card_->dropStaleCache();

    const std::vector<QELKeyAttribute> keys = card_->readKeyAttributes();
    const std::vector<QELCertificate> certificates = card_->readCertificates();
    std::vector<TokenObject> items;
    std::vector<Bytes> keyObjectIDs;
    for (const QELCertificate& entry : certificates) {
        logDebug(format("Sigilla : Read certificate : %s", entry.certLabel.c_str()));
        const std::optional<Bytes> data = card_->readCertificateData(entry.certPath);
        if (!data) {
            logError("Sigilla : Error handling certificate");
            throw CardError(CardError::corruptedData);
        }
        std::optional<CertificateInfo> info = parseCertificate(*data);
        if (!info) {
            logError("Sigilla : Error handling certificate parseCertificate failed");
            throw CardError(CardError::corruptedData);
        }
        logDebug(format("Sigilla : Creating TokenCertificate : (%lu bytes)", static_cast<unsigned long>(data->size())));
        TokenCertificate certificate{entry.KeyID, entry.certLabel, *data, std::move(*info)};

        const QELKeyAttribute* match = nullptr;
        for (const QELKeyAttribute& key : keys) {
            logDebug("Sigilla : Looking for certificate private key");
            if (key.KeyID == entry.KeyID) {
                match = &key;
                break;
            }
        }
        // A certificate without a KeyID, or whose KeyID names no key, is published alone: the holder
        // can still see and use it, and no key item can be built without its key reference.
        if (match == nullptr || entry.KeyID.empty()) {
            items.emplace_back(std::move(certificate));
            continue;
        }
        Bytes keyObjectID{entry.KeyID.back()};
        // The session finds a key by this one byte: a second key under the same byte would let the
        // handle of one key work the other. Only the first is published.
        if (std::find(keyObjectIDs.begin(), keyObjectIDs.end(), keyObjectID) != keyObjectIDs.end()) {
            logError(format("Sigilla : key of certificate %s not published : its identifier %s is another key's",
                            entry.certLabel.c_str(), toHex(keyObjectID).c_str()));
            items.emplace_back(std::move(certificate));
            continue;
        }
        keyObjectIDs.push_back(keyObjectID);
        logDebug("Sigilla : Found certificate's private key");
        TokenKey key(certificate, std::move(keyObjectID), *match, card_->type());
        items.emplace_back(std::move(certificate));
        items.emplace_back(std::move(key));
        logDebug("Sigilla : Append certificate and private key into the token objects");
    }
    items_ = std::move(items);
}

std::string Sigilla::tokenID() const { return std::string(TokenDriver::kDriverID) + ":" + instanceID_; }

const TokenKey& Sigilla::keyForObjectID(const Bytes& objectID) const {
    for (const TokenObject& item : items_)
        if (const auto* key = std::get_if<TokenKey>(&item); key && key->objectID == objectID) return *key;
    throw CardError(kObjectNotFound);
}

std::unique_ptr<SigillaSession> Sigilla::createSession(SmartCard& smartCard) {
    logDebug("Sigilla : Create QEL Token Session");
    return std::make_unique<SigillaSession>(*this, smartCard);
}

void Sigilla::terminateSession(SigillaSession& /*session*/) { logDebug("Sigilla : Closing QEL Token Session"); }

std::unique_ptr<Sigilla> TokenDriver::createTokenForSmartCard(SmartCard& smartCard, const std::optional<Bytes>& aid) {
    logDebug("Start a new Sigilla");
    return std::make_unique<Sigilla>(smartCard, aid, *this);
}

}  // namespace qel
