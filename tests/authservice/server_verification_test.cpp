// The session's TLS server verification against a loopback HTTPS server whose authority is not the
// system's: refused without the extra authority file, accepted with it, and the identity hook's
// context step able to stop the handshake. A client key made like the card's (its signatures by a
// signer of ours) signs a real handshake, and one whose signer fails makes the card's error.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <filesystem>
#include <thread>

#include "authservice/request_builder.h"
#include "authservice/tls/card_key.h"
#include "authservice/vek_outcome.h"
#include "sim/tmaj/tmaj_authority.h"

namespace qel::vek {
namespace {

namespace fs = std::filesystem;

class ContextRefusal final : public ClientTlsConfigurator {
public:
    bool configure(CURL*) override { return true; }
    bool configureContext(SSL_CTX*) override {
        ++contexts;
        return false;
    }
    std::atomic<int> contexts{0};
};

// Signs as a card would, with a key in memory; or refuses, as a pulled card does.
class SoftwareSigner final : public CardSigner {
public:
    explicit SoftwareSigner(EVP_PKEY* key) : key_(key) {}
    std::optional<Bytes> sign(const CardSignRequest& r) override {
        ++calls;
        if (refuse) return std::nullopt;
        EVP_PKEY_CTX* c = EVP_PKEY_CTX_new(key_, nullptr);
        const EVP_MD* md = r.digest == CardDigest::sha1     ? EVP_sha1()
                           : r.digest == CardDigest::sha224 ? EVP_sha224()
                                                            : EVP_sha256();
        const bool pss = r.padding == CardPadding::pss;
        std::size_t length = 0;
        Bytes out;
        if (EVP_PKEY_sign_init(c) == 1 &&
            EVP_PKEY_CTX_set_rsa_padding(c, pss ? RSA_PKCS1_PSS_PADDING : RSA_PKCS1_PADDING) == 1 &&
            EVP_PKEY_CTX_set_signature_md(c, md) == 1 &&
            (!pss || EVP_PKEY_CTX_set_rsa_pss_saltlen(c, RSA_PSS_SALTLEN_DIGEST) == 1) &&
            EVP_PKEY_sign(c, nullptr, &length, r.hash.data(), r.hash.size()) == 1) {
            out.resize(length);
            if (EVP_PKEY_sign(c, out.data(), &length, r.hash.data(), r.hash.size()) == 1) out.resize(length);
        }
        EVP_PKEY_CTX_free(c);
        if (pss) ++pssSignatures;
        return out;
    }
    std::atomic<int> calls{0};
    std::atomic<int> pssSignatures{0};
    std::atomic<bool> refuse{false};

private:
    EVP_PKEY* key_;
};

// The card's identity as the program sets it: a certificate and a key whose signatures the signer makes.
class CardLikeIdentity final : public ClientTlsConfigurator {
public:
    CardLikeIdentity(X509* certificate, std::shared_ptr<CardSigner> signer)
        : certificate_(certificate), signer_(std::move(signer)) {}
    bool configure(CURL*) override {
        clearCardSignatureFailure();
        return true;
    }
    bool configureContext(SSL_CTX* context) override {
        EVP_PKEY* cardKey = newCardKey(certificate_, signer_);
        const bool ok = cardKey != nullptr && SSL_CTX_use_certificate(context, certificate_) == 1 &&
                        SSL_CTX_use_PrivateKey(context, cardKey) == 1;
        EVP_PKEY_free(cardKey);
        return ok;
    }
    bool clientKeyFailed() override { return cardSignatureFailedOnThisThread(); }
    std::string connectionKey() override { return connection; }
    std::string connection = "first";

private:
    X509* certificate_;
    std::shared_ptr<CardSigner> signer_;
};

class ServerVerification : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() / ("vek-tls-" + std::to_string(::getpid()));
        fs::create_directories(folder_);
        credentials_ = sim::makeTmajCredentials(folder_.string());
        server_ =
            std::make_unique<httplib::SSLServer>(credentials_.certificate.c_str(), credentials_.privateKey.c_str());
        server_->Get(".*",
                     [](const httplib::Request&, httplib::Response& r) { r.set_content("{}", "application/json"); });
        const int port = server_->bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_->listen_after_bind(); });
        while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        url_ = "https://127.0.0.1:" + std::to_string(port) + "/config";
        previousCaFile_ = HttpSession::shared().extraCaFile();
    }
    void TearDown() override {
        HttpSession::shared().setExtraCaFile(previousCaFile_);
        HttpSession::shared().setClientTlsConfigurator(std::shared_ptr<ClientTlsConfigurator>());
        server_->stop();
        thread_.join();
        fs::remove_all(folder_);
    }

    Result<Response<NoBody>> get() {
        return URLSessionRequestBuilderFactory::getNonDecodableBuilder("GET", url_, {}, {}, true)->executeBlocking();
    }
    static int curlCode(const ErrorResponse& e) { return std::get<TransportError>(e.error()).code; }

    fs::path folder_;
    sim::TmajCredentials credentials_;
    std::unique_ptr<httplib::SSLServer> server_;
    std::thread thread_;
    std::string url_;
    std::string previousCaFile_;
};

TEST_F(ServerVerification, TheServerIsVerifiedAgainstTheSystemAndTheExtraAuthorities) {
    HttpSession::shared().setExtraCaFile("");
    auto result = get();
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().statusCode(), kTransportFailureStatus);
    EXPECT_EQ(curlCode(result.error()), CURLE_PEER_FAILED_VERIFICATION);

    HttpSession::shared().setExtraCaFile((folder_ / "missing.pem").string());
    result = get();
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(curlCode(result.error()), CURLE_SSL_CACERT_BADFILE);

    HttpSession::shared().setExtraCaFile(credentials_.caFile);
    result = get();
    ASSERT_TRUE(result.ok()) << result.error().description();
    EXPECT_EQ(result.value().statusCode, 200);
}

TEST_F(ServerVerification, TheIdentityHookCanRefuseTheHandshake) {
    HttpSession::shared().setExtraCaFile(credentials_.caFile);
    auto refusal = std::make_shared<ContextRefusal>();
    HttpSession::shared().setClientTlsConfigurator(refusal);
    // A new host name, so that no kept connection of the other test is reused.
    url_.replace(url_.find("127.0.0.1"), 9, "localhost");
    const auto result = get();
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().statusCode(), kTransportFailureStatus);
    EXPECT_GE(refusal->contexts, 1);
}

// A server that asks for a client certificate sees the card-like key sign the handshake (TLS 1.3,
// RSA-PSS); once its signer fails, the request ends as the card's error, which the sign-in reports
// with the card access alert.
TEST_F(ServerVerification, AClientKeyOnTheCardSignsTheHandshakeAndItsFailureIsTheCards) {
    const std::string certificateFile = credentials_.certificate, keyFile = credentials_.privateKey;
    httplib::SSLServer asking([&](SSL_CTX& context) {
        SSL_CTX_set_verify(&context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, [](int, X509_STORE_CTX*) {
            return 1;  // any client certificate: the key's signature is what is tried here
        });
        return SSL_CTX_use_certificate_file(&context, certificateFile.c_str(), SSL_FILETYPE_PEM) == 1 &&
               SSL_CTX_use_PrivateKey_file(&context, keyFile.c_str(), SSL_FILETYPE_PEM) == 1;
    });
    asking.Get(".*", [](const httplib::Request&, httplib::Response& r) { r.set_content("{}", "application/json"); });
    const int port = asking.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { asking.listen_after_bind(); });
    while (!asking.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    url_ = "https://localhost:" + std::to_string(port) + "/identity";

    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_RSA_gen(2048), &EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> certificate(X509_new(), &X509_free);
    ASSERT_TRUE(key && certificate);
    X509_set_version(certificate.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 3600);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate.get()), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Holder Authentication"), -1, -1, 0);
    X509_set_issuer_name(certificate.get(), X509_get_subject_name(certificate.get()));
    X509_set_pubkey(certificate.get(), key.get());
    ASSERT_GT(X509_sign(certificate.get(), key.get(), EVP_sha256()), 0);

    auto signer = std::make_shared<SoftwareSigner>(key.get());
    auto identity = std::make_shared<CardLikeIdentity>(certificate.get(), signer);
    HttpSession::shared().setExtraCaFile(credentials_.caFile);
    HttpSession::shared().setClientTlsConfigurator(identity);
    auto result = get();
    ASSERT_TRUE(result.ok()) << result.error().description();
    EXPECT_EQ(signer->calls, 1);
    EXPECT_EQ(signer->pssSignatures, 1);

    signer->refuse = true;
    identity->connection = "refusing";  // a new connection, hence a new handshake
    result = get();
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(signer->calls, 2);
    EXPECT_EQ(curlCode(result.error()), CURLE_SSL_CERTPROBLEM) << result.error().description();
    EXPECT_EQ(toRespType(result.error(), false), RespType::CARD_ACCESS);

    HttpSession::shared().setClientTlsConfigurator(std::shared_ptr<ClientTlsConfigurator>());
    HttpSession::shared().dropConnections();
    asking.stop();
    serving.join();
}

}  // namespace
}  // namespace qel::vek
