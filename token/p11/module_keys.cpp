#include <cstring>
#include <optional>

#include "token/p11/module.h"
#include "card/pin_pad.h"
#include "card/status_words.h"
#include "common/format.h"
#include "common/logger.h"
#include "common/secret_bytes.h"

namespace qel::p11 {

namespace {

CK_ULONG signatureLength(const TokenKey& key) {
    if (!key.publicKey.modulus.empty()) return key.publicKey.modulus.size();
    if (key.keySizeInBits > 0) return static_cast<CK_ULONG>((key.keySizeInBits + 7) / 8);
    return 512;  // no size known: the largest RSA key a card holds
}

// The card forgets a verified PIN when it is reset; the module's login follows it.
template <typename Operation>
Bytes runKeyOperation(TokenInstance& token, Operation&& operation) {
    try {
        return operation();
    } catch (const CardError& e) {
        if (e.code() == CardError::authenticationNeeded) token.loggedIn = token.loginAdopted = false;
        throw;
    }
}

// Keys whose use needs the PIN work only after C_Login. A login taken over from the application that
// verified the card reaches the authentication key only: a signature that commits its holder needs
// the holder's PIN given to this module.
void requireLogin(const TokenKey& key, TokenOperation operation, const TokenInstance& token) {
    if (key.constraint(operation) != Constraint::pin) return;
    if (!token.loggedIn || (token.loginAdopted && key.type != KeyType::AUTH_KEY))
        throw P11Error(CKR_USER_NOT_LOGGED_IN);
}

// A null buffer asks for the length; a short one gets CKR_BUFFER_TOO_SMALL. Either way the length
// needed is given back and the operation goes on. Nothing when the buffer is large enough.
std::optional<CK_RV> lengthOnly(CK_BYTE_PTR buffer, CK_ULONG& length, CK_ULONG needed) {
    if (buffer != nullptr && length >= needed) return std::nullopt;
    length = needed;
    return buffer == nullptr ? CKR_OK : CKR_BUFFER_TOO_SMALL;
}

// The tries the card reported with a refused PIN, −1 when it did not say.
int triesLeftIn(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const CardError& e) {
        const StatusWordMeaning meaning = statusWordMeaning(e.statusWord());
        return meaning.status == CardStatus::triesLeft ? meaning.triesLeft : -1;
    } catch (...) {
        return -1;
    }
}

void deliver(const Bytes& output, CK_BYTE_PTR buffer, CK_ULONG& length) {
    if (!output.empty()) std::memcpy(buffer, output.data(), output.size());
    length = output.size();
}

/// Opens the PIN operation a keypad entry goes through. A blocked card fails here, before the holder
/// is asked to type; a pulled card goes up as it is, for the caller's removal handling.
CK_RV beginKeypadEntry(SigillaSession& sigilla, TokenInstance& token, std::unique_ptr<QELAuthOperation>& auth) {
    try {
        auth = sigilla.beginAuthForOperation(static_cast<int>(TokenOperation::signData), Constraint::pin);
        return CKR_OK;
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        if (isCardRemoval(error)) std::rethrow_exception(error);
        const CK_RV failure = ckrForError(error, CardPhase::pinCheck);
        if (failure == CKR_PIN_LOCKED) token.pinLocked = true;
        return failure;
    }
}

}  // namespace

void Module::login(CK_SESSION_HANDLE handle, CK_USER_TYPE user, std::string_view pin) {
    if (user == CKU_CONTEXT_SPECIFIC) throw P11Error(CKR_OPERATION_NOT_INITIALIZED);
    if (user != CKU_USER) throw P11Error(CKR_USER_TYPE_INVALID);
    if (pin.size() < 4 || pin.size() > 8) throw P11Error(CKR_PIN_LEN_RANGE);
    auto session = sessionFor(handle);
    std::lock_guard sessionLock(session->mutex);
    // A PIN the card's VERIFY block cannot carry would only be refused by the card, as a wrong PIN.
    const auto [shortest, longest] = QELAuthOperation::pinLengthRange(session->token->token->card()->type());
    if (pin.size() < shortest || pin.size() > longest) throw P11Error(CKR_PIN_LEN_RANGE);
    onCard(*session, CardPhase::pinCheck, [&](TokenInstance& token) {
        if (token.loggedIn) throw P11Error(CKR_USER_ALREADY_LOGGED_IN);
        auto fail = [&](const std::exception_ptr& error, CardPhase phase) {
            if (isCardRemoval(error)) std::rethrow_exception(error);
            const CK_RV rv = ckrForError(error, phase);
            if (rv == CKR_PIN_LOCKED) token.pinLocked = true;
            if (rv == CKR_PIN_INCORRECT) token.triesLeft = triesLeftIn(error);
            throw P11Error(rv);
        };
        std::unique_ptr<QELAuthOperation> auth;
        try {
            // A blocked card fails here, before any PIN is handed to it.
            auth = session->sigilla->beginAuthForOperation(static_cast<int>(TokenOperation::signData), Constraint::pin);
        } catch (...) {
            fail(std::current_exception(), CardPhase::pinCheck);
        }
        auth->setPIN(pin);
        std::exception_ptr error;
        if (!auth->finishWithError(error))
            fail(error,
                 auth->failedStep() == QELAuthOperation::Step::verify ? CardPhase::pinVerify : CardPhase::pinCheck);
        token.loggedIn = true;
        token.loginAdopted = false;
        token.pinLocked = false;
        token.triesLeft = -1;
        return 0;
    });
}

CK_RV Module::keypadOutcome(TokenInstance& token, const PinPadResult& result, const char* what) {
    switch (result.outcome) {
        case PinPadOutcome::verified:
            token.pinLocked = false;
            token.triesLeft = -1;
            return CKR_OK;
        case PinPadOutcome::wrongPin:
            token.triesLeft = result.triesLeft;
            logWarning(
                format("Sigilla : %s on the reader's keypad : wrong PIN, %d tries left", what, result.triesLeft));
            return CKR_PIN_INCORRECT;
        case PinPadOutcome::blocked:
            token.pinLocked = true;
            token.triesLeft = 0;
            return CKR_PIN_LOCKED;
        case PinPadOutcome::cancelled:
            logInfo(format("Sigilla : %s on the reader's keypad cancelled by the holder", what));
            return CKR_FUNCTION_CANCELED;
        case PinPadOutcome::timedOut:
            logWarning(format("Sigilla : %s on the reader's keypad timed out: no PIN was typed", what));
            return CKR_FUNCTION_FAILED;
        case PinPadOutcome::wrongLength:
            return CKR_PIN_LEN_RANGE;
        case PinPadOutcome::entriesDiffer:
            logWarning(format("Sigilla : %s on the reader's keypad : the new PIN and its confirmation differ", what));
            return CKR_PIN_INVALID;
        case PinPadOutcome::failed:
            break;
    }
    logError(format("Sigilla : %s on the reader's keypad : the card answered 0x%04x", what, result.statusWord));
    return CKR_DEVICE_ERROR;
}

void Module::loginWithoutPin(CK_SESSION_HANDLE handle, CK_USER_TYPE user) {
    auto session = sessionFor(handle);
    if (user != CKU_USER || !session->token->protectedPath) return adoptLogin(handle, user);
    if (adoptionAllowed_) {
        // A host that takes over verified cards keeps doing so in a keypad reader.
        std::unique_lock sessionLock(session->mutex);
        const bool verified = onCard(*session, CardPhase::pinCheck,
                                     [&](TokenInstance&) { return session->sigilla->cardAlreadyVerified(); });
        sessionLock.unlock();
        if (verified) return adoptLogin(handle, user);
    }
    std::lock_guard sessionLock(session->mutex);
    const CK_RV rv = onCard(*session, CardPhase::pinCheck, [&](TokenInstance& token) -> CK_RV {
        if (token.loggedIn) throw P11Error(CKR_USER_ALREADY_LOGGED_IN);
        std::unique_ptr<QELAuthOperation> auth;
        if (const CK_RV failure = beginKeypadEntry(*session->sigilla, token, auth); failure != CKR_OK) return failure;
        logInfo("Sigilla : waiting for the PIN on the reader's keypad");
        const CK_RV outcome = keypadOutcome(token, PinPad::verifyPin(*auth->smartCard, auth->card->type()), "login");
        if (outcome == CKR_OK) {
            token.loggedIn = true;
            token.loginAdopted = false;
        }
        return outcome;
    });
    if (rv != CKR_OK) throw P11Error(rv);
}

void Module::changePinOnKeypad(CK_SESSION_HANDLE handle) {
    auto session = sessionFor(handle);
    if (!session->token->protectedPath) throw P11Error(CKR_ARGUMENTS_BAD);
    if (!(session->flags & CKF_RW_SESSION)) throw P11Error(CKR_SESSION_READ_ONLY);
    std::lock_guard sessionLock(session->mutex);
    bool resetAfter = false;
    const CK_RV rv = onCard(*session, CardPhase::pinCheck, [&](TokenInstance& token) -> CK_RV {
        std::unique_ptr<QELAuthOperation> auth;
        if (const CK_RV failure = beginKeypadEntry(*session->sigilla, token, auth); failure != CKR_OK) return failure;
        if (!pinCommandFormat(auth->card->type(), true)) return CKR_FUNCTION_NOT_SUPPORTED;
        logInfo("Sigilla : waiting for the PIN change on the reader's keypad");
        const CK_RV outcome =
            keypadOutcome(token, PinPad::changePin(*auth->smartCard, auth->card->type()), "PIN change");
        if (outcome == CKR_OK && !token.loggedIn) {
            // CHANGE REFERENCE DATA leaves the new PIN verified on the card: without a login of this
            // module that state is ended below, as a logout ends it.
            token.loggedIn = true;
            token.loginAdopted = false;
            resetAfter = true;
        } else if (outcome == CKR_PIN_INCORRECT || outcome == CKR_PIN_LOCKED) {
            // A refused current PIN ends the card's verified state.
            token.loggedIn = false;
            token.loginAdopted = false;
        }
        return outcome;
    });
    if (rv != CKR_OK) throw P11Error(rv);
    if (resetAfter) {
        std::lock_guard cardLock(session->slot->cardMutex);
        endLogin(*session->slot, *session->token);
    }
}

void Module::adoptLogin(CK_SESSION_HANDLE handle, CK_USER_TYPE user) {
    if (user != CKU_USER)
        throw P11Error(user == CKU_CONTEXT_SPECIFIC ? CKR_OPERATION_NOT_INITIALIZED : CKR_ARGUMENTS_BAD);
    auto session = sessionFor(handle);
    if (!adoptionAllowed_) {
        // Any other host gets what a NULL PIN is without a protected authentication path.
        logInfo("Sigilla : login without a PIN refused: this program did not ask to take over a verified card");
        throw P11Error(CKR_ARGUMENTS_BAD);
    }
    std::lock_guard sessionLock(session->mutex);
    onCard(*session, CardPhase::pinCheck, [&](TokenInstance& token) {
        if (token.loggedIn) throw P11Error(CKR_USER_ALREADY_LOGGED_IN);
        // Without a verified PIN on the card this is a call without its PIN, as before.
        if (!session->sigilla->cardAlreadyVerified()) throw P11Error(CKR_ARGUMENTS_BAD);
        token.loggedIn = true;
        token.loginAdopted = true;
        logInfo("Sigilla : login taken over from the application that verified the card");
        return 0;
    });
}

void Module::checkUsername(CK_SESSION_HANDLE handle, std::string_view username) {
    auto session = sessionFor(handle);
    if (username != session->token->label) throw P11Error(CKR_ARGUMENTS_BAD);
}

void Module::cancelOperations(CK_SESSION_HANDLE handle, CK_FLAGS flags) {
    auto session = sessionFor(handle);
    std::lock_guard sessionLock(session->mutex);
    if (flags & CKF_SIGN) session->sign.reset();
    if (flags & CKF_DECRYPT) session->decrypt.reset();
    if (flags & CKF_FIND_OBJECTS) session->find.reset();
}

void Module::logout(CK_SESSION_HANDLE handle) {
    auto session = sessionFor(handle);
    std::lock_guard lock(session->slot->cardMutex);
    if (!session->token->loggedIn) throw P11Error(CKR_USER_NOT_LOGGED_IN);
    endLogin(*session->slot, *session->token);
}

const P11Object& Module::operationKey(P11Session& s, CK_OBJECT_HANDLE handle, bool (*allowed)(const TokenKey&)) {
    if (!stillInserted(*s.slot, s.token)) throw P11Error(CKR_DEVICE_REMOVED);
    const P11Object* key = s.token->object(handle);
    if (key == nullptr || key->objectClass != CKO_PRIVATE_KEY) throw P11Error(CKR_KEY_HANDLE_INVALID);
    if (!allowed(*key->key)) throw P11Error(CKR_KEY_FUNCTION_NOT_PERMITTED);
    return *key;
}

void Module::signInit(CK_SESSION_HANDLE handle, const CK_MECHANISM& mechanism, CK_OBJECT_HANDLE keyHandle) {
    auto session = sessionFor(handle);
    std::lock_guard sessionLock(session->mutex);
    if (session->sign) throw P11Error(CKR_OPERATION_ACTIVE);
    SignMechanism m;
    if (CK_RV rv = signMechanism(mechanism, m); rv != CKR_OK) throw P11Error(rv);
    std::lock_guard cardLock(session->slot->cardMutex);
    const P11Object& key = operationKey(*session, keyHandle, keyMaySign);
    const bool supported = m.algorithm ? session->sigilla->supportsOperation(static_cast<int>(TokenOperation::signData),
                                                                             key.key->objectID, *m.algorithm)
                                       : keyAcceptsSignMechanism(*key.key, m);
    if (!supported) throw P11Error(CKR_MECHANISM_INVALID);
    requireLogin(*key.key, TokenOperation::signData, *session->token);
    SignOperation operation;
    operation.mechanism = m;
    operation.key = &key;
    if (m.moduleHashes) operation.digest.emplace(m.digest);
    session->sign = std::move(operation);
}

void Module::finishSign(P11Session& s, const Bytes& input, CK_BYTE_PTR signature, CK_ULONG& length, CK_RV& rv) {
    // Whatever happens now, the operation is over.
    SignOperation operation = std::move(*s.sign);
    s.sign.reset();
    const TokenKey& key = *operation.key->key;
    KeyAlgorithm algorithm;
    Bytes hash;
    if (operation.mechanism.digestInfoInput) {
        std::optional<DigestInfoContent> content = splitDigestInfo(input);
        if (!content) throw P11Error(CKR_DATA_INVALID);
        if (!s.sigilla->supportsOperation(static_cast<int>(TokenOperation::signData), key.objectID, content->algorithm))
            throw P11Error(CKR_DATA_INVALID);
        algorithm = content->algorithm;
        hash = std::move(content->hash);
    } else {
        algorithm = *operation.mechanism.algorithm;
        hash = input;
        if (hash.size() != static_cast<std::size_t>(EVP_MD_get_size(operation.mechanism.digest)))
            throw P11Error(CKR_DATA_LEN_RANGE);
    }
    const Bytes result = onCard(s, CardPhase::sign, [&](TokenInstance& token) {
        requireLogin(key, TokenOperation::signData, token);
        return runKeyOperation(token, [&] { return s.sigilla->signData(hash, key.objectID, algorithm); });
    });
    if (result.size() > length) throw P11Error(CKR_DEVICE_ERROR);
    deliver(result, signature, length);
    rv = CKR_OK;
}

CK_RV Module::sign(CK_SESSION_HANDLE handle, const Bytes& data, CK_BYTE_PTR signature, CK_ULONG& length) {
    auto session = sessionFor(handle);
    std::lock_guard sessionLock(session->mutex);
    if (!session->sign) throw P11Error(CKR_OPERATION_NOT_INITIALIZED);
    if (auto rv = lengthOnly(signature, length, signatureLength(*session->sign->key->key))) return *rv;
    Bytes input = data;
    if (session->sign->digest) {
        session->sign->digest->update(data.data(), data.size());
        input = session->sign->digest->final();
    }
    CK_RV rv = CKR_GENERAL_ERROR;
    finishSign(*session, input, signature, length, rv);
    return rv;
}

void Module::signUpdate(CK_SESSION_HANDLE handle, const std::uint8_t* data, std::size_t size) {
    auto session = sessionFor(handle);
    std::lock_guard sessionLock(session->mutex);
    if (!session->sign) throw P11Error(CKR_OPERATION_NOT_INITIALIZED);
    try {
        if (session->sign->digest)
            session->sign->digest->update(data, size);
        else
            session->sign->data.insert(session->sign->data.end(), data, data + size);
    } catch (...) {
        session->sign.reset();
        throw;
    }
}

CK_RV Module::signFinal(CK_SESSION_HANDLE handle, CK_BYTE_PTR signature, CK_ULONG& length) {
    auto session = sessionFor(handle);
    std::lock_guard sessionLock(session->mutex);
    if (!session->sign) throw P11Error(CKR_OPERATION_NOT_INITIALIZED);
    if (auto rv = lengthOnly(signature, length, signatureLength(*session->sign->key->key))) return *rv;
    const Bytes input = session->sign->digest ? session->sign->digest->final() : session->sign->data;
    CK_RV rv = CKR_GENERAL_ERROR;
    finishSign(*session, input, signature, length, rv);
    return rv;
}

void Module::decryptInit(CK_SESSION_HANDLE handle, const CK_MECHANISM& mechanism, CK_OBJECT_HANDLE keyHandle) {
    auto session = sessionFor(handle);
    std::lock_guard sessionLock(session->mutex);
    if (session->decrypt) throw P11Error(CKR_OPERATION_ACTIVE);
    AsymmetricAlgorithm algorithm;
    if (CK_RV rv = decryptMechanism(mechanism, algorithm); rv != CKR_OK) throw P11Error(rv);
    std::lock_guard cardLock(session->slot->cardMutex);
    const P11Object& key = operationKey(*session, keyHandle, keyMayDecrypt);
    if (!session->sigilla->supportsOperation(static_cast<int>(TokenOperation::decryptData), key.key->objectID,
                                             algorithm))
        throw P11Error(CKR_MECHANISM_INVALID);
    requireLogin(*key.key, TokenOperation::decryptData, *session->token);
    session->decrypt.emplace();
    session->decrypt->key = &key;
    session->decrypt->algorithm = algorithm;
}

CK_RV Module::decrypt(CK_SESSION_HANDLE handle, const Bytes& cryptogram, CK_BYTE_PTR plain, CK_ULONG& length) {
    auto session = sessionFor(handle);
    std::lock_guard sessionLock(session->mutex);
    if (!session->decrypt) throw P11Error(CKR_OPERATION_NOT_INITIALIZED);
    return finishDecrypt(*session, cryptogram, plain, length);
}

void Module::decryptUpdate(CK_SESSION_HANDLE handle, const Bytes& part) {
    auto session = sessionFor(handle);
    std::lock_guard sessionLock(session->mutex);
    if (!session->decrypt) throw P11Error(CKR_OPERATION_NOT_INITIALIZED);
    Bytes& input = session->decrypt->input;
    input.insert(input.end(), part.begin(), part.end());
}

CK_RV Module::decryptFinal(CK_SESSION_HANDLE handle, CK_BYTE_PTR plain, CK_ULONG& length) {
    auto session = sessionFor(handle);
    std::lock_guard sessionLock(session->mutex);
    if (!session->decrypt) throw P11Error(CKR_OPERATION_NOT_INITIALIZED);
    const Bytes cryptogram = session->decrypt->input;
    return finishDecrypt(*session, cryptogram, plain, length);
}

CK_RV Module::finishDecrypt(P11Session& s, const Bytes& cryptogram, CK_BYTE_PTR plain, CK_ULONG& length) {
    DecryptOperation& operation = *s.decrypt;
    const TokenKey& key = *operation.key->key;
    if (!operation.result) {
        if (plain == nullptr) {
            length = signatureLength(key);
            return CKR_OK;
        }
        if (cryptogram.size() != signatureLength(key)) {
            s.decrypt.reset();
            throw P11Error(CKR_ENCRYPTED_DATA_LEN_RANGE);
        }
        try {
            const KeyAlgorithm algorithm = operation.algorithm;
            operation.result = onCard(s, CardPhase::decrypt, [&](TokenInstance& token) {
                requireLogin(key, TokenOperation::decryptData, token);
                return runKeyOperation(token,
                                       [&] { return s.sigilla->decryptData(cryptogram, key.objectID, algorithm); });
            });
        } catch (...) {
            s.decrypt.reset();
            throw;
        }
    }
    // The plain text is kept (and wiped later) until a buffer large enough comes.
    if (auto rv = lengthOnly(plain, length, operation.result->size())) return *rv;
    deliver(*operation.result, plain, length);
    s.decrypt.reset();
    return CKR_OK;
}

}  // namespace qel::p11
