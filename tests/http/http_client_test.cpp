// The HTTPS layer's own rules, whatever the client: the answer cap while the body downloads, the
// time-out, the owner's cancel, the redirects allowed, and TLS verification against the trusted
// authorities only. The three clients' tests cover how each maps these failures to its outcome.
#include "http/client.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <thread>

#include "sim/services/service_credentials.h"
#include "tests/support/local_http_server.h"

namespace qel::http {
namespace {

constexpr std::size_t kCap = 64 * 1024;

// Holds a handler until the test lets it go, and tells the test when a request arrived.
struct Gate {
    std::promise<void> arrived;
    std::promise<void> released;
    std::shared_future<void> release = released.get_future().share();
};

class HttpClient : public ::testing::Test {
protected:
    void SetUp() override {
        server_.route("/sized", [](const httplib::Request& request, httplib::Response& response) {
            response.set_content(std::string(std::stoul(request.get_param_value("n")), 'x'), "application/json");
        });
        // No length announced: only the running count can stop it.
        server_.route("/streamed", [](const httplib::Request& request, httplib::Response& response) {
            const std::size_t total = std::stoul(request.get_param_value("n"));
            response.set_chunked_content_provider(
                "text/plain", [total, sent = std::size_t{0}](std::size_t, httplib::DataSink& sink) mutable {
                    const std::string piece(std::min<std::size_t>(4096, total - sent), 'y');
                    sent += piece.size();
                    if (!sink.write(piece.data(), piece.size())) return false;
                    if (sent == total) sink.done();
                    return true;
                });
        });
        server_.route("/held", [this](const httplib::Request&, httplib::Response& response) {
            gate_.arrived.set_value();
            gate_.release.wait();
            response.set_content("late", "text/plain");
        });
        server_.route(R"(/hop/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
            const int left = std::stoi(request.matches[1].str());
            if (left == 0)
                response.set_content("there", "text/plain");
            else
                response.set_redirect("/hop/" + std::to_string(left - 1));
        });
        server_.start();
    }
    void TearDown() override {
        releaseHeld();
        server_.stop();
    }
    void releaseHeld() {
        if (!released_) gate_.released.set_value();
        released_ = true;
    }
    Exchange get(const std::string& path, const Policy& policy, TransferControl* control = nullptr) {
        return session_.perform(Request{"GET", server_.baseUrl() + path, {}, {}, {}}, policy, control);
    }
    static Policy plain() {
        Policy policy;
        policy.allowPlainHttp = true;
        policy.maxBodyBytes = kCap;
        return policy;
    }

    test::LocalHttpServer server_;
    Gate gate_;
    bool released_ = false;
    Session session_;
};

TEST_F(HttpClient, AnAnswerPastTheCapFailsAndNothingOfItIsKept) {
    // At the cap exactly, both ways of sending it arrive whole.
    for (const char* path : {"sized", "streamed"}) {
        const Exchange whole = get(std::string(path) + "?n=" + std::to_string(kCap), plain());
        ASSERT_TRUE(whole.completed()) << path << ": " << whole.failure->message;
        EXPECT_EQ(whole.response.body.size(), kCap) << path;
    }
    // One byte more: the transfer stops at the cap, whether the length was announced or not.
    for (const char* path : {"sized", "streamed"}) {
        const Exchange over = get(std::string(path) + "?n=" + std::to_string(kCap + 1), plain());
        ASSERT_FALSE(over.completed()) << path;
        EXPECT_EQ(over.failure->kind, Failure::tooLarge) << path;
        EXPECT_EQ(over.failure->message, "réponse plus grande que 65536 octets") << path;
        EXPECT_TRUE(over.response.body.empty()) << path;
    }
}

TEST_F(HttpClient, ASilentServerEndsInATimeOut) {
    Policy policy = plain();
    policy.timeoutMs = 300;
    const Exchange answer = get("held", policy);
    ASSERT_FALSE(answer.completed());
    EXPECT_EQ(answer.failure->kind, Failure::timedOut) << answer.failure->message;
    EXPECT_EQ(answer.response.status, 0);
}

TEST_F(HttpClient, TheOwnerCancelsATransferUnderWay) {
    TransferControl control;
    std::future<Exchange> answer = std::async(std::launch::async, [&] { return get("held", plain(), &control); });
    gate_.arrived.get_future().wait();
    control.cancelled = true;
    const Exchange cancelled = answer.get();
    ASSERT_FALSE(cancelled.completed());
    EXPECT_EQ(cancelled.failure->kind, Failure::cancelled);
    EXPECT_EQ(cancelled.failure->message, "requête annulée");

    // A stopped session sends nothing more.
    releaseHeld();
    session_.stop();
    const Exchange refused = get("sized?n=1", plain());
    ASSERT_FALSE(refused.completed());
    EXPECT_EQ(refused.failure->kind, Failure::cancelled);
    EXPECT_EQ(server_.received().size(), 1u);
}

TEST_F(HttpClient, RedirectsAndPlainHttpOnlyWhereAllowed) {
    Policy policy = plain();
    const Exchange notFollowed = get("hop/1", policy);
    ASSERT_TRUE(notFollowed.completed());
    EXPECT_EQ(notFollowed.response.status, 302);

    policy.maxRedirects = 2;
    const Exchange followed = get("hop/2", policy);
    ASSERT_TRUE(followed.completed());
    EXPECT_EQ(followed.response.body, "there");
    const Exchange tooMany = get("hop/3", policy);
    ASSERT_FALSE(tooMany.completed());
    EXPECT_EQ(tooMany.failure->kind, Failure::redirects);

    policy.allowPlainHttp = false;
    const Exchange plainRefused = get("sized?n=1", policy);
    ASSERT_FALSE(plainRefused.completed());
    EXPECT_EQ(plainRefused.failure->kind, Failure::badAddress);
}

// The server's certificate comes from an authority that is not the system's: refused until the
// policy names that authority's file.
TEST(HttpClientTls, TheServerIsVerifiedAgainstTheGivenAuthoritiesOnly) {
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / ("http-tls-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    const sim::ServiceCredentials credentials = sim::makeServiceCredentials(folder.string(), "http", "Test Authority");
    httplib::SSLServer server(credentials.certificate.c_str(), credentials.privateKey.c_str());
    server.Get("/", [](const httplib::Request&, httplib::Response& r) { r.set_content("{}", "application/json"); });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { server.listen_after_bind(); });
    while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const Request request{"GET", "https://127.0.0.1:" + std::to_string(port) + "/", {}, {}, {}};
    Session session;

    Policy policy;
    const Exchange untrusted = session.perform(request, policy);
    ASSERT_FALSE(untrusted.completed());
    EXPECT_EQ(untrusted.failure->kind, Failure::serverUntrusted) << untrusted.failure->message;

    policy.extraCaFile = (folder / "missing.pem").string();
    const Exchange unreadable = session.perform(request, policy);
    ASSERT_FALSE(unreadable.completed());
    EXPECT_EQ(unreadable.failure->kind, Failure::authorityFile);

    policy.extraCaFile = credentials.caFile;
    const Exchange trusted = session.perform(request, policy);
    ASSERT_TRUE(trusted.completed()) << trusted.failure->message;
    EXPECT_EQ(trusted.response.status, 200);
    EXPECT_EQ(mediaType(trusted.response), "application/json");

    server.stop();
    serving.join();
    fs::remove_all(folder);
}

}  // namespace
}  // namespace qel::http
