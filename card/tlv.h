#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.h"

namespace qel {

/// The two length encodings the card's data use.
enum class TlvLengths {
    /// The card's files: one byte 0x00–0xFF (0x81 means 129 bytes, not a long-form prefix), or 0x80
    /// followed by a count byte n and n big-endian length bytes.
    cardFile,
    /// The holder and situation records (BER): one byte below 0x80, or 0x81 / 0x82 followed by one /
    /// two big-endian length bytes. 0x80 and 0x83 and above are refused.
    record,
};

/// Where one element lies: the content starts `headerSize` bytes after the tag.
struct TlvElement {
    std::uint8_t tag = 0;
    std::size_t headerSize = 0;
    std::size_t length = 0;
    /// Bytes the element occupies in its container, header included.
    std::size_t size() const { return headerSize + length; }
};

/// Frames the element that starts at data[0]. Nothing when the header or the declared content does
/// not fit inside [data, data+size), or the length form is not one of `lengths`: nothing outside the
/// buffer is ever read, whatever the bytes claim.
std::optional<TlvElement> readTlvElement(const std::uint8_t* data, std::size_t size, TlvLengths lengths);

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

    /// Decodes the one element that starts at data[0], with the card files' lengths
    /// (TlvLengths::cardFile). Nothing when it does not fit inside [data, data+size).
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

/// The tags of the card's holder and situation records. Any other byte reads as `TAG_UNKNOWN`.
/// `TAG_QEL_NAME_PS` to `TAG_QEL_SIT_FACT` are containers, `TAG_QEL_80` to `TAG_QEL_86` fields.
enum class QELTLVTAG : std::uint8_t {
    TAG_UNKNOWN = 0x00,
    TAG_OCTET_STRING = 0x04,
    TAG_UTF8_STRING = 0x0C,
    TAG_QEL_NAME_PS = 0xE4,
    TAG_QEL_ID_CARD = 0xE3,
    TAG_QEL_ID_NAT = 0xED,
    TAG_QEL_PS_SIT = 0xEE,
    TAG_QEL_SIT_FACTS = 0xE0,
    TAG_QEL_SIT_FACT = 0xA0,
    TAG_QEL_80 = 0x80,
    TAG_QEL_81 = 0x81,
    TAG_QEL_82 = 0x82,
    TAG_QEL_83 = 0x83,
    TAG_QEL_84 = 0x84,
    TAG_QEL_85 = 0x85,
    TAG_QEL_86 = 0x86,
};

/// The tag a byte stands for (`TAG_UNKNOWN` for bytes outside the list).
QELTLVTAG qelTagFromByte(std::uint8_t byte);
bool isContainerTag(QELTLVTAG tag);
bool isFieldTag(QELTLVTAG tag);

/// One element as read from bytes. `entryLen` is header plus value, the distance to the next element;
/// 0 with no value for fewer than two bytes or an element the parser refuses (see `readTLVEntry`).
struct QELTLVEntry {
    QELTLVTAG entryTag = QELTLVTAG::TAG_UNKNOWN;
    std::size_t entryLen = 0;
    std::optional<Bytes> entryData;
    /// False when the header could not be read or the value runs past the end of the bytes.
    bool complete = false;
};

/// A field (tags 0x80 to 0x86) with its value.
struct QELTLVOctetString {
    std::optional<Bytes> value;
    QELTLVTAG type = QELTLVTAG::TAG_UNKNOWN;
};

/// One level of a record: the containers found at this level and the fields, both in order.
struct QELTLVSequence {
    std::vector<QELTLVSequence> seqList;
    std::vector<QELTLVOctetString> objectList;
};

/// Reads the element at the head of `data`. Lengths as TlvLengths::record; a form it refuses
/// and a value running past the end give an incomplete element.
QELTLVEntry readTLVEntry(const std::uint8_t* data, std::size_t size);

/// Deepest container nesting the parser follows; deeper containers are skipped.
inline constexpr int kMaxTLVDepth = 8;

/// Parses a record: containers recursively, fields 0x80 to 0x86 as objects, other tags skipped. It
/// never reads outside `data`: at an incomplete element the level stops and keeps what it has read;
/// a single trailing byte is ignored.
QELTLVSequence parseTLV(const Bytes& data);

/// The first field of the level with that tag, or nothing.
std::optional<QELTLVOctetString> getObject(const QELTLVSequence& sequence, QELTLVTAG tag);

}  // namespace qel
