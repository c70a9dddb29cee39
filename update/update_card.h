#pragma once
#include <memory>
#include <optional>
#include <string>

#include "common/bytes.h"

namespace qel {

class Pkcs11Card;
namespace pcsc {
class PcscApi;
}

/// What the update session needs of the card.
class UpdateCard {
public:
    virtual ~UpdateCard() = default;
    /// One raw command: data + SW1 SW2, or nothing when the transmission failed (card pulled,
    /// session gone).
    virtual std::optional<Bytes> transmit(const Bytes& apdu, bool flag) = 0;
    /// The ten hexadecimal characters of the chip serial (bytes 7 to 11 of file D003); empty when the
    /// card answered the read too short, nothing when it did not answer at all. By default read with
    /// three commands through `transmit`.
    virtual std::optional<std::string> chipSerial();
    /// The token serial of the card object.
    virtual std::string tokenSerial() = 0;
};

/// The card object of the PKCS#11 binding: every command goes through the issuer library's
/// pass-through. The card must outlive it; one caller at a time.
class Pkcs11UpdateCard final : public UpdateCard {
public:
    explicit Pkcs11UpdateCard(Pkcs11Card& card) : card_(card) {}
    std::optional<Bytes> transmit(const Bytes& apdu, bool flag) override;
    std::string tokenSerial() override;

private:
    Pkcs11Card& card_;
};

/// The card held for a whole session: Kartello's own PC/SC connection to the card's reader, with one
/// transaction from the first command to `release`. pcscd refuses every other connection's commands
/// meanwhile (their transactions wait), in every process, ours included: no command of another
/// program can move the card's current file or spoil a secure-messaging challenge between two rounds.
///
/// pcscd ties a transaction to one connection, so the issuer library's own connection cannot send
/// while the card is held: commands go over this connection, and the library must not be called for
/// this card until `release`. The pass-through's flag is the library's business and is not used here.
class HeldUpdateCard final : public UpdateCard {
public:
    /// Connects to the card in `reader` and begins the transaction, waiting while another program
    /// holds one. Nothing (with `error` set, and logged) when the reader is unknown, empty or the
    /// service unreachable.
    static std::unique_ptr<HeldUpdateCard> hold(std::shared_ptr<pcsc::PcscApi> api, const std::string& reader,
                                                std::string tokenSerial, std::string* error = nullptr);
    ~HeldUpdateCard() override;
    HeldUpdateCard(const HeldUpdateCard&) = delete;
    HeldUpdateCard& operator=(const HeldUpdateCard&) = delete;

    std::optional<Bytes> transmit(const Bytes& apdu, bool flag) override;
    std::string tokenSerial() override { return tokenSerial_; }
    /// How long taking the hold waited for other programs.
    long long waitedMs() const { return waitedMs_; }

    /// Ends the transaction and the connection. With `resetCard` the card is reset as the transaction
    /// ends, before anyone else can send: its verified PIN and any secure channel are gone. Repeated
    /// calls do nothing; the destructor releases without reset.
    void release(bool resetCard);

private:
    struct Connection;
    HeldUpdateCard(std::unique_ptr<Connection> connection, std::string tokenSerial);

    std::unique_ptr<Connection> connection_;
    std::string tokenSerial_;
    long long waitedMs_ = 0;
};

}  // namespace qel
