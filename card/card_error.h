#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>

namespace qel {

/// The card layer's one error: what the card core, the PC/SC transport under it and the contactless
/// layer report. `kind()` says what went wrong; `code()` is the number the token driver and the logs
/// have always used for it: one of the negative codes below, or the card's status word as a positive
/// number (6A80 gives 27264) when a key operation was refused by the card. Every failure of the
/// transport has the code −2.
class CardError : public std::runtime_error {
public:
    enum class Kind {
        /// The card refused a key operation; `code()` is its status word.
        cardStatus,
        /// The card's answer ended the operation (a failed selection, a refused or blocked PIN);
        /// `statusWord()` is that answer when one was recorded.
        failed,
        notImplemented,
        corruptedData,
        objectNotFound,
        badParameter,
        authenticationNeeded,
        // The exchange itself failed, under the card.
        cardRemoved,
        noReader,
        noService,
        timeout,
        communication,
    };

    static constexpr int notImplemented = -1;
    static constexpr int communicationError = -2;
    static constexpr int corruptedData = -3;
    static constexpr int objectNotFound = -6;
    static constexpr int badParameter = -8;
    static constexpr int authenticationNeeded = -9;

    explicit CardError(int code) : CardError(code, kindOfCode(code), 0, 0) {}
    /// The communication error of an exchange that failed in the transport (no answer from the card);
    /// `cardRemoved` when the card was pulled out of its reader, so that callers at a boundary can
    /// tell it apart. The code stays −2.
    static CardError transportFailure(bool cardRemoved);
    /// An error the card's answer `statusWord` caused, where the code is not the status word itself
    /// (a refused or blocked PIN is reported with −2).
    static CardError cardAnswer(int code, std::uint16_t statusWord);

    Kind kind() const { return kind_; }
    int code() const { return code_; }
    /// True when the code is a card status word rather than one of the negative codes.
    bool isStatusWord() const { return code_ > 0; }
    /// True for the kinds under the card: removed, no reader, no service, time-out, communication.
    bool fromTransport() const { return isTransportKind(kind_); }
    bool cardRemoved() const { return kind_ == Kind::cardRemoved; }
    /// The status word behind the error when one was recorded (see cardAnswer), 0 otherwise.
    std::uint16_t statusWord() const { return statusWord_; }
    /// The platform's own code (a PC/SC SCARD_* value) of a transport failure, 0 when there is none.
    long platformCode() const { return platformCode_; }

    static bool isTransportKind(Kind kind) { return kind >= Kind::cardRemoved; }
    /// The kind a token error code stands for: a positive code is a status word, −2 `failed`.
    static Kind kindOfCode(int code);

protected:
    /// A transport failure with its own description (the PC/SC call and its code).
    CardError(Kind kind, long platformCode, const std::string& what);

private:
    CardError(int code, Kind kind, std::uint16_t statusWord, long platformCode);

    int code_;
    Kind kind_;
    std::uint16_t statusWord_;
    long platformCode_;
};

/// A failure of the transport under the card (reader gone, card pulled out, service down): a
/// CardError of one of the transport kinds, kept as a class of its own because the programs catch
/// it apart from the card's answers (a reader to forget, a card to wait for). The card operations
/// pass it on unchanged or turn it into CardError::transportFailure, as each one documents.
class TransportError : public CardError {
public:
    using Kind = CardError::Kind;
    /// `kind` is one of the transport kinds.
    TransportError(Kind kind, long platformCode, const std::string& what) : CardError(kind, platformCode, what) {}
};

/// Text used as the error's description in logs, for example "token error -8 (bad parameter)".
std::string describeTokenError(int code);

}  // namespace qel
