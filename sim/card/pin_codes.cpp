#include "sim/card/pin_codes.h"

#include <openssl/crypto.h>

#include "sim/card/tlv_writer.h"

namespace qel::sim {

namespace {

constexpr std::uint8_t kPinRef = 0x01, kPukRef = 0x02;
constexpr std::uint16_t kOk = 0x9000, kBlocked = 0x6983, kWrongLength = 0x6700, kBadData = 0x6A80,
                        kNoReference = 0x6A88, kBadP1P2 = 0x6A86, kNotAllowed = 0x6982;

std::uint16_t triesLeft(int tries) { return static_cast<std::uint16_t>(0x63C0 | (tries > 15 ? 15 : tries)); }

bool digitsOnly(const Bytes& b) {
    for (std::uint8_t c : b)
        if (c < '0' || c > '9') return false;
    return true;
}

// Constant-time comparison, as a chip compares reference data.
bool sameCode(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

PinCodes::PinCodes(const Profile& profile, CardState& state, PinBlockFormat format, std::function<void()> persist)
    : profile_(profile), state_(state), format_(format), persist_(std::move(persist)) {}

std::optional<std::string> PinCodes::decodePin(const Bytes& block) const {
    auto bare = [](const Bytes& b) -> std::optional<std::string> {
        if (b.size() < 4 || b.size() > 8 || !digitsOnly(b)) return std::nullopt;
        return std::string(b.begin(), b.end());
    };
    auto padded = [&](const Bytes& b) -> std::optional<std::string> {
        if (b.size() != 8) return std::nullopt;
        std::size_t n = 0;
        while (n < b.size() && b[n] != 0xFF) ++n;
        for (std::size_t i = n; i < b.size(); ++i)
            if (b[i] != 0xFF) return std::nullopt;
        return bare(Bytes(b.begin(), b.begin() + static_cast<long>(n)));
    };
    switch (format_) {
        case PinBlockFormat::padded:
            return padded(block);
        case PinBlockFormat::bare:
            return bare(block);
        case PinBlockFormat::either: {
            auto p = padded(block);
            return p ? p : bare(block);
        }
    }
    return std::nullopt;
}

std::uint16_t PinCodes::wrongPin() {
    pinVerified_ = false;
    if (state_.pinTries > 0) --state_.pinTries;
    persist_();
    return triesLeft(state_.pinTries);
}

std::uint16_t PinCodes::verify(std::uint8_t reference, const Bytes& data) {
    if (reference == kPukRef) {
        if (data.empty()) return definitivelyBlocked() ? kBlocked : (pukVerified_ ? kOk : triesLeft(state_.pukTries));
        return checkPuk(data);
    }
    if (reference != kPinRef) return kNoReference;
    if (definitivelyBlocked() || state_.pinTries == 0) return kBlocked;
    if (data.empty()) return pinVerified_ ? kOk : triesLeft(state_.pinTries);
    if (format_ == PinBlockFormat::padded && data.size() != 8) return kWrongLength;
    if (data.size() < 4 || data.size() > 8) return kWrongLength;
    auto pin = decodePin(data);
    if (!pin) return kBadData;
    if (!sameCode(*pin, state_.pin)) return wrongPin();
    pinVerified_ = true;
    if (state_.pinTries != profile_.pin.maxTries) {
        state_.pinTries = profile_.pin.maxTries;
        persist_();
    }
    return kOk;
}

std::uint16_t PinCodes::change(std::uint8_t reference, const Bytes& data) {
    if (reference != kPinRef) return kNoReference;
    if (definitivelyBlocked() || state_.pinTries == 0) return kBlocked;
    // Old and new blocks have the same width in both forms.
    if (data.size() < 8 || data.size() > 16 || data.size() % 2 != 0) return kWrongLength;
    const long half = static_cast<long>(data.size() / 2);
    Bytes oldBlock(data.begin(), data.begin() + half), newBlock(data.begin() + half, data.end());
    auto oldPin = decodePin(oldBlock);
    auto newPin = decodePin(newBlock);
    if (!oldPin || !newPin) return kBadData;
    if (!sameCode(*oldPin, state_.pin)) return wrongPin();
    state_.pin = *newPin;
    state_.pinTries = profile_.pin.maxTries;
    pinVerified_ = true;
    persist_();
    return kOk;
}

std::uint16_t PinCodes::checkPuk(const Bytes& puk) {
    if (definitivelyBlocked()) return kBlocked;
    if (puk.size() != 8) return kWrongLength;
    if (!digitsOnly(puk)) return kBadData;
    if (!sameCode(std::string(puk.begin(), puk.end()), profile_.puk.code)) {
        pukVerified_ = false;
        --state_.pukTries;
        persist_();
        return triesLeft(state_.pukTries);
    }
    pukVerified_ = true;
    if (state_.pukTries != profile_.puk.maxTries) {
        state_.pukTries = profile_.puk.maxTries;
        persist_();
    }
    return kOk;
}

std::uint16_t PinCodes::setNewPin(const Bytes& block) {
    auto pin = decodePin(block);
    if (!pin) return block.size() < 4 || block.size() > 8 ? kWrongLength : kBadData;
    state_.pin = *pin;
    return kOk;
}

std::uint16_t PinCodes::resetRetryCounter(std::uint8_t p1, std::uint8_t reference, const Bytes& data) {
    if (reference != kPinRef) return kNoReference;
    if (definitivelyBlocked()) return kBlocked;
    std::uint16_t sw = kOk;
    switch (p1) {
        case 0x00: {
            if (data.size() < 12) return kWrongLength;
            Bytes newBlock(data.begin() + 8, data.end());
            if (!decodePin(newBlock)) return newBlock.size() > 8 ? kWrongLength : kBadData;
            sw = checkPuk(Bytes(data.begin(), data.begin() + 8));
            if (sw != kOk) return sw;
            sw = setNewPin(newBlock);
            break;
        }
        case 0x01:
            if (data.size() != 8) return kWrongLength;
            sw = checkPuk(data);
            if (sw != kOk) return sw;
            break;
        case 0x02:
            if (!pukVerified_) return kNotAllowed;
            sw = setNewPin(data);
            break;
        case 0x03:
            if (!pukVerified_) return kNotAllowed;
            if (!data.empty()) return kWrongLength;
            break;
        default:
            return kBadP1P2;
    }
    if (sw != kOk) return sw;
    state_.pinTries = profile_.pin.maxTries;
    pinVerified_ = false;
    // The PUK is good for one reset: another needs it again.
    pukVerified_ = false;
    persist_();
    return kOk;
}

Bytes PinCodes::statusObject() const {
    auto counter = [](int v) { return static_cast<std::uint8_t>(v); };
    Bytes unblock = profile_.pukCounterTwoBytes ? tlv(0x9D, Bytes{0x00, counter(state_.pukTries)})
                                                : tlv(0x9D, Bytes{counter(state_.pukTries)});
    Bytes a0 = tlv(0xA0, cat({tlv(0x83, Bytes{kPinRef}), tlv(0x9A, Bytes{counter(profile_.pin.maxTries)}),
                              tlv(0x9B, Bytes{counter(state_.pinTries)}),
                              tlv(0x9C, Bytes{counter(profile_.puk.maxTries)}), unblock}));
    return tlv(0x70, tlv(0xBF8101, a0));
}

}  // namespace qel::sim
