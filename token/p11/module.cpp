#include "token/p11/module.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "common/format.h"
#include "common/logger.h"

namespace qel::p11 {

namespace {

// PKCS#11 has 16 characters for a token serial; the card serial's tail carries the card number.
std::string tokenSerial(const std::string& cardSerial) {
    return cardSerial.size() <= 16 ? cardSerial : cardSerial.substr(cardSerial.size() - 16);
}

}  // namespace

Module::Module(std::shared_ptr<ReaderService> readers, bool adoptionAllowed)
    : readers_(std::move(readers)), adoptionAllowed_(adoptionAllowed) {}

Module::~Module() {
    // The last call in flight after C_Finalize lets the module go: a login it made must not stay.
    try {
        endLogins();
    } catch (const std::exception& e) {
        logError(format("Sigilla : the logins could not be ended : %s", e.what()));
    }
}

const Bytes& Module::applicationID() {
    // Never destroyed: hosts call in from exit handlers, after static destructors have run.
    static const Bytes& aid = *new Bytes{0x80, 0x25, 0x00, 0x00, 0x01, 0xFF, 0x01, 0x00};
    return aid;
}

void Module::refreshSlots() {
    std::vector<std::string> names;
    try {
        names = readers_->readers();
    } catch (const TransportError& e) {
        // Without the smart-card service there is simply no reader; host applications must still load.
        logWarning(format("Sigilla : no reader list : %s", e.what()));
    }
    std::lock_guard lock(mutex_);
    slotOrder_.clear();
    for (const std::string& name : names) {
        auto it = slotIDs_.find(name);
        if (it == slotIDs_.end()) {
            // Slot numbers are never reused, so a stale number never reaches another reader.
            const CK_SLOT_ID id = slotIDs_.size();
            it = slotIDs_.emplace(name, id).first;
            slots_.emplace(id, std::make_shared<Slot>(id, name));
        }
        slotOrder_.push_back(it->second);
    }
}

std::shared_ptr<Slot> Module::slotFor(CK_SLOT_ID id) {
    for (int attempt = 0;; ++attempt) {
        {
            std::lock_guard lock(mutex_);
            auto it = slots_.find(id);
            if (it != slots_.end()) return it->second;
        }
        // An application may use a slot number it kept from before, without listing slots first.
        if (attempt > 0) throw P11Error(CKR_SLOT_ID_INVALID);
        refreshSlots();
    }
}

std::shared_ptr<P11Session> Module::sessionFor(CK_SESSION_HANDLE handle) {
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(handle);
    if (it == sessions_.end()) throw P11Error(CKR_SESSION_HANDLE_INVALID);
    return it->second;
}

std::shared_ptr<TokenInstance> Module::createToken(Slot& slot, const ReaderStatus& status) {
    auto instance = std::make_shared<TokenInstance>();
    instance->smartCard = readers_->connect(slot.reader);
    if (!instance->smartCard) return nullptr;
    {
        CardSession session(*instance->smartCard);
        const std::uint32_t resetsBefore = instance->smartCard->resetsByOthers();
        try {
            instance->token = driver_.createTokenForSmartCard(*instance->smartCard, applicationID());
        } catch (...) {
            // Another application's reset reached the card between two commands of the reading (as
            // the connection was made, or through a service that does not keep transactions apart):
            // the card forgot what was selected. The transaction holds the card now.
            if (isCardRemoval(std::current_exception()) || instance->smartCard->resetsByOthers() == resetsBefore) throw;
            logInfo(
                format("Sigilla : the card in reader [%s] was reset by another application while it was "
                       "read, reading it again",
                       slot.reader.c_str()));
            instance->token = driver_.createTokenForSmartCard(*instance->smartCard, applicationID());
        }
        instance->resets = instance->smartCard->resetsByOthers();
    }
    const auto& items = instance->token->publishedObjects();
    const CK_OBJECT_HANDLE first = nextObject_.fetch_add(items.size() * 2 + 1);
    instance->objects = objectsForItems(items, first);
    instance->insertion = status;
    const QELType type = instance->token->card()->type();
    instance->model = caseName(type);
    instance->serial = tokenSerial(instance->token->instanceID());
    instance->label = instance->model + " " + instance->token->instanceID();
    for (const TokenKey* key : instance->keys())
        for (const auto& [operation, constraint] : key->constraints)
            if (constraint == Constraint::pin) instance->loginRequired = true;
    instance->protectedPath = PinPad::available(*instance->smartCard);
    if (instance->protectedPath)
        logInfo(format("Sigilla : reader [%s] has a keypad: the PIN is typed on the reader", slot.reader.c_str()));
    logInfo(format("Sigilla : token %s ready in reader [%s]", instance->token->tokenID().c_str(), slot.reader.c_str()));
    return instance;
}

bool Module::resetElsewhere(TokenInstance& token) {
    const std::uint32_t seen = token.smartCard->resetsByOthers();
    if (seen == token.resets) return false;
    token.resets = seen;
    return true;
}

namespace {

bool sameContents(const TokenInstance& a, const TokenInstance& b) {
    if (a.token->instanceID() != b.token->instanceID()) return false;
    const auto certificates = [](const TokenInstance& t) {
        std::vector<const Bytes*> values;
        for (const P11Object& o : t.objects)
            if (o.objectClass == CKO_CERTIFICATE && o.certificate) values.push_back(&o.certificate->data);
        return values;
    };
    const auto left = certificates(a);
    const auto right = certificates(b);
    return std::equal(left.begin(), left.end(), right.begin(), right.end(),
                      [](const Bytes* x, const Bytes* y) { return *x == *y; });
}

}  // namespace

std::shared_ptr<TokenInstance> Module::tokenAfterReset(Slot& slot, const ReaderStatus& status) {
    std::shared_ptr<TokenInstance> fresh;
    try {
        fresh = createToken(slot, status);
    } catch (const std::exception& e) {
        logWarning(
            format("Sigilla : the card in reader [%s] reset by another application could not be read "
                   "again : %s",
                   slot.reader.c_str(), e.what()));
    }
    if (fresh && sameContents(*fresh, *slot.token)) {
        // The same card: the sessions go on, but the reset ended any verified PIN.
        if (slot.token->loggedIn)
            logInfo(
                format("Sigilla : card in reader [%s] reset by another application, login ended", slot.reader.c_str()));
        slot.token->loggedIn = false;
        slot.token->loginAdopted = false;
        return slot.token;
    }
    if (fresh)
        logInfo(format("Sigilla : card in reader [%s] reset by another application with new contents",
                       slot.reader.c_str()));
    dropToken(slot);
    slot.token = fresh;
    return fresh;
}

void Module::endLogin(Slot& slot, TokenInstance& token) {
    if (!token.loggedIn) return;
    token.loggedIn = false;
    if (token.loginAdopted) {
        // The application that verified the PIN owns the card's verified state and ends it itself.
        token.loginAdopted = false;
        logInfo(format("Sigilla : login ended, card in reader [%s] left verified by its owner", slot.reader.c_str()));
        return;
    }
    // The card keeps a verified PIN for every application that shares it until it is reset.
    try {
        token.smartCard->resetSecurityState();
        logInfo(format("Sigilla : login ended, card in reader [%s] reset", slot.reader.c_str()));
        // The reset also left the application the token selected when it was built.
        const auto card = token.token->card();
        if (card->type() == QELType::QEL4) {
            CardSession session(*token.smartCard);
            card->ops().selectApplication(card->qelFiles().aid);
        }
    } catch (const std::exception& e) {
        logError(format("Sigilla : login ended, but the card in reader [%s] could not be reset : %s",
                        slot.reader.c_str(), e.what()));
    }
}

void Module::endLogins(bool processEnding) {
    using namespace std::chrono_literals;
    std::vector<std::shared_ptr<Slot>> slots;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [id, slot] : slots_) slots.push_back(slot);
    }
    for (const auto& slot : slots) {
        std::unique_lock lock(slot->cardMutex, std::defer_lock);
        if (processEnding) {
            // Another thread of the ending process may be stuck in an exchange with the card.
            for (int attempt = 0; attempt < 200 && !lock.try_lock(); ++attempt) std::this_thread::sleep_for(10ms);
            if (!lock.owns_lock()) {
                logError(
                    format("Sigilla : the card in reader [%s] is busy as the process ends; its login was not "
                           "ended",
                           slot->reader.c_str()));
                continue;
            }
        } else {
            lock.lock();
        }
        if (slot->token) endLogin(*slot, *slot->token);
    }
}

void Module::dropToken(Slot& slot) {
    if (!slot.token) return;
    logInfo(format("Sigilla : token %s removed from reader [%s]", slot.token->token->tokenID().c_str(),
                   slot.reader.c_str()));
    {
        std::lock_guard lock(mutex_);
        for (auto it = sessions_.begin(); it != sessions_.end();)
            it = it->second->token == slot.token ? sessions_.erase(it) : std::next(it);
    }
    slot.token.reset();
}

bool Module::cardLeft(Slot& slot, const TokenInstance& token) {
    using namespace std::chrono_literals;
    for (int look = 0; look < 10; ++look) {
        if (look > 0) std::this_thread::sleep_for(50ms);
        try {
            const std::optional<ReaderStatus> status = readers_->status(slot.reader);
            if (!status || !status->sameInsertion(token.insertion)) return true;
        } catch (const TransportError&) {
            return false;
        }
    }
    return false;
}

bool Module::stillInserted(Slot& slot, const std::shared_ptr<TokenInstance>& token) {
    if (!token || slot.token != token) return false;
    const std::optional<ReaderStatus> status = readers_->status(slot.reader);
    if (status && status->sameInsertion(token->insertion)) {
        try {
            if (!resetElsewhere(*token)) return true;
        } catch (const TransportError& e) {
            logWarning(format("Sigilla : card in reader [%s] lost after a reset : %s", slot.reader.c_str(), e.what()));
            dropToken(slot);
            return false;
        }
        return tokenAfterReset(slot, *status) == token;
    }
    dropToken(slot);
    return false;
}

std::shared_ptr<TokenInstance> Module::currentToken(Slot& slot) {
    const std::optional<ReaderStatus> status = readers_->status(slot.reader);
    if (slot.token) {
        if (status && status->sameInsertion(slot.token->insertion)) {
            try {
                if (!resetElsewhere(*slot.token)) return slot.token;
                if (auto token = tokenAfterReset(slot, *status)) return token;
            } catch (const TransportError& e) {
                logWarning(
                    format("Sigilla : card in reader [%s] lost after a reset : %s", slot.reader.c_str(), e.what()));
            }
        }
        dropToken(slot);
    }
    if (!status || !status->present || !recogniseAtr(status->atr)) {
        slot.failedInsertion.reset();
        return nullptr;
    }
    if (slot.failedInsertion && slot.failedInsertion->sameInsertion(*status)) return nullptr;
    try {
        slot.token = createToken(slot, *status);
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        // A card pulled out while it was read is simply absent; any other failure leaves this
        // insertion without a token, as the token driver decided.
        if (!isCardRemoval(error)) {
            slot.failedInsertion = status;
            logError(format("Sigilla : no token for the card in reader [%s] (0x%lx)", slot.reader.c_str(),
                            static_cast<unsigned long>(ckrForError(error, CardPhase::tokenCreation))));
        }
        slot.token.reset();
    }
    return slot.token;
}

std::vector<CK_SLOT_ID> Module::slotList(bool tokenPresent) {
    refreshSlots();
    std::vector<std::shared_ptr<Slot>> present;
    {
        std::lock_guard lock(mutex_);
        for (CK_SLOT_ID id : slotOrder_) present.push_back(slots_.at(id));
    }
    {
        // Readers seen for the first time set the starting point of C_WaitForSlotEvent.
        std::lock_guard lock(eventMutex_);
        for (const auto& slot : present) {
            if (baseline_.count(slot->reader)) continue;
            try {
                if (auto status = readers_->status(slot->reader)) baseline_[slot->reader] = *status;
            } catch (const TransportError& e) {
                // The next C_WaitForSlotEvent takes this reader's first state as its starting point.
                logWarning(format("Sigilla : no state for reader [%s] : %s", slot->reader.c_str(), e.what()));
            }
        }
        baselineSeeded_ = true;
    }
    std::vector<CK_SLOT_ID> ids;
    for (const auto& slot : present) {
        if (tokenPresent) {
            std::lock_guard lock(slot->cardMutex);
            try {
                if (!currentToken(*slot)) continue;
            } catch (const TransportError& e) {
                logWarning(format("Sigilla : no token in reader [%s] : %s", slot->reader.c_str(), e.what()));
                continue;
            }
        }
        ids.push_back(slot->id);
    }
    return ids;
}

void Module::slotInfo(CK_SLOT_ID id, CK_SLOT_INFO& info) {
    auto slot = slotFor(id);
    info = CK_SLOT_INFO{};
    padded(info.slotDescription, sizeof info.slotDescription, slot->reader);
    padded(info.manufacturerID, sizeof info.manufacturerID, "Oberlane");
    info.flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT;
    std::lock_guard lock(slot->cardMutex);
    if (currentToken(*slot)) info.flags |= CKF_TOKEN_PRESENT;
}

void Module::tokenInfo(CK_SLOT_ID id, CK_TOKEN_INFO& info) {
    auto slot = slotFor(id);
    std::lock_guard lock(slot->cardMutex);
    auto token = currentToken(*slot);
    if (!token) throw P11Error(CKR_TOKEN_NOT_PRESENT);
    CK_ULONG sessions = 0;
    CK_ULONG rwSessions = 0;
    {
        std::lock_guard tables(mutex_);
        for (const auto& [handle, s] : sessions_) {
            if (s->token != token) continue;
            ++sessions;
            if (s->flags & CKF_RW_SESSION) ++rwSessions;
        }
    }
    info = CK_TOKEN_INFO{};
    padded(info.label, sizeof info.label, token->label);
    padded(info.manufacturerID, sizeof info.manufacturerID, "Oberlane");
    padded(info.model, sizeof info.model, token->model);
    padded(info.serialNumber, sizeof info.serialNumber, token->serial);
    // The card's generator answers C_GenerateRandom.
    info.flags = CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED | CKF_RNG;
    if (token->loginRequired) info.flags |= CKF_LOGIN_REQUIRED;
    if (token->pinLocked) info.flags |= CKF_USER_PIN_LOCKED;
    if (token->protectedPath) info.flags |= CKF_PROTECTED_AUTHENTICATION_PATH;
    if (token->triesLeft > 0) info.flags |= CKF_USER_PIN_COUNT_LOW;
    if (token->triesLeft == 1) info.flags |= CKF_USER_PIN_FINAL_TRY;
    info.ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
    info.ulSessionCount = sessions;
    info.ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
    info.ulRwSessionCount = rwSessions;
    const auto [shortestPin, longestPin] = QELAuthOperation::pinLengthRange(token->token->card()->type());
    info.ulMaxPinLen = longestPin;
    info.ulMinPinLen = shortestPin;
    info.ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
    info.ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
    info.ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
    info.ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
    padded(info.utcTime, sizeof info.utcTime, "");
}

std::vector<CK_MECHANISM_TYPE> Module::mechanismList(CK_SLOT_ID id) {
    auto slot = slotFor(id);
    std::lock_guard lock(slot->cardMutex);
    auto token = currentToken(*slot);
    if (!token) throw P11Error(CKR_TOKEN_NOT_PRESENT);
    return tokenMechanisms(token->keys());
}

void Module::mechanismInfo(CK_SLOT_ID id, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO& info) {
    auto slot = slotFor(id);
    std::lock_guard lock(slot->cardMutex);
    auto token = currentToken(*slot);
    if (!token) throw P11Error(CKR_TOKEN_NOT_PRESENT);
    if (!tokenMechanismInfo(token->keys(), type, info)) throw P11Error(CKR_MECHANISM_INVALID);
}

CK_RV Module::waitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID& slotOut) {
    for (;;) {
        if (finalizing_) return CKR_CRYPTOKI_NOT_INITIALIZED;
        refreshSlots();
        std::vector<std::shared_ptr<Slot>> present;
        {
            std::lock_guard lock(mutex_);
            for (CK_SLOT_ID id : slotOrder_) present.push_back(slots_.at(id));
        }
        std::vector<ReaderStatus> known;
        {
            std::lock_guard lock(eventMutex_);
            const bool seeding = !baselineSeeded_;
            baselineSeeded_ = true;
            for (const auto& slot : present) {
                std::optional<ReaderStatus> status;
                try {
                    status = readers_->status(slot->reader);
                } catch (const TransportError& e) {
                    logWarning(format("Sigilla : no state for reader [%s] : %s", slot->reader.c_str(), e.what()));
                }
                if (!status) continue;
                auto it = baseline_.find(slot->reader);
                if (it == baseline_.end()) {
                    baseline_[slot->reader] = *status;
                    // A reader that arrives later is an event of its slot.
                    if (!seeding) {
                        slotOut = slot->id;
                        return CKR_OK;
                    }
                } else if (!status->sameInsertion(it->second)) {
                    it->second = *status;
                    slotOut = slot->id;
                    return CKR_OK;
                }
                known.push_back(*status);
            }
        }
        if (flags & CKF_DONT_BLOCK) return CKR_NO_EVENT;
        // No lock is held while waiting: other threads go on using the cards.
        if (readers_->waitForChange(known, std::nullopt) == ReaderService::WaitResult::cancelled)
            return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
}

void Module::cancelWaits() {
    finalizing_ = true;
    readers_->cancelWaits();
}

CK_SESSION_HANDLE Module::openSession(CK_SLOT_ID id, CK_FLAGS flags) {
    if (!(flags & CKF_SERIAL_SESSION)) throw P11Error(CKR_SESSION_PARALLEL_NOT_SUPPORTED);
    auto slot = slotFor(id);
    std::lock_guard lock(slot->cardMutex);
    auto token = currentToken(*slot);
    if (!token) throw P11Error(CKR_TOKEN_NOT_PRESENT);
    auto session = std::make_shared<P11Session>();
    session->flags = flags & (CKF_SERIAL_SESSION | CKF_RW_SESSION);
    session->slot = slot;
    session->token = token;
    session->sigilla = token->token->createSession(*token->smartCard);
    std::lock_guard tables(mutex_);
    session->handle = nextSession_++;
    sessions_.emplace(session->handle, session);
    return session->handle;
}

void Module::closeSession(CK_SESSION_HANDLE handle) {
    std::shared_ptr<P11Session> session;
    {
        std::lock_guard lock(mutex_);
        auto it = sessions_.find(handle);
        if (it == sessions_.end()) throw P11Error(CKR_SESSION_HANDLE_INVALID);
        session = it->second;
        sessions_.erase(it);
    }
    session->token->token->terminateSession(*session->sigilla);
    // The login belongs to the token while any of the application's sessions is open on it.
    std::lock_guard cardLock(session->slot->cardMutex);
    bool last = false;
    {
        std::lock_guard lock(mutex_);
        last = std::none_of(sessions_.begin(), sessions_.end(),
                            [&](const auto& entry) { return entry.second->token == session->token; });
    }
    if (last) endLogin(*session->slot, *session->token);
}

void Module::closeAllSessions(CK_SLOT_ID id) {
    auto slot = slotFor(id);
    std::lock_guard cardLock(slot->cardMutex);
    {
        std::lock_guard lock(mutex_);
        for (auto it = sessions_.begin(); it != sessions_.end();)
            it = it->second->slot == slot ? sessions_.erase(it) : std::next(it);
    }
    if (slot->token) endLogin(*slot, *slot->token);
}

void Module::sessionInfo(CK_SESSION_HANDLE handle, CK_SESSION_INFO& info) {
    auto session = sessionFor(handle);
    bool loggedIn = false;
    {
        std::lock_guard lock(session->slot->cardMutex);
        loggedIn = session->token->loggedIn;
    }
    const bool rw = session->flags & CKF_RW_SESSION;
    info = CK_SESSION_INFO{};
    info.slotID = session->slot->id;
    info.flags = session->flags;
    info.state = loggedIn ? (rw ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS)
                          : (rw ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION);
    info.ulDeviceError = 0;
}

void Module::generateRandom(CK_SESSION_HANDLE handle, CK_BYTE_PTR out, CK_ULONG length) {
    auto session = sessionFor(handle);
    // Every generation answers GET CHALLENGE with 8 bytes; longer answers are not promised.
    constexpr std::size_t kPiece = 8;
    std::size_t done = 0;
    while (done < length) {
        const std::size_t want = std::min<std::size_t>(kPiece, length - done);
        const Bytes piece = onCard(*session, CardPhase::other,
                                   [&](TokenInstance& token) { return token.token->card()->ops().getChallenge(want); });
        std::copy(piece.begin(), piece.end(), out + done);
        done += piece.size();
    }
}

void Module::seedRandom(CK_SESSION_HANDLE handle) { sessionFor(handle); }

}  // namespace qel::p11
