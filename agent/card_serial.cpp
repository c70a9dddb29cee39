#include "agent/card_serial.h"

#include <exception>

#include "card/qel_card.h"

namespace qel::agent {

std::optional<std::string> readCardSerial(SmartCard& card) {
    try {
        QELCard qelCard(card, card.atr());
        std::string serial = qelCard.readSerial();
        if (serial.empty()) return std::nullopt;
        return serial;
    } catch (const std::exception&) {
        // An unknown ATR or an unreadable card is simply not one of ours.
        return std::nullopt;
    }
}

}  // namespace qel::agent
