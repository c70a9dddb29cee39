// The session's TLS server verification against a loopback HTTPS server whose authority is not the
// system's: refused without the extra authority file, accepted with it, and the identity hook's
// context step able to stop the handshake.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <thread>

#include "authservice/request_builder.h"
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

}  // namespace
}  // namespace qel::vek
