#include "app/qt/colour_table.h"

#include <map>

namespace qel::qt {
namespace {

// The job colours match the bands of the profession card pictures, darkened where needed so that
// the job line stays readable on the white card summary. Trainee cards share their profession's
// hue in a deeper tone.
const std::map<std::string, QColor>& table() {
    static const std::map<std::string, QColor> colours = {
        {"etabli", QColor(67, 85, 106)},   {"person", QColor(122, 90, 54)},  {"medecin", QColor(31, 95, 149)},
        {"pharma", QColor(43, 122, 56)},   {"chdent", QColor(160, 86, 26)},  {"sagefem", QColor(168, 60, 110)},
        {"infir", QColor(173, 48, 48)},    {"kine", QColor(96, 62, 147)},    {"pedicu", QColor(15, 118, 120)},
        {"Fmed", QColor(24, 78, 124)},     {"Fpharma", QColor(33, 100, 44)}, {"Fchdent", QColor(156, 82, 18)},
        {"Fsagefem", QColor(140, 46, 90)}, {"empty", QColor(74, 74, 74)},
    };
    return colours;
}

}  // namespace

bool hasNamedColour(const std::string& name) { return table().count(name) != 0; }

QColor namedColour(const std::string& name) {
    const auto& colours = table();
    auto it = colours.find(name);
    return it != colours.end() ? it->second : colours.at("empty");
}

QColor toQColor(const ui::Colour& colour) {
    if (colour.isNamed()) return namedColour(colour.name);
    return QColor(colour.rgb.red, colour.rgb.green, colour.rgb.blue);
}

}  // namespace qel::qt
