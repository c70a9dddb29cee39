#include "card/pin_pad.h"

#include "card/status_words.h"

namespace qel {

namespace {

constexpr std::uint8_t kFormatBytes = 0x80;     // bmFormatString: positions in bytes, not bits
constexpr std::uint8_t kFormatRight = 0x04;     // right-justified
constexpr std::uint8_t kFormatTypeMask = 0x03;  // 0 binary, 1 BCD, 2 ASCII
constexpr std::uint8_t kTypeBinary = 0, kTypeBcd = 1, kTypeAscii = 2;
constexpr std::uint8_t kLengthBytes = 0x10;  // bmPINLengthFormat: position in bytes
constexpr std::uint8_t kConfirmNew = 0x01, kAskCurrent = 0x02;
constexpr std::uint8_t kValidationKey = 0x02;  // entry ends with the OK key
constexpr std::uint16_t kLangFrench = 0x040C;

void putLittle16(Bytes& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void putLittle32(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
std::uint32_t little32(const Bytes& b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
           static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

Bytes commandTemplate(const PinCommandFormat& f, std::size_t blocks) {
    Bytes apdu{f.cla, f.ins, f.p1, f.p2};
    const std::size_t data = f.blockSize * blocks;
    apdu.push_back(static_cast<std::uint8_t>(data));
    apdu.insert(apdu.end(), data, 0xFF);
    return apdu;
}

// The digit count a block holds in the request's encoding, from the position of the PIN on.
std::size_t unitsPerDigitHalf(std::uint8_t type) { return type == kTypeBcd ? 1 : 2; }

// Checks what every PIN block of the request needs: a known encoding, a whole-byte position, and
// room in each block, the command and the length field for the longest PIN allowed.
std::optional<std::string> checkLayout(const PinEntryRequest& r) {
    const std::uint8_t type = r.formatString & kFormatTypeMask;
    if (type > kTypeAscii) return "unknown PIN encoding";
    if (r.minDigits == 0 || r.minDigits > r.maxDigits) return "bad PIN length range";
    if (r.command.size() < 5) return "command shorter than its header";
    if (r.command[4] != r.command.size() - 5) return "Lc does not match the command";
    const std::size_t position = (r.formatString >> 3) & 0x0F;
    const bool bytes = (r.formatString & kFormatBytes) != 0;
    if (!bytes && position % 8 != 0) return "PIN position inside a byte";
    const std::size_t positionBytes = bytes ? position : position / 8;
    const std::size_t blockSize = r.blockString & 0x0F;
    const std::size_t lengthBits = r.blockString >> 4;
    const std::size_t digitBytes = (r.maxDigits * unitsPerDigitHalf(type) + 1) / 2;
    if (blockSize == 0) {
        // The digits make the data field: only where the block starts the data, with no length.
        if (r.modify) return "a modify needs fixed PIN blocks";
        if (positionBytes != 0 || lengthBits != 0) return "variable block with a position or a length field";
        if (r.command.size() != 5) return "variable block with data in the template";
        if (digitBytes > 255) return "PIN too long";
        return std::nullopt;
    }
    if (positionBytes + digitBytes > blockSize) return "the longest PIN does not fit its block";
    if (lengthBits != 0 && lengthBits != 4 && lengthBits != 8) return "unsupported PIN length field size";
    if (lengthBits != 0) {
        const std::size_t lpos = r.lengthFormat & 0x0F;
        const std::size_t lposBits = (r.lengthFormat & kLengthBytes) ? lpos * 8 : lpos;
        if (lposBits % 4 != 0 || (lengthBits == 8 && lposBits % 8 != 0)) return "PIN length field inside a byte";
        if (lposBits + lengthBits > blockSize * 8) return "PIN length field outside its block";
    }
    const std::size_t data = r.command.size() - 5;
    for (std::size_t offset : r.modify ? std::initializer_list<std::size_t>{r.offsetOld, r.offsetNew}
                                       : std::initializer_list<std::size_t>{0}) {
        if (offset + blockSize > data) return "PIN block outside the command";
    }
    return std::nullopt;
}

void writeNibble(SecretBytes& out, std::size_t bitPos, std::uint8_t value) {
    std::uint8_t* p = out.mutableData() + bitPos / 8;
    if (bitPos % 8 == 0)
        *p = static_cast<std::uint8_t>((*p & 0x0F) | (value << 4));
    else
        *p = static_cast<std::uint8_t>((*p & 0xF0) | (value & 0x0F));
}

// Writes the digits into the block that starts at `blockStart` of `apdu`.
void placeDigits(const PinEntryRequest& r, SecretBytes& apdu, std::size_t blockStart, const SecretBytes& digits) {
    const std::uint8_t type = r.formatString & kFormatTypeMask;
    const std::size_t blockSize = r.blockString & 0x0F;
    const std::size_t position = (r.formatString >> 3) & 0x0F;
    const std::size_t positionBytes = (r.formatString & kFormatBytes) ? position : position / 8;
    const std::size_t n = digits.size();
    const std::size_t digitBytes = (n * unitsPerDigitHalf(type) + 1) / 2;
    std::size_t start = blockStart + positionBytes;
    if (blockSize != 0 && (r.formatString & kFormatRight)) start = blockStart + blockSize - digitBytes;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t d = static_cast<std::uint8_t>(digits[i] - '0');
        if (type == kTypeAscii)
            apdu.mutableData()[start + i] = digits[i];
        else if (type == kTypeBinary)
            apdu.mutableData()[start + i] = d;
        else
            writeNibble(apdu, start * 8 + i * 4, d);
    }
    if (type == kTypeBcd && n % 2 == 1) writeNibble(apdu, start * 8 + n * 4, 0x0F);
    const std::size_t lengthBits = r.blockString >> 4;
    if (blockSize != 0 && lengthBits != 0) {
        const std::size_t lpos = r.lengthFormat & 0x0F;
        const std::size_t bit = blockStart * 8 + ((r.lengthFormat & kLengthBytes) ? lpos * 8 : lpos);
        if (lengthBits == 8)
            apdu.mutableData()[bit / 8] = static_cast<std::uint8_t>(n);
        else
            writeNibble(apdu, bit, static_cast<std::uint8_t>(n));
    }
}

bool digitsOnly(const SecretBytes& digits) {
    for (std::uint8_t c : digits)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

PinPadFeatures parseFeatureList(const Bytes& answer) {
    PinPadFeatures f;
    std::size_t at = 0;
    while (at + 2 <= answer.size()) {
        const std::uint8_t tag = answer[at];
        const std::size_t length = answer[at + 1];
        if (length != 4 || at + 2 + length > answer.size()) break;
        const std::uint32_t code = static_cast<std::uint32_t>(answer[at + 2]) << 24 |
                                   static_cast<std::uint32_t>(answer[at + 3]) << 16 |
                                   static_cast<std::uint32_t>(answer[at + 4]) << 8 | answer[at + 5];
        if (tag == pinpad::kVerifyPinDirect) f.verifyPinDirect = code;
        if (tag == pinpad::kModifyPinDirect) f.modifyPinDirect = code;
        if (tag == pinpad::kIfdPinProperties) f.pinProperties = code;
        at += 2 + length;
    }
    return f;
}

Bytes encodeFeatureList(const PinPadFeatures& features) {
    Bytes out;
    auto add = [&](std::uint8_t tag, const std::optional<std::uint32_t>& code) {
        if (!code) return;
        out.insert(out.end(), {tag, 4, static_cast<std::uint8_t>(*code >> 24), static_cast<std::uint8_t>(*code >> 16),
                               static_cast<std::uint8_t>(*code >> 8), static_cast<std::uint8_t>(*code)});
    };
    add(pinpad::kVerifyPinDirect, features.verifyPinDirect);
    add(pinpad::kModifyPinDirect, features.modifyPinDirect);
    add(pinpad::kIfdPinProperties, features.pinProperties);
    return out;
}

std::optional<PinCommandFormat> pinCommandFormat(QELType type, bool modify) {
    PinCommandFormat f;
    f.ins = modify ? 0x24 : 0x20;
    if (type == QELType::QEL3) return f;  // 8-byte block, exactly four digits
    if (type == QELType::UNKNOWN || modify) return std::nullopt;
    f.cla = 0x01;
    f.blockSize = 0;
    f.maxDigits = 8;
    return f;
}

std::optional<PinCommandFormat> unblockCommandFormat(QELType type) {
    auto f = pinCommandFormat(type, true);
    if (!f) return std::nullopt;
    // One digit range serves both entries: the card itself refuses a PUK short of eight digits.
    f->ins = 0x2C;
    f->maxDigits = 8;
    return f;
}

Bytes buildVerifyStructure(const PinCommandFormat& f) {
    const Bytes apdu = commandTemplate(f, 1);
    Bytes s{f.timeoutSeconds, f.timeoutSeconds, static_cast<std::uint8_t>(kFormatBytes | kTypeAscii),
            static_cast<std::uint8_t>(f.blockSize & 0x0F), 0x00};
    putLittle16(s, static_cast<std::uint16_t>(f.minDigits << 8 | f.maxDigits));
    s.insert(s.end(), {kValidationKey, 0x01});
    putLittle16(s, kLangFrench);
    s.insert(s.end(), {0x00, 0x00, 0x00, 0x00});
    putLittle32(s, static_cast<std::uint32_t>(apdu.size()));
    s.insert(s.end(), apdu.begin(), apdu.end());
    return s;
}

Bytes buildModifyStructure(const PinCommandFormat& f) {
    const Bytes apdu = commandTemplate(f, 2);
    Bytes s{f.timeoutSeconds,
            f.timeoutSeconds,
            static_cast<std::uint8_t>(kFormatBytes | kTypeAscii),
            static_cast<std::uint8_t>(f.blockSize & 0x0F),
            0x00,
            0x00,
            f.blockSize};
    putLittle16(s, static_cast<std::uint16_t>(f.minDigits << 8 | f.maxDigits));
    s.insert(s.end(), {static_cast<std::uint8_t>(kConfirmNew | kAskCurrent), kValidationKey, 0x03});
    putLittle16(s, kLangFrench);
    s.insert(s.end(), {0x00, 0x01, 0x02, 0x00, 0x00, 0x00});
    putLittle32(s, static_cast<std::uint32_t>(apdu.size()));
    s.insert(s.end(), apdu.begin(), apdu.end());
    return s;
}

namespace {

std::variant<PinEntryRequest, std::string> finishParse(PinEntryRequest r, const Bytes& s, std::size_t header) {
    const std::uint32_t length = little32(s, header - 4);
    if (length != s.size() - header) return std::string("data length does not match the structure");
    r.command.assign(s.begin() + static_cast<long>(header), s.end());
    if (auto problem = checkLayout(r)) return *problem;
    return r;
}

}  // namespace

std::variant<PinEntryRequest, std::string> parseVerifyStructure(const Bytes& s) {
    if (s.size() < pinpad::kVerifyHeaderSize) return std::string("verify structure too short");
    PinEntryRequest r;
    r.timeout = s[0];
    r.formatString = s[2];
    r.blockString = s[3];
    r.lengthFormat = s[4];
    r.maxDigits = s[5];
    r.minDigits = s[6];
    // s[13..15] is the T=1 prologue: this reader exchanges whole commands, the prologue is its own.
    return finishParse(std::move(r), s, pinpad::kVerifyHeaderSize);
}

std::variant<PinEntryRequest, std::string> parseModifyStructure(const Bytes& s) {
    if (s.size() < pinpad::kModifyHeaderSize) return std::string("modify structure too short");
    PinEntryRequest r;
    r.modify = true;
    r.timeout = s[0];
    r.formatString = s[2];
    r.blockString = s[3];
    r.lengthFormat = s[4];
    r.offsetOld = s[5];
    r.offsetNew = s[6];
    r.maxDigits = s[7];
    r.minDigits = s[8];
    r.confirm = s[9];
    return finishParse(std::move(r), s, pinpad::kModifyHeaderSize);
}

std::variant<SecretBytes, std::uint16_t> fillPinCommand(const PinEntryRequest& r, const SecretBytes& oldDigits,
                                                        const SecretBytes& newDigits) {
    const bool askCurrent = !r.modify || (r.confirm & kAskCurrent);
    auto fits = [&](const SecretBytes& d) {
        return d.size() >= r.minDigits && d.size() <= r.maxDigits && digitsOnly(d);
    };
    if ((askCurrent && !fits(oldDigits)) || (r.modify && !fits(newDigits))) return sw::pinPadWrongLength;
    SecretBytes apdu(r.command.data(), r.command.size());
    if (!r.modify) {
        if ((r.blockString & 0x0F) == 0) {
            // The data field is the PIN itself: its length is the entry's.
            const std::uint8_t type = r.formatString & kFormatTypeMask;
            const std::size_t bytes = (oldDigits.size() * unitsPerDigitHalf(type) + 1) / 2;
            for (std::size_t i = 0; i < bytes; ++i) apdu.push_back(0xFF);
            apdu.mutableData()[4] = static_cast<std::uint8_t>(bytes);
        }
        placeDigits(r, apdu, 5, oldDigits);
        return apdu;
    }
    if (askCurrent) placeDigits(r, apdu, 5 + r.offsetOld, oldDigits);
    placeDigits(r, apdu, 5 + r.offsetNew, newDigits);
    return apdu;
}

PinPadResult pinPadResult(std::uint16_t statusWord) {
    PinPadResult r;
    r.statusWord = statusWord;
    switch (statusWord) {
        case sw::pinPadTimeout:
            r.outcome = PinPadOutcome::timedOut;
            return r;
        case sw::pinPadCancelled:
            r.outcome = PinPadOutcome::cancelled;
            return r;
        case sw::pinPadEntriesDiffer:
            r.outcome = PinPadOutcome::entriesDiffer;
            return r;
        case sw::pinPadWrongLength:
            r.outcome = PinPadOutcome::wrongLength;
            return r;
        default:
            break;
    }
    const StatusWordMeaning m = statusWordMeaning(statusWord);
    switch (m.status) {
        case CardStatus::success:
            r.outcome = PinPadOutcome::verified;
            break;
        case CardStatus::triesLeft:
            r.outcome = m.triesLeft == 0 ? PinPadOutcome::blocked : PinPadOutcome::wrongPin;
            r.triesLeft = m.triesLeft;
            break;
        case CardStatus::blocked:
            r.outcome = PinPadOutcome::blocked;
            r.triesLeft = 0;
            break;
        case CardStatus::wrongLength:
            r.outcome = PinPadOutcome::wrongLength;
            break;
        default:
            r.outcome = PinPadOutcome::failed;
    }
    return r;
}

const char* pinPadOutcomeName(PinPadOutcome outcome) {
    switch (outcome) {
        case PinPadOutcome::verified:
            return "verified";
        case PinPadOutcome::wrongPin:
            return "wrong PIN";
        case PinPadOutcome::blocked:
            return "blocked";
        case PinPadOutcome::cancelled:
            return "cancelled";
        case PinPadOutcome::timedOut:
            return "timed out";
        case PinPadOutcome::wrongLength:
            return "wrong length";
        case PinPadOutcome::entriesDiffer:
            return "entries differ";
        case PinPadOutcome::failed:
            break;
    }
    return "failed";
}

}  // namespace qel
