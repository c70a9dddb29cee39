#include "sim/card/in_process_card.h"

namespace qel::sim {

namespace {
// SCARD_W_REMOVED_CARD, the code a PC/SC transport reports for the same situation.
constexpr long kRemovedCard = 0x80100069L;
}  // namespace

InProcessCard::InProcessCard(std::shared_ptr<CardModel> model) : model_(std::move(model)) { model_->powerOn(); }

Bytes InProcessCard::atr() const { return removed_ ? Bytes{} : model_->atr(); }

Bytes InProcessCard::transmit(const Bytes& apdu) {
    if (removeAfter_ && *removeAfter_ <= 0) {
        removed_ = true;
        removeAfter_.reset();
    }
    if (removed_) throw TransportError(TransportError::Kind::cardRemoved, kRemovedCard, "card removed");
    if (removeAfter_) --*removeAfter_;
    ++exchanges_;
    return model_->processApdu(apdu);
}

void InProcessCard::beginSession() {
    if (removed_) throw TransportError(TransportError::Kind::cardRemoved, kRemovedCard, "card removed");
}

void InProcessCard::removeCard(int exchanges) {
    if (exchanges <= 0)
        removed_ = true;
    else
        removeAfter_ = exchanges;
}

void InProcessCard::insertCard() {
    removed_ = false;
    removeAfter_.reset();
    model_->powerOn();
}

}  // namespace qel::sim
