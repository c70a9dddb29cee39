#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.h"

namespace qel {

/// The ten tags the card's files use. Equality goes by the raw byte value.
enum class TLVTAG : std::uint8_t {
    TAG_UNKNOWN = 0x00,
    TAG_BOOLEAN = 0x01,
    TAG_INTEGER = 0x02,
    TAG_BIT_STRING = 0x03,
    TAG_OCTET_STRING = 0x04,
    TAG_NULL = 0x05,
    TAG_OID = 0x06,
    TAG_UTF8_STRING = 0x0C,
    TAG_SEQUENCE = 0x30,
    TAG_PATH = 0xA1,
};

/// The tag whose raw value is `raw`; nothing for any other byte.
std::optional<TLVTAG> tlvTagFromRaw(std::uint8_t raw);
/// The tag whose raw value is `raw`; TAG_UNKNOWN for any other byte. This is what the parser uses.
TLVTAG tagFromByte(std::uint8_t raw);

/// Base of everything a sequence's objectList holds. `type` is the tag of the element it was built
/// from; lookups go by the object's class, not by this field.
class TLVObject {
public:
    explicit TLVObject(TLVTAG tlvType) : type(tlvType) {}
    virtual ~TLVObject() = default;
    TLVTAG type;
};

/// One raw element. `entryLen` is the number of bytes the element occupies in its container,
/// header included.
class TLVEntry : public TLVObject {
public:
    TLVEntry(TLVTAG tag, std::size_t len, std::optional<Bytes> data)
        : TLVObject(tag), entryTag(tag), entryLen(len), entryData(std::move(data)) {}

    /// Decodes the one element that starts at data[0]. Lengths: one byte 0x00–0xFF (0x81 means 129
    /// bytes, not a long-form prefix), or 0x80 followed by a count byte n and n big-endian length
    /// bytes, the content following them. Nothing when the header or the declared content does not
    /// fit inside [data, data+size): nothing outside the buffer is ever read.
    static std::optional<TLVEntry> decode(const std::uint8_t* data, std::size_t size);
    static std::optional<TLVEntry> decode(const Bytes& buffer) { return decode(buffer.data(), buffer.size()); }

    TLVTAG entryTag;
    std::size_t entryLen;
    std::optional<Bytes> entryData;
};

/// A text label. Each content byte is one character (code 0–255); bytes above 0x7F are written as
/// the UTF-8 form of that code point so the text stays valid UTF-8.
class TLVUTF8String : public TLVObject {
public:
    explicit TLVUTF8String(std::string v) : TLVObject(TLVTAG::TAG_UTF8_STRING), value(std::move(v)) {}
    std::string value;
};

class TLVOctetString : public TLVObject {
public:
    explicit TLVOctetString(std::optional<Bytes> v) : TLVObject(TLVTAG::TAG_OCTET_STRING), value(std::move(v)) {}
    std::optional<Bytes> value;
};

class TLVNull : public TLVObject {
public:
    TLVNull() : TLVObject(TLVTAG::TAG_NULL) {}
};

class TLVBoolean : public TLVObject {
public:
    explicit TLVBoolean(bool v) : TLVObject(TLVTAG::TAG_BOOLEAN), value(v) {}
    bool value;
};

/// A bit string whose bytes are bit-reversed so that named bit n of the ASN.1 BIT STRING is bit n
/// of `flags()`. A one-byte content is kept as it is (no unused-bits byte).
class TLVBitString : public TLVObject {
public:
    explicit TLVBitString(const Bytes& content);
    /// One byte: that byte; two bytes: first + 256 × second; any other length: 0.
    std::uint16_t flags() const;
    Bytes value;
};

/// An unsigned big-endian number (0xFF is 255); beyond eight bytes the high bytes are shifted out.
class TLVInteger : public TLVObject {
public:
    explicit TLVInteger(std::int64_t v) : TLVObject(TLVTAG::TAG_INTEGER), value(v) {}
    std::int64_t value;
};

/// A constructed element, or a whole file decoded as a concatenation of elements. Child sequences
/// (TAG_SEQUENCE, TAG_PATH) go to seqList, leaves (and raw TAG_OID entries) to objectList, each in
/// buffer order. Unknown tags are skipped. Decoding never fails: an element that does not fit in
/// what is left of the buffer ends the walk and what was decoded before it is kept. Sequences
/// nested deeper than `maxDepth` are kept empty.
class TLVSequence {
public:
    static constexpr int maxDepth = 32;

    TLVSequence() = default;
    explicit TLVSequence(const Bytes& buffer) : TLVSequence(buffer.data(), buffer.size()) {}
    TLVSequence(const std::uint8_t* data, std::size_t size, int depth = 0);

    TLVSequence(TLVSequence&&) noexcept = default;
    TLVSequence& operator=(TLVSequence&&) noexcept = default;

    /// The first object of objectList whose class corresponds to `tag` (UTF8 string, null,
    /// boolean, integer, bit string, octet string); nothing for any other tag. Raw entries are never
    /// returned. The pointer lives as long as this sequence.
    const TLVObject* findObject(TLVTAG tag) const;

    /// Typed form of findObject: the first object of class T, or nullptr.
    template <class T>
    const T* find() const {
        for (const auto& o : objectList)
            if (const T* t = dynamic_cast<const T*>(o.get())) return t;
        return nullptr;
    }

    std::vector<TLVSequence> seqList;
    std::vector<std::unique_ptr<TLVObject>> objectList;
};

}  // namespace qel
