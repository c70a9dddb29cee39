#include "platform/pcsc/token_watcher.h"

#include <algorithm>

#include "common/format.h"
#include "common/logger.h"
#include "platform/pcsc/pcsc_card.h"
#include "platform/pcsc/pcsc_context.h"
#include "platform/pcsc/pcsc_error.h"
#include "platform/pcsc/slot_manager.h"

namespace qel::pcsc {

namespace {

constexpr DWORD kChanged = SCARD_STATE_CHANGED;
constexpr DWORD kGone = SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE | SCARD_STATE_IGNORE;

// pcsc-lite counts card insertions and removals of a reader in the upper 16 bits of its state, so a
// card swapped between two waits still shows as a new card.
DWORD eventCounter(DWORD state) { return state >> 16; }

template <typename Handler, typename... Args>
void callSafely(const Handler& handler, const char* what, Args&&... args) {
    if (!handler) return;
    try {
        handler(std::forward<Args>(args)...);
    } catch (const std::exception& e) {
        logError(format("TokenWatcher : %s handler failed: %s", what, e.what()));
    } catch (...) {
        logError(format("TokenWatcher : %s handler failed", what));
    }
}

}  // namespace

TokenWatcher::TokenWatcher(std::shared_ptr<PcscApi> api, SerialReader readSerial)
    : TokenWatcher(std::move(api), std::move(readSerial), Options{}) {}

TokenWatcher::TokenWatcher(std::shared_ptr<PcscApi> api, SerialReader readSerial, Options options)
    : api_(std::move(api)), readSerial_(std::move(readSerial)), options_(options) {}

TokenWatcher::~TokenWatcher() { stop(); }

void TokenWatcher::setInsertionHandler(TokenHandler handler) {
    std::lock_guard lock(mutex_);
    insertion_ = std::move(handler);
}

void TokenWatcher::addRemovalHandler(TokenHandler handler, const std::string& tokenID) {
    std::lock_guard lock(mutex_);
    removalHandlers_.emplace(tokenID, std::move(handler));
}

void TokenWatcher::setRemovalHandler(TokenHandler handler) {
    std::lock_guard lock(mutex_);
    removal_ = std::move(handler);
}

void TokenWatcher::setServiceHandler(ServiceHandler handler) {
    std::lock_guard lock(mutex_);
    service_ = std::move(handler);
}

void TokenWatcher::start() {
    std::lock_guard lock(mutex_);
    if (thread_.joinable() || stopping_) return;
    thread_ = std::thread([this] { run(); });
}

void TokenWatcher::stop() {
    std::unique_lock lock(mutex_);
    stopping_ = true;
    wake_.notify_all();
    if (!thread_.joinable()) return;
    // A cancel sent just before the thread enters its wait is lost; send it again until the thread
    // has seen the stop.
    while (!finished_) {
        if (waiting_) api_->cancel(waitContext_);
        wake_.wait_for(lock, std::chrono::milliseconds(20));
    }
    lock.unlock();
    thread_.join();
}

std::vector<std::string> TokenWatcher::tokenIDs() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> ids;
    for (const std::string& name : readerOrder_) {
        auto it = readers_.find(name);
        if (it != readers_.end() && !it->second.token.empty()) ids.push_back(it->second.token);
    }
    return ids;
}

std::string TokenWatcher::readerOfToken(const std::string& tokenID) const {
    std::lock_guard lock(mutex_);
    for (const auto& [name, reader] : readers_)
        if (reader.token == tokenID) return name;
    return {};
}

bool TokenWatcher::waitForRetry(std::chrono::milliseconds pause) {
    std::unique_lock lock(mutex_);
    wake_.wait_for(lock, pause, [this] { return stopping_; });
    return !stopping_;
}

void TokenWatcher::run() {
    auto pause = options_.firstRetry;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) break;
        }
        std::shared_ptr<PcscContext> context;
        try {
            context = std::make_shared<PcscContext>(api_);
        } catch (const TransportError& e) {
            if (lastService_ != ServiceState::unavailable)
                logWarning(format("TokenWatcher : smart-card service not available (%s)", e.what()));
            reportService(ServiceState::unavailable);
            if (!waitForRetry(pause)) break;
            pause = std::min(pause * 2, options_.maxRetry);
            continue;
        }
        pause = options_.firstRetry;
        reportService(ServiceState::available);
        serveContext(context);
        {
            std::lock_guard lock(mutex_);
            waitContext_ = 0;
            if (stopping_) break;
        }
        // The service went away: its cards can no longer be reached.
        removeAll();
        reportService(ServiceState::unavailable);
    }
    std::lock_guard lock(mutex_);
    finished_ = true;
    wake_.notify_all();
}

void TokenWatcher::serveContext(const std::shared_ptr<PcscContext>& context) {
    std::vector<std::string> order;
    refreshReaderList(*context, order);
    DWORD pnpState = SCARD_STATE_UNAWARE;
    for (;;) {
        std::vector<SCARD_READERSTATE> states(order.size() + 1);
        {
            std::lock_guard lock(mutex_);
            for (std::size_t i = 0; i < order.size(); ++i) {
                states[i].szReader = order[i].c_str();
                states[i].dwCurrentState = readers_[order[i]].knownState;
            }
        }
        states.back().szReader = kPnpNotification;
        states.back().dwCurrentState = pnpState;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            waiting_ = true;
            waitContext_ = context->handle();
        }
        LONG rv = api_->getStatusChange(context->handle(), INFINITE, states.data(), static_cast<DWORD>(states.size()));
        {
            std::lock_guard lock(mutex_);
            waiting_ = false;
            if (stopping_) return;
        }
        if (rv == SCARD_E_CANCELLED || rv == SCARD_E_TIMEOUT) continue;
        if (isServiceLost(rv) || rv == SCARD_E_INVALID_HANDLE) {
            logWarning(format("TokenWatcher : smart-card service lost (%s)", std::string(pcscErrorName(rv)).c_str()));
            return;
        }
        if (rv == SCARD_E_UNKNOWN_READER || rv == SCARD_E_READER_UNAVAILABLE) {
            refreshReaderList(*context, order);
            continue;
        }
        if (rv != SCARD_S_SUCCESS) {
            // Unexpected: wait a little before asking again, so that a lasting fault cannot spin.
            logError(format("TokenWatcher : SCardGetStatusChange failed (%s)", std::string(pcscErrorName(rv)).c_str()));
            if (!waitForRetry(options_.firstRetry)) return;
            refreshReaderList(*context, order);
            continue;
        }
        bool relist = false;
        if (states.back().dwEventState & kChanged) {
            pnpState = states.back().dwEventState & ~kChanged;
            relist = true;
        }
        for (std::size_t i = 0; i < order.size(); ++i) {
            if (!(states[i].dwEventState & kChanged)) continue;
            if (states[i].dwEventState & kGone) relist = true;
            onReaderState(context, order[i], states[i]);
        }
        if (relist) refreshReaderList(*context, order);
    }
}

void TokenWatcher::refreshReaderList(PcscContext& context, std::vector<std::string>& order) {
    std::vector<std::string> names;
    LONG rv = api_->listReaders(context.handle(), names);
    if (rv != SCARD_S_SUCCESS) {
        // Keep the previous list; the next wait reports what is wrong.
        logWarning(format("TokenWatcher : SCardListReaders failed (%s)", std::string(pcscErrorName(rv)).c_str()));
        return;
    }
    std::vector<std::string> vanished;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [name, reader] : readers_)
            if (std::find(names.begin(), names.end(), name) == names.end()) vanished.push_back(name);
    }
    for (const std::string& name : vanished) reportRemoved(name);
    std::lock_guard lock(mutex_);
    for (const std::string& name : vanished) readers_.erase(name);
    for (const std::string& name : names) readers_.try_emplace(name);
    readerOrder_ = names;
    order = std::move(names);
}

void TokenWatcher::onReaderState(const std::shared_ptr<PcscContext>& context, const std::string& name,
                                 const SCARD_READERSTATE& state) {
    DWORD now = state.dwEventState & ~kChanged;
    DWORD before;
    bool hadToken;
    {
        std::lock_guard lock(mutex_);
        Reader& reader = readers_[name];
        before = reader.knownState;
        reader.knownState = now;
        hadToken = !reader.token.empty();
    }
    bool cardNow = !(now & kGone) && slotStateFromBits(now) == SlotState::cardPresent;
    bool cardBefore = before != SCARD_STATE_UNAWARE && slotStateFromBits(before) == SlotState::cardPresent;
    bool sameCard = cardBefore && cardNow && eventCounter(before) == eventCounter(now);
    if (sameCard) return;  // only the in-use bits moved (our own connection among others)

    if (hadToken) reportRemoved(name);
    if (!cardNow) return;
    std::optional<std::string> token = readToken(context, name);
    if (token) reportInserted(name, *token);
}

std::optional<std::string> TokenWatcher::readToken(const std::shared_ptr<PcscContext>& context,
                                                   const std::string& reader) {
    try {
        PcscCard card(context, reader);
        CardSession session(card);
        std::optional<std::string> serial = readSerial_ ? readSerial_(card) : std::nullopt;
        if (!serial || serial->empty()) {
            logDebug(format("TokenWatcher : card in [%s] is not a QEL card", reader.c_str()));
            return std::nullopt;
        }
        return std::string(kTokenPrefix) + *serial;
    } catch (const std::exception& e) {
        logWarning(format("TokenWatcher : card in [%s] could not be read: %s", reader.c_str(), e.what()));
    } catch (...) {
        logWarning(format("TokenWatcher : card in [%s] could not be read", reader.c_str()));
    }
    return std::nullopt;
}

void TokenWatcher::reportInserted(const std::string& reader, const std::string& token) {
    TokenHandler handler;
    {
        std::lock_guard lock(mutex_);
        readers_[reader].token = token;
        handler = insertion_;
    }
    logInfo(format("TokenWatcher : token %s inserted in [%s]", token.c_str(), reader.c_str()));
    callSafely(handler, "insertion", token);
}

void TokenWatcher::reportRemoved(const std::string& reader) {
    std::string token;
    std::vector<TokenHandler> handlers;
    {
        std::lock_guard lock(mutex_);
        auto it = readers_.find(reader);
        if (it == readers_.end() || it->second.token.empty()) return;
        token = std::move(it->second.token);
        it->second.token.clear();
        auto [first, last] = removalHandlers_.equal_range(token);
        for (auto h = first; h != last; ++h) handlers.push_back(std::move(h->second));
        removalHandlers_.erase(first, last);
        handlers.push_back(removal_);
    }
    logInfo(format("TokenWatcher : token %s removed from [%s]", token.c_str(), reader.c_str()));
    for (const TokenHandler& handler : handlers) callSafely(handler, "removal", token);
}

void TokenWatcher::removeAll() {
    std::vector<std::string> names;
    {
        std::lock_guard lock(mutex_);
        names = readerOrder_;
    }
    for (const std::string& name : names) reportRemoved(name);
    std::lock_guard lock(mutex_);
    readers_.clear();
    readerOrder_.clear();
}

void TokenWatcher::reportService(ServiceState state) {
    ServiceHandler handler;
    {
        std::lock_guard lock(mutex_);
        if (lastService_ == state) return;
        lastService_ = state;
        handler = service_;
    }
    callSafely(handler, "service", state);
}

}  // namespace qel::pcsc
