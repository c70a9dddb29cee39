#include "card/tlv.h"

#include "common/utf8.h"

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

std::optional<TlvElement> readTlvElement(const std::uint8_t* data, std::size_t size, TlvLengths lengths) {
    if (data == nullptr || size < 2) return std::nullopt;
    TlvElement element;
    element.tag = data[0];
    element.headerSize = 2;
    const std::uint8_t first = data[1];
    if (lengths == TlvLengths::record) {
        if (first == 0x81 || first == 0x82) {
            // 0x81 and 0x82 announce one and two length bytes; the record's values never need more.
            element.headerSize = first == 0x81 ? 3 : 4;
            if (size < element.headerSize) return std::nullopt;
            element.length = first == 0x81 ? data[2] : (std::size_t{data[2]} << 8) | data[3];
        } else if (first < 0x80) {
            element.length = first;
        } else {
            return std::nullopt;  // 0x80 announces no length at all, 0x83 and above too much
        }
    } else if (first == 0x80) {
        // Private extended form: 80, a count n, then n big-endian length bytes; the content follows
        // them. Lengths that do not fit in the buffer are refused below, so n is bounded by the buffer.
        if (size < 3) return std::nullopt;
        const std::size_t n = data[2];
        element.headerSize = 3 + n;
        if (element.headerSize > size) return std::nullopt;
        for (std::size_t i = 0; i < n; ++i) {
            if (element.length > (size >> 8)) return std::nullopt;  // already longer than the buffer
            element.length = (element.length << 8) | data[3 + i];
        }
    } else {
        element.length = first;
    }
    if (element.length > size - element.headerSize) return std::nullopt;
    return element;
}

std::optional<TLVEntry> TLVEntry::decode(const std::uint8_t* data, std::size_t size) {
    const std::optional<TlvElement> element = readTlvElement(data, size, TlvLengths::cardFile);
    if (!element) return std::nullopt;
    const std::uint8_t* content = data + element->headerSize;
    return TLVEntry(tagFromByte(element->tag), element->size(), Bytes(content, content + element->length));
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
                objectList.push_back(std::make_unique<TLVUTF8String>(latin1ToUtf8(content.data(), content.size())));
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

QELTLVTAG qelTagFromByte(std::uint8_t byte) {
    switch (byte) {
        case 0x04:
        case 0x0C:
        case 0xE4:
        case 0xE3:
        case 0xED:
        case 0xEE:
        case 0xE0:
        case 0xA0:
        case 0x80:
        case 0x81:
        case 0x82:
        case 0x83:
        case 0x84:
        case 0x85:
        case 0x86:
            return static_cast<QELTLVTAG>(byte);
        default:
            return QELTLVTAG::TAG_UNKNOWN;
    }
}

bool isContainerTag(QELTLVTAG tag) {
    switch (tag) {
        case QELTLVTAG::TAG_QEL_NAME_PS:
        case QELTLVTAG::TAG_QEL_ID_CARD:
        case QELTLVTAG::TAG_QEL_ID_NAT:
        case QELTLVTAG::TAG_QEL_PS_SIT:
        case QELTLVTAG::TAG_QEL_SIT_FACTS:
        case QELTLVTAG::TAG_QEL_SIT_FACT:
            return true;
        default:
            return false;
    }
}

bool isFieldTag(QELTLVTAG tag) {
    auto byte = static_cast<std::uint8_t>(tag);
    return byte >= 0x80 && byte <= 0x86;
}

QELTLVEntry readTLVEntry(const std::uint8_t* data, std::size_t size) {
    QELTLVEntry entry;
    if (size < 2) return entry;
    entry.entryTag = qelTagFromByte(data[0]);
    const std::optional<TlvElement> element = readTlvElement(data, size, TlvLengths::record);
    if (!element) return entry;
    const std::uint8_t* content = data + element->headerSize;
    entry.entryLen = element->size();
    entry.entryData = Bytes(content, content + element->length);
    entry.complete = true;
    return entry;
}

namespace {

void parseLevel(const std::uint8_t* data, std::size_t size, int depth, QELTLVSequence& level) {
    std::size_t position = 0;
    while (size - position >= 2) {
        QELTLVEntry entry = readTLVEntry(data + position, size - position);
        // A length form we do not know, or a value running past the end: what follows cannot be
        // framed, so the level keeps what it has read.
        if (!entry.complete) return;
        const Bytes& value = *entry.entryData;
        if (isContainerTag(entry.entryTag)) {
            if (depth < kMaxTLVDepth) {
                QELTLVSequence child;
                parseLevel(value.data(), value.size(), depth + 1, child);
                level.seqList.push_back(std::move(child));
            }
        } else if (isFieldTag(entry.entryTag)) {
            level.objectList.push_back(QELTLVOctetString{entry.entryData, entry.entryTag});
        }
        position += entry.entryLen;
    }
}

}  // namespace

QELTLVSequence parseTLV(const Bytes& data) {
    QELTLVSequence top;
    parseLevel(data.data(), data.size(), 0, top);
    return top;
}

std::optional<QELTLVOctetString> getObject(const QELTLVSequence& sequence, QELTLVTAG tag) {
    for (const auto& object : sequence.objectList) {
        if (object.type == tag) return object;
    }
    return std::nullopt;
}

}  // namespace qel
