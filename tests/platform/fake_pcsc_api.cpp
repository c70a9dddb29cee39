#include "fake_pcsc_api.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace qel::pcsc::testing {

void FakePcscApi::changed() { cv_.notify_all(); }

void FakePcscApi::addReader(const std::string& name) {
    std::lock_guard lock(mutex_);
    order_.push_back(name);
    readers_[name] = Reader{};
    changed();
}

void FakePcscApi::removeReader(const std::string& name) {
    std::lock_guard lock(mutex_);
    order_.erase(std::remove(order_.begin(), order_.end(), name), order_.end());
    readers_.erase(name);
    changed();
}

void FakePcscApi::insertCard(const std::string& reader, const Bytes& atr, bool mute) {
    std::lock_guard lock(mutex_);
    Reader& r = readers_.at(reader);
    r.present = true;
    r.mute = mute;
    r.atr = atr;
    ++r.counter;
    changed();
}

void FakePcscApi::removeCard(const std::string& reader) {
    std::lock_guard lock(mutex_);
    Reader& r = readers_.at(reader);
    r.present = false;
    r.atr.clear();
    ++r.counter;
    changed();
}

void FakePcscApi::swapCard(const std::string& reader, const Bytes& atr) {
    std::lock_guard lock(mutex_);
    Reader& r = readers_.at(reader);
    r.atr = atr;
    r.counter += 2;
    changed();
}

void FakePcscApi::resetCard(const std::string& reader) {
    std::lock_guard lock(mutex_);
    for (auto& [id, h] : handles_)
        if (h.reader == reader) {
            h.resetPending = true;
            h.inTransaction = false;
        }
}

void FakePcscApi::setServiceUp(bool up) {
    std::lock_guard lock(mutex_);
    up_ = up;
    if (!up) {
        contexts_.clear();
        handles_.clear();
    }
    changed();
}

void FakePcscApi::failNextTransmits(std::vector<LONG> results) {
    std::lock_guard lock(mutex_);
    transmitFailures_.assign(results.begin(), results.end());
}

void FakePcscApi::failNextBeginTransactions(std::vector<LONG> results) {
    std::lock_guard lock(mutex_);
    beginFailures_.assign(results.begin(), results.end());
}

void FakePcscApi::setResponder(std::function<Bytes(const std::string&, const Bytes&)> responder) {
    std::lock_guard lock(mutex_);
    responder_ = std::move(responder);
}

int FakePcscApi::establishCount() const {
    std::lock_guard lock(mutex_);
    return establishCount_;
}
int FakePcscApi::reconnectCount() const {
    std::lock_guard lock(mutex_);
    return reconnectCount_;
}
int FakePcscApi::beginCount() const {
    std::lock_guard lock(mutex_);
    return beginCount_;
}
int FakePcscApi::endCount() const {
    std::lock_guard lock(mutex_);
    return endCount_;
}
DWORD FakePcscApi::lastTransmitProtocol() const {
    std::lock_guard lock(mutex_);
    return lastProtocol_;
}

int FakePcscApi::openTransactions() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(
        std::count_if(handles_.begin(), handles_.end(), [](const auto& h) { return h.second.inTransaction; }));
}

int FakePcscApi::openHandles() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(handles_.size());
}

DWORD FakePcscApi::readerBits(const Reader& r) const {
    DWORD bits = r.counter << 16;
    if (!r.present) return bits | SCARD_STATE_EMPTY;
    bits |= SCARD_STATE_PRESENT;
    if (r.mute) bits |= SCARD_STATE_MUTE;
    return bits;
}

LONG FakePcscApi::establishContext(SCARDCONTEXT* context) {
    std::lock_guard lock(mutex_);
    ++establishCount_;
    if (!up_) return SCARD_E_NO_SERVICE;
    *context = nextContext_++;
    contexts_[*context] = false;
    return SCARD_S_SUCCESS;
}

LONG FakePcscApi::releaseContext(SCARDCONTEXT context) {
    std::lock_guard lock(mutex_);
    if (!contexts_.erase(context)) return up_ ? SCARD_E_INVALID_HANDLE : SCARD_E_NO_SERVICE;
    return SCARD_S_SUCCESS;
}

LONG FakePcscApi::listReaders(SCARDCONTEXT context, std::vector<std::string>& readers) {
    std::lock_guard lock(mutex_);
    if (!up_) return SCARD_E_NO_SERVICE;
    if (!contexts_.count(context)) return SCARD_E_INVALID_HANDLE;
    readers = order_;
    return SCARD_S_SUCCESS;
}

LONG FakePcscApi::getStatusChange(SCARDCONTEXT context, DWORD timeoutMs, SCARD_READERSTATE* states, DWORD count) {
    std::unique_lock lock(mutex_);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (!up_) return SCARD_E_NO_SERVICE;
        auto ctx = contexts_.find(context);
        if (ctx == contexts_.end()) return SCARD_E_INVALID_HANDLE;
        if (ctx->second) {
            ctx->second = false;
            return SCARD_E_CANCELLED;
        }
        bool any = false;
        for (DWORD i = 0; i < count; ++i) {
            SCARD_READERSTATE& s = states[i];
            DWORD now;
            if (std::strcmp(s.szReader, kPnpNotification) == 0) {
                now = static_cast<DWORD>(order_.size()) << 16;
            } else {
                auto r = readers_.find(s.szReader);
                if (r == readers_.end()) {
                    if (s.dwCurrentState == SCARD_STATE_UNAWARE) return SCARD_E_UNKNOWN_READER;
                    now = SCARD_STATE_UNKNOWN;
                } else {
                    now = readerBits(r->second);
                    s.cbAtr = static_cast<DWORD>(std::min(r->second.atr.size(), sizeof s.rgbAtr));
                    if (s.cbAtr) std::memcpy(s.rgbAtr, r->second.atr.data(), s.cbAtr);
                }
            }
            bool differs = now != (s.dwCurrentState & ~static_cast<DWORD>(SCARD_STATE_CHANGED));
            s.dwEventState = now | (differs ? SCARD_STATE_CHANGED : 0);
            any = any || differs;
        }
        if (any) return SCARD_S_SUCCESS;
        if (timeoutMs != INFINITE) {
            if (cv_.wait_until(lock, deadline) == std::cv_status::timeout) return SCARD_E_TIMEOUT;
        } else {
            cv_.wait(lock);
        }
    }
}

LONG FakePcscApi::cancel(SCARDCONTEXT context) {
    std::lock_guard lock(mutex_);
    auto ctx = contexts_.find(context);
    if (ctx == contexts_.end()) return SCARD_E_INVALID_HANDLE;
    ctx->second = true;
    changed();
    return SCARD_S_SUCCESS;
}

LONG FakePcscApi::connect(SCARDCONTEXT context, const std::string& reader, DWORD, DWORD protocols, SCARDHANDLE* card,
                          DWORD* activeProtocol) {
    std::lock_guard lock(mutex_);
    if (!up_) return SCARD_E_NO_SERVICE;
    if (!contexts_.count(context)) return SCARD_E_INVALID_HANDLE;
    auto r = readers_.find(reader);
    if (r == readers_.end()) return SCARD_E_UNKNOWN_READER;
    if (!r->second.present) return SCARD_E_NO_SMARTCARD;
    if (r->second.mute) return SCARD_W_UNRESPONSIVE_CARD;
    *card = nextHandle_++;
    handles_[*card] = Handle{reader, r->second.counter, false, false, context};
    *activeProtocol = (protocols & SCARD_PROTOCOL_T1) ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
    return SCARD_S_SUCCESS;
}

LONG FakePcscApi::checkHandle(SCARDHANDLE card, Handle*& handle) {
    if (!up_) return SCARD_E_NO_SERVICE;
    auto h = handles_.find(card);
    if (h == handles_.end()) return SCARD_E_INVALID_HANDLE;
    handle = &h->second;
    auto r = readers_.find(handle->reader);
    if (r == readers_.end()) return SCARD_E_READER_UNAVAILABLE;
    if (!r->second.present || r->second.counter != handle->counter) return SCARD_W_REMOVED_CARD;
    if (handle->resetPending) return SCARD_W_RESET_CARD;
    return SCARD_S_SUCCESS;
}

LONG FakePcscApi::reconnect(SCARDHANDLE card, DWORD, DWORD protocols, DWORD, DWORD* activeProtocol) {
    std::lock_guard lock(mutex_);
    ++reconnectCount_;
    Handle* h = nullptr;
    LONG rv = checkHandle(card, h);
    if (rv != SCARD_S_SUCCESS && rv != SCARD_W_RESET_CARD) return rv;
    h->resetPending = false;
    *activeProtocol = (protocols & SCARD_PROTOCOL_T1) ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
    return SCARD_S_SUCCESS;
}

LONG FakePcscApi::disconnect(SCARDHANDLE card, DWORD) {
    std::lock_guard lock(mutex_);
    return handles_.erase(card) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG FakePcscApi::beginTransaction(SCARDHANDLE card) {
    std::lock_guard lock(mutex_);
    ++beginCount_;
    if (!beginFailures_.empty()) {
        LONG rv = beginFailures_.front();
        beginFailures_.pop_front();
        if (rv != SCARD_S_SUCCESS) return rv;
    }
    Handle* h = nullptr;
    LONG rv = checkHandle(card, h);
    if (rv != SCARD_S_SUCCESS) return rv;
    h->inTransaction = true;
    return SCARD_S_SUCCESS;
}

LONG FakePcscApi::endTransaction(SCARDHANDLE card, DWORD) {
    std::lock_guard lock(mutex_);
    ++endCount_;
    auto h = handles_.find(card);
    if (h != handles_.end()) h->second.inTransaction = false;
    Handle* handle = nullptr;
    return checkHandle(card, handle);
}

LONG FakePcscApi::transmit(SCARDHANDLE card, DWORD protocol, const Bytes& command, Bytes& response) {
    std::function<Bytes(const std::string&, const Bytes&)> responder;
    std::string reader;
    {
        std::lock_guard lock(mutex_);
        lastProtocol_ = protocol;
        if (!transmitFailures_.empty()) {
            LONG rv = transmitFailures_.front();
            transmitFailures_.pop_front();
            if (rv != SCARD_S_SUCCESS) return rv;
        }
        Handle* h = nullptr;
        LONG rv = checkHandle(card, h);
        if (rv != SCARD_S_SUCCESS) return rv;
        responder = responder_;
        reader = h->reader;
    }
    response = responder ? responder(reader, command) : Bytes{0x90, 0x00};
    return SCARD_S_SUCCESS;
}

LONG FakePcscApi::status(SCARDHANDLE card, Bytes& atr, DWORD* state, DWORD* protocol) {
    std::lock_guard lock(mutex_);
    Handle* h = nullptr;
    LONG rv = checkHandle(card, h);
    if (rv != SCARD_S_SUCCESS) return rv;
    atr = readers_[h->reader].atr;
    *state = SCARD_PRESENT;
    *protocol = SCARD_PROTOCOL_T1;
    return SCARD_S_SUCCESS;
}

}  // namespace qel::pcsc::testing
