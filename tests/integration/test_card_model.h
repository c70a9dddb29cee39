#pragma once
#include <atomic>
#include <memory>
#include <string>

#include "sim/card/card_model.h"

namespace qel::sim::testing {

/// A tiny card for the transport tests: GET DATA (INS CA) answers the serial "8025000001" +
/// `cardNumber` as text bytes, VERIFY (INS 20) answers 9000, anything else echoes its data with
/// 9000. Contact and contactless ATRs differ, as a real card's do.
class TestCardModel final : public CardModel {
public:
    TestCardModel(std::string cardNumber, ReaderKind kind) : cardNumber_(std::move(cardNumber)), kind_(kind) {}

    Bytes atr() const override {
        return kind_ == ReaderKind::contact ? Bytes{0x3B, 0x02, 0x14, 0x50} : Bytes{0x3B, 0x81, 0x80, 0x01, 0x80, 0x80};
    }
    void powerOn() override { ++powerOns; }
    Bytes processApdu(const Bytes& command) override {
        Bytes answer;
        if (command.size() >= 2 && command[1] == 0xCA) {
            std::string serial = "8025000001" + cardNumber_;
            answer.assign(serial.begin(), serial.end());
        } else if (command.size() > 5 && command[1] != 0x20) {
            std::size_t lc = command[4];
            answer.assign(command.begin() + 5,
                          command.begin() + 5 + static_cast<long>(std::min(lc, command.size() - 5)));
        }
        answer.push_back(0x90);
        answer.push_back(0x00);
        return answer;
    }

    std::atomic<int> powerOns{0};

private:
    std::string cardNumber_;
    ReaderKind kind_;
};

/// Loader for the daemon: the profile folder's last path element is the card number; a folder
/// named "broken" fails to load.
inline std::unique_ptr<CardModel> loadTestCard(const std::string& dir, ReaderKind kind) {
    std::string number = dir.substr(dir.find_last_of('/') + 1);
    if (number == "broken") throw std::runtime_error("profile.json: unexpected end of input");
    return std::make_unique<TestCardModel>(number, kind);
}

}  // namespace qel::sim::testing
