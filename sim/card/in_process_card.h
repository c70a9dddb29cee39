#pragma once
#include <memory>
#include <optional>

#include "card/smart_card.h"
#include "sim/card/card_model.h"

namespace qel::sim {

/// The platform card object over a virtual card in the same process: transmit() hands the APDU
/// to the model, sessions do nothing. Tests can pull the card out: every later exchange then
/// fails with TransportError(cardRemoved), as a PC/SC card does.
class InProcessCard : public SmartCard {
public:
    /// Powers the model on.
    explicit InProcessCard(std::shared_ptr<CardModel> model);

    Bytes atr() const override;
    Bytes transmit(const Bytes& apdu) override;
    void beginSession() override;
    void endSession() override {}

    /// Pulls the card out now, or after `exchanges` more successful transmissions.
    void removeCard(int exchanges = 0);
    /// Puts the card back (powered on again: volatile state lost).
    void insertCard();

    CardModel& model() { return *model_; }
    /// Number of APDUs transmitted so far.
    int exchangeCount() const { return exchanges_; }

private:
    std::shared_ptr<CardModel> model_;
    std::optional<int> removeAfter_;
    bool removed_ = false;
    int exchanges_ = 0;
};

}  // namespace qel::sim
