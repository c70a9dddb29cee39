#pragma once
// Readers of a fake smart-card service whose cards answer through a function.
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "management/scard/card_readers.h"
#include "common/hex.h"

namespace qel::test {

using Responder = std::function<Bytes(const Bytes& apdu)>;

class FakeCardReaders : public CardReaders {
public:
    struct Card {
        Bytes atr;
        Responder respond;
    };

    void addReader(const std::string& name, std::optional<Card> card = std::nullopt) {
        order.push_back(name);
        cards[name] = std::move(card);
    }

    std::vector<std::string> readerNames() override {
        if (!serviceUp) throw TransportError(TransportError::Kind::noService, 0, "SCardEstablishContext");
        return order;
    }
    std::optional<Bytes> cardAtr(const std::string& name) override {
        auto it = cards.find(name);
        if (it == cards.end() || !it->second) return std::nullopt;
        return it->second->atr;
    }
    std::unique_ptr<SmartCard> waitForCard(const std::string& name, std::chrono::milliseconds) override;

    std::vector<std::string> order;
    std::map<std::string, std::optional<Card>> cards;
    bool serviceUp = true;
    std::vector<Bytes> sent;  ///< every command, in order
    int sessions = 0;
    int resets = 0;                     ///< cards reset through a connection
    std::uint32_t resetsElsewhere = 0;  ///< resets by other programs, as every connection learns of them
};

class FakeSmartCard : public SmartCard {
public:
    FakeSmartCard(FakeCardReaders& readers, FakeCardReaders::Card card) : readers_(readers), card_(std::move(card)) {}
    Bytes atr() const override { return card_.atr; }
    Bytes transmit(const Bytes& apdu) override {
        readers_.sent.push_back(apdu);
        return card_.respond ? card_.respond(apdu) : Bytes{0x90, 0x00};
    }
    void beginSession() override { ++readers_.sessions; }
    void endSession() override {}
    void resetSecurityState() override { ++readers_.resets; }
    std::uint32_t resetsByOthers() override { return readers_.resetsElsewhere; }

private:
    FakeCardReaders& readers_;
    FakeCardReaders::Card card_;
};

inline std::unique_ptr<SmartCard> FakeCardReaders::waitForCard(const std::string& name, std::chrono::milliseconds) {
    if (!serviceUp) throw TransportError(TransportError::Kind::noService, 0, "SCardEstablishContext");
    auto it = cards.find(name);
    if (it == cards.end() || !it->second) return nullptr;
    return std::make_unique<FakeSmartCard>(*this, *it->second);
}

inline Bytes hex(const char* text) { return *fromHex(text); }

/// A contactless QEL4 whose DESFire application answers the identity files; `identifierFile` is
/// file 1's content.
inline Responder desfireIdentity(Bytes identifierFile, bool applicationPresent = true) {
    return [identifierFile, applicationPresent](const Bytes& apdu) -> Bytes {
        const std::string c = toHex(apdu);
        if (c ==
            "905A000003565249"
            "00")
            return applicationPresent ? hex("9100") : hex("91A0");
        if (c.rfind("905A", 0) == 0) return hex("9100");
        if (c == "00B0830000")
            return hex(
                "820A08025000001234567890"
                "9000");
        if (c == "00B0820000")
            return hex(
                "81051234567890"
                "9000");
        if (c == "00B0810000") {
            Bytes answer = identifierFile;
            answer.push_back(0x90);
            answer.push_back(0x00);
            return answer;
        }
        return hex("9000");
    };
}

}  // namespace qel::test
