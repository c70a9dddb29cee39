#pragma once
#include <memory>
#include <string>
#include <vector>

#include "card/smart_card.h"
#include "sim/card/in_process_card.h"
#include "sim/card/profile_generator.h"
#include "sim/card/qel_card_model.h"

namespace qel::testing {

/// Card profiles made once per test program in a private folder, with small keys so that they are
/// quick to make. Each call of `card` gives a fresh copy, so tests may spend PIN tries.
class VirtualCards {
public:
    static VirtualCards& instance();
    /// A fresh profile folder of the generation.
    std::string card(sim::Generation generation);
    /// A profile folder of the generation's card renewed: same card number, new keys and certificates.
    std::string renewed(sim::Generation generation);
    std::string root() const { return root_; }

private:
    VirtualCards();
    static sim::CardOptions cardOptions(sim::Generation generation);
    std::string root_;
    int next_ = 0;
};

/// The platform card object over a virtual card, recording every command APDU sent.
class RecordingCard : public SmartCard {
public:
    explicit RecordingCard(std::shared_ptr<sim::QelCardModel> model) : model_(model), inner_(model) {}

    Bytes atr() const override { return inner_.atr(); }
    Bytes transmit(const Bytes& apdu) override {
        sent.push_back(apdu);
        return inner_.transmit(apdu);
    }
    void beginSession() override { inner_.beginSession(); }
    void endSession() override {}

    sim::QelCardModel& model() { return *model_; }
    /// Pulls the card out now, or after `exchanges` more commands.
    void removeCard(int exchanges = 0) { inner_.removeCard(exchanges); }

    std::vector<Bytes> sent;

private:
    std::shared_ptr<sim::QelCardModel> model_;
    sim::InProcessCard inner_;
};

/// Forgets every card file cached by the token driver (all virtual cards share their serials).
void forgetCachedFiles();

/// Loads a fresh card of the generation as seen through the reader kind.
std::unique_ptr<RecordingCard> loadCard(sim::Generation generation, sim::ReaderKind kind = sim::ReaderKind::contact);

/// Verifies an RSA signature of `hash` with the certificate's public key (PKCS#1 v1.5 with
/// DigestInfo, or PSS with a salt as long as the hash). `hashName` is "SHA1", "SHA224" or "SHA256".
bool verifySignature(const Bytes& certificateDer, const Bytes& hash, const Bytes& signature, const char* hashName,
                     bool pss);
/// Enciphers `message` with the certificate's public key (PKCS#1 v1.5).
Bytes encryptFor(const Bytes& certificateDer, const Bytes& message);
/// Enciphers `block`, exactly as long as the modulus, with the certificate's public key and no padding.
Bytes rawEncryptFor(const Bytes& certificateDer, const Bytes& block);
/// SHA hash of the data.
Bytes sha(const char* hashName, const Bytes& data);

}  // namespace qel::testing
