#include "agent/app_delegate.h"

#include <array>
#include <random>

#include "common/format.h"
#include "common/logger.h"
#include "issuerlib/pkcs11_card.h"
#include "issuerlib/pkcs11_library.h"
#include "issuerlib/pkcs11_slot.h"

namespace qel::agent {

namespace {

// A random (version 4) UUID in its usual text form.
std::string freshUuid() {
    std::random_device random;
    std::array<unsigned char, 16> b{};
    for (auto& byte : b) byte = static_cast<unsigned char>(random() & 0xFF);
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
    return format("%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1], b[2], b[3], b[4],
                  b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
}

}  // namespace

bool tokenNamesCard(const std::string& tokenID, const std::string& cardNumber) {
    // The whole instance identifier, not a part of it: "8025000001" followed by one card number
    // holds other ten-digit numbers across its joint (…0000012345678901 holds 1234567890), and an
    // unread (empty) number is part of every text.
    if (cardNumber.empty()) return false;
    const std::string instance = tokenID.substr(tokenID.rfind(':') + 1);
    return instance == kCardFullNumberPrefix + cardNumber;
}

std::string updateNotificationBody(const std::string& serial) {
    return "Une mise à jour pour la QEL n°" + serial + " est disponible";
}

AppDelegate::AppDelegate(AgentServices services) : services_(std::move(services)) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
    if (services_.notifications.requestAuthorization())
        logError("Erreur lors de la demande d'autorisation de notification");

    const bool launcherRuns = services_.launcher.isRunning(kLauncherIdentifier);
    if (!services_.loginItems.setEnabled(kLauncherIdentifier, true))
        logError(format("Impossible d'inscrire %s au démarrage de session", kLauncherIdentifier));
    if (launcherRuns) services_.distributed.post(kKillLauncher, kAgentIdentifier);

    hasTray_ = services_.statusItem.show();
    if (!hasTray_) logInfo("Pas de zone de notification : Vigilo prévient par notifications seulement");
}

void AppDelegate::onTokenInserted(const std::string& tokenID) {
    if (tokenID.find(kProductPrefix) == std::string::npos) return;
    services_.mainQueue.postAfter(kScanDelayMs, [this, tokenID] { scanCard(tokenID); });
}

void AppDelegate::scanCard(const std::string& tokenID) {
    Pkcs11Library& library = services_.library;
    CK_RV rv = library.initialize();
    logDebug(format("C_Initialize: %d", static_cast<int>(rv)));

    p11SlotDict.clear();
    std::vector<CK_SLOT_ID> ids;
    rv = library.getSlotList(ids);
    logDebug(format("C_GetSlotList: %d", static_cast<int>(rv)));
    logDebug(format("C_GetSlotList a trouvé %d slots", static_cast<int>(ids.size())));
    if (ids.empty()) logWarning("Pas de lecteur vu par la librairie PKCS11");
    for (CK_SLOT_ID id : ids) p11SlotDict.push_back(std::make_unique<Pkcs11Slot>(library, id));

    for (auto& slot : p11SlotDict) {
        slot->refreshSlot();
        if (!slot->cardPresent) continue;
        std::string serial;
        {
            // The card's session closes here, before the check blocks on the network.
            Pkcs11Card card(library, slot->slotId);
            const bool considered =
                card.contactQEL && card.label.rfind("QEL4", 0) != 0 && tokenNamesCard(tokenID, card.cardNumber);
            if (!considered || card.serial.empty()) continue;
            serial = card.serial;
        }
        if (services_.checkTmaj(serial) == 1) postUpdateNotification(serial);
    }

    rv = library.finalize();
    if (rv != CKR_OK) logError(format("Erreur dans C_Finalize: %d", static_cast<int>(rv)));
    logDebug(format("Examen des cartes terminé pour %s", tokenID.c_str()));
}

void AppDelegate::postUpdateNotification(const std::string& serial) {
    NotificationContent content;
    content.identifier = freshUuid();
    content.replacesKey = serial;
    content.title = kNotificationTitle;
    content.body = updateNotificationBody(serial);
    content.categoryIdentifier = kNotificationCategory;
    const bool withButton = services_.notifications.supportsActions();
    if (withButton) content.actions.push_back({kLaunchAction, kLaunchActionTitle});
    services_.notifications.add(content);
    // Without a button on the notice, the menu is the only way from the notice to the application.
    if (!withButton && hasTray_) services_.statusItem.showUpdateEntry(content.body);
}

void AppDelegate::didReceiveResponse(const std::string& actionIdentifier) {
    if (actionIdentifier == kLaunchAction) launchApplication();
}

void AppDelegate::onLaunchQELG() { launchApplication(); }

void AppDelegate::launchApplication() {
    if (!services_.launcher.launch(kApplicationIdentifier))
        logDebug(format("Application %s introuvable", kApplicationIdentifier));
}

}  // namespace qel::agent
