#include "platform/pcsc/pcsc_card.h"

#include "common/format.h"
#include "common/logger.h"
#include "platform/pcsc/pcsc_error.h"

namespace qel::pcsc {

namespace {
constexpr DWORD kProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
// A reader notices a pulled card on its next presence poll (pcscd polls every 400 ms).
constexpr DWORD kRemovalGraceMs = 800;
/// Resets by other programs in a row that a session's start rides out before it reports one.
constexpr int kResetsBeforeTransaction = 4;
}  // namespace

PcscCard::PcscCard(std::shared_ptr<PcscContext> context, std::string reader)
    : context_(std::move(context)), reader_(std::move(reader)) {
    SCARDHANDLE handle = 0;
    LONG rv = context_->api().connect(context_->handle(), reader_, SCARD_SHARE_SHARED, kProtocols, &handle, &protocol_);
    if (rv != SCARD_S_SUCCESS) throw pcscTransportError(rv, "SCardConnect");
    handle_ = PcscCardHandle(context_, handle);
    readStatus();
}

PcscCard::~PcscCard() {
    // The transaction must end before the handle goes.
    transaction_.reset();
}

void PcscCard::readStatus() {
    DWORD state = 0;
    DWORD protocol = protocol_;
    Bytes atr;
    LONG rv = handle_.api().status(handle_.get(), atr, &state, &protocol);
    if (rv == SCARD_W_RESET_CARD) {
        // Reset by another application between our connection and this look.
        reconnectAfterReset();
        return;
    }
    if (rv != SCARD_S_SUCCESS) throw pcscTransportError(rv, "SCardStatus");
    atr_ = std::move(atr);
    if (protocol == SCARD_PROTOCOL_T0 || protocol == SCARD_PROTOCOL_T1) protocol_ = protocol;
}

void PcscCard::reconnectAfterReset() {
    logDebug(format("PC/SC : card in [%s] was reset by another application, reconnecting", reader_.c_str()));
    ++foreignResets_;
    bool hadTransaction = transaction_.has_value();
    if (transaction_) {
        // The reset already ended the transaction on the service side.
        transaction_->end();
        transaction_.reset();
    }
    LONG rv = handle_.api().reconnect(handle_.get(), SCARD_SHARE_SHARED, kProtocols, SCARD_LEAVE_CARD, &protocol_);
    if (rv != SCARD_S_SUCCESS) {
        sessionDepth_ = 0;
        throw pcscTransportError(rv, "SCardReconnect");
    }
    readStatus();
    if (hadTransaction) {
        transaction_.emplace(handle_.api(), handle_.get(), rv);
        if (rv != SCARD_S_SUCCESS) {
            transaction_.reset();
            sessionDepth_ = 0;
            throw pcscTransportError(rv, "SCardBeginTransaction");
        }
    }
}

Bytes PcscCard::transmit(const Bytes& apdu) {
    Bytes response;
    LONG rv = handle_.api().transmit(handle_.get(), protocol_, apdu, response);
    if (rv == SCARD_W_RESET_CARD) {
        reconnectAfterReset();
        rv = handle_.api().transmit(handle_.get(), protocol_, apdu, response);
    }
    if (rv != SCARD_S_SUCCESS) {
        wipeBytes(response);
        if (transportKind(rv) != TransportError::Kind::communication) throw pcscTransportError(rv, "SCardTransmit");
        throwBrokenExchange(pcscTransportError(rv, "SCardTransmit"));
    }
    if (response.size() < 2) {
        wipeBytes(response);
        throwBrokenExchange(
            TransportError(TransportError::Kind::communication, 0, "card answer shorter than a status word"));
    }
    // The caller wipes the answer once it has taken what it needs (SmartCard::send).
    return response;
}

std::optional<Bytes> PcscCard::readerControl(std::uint32_t code, const Bytes& input) {
    Bytes output;
    LONG rv = handle_.api().control(handle_.get(), code, input, output);
    if (rv == SCARD_W_RESET_CARD) {
        reconnectAfterReset();
        rv = handle_.api().control(handle_.get(), code, input, output);
    }
    if (rv == SCARD_E_UNSUPPORTED_FEATURE) return std::nullopt;
    if (rv != SCARD_S_SUCCESS) throw pcscTransportError(rv, "SCardControl");
    return output;
}

bool PcscCard::cardLeftReader() {
    SCARD_READERSTATE state{};
    state.szReader = reader_.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    PcscApi& api = context_->api();
    LONG check = api.getStatusChange(context_->handle(), 0, &state, 1);
    if (check == SCARD_S_SUCCESS && (state.dwEventState & SCARD_STATE_PRESENT)) {
        state.dwCurrentState = state.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
        check = api.getStatusChange(context_->handle(), kRemovalGraceMs, &state, 1);
    }
    return check == SCARD_S_SUCCESS && !(state.dwEventState & SCARD_STATE_PRESENT);
}

void PcscCard::throwBrokenExchange(const TransportError& error) {
    // A card pulled out in the middle of an exchange shows first as a broken exchange (an error, or
    // an answer cut short); the reader reports the card gone a moment later. Only the reader state
    // tells the two apart, so it is asked before the error is named.
    if (cardLeftReader()) {
        logDebug(format("PC/SC : card pulled out of [%s] during an exchange", reader_.c_str()));
        throw TransportError(TransportError::Kind::cardRemoved, static_cast<long>(SCARD_W_REMOVED_CARD),
                             error.what() + std::string(", card removed"));
    }
    throw error;
}

void PcscCard::resetSecurityState() {
    transaction_.reset();
    sessionDepth_ = 0;
    LONG rv = handle_.api().reconnect(handle_.get(), SCARD_SHARE_SHARED, kProtocols, SCARD_RESET_CARD, &protocol_);
    if (rv != SCARD_S_SUCCESS) throw pcscTransportError(rv, "SCardReconnect");
    readStatus();
}

std::uint32_t PcscCard::resetsByOthers() {
    Bytes atr;
    DWORD state = 0;
    DWORD protocol = protocol_;
    const LONG rv = handle_.api().status(handle_.get(), atr, &state, &protocol);
    // Any other answer (a card pulled out, a lost service) shows in the next exchange and in the
    // reader's state, which the callers look at.
    if (rv == SCARD_W_RESET_CARD) reconnectAfterReset();
    return foreignResets_;
}

void PcscCard::beginSession() {
    if (sessionDepth_ > 0) {
        ++sessionDepth_;
        return;
    }
    LONG rv = SCARD_S_SUCCESS;
    transaction_.emplace(handle_.api(), handle_.get(), rv);
    // Programs that end their logins one after the other may reset the card again between our
    // reconnection and our transaction: the card is still there, so a few resets in a row are news,
    // not a failure (inside the transaction no one else can reset it).
    for (int resets = 0; rv == SCARD_W_RESET_CARD && resets < kResetsBeforeTransaction; ++resets) {
        transaction_.reset();
        reconnectAfterReset();
        transaction_.emplace(handle_.api(), handle_.get(), rv);
    }
    if (rv != SCARD_S_SUCCESS) {
        transaction_.reset();
        throw pcscTransportError(rv, "SCardBeginTransaction");
    }
    sessionDepth_ = 1;
}

void PcscCard::endSession() {
    if (sessionDepth_ == 0) return;
    if (--sessionDepth_ > 0) return;
    if (!transaction_) return;
    LONG rv = transaction_->end();
    transaction_.reset();
    if (rv != SCARD_S_SUCCESS) throw pcscTransportError(rv, "SCardEndTransaction");
}

}  // namespace qel::pcsc
