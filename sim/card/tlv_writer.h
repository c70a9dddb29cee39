#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>

#include "common/bytes.h"

namespace qel::sim {

/// Encodes one BER-TLV element: the tag as its big-endian bytes (one to three), the length in the
/// short form below 128 and in the 81 / 82 forms above.
Bytes tlv(std::uint32_t tag, const Bytes& value);
Bytes tlv(std::uint32_t tag, const std::string& text);

/// An element whose length must stay in the short form: the card's directory records are read by
/// clients that only know one-byte lengths, so a longer element is a profile error. Throws
/// std::runtime_error when the content reaches 128 bytes.
Bytes shortTlv(std::uint32_t tag, const Bytes& value);

/// Concatenation of byte strings.
Bytes cat(std::initializer_list<Bytes> parts);

/// Packs a text of decimal digits as BCD, two digits per byte; an odd count is completed with the
/// filler nibble F. Throws std::runtime_error on a character that is not a digit.
Bytes bcd(const std::string& digits);

/// Big-endian bytes of a number on `width` bytes.
Bytes bigEndian(std::uint64_t value, std::size_t width);

}  // namespace qel::sim
