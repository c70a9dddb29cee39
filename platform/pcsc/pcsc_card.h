#pragma once
#include <memory>
#include <optional>
#include <string>

#include "card/smart_card.h"
#include "platform/pcsc/pcsc_context.h"

namespace qel::pcsc {

/// A card in a PC/SC reader, connected in shared mode with T=0 or T=1 as the reader negotiates.
/// A session is a PC/SC transaction; sessions nest (only the outermost begins and ends the
/// transaction). A card reset by another application is reconnected once, and the failed call
/// repeated; the card's volatile state (selected file, verified PIN) is lost then.
/// A transmission that fails while the card is being pulled out reports cardRemoved, even when the
/// reader driver only saw a broken exchange: the reader is asked whether the card is still there.
/// Not thread-safe, like every SmartCard.
class PcscCard final : public SmartCard {
public:
    /// Connects to the card in `reader`. Throws TransportError (cardRemoved when the reader is
    /// empty, noReader when it is unknown).
    PcscCard(std::shared_ptr<PcscContext> context, std::string reader);
    ~PcscCard() override;

    Bytes atr() const override { return atr_; }
    /// Throws TransportError; a card pulled out gives kind cardRemoved.
    Bytes transmit(const Bytes& apdu) override;
    void beginSession() override;
    /// Ends the outermost session. Throws TransportError when the service refuses, after which no
    /// session is open any more.
    void endSession() override;
    /// Resets the card (SCardReconnect with SCARD_RESET_CARD), ending any session of ours first.
    /// Other applications' connections see the reset on their next call.
    void resetSecurityState() override;
    /// Asks the service for the card's state (SCardStatus): pcscd answers SCARD_W_RESET_CARD to
    /// every other connection after a reset, until it reconnects. The reader's event count does not
    /// move on a reset, so the reader state alone cannot tell.
    std::uint32_t resetsByOthers() override;
    /// SCardControl on the card's connection. A keypad entry holds the call until the holder is done.
    std::optional<Bytes> readerControl(std::uint32_t code, const Bytes& input) override;

    const std::string& readerName() const { return reader_; }
    /// SCARD_PROTOCOL_T0 or SCARD_PROTOCOL_T1.
    DWORD activeProtocol() const { return protocol_; }
    bool inSession() const { return sessionDepth_ > 0; }

private:
    void reconnectAfterReset();
    void readStatus();
    /// True when the reader shows no card now, or within the time a reader takes to notice.
    bool cardLeftReader();
    /// Throws `error`, or cardRemoved when the exchange broke because the card left the reader.
    [[noreturn]] void throwBrokenExchange(const TransportError& error);

    std::shared_ptr<PcscContext> context_;
    std::string reader_;
    PcscCardHandle handle_;
    DWORD protocol_ = 0;
    Bytes atr_;
    int sessionDepth_ = 0;
    std::uint32_t foreignResets_ = 0;
    std::optional<PcscTransaction> transaction_;
};

}  // namespace qel::pcsc
