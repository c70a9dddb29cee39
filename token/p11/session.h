#pragma once
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "token/p11/mechanisms.h"
#include "token/p11/pkcs11.h"
#include "token/p11/slot.h"

namespace qel::p11 {

struct SignOperation {
    SignMechanism mechanism;
    const P11Object* key = nullptr;
    std::optional<Digest> digest;  ///< when the module hashes
    Bytes data;                    ///< otherwise, the input gathered so far
};

struct DecryptOperation {
    const P11Object* key = nullptr;
    AsymmetricAlgorithm algorithm = AsymmetricAlgorithm::RSAEncryptionPKCS1;
    Bytes input;  ///< the cryptogram gathered by C_DecryptUpdate
    /// The plain text already obtained when the caller's buffer was too short; wiped at the end.
    std::optional<Bytes> result;
    ~DecryptOperation();
};

struct FindOperation {
    std::vector<CK_OBJECT_HANDLE> handles;
    std::size_t next = 0;
};

/// One PKCS#11 session on the token of one card insertion.
struct P11Session {
    CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
    CK_FLAGS flags = 0;
    std::shared_ptr<Slot> slot;
    std::shared_ptr<TokenInstance> token;
    /// The token session of this PKCS#11 session (after `token`, so that it goes first).
    std::unique_ptr<SigillaSession> sigilla;

    std::mutex mutex;  // the operations below
    std::optional<FindOperation> find;
    std::optional<SignOperation> sign;
    std::optional<DecryptOperation> decrypt;
};

}  // namespace qel::p11
