#pragma once
#include <memory>
#include <string>

#include "common/bytes.h"

namespace qel::sim {

/// A virtual QEL card as seen from a reader: answer-to-reset and one APDU in, one answer out.
/// The fronts (in-process transport, the vpcd daemon) only know this interface.
class CardModel {
public:
    virtual ~CardModel() = default;
    /// The ATR of the card as presented in its reader (contact or contactless).
    virtual Bytes atr() const = 0;
    /// Power-on or reset: volatile state (selected file, security status, environment) cleared.
    virtual void powerOn() = 0;
    /// Processes one command APDU; returns the answer data followed by SW1 SW2.
    virtual Bytes processApdu(const Bytes& command) = 0;
};

}  // namespace qel::sim

namespace qel::sim {

/// How the card is reached: the same profile answers with another ATR and file table contactless.
enum class ReaderKind { contact, contactless };

/// Loads the card described by a profile folder (made by the profile generator) as seen in a reader
/// of the given kind. State changes (PIN tries, blocks, written files) persist in the folder.
/// Throws std::runtime_error with a clear message when the profile is missing or malformed.
std::unique_ptr<CardModel> loadCardModel(const std::string& profileDir, ReaderKind kind);

}  // namespace qel::sim
