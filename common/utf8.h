#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qel {

/// Whether the bytes are well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isUtf8(std::string_view text);

/// Bytes read as Latin-1 (one character per byte, code 0 to 255), written as UTF-8: ASCII stays as
/// it is, bytes above 0x7F take two bytes. Every input gives valid UTF-8 and nothing is lost.
std::string latin1ToUtf8(const std::uint8_t* data, std::size_t size);

}  // namespace qel
