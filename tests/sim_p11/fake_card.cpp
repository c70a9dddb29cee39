#include "tests/sim_p11/fake_card.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <stdexcept>

#include "card/smart_card.h"
#include "sim/p11/card_layout.h"
#include "sim/p11/mechanisms.h"

namespace qel::simp11::test {

namespace {

Bytes namedBits(std::uint16_t flags) {
    int highest = 15;
    while (highest > 0 && !(flags & (1u << highest))) --highest;
    int bytes = highest / 8 + 1;
    Bytes out{static_cast<std::uint8_t>(bytes * 8 - 1 - highest)};
    for (int i = 0; i < bytes; ++i) {
        std::uint8_t b = 0;
        for (int bit = 0; bit < 8; ++bit)
            if (flags & (1u << (i * 8 + bit))) b |= static_cast<std::uint8_t>(0x80 >> bit);
        out.push_back(b);
    }
    return out;
}

std::shared_ptr<void> newKey() {
    EVP_PKEY* key = EVP_RSA_gen(1024);
    if (key == nullptr) throw std::runtime_error("RSA key generation");
    return std::shared_ptr<void>(key, [](void* k) { EVP_PKEY_free(static_cast<EVP_PKEY*>(k)); });
}

Bytes selfSigned(EVP_PKEY* key, const std::string& commonName) {
    X509* x = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(x), 4242);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 86400);
    X509_set_pubkey(x, key);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                               -1, 0);
    X509_set_issuer_name(x, name);
    X509_sign(x, key, EVP_sha256());
    int n = i2d_X509(x, nullptr);
    Bytes der(static_cast<std::size_t>(n));
    unsigned char* p = der.data();
    i2d_X509(x, &p);
    X509_free(x);
    return der;
}

Bytes bcd(const std::string& digits) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>((digits[i] - '0') << 4 | (digits[i + 1] - '0')));
    return out;
}

struct KeyPlan {
    const char* keyLabel;
    const char* certLabel;
    std::uint8_t id;
    std::uint8_t reference;
    std::uint16_t usage;
    Bytes certPath;
};

}  // namespace

std::shared_ptr<FakeCardState> makeCard(CardGeneration generation, const std::string& number, int situations) {
    auto card = std::make_shared<FakeCardState>();
    card->generation = generation;
    CardLayout layout = layoutFor(generation);
    const std::uint16_t authUsage = 0x0026, signUsage = 0x0200;
    std::vector<KeyPlan> plans;
    if (generation == CardGeneration::QEL3CL) {
        plans.push_back(
            {"Cle Technique QEL", "Certificat Technique QEL", 0x03, 0x03, authUsage, layout.authCertificate});
    } else {
        plans.push_back({"Cle d'Authentification QEL", "Certificat d'Authentification QEL", 0x01, 0x02, authUsage,
                         layout.authCertificate});
        plans.push_back(
            {"Cle de Signature QEL", "Certificat de Signature QEL", 0x02, 0x01, signUsage, layout.signCertificate});
    }
    Bytes prkd, cd;
    for (const KeyPlan& s : plans) {
        auto key = newKey();
        card->keys[s.reference] = key;
        card->files[s.certPath] = concat({selfSigned(static_cast<EVP_PKEY*>(key.get()), s.certLabel), Bytes(20, 0x00)});
        prkd =
            concat({prkd, tlv(0x30, concat({tlv(0x30, tlv(0x0C, bytesOf(s.keyLabel))),
                                            tlv(0x30, concat({tlv(0x04, {s.id}), tlv(0x03, namedBits(s.usage)),
                                                              tlv(0x02, {s.reference})})),
                                            tlv(0xA1, tlv(0x30, concat({tlv(0x30, tlv(0x04, {0x3F, 0x00, 0x00, 0x01})),
                                                                        tlv(0x02, {0x04, 0x00})})))}))});
        cd = concat({cd, tlv(0x30, concat({tlv(0x30, tlv(0x0C, bytesOf(s.certLabel))), tlv(0x30, tlv(0x04, {s.id})),
                                           tlv(0xA1, tlv(0x30, tlv(0x30, tlv(0x04, s.certPath))))}))});
    }
    card->files[layout.privateKeyDirectory] = concat({prkd, Bytes(8, 0xFF)});
    card->files[layout.certificateDirectory] = cd;
    card->files[layout.cardInfoFile] =
        concat({tlv(0x80, bytesOf(generationName(generation))), tlv(0x81, bytesOf(number)), tlv(0x82, bytesOf("Z")),
                tlv(0x83, bytesOf("K")), tlv(0x84, {0x01})});
    card->files[layout.serialFile] = tlv(0x04, concat({{0x80, 0x25, 0x00, 0x00, 0x01}, bcd(number)}));
    if (generation != CardGeneration::QEL3CL) card->files[holderFilePath(0xD001)] = tlv(0xE3, tlv(0x81, bcd(number)));
    card->files[holderFilePath(0xD002)] = tlv(0xE4, tlv(0x81, bytesOf("DUPONT")));
    card->files[holderFilePath(0xD003)] = tlv(0xED, tlv(0x84, bytesOf("DR DUPONT")));
    for (int i = 1; i <= situations; ++i) {
        Bytes path = holderFilePath(static_cast<std::uint16_t>(0xD100 + i));
        card->files[path] = tlv(0xEE, tlv(0x81, {static_cast<std::uint8_t>(i)}));
        card->pinProtected.insert(path);
    }
    if (situations > 0) {
        card->files[holderFilePath(0xD200)] = tlv(0xE0, tlv(0xA0, tlv(0x80, {0x01})));
        card->pinProtected.insert(holderFilePath(0xD200));
    }
    return card;
}

namespace {

Bytes atrOf(CardGeneration g) {
    switch (g) {
        case CardGeneration::QEL3:
            return {0x3B, 0xAC, 0x00, 0x40, 0x2A, 0x00, 0x12, 0x25, 0x00,
                    0x64, 0x80, 0x00, 0x03, 0x10, 0x00, 0x90, 0x00};
        case CardGeneration::QEL3CL:
            return {0x3B, 0x8F, 0x80, 0x01, 0x00, 0x31, 0xB8, 0x64, 0x04, 0xB0,
                    0xEC, 0xC1, 0x73, 0x94, 0x01, 0x80, 0x82, 0x90, 0x00, 0x0E};
        case CardGeneration::QEL4:
            return {0x3B, 0x9B, 0x18, 0x80, 0x01, 0x00, 0x12, 0x25, 0x00,
                    0x64, 0x80, 0x04, 0x01, 0x00, 0x00, 0x90, 0x44};
    }
    return {};
}

std::string text(const SecretBytes& b) { return std::string(b.data(), b.data() + b.size()); }

class FakeChannel : public CardChannel {
public:
    FakeChannel(std::shared_ptr<FakeWorld> world, std::string reader, std::shared_ptr<FakeCardState> card)
        : world_(std::move(world)), reader_(std::move(reader)), card_(std::move(card)) {}

    CardGeneration generation() const override { return card_->generation; }
    Bytes atr() const override { return atrOf(card_->generation); }

    bool beginExchange() override {
        FakeCardState& c = present();
        bool reset = c.resetPending;
        c.resetPending = false;
        if (reset) c.pinVerified = false;
        return reset;
    }
    void endExchange() override {}
    void resetCard() override {
        FakeCardState& c = present();
        ++c.resets;
        c.pinVerified = false;
    }

    std::optional<Bytes> readFile(const Bytes& path) override {
        FakeCardState& c = present();
        auto it = c.files.find(path);
        if (it == c.files.end()) return std::nullopt;
        if (c.pinProtected.count(path) && !c.pinVerified) throw CardStatusError(0x6982);
        return it->second;
    }

    PinCounters pinCounters() override {
        FakeCardState& c = present();
        return PinCounters{c.pinTries, c.pukTries, c.pinMax, c.pukMax};
    }

    std::uint16_t verifyPin(const SecretBytes& pin) override {
        FakeCardState& c = present();
        ++c.verifyCalls;
        return check(c.pinTries, c.pinMax, text(pin) == c.pin, &c.pinVerified);
    }
    std::uint16_t verifyPuk(const SecretBytes& puk) override {
        FakeCardState& c = present();
        return check(c.pukTries, c.pukMax, text(puk) == c.puk, nullptr);
    }
    std::uint16_t changePin(const SecretBytes& oldPin, const SecretBytes& newPin) override {
        FakeCardState& c = present();
        std::uint16_t sw = check(c.pinTries, c.pinMax, text(oldPin) == c.pin, &c.pinVerified);
        if (sw == 0x9000) c.pin = text(newPin);
        return sw;
    }
    std::uint16_t resetRetryCounter(const SecretBytes& puk, const SecretBytes& newPin) override {
        FakeCardState& c = present();
        std::uint16_t sw = check(c.pukTries, c.pukMax, text(puk) == c.puk, nullptr);
        if (sw == 0x9000) {
            c.pin = text(newPin);
            c.pinTries = c.pinMax;
        }
        return sw;
    }

    Bytes sign(const SignRequest& request) override {
        FakeCardState& c = present();
        if (!c.pinVerified) throw CardStatusError(0x6982);
        if (c.pullDuringSign) {
            // What a reader driver reports first: a broken exchange, not a missing card.
            world_->remove(reader_);
            throw qel::TransportError(qel::TransportError::Kind::communication, 0, "exchange broken");
        }
        c.signRequests.push_back(request);
        Bytes block = digestInfoPrefix(request.hash);
        block.insert(block.end(), request.input.begin(), request.input.end());
        auto* key = static_cast<EVP_PKEY*>(c.keys.at(request.keyReference).get());
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
        EVP_PKEY_sign_init(ctx);
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
        std::size_t n = 0;
        EVP_PKEY_sign(ctx, nullptr, &n, block.data(), block.size());
        Bytes sig(n);
        if (EVP_PKEY_sign(ctx, sig.data(), &n, block.data(), block.size()) != 1) sig.clear();
        EVP_PKEY_CTX_free(ctx);
        return sig;
    }

    Bytes getChallenge(std::size_t length) override {
        FakeCardState& c = present();
        ++c.challenges;
        Bytes out(std::min<std::size_t>(length, 8));
        RAND_bytes(out.data(), static_cast<int>(out.size()));
        return out;
    }

    Bytes transmitRaw(const Bytes& apdu) override {
        FakeCardState& c = present();
        c.rawCommands.push_back(apdu);
        return Bytes{0x01, 0x02, 0x90, 0x00};
    }

private:
    FakeCardState& present() {
        if (world_->cardIn(reader_) != card_)
            throw qel::TransportError(qel::TransportError::Kind::cardRemoved, 0, "removed");
        return *card_;
    }

    static std::uint16_t check(int& tries, int max, bool right, bool* verified) {
        if (tries == 0) return 0x6983;
        if (right) {
            tries = max;
            if (verified) *verified = true;
            return 0x9000;
        }
        --tries;
        return static_cast<std::uint16_t>(0x63C0 | tries);
    }

    std::shared_ptr<FakeWorld> world_;
    std::string reader_;
    std::shared_ptr<FakeCardState> card_;
};

class FakeBackend : public CardBackend {
public:
    explicit FakeBackend(std::shared_ptr<FakeWorld> world) : world_(std::move(world)) {}
    std::vector<ReaderStatus> readers() override { return world_->readers(); }
    bool waitForChange(const std::vector<ReaderStatus>&) override { return false; }
    void cancelWait() override {}
    std::unique_ptr<CardChannel> connect(const std::string& reader) override {
        auto card = world_->cardIn(reader);
        if (!card) throw qel::TransportError(qel::TransportError::Kind::cardRemoved, 0, "no card");
        return std::make_unique<FakeChannel>(world_, reader, card);
    }

private:
    std::shared_ptr<FakeWorld> world_;
};

}  // namespace

void FakeWorld::addReader(const std::string& name) {
    std::lock_guard lock(mutex);
    readers_.push_back({name, nullptr, 0});
}

void FakeWorld::insert(const std::string& reader, std::shared_ptr<FakeCardState> card) {
    std::lock_guard lock(mutex);
    for (FakeReader& r : readers_)
        if (r.name == reader) {
            r.card = std::move(card);
            ++r.eventCount;
        }
}

void FakeWorld::remove(const std::string& reader) { insert(reader, nullptr); }

std::vector<ReaderStatus> FakeWorld::readers() {
    std::lock_guard lock(mutex);
    std::vector<ReaderStatus> out;
    for (const FakeReader& r : readers_) {
        ReaderStatus s{r.name, r.card != nullptr, r.card ? atrOf(r.card->generation) : Bytes{}, r.eventCount};
        out.push_back(s);
    }
    return out;
}

std::shared_ptr<FakeCardState> FakeWorld::cardIn(const std::string& reader) {
    std::lock_guard lock(mutex);
    for (const FakeReader& r : readers_)
        if (r.name == reader) return r.card;
    return nullptr;
}

std::unique_ptr<CardBackend> makeFakeBackend(std::shared_ptr<FakeWorld> world) {
    return std::make_unique<FakeBackend>(std::move(world));
}

}  // namespace qel::simp11::test
