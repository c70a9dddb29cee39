#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "card/algorithms.h"
#include "card/card_directory.h"
#include "card/card_file.h"
#include "card/qel_ops.h"
#include "card/qel_type.h"
#include "card/sec_params.h"
#include "card/smart_card.h"
#include "card/card_error.h"
#include "common/bytes.h"

namespace qel {

/// Generation and class byte of a recognised ATR; nothing for any other ATR (compared whole).
struct RecognisedAtr {
    QELType type;
    std::uint8_t cla;
};
std::optional<RecognisedAtr> recogniseAtr(const Bytes& atr);

/// A recognised QEL card with its command layer and file table. Built inside an open card session;
/// the card object is not owned and must outlive this object (or be replaced with setSmartCard).
/// One caller at a time.
class QELCard {
public:
    /// Recognises the ATR (CardError(−8) for an unknown one, before any command), sets the card
    /// object's class byte, configures the file table and, on a QEL4, selects the issuer application
    /// by name (CardError(−2) when refused or on a transport error).
    QELCard(SmartCard& card, const Bytes& atr);

    /// Makes `card` the object every following command goes through; on a QEL4 its class byte is set
    /// to 01 first. The token session calls this before each operation with its own card object.
    void setSmartCard(SmartCard& card);

    QELType type() const { return type_; }
    const QELFiles& qelFiles() const { return qelFiles_; }
    QELOps& ops() { return ops_; }
    const std::optional<std::string>& cardSerial() const { return cardSerial_; }

    /// The serial file's first element's content in upper-case hexadecimal ("01A2FF"), kept in
    /// cardSerial. The empty text when the file cannot be read or holds no complete element; a
    /// transport failure is logged and also gives the empty text.
    std::string readSerial();

    /// Makes the file cache follow the card: the first bytes of each cached certificate (its
    /// header and serial number) are read from the card and compared with the cached copy. A
    /// difference, or a certificate the card no longer has, removes the card's whole cache, the
    /// directories with it, so that a renewed or re-issued card under the same serial is read anew.
    /// Two commands per cached certificate; nothing without a serial or a cache. Returns true when
    /// the cache was dropped. Transport errors are passed on as CardError(−2).
    bool dropStaleCache();

    /// The private-key directory (through the cache when a serial was read). Empty when it cannot be
    /// read ("Faid to load private keys info"); unusable entries are skipped.
    std::vector<QELKeyAttribute> readKeyAttributes();
    /// The certificate directory, likewise ("Faid to load certs info").
    std::vector<QELCertificate> readCertificates();
    /// The content of the authentication certificate when its file matches `path`, else of the
    /// signature certificate; nothing when it cannot be read ("Faid to load cert data").
    std::optional<Bytes> readCertificateData(const Bytes& path);

    /// The PIN state check before asking for a PIN: on a QEL3 selects the master file and reads the PIN
    /// status object; on the others asks VERIFY for the tries left. CardError(−2) when blocked, or
    /// CardError::transportFailure on a transport error of the selection; other transport errors
    /// are passed on.
    void checkPin();
    /// Whether the card holds a verified PIN now (an application sharing the card verified it). On
    /// a QEL3 the master file is selected first. Transport errors passed on.
    bool pinVerified();
    /// VERIFY with the PIN text's bytes (FF FF FF FF appended on a QEL3). CardError(−2) carrying the
    /// card's status word when refused;
    /// transport errors passed on. The PIN bytes are wiped after use and never logged.
    void verifyPin(std::string_view pin);

    /// Signs a digest with `key`. CardError(−8) before any command when the key does not accept
    /// `algorithm`; otherwise the errors of the security environment and signature commands.
    Bytes signData(const Bytes& input, const KeyAlgorithm& algorithm, const CardKey& key);
    /// Deciphers a cryptogram with `key`; same error rules as signData.
    Bytes decryptData(const Bytes& input, const KeyAlgorithm& algorithm, const CardKey& key);

private:
    std::optional<Bytes> readFile(const CardFile& file, const char* failureLog);
    SecParams secParams(KeyOp op, const KeyAlgorithm& algorithm, const CardKey& key) const;

    QELType type_ = QELType::UNKNOWN;
    QELFiles qelFiles_;
    QELOps ops_;
    std::optional<std::string> cardSerial_;
    bool bypassCache_ = false;  ///< the cache is stale and could not be dropped
};

/// The serial of a QEL card (the serial file's first element in hexadecimal), read inside the
/// caller's session; nothing for a card that is not a QEL card or cannot be read. This is what the
/// token watcher and the token driver put after the identifier prefix.
std::optional<std::string> readQelSerial(SmartCard& card);

}  // namespace qel
