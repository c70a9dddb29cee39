// The card identity as the service's TLS finds it: Sigilla's registration, the token of the selected
// card and, on it, the authentication pair only. SoftHSM2 stands for the card's module here, in a
// private token store, with a signature pair beside the authentication one.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <p11-kit/pkcs11.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "authservice/tls/card_key.h"
#include "authservice/tls/client_identity.h"
#include "common/hex.h"
#include "tests/issuerlib/softhsm_token.h"

namespace qel::vek {
namespace {

namespace fs = std::filesystem;

TEST(ClientIdentities, TheAuthenticationKeyAndTheCardsTokenAreRecognised) {
    EXPECT_TRUE(isAuthenticationKeyLabel("Cle d'Authentification QEL"));
    EXPECT_TRUE(isAuthenticationKeyLabel("Cle Technique QEL"));  // a contactless card's
    EXPECT_FALSE(isAuthenticationKeyLabel("Cle de Signature QEL"));
    EXPECT_FALSE(isAuthenticationKeyLabel(""));

    // Sigilla's token serial is the card serial's tail of 16 characters.
    EXPECT_TRUE(tokenSerialOfCard("0000012345678901", "80250000012345678901"));
    EXPECT_TRUE(tokenSerialOfCard("1234567890", "1234567890"));
    EXPECT_FALSE(tokenSerialOfCard("0000012345678902", "80250000012345678901"));
    EXPECT_FALSE(tokenSerialOfCard("80250000012345678901", "80250000012345678901"));
    EXPECT_FALSE(tokenSerialOfCard("", ""));
}

TEST(ClientIdentities, TheKeyUriEncodesEveryTokenAttribute) {
    ClientIdentity identity;
    identity.tokenModel = "QEL4";
    identity.tokenManufacturer = "Oberlane";
    identity.tokenSerial = "1234567890Z";
    identity.tokenLabel = "QEL4 8025000001;x=y/%";
    identity.id = {0xA0, 0x02, 0x2F};
    EXPECT_EQ(identity.keyUri(),
              "pkcs11:model=QEL4;manufacturer=Oberlane;serial=1234567890Z;token=QEL4%208025000001%3Bx%3Dy%2F%25;"
              "id=%A0%02%2F;type=private");
}

// Sigilla is found by its registration, the user's before the system's, without loading anything.
TEST(ClientIdentities, SigillaIsFoundByItsRegistration) {
    const fs::path config = fs::path(std::getenv("HOME")) / "identity-config";
    fs::create_directories(config / "pkcs11/modules");
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    std::ofstream(config / "pkcs11/modules/a-foreign.module") << "module: /opt/other/libother-pkcs11.so\n";
    std::ofstream(config / "pkcs11/modules/sigilla.module")
        << "# the card\n  module :  /opt/kartello/lib/libsigilla-pkcs11.so  \ncritical: no\n";
    EXPECT_EQ(registeredSigillaModule(), "/opt/kartello/lib/libsigilla-pkcs11.so");
    // A bare file name is one of p11-kit's module folder.
    std::ofstream(config / "pkcs11/modules/sigilla.module") << "module: libsigilla-pkcs11.so\n";
    const std::string bare = registeredSigillaModule();
    EXPECT_EQ(fs::path(bare).filename(), "libsigilla-pkcs11.so");
    EXPECT_TRUE(fs::path(bare).is_absolute()) << bare;
    unsetenv("XDG_CONFIG_HOME");
    fs::remove_all(config);
}

// The module, loaded by this test as the program's PIN step would, then looked up by the identity
// code in the same process: it finds the module initialised already and shares its login.
class SoftHsmModule {
public:
    SoftHsmModule() {
        handle_ = dlopen(test::kSoftHsmModule, RTLD_NOW | RTLD_LOCAL);
        if (!handle_) return;
        auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle_, "C_GetFunctionList"));
        if (getList && getList(&f_) == CKR_OK && f_->C_Initialize(nullptr) != CKR_OK) f_ = nullptr;
    }
    CK_FUNCTION_LIST* functions() const { return f_; }
    /// The serial of the token with that label; empty when there is none.
    std::string serialOf(const std::string& label) {
        CK_ULONG count = 0;
        f_->C_GetSlotList(CK_TRUE, nullptr, &count);
        std::vector<CK_SLOT_ID> slots(count);
        f_->C_GetSlotList(CK_TRUE, slots.data(), &count);
        for (CK_SLOT_ID slot : slots) {
            CK_TOKEN_INFO info{};
            if (f_->C_GetTokenInfo(slot, &info) != CKR_OK ||
                std::string(reinterpret_cast<char*>(info.label), label.size()) != label)
                continue;
            std::string serial(reinterpret_cast<char*>(info.serialNumber), sizeof info.serialNumber);
            serial.erase(serial.find_last_not_of(' ') + 1);
            slots_[label] = slot;
            return serial;
        }
        return {};
    }
    bool login(const std::string& label) {
        CK_SESSION_HANDLE s = CK_INVALID_HANDLE;
        if (f_->C_OpenSession(slots_[label], CKF_SERIAL_SESSION, nullptr, nullptr, &s) != CKR_OK) return false;
        std::string pin = test::kUserPin;
        sessions_.push_back(s);
        return f_->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), pin.size()) == CKR_OK;
    }
    ~SoftHsmModule() {
        for (CK_SESSION_HANDLE s : sessions_) f_->C_CloseSession(s);
    }

private:
    void* handle_ = nullptr;
    CK_FUNCTION_LIST* f_ = nullptr;
    std::map<std::string, CK_SLOT_ID> slots_;
    std::vector<CK_SESSION_HANDLE> sessions_;
};

TEST(ClientIdentities, OnlyTheAuthenticationPairOfTheCardsVerifiedTokenIsTheIdentity) {
    if (!test::SoftHsmStore::available()) GTEST_SKIP() << "SoftHSM2 and its tools are not installed";
    test::SoftHsmStore store(std::string(std::getenv("HOME")) + "/softhsm");
    store.initToken("Carte QEL");
    // The signature pair first: the authentication one is chosen by what it is, not by its place.
    store.writeCertificate("Carte QEL", "Cle de Signature QEL", "a001", "Holder Signature", true);
    store.writeCertificate("Carte QEL", "Cle Authentification QEL", "a002", "Holder Authentication", true);
    store.writeCertificate("Carte QEL", "Autorite", "a003", "Certificate without key", false);
    store.initToken("Sans cle");
    store.writeCertificate("Sans cle", "Cle de Signature QEL", "b001", "Other Signature", true);

    SoftHsmModule module;
    ASSERT_NE(module.functions(), nullptr);
    const std::string card = module.serialOf("Carte QEL"), other = module.serialOf("Sans cle");
    ASSERT_FALSE(card.empty());
    ASSERT_FALSE(other.empty());

    // Its keys are private: before the PIN step the card offers nothing, and no PIN is asked (SoftHSM
    // refuses a login without one).
    {
        const CardIdentity found = findCardIdentity(test::kSoftHsmModule, card);
        EXPECT_EQ(found.problem, IdentityProblem::notVerified);
        EXPECT_FALSE(found.identity.has_value());
    }
    ASSERT_TRUE(module.login("Carte QEL"));
    ASSERT_TRUE(module.login("Sans cle"));
    {
        const CardIdentity found = findCardIdentity(test::kSoftHsmModule, card);
        ASSERT_TRUE(found.identity.has_value()) << static_cast<int>(found.problem);
        EXPECT_EQ(found.problem, IdentityProblem::none);
        EXPECT_EQ(toHex(found.identity->id), "A002");
        EXPECT_EQ(found.identity->tokenSerial, card);
        EXPECT_EQ(found.identity->module, "libsofthsm2.so");
        EXPECT_FALSE(found.identity->certificate.empty());
        EXPECT_TRUE(found.identity->signsPss);
        EXPECT_NE(found.identity->keyUri().find("id=%A0%02"), std::string::npos);
    }
    {
        // The key for OpenSSL signs on the token, through the lookup's session first and a session of
        // its own after that, with each padding the card makes; the certificate's key verifies it.
        CardIdentity found = findCardIdentity(test::kSoftHsmModule, card);
        ASSERT_TRUE(found.identity.has_value());
        const Bytes der = found.identity->certificate;
        const unsigned char* p = der.data();
        std::unique_ptr<X509, decltype(&X509_free)> certificate(d2i_X509(nullptr, &p, static_cast<long>(der.size())),
                                                                &X509_free);
        ASSERT_TRUE(certificate);
        auto signer = std::make_shared<TokenSigner>(test::kSoftHsmModule, card, std::move(found));
        std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(newCardKey(certificate.get(), signer), &EVP_PKEY_free);
        ASSERT_TRUE(key);
        EXPECT_EQ(EVP_PKEY_get_bits(key.get()), EVP_PKEY_get_bits(X509_get0_pubkey(certificate.get())));
        EXPECT_EQ(X509_check_private_key(certificate.get(), key.get()), 1);
        const std::string data = "the handshake's transcript";
        auto signWith = [&](EVP_PKEY* k, int padding, const char* digest) {
            Bytes signature;
            EVP_MD_CTX* md = EVP_MD_CTX_new();
            EVP_PKEY_CTX* context = nullptr;
            std::size_t length = 0;
            if (EVP_DigestSignInit_ex(md, &context, digest, nullptr, nullptr, k, nullptr) == 1 &&
                EVP_PKEY_CTX_set_rsa_padding(context, padding) == 1 &&
                (padding != RSA_PKCS1_PSS_PADDING ||
                 EVP_PKEY_CTX_set_rsa_pss_saltlen(context, RSA_PSS_SALTLEN_DIGEST) == 1) &&
                EVP_DigestSign(md, nullptr, &length, reinterpret_cast<const unsigned char*>(data.data()),
                               data.size()) == 1) {
                signature.resize(length);
                if (EVP_DigestSign(md, signature.data(), &length, reinterpret_cast<const unsigned char*>(data.data()),
                                   data.size()) == 1)
                    signature.resize(length);
                else
                    signature.clear();
            }
            EVP_MD_CTX_free(md);
            return signature;
        };
        auto verifies = [&](const Bytes& signature, int padding, const char* digest) {
            EVP_MD_CTX* md = EVP_MD_CTX_new();
            EVP_PKEY_CTX* context = nullptr;
            const bool ok = EVP_DigestVerifyInit_ex(md, &context, digest, nullptr, nullptr,
                                                    X509_get0_pubkey(certificate.get()), nullptr) == 1 &&
                            EVP_PKEY_CTX_set_rsa_padding(context, padding) == 1 &&
                            (padding != RSA_PKCS1_PSS_PADDING ||
                             EVP_PKEY_CTX_set_rsa_pss_saltlen(context, RSA_PSS_SALTLEN_DIGEST) == 1) &&
                            EVP_DigestVerify(md, signature.data(), signature.size(),
                                             reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
            EVP_MD_CTX_free(md);
            return ok;
        };
        for (const auto& [padding, digest] :
             {std::pair{RSA_PKCS1_PSS_PADDING, "SHA256"}, std::pair{RSA_PKCS1_PADDING, "SHA256"},
              std::pair{RSA_PKCS1_PADDING, "SHA1"}}) {
            SCOPED_TRACE(std::string(digest) + (padding == RSA_PKCS1_PSS_PADDING ? " PSS" : " PKCS#1"));
            const Bytes signature = signWith(key.get(), padding, digest);
            EXPECT_EQ(signature.size(), 256u);
            EXPECT_TRUE(verifies(signature, padding, digest));
        }
        // A digest the card does not sign is refused before anything reaches it.
        EXPECT_TRUE(signWith(key.get(), RSA_PKCS1_PADDING, "SHA512").empty());

        // The certificate goes with its own key only, as libssl checks it.
        SSL_CTX* context = SSL_CTX_new(TLS_client_method());
        EXPECT_EQ(SSL_CTX_use_certificate(context, certificate.get()), 1);
        EXPECT_EQ(SSL_CTX_use_PrivateKey(context, key.get()), 1);
        SSL_CTX_free(context);

        // Once the card changed, the key signs no more, and the failure is the card's.
        clearCardSignatureFailure();
        signer->drop();
        EXPECT_TRUE(signWith(key.get(), RSA_PKCS1_PSS_PADDING, "SHA256").empty());
        EXPECT_TRUE(cardSignatureFailedOnThisThread());
        clearCardSignatureFailure();
    }
    // A token with a signature pair only has no identity to offer: never its signature key.
    EXPECT_EQ(findCardIdentity(test::kSoftHsmModule, other).problem, IdentityProblem::noAuthenticationKey);
    // Another card, no card, no module.
    EXPECT_EQ(findCardIdentity(test::kSoftHsmModule, "9999999999").problem, IdentityProblem::noToken);
    EXPECT_EQ(findCardIdentity(test::kSoftHsmModule, "").problem, IdentityProblem::noToken);
    EXPECT_EQ(findCardIdentity("", card).problem, IdentityProblem::noModule);
    EXPECT_EQ(findCardIdentity("/nonexistent/libsigilla-pkcs11.so", card).problem, IdentityProblem::noModule);
}

}  // namespace
}  // namespace qel::vek
