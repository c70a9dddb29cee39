#include "sim/card/iso_card.h"

#include <openssl/rand.h>

namespace qel::sim {

namespace {

constexpr std::size_t kMaxChain = 4096;

PinBlockFormat pinFormat(const Profile& p, ReaderKind kind) {
    if (p.generation == Generation::QEL4) return PinBlockFormat::bare;
    // The chip checks padded blocks on contact; its contactless interface takes the bare digits
    // the clients send there.
    return kind == ReaderKind::contact ? PinBlockFormat::padded : PinBlockFormat::either;
}

}  // namespace

IsoCard::IsoCard(const Profile& profile, CardState& state, std::unique_ptr<IsoContent> content, ReaderKind kind,
                 const HostileFilter& hostile, std::function<void()> persist)
    : profile_(profile),
      state_(state),
      content_(std::move(content)),
      kind_(kind),
      hostile_(hostile),
      persist_(persist),
      pins_(profile, state, pinFormat(profile, kind), persist) {
    for (const CardKey& k : content_->keys) profileKeys_.push_back(k.key);
    reset();
}

void IsoCard::reset() {
    currentDf_ = &content_->tree.mf();
    currentEf_ = nullptr;
    env_ = Environment{};
    pending_.clear();
    chain_.clear();
    pins_.reset();
    applyGeneratedKeys();
}

void IsoCard::applyGeneratedKeys() {
    for (std::size_t i = 0; i < content_->keys.size(); ++i) {
        CardKey& k = content_->keys[i];
        auto generated = state_.generatedKeys.find(k.profile.reference);
        k.key = generated != state_.generatedKeys.end() ? RsaKey::fromPem(generated->second) : profileKeys_[i];
    }
}

std::string IsoCard::currentPath() const { return currentEf_ ? currentEf_->pathHex() : currentDf_->pathHex(); }

bool IsoCard::classAccepted(const CommandApdu& c) const {
    const std::uint8_t cla = c.cla & 0xEF;
    if (profile_.generation == Generation::QEL3) return cla == 0x00;
    if (cla == 0x01) return true;
    if (cla != 0x00) return false;
    switch (c.ins) {
        case 0xA4:
            return c.p1 <= 0x03;
        case 0xB0:
        case 0xD6:
        case 0x20:
        case 0xC0:
            return true;
        default:
            return false;
    }
}

ResponseApdu IsoCard::withLe(Bytes data, const CommandApdu& c) {
    if (data.empty()) return statusOnly(0x9000);
    auto more = [](std::size_t n) { return static_cast<std::uint16_t>(0x6100 | (n >= 256 ? 0 : n)); };
    // T=0: a command that carried data but no Le gets its answer through GET RESPONSE.
    if (!c.le && !c.data.empty()) {
        pending_ = std::move(data);
        return statusOnly(more(pending_.size()));
    }
    const std::size_t ne = static_cast<std::size_t>(c.le.value_or(256));
    if (data.size() <= ne) return ResponseApdu{std::move(data), 0x9000};
    pending_.assign(data.begin() + static_cast<long>(ne), data.end());
    data.resize(ne);
    return ResponseApdu{std::move(data), more(pending_.size())};
}

ResponseApdu IsoCard::getResponse(const CommandApdu& c) {
    if (pending_.empty()) return statusOnly(0x6985);
    const std::size_t ne = static_cast<std::size_t>(c.le.value_or(256));
    const std::size_t n = std::min(ne, pending_.size());
    ResponseApdu out{Bytes(pending_.begin(), pending_.begin() + static_cast<long>(n)), 0x9000};
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(n));
    if (!pending_.empty()) out.sw = static_cast<std::uint16_t>(0x6100 | (pending_.size() >= 256 ? 0 : pending_.size()));
    return out;
}

ResponseApdu IsoCard::process(const CommandApdu& command) {
    if (!classAccepted(command)) return statusOnly(0x6E00);
    if (command.ins == 0xC0) return getResponse(command);
    pending_.clear();

    if (command.chained()) {
        if (!chain_.empty() && chainIns_ != command.ins) chain_.clear();
        if (chain_.size() + command.data.size() > kMaxChain) {
            chain_.clear();
            return statusOnly(0x6700);
        }
        chainIns_ = command.ins;
        chain_.insert(chain_.end(), command.data.begin(), command.data.end());
        return statusOnly(0x9000);
    }
    if (!chain_.empty()) {
        if (chainIns_ != command.ins) {
            chain_.clear();
            return dispatch(command);
        }
        CommandApdu whole = command;
        whole.data = std::move(chain_);
        whole.data.insert(whole.data.end(), command.data.begin(), command.data.end());
        chain_.clear();
        return dispatch(whole);
    }
    return dispatch(command);
}

ResponseApdu IsoCard::dispatch(const CommandApdu& c) {
    switch (c.ins) {
        case 0xA4:
            return select(c);
        case 0xB0:
            return readBinary(c);
        case 0xD6:
            return updateBinary(c);
        case 0x22:
            return manageSecurityEnvironment(c);
        case 0x2A:
            return performSecurityOperation(c);
        case 0x88:
            return internalAuthenticate(c);
        case 0x47:
            return generateKeyPair(c);
        case 0xCB:
            return getData(c);
        case 0x20:
            if (c.p1 != 0x00) return statusOnly(0x6A86);
            return statusOnly(pins_.verify(c.p2, c.data));
        case 0x24:
            if (c.p1 != 0x00) return statusOnly(0x6A86);
            return statusOnly(pins_.change(c.p2, c.data));
        case 0x2C:
            return statusOnly(pins_.resetRetryCounter(c.p1, c.p2, c.data));
        case 0x84: {
            if (c.p1 != 0 || c.p2 != 0 || !c.data.empty()) return statusOnly(0x6A86);
            Bytes challenge(static_cast<std::size_t>(c.le.value_or(8) > 0 ? std::min(c.le.value_or(8), 32) : 8));
            if (RAND_bytes(challenge.data(), static_cast<int>(challenge.size())) != 1) return statusOnly(0x6F00);
            return ResponseApdu{challenge, 0x9000};
        }
        default:
            return statusOnly(0x6D00);
    }
}

ResponseApdu IsoCard::getData(const CommandApdu& c) {
    if (c.p1 != 0x3F || c.p2 != 0xFF) return statusOnly(0x6A88);
    // Only the PIN status object (extended header list naming BF81 01) is readable this way.
    static const Bytes kPinObject{0xBF, 0x81, 0x01};
    if (c.data.size() < 5 || c.data[0] != 0x4D ||
        std::search(c.data.begin(), c.data.end(), kPinObject.begin(), kPinObject.end()) == c.data.end())
        return statusOnly(0x6A88);
    return withLe(pins_.statusObject(), c);
}

}  // namespace qel::sim
