#pragma once
#include <PCSC/wintypes.h>

#include <string_view>

#include "card/smart_card.h"

namespace qel::pcsc {

/// The transport-error kind of a PC/SC result code. The one place where PC/SC codes meet the card
/// layer: a card pulled out, no card, a reader gone, the service gone, a time-out; everything else
/// is a communication failure. Not meant for SCARD_S_SUCCESS.
TransportError::Kind transportKind(LONG rv);

/// The PC/SC constant's name ("SCARD_W_REMOVED_CARD"), or "SCARD_unknown" for a code it does not name (the text of
/// pcscTransportError carries the number).
std::string_view pcscErrorName(LONG rv);

/// The error to throw for a failed call: kind from transportKind(), the code kept as platform code,
/// text "<operation>: <name> (0x<code>)".
TransportError pcscTransportError(LONG rv, std::string_view operation);

/// Whether the code means that the service itself is gone (pcscd stopped or restarted), after
/// which the context must be established again.
bool isServiceLost(LONG rv);

}  // namespace qel::pcsc
