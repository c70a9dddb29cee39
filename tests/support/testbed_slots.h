#pragma once
// Cards put in and taken out of the testbed's readers, waiting on pcscd's events until it sees them.
#include <chrono>
#include <exception>
#include <string>

#include "platform/pcsc/slot_manager.h"
#include "tests/support/testbed_client.h"

namespace qel::testbed {

/// The PC/SC name of the daemon's reader "contact" or "contactless".
inline std::string readerName(const std::string& reader) {
    return reader == "contact" ? kContactReader : kContactlessReader;
}

/// Puts the profile's card in the reader; true once pcscd shows it there.
inline bool insertCard(pcsc::SlotManager& slots, const std::string& reader, const std::string& profileDir) {
    control("insert " + reader + " " + profileDir);
    auto slot = slots.waitForCard(readerName(reader), std::chrono::seconds(5));
    return slot && slot->state == pcsc::SlotState::cardPresent;
}

/// Takes the card out, if there is one, and waits until pcscd sees the reader empty.
inline void removeCard(pcsc::SlotManager& slots, const std::string& reader) {
    try {
        control("remove " + reader);
    } catch (const std::exception&) {
        // Already empty.
    }
    slots.waitForSlotState(readerName(reader), pcsc::SlotState::empty, std::chrono::seconds(5));
}

}  // namespace qel::testbed
