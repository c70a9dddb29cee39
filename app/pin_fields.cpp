#include "app/pin_fields.h"

namespace qel {

const char* const kLastTryWarning = " Dernier essai avant le blocage de la carte";
const char* const kPinMismatch = "Le code PIN n'est pas identique au précédent.";

SecretBytes filteredCode(const SecretBytes& typed, std::size_t maxLength) {
    SecretBytes kept;
    for (std::uint8_t c : typed) {
        if (c >= '0' && c <= '9' && kept.size() < maxLength) kept.push_back(c);
    }
    return kept;
}

void filterCodeField(ui::SecureField& field, std::size_t maxLength) {
    const SecretBytes typed = field.secret();
    const SecretBytes kept = filteredCode(typed, maxLength);
    if (kept.view() != typed.view()) field.setSecret(kept);
}

}  // namespace qel
