#pragma once
#include <p11-kit/pkcs11.h>

#include <atomic>
#include <map>
#include <memory>
#include <vector>

#include "sim/p11/card_backend.h"
#include "sim/p11/identity.h"
#include "sim/p11/objects.h"

namespace qel::simp11 {

/// Source of object handles, shared by all tokens of the module so that a handle of a pulled card
/// never names an object of the next one.
using HandleCounter = std::atomic<CK_OBJECT_HANDLE>;

/// What one inserted card shows through PKCS#11: its identity and its objects. Built from the card
/// inside an exchange; not thread-safe (the slot's lock covers it).
class Token {
public:
    /// Reads the identity, directories, certificates and public holder data. Files that are missing
    /// or unreadable are left out, except the card's number: without it the card is refused
    /// (qel::TransportError of kind communication). Throws qel::TransportError when the card goes.
    static std::unique_ptr<Token> read(CardChannel& card, HandleCounter& handles);

    const CardIdentity& identity() const { return identity_; }
    CardGeneration generation() const { return generation_; }
    /// Model text of the token information.
    std::string model() const;

    /// Objects an application may see: private ones only while a user is logged in.
    std::vector<const P11Object*> objects(bool loggedIn) const;
    const P11Object* object(CK_OBJECT_HANDLE handle, bool loggedIn) const;
    /// The object of a handle whatever the login, or nullptr.
    const P11Object* anyObject(CK_OBJECT_HANDLE handle) const { return object(handle, true); }
    /// A data object's handle whose contents were dropped (private data after a logout, holder data
    /// being read again): the handle stays valid.
    bool knowsDataHandle(CK_OBJECT_HANDLE handle) const;

    /// Reads the PIN-protected holder data (needs the PIN verified on the card).
    void loadPrivateData(CardChannel& card);
    bool privateDataLoaded() const { return privateDataLoaded_; }
    void dropPrivateData();

    /// Raw commands may have rewritten the holder files: the next look reads them again.
    void markHolderDataStale() { holderDataStale_ = true; }
    bool holderDataStale() const { return holderDataStale_; }
    void reloadHolderData(CardChannel& card, bool loggedIn);

private:
    Token(CardGeneration generation, HandleCounter& handles) : generation_(generation), handles_(handles) {}
    void readPublicData(CardChannel& card);
    void putDataObject(const std::string& label, const Bytes& value, bool isPrivate);
    void readKeysAndCertificates(CardChannel& card);
    CK_OBJECT_HANDLE handleFor(const std::string& key);

    CardGeneration generation_;
    HandleCounter& handles_;
    CardIdentity identity_;
    std::vector<P11Object> objects_;
    std::vector<P11Object> dataObjects_;
    std::map<std::string, CK_OBJECT_HANDLE> dataHandles_;
    bool privateDataLoaded_ = false;
    bool holderDataStale_ = false;
};

}  // namespace qel::simp11
