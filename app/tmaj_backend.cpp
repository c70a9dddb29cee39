#include "app/tmaj_backend.h"

#include "pkcs11/pkcs11_card.h"
#include "update/tmaj_manager.h"
#include "update/tmaj_service.h"

namespace qel {

int ServiceTmajBackend::checkTmaj(const std::string& serial) { return manager_.checkTmaj(serial); }

ApduResult ServiceTmajBackend::performUpdate(Pkcs11Card& card, const std::function<void(int)>& progress) {
    Pkcs11UpdateCard updateCard(card);
    return service_.performUpdate(updateCard, progress);
}

void BackgroundUpdateCheck::checkAvailability(const std::string& serial, std::function<void(int)> done) {
    background_.post([this, serial, done = std::move(done)] {
        const int status = backend_.checkTmaj(serial);
        mainQueue_.post([done, status] { done(status); });
    });
}

}  // namespace qel
