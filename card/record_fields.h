#pragma once
// The holder and situation records' field values as text.
#include <cstddef>
#include <string>

#include "card/tlv.h"

namespace qel {

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

}  // namespace qel
