#include "app/tmaj_backend.h"

#include "common/hex.h"
#include "common/logger.h"
#include "issuerlib/pkcs11_card.h"
#include "issuerlib/pkcs11_library.h"
#include "platform/pcsc/pcsc_api.h"
#include "update/tmaj_service.h"
#include "update/update_card.h"

namespace qel {

ServiceTmajBackend::ServiceTmajBackend(TmajManager& manager, TmajService& service)
    : ServiceTmajBackend(manager, service, pcsc::systemPcscApi()) {}

ServiceTmajBackend::ServiceTmajBackend(TmajManager& manager, TmajService& service, std::shared_ptr<pcsc::PcscApi> pcsc)
    : manager_(manager), service_(service), pcsc_(std::move(pcsc)) {}

TmajCheck ServiceTmajBackend::checkTmaj(const std::string& serial) { return manager_.check(serial); }

ApduResult ServiceTmajBackend::performUpdate(Pkcs11Card& card, const std::function<void(int)>& progress,
                                             std::stop_token stop) {
    const std::string reader = card.library().readerOfSlot(card.slotID);
    std::unique_ptr<HeldUpdateCard> held = reader.empty() ? nullptr : HeldUpdateCard::hold(pcsc_, reader, card.serial);
    ApduResult outcome;
    if (!held) {
        logWarning("Télémise à jour par la bibliothèque PKCS#11 sans réservation de la carte");
        Pkcs11UpdateCard passThrough(card);
        outcome = service_.performUpdate(passThrough, progress, stop);
    } else {
        outcome = service_.performUpdate(*held, progress, stop);
        endSession(*held, card, outcome, stop.stop_requested());
    }
    // The session's cookie belongs to this card's session: it never goes out with a later card's.
    manager_.clearCookies();
    return outcome;
}

void ServiceTmajBackend::endSession(HeldUpdateCard& held, Pkcs11Card& card, const ApduResult&, bool cancelled) {
    // A session stopped half-way leaves the card with the PIN verified and the script's secure
    // channel open: reset it as the hold ends, before another program can send anything.
    const bool resetCard = cancelled;
    held.release(resetCard);
    // The library learns that the card's files may have changed from what crosses its pass-through;
    // the session's commands went round it, so one harmless selection tells it to read them again.
    Pkcs11UpdateCard(card).transmit(*fromHex("00A4000C023F00"), false);
}

void BackgroundUpdateCheck::checkAvailability(const std::string& serial, std::function<void(int)> done) {
    background_.post([this, serial, done = std::move(done)] {
        const int status = backend_.checkTmaj(serial).status;
        mainQueue_.post([done, status] { done(status); });
    });
}

}  // namespace qel
