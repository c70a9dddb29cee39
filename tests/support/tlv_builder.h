#pragma once
// Builders of BER-TLV test content: card files, directories and holder records.
#include <cstdint>
#include <initializer_list>
#include <string>

#include "common/bytes.h"

namespace qel::test {

inline Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

/// One element: a tag of one to three bytes (as written on the card, BF8101 for a three-byte tag)
/// and the shortest length form (up to 65535 content bytes).
inline Bytes tlv(std::uint32_t tag, const Bytes& value) {
    Bytes out;
    if (tag > 0xFFFF) out.push_back(static_cast<std::uint8_t>(tag >> 16));
    if (tag > 0xFF) out.push_back(static_cast<std::uint8_t>(tag >> 8));
    out.push_back(static_cast<std::uint8_t>(tag));
    if (value.size() < 0x80) {
        out.push_back(static_cast<std::uint8_t>(value.size()));
    } else if (value.size() <= 0xFF) {
        out.push_back(0x81);
        out.push_back(static_cast<std::uint8_t>(value.size()));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<std::uint8_t>(value.size() >> 8));
        out.push_back(static_cast<std::uint8_t>(value.size()));
    }
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace qel::test
