#include "issuerlib/token_text.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

namespace qel {
namespace {

// Mac OS Roman, bytes 0x80 to 0xFF, as Unicode code points.
constexpr std::uint16_t kMacRoman[128] = {
    0x00C4, 0x00C5, 0x00C7, 0x00C9, 0x00D1, 0x00D6, 0x00DC, 0x00E1, 0x00E0, 0x00E2, 0x00E4, 0x00E3, 0x00E5,
    0x00E7, 0x00E9, 0x00E8, 0x00EA, 0x00EB, 0x00ED, 0x00EC, 0x00EE, 0x00EF, 0x00F1, 0x00F3, 0x00F2, 0x00F4,
    0x00F6, 0x00F5, 0x00FA, 0x00F9, 0x00FB, 0x00FC, 0x2020, 0x00B0, 0x00A2, 0x00A3, 0x00A7, 0x2022, 0x00B6,
    0x00DF, 0x00AE, 0x00A9, 0x2122, 0x00B4, 0x00A8, 0x2260, 0x00C6, 0x00D8, 0x221E, 0x00B1, 0x2264, 0x2265,
    0x00A5, 0x00B5, 0x2202, 0x2211, 0x220F, 0x03C0, 0x222B, 0x00AA, 0x00BA, 0x03A9, 0x00E6, 0x00F8, 0x00BF,
    0x00A1, 0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB, 0x00BB, 0x2026, 0x00A0, 0x00C0, 0x00C3, 0x00D5,
    0x0152, 0x0153, 0x2013, 0x2014, 0x201C, 0x201D, 0x2018, 0x2019, 0x00F7, 0x25CA, 0x00FF, 0x0178, 0x2044,
    0x20AC, 0x2039, 0x203A, 0xFB01, 0xFB02, 0x2021, 0x00B7, 0x201A, 0x201E, 0x2030, 0x00C2, 0x00CA, 0x00C1,
    0x00CB, 0x00C8, 0x00CD, 0x00CE, 0x00CF, 0x00CC, 0x00D3, 0x00D4, 0xF8FF, 0x00D2, 0x00DA, 0x00DB, 0x00D9,
    0x0131, 0x02C6, 0x02DC, 0x00AF, 0x02D8, 0x02D9, 0x02DA, 0x00B8, 0x02DD, 0x02DB, 0x02C7,
};

void appendUtf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Length of the well-formed UTF-8 sequence that starts at p[i]; 0 when none starts there (a stray
// continuation byte, a lead byte that cannot start one, a sequence cut short, an overlong form, a
// surrogate, a code point past U+10FFFF).
std::size_t sequenceLength(const unsigned char* p, std::size_t size, std::size_t i) {
    const unsigned char c = p[i];
    if (c < 0x80) return 1;
    std::size_t extra;
    unsigned cp;
    if (c >= 0xC2 && c <= 0xDF) {
        extra = 1;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        extra = 2;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        extra = 3;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (size - i <= extra) return 0;
    for (std::size_t k = 1; k <= extra; ++k) {
        if ((p[i + k] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return extra + 1;
}

bool isValidUtf8(const unsigned char* p, std::size_t size) {
    for (std::size_t i = 0; i < size;) {
        const std::size_t n = sequenceLength(p, size, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

// The text without its last character: a whole multi-byte sequence goes at once. A byte that belongs
// to no well-formed sequence counts as a character of its own, so the cut never splits a sequence.
std::string withoutLastCharacter(const std::string& text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t last = 0;
    for (std::size_t i = 0; i < text.size();) {
        last = i;
        i += std::max<std::size_t>(1, sequenceLength(p, text.size(), i));
    }
    return text.substr(0, last);
}

}  // namespace

std::string decodePaddedText(const unsigned char* field, std::size_t size) {
    while (size > 0 && field[size - 1] == 0x20) --size;
    if (isValidUtf8(field, size)) return std::string(reinterpret_cast<const char*>(field), size);
    std::string text;
    for (std::size_t i = 0; i < size; ++i) appendUtf8(text, field[i] < 0x80 ? field[i] : kMacRoman[field[i] - 0x80]);
    return text;
}

std::string serialFromTokenLabel(const std::string& label) {
    const std::string head = withoutLastCharacter(label);
    const auto dash = head.find('-');
    if (dash == std::string::npos) return {};
    std::string serial = head.substr(dash + 1);
    std::transform(serial.begin(), serial.end(), serial.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return serial;
}

std::string cardNumberFromTokenSerial(const std::string& tokenSerial) { return withoutLastCharacter(tokenSerial); }

}  // namespace qel
