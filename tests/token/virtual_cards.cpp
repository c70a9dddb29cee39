#include "tests/token/virtual_cards.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <filesystem>

#include "common/user_dirs.h"
#include <stdexcept>

namespace qel::testing {

namespace fs = std::filesystem;

void forgetCachedFiles() { fs::remove_all(userdirs::cacheHome() + "/sigilla"); }

VirtualCards& VirtualCards::instance() {
    static VirtualCards cards;
    return cards;
}

VirtualCards::VirtualCards() {
    const char* home = std::getenv("HOME");
    root_ = std::string(home ? home : "/tmp") + "/virtual-cards-" + std::to_string(::getpid());
    fs::remove_all(root_);
    // New keys every run under the serials of the last run: certificates cached then are stale.
    forgetCachedFiles();
    sim::AuthorityOptions options;
    options.keyBits = 1024;
    sim::generateAuthorities(root_ + "/ca", options);
    for (auto g : {sim::Generation::QEL3, sim::Generation::QEL4})
        sim::generateCard(root_ + "/ca", root_ + "/" + sim::generationName(g), cardOptions(g));
}

sim::CardOptions VirtualCards::cardOptions(sim::Generation generation) {
    sim::CardOptions card;
    card.generation = generation;
    card.keyBits = 1024;
    card.cardNumber = generation == sim::Generation::QEL3 ? "1234567890" : "2345678901";
    return card;
}

std::string VirtualCards::renewed(sim::Generation generation) {
    const std::string dir = root_ + "/renewed-" + std::to_string(next_++);
    sim::generateCard(root_ + "/ca", dir, cardOptions(generation));
    return dir;
}

std::string VirtualCards::card(sim::Generation generation) {
    const std::string dir = root_ + "/copy-" + std::to_string(next_++);
    fs::copy(root_ + "/" + sim::generationName(generation), dir, fs::copy_options::recursive);
    return dir;
}

std::unique_ptr<RecordingCard> loadCard(sim::Generation generation, sim::ReaderKind kind) {
    std::shared_ptr<sim::QelCardModel> model = sim::loadQelCardModel(VirtualCards::instance().card(generation), kind);
    return std::make_unique<RecordingCard>(model);
}

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};

std::unique_ptr<EVP_PKEY, PkeyFree> publicKeyOf(const Bytes& der) {
    const unsigned char* p = der.data();
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    if (!cert) throw std::runtime_error("not a certificate");
    std::unique_ptr<EVP_PKEY, PkeyFree> key(X509_get_pubkey(cert));
    X509_free(cert);
    return key;
}

}  // namespace

bool verifySignature(const Bytes& certificateDer, const Bytes& hash, const Bytes& signature, const char* hashName,
                     bool pss) {
    auto key = publicKeyOf(certificateDer);
    std::unique_ptr<EVP_PKEY_CTX, CtxFree> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    const EVP_MD* md = EVP_get_digestbyname(hashName);
    if (EVP_PKEY_verify_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), pss ? RSA_PKCS1_PSS_PADDING : RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), md) != 1)
        return false;
    if (pss && (EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), md) != 1 ||
                EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), RSA_PSS_SALTLEN_DIGEST) != 1))
        return false;
    return EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), hash.data(), hash.size()) == 1;
}

namespace {
Bytes encryptWith(const Bytes& certificateDer, const Bytes& message, int padding) {
    auto key = publicKeyOf(certificateDer);
    std::unique_ptr<EVP_PKEY_CTX, CtxFree> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    std::size_t len = 0;
    if (EVP_PKEY_encrypt_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding) != 1 ||
        EVP_PKEY_encrypt(ctx.get(), nullptr, &len, message.data(), message.size()) != 1)
        throw std::runtime_error("encryption set-up failed");
    Bytes out(len);
    if (EVP_PKEY_encrypt(ctx.get(), out.data(), &len, message.data(), message.size()) != 1)
        throw std::runtime_error("encryption failed");
    out.resize(len);
    return out;
}
}  // namespace

Bytes encryptFor(const Bytes& certificateDer, const Bytes& message) {
    return encryptWith(certificateDer, message, RSA_PKCS1_PADDING);
}

Bytes rawEncryptFor(const Bytes& certificateDer, const Bytes& block) {
    return encryptWith(certificateDer, block, RSA_NO_PADDING);
}

Bytes sha(const char* hashName, const Bytes& data) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_get_digestbyname(hashName), nullptr);
    out.resize(len);
    return out;
}

}  // namespace qel::testing
