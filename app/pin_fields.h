#pragma once
#include <cstddef>
#include <string>

#include "app/views/widgets.h"
#include "common/secret_bytes.h"  // wipe, for the texts that held a code

namespace qel {

/// Longest PIN and PUK.
inline constexpr std::size_t kPinLength = 4;
inline constexpr std::size_t kPukLength = 8;

/// " Dernier essai avant le blocage de la carte" (with its leading blank).
extern const char* const kLastTryWarning;
/// "Le code PIN n'est pas identique au précédent."
extern const char* const kPinMismatch;

/// The keystroke filter of a code field: keeps the decimal digits of the text, at most `maxLength`
/// of them (a typed letter or a digit too many disappears at once).
std::string filteredCode(const std::string& text, std::size_t maxLength);

/// Applies `filteredCode` to the field, replacing its text only when it changes.
void filterCodeField(ui::TextField& field, std::size_t maxLength);

}  // namespace qel
