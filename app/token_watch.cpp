#include "app/token_watch.h"

#include "management/scard/card_readers.h"
#include "card/qel_card.h"
#include "common/format.h"
#include "common/logger.h"
#include "platform/pcsc/token_watcher.h"

namespace qel {

PcscTokenWatch::PcscTokenWatch(pcsc::TokenWatcher& watcher, ServiceAbsenceLog& serviceLog) : watcher_(watcher) {
    watcher_.setServiceHandler([&serviceLog](pcsc::TokenWatcher::ServiceState state) {
        if (state == pcsc::TokenWatcher::ServiceState::available)
            serviceLog.serviceAvailable();
        else
            serviceLog.serviceMissing("le service ne répond pas");
    });
}

void PcscTokenWatch::setInsertionHandler(Handler handler) { watcher_.setInsertionHandler(std::move(handler)); }

void PcscTokenWatch::addRemovalHandler(Handler handler, const std::string& tokenID) {
    watcher_.addRemovalHandler(std::move(handler), tokenID);
}

std::optional<TokenReader> findReaderOfToken(CardReaders& readers, const std::string& tokenID) {
    std::vector<std::string> names;
    try {
        names = readers.readerNames();
    } catch (const TransportError& e) {
        logError(format("onTokenInserted : lecteurs inaccessibles : %s", e.what()));
        return std::nullopt;
    }
    for (const auto& name : names) {
        try {
            auto card = readers.waitForCard(name, std::chrono::milliseconds(0));
            if (!card) continue;
            std::optional<std::string> serial;
            {
                CardSession session(*card);
                serial = readQelSerial(*card);
            }
            if (serial && tokenID.find(*serial) != std::string::npos) return TokenReader{name, *serial};
        } catch (const TransportError& e) {
            logDebug(format("onTokenInserted : lecteur [%s] ignoré : %s", name.c_str(), e.what()));
        }
    }
    return std::nullopt;
}

}  // namespace qel
