#include "sim/p11/pcsc_backend.h"

#include <PCSC/reader.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "common/format.h"

namespace qel::simp11 {

namespace {

constexpr DWORD kProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
constexpr const char* kPnpReader = "\\\\?PnP?\\Notification";
constexpr DWORD kWaitSliceMs = 500;

bool serviceGone(LONG rv) {
    return rv == SCARD_E_NO_SERVICE || rv == SCARD_E_SERVICE_STOPPED || rv == SCARD_E_INVALID_HANDLE;
}

}  // namespace

qel::TransportError transportError(LONG rv, const char* during) {
    using Kind = qel::TransportError::Kind;
    Kind kind = Kind::communication;
    switch (rv) {
        case SCARD_W_REMOVED_CARD:
        case SCARD_E_NO_SMARTCARD:
            kind = Kind::cardRemoved;
            break;
        case SCARD_E_READER_UNAVAILABLE:
        case SCARD_E_UNKNOWN_READER:
        case SCARD_E_NO_READERS_AVAILABLE:
            kind = Kind::noReader;
            break;
        case SCARD_E_NO_SERVICE:
        case SCARD_E_SERVICE_STOPPED:
            kind = Kind::noService;
            break;
        case SCARD_E_TIMEOUT:
            kind = Kind::timeout;
            break;
        default:
            break;
    }
    return qel::TransportError(kind, rv, qel::format("%s: %s", during, pcsc_stringify_error(rv)));
}

PcscContext::~PcscContext() { release(); }

bool PcscContext::ensure() {
    if (established_) return true;
    established_ = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context_) == SCARD_S_SUCCESS;
    return established_;
}

void PcscContext::release() {
    if (established_) SCardReleaseContext(context_);
    established_ = false;
    context_ = 0;
}

PcscCard::PcscCard(const std::string& reader) : reader_(reader) {
    if (!context_.ensure()) throw transportError(SCARD_E_NO_SERVICE, "SCardEstablishContext");
    LONG rv = SCardConnect(context_.get(), reader.c_str(), SCARD_SHARE_SHARED, kProtocols, &handle_, &protocol_);
    if (rv != SCARD_S_SUCCESS) throw transportError(rv, "SCardConnect");
    BYTE atr[MAX_ATR_SIZE];
    DWORD atrLen = sizeof atr;
    DWORD state = 0, protocol = 0;
    char name[MAX_READERNAME];
    DWORD nameLen = sizeof name;
    rv = SCardStatus(handle_, name, &nameLen, &state, &protocol, atr, &atrLen);
    if (rv != SCARD_S_SUCCESS) {
        SCardDisconnect(handle_, SCARD_LEAVE_CARD);
        throw transportError(rv, "SCardStatus");
    }
    atr_.assign(atr, atr + atrLen);
}

PcscCard::~PcscCard() { SCardDisconnect(handle_, SCARD_LEAVE_CARD); }

void PcscCard::reconnect() {
    LONG rv = SCardReconnect(handle_, SCARD_SHARE_SHARED, kProtocols, SCARD_LEAVE_CARD, &protocol_);
    if (rv != SCARD_S_SUCCESS) throw transportError(rv, "SCardReconnect");
    resetNotice_ = true;
}

void PcscCard::resetSecurityState() {
    LONG rv = SCardReconnect(handle_, SCARD_SHARE_SHARED, kProtocols, SCARD_RESET_CARD, &protocol_);
    if (rv == SCARD_W_RESET_CARD) {
        // Someone reset it first: our handle has to hear that before it may reset the card itself.
        reconnect();
        rv = SCardReconnect(handle_, SCARD_SHARE_SHARED, kProtocols, SCARD_RESET_CARD, &protocol_);
    }
    if (rv != SCARD_S_SUCCESS) throw transportError(rv, "SCardReconnect");
    // Our own reset is no news to us.
    resetNotice_ = false;
}

bool PcscCard::takeResetNotice() {
    bool notice = resetNotice_;
    resetNotice_ = false;
    return notice;
}

void PcscCard::beginSession() {
    LONG rv = SCardBeginTransaction(handle_);
    // Another program reset the card: whatever it had verified is gone, and so is ours. Programs
    // that end their logins one after the other may reset it again before we get in: the card is
    // still there, so a few resets in a row are news, not a failure.
    for (int resets = 0; rv == SCARD_W_RESET_CARD && resets < 4; ++resets) {
        reconnect();
        rv = SCardBeginTransaction(handle_);
    }
    if (rv != SCARD_S_SUCCESS) throw transportError(rv, "SCardBeginTransaction");
}

void PcscCard::endSession() { SCardEndTransaction(handle_, SCARD_LEAVE_CARD); }

std::optional<Bytes> PcscCard::readerControl(std::uint32_t code, const Bytes& input) {
    Bytes answer(MAX_BUFFER_SIZE_EXTENDED);
    DWORD length = 0;
    LONG rv = SCardControl(handle_, code, input.empty() ? nullptr : input.data(), static_cast<DWORD>(input.size()),
                           answer.data(), static_cast<DWORD>(answer.size()), &length);
    if (rv == SCARD_W_RESET_CARD) {
        reconnect();
        rv = SCardControl(handle_, code, input.empty() ? nullptr : input.data(), static_cast<DWORD>(input.size()),
                          answer.data(), static_cast<DWORD>(answer.size()), &length);
    }
    if (rv == SCARD_E_UNSUPPORTED_FEATURE) return std::nullopt;
    if (rv != SCARD_S_SUCCESS) throw transportError(rv, "SCardControl");
    answer.resize(std::min<std::size_t>(length, answer.size()));
    return answer;
}

Bytes PcscCard::transmit(const Bytes& apdu) {
    Bytes answer(MAX_BUFFER_SIZE_EXTENDED);
    const SCARD_IO_REQUEST* pci = protocol_ == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    DWORD length = static_cast<DWORD>(answer.size());
    LONG rv =
        SCardTransmit(handle_, pci, apdu.data(), static_cast<DWORD>(apdu.size()), nullptr, answer.data(), &length);
    if (rv == SCARD_W_RESET_CARD) {
        reconnect();
        pci = protocol_ == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
        length = static_cast<DWORD>(answer.size());
        rv = SCardTransmit(handle_, pci, apdu.data(), static_cast<DWORD>(apdu.size()), nullptr, answer.data(), &length);
    }
    if (rv != SCARD_S_SUCCESS) throw transportError(rv, "SCardTransmit");
    answer.resize(length);
    return answer;
}

std::vector<std::string> PcscBackend::listReaders(PcscContext& context) {
    std::vector<std::string> names;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!context.ensure()) return names;
        DWORD length = 0;
        LONG rv = SCardListReaders(context.get(), nullptr, nullptr, &length);
        std::string buffer;
        if (rv == SCARD_S_SUCCESS) {
            buffer.resize(length);
            rv = SCardListReaders(context.get(), nullptr, buffer.data(), &length);
            buffer.resize(rv == SCARD_S_SUCCESS ? length : 0);
        }
        if (rv == SCARD_E_NO_READERS_AVAILABLE) return names;
        if (serviceGone(rv)) {
            // pcscd restarted: a fresh context finds it again.
            context.release();
            continue;
        }
        if (rv != SCARD_S_SUCCESS) return names;
        for (std::size_t pos = 0; pos < buffer.size();) {
            std::size_t end = buffer.find('\0', pos);
            if (end == std::string::npos) end = buffer.size();
            if (end > pos) names.emplace_back(buffer.substr(pos, end - pos));
            pos = end + 1;
        }
        return names;
    }
    return names;
}

std::vector<ReaderStatus> PcscBackend::readers() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names = listReaders(context_);
    std::vector<ReaderStatus> out;
    if (names.empty()) return out;
    std::vector<SCARD_READERSTATE> states(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        states[i].szReader = names[i].c_str();
        states[i].dwCurrentState = SCARD_STATE_UNAWARE;
    }
    LONG rv = SCardGetStatusChange(context_.get(), 0, states.data(), static_cast<DWORD>(states.size()));
    for (std::size_t i = 0; i < names.size(); ++i) {
        ReaderStatus r;
        r.name = names[i];
        if (rv == SCARD_S_SUCCESS) {
            DWORD s = states[i].dwEventState;
            r.cardPresent = (s & SCARD_STATE_PRESENT) && !(s & SCARD_STATE_MUTE);
            if (r.cardPresent)
                r.atr.assign(states[i].rgbAtr, states[i].rgbAtr + std::min<DWORD>(states[i].cbAtr, MAX_ATR_SIZE));
            r.eventCount = static_cast<std::uint32_t>(s >> 16);
        }
        out.push_back(std::move(r));
    }
    return out;
}

bool PcscBackend::waitForChange(const std::vector<ReaderStatus>& known) {
    std::lock_guard lock(waitMutex_);
    while (!cancelled_.load()) {
        std::vector<std::string> names = listReaders(waitContext_);
        if (!waitContext_.valid()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kWaitSliceMs));
            continue;
        }
        std::vector<SCARD_READERSTATE> states(names.size() + 1);
        for (std::size_t i = 0; i < names.size(); ++i) {
            states[i].szReader = names[i].c_str();
            states[i].dwCurrentState = SCARD_STATE_UNAWARE;
        }
        states.back().szReader = kPnpReader;
        states.back().dwCurrentState = SCARD_STATE_UNAWARE;
        LONG rv = SCardGetStatusChange(waitContext_.get(), 0, states.data(), static_cast<DWORD>(states.size()));
        if (rv != SCARD_S_SUCCESS && rv != SCARD_E_TIMEOUT) {
            waitContext_.release();
            continue;
        }
        // Something may have changed between the caller's look and ours.
        if (names.size() != known.size()) return true;
        for (std::size_t i = 0; i < names.size(); ++i) {
            DWORD s = states[i].dwEventState;
            bool present = (s & SCARD_STATE_PRESENT) && !(s & SCARD_STATE_MUTE);
            if (names[i] != known[i].name || present != known[i].cardPresent ||
                static_cast<std::uint32_t>(s >> 16) != known[i].eventCount)
                return true;
        }
        for (auto& st : states) st.dwCurrentState = st.dwEventState & ~SCARD_STATE_CHANGED;
        activeWait_.store(waitContext_.get());
        while (!cancelled_.load()) {
            rv = SCardGetStatusChange(waitContext_.get(), kWaitSliceMs, states.data(),
                                      static_cast<DWORD>(states.size()));
            if (rv == SCARD_S_SUCCESS || rv == SCARD_E_CANCELLED) break;
            if (rv != SCARD_E_TIMEOUT) {
                activeWait_.store(0);
                waitContext_.release();
                break;
            }
        }
        activeWait_.store(0);
        if (rv == SCARD_S_SUCCESS) return true;
    }
    cancelled_.store(false);
    return false;
}

void PcscBackend::cancelWait() {
    cancelled_.store(true);
    // The waiter notices the flag within one slice; cancelling its blocking call shortens that.
    if (SCARDCONTEXT ctx = activeWait_.load(); ctx != 0) SCardCancel(ctx);
}

std::unique_ptr<CardChannel> PcscBackend::connect(const std::string& reader) {
    auto card = std::make_unique<PcscCard>(reader);
    auto generation = generationFromAtr(card->atr());
    if (!generation) throw qel::TransportError(qel::TransportError::Kind::communication, 0, "card not recognised");
    return std::make_unique<ApduCard>(std::move(card), *generation);
}

}  // namespace qel::simp11
