#include "management/scard/scard.h"

#include "card/status_words.h"
#include "common/format.h"
#include "common/hex.h"
#include "common/logger.h"

namespace qel {

ScardResponse ScardExchange::transmit(const Bytes& apdu, const Bytes* shownInLog) {
    return exchange(apdu, shownInLog, false);
}

ScardResponse ScardExchange::transmitSecret(const Bytes& apdu) { return exchange(apdu, nullptr, true); }

ScardResponse ScardExchange::exchange(const Bytes& apdu, const Bytes* shownInLog, bool hideAnswer) {
    ScardResponse response;
    logDebug(format("APDU : %s", toHex(shownInLog ? *shownInLog : apdu).c_str()));
    if (failure_) {
        logDebug("APDU non envoyé : la transmission précédente a échoué");
        return response;
    }
    try {
        // An answer shorter than a status word keeps the "no answer" status word.
        if (std::optional<CardResponse> answer = splitAnswer(card_.transmit(apdu))) {
            response.sw = answer->sw;
            response.data = answer->data;
        }
    } catch (const TransportError& e) {
        logError(format("Echec de transmission : %s", e.what()));
        failure_ = e;
    }
    logDebug(format("SW : 0x%04X", response.sw));
    logDebug(format("Reponse : %s", toHex(hideAnswer ? Bytes(response.data.size(), 0xFF) : response.data).c_str()));
    return response;
}

Scard::Scard(CardReaders& readers, ServiceAbsenceLog& serviceLog) : readers_(readers), serviceLog_(serviceLog) {}

bool Scard::isServiceMissing() const { return serviceLog_.isMissing(); }

const Bytes& Scard::irvApplicationId() {
    static const Bytes aid{0x56, 0x52, 0x49};
    return aid;
}

Bytes Scard::desfireCommand(std::uint8_t ins, const Bytes& data) {
    Bytes apdu{0x90, ins, 0x00, 0x00, static_cast<std::uint8_t>(data.size())};
    apdu.insert(apdu.end(), data.begin(), data.end());
    apdu.push_back(0x00);
    return apdu;
}

void Scard::selectDesfireCard(ScardExchange& card) {
    card.transmit({0x00, 0xA4, 0x04, 0x00, 0x05, 0xD2, 0x76, 0x00, 0x00, 0x85});
    card.transmit(desfireCommand(0x5A, {0x00, 0x00, 0x00}));
}

ScanResult Scard::scan() {
    ScanResult result;
    std::vector<std::string> names;
    try {
        names = readers_.readerNames();
        serviceLog_.serviceAvailable();
    } catch (const TransportError& e) {
        if (e.kind() == TransportError::Kind::noService)
            serviceLog_.serviceMissing(e.what());
        else
            logError(format("Scard scan : %s", e.what()));
        return result;
    }
    for (const auto& name : names) {
        std::optional<Bytes> atr;
        try {
            atr = readers_.cardAtr(name);
        } catch (const TransportError& e) {
            logDebug(format("Scard scan : lecteur [%s] ignoré : %s", name.c_str(), e.what()));
            continue;
        }
        if (!atr) continue;
        const std::string text = toHex(*atr);
        if (text == kQel4ContactAtr || text == kQel4ContactlessAtr)
            result.readers.push_back(ReaderInfo{name, text == kQel4ContactlessAtr});
    }
    result.found = !result.readers.empty();
    return result;
}

std::uint32_t scardCode(const ScardStatus& status) {
    if (!status) return scard::kOk;
    if (status->fromTransport()) return scard::kUnreachable;
    if (status->kind() == CardError::Kind::corruptedData) return scard::kAuthMismatch;
    if (status->statusWord() == sw::desfireAuthenticationError) return scard::kAuthRefused;
    return scard::kStepFailed;
}

ScardStatus Scard::withCard(const std::string& readerName, const std::function<ScardStatus(ScardExchange&)>& operation,
                            bool presentsPin) {
    currentCard_.reset();
    try {
        currentCard_ = readers_.waitForCard(readerName, slotWait_);
        serviceLog_.serviceAvailable();
    } catch (const TransportError& e) {
        if (e.kind() == TransportError::Kind::noService)
            serviceLog_.serviceMissing(e.what());
        else
            logError(format("Scard : lecteur [%s] inaccessible : %s", readerName.c_str(), e.what()));
        return e;
    }
    if (!currentCard_) {
        logError(format("Scard : pas de carte accessible dans le lecteur [%s]", readerName.c_str()));
        return TransportError(TransportError::Kind::timeout, 0, "no card answered in time");
    }
    struct ResetAfterPin {
        SmartCard& card;
        bool active;
        ~ResetAfterPin() {
            if (!active) return;
            try {
                card.resetSecurityState();
            } catch (const TransportError&) {
                // A card that is gone has forgotten the PIN as well.
            }
        }
    } resetAfterPin{*currentCard_, presentsPin};
    try {
        CardSession session(*currentCard_);
        ScardExchange exchange(*currentCard_);
        ScardStatus result = operation(exchange);
        if (exchange.failure()) {
            logError(format("Scard : carte perdue dans le lecteur [%s] : %s", readerName.c_str(),
                            exchange.failure()->what()));
            return *exchange.failure();
        }
        return result;
    } catch (const TransportError& e) {
        logError(format("Scard : session impossible sur [%s] : %s", readerName.c_str(), e.what()));
        return e;
    }
}

std::pair<ScardStatus, bool> Scard::isIRVDesfirePresent(const std::string& readerName) {
    logDebug("Enter : isIRVDesfirePresent");
    bool present = false;
    ScardStatus rv = withCard(readerName, [&](ScardExchange& card) -> ScardStatus {
        selectDesfireCard(card);
        present = card.transmit(desfireCommand(0x5A, irvApplicationId())).sw == sw::desfireSuccess;
        return std::nullopt;
    });
    return {rv, present};
}

}  // namespace qel
