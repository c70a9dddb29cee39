#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "card/card_error.h"
#include "common/bytes.h"

namespace qel {

/// Status word and data of one command, the status word not included in the data. The data is
/// wiped when the answer is dropped or replaced: deciphered blocks travel in it.
struct CardResponse {
    std::uint16_t sw = 0;
    Bytes data;

    CardResponse() = default;
    CardResponse(std::uint16_t status, Bytes content) : sw(status), data(std::move(content)) {}
    CardResponse(const CardResponse&) = default;
    CardResponse(CardResponse&&) noexcept = default;
    CardResponse& operator=(const CardResponse& other);
    CardResponse& operator=(CardResponse&& other) noexcept;
    ~CardResponse();
};

/// Overwrites the whole buffer of `bytes` (its spare capacity too) and empties it.
void wipeBytes(Bytes& bytes) noexcept;

/// A card's raw answer split into its data and its status word (the last two bytes); `raw` is wiped.
/// Nothing when the answer is shorter than a status word.
std::optional<CardResponse> splitAnswer(Bytes raw);

/// How the rest of an answer is fetched when its status word announces more bytes.
struct GetResponseRule {
    /// Class byte of the GET RESPONSE that follows a 61xx.
    std::uint8_t cla = 0x00;
    /// 9Fxx announces more bytes too, fetched with class A0 (GSM cards).
    bool gsm = false;
    /// GET RESPONSE commands at most for one command; a card stuck on 61xx cannot hold us forever.
    int maxRounds = 256;
};

/// Whether the status word announces more answer bytes under `rule`.
bool announcesMoreData(std::uint16_t statusWord, const GetResponseRule& rule);

/// Sends one complete command and splits the answer; nothing when the command went nowhere.
using CommandExchange = std::function<std::optional<CardResponse>(const Bytes& apdu)>;

/// Completes `answer` with GET RESPONSE commands sent through `exchange` while its status word
/// announces more bytes, at most `rule.maxRounds` of them: the data in order (the bytes that came
/// with the first answer first), the status word of the last answer. A status word that still
/// announces more bytes means the card asked for more rounds than the rule allows. Nothing when an
/// exchange gave nothing. Intermediate buffers are wiped.
std::optional<CardResponse> fetchRemainingAnswer(const CommandExchange& exchange, CardResponse answer,
                                                 const GetResponseRule& rule);

/// The platform's smart-card object: one card in one reader. Subclasses provide the raw exchange
/// (PC/SC, or a virtual card in-process); the APDU framing lives here once.
/// Not thread-safe: one caller at a time, which the card's session (a transaction) guarantees.
class SmartCard {
public:
    virtual ~SmartCard() = default;

    /// Answer-to-reset of the card as the reader reported it.
    virtual Bytes atr() const = 0;

    /// Sends one complete command APDU and returns the card's answer with SW1 SW2 at the end.
    /// Throws TransportError.
    virtual Bytes transmit(const Bytes& apdu) = 0;

    /// Opens / closes an exclusive session on the card. Throws TransportError.
    virtual void beginSession() = 0;
    virtual void endSession() = 0;

    /// Ends the card's volatile security state (a verified PIN, a security environment, the
    /// selected application) for every application that shares the card: the reader resets it.
    /// This connection stays usable. Called outside a session. Throws TransportError. A card that no
    /// other application can reach has nothing to end.
    virtual void resetSecurityState() {}

    /// How many resets by other applications this connection has come across, counting the one it
    /// finds now (looking costs no command to the card). The connection's own resets do not count.
    /// A reset card is another card as far as its contents go: it may have been renewed meanwhile.
    /// Throws TransportError when the card cannot be reached again after a reset.
    virtual std::uint32_t resetsByOthers() { return 0; }

    /// Sends a control request to the reader (SCardControl) and returns its answer; nothing when
    /// the reader takes no such requests (a card in-process). Throws TransportError when the reader
    /// refuses or fails.
    virtual std::optional<Bytes> readerControl(std::uint32_t code, const Bytes& input);

    /// The reader's feature list (tag, length, control code), asked once per connection: empty for
    /// a reader without features or one that would not answer.
    const Bytes& readerFeatureList();

    /// Class byte that prefixes every command built by send().
    std::uint8_t cla() const { return cla_; }
    void setCla(std::uint8_t cla) { cla_ = cla; }

    /// When on, send() splits data longer than 255 bytes into chained commands (CLA bit 0x10).
    bool useCommandChaining() const { return chaining_; }
    void setUseCommandChaining(bool on) { chaining_ = on; }

    /// Sends one complete command APDU and splits the card's answer. Throws TransportError, for an
    /// answer shorter than a status word too.
    CardResponse exchange(const Bytes& apdu);

    /// Builds a short APDU (class byte, INS, P1, P2, data when not empty, Le when given: 0 and 256
    /// both mean Le byte 00), chains long data when chaining is on, fetches 61xx remainders with
    /// GET RESPONSE and repeats a command answered 6Cxx with the announced length.
    /// Data over 255 bytes with chaining off is answered 6700 without reaching the card.
    /// Throws TransportError.
    CardResponse send(std::uint8_t ins, std::uint8_t p1, std::uint8_t p2, const Bytes& data, std::optional<int> le);

private:
    std::uint8_t cla_ = 0x00;
    bool chaining_ = true;
    std::optional<Bytes> featureList_;
};

/// Holds a card session for a scope.
class CardSession {
public:
    explicit CardSession(SmartCard& card) : card_(card) { card_.beginSession(); }
    ~CardSession() {
        try {
            card_.endSession();
        } catch (...) {
            // Ending a session on a card that is gone has nothing left to release.
        }
    }
    CardSession(const CardSession&) = delete;
    CardSession& operator=(const CardSession&) = delete;

private:
    SmartCard& card_;
};

}  // namespace qel
