#pragma once
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "card/smart_card.h"
#include "token/p11/objects.h"
#include "token/p11/pkcs11.h"
#include "token/p11/reader_service.h"
#include "token/sigilla.h"
#include "token/sigilla_session.h"

namespace qel::p11 {

/// The token of one card insertion as the module publishes it. Members are declared so that the
/// card connection goes last.
struct TokenInstance {
    std::unique_ptr<SmartCard> smartCard;
    std::unique_ptr<Sigilla> token;
    std::vector<P11Object> objects;
    ReaderStatus insertion;  ///< the reader's status when the token was built
    /// Resets by other applications that the token's connection had come across when it was last
    /// checked (guarded by the slot's card lock).
    std::uint32_t resets = 0;
    std::string label;
    std::string serial;
    std::string model;
    bool loginRequired = false;
    // Guarded by the slot's card lock.
    bool loggedIn = false;
    /// The login took over a PIN that another application verified on the card: ending it leaves
    /// the card as that application left it.
    bool loginAdopted = false;
    bool pinLocked = false;
    /// The card's reader has a keypad: the PIN is typed there, never handed to the module.
    bool protectedPath = false;
    /// Tries left after the last refused PIN; −1 when the last PIN step succeeded or said nothing.
    int triesLeft = -1;

    ~TokenInstance();

    const P11Object* object(CK_OBJECT_HANDLE handle) const;
    std::vector<const TokenKey*> keys() const;
};

/// One reader. Its card lock makes every use of the card one caller at a time.
struct Slot {
    Slot(CK_SLOT_ID id_, std::string reader_) : id(id_), reader(std::move(reader_)) {}
    const CK_SLOT_ID id;
    const std::string reader;

    std::mutex cardMutex;
    // Guarded by cardMutex.
    std::shared_ptr<TokenInstance> token;
    /// The insertion for which building the token failed: not tried again until the card changes.
    std::optional<ReaderStatus> failedInsertion;
};

/// Copies text into a fixed, blank-padded PKCS#11 field (cut when too long).
void padded(CK_UTF8CHAR* field, std::size_t size, std::string_view text);

}  // namespace qel::p11
