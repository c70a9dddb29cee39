#include "card/smart_card.h"

#include <openssl/crypto.h>

#include "card/status_words.h"

namespace qel {

namespace {

// Header, Lc, 255 data bytes, Le.
constexpr std::size_t kMaxShortApdu = 4 + 1 + 255 + 1;

// Command buffers may carry a PIN (VERIFY), answers a deciphered block: they are wiped when they go
// out of scope.
class WipeOnExit {
public:
    explicit WipeOnExit(Bytes& bytes) : bytes_(bytes) {}
    ~WipeOnExit() { wipeBytes(bytes_); }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    Bytes& bytes_;
};

Bytes header(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1, std::uint8_t p2) { return Bytes{cla, ins, p1, p2}; }

std::uint8_t leByte(int le) { return (le <= 0 || le >= 256) ? 0x00 : static_cast<std::uint8_t>(le); }

// Appends without leaving a copy behind in a buffer the vector gives up when it grows.
void appendWiping(Bytes& to, const Bytes& more) {
    if (to.size() + more.size() > to.capacity()) {
        Bytes grown;
        grown.reserve(2 * (to.size() + more.size()));
        grown.assign(to.begin(), to.end());
        wipeBytes(to);
        to.swap(grown);
    }
    to.insert(to.end(), more.begin(), more.end());
}

}  // namespace

void wipeBytes(Bytes& bytes) noexcept {
    bytes.resize(bytes.capacity());
    OPENSSL_cleanse(bytes.data(), bytes.size());
    bytes.clear();
}

CardResponse& CardResponse::operator=(const CardResponse& other) {
    if (this != &other) {
        wipeBytes(data);
        data = other.data;
        sw = other.sw;
    }
    return *this;
}

CardResponse& CardResponse::operator=(CardResponse&& other) noexcept {
    if (this != &other) {
        wipeBytes(data);
        data = std::move(other.data);
        sw = other.sw;
    }
    return *this;
}

CardResponse::~CardResponse() { wipeBytes(data); }

std::optional<CardResponse> splitAnswer(Bytes raw) {
    WipeOnExit wipeAnswer(raw);
    if (raw.size() < 2) return std::nullopt;
    CardResponse r;
    r.sw = static_cast<std::uint16_t>(raw[raw.size() - 2] << 8 | raw[raw.size() - 1]);
    r.data.assign(raw.begin(), raw.end() - 2);
    return r;
}

bool announcesMoreData(std::uint16_t statusWord, const GetResponseRule& rule) {
    const auto sw1 = static_cast<std::uint8_t>(statusWord >> 8);
    return sw1 == kMoreDataSw1 || (rule.gsm && sw1 == kGsmMoreDataSw1);
}

std::optional<CardResponse> fetchRemainingAnswer(const CommandExchange& exchange, CardResponse answer,
                                                 const GetResponseRule& rule) {
    Bytes collected = std::move(answer.data);
    // The status word, not the data, says whether more bytes wait: data may well start with 61 (an
    // application template) while the command succeeded.
    for (int rounds = 0; announcesMoreData(answer.sw, rule) && rounds < rule.maxRounds; ++rounds) {
        const bool gsm = (answer.sw >> 8) == kGsmMoreDataSw1;
        const Bytes getResponse{gsm ? std::uint8_t{0xA0} : rule.cla, 0xC0, 0x00, 0x00,
                                static_cast<std::uint8_t>(answer.sw & 0xFF)};
        std::optional<CardResponse> more = exchange(getResponse);
        if (!more) {
            wipeBytes(collected);
            return std::nullopt;
        }
        answer = std::move(*more);
        appendWiping(collected, answer.data);
    }
    wipeBytes(answer.data);
    answer.data = std::move(collected);
    return answer;
}

CardResponse SmartCard::exchange(const Bytes& apdu) {
    std::optional<CardResponse> answer = splitAnswer(transmit(apdu));
    if (!answer) throw TransportError(TransportError::Kind::communication, 0, "card answer shorter than a status word");
    return std::move(*answer);
}

CardResponse SmartCard::send(std::uint8_t ins, std::uint8_t p1, std::uint8_t p2, const Bytes& data,
                             std::optional<int> le) {
    if (data.size() > 255 && !chaining_) return CardResponse{0x6700, {}};

    // All blocks but the last go out with the chaining bit; each must be accepted before the next.
    std::size_t offset = 0;
    while (data.size() - offset > 255) {
        Bytes apdu = header(static_cast<std::uint8_t>(cla_ | 0x10), ins, p1, p2);
        apdu.reserve(kMaxShortApdu);  // no reallocation may leave a copy behind
        WipeOnExit wipeBlock(apdu);
        apdu.push_back(0xFF);
        apdu.insert(apdu.end(), data.begin() + static_cast<long>(offset),
                    data.begin() + static_cast<long>(offset + 255));
        CardResponse r = exchange(apdu);
        if (r.sw != sw::success) return r;
        offset += 255;
    }

    Bytes apdu = header(cla_, ins, p1, p2);
    apdu.reserve(kMaxShortApdu);
    WipeOnExit wipeCommand(apdu);
    if (data.size() > offset) {
        apdu.push_back(static_cast<std::uint8_t>(data.size() - offset));
        apdu.insert(apdu.end(), data.begin() + static_cast<long>(offset), data.end());
    }
    if (le) apdu.push_back(leByte(*le));

    CardResponse r = exchange(apdu);
    if ((r.sw >> 8) == kWrongLeSw1) {
        // Wrong Le: the card tells the length it has; ask again once with it.
        if (le)
            apdu.back() = static_cast<std::uint8_t>(r.sw & 0xFF);
        else
            apdu.push_back(static_cast<std::uint8_t>(r.sw & 0xFF));
        r = exchange(apdu);
    }
    const GetResponseRule rule{static_cast<std::uint8_t>(cla_ & ~0x10), false, 256};
    return *fetchRemainingAnswer([this](const Bytes& getResponse) { return exchange(getResponse); }, std::move(r),
                                 rule);
}

}  // namespace qel

namespace qel {

std::optional<Bytes> SmartCard::readerControl(std::uint32_t, const Bytes&) { return std::nullopt; }

const Bytes& SmartCard::readerFeatureList() {
    if (!featureList_) {
        // The feature request is the one control every part 10 reader must answer; any failure
        // means a reader without features, not a broken card.
        constexpr std::uint32_t kGetFeatureRequest = 0x42000000 + 3400;
        std::optional<Bytes> answer;
        try {
            answer = readerControl(kGetFeatureRequest, {});
        } catch (const TransportError&) {
            answer.reset();
        }
        featureList_ = answer.value_or(Bytes{});
    }
    return *featureList_;
}

}  // namespace qel
