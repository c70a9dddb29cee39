#include "card/qel_ops.h"

#include <algorithm>
#include <limits>

#include "card/status_words.h"
#include "common/format.h"
#include "common/hex.h"
#include "common/logger.h"
#include "common/secret_bytes.h"

namespace qel {

namespace {

// Selection and reading hide transport failures behind the token domain's communication error; the
// card-removed mark survives so that a boundary can still tell a pulled card apart.
[[noreturn]] void communicationFailure(const char* operation, const TransportError& e) {
    logError(format("QEL Card Operations : %s - An error occurred : %s", operation, e.what()));
    throw CardError::transportFailure(e.cardRemoved());
}

// The last READ BINARY may start at offset 65,535 at most: P1 P2 carry the offset on 16 bits.
constexpr std::size_t kMaxOffset = 0xFFFF;

}  // namespace

QELOps::QELOps(SmartCard& card, QELType type) : smartCard_(&card) {
    logDebug("QELOps init");
    apduOps_.configureSelect(type);
    type_ = type;
    smartCard_->setUseCommandChaining(false);
    if (type_ == QELType::QEL4) smartCard_->setCla(0x01);
}

CardResponse QELOps::transmit(const Apdu& apdu) {
    return smartCard_->send(apdu.ins, apdu.p1, apdu.p2, apdu.data, apdu.le);
}

SelectResult QELOps::selectFile(const CardFile& file, bool byName) {
    const Bytes path = file.fullPath();
    const std::string pathText = toHex(path);
    Apdu& apdu = byName ? apduOps_.selectAID : apduOps_.select;
    apdu.data = path;
    CardResponse r;
    try {
        r = transmit(apdu);
    } catch (const TransportError& e) {
        communicationFailure("selectFile", e);
    }
    logDebug(format("QEL Card Operations : Select path [%s] : result 0x%04x", pathText.c_str(), r.sw));
    if (r.sw == sw::success)
        logDebug(format("QEL Card Operations : Path [%s] successfully selected", pathText.c_str()));
    else
        logWarning(format("QEL Card Operations : Failed to select path [%s] : result 0x%04x", pathText.c_str(), r.sw));
    return SelectResult{r.sw == sw::success, std::move(r.data)};
}

void QELOps::selectApplication(const CardFile& file) {
    if (!selectFile(file, true).ok) {
        logError("Failed to select QEL AID");
        throw CardError(CardError::communicationError);
    }
}

ReadResult QELOps::readBinaryData(std::size_t size) {
    const std::size_t chunk = type_ == QELType::QEL4 ? 255 : 231;
    std::size_t offset = 0;
    std::size_t remaining = size;
    Bytes result;
    Apdu& apdu = apduOps_.readBinary;
    if (size > kMaxOffset + 1) {
        // Such a file cannot be read whole; reading its first 64 KiB would only waste the card's time.
        logWarning("QEL Card Operations : Read Binary - Failed to read file : offset beyond 65535");
        return {};
    }
    try {
        while (remaining > 0) {
            if (offset > kMaxOffset) {
                logWarning("QEL Card Operations : Read Binary - Failed to read file : offset beyond 65535");
                return {};
            }
            apdu.p1 = static_cast<std::uint8_t>(offset / 256);
            apdu.p2 = static_cast<std::uint8_t>(offset % 256);
            apdu.le = static_cast<int>(std::min(chunk, remaining));
            apdu.data.clear();
            CardResponse r = transmit(apdu);
            // An empty 9000 answer would never move the offset on: it ends the read as a failure.
            if (r.sw != sw::success || r.data.empty()) {
                logWarning(format("QEL Card Operations : Read Binary - Failed to read file : result 0x%04x", r.sw));
                return {};
            }
            // A card that answers more than asked only gets credit for what was asked.
            const std::size_t got = std::min(r.data.size(), remaining);
            result.insert(result.end(), r.data.begin(), r.data.begin() + static_cast<long>(got));
            remaining -= got;
            offset += got;
        }
    } catch (const TransportError& e) {
        communicationFailure("readBinary", e);
    }
    logDebug("QEL Card Operations : Read Binary - Data successfully read");
    return ReadResult{true, std::move(result)};
}

int QELOps::fileSizeFromSelectResponse(const Bytes& response) {
    std::size_t i = 0;
    if (auto it = std::find(response.begin(), response.end(), 0x80); it != response.end())
        i = static_cast<std::size_t>(it - response.begin());
    std::uint64_t size = 0;
    if (i + 1 < response.size()) {
        const std::size_t n = response[i + 1];
        if (i + 1 + n < response.size()) {
            for (std::size_t k = 0; k < n && size <= std::numeric_limits<int>::max(); ++k)
                size = (size << 8) | response[i + 2 + k];
        }
    }
    // A size the card could never hold is a broken answer, not a file to read.
    if (size > static_cast<std::uint64_t>(std::numeric_limits<int>::max())) size = 0;
    logDebug(format("QEL Card Operations : Getting file's size %d", static_cast<int>(size)));
    return static_cast<int>(size);
}

void QELOps::manageSecurityEnvironment(const SecParams& params) {
    selectFile(params.keyType == KeyType::AUTH_KEY ? params.files.authEF : params.files.signEF, false);
    const MseParameters mse = params.mseParameters();
    Apdu& apdu = apduOps_.setSecEnv;
    apdu.p1 = mse.p1;
    apdu.p2 = mse.p2;
    apdu.data = mse.data;
    apdu.le.reset();
    const CardResponse r = transmit(apdu);
    const CardStatus status = statusWordMeaning(r.sw).status;
    if (status == CardStatus::success) {
        logSuccess("QEL Card Operations : Set Security Environment - set");
        return;
    }
    if (status == CardStatus::securityStatusNotSatisfied) {
        logWarning("QEL Card Operations : Set Security Environment - Security status not satisfied, login needed");
        throw CardError(CardError::authenticationNeeded);
    }
    logError("QEL Card Operations : Set Security Environment - Bad Parameters");
    throw CardError(CardError::badParameter);
}

Bytes QELOps::computeSignature(const SecParams& params, const Bytes& input) {
    Apdu* apdu = &apduOps_.secOp;
    if (params.keyType == KeyType::AUTH_KEY && type_ != QELType::QEL4) {
        // The third generation's authentication key signs through INTERNAL AUTHENTICATE, which
        // takes the whole DigestInfo, not the bare hash.
        apdu = &apduOps_.intAuth;
        apdu->data = params.digestInfoPrefix().value_or(Bytes{});
        apdu->data.insert(apdu->data.end(), input.begin(), input.end());
    } else {
        apdu->data = input;
    }
    apdu->le = 256;
    CardResponse r = transmit(*apdu);
    const CardStatus status = statusWordMeaning(r.sw).status;
    if (status == CardStatus::success) {
        logSuccess(format("QEL Card Operations : Sign data operation - data signed with QEL %s",
                          qualifiedName(params.keyType).c_str()));
        return std::move(r.data);
    }
    if (status == CardStatus::securityStatusNotSatisfied) {
        logWarning("QEL Card Operations : Sign data operation - Security status not satisfied, login needed");
        throw CardError(CardError::authenticationNeeded);
    }
    logError(format("QEL Card Operations : Sign data operation - failed (0x%.4x)", r.sw));
    throw CardError(r.sw);
}

Bytes QELOps::decipher(const SecParams& params, const Bytes& input) {
    Apdu& apdu = apduOps_.decipherOp;
    apdu.data.clear();
    if (type_ == QELType::QEL3) apdu.data.push_back(0x81);  // padding indicator byte
    apdu.data.insert(apdu.data.end(), input.begin(), input.end());
    apdu.le = 256;
    // A 2048-bit cryptogram with its indicator byte does not fit one short command.
    smartCard_->setUseCommandChaining(true);
    CardResponse r = transmit(apdu);
    const CardStatus status = statusWordMeaning(r.sw).status;
    if (status == CardStatus::success) {
        if (type_ == QELType::QEL4) return removePkcs1Padding(r.data);
        logSuccess(format("QEL Card Operations : Decrypt data operation - data signed with QEL %s",
                          qualifiedName(params.keyType).c_str()));
        return std::move(r.data);
    }
    if (status == CardStatus::securityStatusNotSatisfied) {
        logWarning("QEL Card Operations : Decrypt data operation - Security status not satisfied, login needed");
        throw CardError(CardError::authenticationNeeded);
    }
    logError(format("QEL Card Operations : Decrypt data operation - failed (0x%.4x)", r.sw));
    throw CardError(r.sw);
}

void QELOps::checkPinStatus() {
    Apdu& apdu = apduOps_.pinstate;
    apdu.data = Bytes{0x4D, 0x08, 0x70, 0x06, 0xBF, 0x81, 0x01, 0x02, 0xA0, 0x80};
    apdu.le = 231;
    const CardResponse r = transmit(apdu);
    if (r.sw != sw::success) return;
    int pinTries = 0xFF;
    int unblockTries = 0xFF;
    const Bytes& d = r.data;
    // A plain scan, not a TLV walk: the counters sit two bytes after their tag (the low byte of a
    // two-byte unblock counter three bytes after). Matches too close to the end are ignored.
    for (std::size_t i = 0; i < d.size(); ++i) {
        if (d[i] == 0x9B) {
            if (i + 2 < d.size()) pinTries = d[i + 2];
        } else if (d[i] == 0x9D && i + 1 < d.size()) {
            if (d[i + 1] == 0x01 && i + 2 < d.size())
                unblockTries = d[i + 2];
            else if (d[i + 1] == 0x02 && i + 3 < d.size())
                unblockTries = d[i + 3];
        }
    }
    if (unblockTries == 0) {
        logError("QELAuthOperation : QEL card definitively locked ");
        throw CardError(CardError::communicationError);
    }
    if (pinTries == 0) {
        logError("QELAuthOperation : QEL card is locked ");
        throw CardError(CardError::communicationError);
    }
}

void QELOps::checkPinTries() {
    Apdu& apdu = apduOps_.verifyPin;
    apdu.p2 = 0x01;
    apdu.data.clear();
    apdu.le.reset();
    const CardResponse r = transmit(apdu);
    if (statusWordMeaning(r.sw).status == CardStatus::blocked) {
        logError("QELAuthOperation : QEL card is locked ");
        throw CardError::cardAnswer(CardError::communicationError, r.sw);
    }
    logInfo(format("QELAuthOperation : remaining tries %d", r.sw & 0x0F));
}

bool QELOps::pinVerified() {
    Apdu& apdu = apduOps_.verifyPin;
    apdu.p2 = 0x01;
    apdu.data.clear();
    apdu.le.reset();
    return transmit(apdu).sw == sw::success;
}

void QELOps::verifyPinData(const SecretBytes& pin) {
    Apdu& apdu = apduOps_.verifyPin;
    apdu.p2 = 0x01;
    wipe(apdu.data);
    apdu.data.assign(pin.begin(), pin.end());
    apdu.le.reset();
    CardResponse r;
    try {
        r = transmit(apdu);
    } catch (...) {
        wipe(apdu.data);
        throw;
    }
    // The template outlives the call: the PIN must not stay in it.
    wipe(apdu.data);
    if (r.sw == sw::success) {
        logInfo("QELAuthOperation : User is now authenticated ");
        return;
    }
    logError(format("QELAuthOperation : QEL card is locked (0x%.4x)", r.sw));
    // The answer goes with the error: a blocked PIN and a wrong one are told apart at the boundary.
    throw CardError::cardAnswer(CardError::communicationError, r.sw);
}

Bytes QELOps::getChallenge(std::size_t length) {
    if (length == 0 || length > 255) throw CardError(CardError::badParameter);
    CardResponse r = smartCard_->send(0x84, 0x00, 0x00, {}, static_cast<int>(length));
    if (r.sw != sw::success || r.data.empty()) throw CardError(r.sw == sw::success ? CardError::corruptedData : r.sw);
    if (r.data.size() > length) r.data.resize(length);
    return std::move(r.data);
}

}  // namespace qel
