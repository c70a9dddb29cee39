#pragma once
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

    /// `cardRemoved` marks a communication error that came from a card pulled out of its reader, so
    /// that callers at a boundary can tell it apart (the code stays −2).
    explicit TokenError(int code, bool cardRemoved = false);

    int code() const { return code_; }
    /// True when the code is a card status word rather than one of the negative codes.
    bool isStatusWord() const { return code_ > 0; }
    bool cardRemoved() const { return cardRemoved_; }

private:
    int code_;
    bool cardRemoved_;
};

/// Text used as the error's description in logs, for example "token error -8 (bad parameter)".
std::string describeTokenError(int code);

}  // namespace qel
