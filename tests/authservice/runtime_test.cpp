// The runtime and the operations against a loopback HTTP server: what goes on the wire, how every
// kind of failure reaches the caller, and where completions run.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "authservice/apis/authentication_apis.h"
#include "authservice/apis/session_management_api.h"
#include "authservice/vek_config.h"
#include "tests/support/local_http_server.h"

namespace qel::vek {
namespace {

namespace fs = std::filesystem;
using test::LocalHttpServer;

// A manual main queue that wakes the test when something is posted.
class SignallingQueue : public ManualMainQueue {
public:
    void post(Task task) override {
        ManualMainQueue::post(std::move(task));
        std::lock_guard lock(mutex_);
        posted_.notify_all();
    }
    /// Waits until a task is posted, then runs what is ready on this thread.
    void runWhenPosted() {
        std::unique_lock lock(mutex_);
        // The bound only keeps a broken run from hanging; the test waits for the post, not for time.
        posted_.wait_for(lock, std::chrono::seconds(60), [this] { return pending() > 0; });
        lock.unlock();
        runReady();
    }

private:
    std::mutex mutex_;
    std::condition_variable posted_;
};

// Holds an answer back until the test releases it.
class Gate {
public:
    void wait() {
        std::unique_lock lock(mutex_);
        entered_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return open_; });
    }
    void waitEntered() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return entered_; });
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    void reset() {
        std::lock_guard lock(mutex_);
        entered_ = false;
        open_ = false;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool entered_ = false;
    bool open_ = false;
};

// One server for the whole suite: stopping one waits for the client's kept-alive connection to end.
class ServiceRuntime : public ::testing::Test {
protected:
    struct Answer {
        std::mutex mutex;
        int status = 200;
        std::string body;
        std::string contentType = "application/json";
        std::vector<std::pair<std::string, std::string>> headers;
    };

    static void SetUpTestSuite() {
        server_ = new LocalHttpServer();
        answer_ = new Answer();
        gate_ = new Gate();
        server_->route("/hold/.*", [](const httplib::Request&, httplib::Response& response) {
            gate_->wait();
            response.status = 200;
        });
        server_->route(".*", [](const httplib::Request&, httplib::Response& response) {
            std::lock_guard lock(answer_->mutex);
            response.status = answer_->status;
            if (!answer_->body.empty()) response.set_content(answer_->body, answer_->contentType);
            for (const auto& [name, value] : answer_->headers) response.set_header(name, value);
        });
        server_->start();
    }
    static void TearDownTestSuite() {
        gate_->open();
        server_->stop();
        delete server_;
        delete answer_;
        delete gate_;
    }

    void SetUp() override {
        gate_->reset();
        answer(200);
        folder_ = fs::temp_directory_path() / ("vek-runtime-" + std::to_string(::getpid()));
        fs::create_directories(folder_);
        const std::string settings = (folder_ / "vek.plist").string();
        std::ofstream(settings, std::ios::binary)
            << VekConfig::encodeBinary({server_->baseUrl(), server_->baseUrl() + "t/"});
        VekConfig::setSettingsPath(settings);
        HttpSession::shared().setAllowPlainHttp(true);
        OpenAPIClientAPI::setApiResponseQueue(&queue_);
    }
    void TearDown() override {
        gate_->open();
        OpenAPIClientAPI::setApiResponseQueue(nullptr);
        OpenAPIClientAPI::setCustomHeaders({});
        OpenAPIClientAPI::setTimeoutMs(60000);
        HttpSession::shared().setClientTlsConfigurator(std::shared_ptr<ClientTlsConfigurator>());
        HttpSession::shared().setAllowPlainHttp(false);
        VekConfig::setSettingsPath("");
        setTestEnvironment(false);
        fs::remove_all(folder_);
    }

    static void answer(int status, std::string body = {}, std::string type = "application/json",
                       std::vector<std::pair<std::string, std::string>> headers = {}) {
        std::lock_guard lock(answer_->mutex);
        answer_->status = status;
        answer_->body = std::move(body);
        answer_->contentType = std::move(type);
        answer_->headers = std::move(headers);
    }

    static LocalHttpServer::Received lastReceived() {
        const auto all = server_->received();
        return all.empty() ? LocalHttpServer::Received{} : all.back();
    }

    static inline LocalHttpServer* server_ = nullptr;
    static inline Answer* answer_ = nullptr;
    static inline Gate* gate_ = nullptr;
    SignallingQueue queue_;
    fs::path folder_;
};

TEST_F(ServiceRuntime, PendingRequestsArriveOnTheResponseQueue) {
    answer(200, R"([{"notificationId":"n-1","serviceName":"Portail"},{}])");
    std::optional<Result<std::vector<PendingAuthenticationRequestDto>>> delivered;
    std::thread::id deliveredOn;
    CIBAAuthenticationAPIAPI::getPendingRequests("801234567/8 é", [&](auto result) {
        deliveredOn = std::this_thread::get_id();
        delivered.emplace(std::move(result));
    });
    EXPECT_FALSE(delivered.has_value());  // nothing runs before the queue does
    queue_.runWhenPosted();
    ASSERT_TRUE(delivered.has_value());
    EXPECT_EQ(deliveredOn, std::this_thread::get_id());
    ASSERT_TRUE(delivered->ok()) << delivered->error().description();
    ASSERT_EQ(delivered->value().size(), 2u);
    EXPECT_EQ(delivered->value()[0].serviceName, "Portail");

    const auto sent = lastReceived();
    EXPECT_EQ(sent.method, "GET");
    EXPECT_EQ(sent.target, "/api/ulmora-authentication/authentications/ciba/requests/pending");
    // The identifier travels as plain text, without any encoding.
    EXPECT_EQ(sent.headers.find("X-Authenticated-User")->second, "801234567/8 é");
    EXPECT_TRUE(sent.body.empty());
}

TEST_F(ServiceRuntime, TheTestEnvironmentAndTheSessionPathAreFollowed) {
    answer(204);
    setTestEnvironment(true);
    ASSERT_TRUE(SessionManagementAPIAPI::logoutAll("u1").ok());
    EXPECT_EQ(lastReceived().method, "DELETE");
    EXPECT_EQ(lastReceived().target, "/t/api/ulmora-session/sessions/logoutAll");

    setTestEnvironment(false);
    ASSERT_TRUE(SessionManagementAPIAPI::logoutSession("a b/c%").ok());
    EXPECT_EQ(lastReceived().target, "/api/ulmora-session/sessions/a%20b/c%25/logout");

    answer(200, "{}");
    ASSERT_TRUE(SessionManagementAPIAPI::searchSessions({}, {}, {}, {}, {}, {}, {}).ok());
    EXPECT_EQ(lastReceived().target, "/api/ulmora-session/sessions/search");
    const Date may1{std::chrono::sys_days{std::chrono::year{2024} / 5 / 1}};
    ASSERT_TRUE(
        SessionManagementAPIAPI::searchSessions("x&y", may1, {}, true, 2, {}, std::vector<std::string>{"a", "b"}).ok());
    EXPECT_EQ(lastReceived().target,
              "/api/ulmora-session/sessions/search?searchIndex=x%26y&startDate=2024-05-01T00%3A00%3A00.000Z"
              "&reportedOnly=true&page=2&sort=a,b");
}

TEST_F(ServiceRuntime, BodiesAndOperationsWithoutAnswerBody) {
    answer(204);
    ASSERT_TRUE(CIBAAuthenticationAPIAPI::postCardResponse({"n-1", AuthStatus::CANCELLED}, "u1").ok());
    auto sent = lastReceived();
    EXPECT_EQ(sent.method, "POST");
    EXPECT_EQ(sent.target, "/api/ulmora-authentication/authentications/ciba/card/responses");
    EXPECT_EQ(sent.headers.find("Content-Type")->second, "application/json");
    EXPECT_EQ(nlohmann::json::parse(sent.body),
              nlohmann::json::parse(R"({"notificationId":"n-1","authStatus":"CANCELLED"})"));

    // Any 2xx with any body is success for an operation without answer body.
    answer(200, "<html>ok</html>", "text/html");
    EXPECT_TRUE(CIBAAuthenticationAPIAPI::postCardResponse({"n-1", AuthStatus::SUCCEED}, "u1").ok());

    // An absent body model: no body and no Content-Type.
    ASSERT_TRUE(CIBAAuthenticationAPIAPI::postCibaRequest(std::nullopt).ok());
    sent = lastReceived();
    EXPECT_TRUE(sent.body.empty());
    EXPECT_EQ(sent.headers.count("Content-Type"), 0u);

    answer(200, R"(["111","222","111","333"])");
    const auto codes = MultiFactorCIBAAuthenticationAPI::createCodeChallenges({"n-1"}, "u1");
    ASSERT_TRUE(codes.ok());
    EXPECT_EQ(codes.value(), (CodeSet{"111", "222", "333"}));
    answer(200, "\"ACTIVE\"", "text/plain");
    EXPECT_EQ(AuthenticationThroughWalletAPI::getSessionState().value(), "\"ACTIVE\"");
}

TEST_F(ServiceRuntime, FailuresKeepTheirStatusAndBody) {
    const std::string errorBody = R"({"code":"BUSI-AUTHENT-8","message":"Délai dépassé"})";
    answer(500, errorBody);
    auto state = MultiFactorCIBAAuthenticationConfigurationAPI::getCodeState();
    ASSERT_FALSE(state.ok());
    EXPECT_EQ(state.error().statusCode(), 500);
    EXPECT_EQ(state.error().body(), errorBody);
    EXPECT_EQ(state.error().responseErrorKind(), HttpResponseError::Kind::unsuccessfulHTTPStatusCode);
    ASSERT_TRUE(state.error().response().has_value());
    EXPECT_EQ(state.error().response()->statusCode, 500);
    EXPECT_EQ(JsonCoding::decode<ErrorDto>(*state.error().body()).errorCode(), ErrorDtoCode::SESSION_TIMEOUT);

    answer(404, "<html>introuvable</html>", "text/html");
    const auto logout = SessionManagementAPIAPI::logoutAll("u1");
    ASSERT_FALSE(logout.ok());
    EXPECT_EQ(logout.error().statusCode(), 404);
    EXPECT_EQ(logout.error().body(), "<html>introuvable</html>");

    answer(200, "<html>pas du JSON</html>", "text/html");
    state = MultiFactorCIBAAuthenticationConfigurationAPI::getCodeState();
    ASSERT_FALSE(state.ok());
    EXPECT_EQ(state.error().statusCode(), 200);
    EXPECT_EQ(state.error().responseErrorKind(), HttpResponseError::Kind::jsonDecoding);
    EXPECT_EQ(state.error().body(), "<html>pas du JSON</html>");

    answer(200);
    state = MultiFactorCIBAAuthenticationConfigurationAPI::getCodeState();
    ASSERT_FALSE(state.ok());
    EXPECT_EQ(state.error().statusCode(), 200);
    EXPECT_EQ(state.error().responseErrorKind(), HttpResponseError::Kind::emptyDataResponse);
    EXPECT_FALSE(state.error().body().has_value());

    // A model whose required field is missing is a decoding failure, not a crash or an empty value.
    answer(200, R"([{"id":"s","username":"u","updateDate":"2024-05-01"}])");
    const auto sessions = SessionManagementAPIAPI::getSessions();
    ASSERT_FALSE(sessions.ok());
    EXPECT_EQ(sessions.error().responseErrorKind(), HttpResponseError::Kind::jsonDecoding);
}

TEST_F(ServiceRuntime, TransportFailuresAreStatusMinusOne) {
    // Time-out: the server holds the answer until the test ends.
    OpenAPIClientAPI::setTimeoutMs(200);
    auto held = HttpRequestBuilderFactory::noBodyBuilder("GET", server_->baseUrl() + "hold/1", {}, {}, true);
    auto result = held->executeBlocking();
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().statusCode(), kTransportFailureStatus);
    ASSERT_TRUE(std::holds_alternative<TransportError>(result.error().error()));
    EXPECT_EQ(std::get<TransportError>(result.error().error()).curlCode, CURLE_OPERATION_TIMEDOUT);

    // Plain HTTP is for tests only: the session refuses it by default.
    HttpSession::shared().setAllowPlainHttp(false);
    result = HttpRequestBuilderFactory::noBodyBuilder("GET", server_->baseUrl(), {}, {}, true)->executeBlocking();
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(std::get<TransportError>(result.error().error()).curlCode, CURLE_UNSUPPORTED_PROTOCOL);
    HttpSession::shared().setAllowPlainHttp(true);

    // Nobody listening.
    LocalHttpServer gone;
    gone.start();
    const std::string url = gone.baseUrl();
    gone.stop();
    result = HttpRequestBuilderFactory::noBodyBuilder("GET", url, {}, {}, true)->executeBlocking();
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().statusCode(), kTransportFailureStatus);
    EXPECT_FALSE(result.error().description().empty());
}

TEST_F(ServiceRuntime, ACancelledTaskCompletesWithAnError) {
    auto builder = HttpRequestBuilderFactory::noBodyBuilder("GET", server_->baseUrl() + "hold/2", {}, {}, true);
    std::optional<Result<Response<NoBody>>> delivered;
    auto task = builder->execute([&](auto result) { delivered.emplace(std::move(result)); });
    gate_->waitEntered();
    task->cancel();
    queue_.runWhenPosted();
    ASSERT_TRUE(delivered.has_value());
    ASSERT_FALSE(delivered->ok());
    EXPECT_EQ(delivered->error().statusCode(), kTransportFailureStatus);
    EXPECT_EQ(std::get<TransportError>(delivered->error().error()).curlCode, CURLE_ABORTED_BY_CALLBACK);
}

TEST_F(ServiceRuntime, HeadersCustomAndRefused) {
    answer(200, "[]");
    OpenAPIClientAPI::setCustomHeaders({{"x-authenticated-user", "custom"}, {"X-Trace", "1"}});
    ASSERT_TRUE(CIBAAuthenticationAPIAPI::getPendingRequests("card").ok());
    auto sent = lastReceived();
    EXPECT_EQ(sent.headers.count("X-Authenticated-User"), 1u);
    EXPECT_EQ(sent.headers.find("X-Authenticated-User")->second, "custom");
    EXPECT_EQ(sent.headers.find("X-Trace")->second, "1");
    OpenAPIClientAPI::setCustomHeaders({});

    // An identifier that would start a second header is refused before anything is sent.
    const std::size_t before = server_->received().size();
    const auto refused = CIBAAuthenticationAPIAPI::getPendingRequests("card\r\nX-Admin: 1");
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().statusCode(), kTransportFailureStatus);
    EXPECT_EQ(refused.error().responseErrorKind(), HttpResponseError::Kind::generalError);
    EXPECT_EQ(server_->received().size(), before);

    // No identifier: no header at all.
    ASSERT_TRUE(CIBAAuthenticationAPIAPI::getPendingRequests(std::nullopt).ok());
    EXPECT_EQ(lastReceived().headers.count("X-Authenticated-User"), 0u);
}

TEST_F(ServiceRuntime, TheClientIdentityHookRunsForEveryRequestAndCanStopIt) {
    answer(200, "[]");
    std::atomic<int> calls{0};
    HttpSession::shared().setClientTlsConfigurator([&](CURL* handle) {
        ++calls;
        return handle != nullptr;
    });
    ASSERT_TRUE(CIBAAuthenticationAPIAPI::getPendingRequests("u").ok());
    ASSERT_TRUE(CIBAAuthenticationAPIAPI::getPendingRequests("u").ok());
    EXPECT_EQ(calls, 2);

    const std::size_t before = server_->received().size();
    HttpSession::shared().setClientTlsConfigurator([](CURL*) { return false; });
    const auto result = CIBAAuthenticationAPIAPI::getPendingRequests("u");
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().statusCode(), kTransportFailureStatus);
    EXPECT_EQ(server_->received().size(), before);
}

TEST_F(ServiceRuntime, OneConnectionIsKeptAlive) {
    answer(200, "{}");
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(MultiFactorCIBAAuthenticationConfigurationAPI::getCodeState().ok());
    const auto all = server_->received();
    ASSERT_GE(all.size(), 3u);
    EXPECT_EQ(all[all.size() - 3].remotePort, all.back().remotePort);
}

// The identity a connection was made with is the only one it carries: a request under another card
// gets a connection of its own, and a card change ends every kept connection and cookie.
class KeyedIdentity final : public ClientTlsConfigurator {
public:
    bool configure(CURL*) override { return true; }
    std::string connectionKey() override {
        std::lock_guard lock(mutex);
        return key;
    }
    std::mutex mutex;
    std::string key;
};

TEST_F(ServiceRuntime, AConnectionServesOnlyTheIdentityItWasMadeWithUntilTheCardChanges) {
    auto identity = std::make_shared<KeyedIdentity>();
    HttpSession::shared().setClientTlsConfigurator(identity);
    HttpSession::shared().dropConnections();
    const auto requestAs = [&](const std::string& key) {
        {
            std::lock_guard lock(identity->mutex);
            identity->key = key;
        }
        EXPECT_TRUE(MultiFactorCIBAAuthenticationConfigurationAPI::getCodeState().ok());
        return lastReceived();
    };
    answer(200, "{}", "application/json", {{"Set-Cookie", "SESSION=card-a; Path=/"}});
    const int firstA = requestAs("card A").remotePort;
    answer(200, "{}");
    EXPECT_EQ(requestAs("card A").remotePort, firstA);
    const auto asB = requestAs("card B");
    EXPECT_NE(asB.remotePort, firstA);
    EXPECT_EQ(requestAs("card A").remotePort, firstA);

    HttpSession::shared().dropConnections();
    const auto afterChange = requestAs("card A");
    EXPECT_NE(afterChange.remotePort, firstA);
    EXPECT_NE(afterChange.remotePort, asB.remotePort);
    EXPECT_EQ(afterChange.headers.count("Cookie"), 0u);
    // Without a card (no identity) the connection is not one of a card's either.
    const auto none = requestAs("");
    EXPECT_NE(none.remotePort, afterChange.remotePort);
}

TEST_F(ServiceRuntime, ABadUrlIsAnErrorNotASend) {
    const auto result = HttpRequestBuilderFactory::noBodyBuilder("GET", "http://[::1", {}, {}, true)->executeBlocking();
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(std::get<DownloadException>(result.error().error()), DownloadException::requestMissingURL);
}

// A program that ends while a request waits on the service: the transfer is aborted, the workers have
// ended when shutdown returns, and nothing sent later starts. Run in a child: the session is the process's.
TEST_F(ServiceRuntime, ShutdownAbortsTheTransferUnderWayAndStartsNothingMore) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            auto held = HttpRequestBuilderFactory::noBodyBuilder("GET", server_->baseUrl() + "hold/3", {}, {}, true);
            std::atomic<int> completions{0};
            held->execute([&](auto) { ++completions; });
            gate_->waitEntered();
            HttpSession::shared().shutdown();
            auto later = HttpRequestBuilderFactory::noBodyBuilder("GET", server_->baseUrl(), {}, {}, true);
            later->execute([&](auto) { ++completions; });
            // The aborted transfer's completion was posted before the workers ended; the later one never is.
            queue_.runWhenPosted();
            std::_Exit(completions == 1 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(ServiceRuntime, UnsupportedMethodsAndMediaTypesAreProgrammingErrors) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto method = HttpRequestBuilderFactory::noBodyBuilder("FETCH", server_->baseUrl(), {}, {}, true);
    EXPECT_DEBUG_DEATH(
        {
            const auto r = method->executeBlocking();
            EXPECT_EQ(r.error().responseErrorKind(), HttpResponseError::Kind::generalError);
        },
        "Unsupported Http method - FETCH");
    auto media =
        HttpRequestBuilderFactory::noBodyBuilder("POST", server_->baseUrl(), {}, {{"Content-Type", "text/xml"}}, true);
    EXPECT_DEBUG_DEATH(
        {
            const auto r = media->executeBlocking();
            EXPECT_EQ(r.error().statusCode(), kTransportFailureStatus);
        },
        "Unsupported Media Type - text/xml");
}

TEST_F(ServiceRuntime, FormEncodingsAndDownloads) {
    answer(200);
    auto form = HttpRequestBuilderFactory::noBodyBuilder("PUT", server_->baseUrl() + "form",
                                                         Parameters{{"a b", JsonValue("x&y")}, {"n", JsonValue(2)}},
                                                         {{"Content-Type", "application/x-www-form-urlencoded"}}, true);
    ASSERT_TRUE(form->executeBlocking().ok());
    EXPECT_EQ(lastReceived().method, "PUT");
    EXPECT_EQ(lastReceived().body, "a%20b=x%26y&n=2");

    auto multipart = HttpRequestBuilderFactory::noBodyBuilder("POST", server_->baseUrl() + "multi",
                                                              Parameters{{"f", FormFile{"r.txt", "contenu", ""}}},
                                                              {{"Content-Type", "multipart/form-data"}}, true);
    ASSERT_TRUE(multipart->executeBlocking().ok());
    const auto sent = lastReceived();
    EXPECT_EQ(sent.headers.find("Content-Type")->second.rfind("multipart/form-data; boundary=", 0), 0u);
    ASSERT_EQ(sent.files.count("f"), 1u);
    const auto& part = sent.files.find("f")->second;
    EXPECT_EQ(part.filename, "r.txt");
    EXPECT_EQ(part.content_type, "application/octet-stream");
    EXPECT_EQ(part.content, "contenu");

    // A server's file name never leaves the download folder.
    answer(200, "données", "application/octet-stream",
           {{"Content-Disposition", "attachment; filename=\"../../evil.sh\""}});
    const auto file = HttpRequestBuilderFactory::decodingBuilder<DownloadedFile>(
                          "GET", server_->baseUrl() + "files/../x/report", {}, {}, true)
                          ->executeBlocking();
    ASSERT_TRUE(file.ok()) << file.error().description();
    const char* cacheHome = std::getenv("XDG_CACHE_HOME");
    if (!cacheHome) GTEST_SKIP() << "needs the private cache folder ctest gives";
    const std::string cache = cacheHome;
    EXPECT_EQ(file.value().body.path.rfind(cache + "/", 0), 0u);
    EXPECT_EQ(fs::path(file.value().body.path).filename(), "evil.sh");
    std::ifstream in(file.value().body.path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "données");
}

TEST_F(ServiceRuntime, CookiesAndHeadersOfTheAnswer) {
    answer(200, R"({"enabled":true})", "application/json",
           {{"Set-Cookie", "SESSION=abc; Path=/"}, {"X-Request-Id", "r-1"}});
    auto builder = MultiFactorCIBAAuthenticationConfigurationAPI::getCodeStateWithRequestBuilder();
    const auto first = builder->executeBlocking();
    ASSERT_TRUE(first.ok());
    EXPECT_EQ(first.value().statusCode, 200);
    EXPECT_EQ(first.value().header.at("X-Request-Id"), "r-1");
    EXPECT_EQ(first.value().bodyData, R"({"enabled":true})");
    EXPECT_EQ(first.value().body.enabled, true);

    // The session keeps the service's cookie for the next request.
    answer(204);
    ASSERT_TRUE(SessionManagementAPIAPI::logoutAll("u").ok());
    const auto sent = lastReceived();
    ASSERT_EQ(sent.headers.count("Cookie"), 1u);
    EXPECT_EQ(sent.headers.find("Cookie")->second, "SESSION=abc");
}

TEST_F(ServiceRuntime, AQueueNamedByTheCallerWinsOverTheClientsOne) {
    answer(200, R"({"valid":false})");
    SignallingQueue other;
    std::optional<Result<VerifyCodeResponseDto>> delivered;
    MultiFactorCIBAAuthenticationAPI::verifyCode(
        {"123", "n-1"}, "u", [&](auto result) { delivered.emplace(std::move(result)); }, &other);
    other.runWhenPosted();
    ASSERT_TRUE(delivered.has_value());
    ASSERT_TRUE(delivered->ok());
    EXPECT_EQ(delivered->value().valid, false);
    EXPECT_EQ(queue_.pending(), 0u);
    EXPECT_EQ(nlohmann::json::parse(lastReceived().body),
              nlohmann::json::parse(R"({"code":"123","notificationId":"n-1"})"));
}

TEST_F(ServiceRuntime, AnOversizedAnswerIsRefused) {
    answer(200, std::string(HttpSession::kMaxBodyBytes + 1, 'x'), "text/plain");
    const auto result = AuthenticationThroughWalletAPI::getSessionState();
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().statusCode(), kTransportFailureStatus);
    EXPECT_EQ(std::get<TransportError>(result.error().error()).curlCode, CURLE_WRITE_ERROR);
}

TEST(QueryBuilding, ItemsAndEncodings) {
    const Date may1{std::chrono::sys_days{std::chrono::year{2024} / 5 / 1} + std::chrono::milliseconds{5}};
    const auto items = APIHelper::mapValuesToQueryItems({{"a", std::nullopt, false},
                                                         {"l", QueryValue(std::vector<std::string>{"x", "y"}), true},
                                                         {"j", QueryValue(std::vector<std::string>{"x", "y"}), false},
                                                         {"d", QueryValue(may1), false},
                                                         {"n", QueryValue(std::int64_t{-3}), false},
                                                         {"b", QueryValue(false), false}});
    const std::vector<QueryItem> expected{{"l", "x"},  {"l", "y"},    {"j", "x,y"}, {"d", "2024-05-01T00:00:00.005Z"},
                                          {"n", "-3"}, {"b", "false"}};
    EXPECT_EQ(items, expected);
    EXPECT_EQ(APIHelper::appendQuery("https://h/p", {}), "https://h/p");
    EXPECT_EQ(APIHelper::appendQuery("https://h/p", {{"q r", "é=&"}}), "https://h/p?q%20r=%C3%A9%3D%26");
    EXPECT_EQ(APIHelper::percentEncodePath("a/b c?#é"), "a/b%20c%3F%23%C3%A9");
    const Headers headers = APIHelper::rejectNilHeaders({{"A", "1"}, {"B", std::nullopt}});
    EXPECT_EQ(headers.size(), 1u);
    EXPECT_EQ(headers.at("a"), "1");
}

}  // namespace
}  // namespace qel::vek
