#include "issuerlib/qel_tlv.h"

#include "common/logger.h"

namespace qel {
namespace {

const char* const kNotDefined = "Non défini";

void appendUtf8(std::string& out, unsigned codePoint) {
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
    } else {
        out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

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

const QELTLVOctetString* fieldAt(const QELTLVSequence& sequence, QELTLVTAG tag, std::size_t index) {
    if (index == 0 || index > sequence.seqList.size()) return nullptr;
    for (const auto& object : sequence.seqList[index - 1].objectList) {
        if (object.type == tag) return object.value ? &object : nullptr;
    }
    return nullptr;
}

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

}  // namespace

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
    std::size_t header = 0;
    std::size_t length = 0;
    if (data[1] < 0x80) {
        header = 2;
        length = data[1];
    } else if (data[1] == 0x81 && size >= 3) {
        header = 3;
        length = data[2];
    } else if (data[1] == 0x82 && size >= 4) {
        header = 4;
        length = (std::size_t{data[2]} << 8) | data[3];
    } else {
        // 0x80 announces no length at all, 0x83 and above more than the records ever need.
        return entry;
    }
    if (length > size - header) return entry;
    entry.entryLen = header + length;
    entry.entryData = Bytes(data + header, data + header + length);
    entry.complete = true;
    return entry;
}

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

std::string asciiText(const std::uint8_t* data, std::size_t size) {
    std::string text;
    text.reserve(size);
    for (std::size_t i = 0; i < size; ++i) appendUtf8(text, data[i]);
    return text;
}

std::string getString(const QELTLVSequence& sequence, QELTLVTAG tag, std::size_t index) {
    const QELTLVOctetString* field = fieldAt(sequence, tag, index);
    if (!field) return kNotDefined;
    std::string text = asciiText(field->value->data(), field->value->size());
    logDebug("getString - valeur lue: " + text);
    return text;
}

std::string getHexString(const QELTLVSequence& sequence, QELTLVTAG tag, std::size_t index) {
    const QELTLVOctetString* field = fieldAt(sequence, tag, index);
    if (!field) return {};
    std::string text;
    for (std::uint8_t b : *field->value) {
        text.push_back(static_cast<char>(0x30 + b / 10));
        text.push_back(static_cast<char>(0x30 + b % 10));
    }
    logDebug("getHexString - valeur lue: " + text);
    return text;
}

std::string getBcdString(const QELTLVSequence& sequence, QELTLVTAG tag, std::size_t index) {
    const QELTLVOctetString* field = fieldAt(sequence, tag, index);
    if (!field) return {};
    std::string text;
    for (std::uint8_t b : *field->value) {
        text.push_back(static_cast<char>(0x30 + (b >> 4)));
        text.push_back(static_cast<char>(0x30 + (b & 0x0F)));
    }
    logDebug("getBcdString - valeur lue: " + text);
    return text;
}

std::string toDisplayDate(const std::string& yyyymmdd) {
    if (yyyymmdd.size() != 8) return {};
    for (char c : yyyymmdd) {
        if (c < '0' || c > '9') return {};
    }
    int year = std::stoi(yyyymmdd.substr(0, 4));
    int month = std::stoi(yyyymmdd.substr(4, 2));
    int day = std::stoi(yyyymmdd.substr(6, 2));
    static const int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year == 0 || month < 1 || month > 12 || day < 1) return {};
    int lastDay = kDaysInMonth[month - 1] + (month == 2 && isLeapYear(year) ? 1 : 0);
    if (day > lastDay) return {};
    return yyyymmdd.substr(6, 2) + "/" + yyyymmdd.substr(4, 2) + "/" + yyyymmdd.substr(0, 4);
}

}  // namespace qel
