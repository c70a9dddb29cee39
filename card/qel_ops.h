#pragma once
#include <cstddef>
#include <cstdint>

#include "card/apdu.h"
#include "card/card_file.h"
#include "card/qel_type.h"
#include "card/sec_params.h"
#include "card/smart_card.h"
#include "card/card_error.h"
#include "common/bytes.h"
#include "common/secret_bytes.h"

namespace qel {

/// Outcome of a SELECT: `ok` when the card answered 9000, and the answer's data.
struct SelectResult {
    bool ok = false;
    Bytes response;
};

/// Outcome of a file read: `ok` with the bytes, or not ok with nothing.
struct ReadResult {
    bool ok = false;
    Bytes data;
};

/// The card's operations in command APDUs over a SmartCard on which a session is already open.
/// The templates are modified in place, so one QELOps (and its card object) serves one caller at a
/// time. The card object is not owned and must outlive its use here.
///
/// Errors: TransportError from the card object is turned into CardError::transportFailure (−2)
/// during selection and reading (after a log line) and passed on unchanged by the key operations and PIN commands, as
/// each operation says. Refusals by the card are CardError codes as documented.
class QELOps {
public:
    /// Switches the card object's command chaining off; for a QEL4 sets its class byte to 01.
    QELOps(SmartCard& card, QELType type);

    /// Replaces the card object (the token session uses its own for each operation). The class byte
    /// and chaining of the new object are left as they are.
    void setSmartCard(SmartCard& card) { smartCard_ = &card; }
    SmartCard& smartCard() const { return *smartCard_; }
    QELType type() const { return type_; }
    ApduOps& apduOps() { return apduOps_; }

    /// Sends one template through SmartCard::send. Transport errors are passed on.
    CardResponse transmit(const Apdu& apdu);

    /// SELECT of the file's full path, by name (selectAID) or by path (select).
    /// Throws CardError(−2) on a transport error.
    SelectResult selectFile(const CardFile& file, bool byName);

    /// SELECT by name of the application file. Throws CardError(−2) when refused or on a transport
    /// error.
    void selectApplication(const CardFile& file);

    /// READ BINARY of `size` bytes from offset 0 (255-byte chunks on a QEL4, 231 otherwise). A status
    /// other than 9000, an empty 9000 answer, or a read that would pass offset 65,535 gives not ok.
    /// Throws CardError(−2) on a transport error.
    ReadResult readBinaryData(std::size_t size);

    /// The file size announced in a SELECT answer: the bytes after the first 0x80 byte (length byte,
    /// then that many big-endian size bytes); without 0x80 the length byte is taken at position 1.
    /// 0 when the bytes it designates lie outside the answer or the size would exceed 2^31−1.
    int fileSizeFromSelectResponse(const Bytes& response);

    /// Selects the key's directory (authEF or signEF; outcome not examined) and sets the security
    /// environment. Throws CardError(−9) on 6982, CardError(−8) on any other refusal, CardError(−2)
    /// on a transport error during the selection; a transport error of the MSE is passed on.
    void manageSecurityEnvironment(const SecParams& params);

    /// INTERNAL AUTHENTICATE (authentication key, not QEL4: DigestInfo prefix + input) or
    /// PSO COMPUTE DIGITAL SIGNATURE (input alone). Throws CardError(−9) on 6982, CardError(status
    /// word) on any other refusal; transport errors passed on.
    Bytes computeSignature(const SecParams& params, const Bytes& input);

    /// PSO DECIPHER (QEL3: 81 + input), with command chaining switched on for good. On a QEL4 the
    /// PKCS#1 padding is removed. Same errors as computeSignature.
    Bytes decipher(const SecParams& params, const Bytes& input);

    /// GET DATA of the PIN status object (QEL3, master file selected). Throws CardError(−2) when the
    /// unblock counter or the PIN counter is 0; anything unreadable passes silently.
    void checkPinStatus();

    /// VERIFY without data (QEL3CL, QEL4): 6983 throws CardError(−2) carrying it; otherwise logs the
    /// tries left.
    void checkPinTries();

    /// VERIFY without data, asked only to learn whether the PIN is verified now (9000). Nothing is
    /// counted on the card. Transport errors passed on.
    bool pinVerified();

    /// VERIFY with the PIN bytes. Any status other than 9000 throws CardError(−2) carrying the
    /// status word. The bytes are wiped from the template afterwards and never logged.
    void verifyPinData(const SecretBytes& pin);

    /// GET CHALLENGE: `length` (1 to 255) random bytes from the card's generator. A card may answer
    /// fewer; the answer is returned as it came. CardError(status word) when refused, transport
    /// errors passed on.
    Bytes getChallenge(std::size_t length);

private:
    SmartCard* smartCard_;
    ApduOps apduOps_;
    QELType type_ = QELType::UNKNOWN;
};

}  // namespace qel
