#include "card/record_fields.h"

#include "common/logger.h"
#include "common/utf8.h"

namespace qel {
namespace {

const char* const kNotDefined = "Non défini";

const QELTLVOctetString* fieldAt(const QELTLVSequence& sequence, QELTLVTAG tag, std::size_t index) {
    if (index == 0 || index > sequence.seqList.size()) return nullptr;
    for (const auto& object : sequence.seqList[index - 1].objectList) {
        if (object.type == tag) return object.value ? &object : nullptr;
    }
    return nullptr;
}

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

}  // namespace

std::string getString(const QELTLVSequence& sequence, QELTLVTAG tag, std::size_t index) {
    const QELTLVOctetString* field = fieldAt(sequence, tag, index);
    if (!field) return kNotDefined;
    std::string text = latin1ToUtf8(field->value->data(), field->value->size());
    logDebug("getString - valeur lue: " + text);
    return text;
}

namespace {

// Two characters per byte, from the byte's two digits; empty when the field is not there.
std::string twoDigitText(const QELTLVSequence& sequence, QELTLVTAG tag, std::size_t index, const char* decoder,
                         int (*high)(std::uint8_t), int (*low)(std::uint8_t)) {
    const QELTLVOctetString* field = fieldAt(sequence, tag, index);
    if (!field) return {};
    std::string text;
    for (std::uint8_t b : *field->value) {
        text.push_back(static_cast<char>(0x30 + high(b)));
        text.push_back(static_cast<char>(0x30 + low(b)));
    }
    logDebug(std::string(decoder) + " - valeur lue: " + text);
    return text;
}

}  // namespace

std::string getHexString(const QELTLVSequence& sequence, QELTLVTAG tag, std::size_t index) {
    return twoDigitText(
        sequence, tag, index, "getHexString", [](std::uint8_t b) { return b / 10; },
        [](std::uint8_t b) { return b % 10; });
}

std::string getBcdString(const QELTLVSequence& sequence, QELTLVTAG tag, std::size_t index) {
    return twoDigitText(
        sequence, tag, index, "getBcdString", [](std::uint8_t b) { return b >> 4; },
        [](std::uint8_t b) { return b & 0x0F; });
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
