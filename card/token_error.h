#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>

namespace qel {

/// An error of the token error domain: what the card access core reports to the token driver and to
/// the application. `code()` is one of the negative codes below, or the card's status word as a
/// positive number (6A80 gives 27264) when a key operation was refused by the card.
class TokenError : public std::runtime_error {
public:
    static constexpr int notImplemented = -1;
    static constexpr int communicationError = -2;
    static constexpr int corruptedData = -3;
    static constexpr int badParameter = -8;
    static constexpr int authenticationNeeded = -9;

    explicit TokenError(int code) : TokenError(code, Origin::card, 0) {}
    /// The communication error of an exchange that failed in the transport (no answer from the card);
    /// `cardRemoved` when the card was pulled out of its reader, so that callers at a boundary can
    /// tell it apart. The code stays −2.
    static TokenError transportFailure(bool cardRemoved);
    /// An error the card's answer `statusWord` caused, where the code is not the status word itself
    /// (a refused or blocked PIN is reported with −2).
    static TokenError cardAnswer(int code, std::uint16_t statusWord);

    int code() const { return code_; }
    /// True when the code is a card status word rather than one of the negative codes.
    bool isStatusWord() const { return code_ > 0; }
    bool fromTransport() const { return origin_ != Origin::card; }
    bool cardRemoved() const { return origin_ == Origin::cardRemoved; }
    /// The status word behind the error when one was recorded (see cardAnswer), 0 otherwise.
    std::uint16_t statusWord() const { return statusWord_; }

private:
    enum class Origin { card, transport, cardRemoved };
    TokenError(int code, Origin origin, std::uint16_t statusWord);

    int code_;
    Origin origin_;
    std::uint16_t statusWord_;
};

/// Text used as the error's description in logs, for example "token error -8 (bad parameter)".
std::string describeTokenError(int code);

}  // namespace qel
