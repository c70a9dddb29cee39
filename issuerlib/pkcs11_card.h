#pragma once
#include <p11-kit/pkcs11.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "issuerlib/holder_infos.h"
#include "issuerlib/pkcs11_error.h"
#include "issuerlib/pkcs11_x509.h"
#include "issuerlib/situ_factu_infos.h"

namespace qel {

class Pkcs11Library;

/// Prefix of `cardFullNumber`.
inline constexpr const char* kCardFullNumberPrefix = "8025000001";

/// The card in one slot: its session, identity texts and certificates, and every card operation of
/// the application. Operations return the library's CK_RV unless stated, never throw except
/// `getSessionInfo`, and log each failure. PINs and PUKs are passed through to the library for the
/// duration of the call only: never logged, never stored, and the binding's copies are wiped.
///
/// The library must outlive the card. One caller at a time (main thread; the update session uses
/// `transmit` from its own thread while the main thread waits).
class Pkcs11Card {
public:
    /// Opens a read-only session, checks for the identity object unless `skipContactTest` (its
    /// absence marks a contactless card), then reads the token information and derives `label`,
    /// `manufacturer`, `model`, `cardNumber`, `cardFullNumber` and, for a contact card, `serial`.
    /// When `C_GetTokenInfo` fails the texts stay empty.
    Pkcs11Card(Pkcs11Library& library, CK_SLOT_ID slotId, bool skipContactTest = false);

    /// Ends this program's login as `logout` does, then closes the session if it is still open and
    /// belongs to the library's current initialisation.
    ~Pkcs11Card();

    Pkcs11Card(const Pkcs11Card&) = delete;
    Pkcs11Card& operator=(const Pkcs11Card&) = delete;

    /// Opens a session on `slotID` (read-write when asked) and stores its handle in `session`
    /// (0 on failure).
    CK_RV openSession(bool readWrite);

    /// `C_CloseSession` on `session`, then `session` = 0 whatever the result. A handle from before the
    /// library's last re-initialisation is forgotten without a call (it may name someone else's
    /// session now).
    CK_RV closeSession();

    /// The state of `session`; nothing (the failure logged) when the library refuses, when there is
    /// no session or when the handle predates the library's re-initialisation.
    std::optional<CK_SESSION_INFO> getSessionInfo();

    /// True when the session answers and its state is CKS_RO_USER_FUNCTIONS or CKS_RW_USER_FUNCTIONS.
    bool isUserLoggedIn();

    /// Re-reads `tokenInfo` (the lock flags live there).
    CK_RV refreshTokenInfo();

    /// Logs in with a PIN (exactly 4 characters, CKU_USER) or, with `securityOfficer`, a PUK (exactly
    /// 8 characters, CKU_SO). Another length returns CKR_PIN_LEN_RANGE without a library call. Returns
    /// `C_Login`'s result: CKR_OK or CKR_USER_ALREADY_LOGGED_IN logged in; CKR_PIN_INCORRECT or
    /// CKR_PIN_LOCKED wrong code.
    CK_RV login(std::string_view code, bool securityOfficer);

    /// Ends the login: `C_Logout`, then, when this object logged in, a reset of the card in its
    /// reader, because a logout alone leaves the card verified for every program that talks to it
    /// next. No reset when the library says the login was already gone (another program's reset
    /// ended it, and that program may have logged in since) or the card left the reader. Returns
    /// `C_Logout`'s result (CKR_SESSION_HANDLE_INVALID without a current session).
    CK_RV logout();
    /// True between this object's successful login and its logout.
    bool ownsLogin() const { return ownsLogin_; }

    /// `C_SetPIN` on `session` when a user is logged in, else 5 without a library call. Two empty codes
    /// on a token with a protected authentication path change the PIN on the reader's keypad, where
    /// the holder types the current PIN too: no login needed. A module that
    /// refuses a read-only session (CKR_SESSION_READ_ONLY) gets the call again on a read-write session
    /// opened for it alone.
    CK_RV changePin(std::string_view oldPin, std::string_view newPin);

    /// Unblocks the PIN with the PUK on a fresh read-write session (`C_Login` as SO, `C_InitPIN`,
    /// `C_Logout`), then leaves a fresh read-only session. Returns the SO login's failure (CKR_PIN_INCORRECT
    /// for a wrong PUK; the session is then read-only with nobody logged in) or the `C_InitPIN` result; on
    /// success the user is logged in with the new PIN. Two empty codes on a token with a protected
    /// authentication path have the holder type the PUK and the new PIN on the keypad (`C_Login` and
    /// `C_InitPIN` with no code; a wrong PUK comes from `C_InitPIN` then), and leave nobody logged in.
    CK_RV unlockPin(std::string_view puk, std::string_view newPin);

    /// The holder's identity: from the public data objects on a contact card, from the technical
    /// certificate on a contactless one. Always returns a record, filled as far as the card allowed.
    HolderInfos getHolderInfos();

    /// The practice situations (private objects: log in first), with their billing data. Possibly
    /// empty.
    SituFactuInfos getSituations();

    /// Fills `x509Certs` with the card's certificates (objects lacking a value, an identifier or an
    /// ASCII label are skipped).
    void loadCertificates();

    /// Signs `data` with the private key of the signature certificate and verifies the signature
    /// with the matching public key. Returns 0 when the signature verifies, else the failing call's
    /// result (CKR_GENERAL_ERROR without a signature certificate, CKR_KEY_HANDLE_INVALID without a
    /// key). The caller logs in first.
    CK_RV signatureSelfTest(const Bytes& data, CK_MECHANISM_TYPE mechanism = CKM_SHA256_RSA_PKCS);

    /// The chip serial read with three raw APDUs: (bytes 3 to 11, bytes 7 to 11) of the answer as
    /// upper-case hexadecimal, or two empty texts when the answer is missing or shorter than 12 bytes.
    std::pair<std::string, std::string> readChipSerial();

    /// One raw APDU through the library's pass-through (512-byte response buffer). The answer's data
    /// followed by SW1 SW2, or nothing when the call fails or the library has no pass-through.
    std::optional<Bytes> transmit(const Bytes& apdu, bool flag);

    /// The value of the first token data object of `objectClass` with `objectLabel` and the private flag.
    std::optional<Bytes> findDataObject(CK_OBJECT_CLASS objectClass, const std::string& objectLabel, bool isPrivate);

    /// The first object of `objectClass` whose CKA_ID is `id`.
    std::optional<CK_OBJECT_HANDLE> findObjectById(CK_OBJECT_CLASS objectClass, const Bytes& id);

    /// One attribute's value (length first, then the bytes), or nothing when either call fails.
    std::optional<Bytes> getAttributeValue(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);

    /// Keeps the session when it answers `C_GetSessionInfo`, else opens a new read-only one.
    void ensureSession();

    /// Closes the session when it answers `C_GetSessionInfo`; `session` = 0 in every case.
    void dropSession();

    Pkcs11Library& library() { return library_; }

    CK_TOKEN_INFO tokenInfo{};
    std::string label;
    std::string manufacturer;
    std::string model;
    /// The card serial shown to the user; empty for a contactless card.
    std::string serial;
    bool contactQEL = true;
    CK_SLOT_ID slotID;
    /// 0 when no session is open.
    CK_SESSION_HANDLE session = 0;
    /// "8025000001" + `cardNumber`; the main window overwrites it for a contactless card.
    std::string cardFullNumber;
    /// The token serial number without its last character.
    std::string cardNumber;
    /// Absent until first loaded.
    std::optional<std::vector<std::shared_ptr<Pkcs11X509>>> x509Certs;

private:
    bool sessionIsCurrent() const;
    std::vector<CK_OBJECT_HANDLE> findObjects(std::vector<CK_ATTRIBUTE>& attributes, CK_ULONG maxCount);
    HolderInfos holderInfosFromCertificate();

    Pkcs11Library& library_;
    unsigned sessionGeneration_ = 0;
    bool ownsLogin_ = false;
    /// The reader of the slot, read at login for the reset at its end.
    std::string readerName_;
};

}  // namespace qel
