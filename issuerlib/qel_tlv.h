#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.h"

namespace qel {

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

/// Reads the element at the head of `data`. Length forms: one byte below 0x80; 0x81 and one length
/// byte; 0x82 and two length bytes, most significant first. Any other form (0x80, 0x83 and above)
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

/// Field decoders. `index` counts from 1 and selects `sequence.seqList[index - 1]`; in that container
/// the field with `tag` is decoded. When the index is 0 or too large, or the field is missing,
/// `getString` returns "Non défini" and the other two an empty text. Each logs the value it read.
///
/// `getString`: the value as text (bytes above 0x7F are taken as Latin-1 so that nothing is lost).
std::string getString(const QELTLVSequence& sequence, QELTLVTAG tag, std::size_t index);
/// Two characters per byte b: 0x30 + b / 10, then 0x30 + b % 10 (0x16 -> "22").
std::string getHexString(const QELTLVSequence& sequence, QELTLVTAG tag, std::size_t index);
/// Two characters per byte, 0x30 + high nibble then 0x30 + low nibble (filler 0xF -> "?").
std::string getBcdString(const QELTLVSequence& sequence, QELTLVTAG tag, std::size_t index);

/// "yyyyMMdd" -> "dd/MM/yyyy"; an empty text when the input is not a valid calendar date.
std::string toDisplayDate(const std::string& yyyymmdd);

/// Bytes as text, byte for byte (ASCII, and Latin-1 above 0x7F), in UTF-8.
std::string asciiText(const std::uint8_t* data, std::size_t size);

}  // namespace qel
