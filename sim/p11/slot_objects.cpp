#include "sim/p11/slot.h"

#include <cstring>
#include <stdexcept>

#include "sim/p11/card_layout.h"

namespace qel::simp11 {

namespace {

// PKCS#1 v1.5 type 1 padding needs 11 bytes of the modulus.
constexpr std::size_t kPkcs1Overhead = 11;

CK_RV checkMechanism(const CK_MECHANISM& mechanism) {
    if (!isSupportedMechanism(mechanism.mechanism)) return CKR_MECHANISM_INVALID;
    if (mechanism.pParameter != nullptr || mechanism.ulParameterLen != 0) return CKR_MECHANISM_PARAM_INVALID;
    return CKR_OK;
}

// C_SignUpdate and C_VerifyUpdate: a part beyond what the mechanism takes ends the operation.
CK_RV addPart(std::unique_ptr<MessageCollector>& operation, bool& updated, const Bytes& data) {
    if (!operation) return CKR_OPERATION_NOT_INITIALIZED;
    updated = true;
    if (!operation->update(data.data(), data.size())) {
        operation.reset();
        return CKR_DATA_LEN_RANGE;
    }
    return CKR_OK;
}

}  // namespace

CK_RV Slot::refreshHolderData() {
    if (!token_->holderDataStale() && (!loggedIn() || token_->privateDataLoaded())) return CKR_OK;
    CK_RV rv = withCard([&](CardChannel& card) {
        if (token_->holderDataStale())
            token_->reloadHolderData(card, loggedIn());
        else
            token_->loadPrivateData(card);
        return CKR_OK;
    });
    // A card that no longer knows the PIN leaves the public objects to be found.
    return rv == CKR_USER_NOT_LOGGED_IN ? CKR_OK : rv;
}

CK_RV Slot::findObjectsInit(CK_SESSION_HANDLE handle, const CK_ATTRIBUTE* templ, CK_ULONG count) {
    std::lock_guard lock(mutex_);
    Session* s = nullptr;
    if (CK_RV rv = enter(handle, s); rv != CKR_OK) return rv;
    if (s->findActive) return CKR_OPERATION_ACTIVE;
    if (CK_RV rv = refreshHolderData(); rv != CKR_OK) return rv;
    if (s->loginLost) {
        // Said once: the search would otherwise succeed without the private objects it expects.
        s->loginLost = false;
        return CKR_USER_NOT_LOGGED_IN;
    }
    if (!token_) return CKR_DEVICE_REMOVED;
    s->found.clear();
    s->foundNext = 0;
    for (const P11Object* o : token_->objects(loggedIn()))
        if (o->matches(templ, count)) s->found.push_back(o->handle);
    s->findActive = true;
    return CKR_OK;
}

CK_RV Slot::findObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE* out, CK_ULONG max, CK_ULONG& count) {
    std::lock_guard lock(mutex_);
    Session* s = nullptr;
    if (CK_RV rv = enter(handle, s); rv != CKR_OK) return rv;
    if (!s->findActive) return CKR_OPERATION_NOT_INITIALIZED;
    count = 0;
    while (count < max && s->foundNext < s->found.size()) out[count++] = s->found[s->foundNext++];
    return CKR_OK;
}

CK_RV Slot::findObjectsFinal(CK_SESSION_HANDLE handle) {
    std::lock_guard lock(mutex_);
    Session* s = nullptr;
    if (CK_RV rv = enter(handle, s); rv != CKR_OK) return rv;
    if (!s->findActive) return CKR_OPERATION_NOT_INITIALIZED;
    s->findActive = false;
    s->found.clear();
    return CKR_OK;
}

CK_RV Slot::getAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object, CK_ATTRIBUTE* templ, CK_ULONG count) {
    std::lock_guard lock(mutex_);
    Session* s = nullptr;
    if (CK_RV rv = enter(handle, s); rv != CKR_OK) return rv;
    if (CK_RV rv = refreshHolderData(); rv != CKR_OK) return rv;
    if (!token_) return CKR_DEVICE_REMOVED;
    const P11Object* o = nullptr;
    if (CK_RV rv = usableObject(object, CKR_OBJECT_HANDLE_INVALID, o); rv != CKR_OK) return rv;
    return o->getAttributes(templ, count);
}

CK_RV Slot::getObjectSize(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object, CK_ULONG& size) {
    std::lock_guard lock(mutex_);
    Session* s = nullptr;
    if (CK_RV rv = enter(handle, s); rv != CKR_OK) return rv;
    const P11Object* o = nullptr;
    if (CK_RV rv = usableObject(object, CKR_OBJECT_HANDLE_INVALID, o); rv != CKR_OK) return rv;
    size = 0;
    for (const auto& [type, value] : o->attributes) size += value.size();
    return CKR_OK;
}

CK_RV Slot::operationKey(const CK_MECHANISM& mechanism, CK_OBJECT_HANDLE handle, CK_OBJECT_CLASS keyClass,
                         CK_ATTRIBUTE_TYPE use, const P11Object*& key) {
    if (CK_RV rv = checkMechanism(mechanism); rv != CKR_OK) return rv;
    if (CK_RV rv = usableObject(handle, CKR_KEY_HANDLE_INVALID, key); rv != CKR_OK) return rv;
    if (key->objectClass != keyClass) return CKR_KEY_TYPE_INCONSISTENT;
    if (!key->boolAttribute(use)) return CKR_KEY_FUNCTION_NOT_PERMITTED;
    return CKR_OK;
}

CK_RV Slot::signInit(CK_SESSION_HANDLE handle, const CK_MECHANISM& mechanism, CK_OBJECT_HANDLE key) {
    std::lock_guard lock(mutex_);
    Session* s = nullptr;
    if (CK_RV rv = enter(handle, s); rv != CKR_OK) return rv;
    if (s->sign) return CKR_OPERATION_ACTIVE;
    const P11Object* o = nullptr;
    if (CK_RV rv = operationKey(mechanism, key, CKO_PRIVATE_KEY, CKA_SIGN, o); rv != CKR_OK) return rv;
    std::size_t rawLimit = o->modulus.size() > kPkcs1Overhead ? o->modulus.size() - kPkcs1Overhead : 0;
    s->sign = std::make_unique<MessageCollector>(mechanism.mechanism, rawLimit);
    s->signKey = key;
    s->signUpdated = false;
    return CKR_OK;
}

CK_RV Slot::signWithCard(const P11Object& key, HashAlg hash, const Bytes& message, Bytes& signature) {
    SignRequest request;
    request.role = key.role;
    request.keyReference = key.keyReference;
    CardGeneration generation = token_->generation();
    if (hash == HashAlg::none) {
        // CKM_RSA_PKCS: the caller built the DigestInfo; most keys want the bare hash from it.
        auto parsed = parseDigestInfo(message);
        if (parsed && cardAcceptsHash(generation, key.role, parsed->first)) {
            request.hash = parsed->first;
            request.input = parsed->second;
        } else if (cardAcceptsHash(generation, key.role, HashAlg::none)) {
            request.input = message;
        } else {
            return CKR_DATA_INVALID;
        }
    } else {
        if (!cardAcceptsHash(generation, key.role, hash)) return CKR_MECHANISM_INVALID;
        request.hash = hash;
        request.input = message;
    }
    const std::size_t k = key.modulus.size();
    return withCard([&](CardChannel& card) {
        Bytes raw = card.sign(request);
        if (raw.size() > k) return CKR_DEVICE_ERROR;
        signature.assign(k - raw.size(), 0x00);
        signature.insert(signature.end(), raw.begin(), raw.end());
        return CKR_OK;
    });
}

CK_RV Slot::finishSign(Session& s, const Bytes* data, CK_BYTE* out, CK_ULONG& length) {
    if (!s.sign) return CKR_OPERATION_NOT_INITIALIZED;
    const P11Object* key = nullptr;
    if (CK_RV rv = usableObject(s.signKey, CKR_KEY_HANDLE_INVALID, key); rv != CKR_OK) {
        s.sign.reset();
        return rv;
    }
    const CK_ULONG k = key->modulus.size();
    // A length query, or a buffer too small, leaves the operation running.
    if (out == nullptr) {
        length = k;
        return CKR_OK;
    }
    if (length < k) {
        length = k;
        return CKR_BUFFER_TOO_SMALL;
    }
    std::unique_ptr<MessageCollector> op = std::move(s.sign);
    if (data != nullptr) {
        if (s.signUpdated) return CKR_OPERATION_ACTIVE;
        if (!op->update(data->data(), data->size())) return CKR_DATA_LEN_RANGE;
    }
    auto [hash, message] = op->finish();
    Bytes signature;
    CK_RV rv = signWithCard(*key, hash, message, signature);
    if (rv != CKR_OK) return rv;
    std::memcpy(out, signature.data(), signature.size());
    length = signature.size();
    return CKR_OK;
}

CK_RV Slot::sign(CK_SESSION_HANDLE handle, const Bytes& data, CK_BYTE* out, CK_ULONG& length) {
    std::lock_guard lock(mutex_);
    Session* s = nullptr;
    if (CK_RV rv = enter(handle, s); rv != CKR_OK) return rv;
    return finishSign(*s, &data, out, length);
}

CK_RV Slot::signUpdate(CK_SESSION_HANDLE handle, const Bytes& data) {
    std::lock_guard lock(mutex_);
    Session* s = nullptr;
    if (CK_RV rv = enter(handle, s); rv != CKR_OK) return rv;
    return addPart(s->sign, s->signUpdated, data);
}

CK_RV Slot::signFinal(CK_SESSION_HANDLE handle, CK_BYTE* out, CK_ULONG& length) {
    std::lock_guard lock(mutex_);
    Session* s = nullptr;
    if (CK_RV rv = enter(handle, s); rv != CKR_OK) return rv;
    return finishSign(*s, nullptr, out, length);
}

CK_RV Slot::verifyInit(CK_SESSION_HANDLE handle, const CK_MECHANISM& mechanism, CK_OBJECT_HANDLE key) {
    std::lock_guard lock(mutex_);
    Session* s = nullptr;
    if (CK_RV rv = enter(handle, s); rv != CKR_OK) return rv;
    if (s->verify) return CKR_OPERATION_ACTIVE;
    const P11Object* o = nullptr;
    if (CK_RV rv = operationKey(mechanism, key, CKO_PUBLIC_KEY, CKA_VERIFY, o); rv != CKR_OK) return rv;
    s->verify = std::make_unique<MessageCollector>(mechanism.mechanism, o->modulus.size());
    s->verifyKey = key;
    s->verifyUpdated = false;
    return CKR_OK;
}

CK_RV Slot::finishVerify(Session& s, const Bytes* data, const Bytes& signature) {
    if (!s.verify) return CKR_OPERATION_NOT_INITIALIZED;
    std::unique_ptr<MessageCollector> op = std::move(s.verify);
    if (data != nullptr && s.verifyUpdated) return CKR_OPERATION_ACTIVE;
    const P11Object* key = token_->object(s.verifyKey, loggedIn());
    if (key == nullptr) return CKR_KEY_HANDLE_INVALID;
    if (data != nullptr && !op->update(data->data(), data->size())) return CKR_DATA_LEN_RANGE;
    auto [hash, message] = op->finish();
    return verifyPkcs1(key->modulus, key->exponent, hash, message, signature);
}

CK_RV Slot::verify(CK_SESSION_HANDLE handle, const Bytes& data, const Bytes& signature) {
    std::lock_guard lock(mutex_);
    Session* s = nullptr;
    if (CK_RV rv = enter(handle, s); rv != CKR_OK) return rv;
    return finishVerify(*s, &data, signature);
}

CK_RV Slot::verifyUpdate(CK_SESSION_HANDLE handle, const Bytes& data) {
    std::lock_guard lock(mutex_);
    Session* s = nullptr;
    if (CK_RV rv = enter(handle, s); rv != CKR_OK) return rv;
    return addPart(s->verify, s->verifyUpdated, data);
}

CK_RV Slot::verifyFinal(CK_SESSION_HANDLE handle, const Bytes& signature) {
    std::lock_guard lock(mutex_);
    Session* s = nullptr;
    if (CK_RV rv = enter(handle, s); rv != CKR_OK) return rv;
    return finishVerify(*s, nullptr, signature);
}

CK_RV Slot::generateRandom(CK_SESSION_HANDLE handle, CK_BYTE* out, CK_ULONG length) {
    std::lock_guard lock(mutex_);
    Session* s = nullptr;
    if (CK_RV rv = enter(handle, s); rv != CKR_OK) return rv;
    // The card's own generator, in the chunks it hands out.
    constexpr std::size_t kChunk = 32;
    return withCard([&](CardChannel& card) {
        CK_ULONG done = 0;
        while (done < length) {
            Bytes part = card.getChallenge(std::min<std::size_t>(kChunk, length - done));
            std::memcpy(out + done, part.data(), part.size());
            done += part.size();
        }
        return CKR_OK;
    });
}

CK_RV Slot::transmit(CK_SESSION_HANDLE handle, const Bytes& apdu, CK_BYTE* response, CK_ULONG& length) {
    std::lock_guard lock(mutex_);
    Session* s = nullptr;
    if (CK_RV rv = enter(handle, s); rv != CKR_OK) return rv;
    Bytes answer;
    CK_RV rv = withCard([&](CardChannel& card) {
        answer = card.transmitRaw(apdu);
        return CKR_OK;
    });
    if (rv != CKR_OK) return rv;
    // The command may have rewritten holder files or the PIN state the token shows.
    if (token_) token_->markHolderDataStale();
    if (answer.size() > length) {
        length = answer.size();
        return CKR_BUFFER_TOO_SMALL;
    }
    std::memcpy(response, answer.data(), answer.size());
    length = answer.size();
    return CKR_OK;
}

}  // namespace qel::simp11
