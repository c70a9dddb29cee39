#include "sim/p11/apdu_card.h"

#include <algorithm>
#include <stdexcept>

#include "card/pin_pad.h"
#include "sim/p11/mechanisms.h"
#include "sim/p11/tlv.h"

namespace qel::simp11 {

namespace {

constexpr std::uint16_t kOk = 0x9000;

bool fileMissing(std::uint16_t sw) { return sw == 0x6A82 || sw == 0x6A83 || sw == 0x6A86 || sw == 0x6A88; }

std::uint16_t swOf(const Bytes& answer) {
    if (answer.size() < 2) return 0x6F00;
    return static_cast<std::uint16_t>(answer[answer.size() - 2] << 8 | answer[answer.size() - 1]);
}

// QEL4 signature: algorithm reference of the security environment.
std::uint8_t qel4AlgorithmReference(HashAlg hash) { return hash == HashAlg::sha256 ? 0x28 : 0x0A; }

}  // namespace

std::optional<std::size_t> fileSizeFromFcp(const Bytes& fcp) {
    for (const Tlv& top : parseTlv(fcp)) {
        const Tlv* size = top.child(0x80);
        if (size == nullptr) size = top.child(0x81);
        if (size != nullptr && !size->value.empty() && size->value.size() <= 4)
            return static_cast<std::size_t>(tlvUnsigned(size->value));
    }
    return std::nullopt;
}

PinCounters parsePinStatus(const Bytes& answer) {
    PinCounters c;
    Tlv root;
    root.children = parseTlv(answer);
    if (const Tlv* pin = root.find(0x9B); pin != nullptr && !pin->value.empty()) c.pinTries = pin->value.back();
    if (const Tlv* puk = root.find(0x9D); puk != nullptr && !puk->value.empty()) c.pukTries = puk->value.back();
    if (const Tlv* max = root.find(0x9A); max != nullptr && !max->value.empty()) c.pinMaxTries = max->value.back();
    if (const Tlv* max = root.find(0x9C); max != nullptr && !max->value.empty()) c.pukMaxTries = max->value.back();
    if (c.pinTries || c.pukTries) return c;
    // Not a TLV tree we can walk: look for the two tags as they usually stand (tag, length 1 or 2,
    // value), never past the end.
    for (std::size_t i = 0; i + 2 < answer.size(); ++i) {
        std::uint8_t len = answer[i + 1];
        if (len < 1 || len > 2 || i + 1 + len >= answer.size()) continue;
        int value = answer[i + 1 + len];
        if (answer[i] == 0x9B)
            c.pinTries = value;
        else if (answer[i] == 0x9D)
            c.pukTries = value;
    }
    return c;
}

ApduCard::ApduCard(std::unique_ptr<SharedSmartCard> card, CardGeneration generation)
    : card_(std::move(card)), generation_(generation), layout_(layoutFor(generation)) {
    card_->setCla(layout_.cla);
    card_->setUseCommandChaining(false);
}

bool ApduCard::beginExchange() {
    card_->beginSession();
    bool reset = card_->takeResetNotice();
    if (reset) applicationSelected_ = false;
    if (layout_.selectApplication && !applicationSelected_) {
        CardResponse r = card_->send(0xA4, 0x04, 0x04, qelApplicationId(), 0);
        if (r.sw != kOk) {
            card_->endSession();
            throw CardStatusError(r.sw);
        }
        applicationSelected_ = true;
    }
    return reset;
}

void ApduCard::endExchange() { card_->endSession(); }

void ApduCard::resetCard() {
    applicationSelected_ = false;
    card_->resetSecurityState();
}

std::optional<Bytes> ApduCard::select(const Bytes& path) {
    CardResponse r = card_->send(0xA4, layout_.selectP1, layout_.selectP2, path, 0);
    if (fileMissing(r.sw)) return std::nullopt;
    if (r.sw != kOk) throw CardStatusError(r.sw);
    return r.data;
}

std::optional<Bytes> ApduCard::readFile(const Bytes& path) {
    auto fcp = select(path);
    if (!fcp) return std::nullopt;
    std::optional<std::size_t> size = fileSizeFromFcp(*fcp);
    // Offsets travel in P1 P2 with the top bit reserved for short file identifiers.
    constexpr std::size_t kMaxOffset = 0x7FFF;
    std::size_t wanted = size ? std::min(*size, kMaxOffset) : kMaxOffset;
    Bytes content;
    while (content.size() < wanted) {
        std::size_t offset = content.size();
        int chunk =
            static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(layout_.readChunk), wanted - offset));
        CardResponse r = card_->send(0xB0, static_cast<std::uint8_t>(offset >> 8),
                                     static_cast<std::uint8_t>(offset & 0xFF), {}, chunk);
        if (r.sw == 0x6B00 || (r.sw == 0x6282 && r.data.empty())) break;
        if (r.sw != kOk && r.sw != 0x6282) throw CardStatusError(r.sw);
        content.insert(content.end(), r.data.begin(), r.data.end());
        // A card that answers nothing (or less than asked without a known size) has no more.
        if (r.data.empty() || r.sw == 0x6282 || (!size && r.data.size() < static_cast<std::size_t>(chunk))) break;
    }
    return content;
}

PinCounters ApduCard::pinCounters() {
    if (generation_ != CardGeneration::QEL4) select({0x3F, 0x00});
    static const Bytes query{0x4D, 0x08, 0x70, 0x06, 0xBF, 0x81, 0x01, 0x02, 0xA0, 0x80};
    CardResponse r = card_->send(0xCB, 0x3F, 0xFF, query, 0xE7);
    PinCounters c;
    if (r.sw == kOk) c = parsePinStatus(r.data);
    if (!c.pinTries) {
        // VERIFY without data asks for the PIN state without presenting one.
        CardResponse v = card_->send(0x20, 0x00, 0x01, {}, std::nullopt);
        if ((v.sw & 0xFFF0) == 0x63C0)
            c.pinTries = v.sw & 0x0F;
        else if (v.sw == 0x6983)
            c.pinTries = 0;
    }
    return c;
}

SecretBytes ApduCard::pinBlock(const SecretBytes& pin) const {
    SecretBytes block;
    block.append(pin);
    if (layout_.padPin)
        while (block.size() < 8) block.push_back(0xFF);
    return block;
}

std::uint16_t ApduCard::sendSecret(std::uint8_t ins, std::uint8_t p1, std::uint8_t p2, const SecretBytes& data) {
    if (data.size() > 255) throw std::invalid_argument("secret too long");
    SecretBytes apdu;
    const std::uint8_t header[5] = {layout_.cla, ins, p1, p2, static_cast<std::uint8_t>(data.size())};
    apdu.append(header, sizeof header);
    apdu.append(data);
    // The command holds the secret: it goes out through a buffer that is wiped afterwards.
    Bytes raw(apdu.data(), apdu.data() + apdu.size());
    Bytes answer;
    try {
        answer = card_->transmit(raw);
    } catch (...) {
        wipe(raw);
        throw;
    }
    wipe(raw);
    return swOf(answer);
}

std::uint16_t ApduCard::verifyPin(const SecretBytes& pin) { return sendSecret(0x20, 0x00, 0x01, pinBlock(pin)); }

std::uint16_t ApduCard::verifyPuk(const SecretBytes& puk) { return sendSecret(0x20, 0x00, 0x02, puk); }

std::uint16_t ApduCard::changePin(const SecretBytes& oldPin, const SecretBytes& newPin) {
    SecretBytes data = pinBlock(oldPin);
    data.append(pinBlock(newPin));
    return sendSecret(0x24, 0x00, 0x01, data);
}

std::uint16_t ApduCard::resetRetryCounter(const SecretBytes& puk, const SecretBytes& newPin) {
    SecretBytes data = puk.copy();
    data.append(pinBlock(newPin));
    return sendSecret(0x2C, 0x00, 0x01, data);
}

Bytes ApduCard::sign(const SignRequest& request) {
    if (!cardAcceptsHash(generation_, request.role, request.hash)) throw std::invalid_argument("hash");
    const Bytes& environment = request.role == KeyRole::auth ? layout_.authKeyEnvironment : layout_.signKeyEnvironment;
    select(environment);

    bool internalAuthenticate = generation_ != CardGeneration::QEL4 && request.role == KeyRole::auth;
    CardResponse mse;
    if (generation_ == CardGeneration::QEL4) {
        mse = card_->send(
            0x22, 0x81, 0xB6,
            {0x91, 0x02, qel4AlgorithmReference(request.hash), static_cast<std::uint8_t>(request.keyReference | 0x80)},
            std::nullopt);
    } else if (internalAuthenticate) {
        mse = card_->send(0x22, 0x41, 0xA4, {0x80, 0x01, 0x02, 0x84, 0x01, request.keyReference}, std::nullopt);
    } else {
        std::uint8_t alg = request.hash == HashAlg::sha1 ? 0x12 : 0x42;
        mse = card_->send(0x22, 0x41, 0xB6, {0x80, 0x01, alg, 0x84, 0x01, request.keyReference}, std::nullopt);
    }
    if (mse.sw != kOk) throw CardStatusError(mse.sw);

    CardResponse r;
    if (internalAuthenticate) {
        Bytes data = digestInfoPrefix(request.hash);
        data.insert(data.end(), request.input.begin(), request.input.end());
        r = card_->send(0x88, 0x00, 0x00, data, 256);
    } else {
        r = card_->send(0x2A, 0x9E, 0x9A, request.input, 256);
    }
    if (r.sw != kOk) throw CardStatusError(r.sw);
    return r.data;
}

Bytes ApduCard::getChallenge(std::size_t length) {
    CardResponse r = card_->send(0x84, 0x00, 0x00, {}, static_cast<int>(length));
    if (r.sw != kOk || r.data.empty()) throw CardStatusError(r.sw == kOk ? 0x6F00 : r.sw);
    if (r.data.size() > length) r.data.resize(length);
    return r.data;
}

namespace {

QELType cardType(CardGeneration generation) {
    switch (generation) {
        case CardGeneration::QEL3:
            return QELType::QEL3;
        case CardGeneration::QEL3CL:
            return QELType::QEL3CL;
        case CardGeneration::QEL4:
            break;
    }
    return QELType::QEL4;
}

}  // namespace

bool ApduCard::hasKeypad() { return PinPad::available(*card_); }

std::uint16_t ApduCard::verifyPinOnKeypad() {
    if (!hasKeypad()) return 0x6D00;
    return PinPad::verifyPin(*card_, cardType(generation_)).statusWord;
}

std::uint16_t ApduCard::changePinOnKeypad() {
    if (!hasKeypad() || !pinCommandFormat(cardType(generation_), true)) return 0x6D00;
    return PinPad::changePin(*card_, cardType(generation_)).statusWord;
}

std::uint16_t ApduCard::unblockPinOnKeypad() {
    if (!hasKeypad() || !unblockCommandFormat(cardType(generation_))) return 0x6D00;
    return PinPad::unblockPin(*card_, cardType(generation_)).statusWord;
}

Bytes ApduCard::transmitRaw(const Bytes& apdu) {
    // A command that selects another application by name leaves ours: select it again next time.
    if (apdu.size() >= 4 && apdu[1] == 0xA4 && apdu[2] == 0x04) applicationSelected_ = false;
    return card_->transmit(apdu);
}

}  // namespace qel::simp11
