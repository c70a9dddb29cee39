#include "sim/p11/slot.h"

#include <cstdlib>
#include <cstring>

#include "sim/p11/card_layout.h"

namespace qel::simp11 {

namespace {

constexpr const char* kManufacturer = "Oberlane";

void blankPad(CK_UTF8CHAR* field, std::size_t size, const std::string& text) {
    std::memset(field, ' ', size);
    std::memcpy(field, text.data(), std::min(size, text.size()));
}

}  // namespace

Slot::Slot(CK_SLOT_ID id, std::string readerName, CardBackend& backend, HandleCounter& handles)
    : id_(id), readerName_(std::move(readerName)), backend_(backend), handles_(handles) {}

std::optional<ReaderStatus> Slot::readerStatus() {
    for (ReaderStatus& r : backend_.readers())
        if (r.name == readerName_) return std::move(r);
    return std::nullopt;
}

void Slot::forgetLogin() {
    login_ = Login::none;
    soPuk_.clear();
    if (token_) token_->dropPrivateData();
}

void Slot::loseLogin() {
    if (login_ == Login::none) return;
    for (auto& [handle, s] : sessions_) s.loginLost = true;
    forgetLogin();
}

void Slot::endLogin() {
    for (auto& [handle, s] : sessions_) s.loginLost = false;
    if (login_ == Login::none) return;
    forgetLogin();
    if (!card_) return;
    // As a careless issuer library does, when asked: the card stays verified for its host to end.
    // Tests set it to see that the host's own reset is what ends the PIN.
    const char* careless = std::getenv("QELSIM_LOGIN_END_KEEPS_PIN");
    if (careless && std::string(careless) == "1") return;
    try {
        // A reset someone else made already ended our login; resetting again could end theirs.
        bool resetElsewhere = card_->beginExchange();
        card_->endExchange();
        if (!resetElsewhere) card_->resetCard();
    } catch (...) {
        // A card that is gone has forgotten the PIN as well.
    }
}

void Slot::onCardReset() { loseLogin(); }

bool Slot::sameCardPresent() {
    auto status = readerStatus();
    if (!status || !status->cardPresent) return false;
    return !token_ || (status->eventCount == tokenEventCount_ && status->atr == tokenAtr_);
}

CK_RV Slot::usableObject(CK_OBJECT_HANDLE handle, CK_RV unknown, const P11Object*& object) {
    object = token_->anyObject(handle);
    if (object != nullptr && (!object->isPrivate || loggedIn())) return CKR_OK;
    if (object != nullptr || token_->knowsDataHandle(handle)) return CKR_USER_NOT_LOGGED_IN;
    return unknown;
}

void Slot::dropToken() {
    sessions_.clear();
    forgetLogin();
    token_.reset();
    card_.reset();
    tokenAtr_.clear();
}

CK_RV Slot::ensureToken() {
    auto status = readerStatus();
    bool same =
        token_ && status && status->cardPresent && status->eventCount == tokenEventCount_ && status->atr == tokenAtr_;
    if (token_ && !same) dropToken();
    if (token_) return CKR_OK;
    if (!status || !status->cardPresent) return CKR_TOKEN_NOT_PRESENT;
    if (!generationFromAtr(status->atr)) return CKR_TOKEN_NOT_RECOGNIZED;
    try {
        card_ = backend_.connect(readerName_);
    } catch (...) {
        CK_RV rv = rvFromCurrentException();
        return rv == CKR_DEVICE_REMOVED ? CKR_TOKEN_NOT_PRESENT : rv;
    }
    std::unique_ptr<Token> token;
    CK_RV rv = withCard([&](CardChannel& card) {
        token = Token::read(card, handles_);
        return CKR_OK;
    });
    if (rv != CKR_OK) {
        card_.reset();
        return rv == CKR_DEVICE_REMOVED ? CKR_TOKEN_NOT_PRESENT : rv;
    }
    token_ = std::move(token);
    tokenEventCount_ = status->eventCount;
    tokenAtr_ = status->atr;
    return CKR_OK;
}

CK_RV Slot::enter(CK_SESSION_HANDLE handle, Session*& session) {
    auto it = sessions_.find(handle);
    if (it == sessions_.end()) return CKR_SESSION_HANDLE_INVALID;
    auto status = readerStatus();
    if (!token_ || !status || !status->cardPresent || status->eventCount != tokenEventCount_ ||
        status->atr != tokenAtr_) {
        dropToken();
        return CKR_DEVICE_REMOVED;
    }
    // Another program may have reset the card, and the PIN with it: while logged in, every call
    // asks the card first (a transaction tells, without a command).
    if (login_ != Login::none) {
        if (CK_RV rv = withCard([](CardChannel&) { return CKR_OK; }); rv == CKR_DEVICE_REMOVED) return rv;
    }
    session = &it->second;
    return CKR_OK;
}

CK_RV Slot::getSlotInfo(CK_SLOT_INFO& info) {
    std::lock_guard lock(mutex_);
    auto status = readerStatus();
    // The reader name, one NUL, then blanks: programs match slots to readers by this text.
    std::memset(info.slotDescription, ' ', sizeof info.slotDescription);
    std::size_t n = std::min(readerName_.size(), sizeof info.slotDescription - 1);
    std::memcpy(info.slotDescription, readerName_.data(), n);
    info.slotDescription[n] = '\0';
    blankPad(info.manufacturerID, sizeof info.manufacturerID, kManufacturer);
    info.flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT;
    if (status && status->cardPresent && generationFromAtr(status->atr)) info.flags |= CKF_TOKEN_PRESENT;
    info.hardwareVersion = {1, 0};
    info.firmwareVersion = {1, 0};
    return CKR_OK;
}

CK_RV Slot::tokenPresence() {
    std::lock_guard lock(mutex_);
    auto status = readerStatus();
    if (!status || !status->cardPresent) return CKR_TOKEN_NOT_PRESENT;
    return generationFromAtr(status->atr) ? CKR_OK : CKR_TOKEN_NOT_RECOGNIZED;
}

CK_RV Slot::getTokenInfo(CK_TOKEN_INFO& info) {
    std::lock_guard lock(mutex_);
    if (CK_RV rv = ensureToken(); rv != CKR_OK) return rv;
    PinCounters counters;
    bool keypad = false;
    CK_RV rv = withCard([&](CardChannel& card) {
        counters = card.pinCounters();
        keypad = card.hasKeypad();
        return CKR_OK;
    });
    if (rv == CKR_DEVICE_REMOVED) return CKR_TOKEN_NOT_PRESENT;

    const CardIdentity& id = token_->identity();
    blankPad(info.label, sizeof info.label, id.tokenLabel());
    blankPad(info.manufacturerID, sizeof info.manufacturerID, kManufacturer);
    blankPad(info.model, sizeof info.model, token_->model());
    blankPad(info.serialNumber, sizeof info.serialNumber, id.tokenSerial());

    CK_FLAGS flags = CKF_RNG | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED;
    if (keypad) flags |= CKF_PROTECTED_AUTHENTICATION_PATH;
    auto counterFlags = [&flags](std::optional<int> tries, int max, CK_FLAGS locked, CK_FLAGS finalTry, CK_FLAGS low) {
        if (!tries) return;
        if (*tries == 0) flags |= locked;
        if (*tries == 1) flags |= finalTry;
        if (*tries > 0 && *tries < max) flags |= low;
    };
    counterFlags(counters.pinTries, counters.pinMaxTries.value_or(3), CKF_USER_PIN_LOCKED, CKF_USER_PIN_FINAL_TRY,
                 CKF_USER_PIN_COUNT_LOW);
    counterFlags(counters.pukTries, counters.pukMaxTries.value_or(10), CKF_SO_PIN_LOCKED, CKF_SO_PIN_FINAL_TRY,
                 CKF_SO_PIN_COUNT_LOW);
    info.flags = flags;

    CK_ULONG rw = 0;
    for (const auto& [handle, s] : sessions_) rw += s.readWrite ? 1 : 0;
    info.ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
    info.ulSessionCount = sessions_.size();
    info.ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
    info.ulRwSessionCount = rw;
    info.ulMaxPinLen = 8;
    info.ulMinPinLen = 4;
    info.ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
    info.ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
    info.ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
    info.ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
    info.hardwareVersion = {1, 0};
    info.firmwareVersion = {1, 0};
    std::memset(info.utcTime, ' ', sizeof info.utcTime);
    return CKR_OK;
}

CK_RV Slot::openSession(CK_SESSION_HANDLE handle, CK_FLAGS flags) {
    std::lock_guard lock(mutex_);
    if (!(flags & CKF_SERIAL_SESSION)) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    if (CK_RV rv = ensureToken(); rv != CKR_OK) return rv;
    bool rw = (flags & CKF_RW_SESSION) != 0;
    if (!rw && login_ == Login::so) return CKR_SESSION_READ_WRITE_SO_EXISTS;
    sessions_[handle].readWrite = rw;
    return CKR_OK;
}

CK_RV Slot::closeSession(CK_SESSION_HANDLE handle) {
    std::lock_guard lock(mutex_);
    if (sessions_.erase(handle) == 0) return CKR_SESSION_HANDLE_INVALID;
    // Closing the last session logs the user out.
    if (sessions_.empty()) endLogin();
    return CKR_OK;
}

void Slot::closeAllSessions() {
    std::lock_guard lock(mutex_);
    sessions_.clear();
    endLogin();
}

CK_RV Slot::getSessionInfo(CK_SESSION_HANDLE handle, CK_SESSION_INFO& info) {
    std::lock_guard lock(mutex_);
    Session* s = nullptr;
    if (CK_RV rv = enter(handle, s); rv != CKR_OK) return rv;
    info.slotID = id_;
    switch (login_) {
        case Login::user:
            info.state = s->readWrite ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS;
            break;
        case Login::so:
            info.state = CKS_RW_SO_FUNCTIONS;
            break;
        case Login::none:
            info.state = s->readWrite ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION;
            break;
    }
    info.flags = CKF_SERIAL_SESSION | (s->readWrite ? CKF_RW_SESSION : 0);
    info.ulDeviceError = 0;
    return CKR_OK;
}

}  // namespace qel::simp11
