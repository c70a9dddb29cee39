#pragma once
#include <p11-kit/pkcs11.h>

#include <functional>
#include <string>

namespace qel {

/// Resets the card in a reader so that it forgets the PIN verified on it; other programs see the
/// reset on their next exchange. True when the card was reset.
using CardResetter = std::function<bool(const std::string& readerName)>;

/// Resets through the machine's smart-card service (a PC/SC reset).
CardResetter pcscCardResetter();

/// The reader a slot stands for, from its description (the issuer library names slots after
/// their readers).
std::string readerNameOfSlot(const CK_SLOT_INFO& info);

}  // namespace qel
