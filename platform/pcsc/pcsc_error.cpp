#include "platform/pcsc/pcsc_error.h"

#include <PCSC/pcsclite.h>

#include <string>

#include "common/format.h"

namespace qel::pcsc {

namespace {

struct Entry {
    LONG rv;
    const char* name;
    TransportError::Kind kind;
};

using K = TransportError::Kind;

// Codes not listed are communication failures.
constexpr Entry kEntries[] = {
    {SCARD_W_REMOVED_CARD, "SCARD_W_REMOVED_CARD", K::cardRemoved},
    {SCARD_E_NO_SMARTCARD, "SCARD_E_NO_SMARTCARD", K::cardRemoved},
    // Once a card has gone, pcscd forgets the handle's reader context: later calls on the old
    // handle report an invalid handle, which for the caller means the same thing.
    {SCARD_E_INVALID_HANDLE, "SCARD_E_INVALID_HANDLE", K::cardRemoved},
    {SCARD_E_READER_UNAVAILABLE, "SCARD_E_READER_UNAVAILABLE", K::noReader},
    {SCARD_E_UNKNOWN_READER, "SCARD_E_UNKNOWN_READER", K::noReader},
    {SCARD_E_NO_READERS_AVAILABLE, "SCARD_E_NO_READERS_AVAILABLE", K::noReader},
    {SCARD_E_NO_SERVICE, "SCARD_E_NO_SERVICE", K::noService},
    {SCARD_E_SERVICE_STOPPED, "SCARD_E_SERVICE_STOPPED", K::noService},
    {SCARD_E_TIMEOUT, "SCARD_E_TIMEOUT", K::timeout},
    {SCARD_W_RESET_CARD, "SCARD_W_RESET_CARD", K::communication},
    {SCARD_W_UNPOWERED_CARD, "SCARD_W_UNPOWERED_CARD", K::communication},
    {SCARD_W_UNRESPONSIVE_CARD, "SCARD_W_UNRESPONSIVE_CARD", K::communication},
    {SCARD_W_UNSUPPORTED_CARD, "SCARD_W_UNSUPPORTED_CARD", K::communication},
    {SCARD_E_SHARING_VIOLATION, "SCARD_E_SHARING_VIOLATION", K::communication},
    {SCARD_E_NOT_TRANSACTED, "SCARD_E_NOT_TRANSACTED", K::communication},
    {SCARD_E_PROTO_MISMATCH, "SCARD_E_PROTO_MISMATCH", K::communication},
    {SCARD_E_CANCELLED, "SCARD_E_CANCELLED", K::communication},
    {SCARD_E_INSUFFICIENT_BUFFER, "SCARD_E_INSUFFICIENT_BUFFER", K::communication},
    {SCARD_E_INVALID_PARAMETER, "SCARD_E_INVALID_PARAMETER", K::communication},
    {SCARD_E_INVALID_VALUE, "SCARD_E_INVALID_VALUE", K::communication},
    {SCARD_E_NO_MEMORY, "SCARD_E_NO_MEMORY", K::communication},
    {SCARD_E_NOT_READY, "SCARD_E_NOT_READY", K::communication},
    {SCARD_E_CARD_UNSUPPORTED, "SCARD_E_CARD_UNSUPPORTED", K::communication},
    {SCARD_E_COMM_DATA_LOST, "SCARD_E_COMM_DATA_LOST", K::communication},
    {SCARD_F_COMM_ERROR, "SCARD_F_COMM_ERROR", K::communication},
    {SCARD_F_INTERNAL_ERROR, "SCARD_F_INTERNAL_ERROR", K::communication},
    {SCARD_F_UNKNOWN_ERROR, "SCARD_F_UNKNOWN_ERROR", K::communication},
    {SCARD_E_UNSUPPORTED_FEATURE, "SCARD_E_UNSUPPORTED_FEATURE", K::communication},
};

const Entry* find(LONG rv) {
    for (const Entry& e : kEntries)
        if (e.rv == rv) return &e;
    return nullptr;
}

}  // namespace

TransportError::Kind transportKind(LONG rv) {
    const Entry* e = find(rv);
    return e ? e->kind : K::communication;
}

std::string_view pcscErrorName(LONG rv) {
    if (rv == SCARD_S_SUCCESS) return "SCARD_S_SUCCESS";
    const Entry* e = find(rv);
    if (e) return e->name;
    return "SCARD_unknown";
}

TransportError pcscTransportError(LONG rv, std::string_view operation) {
    std::string what = std::string(operation) + ": " + std::string(pcscErrorName(rv)) +
                       format(" (0x%08lX)", static_cast<unsigned long>(rv) & 0xFFFFFFFFUL);
    return TransportError(transportKind(rv), static_cast<long>(rv), what);
}

bool isServiceLost(LONG rv) { return rv == SCARD_E_NO_SERVICE || rv == SCARD_E_SERVICE_STOPPED; }

}  // namespace qel::pcsc
