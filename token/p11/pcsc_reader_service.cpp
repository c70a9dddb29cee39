#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>

#include "platform/pcsc/pcsc_api.h"
#include "platform/pcsc/pcsc_context.h"
#include "platform/pcsc/pcsc_error.h"
#include "platform/pcsc/slot_manager.h"
#include "token/p11/reader_service.h"

namespace qel::p11 {

namespace {

using namespace qel::pcsc;

// pcsc-lite reports each reader's insertion/removal counter in the high word of its event state.
std::uint32_t eventCount(DWORD state) { return static_cast<std::uint32_t>((state >> 16) & 0xFFFF); }

class PcscReaderService final : public ReaderService {
public:
    PcscReaderService() : api_(systemPcscApi()), slots_(api_) {}

    std::vector<std::string> readers() override { return slots_.slotNames(); }

    std::optional<ReaderStatus> status(const std::string& reader) override {
        for (int attempt = 0;; ++attempt) {
            std::shared_ptr<PcscContext> ctx = context();
            SCARD_READERSTATE state{};
            state.szReader = reader.c_str();
            state.dwCurrentState = SCARD_STATE_UNAWARE;
            const LONG rv = api_->getStatusChange(ctx->handle(), 0, &state, 1);
            if (rv == SCARD_E_UNKNOWN_READER || rv == SCARD_E_READER_UNAVAILABLE) return std::nullopt;
            if ((isServiceLost(rv) || rv == SCARD_E_INVALID_HANDLE) && attempt == 0) {
                dropContext(ctx);
                continue;
            }
            if (rv != SCARD_S_SUCCESS && rv != SCARD_E_TIMEOUT) throw pcscTransportError(rv, "SCardGetStatusChange");
            if (state.dwEventState & (SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE)) return std::nullopt;
            ReaderStatus s;
            s.name = reader;
            s.present = slotStateFromBits(state.dwEventState) == SlotState::cardPresent;
            s.events = eventCount(state.dwEventState);
            s.service = serviceGeneration_;
            if (s.present) s.atr.assign(state.rgbAtr, state.rgbAtr + std::min<DWORD>(state.cbAtr, sizeof state.rgbAtr));
            return s;
        }
    }

    std::unique_ptr<SmartCard> connect(const std::string& reader) override { return slots_.cardInSlot(reader); }

    WaitResult waitForChange(const std::vector<ReaderStatus>& known,
                             std::optional<std::chrono::milliseconds> timeout) override {
        std::shared_ptr<PcscContext> ctx;
        try {
            ctx = std::make_shared<PcscContext>(api_);
        } catch (const TransportError&) {
            // No service to wait on: sleep as a waiter would, so that callers do not spin.
            return sleepFor(timeout ? *timeout : std::chrono::milliseconds(1000));
        }
        if (!registerWait(ctx)) return WaitResult::cancelled;
        struct Unregister {
            PcscReaderService& self;
            std::shared_ptr<PcscContext> ctx;
            ~Unregister() { self.unregisterWait(ctx); }
        } unregister{*this, ctx};

        std::vector<SCARD_READERSTATE> states(known.size() + 1);
        for (std::size_t i = 0; i < known.size(); ++i) {
            states[i].szReader = known[i].name.c_str();
            states[i].dwCurrentState = (known[i].present ? SCARD_STATE_PRESENT : SCARD_STATE_EMPTY) |
                                       (static_cast<DWORD>(known[i].events) << 16);
        }
        // The notification pseudo-reader wakes the wait when readers come or go; its high word is
        // the reader count we know.
        states.back().szReader = kPnpNotification;
        states.back().dwCurrentState = static_cast<DWORD>(known.size()) << 16;
        const DWORD ms = timeout ? static_cast<DWORD>(std::max<long long>(0, timeout->count())) : INFINITE;
        const LONG rv = api_->getStatusChange(ctx->handle(), ms, states.data(), static_cast<DWORD>(states.size()));
        if (rv == SCARD_E_CANCELLED) return WaitResult::cancelled;
        if (rv == SCARD_E_TIMEOUT) return WaitResult::timeout;
        if (rv != SCARD_S_SUCCESS) {
            // The service went away or a reader vanished mid-wait: the caller looks again.
            return WaitResult::changed;
        }
        return WaitResult::changed;
    }

    void cancelWaits() override {
        std::lock_guard lock(waitMutex_);
        cancelled_ = true;
        for (const auto& ctx : waits_) api_->cancel(ctx->handle());
        wake_.notify_all();
    }

private:
    std::shared_ptr<PcscContext> context() {
        std::lock_guard lock(contextMutex_);
        if (!context_) context_ = std::make_shared<PcscContext>(api_);
        return context_;
    }
    void dropContext(const std::shared_ptr<PcscContext>& broken) {
        std::lock_guard lock(contextMutex_);
        if (context_ != broken) return;
        context_.reset();
        // Every card connection of the lost service is dead: tokens built over them must go.
        ++serviceGeneration_;
    }
    bool registerWait(const std::shared_ptr<PcscContext>& ctx) {
        std::lock_guard lock(waitMutex_);
        if (cancelled_) return false;
        waits_.insert(ctx);
        return true;
    }
    void unregisterWait(const std::shared_ptr<PcscContext>& ctx) {
        std::lock_guard lock(waitMutex_);
        waits_.erase(ctx);
    }
    WaitResult sleepFor(std::chrono::milliseconds pause) {
        std::unique_lock lock(waitMutex_);
        if (wake_.wait_for(lock, pause, [this] { return cancelled_; })) return WaitResult::cancelled;
        return WaitResult::timeout;
    }

    std::shared_ptr<PcscApi> api_;
    SlotManager slots_;
    std::mutex contextMutex_;
    std::shared_ptr<PcscContext> context_;
    std::atomic<std::uint32_t> serviceGeneration_{0};
    std::mutex waitMutex_;
    std::condition_variable wake_;
    bool cancelled_ = false;
    std::set<std::shared_ptr<PcscContext>> waits_;
};

}  // namespace

std::shared_ptr<ReaderService> makePcscReaderService() { return std::make_shared<PcscReaderService>(); }

}  // namespace qel::p11
