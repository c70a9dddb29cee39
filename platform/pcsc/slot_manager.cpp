#include "platform/pcsc/slot_manager.h"

#include <cstring>

#include "platform/pcsc/pcsc_error.h"

namespace qel::pcsc {

SlotState slotStateFromBits(DWORD eventState) {
    if (!(eventState & SCARD_STATE_PRESENT)) return SlotState::empty;
    if (eventState & SCARD_STATE_MUTE) return SlotState::mute;
    return SlotState::cardPresent;
}

SlotManager::SlotManager(std::shared_ptr<PcscApi> api) : api_(std::move(api)) {}

std::shared_ptr<PcscContext> SlotManager::context() {
    std::lock_guard lock(mutex_);
    if (!context_) context_ = std::make_shared<PcscContext>(api_);
    return context_;
}

void SlotManager::dropContext(const std::shared_ptr<PcscContext>& broken) {
    std::lock_guard lock(mutex_);
    if (context_ == broken) context_.reset();
}

std::vector<std::string> SlotManager::slotNames() {
    for (int attempt = 0;; ++attempt) {
        auto ctx = context();
        std::vector<std::string> names;
        LONG rv = api_->listReaders(ctx->handle(), names);
        if (rv == SCARD_S_SUCCESS) return names;
        // pcscd restarted under us: one fresh context, then give up.
        if ((isServiceLost(rv) || rv == SCARD_E_INVALID_HANDLE) && attempt == 0) {
            dropContext(ctx);
            continue;
        }
        throw pcscTransportError(rv, "SCardListReaders");
    }
}

std::optional<SlotInfo> SlotManager::query(const std::string& name, DWORD timeoutMs, std::optional<SlotState> wanted) {
    for (int attempt = 0;; ++attempt) {
        auto ctx = context();
        SCARD_READERSTATE state{};
        state.szReader = name.c_str();
        state.dwCurrentState = SCARD_STATE_UNAWARE;
        LONG rv = api_->getStatusChange(ctx->handle(), 0, &state, 1);
        // Waiting for a state: keep handing back the state just seen until the wanted one comes or
        // the time is up.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (rv == SCARD_S_SUCCESS && wanted && slotStateFromBits(state.dwEventState) != *wanted) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            state.dwCurrentState = state.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
            rv = api_->getStatusChange(ctx->handle(), static_cast<DWORD>(left.count()), &state, 1);
            if (rv == SCARD_E_TIMEOUT) rv = SCARD_S_SUCCESS;
            if (rv == SCARD_S_SUCCESS && !(state.dwEventState & SCARD_STATE_CHANGED)) break;
        }
        if (rv == SCARD_E_UNKNOWN_READER || rv == SCARD_E_READER_UNAVAILABLE) return std::nullopt;
        if ((isServiceLost(rv) || rv == SCARD_E_INVALID_HANDLE) && attempt == 0) {
            dropContext(ctx);
            continue;
        }
        if (rv != SCARD_S_SUCCESS) throw pcscTransportError(rv, "SCardGetStatusChange");
        if (state.dwEventState & (SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE)) return std::nullopt;
        SlotInfo info;
        info.name = name;
        info.state = slotStateFromBits(state.dwEventState);
        if (info.state != SlotState::empty) {
            DWORD size = std::min<DWORD>(state.cbAtr, sizeof state.rgbAtr);
            info.atr.assign(state.rgbAtr, state.rgbAtr + size);
        }
        return info;
    }
}

std::optional<SlotInfo> SlotManager::slotNamed(const std::string& name) { return query(name, 0, std::nullopt); }

std::optional<SlotInfo> SlotManager::waitForCard(const std::string& name, std::chrono::milliseconds timeout) {
    return waitForSlotState(name, SlotState::cardPresent, timeout);
}

std::optional<SlotInfo> SlotManager::waitForSlotState(const std::string& name, SlotState wanted,
                                                      std::chrono::milliseconds timeout) {
    return query(name, static_cast<DWORD>(std::max<long long>(0, timeout.count())), wanted);
}

std::unique_ptr<PcscCard> SlotManager::cardInSlot(const std::string& name) {
    auto info = slotNamed(name);
    if (!info || info->state != SlotState::cardPresent) return nullptr;
    try {
        return std::make_unique<PcscCard>(context(), name);
    } catch (const TransportError& e) {
        // Gone between the look and the connection: same answer as an empty reader.
        if (e.kind() == TransportError::Kind::cardRemoved || e.kind() == TransportError::Kind::noReader) return nullptr;
        throw;
    }
}

}  // namespace qel::pcsc
