#include "app/pin_fields.h"

namespace qel {

const char* const kLastTryWarning = " Dernier essai avant le blocage de la carte";
const char* const kPinMismatch = "Le code PIN n'est pas identique au précédent.";

std::string filteredCode(const std::string& text, std::size_t maxLength) {
    std::string kept;
    for (char c : text) {
        if (c >= '0' && c <= '9' && kept.size() < maxLength) kept.push_back(c);
    }
    return kept;
}

void filterCodeField(ui::TextField& field, std::size_t maxLength) {
    std::string text = field.text();
    std::string kept = filteredCode(text, maxLength);
    if (kept != text) field.setText(kept);
    wipe(text);
    wipe(kept);
}

}  // namespace qel
