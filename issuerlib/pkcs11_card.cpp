#include "issuerlib/pkcs11_card.h"

#include "common/format.h"
#include "common/hex.h"
#include "common/logger.h"
#include "issuerlib/pkcs11_error.h"
#include "issuerlib/pkcs11_library.h"
#include "issuerlib/token_text.h"

namespace qel {
namespace {

constexpr std::size_t kPinLength = 4;
constexpr std::size_t kPukLength = 8;
constexpr std::size_t kResponseCapacity = 512;

// PINs are counted in characters, not bytes.
std::size_t characterCount(std::string_view text) {
    std::size_t count = 0;
    for (unsigned char c : text) {
        if ((c & 0xC0) != 0x80) ++count;
    }
    return count;
}

}  // namespace

Pkcs11Card::Pkcs11Card(Pkcs11Library& library, CK_SLOT_ID slotId, bool skipContactTest)
    : slotID(slotId), library_(library) {
    openSession(false);
    if (!skipContactTest && !findDataObject(CKO_DATA, "QEL_ID_CARD", false)) {
        // The contactless interface answers the library but carries no identity object.
        logInfo("QEL sans contact détectée");
        contactQEL = false;
    }
    CK_RV rv = library_.getTokenInfo(slotID, tokenInfo);
    if (rv != CKR_OK) {
        logError(format("Erreur dans C_GetTokenInfo: résultat = %lu", rv));
        return;
    }
    label = decodePaddedText(tokenInfo.label);
    logDebug("Token info label : " + label);
    manufacturer = decodePaddedText(tokenInfo.manufacturerID);
    logDebug("Token info manufacturer : " + manufacturer);
    model = decodePaddedText(tokenInfo.model);
    logDebug("Token info model : " + model);
    cardNumber = cardNumberFromTokenSerial(decodePaddedText(tokenInfo.serialNumber));
    cardFullNumber = kCardFullNumberPrefix + cardNumber;
    if (contactQEL) {
        serial = serialFromTokenLabel(label);
        logDebug("Token info Serial : " + serial);
    }
}

Pkcs11Card::~Pkcs11Card() {
    // Whatever way the card object goes (a failure, the program's end), the PIN it verified goes too.
    if (ownsLogin_) logout();
    if (sessionIsCurrent() && library_.isInitialized()) library_.closeSession(session);
}

CK_RV Pkcs11Card::logout() {
    CK_RV rv = CKR_SESSION_HANDLE_INVALID;
    if (sessionIsCurrent() && library_.isInitialized()) rv = library_.logout(session);
    bool cardForgotAlready = rv == CKR_USER_NOT_LOGGED_IN || rv == CKR_DEVICE_REMOVED || rv == CKR_TOKEN_NOT_PRESENT;
    if (rv != CKR_OK && !cardForgotAlready && rv != CKR_SESSION_HANDLE_INVALID)
        logError(format("Erreur dans C_Logout: résultat = %lu", rv));
    if (ownsLogin_) {
        ownsLogin_ = false;
        if (!cardForgotAlready) library_.resetCard(readerName_);
    }
    return rv;
}

bool Pkcs11Card::sessionIsCurrent() const { return session != 0 && sessionGeneration_ == library_.generation(); }

CK_RV Pkcs11Card::openSession(bool readWrite) {
    CK_FLAGS flags = readWrite ? (CKF_SERIAL_SESSION | CKF_RW_SESSION) : CKF_SERIAL_SESSION;
    CK_RV rv = library_.openSession(slotID, flags, session);
    if (rv != CKR_OK) logError(format("Erreur dans C_OpenSession: résultat = %lu", rv));
    sessionGeneration_ = library_.generation();
    return rv;
}

CK_RV Pkcs11Card::closeSession() {
    CK_RV rv = CKR_SESSION_HANDLE_INVALID;
    if (sessionIsCurrent()) {
        rv = library_.closeSession(session);
        logDebug(format("C_CloseSession: %lu", rv));
    }
    session = 0;
    return rv;
}

std::optional<CK_SESSION_INFO> Pkcs11Card::getSessionInfo() {
    CK_SESSION_INFO info{};
    // A handle from before the library was re-initialised may now name another card's session.
    CK_RV rv = sessionIsCurrent() ? library_.getSessionInfo(session, info) : CKR_SESSION_HANDLE_INVALID;
    if (rv != CKR_OK) {
        logError(format("Erreur dans C_GetSessionInfo: résultat = %lu", rv));
        return std::nullopt;
    }
    logDebug("C_GetSessionInfo:");
    logDebug(format("Slot id %lu - State: %lu", info.slotID, info.state));
    logDebug(format("Slot id %lu - Flags: %lu", info.slotID, info.flags));
    return info;
}

bool Pkcs11Card::isUserLoggedIn() {
    if (session == 0) return false;
    const std::optional<CK_SESSION_INFO> info = getSessionInfo();
    return info && (info->state == CKS_RO_USER_FUNCTIONS || info->state == CKS_RW_USER_FUNCTIONS);
}

void Pkcs11Card::ensureSession() {
    if (session != 0 && getSessionInfo()) return;
    session = 0;
    openSession(false);
}

void Pkcs11Card::dropSession() {
    if (session != 0 && getSessionInfo()) closeSession();
    session = 0;
}

CK_RV Pkcs11Card::refreshTokenInfo() {
    CK_TOKEN_INFO info{};
    CK_RV rv = library_.getTokenInfo(slotID, info);
    if (rv != CKR_OK) {
        logError(format("Erreur dans C_GetTokenInfo: résultat = %lu", rv));
        return rv;
    }
    tokenInfo = info;
    return rv;
}

CK_RV Pkcs11Card::login(std::string_view code, bool securityOfficer) {
    // No code for a token whose reader has a keypad: the library has the holder type it there.
    const bool keypad =
        code.empty() && refreshTokenInfo() == CKR_OK && (tokenInfo.flags & CKF_PROTECTED_AUTHENTICATION_PATH);
    if (!keypad && characterCount(code) != (securityOfficer ? kPukLength : kPinLength)) return CKR_PIN_LEN_RANGE;
    CK_RV rv = library_.login(session, securityOfficer ? CKU_SO : CKU_USER, code);
    if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) {
        logSuccess("Utilisateur authentifié !");
        ownsLogin_ = true;
        if (readerName_.empty()) readerName_ = library_.readerOfSlot(slotID);
    } else if (rv == CKR_PIN_INCORRECT || rv == CKR_PIN_LOCKED) {
        // The unlock names the wrong PUK itself; calling it a wrong PIN would mislead support.
        if (!securityOfficer) logError("Mauvais code PIN !");
    } else {
        logError(format("Erreur dans C_Login: résultat = %lu", rv));
    }
    return rv;
}

CK_RV Pkcs11Card::changePin(std::string_view oldPin, std::string_view newPin) {
    // On a keypad the reader sends the current PIN with the new one, so no login comes first.
    const bool keypad = oldPin.empty() && newPin.empty() && refreshTokenInfo() == CKR_OK &&
                        (tokenInfo.flags & CKF_PROTECTED_AUTHENTICATION_PATH);
    if (!keypad && !isUserLoggedIn()) {
        logError("Tentative de modification du code PIN par un utilisateur non authentifié !");
        return CKR_GENERAL_ERROR;
    }
    CK_RV rv = library_.setPin(session, oldPin, newPin);
    if (rv == CKR_SESSION_READ_ONLY) {
        // Conforming modules change the PIN only in a read-write session. The login holds for every
        // session of the application, so a short-lived read-write one is enough; closing it leaves
        // the user logged in through `session`.
        CK_SESSION_HANDLE readWrite = 0;
        if (library_.openSession(slotID, CKF_SERIAL_SESSION | CKF_RW_SESSION, readWrite) == CKR_OK) {
            rv = library_.setPin(readWrite, oldPin, newPin);
            library_.closeSession(readWrite);
        }
    }
    if (rv != CKR_OK) {
        logError(format("Erreur dans C_SetPin: résultat = %lu", rv));
    } else {
        logSuccess("Modification du code PIN OK !");
    }
    return rv;
}

CK_RV Pkcs11Card::unlockPin(std::string_view puk, std::string_view newPin) {
    // On a keypad the holder types the PUK and the new PIN there, both sent by C_InitPIN.
    const bool keypad = puk.empty() && newPin.empty() && refreshTokenInfo() == CKR_OK &&
                        (tokenInfo.flags & CKF_PROTECTED_AUTHENTICATION_PATH);
    dropSession();
    openSession(true);
    CK_RV outcome = login(puk, true);
    if (outcome == CKR_PIN_INCORRECT) {
        logError("Mauvais code PUK !");
    } else if (outcome != CKR_OK) {
        logError(format("Erreur dans C_Login: résultat = %lu", outcome));
    } else {
        outcome = library_.initPin(session, newPin);
        if (keypad && outcome == CKR_PIN_INCORRECT) {
            logError("Mauvais code PUK !");
        } else if (outcome != CKR_OK) {
            logError(format("Erreur dans C_InitPin: résultat = %lu", outcome));
        } else {
            logSuccess("Réinitialisation du code PIN OK !");
        }
        CK_RV rv = library_.logout(session);
        if (rv != CKR_OK && rv != CKR_USER_NOT_LOGGED_IN) logError(format("Erreur dans C_Logout: résultat = %lu", rv));
    }
    dropSession();
    openSession(false);
    if (outcome != CKR_OK) return outcome;
    ensureSession();
    // A login on the keypad would be a third entry: the holder logs in when a step needs it.
    if (!keypad) login(newPin, false);
    return CKR_OK;
}

std::optional<Bytes> Pkcs11Card::transmit(const Bytes& apdu, bool flag) {
    Bytes response;
    CK_RV rv = library_.transmitMessage(session, apdu, kResponseCapacity, response, flag);
    logDebug(format("C_TransmitMessage: %lu", rv));
    if (rv != CKR_OK) return std::nullopt;
    return response;
}

std::pair<std::string, std::string> Pkcs11Card::readChipSerial() {
    transmit(*fromHex("00A4000C023F00"), false);
    transmit(*fromHex("00A4000C02D003"), false);
    std::optional<Bytes> answer = transmit(*fromHex("00B000000C"), false);
    std::string text = answer ? toHex(*answer) : std::string();
    if (text.size() < 24) return {};
    return {text.substr(6, 18), text.substr(14, 10)};
}

}  // namespace qel
