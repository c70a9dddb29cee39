#include <chrono>

#include "common/format.h"
#include "common/logger.h"
#include "platform/pcsc/pcsc_api.h"
#include "platform/pcsc/pcsc_context.h"
#include "platform/pcsc/pcsc_error.h"
#include "update/update_card.h"

namespace qel {

namespace {
constexpr DWORD kProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
}

struct HeldUpdateCard::Connection {
    std::shared_ptr<pcsc::PcscContext> context;
    pcsc::PcscCardHandle handle;
    DWORD protocol = 0;
    std::string reader;
    bool inTransaction = false;
};

HeldUpdateCard::HeldUpdateCard(std::unique_ptr<Connection> connection, std::string tokenSerial)
    : connection_(std::move(connection)), tokenSerial_(std::move(tokenSerial)) {}

HeldUpdateCard::~HeldUpdateCard() { release(false); }

std::unique_ptr<HeldUpdateCard> HeldUpdateCard::hold(std::shared_ptr<pcsc::PcscApi> api, const std::string& reader,
                                                     std::string tokenSerial, std::string* error) {
    auto fail = [&](const std::string& why) -> std::unique_ptr<HeldUpdateCard> {
        logError("Réservation de la carte pour la télémise à jour impossible : " + why);
        if (error) *error = why;
        return nullptr;
    };
    auto connection = std::make_unique<Connection>();
    connection->reader = reader;
    try {
        connection->context = std::make_shared<pcsc::PcscContext>(std::move(api));
    } catch (const TransportError& e) {
        return fail(e.what());
    }
    pcsc::PcscApi& pcsc = connection->context->api();
    SCARDHANDLE handle = 0;
    LONG rv = pcsc.connect(connection->context->handle(), reader, SCARD_SHARE_SHARED, kProtocols, &handle,
                           &connection->protocol);
    if (rv != SCARD_S_SUCCESS) return fail(pcsc::pcscTransportError(rv, "SCardConnect").what());
    connection->handle = pcsc::PcscCardHandle(connection->context, handle);
    // pcsc-lite makes this wait while another connection holds the card: another program's signature
    // finishes first, then everyone else waits for the update.
    const auto asked = std::chrono::steady_clock::now();
    rv = pcsc.beginTransaction(handle);
    if (rv != SCARD_S_SUCCESS) return fail(pcsc::pcscTransportError(rv, "SCardBeginTransaction").what());
    connection->inTransaction = true;
    const auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked).count();
    logInfo(format("Carte du lecteur [%s] réservée pour la télémise à jour (attente %lld ms)", reader.c_str(),
                   static_cast<long long>(waited)));
    std::unique_ptr<HeldUpdateCard> held(new HeldUpdateCard(std::move(connection), std::move(tokenSerial)));
    held->waitedMs_ = static_cast<long long>(waited);
    return held;
}

std::optional<Bytes> HeldUpdateCard::transmit(const Bytes& apdu, bool) {
    if (!connection_ || !connection_->inTransaction) return std::nullopt;
    Bytes response;
    const LONG rv =
        connection_->handle.api().transmit(connection_->handle.get(), connection_->protocol, apdu, response);
    if (rv != SCARD_S_SUCCESS || response.size() < 2) {
        // Never re-established here: a card reset or pulled mid-session has lost what the script
        // built, and only the service can start it again.
        logError(pcsc::pcscTransportError(rv, "SCardTransmit").what());
        return std::nullopt;
    }
    return response;
}

void HeldUpdateCard::release(bool resetCard) {
    if (!connection_) return;
    std::unique_ptr<Connection> connection = std::move(connection_);
    pcsc::PcscApi& pcsc = connection->handle.api();
    if (connection->inTransaction) {
        const LONG rv = pcsc.endTransaction(connection->handle.get(), resetCard ? SCARD_RESET_CARD : SCARD_LEAVE_CARD);
        if (rv != SCARD_S_SUCCESS)
            logWarning(std::string(pcsc::pcscTransportError(rv, "SCardEndTransaction").what()));
        else if (resetCard)
            logInfo("Carte réinitialisée à la fin de la télémise à jour");
    }
    logInfo(format("Carte du lecteur [%s] libérée", connection->reader.c_str()));
}

}  // namespace qel
