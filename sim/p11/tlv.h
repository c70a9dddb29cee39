#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "common/bytes.h"

namespace qel::simp11 {

/// One BER-TLV element. Constructed elements (bit 0x20 of the first tag byte) carry their parsed
/// children; a constructed element whose content does not parse keeps no children.
struct Tlv {
    std::uint32_t tag = 0;  ///< tag bytes, big-endian (BF8101 for a three-byte tag)
    Bytes value;
    std::vector<Tlv> children;

    /// First direct child with the tag.
    const Tlv* child(std::uint32_t tag) const;
    /// First child of the given index among those with one of the two tags.
    const Tlv* nthChild(std::size_t index, std::uint32_t tagA, std::uint32_t tagB) const;
    /// First element with the tag at any depth below this one (depth first).
    const Tlv* find(std::uint32_t tag) const;
};

/// Parses a concatenation of elements. Stops at the end, at filler bytes (00 or FF where a tag
/// would start) or at the first malformed element, keeping the elements read before it. Never
/// reads outside the buffer; nesting deeper than 16 levels is not descended into.
std::vector<Tlv> parseTlv(const Bytes& data);

/// Total length (header + content) of the single element at the start of the buffer, or nothing
/// when its header is malformed or it runs past the end.
std::optional<std::size_t> tlvElementLength(const Bytes& data);

/// Unsigned big-endian value of up to eight bytes (an INTEGER's content).
std::uint64_t tlvUnsigned(const Bytes& value);

/// Named bits of a DER BIT STRING content as a number: named bit n is bit n of the result.
std::uint32_t tlvBitFlags(const Bytes& value);

}  // namespace qel::simp11
