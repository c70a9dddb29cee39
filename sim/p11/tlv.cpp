#include "sim/p11/tlv.h"

namespace qel::simp11 {

namespace {

constexpr int kMaxDepth = 16;

struct Header {
    std::uint32_t tag = 0;
    bool constructed = false;
    std::size_t contentOffset = 0;
    std::size_t contentLength = 0;
};

// Reads the tag and length at `pos`; nothing when they are malformed or the content would run
// past `end`.
std::optional<Header> readHeader(const Bytes& data, std::size_t pos, std::size_t end) {
    if (pos >= end) return std::nullopt;
    Header h;
    std::uint8_t first = data[pos++];
    h.constructed = (first & 0x20) != 0;
    h.tag = first;
    if ((first & 0x1F) == 0x1F) {
        // Multi-byte tag: continuation bytes have bit 8 set; three bytes is plenty for cards.
        for (int i = 0;; ++i) {
            if (pos >= end || i == 3) return std::nullopt;
            std::uint8_t b = data[pos++];
            h.tag = (h.tag << 8) | b;
            if ((b & 0x80) == 0) break;
        }
    }
    if (pos >= end) return std::nullopt;
    std::uint8_t lenByte = data[pos++];
    std::size_t length = 0;
    if (lenByte < 0x80) {
        length = lenByte;
    } else {
        int count = lenByte & 0x7F;
        if (count == 0 || count > 3 || end - pos < static_cast<std::size_t>(count)) return std::nullopt;
        for (int i = 0; i < count; ++i) length = (length << 8) | data[pos++];
    }
    if (length > end - pos) return std::nullopt;
    h.contentOffset = pos;
    h.contentLength = length;
    return h;
}

std::vector<Tlv> parseRange(const Bytes& data, std::size_t pos, std::size_t end, int depth) {
    std::vector<Tlv> out;
    while (pos < end) {
        if (data[pos] == 0x00 || data[pos] == 0xFF) break;
        auto h = readHeader(data, pos, end);
        if (!h) break;
        Tlv t;
        t.tag = h->tag;
        auto first = data.begin() + static_cast<long>(h->contentOffset);
        t.value.assign(first, first + static_cast<long>(h->contentLength));
        if (h->constructed && depth < kMaxDepth)
            t.children = parseRange(data, h->contentOffset, h->contentOffset + h->contentLength, depth + 1);
        out.push_back(std::move(t));
        pos = h->contentOffset + h->contentLength;
    }
    return out;
}

}  // namespace

const Tlv* Tlv::child(std::uint32_t wanted) const {
    for (const Tlv& c : children)
        if (c.tag == wanted) return &c;
    return nullptr;
}

const Tlv* Tlv::nthChild(std::size_t index, std::uint32_t tagA, std::uint32_t tagB) const {
    for (const Tlv& c : children) {
        if (c.tag != tagA && c.tag != tagB) continue;
        if (index == 0) return &c;
        --index;
    }
    return nullptr;
}

const Tlv* Tlv::find(std::uint32_t wanted) const {
    for (const Tlv& c : children) {
        if (c.tag == wanted) return &c;
        if (const Tlv* below = c.find(wanted)) return below;
    }
    return nullptr;
}

std::vector<Tlv> parseTlv(const Bytes& data) { return parseRange(data, 0, data.size(), 0); }

std::optional<std::size_t> tlvElementLength(const Bytes& data) {
    auto h = readHeader(data, 0, data.size());
    if (!h) return std::nullopt;
    return h->contentOffset + h->contentLength;
}

std::uint64_t tlvUnsigned(const Bytes& value) {
    std::uint64_t v = 0;
    for (std::uint8_t b : value) v = (v << 8) | b;
    return v;
}

std::uint32_t tlvBitFlags(const Bytes& value) {
    // The first content byte counts the unused bits of the last byte; named bit 0 is the most
    // significant bit of the second byte.
    if (value.size() < 2) return 0;
    const int unused = value[0] & 0x07;
    std::uint32_t flags = 0;
    std::size_t bits = 0;
    for (std::size_t i = 1; i < value.size() && bits < 32; ++i) {
        const int lowest = i + 1 == value.size() ? unused : 0;
        for (int b = 7; b >= lowest && bits < 32; --b, ++bits)
            if (value[i] & (1u << b)) flags |= 1u << bits;
    }
    return flags;
}

}  // namespace qel::simp11
