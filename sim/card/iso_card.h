#pragma once
#include <functional>
#include <memory>
#include <string>

#include "sim/card/apdu_command.h"
#include "sim/card/card_content.h"
#include "sim/card/hostile.h"
#include "sim/card/pin_codes.h"
#include "sim/card/profile.h"

namespace qel::sim {

/// The ISO 7816-4 side of a QEL card (QEL3 contact, QEL3 contactless, QEL4 contact): file
/// selection and reading, the security environment, signature, decipherment, the PIN and the
/// T=0 conventions (61xx answers fetched with GET RESPONSE, command chaining).
///
/// Class bytes: a QEL3 takes CLA 00 only. A QEL4 runs its issuer application with CLA 01; CLA 00
/// still reaches the card's base commands (SELECT by identifier, READ / UPDATE BINARY, VERIFY,
/// GET RESPONSE) that the contactless-key search and the update scripts send, and every other
/// command with CLA 00 is refused with 6E00.
class IsoCard {
public:
    /// `files` are the contents written by earlier sessions; `persist` is called after each change.
    IsoCard(const Profile& profile, CardState& state, std::unique_ptr<IsoContent> content, ReaderKind kind,
            const HostileFilter& hostile, std::function<void()> persist);

    /// Power-on: MF selected, nothing verified, no security environment, no pending answer.
    void reset();
    ResponseApdu process(const CommandApdu& command);

    /// Full path of the current file (EF, else DF), upper-case hexadecimal.
    std::string currentPath() const;

private:
    struct Environment {
        std::uint8_t templateTag = 0;  ///< A4 (authentication), B6 (signature), B8 (decipherment)
        int algorithm = -1;
        const CardKey* key = nullptr;
    };

    ResponseApdu dispatch(const CommandApdu& c);
    bool classAccepted(const CommandApdu& c) const;
    ResponseApdu withLe(Bytes data, const CommandApdu& c);
    ResponseApdu getResponse(const CommandApdu& c);

    // Files (iso_card_files.cpp)
    ResponseApdu select(const CommandApdu& c);
    /// The EF and offset a READ or UPDATE BINARY addresses: by short identifier when P1 bit 8 is set
    /// (that EF becomes current), else the current EF. 0, or the status word to answer.
    std::uint16_t addressBinary(const CommandApdu& c, std::size_t& offset);
    ResponseApdu readBinary(const CommandApdu& c);
    ResponseApdu updateBinary(const CommandApdu& c);
    Bytes fileControl(const CardNode& node, bool fci) const;
    Bytes contentOf(const CardNode& node) const;
    bool allowed(Access access) const;

    // Security (iso_card_security.cpp)
    ResponseApdu manageSecurityEnvironment(const CommandApdu& c);
    ResponseApdu performSecurityOperation(const CommandApdu& c);
    ResponseApdu internalAuthenticate(const CommandApdu& c);
    ResponseApdu computeSignature(const Bytes& input);
    ResponseApdu decipher(const Bytes& input);
    const CardKey* keyInScope(std::uint8_t reference) const;

    ResponseApdu getData(const CommandApdu& c);

    const Profile& profile_;
    CardState& state_;
    std::unique_ptr<IsoContent> content_;
    ReaderKind kind_;
    const HostileFilter& hostile_;
    std::function<void()> persist_;
    PinCodes pins_;

    CardNode* currentDf_ = nullptr;
    CardNode* currentEf_ = nullptr;
    Environment env_;
    Bytes pending_;  ///< answer bytes waiting for GET RESPONSE
    Bytes chain_;    ///< data of chained blocks received so far
    std::uint8_t chainIns_ = 0;
};

}  // namespace qel::sim
