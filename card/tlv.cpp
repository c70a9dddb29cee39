#include "card/tlv.h"

namespace qel {

std::optional<TLVTAG> tlvTagFromRaw(std::uint8_t raw) {
    switch (raw) {
        case 0x00:
            return TLVTAG::TAG_UNKNOWN;
        case 0x01:
            return TLVTAG::TAG_BOOLEAN;
        case 0x02:
            return TLVTAG::TAG_INTEGER;
        case 0x03:
            return TLVTAG::TAG_BIT_STRING;
        case 0x04:
            return TLVTAG::TAG_OCTET_STRING;
        case 0x05:
            return TLVTAG::TAG_NULL;
        case 0x06:
            return TLVTAG::TAG_OID;
        case 0x0C:
            return TLVTAG::TAG_UTF8_STRING;
        case 0x30:
            return TLVTAG::TAG_SEQUENCE;
        case 0xA1:
            return TLVTAG::TAG_PATH;
        default:
            return std::nullopt;
    }
}

TLVTAG tagFromByte(std::uint8_t raw) { return tlvTagFromRaw(raw).value_or(TLVTAG::TAG_UNKNOWN); }

std::optional<TLVEntry> TLVEntry::decode(const std::uint8_t* data, std::size_t size) {
    if (data == nullptr || size < 2) return std::nullopt;
    std::size_t header = 2;
    std::size_t length = data[1];
    if (data[1] == 0x80) {
        // Private extended form: 80, a count n, then n big-endian length bytes; the content follows
        // them. Lengths that do not fit in the buffer are refused below, so n is bounded by the buffer.
        if (size < 3) return std::nullopt;
        const std::size_t n = data[2];
        header = 3 + n;
        if (header > size) return std::nullopt;
        length = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (length > (size >> 8)) return std::nullopt;  // already longer than the buffer
            length = (length << 8) | data[3 + i];
        }
    }
    if (length > size - header) return std::nullopt;
    Bytes content(data + header, data + header + length);
    return TLVEntry(tagFromByte(data[0]), header + length, std::move(content));
}

TLVBitString::TLVBitString(const Bytes& content) : TLVObject(TLVTAG::TAG_BIT_STRING) {
    if (content.size() == 1) {
        value = content;
        return;
    }
    if (content.empty()) return;
    const unsigned unused = content[0] & 0x07;
    for (std::size_t i = 1; i < content.size(); ++i) {
        std::uint8_t b = content[i];
        if (i == content.size() - 1) b = static_cast<std::uint8_t>(b & (0xFF << unused));
        std::uint8_t r = 0;
        for (int bit = 0; bit < 8; ++bit)
            if (b & (1u << bit)) r = static_cast<std::uint8_t>(r | (0x80u >> bit));
        value.push_back(r);
    }
}

std::uint16_t TLVBitString::flags() const {
    if (value.size() == 1) return value[0];
    if (value.size() == 2) return static_cast<std::uint16_t>(value[0] + 256 * value[1]);
    return 0;
}

namespace {

std::string latin1ToUtf8(const Bytes& bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (std::uint8_t b : bytes) {
        if (b < 0x80) {
            text.push_back(static_cast<char>(b));
        } else {
            text.push_back(static_cast<char>(0xC0 | (b >> 6)));
            text.push_back(static_cast<char>(0x80 | (b & 0x3F)));
        }
    }
    return text;
}

std::int64_t unsignedBigEndian(const Bytes& bytes) {
    std::uint64_t v = 0;
    for (std::uint8_t b : bytes) v = (v << 8) | b;
    return static_cast<std::int64_t>(v);
}

}  // namespace

TLVSequence::TLVSequence(const std::uint8_t* data, std::size_t size, int depth) {
    std::size_t offset = 0;
    while (offset < size) {
        std::optional<TLVEntry> e = TLVEntry::decode(data + offset, size - offset);
        if (!e) break;  // a truncated element ends the walk; what came before it is kept
        offset += e->entryLen;
        const Bytes& content = *e->entryData;
        switch (e->entryTag) {
            case TLVTAG::TAG_UNKNOWN:
                break;
            case TLVTAG::TAG_BOOLEAN:
                objectList.push_back(std::make_unique<TLVBoolean>(!content.empty() && content[0] != 0));
                break;
            case TLVTAG::TAG_INTEGER:
                objectList.push_back(std::make_unique<TLVInteger>(unsignedBigEndian(content)));
                break;
            case TLVTAG::TAG_BIT_STRING:
                objectList.push_back(std::make_unique<TLVBitString>(content));
                break;
            case TLVTAG::TAG_OCTET_STRING:
                objectList.push_back(std::make_unique<TLVOctetString>(content));
                break;
            case TLVTAG::TAG_NULL:
                objectList.push_back(std::make_unique<TLVNull>());
                break;
            case TLVTAG::TAG_OID:
                objectList.push_back(std::make_unique<TLVEntry>(std::move(*e)));
                break;
            case TLVTAG::TAG_UTF8_STRING:
                objectList.push_back(std::make_unique<TLVUTF8String>(latin1ToUtf8(content)));
                break;
            case TLVTAG::TAG_SEQUENCE:
            case TLVTAG::TAG_PATH:
                // Hostile input could nest thousands of levels in a few kilobytes; the card's own
                // directories use four.
                if (depth + 1 < maxDepth)
                    seqList.emplace_back(content.data(), content.size(), depth + 1);
                else
                    seqList.emplace_back();
                break;
        }
    }
}

const TLVObject* TLVSequence::findObject(TLVTAG tag) const {
    switch (tag) {
        case TLVTAG::TAG_UTF8_STRING:
            return find<TLVUTF8String>();
        case TLVTAG::TAG_NULL:
            return find<TLVNull>();
        case TLVTAG::TAG_BOOLEAN:
            return find<TLVBoolean>();
        case TLVTAG::TAG_INTEGER:
            return find<TLVInteger>();
        case TLVTAG::TAG_BIT_STRING:
            return find<TLVBitString>();
        case TLVTAG::TAG_OCTET_STRING:
            return find<TLVOctetString>();
        default:
            return nullptr;
    }
}

}  // namespace qel
