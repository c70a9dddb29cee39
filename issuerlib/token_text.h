#pragma once
#include <cstddef>
#include <string>

namespace qel {

/// A fixed-size text field of a PKCS#11 information structure (blank-padded, not terminated) as
/// UTF-8, trailing blanks (0x20) removed and every other character kept. Fields that are valid UTF-8
/// are taken as such (ASCII is both); anything else is read as Mac OS Roman.
std::string decodePaddedText(const unsigned char* field, std::size_t size);

template <std::size_t N>
std::string decodePaddedText(const unsigned char (&field)[N]) {
    return decodePaddedText(field, N);
}

/// The serial shown for a contact card: the part of the token label after the first "-" and before
/// the label's last character, in upper case ("XXXX-abc123Z" -> "ABC123"); empty when the label has
/// no "-" or nothing between it and the last character. A character is a whole UTF-8 sequence.
std::string serialFromTokenLabel(const std::string& label);

/// The card number: the token serial without its last character (a whole UTF-8 sequence, never a
/// part of one).
std::string cardNumberFromTokenSerial(const std::string& tokenSerial);

}  // namespace qel
