#pragma once
#include <cstddef>
#include <string>

#include "app/views/widgets.h"
#include "common/secret_bytes.h"

namespace qel {

/// Longest PIN and PUK.
inline constexpr std::size_t kPinLength = 4;
inline constexpr std::size_t kPukLength = 8;

/// " Dernier essai avant le blocage de la carte" (with its leading blank).
extern const char* const kLastTryWarning;
/// "Le code PIN n'est pas identique au précédent."
extern const char* const kPinMismatch;

/// The keystroke filter of a code field: keeps the decimal digits of the code, at most `maxLength`
/// of them (a typed letter or a digit too many disappears at once).
SecretBytes filteredCode(const SecretBytes& typed, std::size_t maxLength);

/// Applies `filteredCode` to the field, replacing its code only when it changes.
void filterCodeField(ui::SecureField& field, std::size_t maxLength);

}  // namespace qel
