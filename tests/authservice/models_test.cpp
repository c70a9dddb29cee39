// The service's bodies against JSON written by hand from the service's field tables: every record
// both ways with all its fields, its required fields enforced, and the coder's strictness.
#include <gtest/gtest.h>

#include <unordered_set>

#include "authservice/models/models.h"

namespace qel::vek {
namespace {

using nlohmann::json;
using namespace std::chrono;

Date at(int y, unsigned mo, unsigned d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    return Date{sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi} + seconds{s} + milliseconds{ms}};
}

// Decodes the text into the record, and encodes the record into exactly the same JSON object.
template <typename T>
void expectBothWays(const std::string& text, const T& record) {
    SCOPED_TRACE(text);
    std::string why;
    const std::optional<T> decoded = JsonCoding::tryDecode<T>(text, &why);
    ASSERT_TRUE(decoded.has_value()) << why;
    EXPECT_TRUE(*decoded == record);
    EXPECT_EQ(json::parse(JsonCoding::encode(record)), json::parse(text));
    EXPECT_EQ(hashValue(*decoded), hashValue(record));
}

template <typename T>
void expectRejected(const std::string& text) {
    std::string why;
    EXPECT_FALSE(JsonCoding::tryDecode<T>(text, &why).has_value()) << text;
    EXPECT_FALSE(why.empty()) << text;
}

TEST(ServiceModels, FlowRecordsBothWays) {
    expectBothWays<PendingAuthenticationRequestDto>(
        R"({"notificationId":"n-1","typeService":"PORTAIL","serviceName":"Amelipro","serviceMessage":"Connexion",)"
        R"("scope":"openid","modeAuth":"CARD","eidaslevel":"eidas3"})",
        {"n-1", "PORTAIL", "Amelipro", "Connexion", "openid", "CARD", "eidas3"});
    expectBothWays<PendingAuthenticationRequestDto>("{}", {});
    expectBothWays<CibaAuthenticationCardResponseDto>(R"({"notificationId":"n-1","authStatus":"CANCELLED"})",
                                                      {"n-1", AuthStatus::CANCELLED});
    expectBothWays<NotificationKeyDto>(R"({"notificationId":"n-2"})", {"n-2"});
    expectBothWays<VerifyCodeRequestDto>(R"({"code":"42","notificationId":"n-3"})", {"42", "n-3"});
    expectBothWays<VerifyCodeResponseDto>(R"({"valid":true})", {true});
    expectBothWays<VerifyCodeResponseDto>("{}", {});
    expectBothWays<EnabledFlagDto>(R"({"enabled":false})", {false});
    expectBothWays<ErrorDto>(
        R"({"code":"BUSI-AUTHENT-8","message":"Délai dépassé","metadata":{"n":1,"l":[true,null]}})",
        {"BUSI-AUTHENT-8", "Délai dépassé",
         std::map<std::string, JsonValue>{{"n", JsonValue(1)},
                                          {"l", JsonValue(std::vector<JsonValue>{true, nullptr})}}});
}

TEST(ServiceModels, CibaRecordsBothWays) {
    expectBothWays<CibaAuthenticationDeviceResponseDto>(
        R"({"notificationId":"n","userInfo":"u","authStatus":"UNAUTHORIZED","data":{"hotp":123456}})",
        {"n", "u", AuthStatus::UNAUTHORIZED, {123456}});
    expectBothWays<CibaAuthenticationDeviceCancelledResponseDto>(R"({"notificationId":"n","userInfo":"u"})",
                                                                 {"n", "u"});
    expectBothWays<CibaAuthenticationRequestDtoSerializable>(
        R"({"decoupledAuthId":"d","userInfo":"u","isConsentRequired":true,"scope":"s","defaultClientScope":"c",)"
        R"("bindingMessage":"b","expiresIn":120,"clientId":"cl","data":{"any":[1.5,"x"]}})",
        {"d", "u", true, "s", "c", "b", 120, "cl",
         JsonValue(std::map<std::string, JsonValue>{{"any", std::vector<JsonValue>{1.5, "x"}}})});
    expectBothWays<CibaAuthenticationRequestDtoSerializable>(
        R"({"decoupledAuthId":"d","userInfo":"u","isConsentRequired":false,"expiresIn":0,"clientId":"cl"})",
        {"d", "u", false, {}, {}, {}, 0, "cl", {}});
    expectBothWays<CibaUserValidationDto>(R"({"userInfo":"u","clientId":"c","channel":"CARD"})",
                                          {"u", "c", Channel::CARD});
}

TEST(ServiceModels, WalletRecordsBothWays) {
    expectBothWays<ChallengeRequestDto>(R"({"userId":"u","mobileHash":"h","notificationId":"n","hotp":7})",
                                        {"u", "h", "n", 7});
    expectBothWays<UserDto>(R"({"userId":"u","mobileHash":"h","notificationId":"n"})", {"u", "h", "n"});
    expectBothWays<AuthenticationRequestDto>(
        R"({"userId":"u","response_type":"code","client_id":"c","redirect_uri":"https://r/","scope":"openid",)"
        R"("state":"st","nonce":"no","acr_values":"eidas3","prompt":"login","max_age":300})",
        {"u", "code", "c", "https://r/", "openid", "st", "no", "eidas3", "login", 300});
    expectBothWays<RedirectURIResponseDto>(R"({"redirectURI":"https://r/","status":"IN_PROGRESS"})",
                                           {"https://r/", Status::IN_PROGRESS});
    expectBothWays<CodeMultiFactorAuthnDto>(R"({"code":"12","timeToLive":9000000000})", {"12", 9000000000});
    expectBothWays<PushDtoDataOnly>(
        R"({"token":"t","data":{"k":"v"},"ttl":60,"badge":2,"content":{"category":"c","apnsCollapseId":"a",)"
        R"("titleLocKey":"tk","titleLocArgs":["1","2"],"locKey":"lk","locArgs":[]},"priority":"HIGH",)"
        R"("deliveryTiming":"time-sensitive","silent":false})",
        {"t", std::map<std::string, std::string>{{"k", "v"}}, 60, 2,
         NotificationContentDtoDataOnly{"c", "a", "tk", std::vector<std::string>{"1", "2"}, "lk",
                                        std::vector<std::string>{}},
         Priority::HIGH, DeliveryTiming::timeSensitive, false});
    expectBothWays<ClientRepresentationDtoServiceProvider>(
        R"({"clientId":"c","name":"n","baseUrl":"https://b/","optionalClientScopes":["a"]})",
        {"c", "n", "https://b/", std::vector<std::string>{"a"}});
}

TEST(ServiceModels, SessionRecordsBothWays) {
    const SessionDTO session{"s1",
                             "jdupont",
                             at(2024, 5, 1, 8, 20, 30, 123),
                             at(2024, 5, 1, 9),
                             std::vector<ClientDTO>{{"c", "Portail", at(2024, 5, 1), at(2024, 5, 2)}},
                             AuthenticationFlow::CIBA,
                             AuthenticationMode::CARD,
                             "w",
                             "ua",
                             at(2024, 5, 3),
                             at(2024, 5, 4),
                             at(1970, 1, 1, 0, 5),
                             DeviceInfosDTO{"d", "Linux", "Firefox"}};
    const std::string sessionJson =
        R"({"id":"s1","username":"jdupont","startDate":"2024-05-01T08:20:30.123Z","updateDate":"2024-05-01T09:00:00.000Z",)"
        R"("clients":[{"id":"c","name":"Portail","start":"2024-05-01T00:00:00.000Z","lastAccess":"2024-05-02T00:00:00.000Z"}],)"
        R"("authenticationFlow":"CIBA","authenticationMode":"CARD","walletDevice":"w","userAgent":"ua",)"
        R"("reportedDate":"2024-05-03T00:00:00.000Z","endDate":"2024-05-04T00:00:00.000Z",)"
        R"("duration":"1970-01-01T00:05:00.000Z","deviceInfos":{"device":"d","os":"Linux","browser":"Firefox"}})";
    expectBothWays(sessionJson, session);
    expectBothWays<SuspectSession>(R"({"mailAddress":"a@b.fr"})", {"a@b.fr"});
    expectBothWays<PageSessionDTO>(
        R"({"totalElements":1,"totalPages":1,"pageable":{"paged":true,"unpaged":false,"pageNumber":0,"pageSize":20,)"
        R"("offset":0,"sort":{"unsorted":true,"sorted":false,"empty":true}},"number":0,"size":20,"content":[)" +
            sessionJson + R"(],"sort":{"unsorted":true},"first":true,"last":true,"numberOfElements":1,"empty":false})",
        PageSessionDTO{1, 1, PageableObject{true, false, 0, 20, 0, SortObject{true, false, true}}, 0, 20,
                       std::vector<SessionDTO>{session}, SortObject{true, {}, {}}, true, true, 1, false});
}

TEST(ServiceModels, RequiredFieldsAndTypesAreEnforced) {
    // Required: missing or null fails the whole record, at any depth.
    expectRejected<SessionDTO>(R"({"id":"s","username":"u","updateDate":"2024-05-01"})");
    expectRejected<CibaAuthenticationCardResponseDto>(R"({"notificationId":null,"authStatus":"SUCCEED"})");
    expectRejected<CibaAuthenticationDeviceResponseDto>(
        R"({"notificationId":"n","userInfo":"u","authStatus":"SUCCEED","data":{}})");
    expectRejected<PageSessionDTO>(
        R"({"content":[{"id":"s","username":"u","startDate":"x","updateDate":"2024-05-01"}]})");
    // Unlisted raw values fail the decoding (and do not crash it).
    expectRejected<CibaAuthenticationCardResponseDto>(R"({"notificationId":"n","authStatus":"MAYBE"})");
    expectRejected<SessionDTO>(
        R"({"id":"s","username":"u","startDate":"2024-05-01","updateDate":"2024-05-01","authenticationMode":"card"})");
    // Types are strict: no number for a boolean, no fraction or overflow for an integer, no number for text.
    expectRejected<VerifyCodeResponseDto>(R"({"valid":1})");
    expectRejected<HotpChallengeDto>(R"({"hotp":1.5})");
    expectRejected<HotpChallengeDto>(R"({"hotp":9223372036854775808})");
    expectRejected<HotpChallengeDto>(R"({"hotp":"12"})");
    expectRejected<NotificationKeyDto>(R"({"notificationId":12})");
    expectRejected<NotificationKeyDto>(R"(["n"])");
    expectRejected<NotificationKeyDto>(R"({"notificationId":"n")");
    expectRejected<std::vector<PendingAuthenticationRequestDto>>(std::string(200, '[') + std::string(200, ']'));
    EXPECT_EQ(JsonCoding::decode<HotpChallengeDto>(R"({"hotp":2e3})").hotp, 2000);

    // Optional: missing or null are both absent; unknown keys are ignored.
    EXPECT_FALSE(JsonCoding::decode<VerifyCodeResponseDto>(R"({"valid":null,"extra":[1]})").valid.has_value());
    // The snake-case keys are the only ones read.
    expectRejected<AuthenticationRequestDto>(
        R"({"userId":"u","responseType":"code","clientId":"c","redirectUri":"r","scope":"s"})");
}

TEST(ServiceModels, CardResponseHasExactlyItsTwoKeys) {
    const json out = json::parse(JsonCoding::encode(CibaAuthenticationCardResponseDto{"n-9", AuthStatus::CANCELLED}));
    EXPECT_EQ(out, json::parse(R"({"notificationId":"n-9","authStatus":"CANCELLED"})"));
}

TEST(ServiceModels, ErrorCodesKnownAndUnknown) {
    const auto known = JsonCoding::decode<ErrorDto>(R"({"code":"BUSI-AUTHENT-10"})");
    EXPECT_EQ(known.errorCode(), ErrorDtoCode::BAD_SESSION);
    const auto unknown = JsonCoding::decode<ErrorDto>(R"({"code":"BUSI-AUTHENT-11","message":"m"})");
    EXPECT_EQ(unknown.code, "BUSI-AUTHENT-11");
    EXPECT_FALSE(unknown.errorCode().has_value());
    EXPECT_EQ(rawValue(ErrorDtoCode::SESSION_TIMEOUT), "BUSI-AUTHENT-8");
    const auto cases = allCases<ErrorDtoCode>();
    ASSERT_EQ(cases.size(), 10u);
    EXPECT_EQ(cases.front(), ErrorDtoCode::DATA_MISSING);
    EXPECT_EQ(cases.back(), ErrorDtoCode::BAD_SESSION);
    EXPECT_EQ(fromRawValue<DeliveryTiming>("time-sensitive"), DeliveryTiming::timeSensitive);
    EXPECT_FALSE(fromRawValue<Status>("pending").has_value());
}

TEST(ServiceModels, DatesInTheThreeFormsAndWrittenInGmt) {
    const Date expected = at(2024, 5, 1, 8, 20, 30, 123);
    EXPECT_EQ(OpenISO8601DateFormatter::date("2024-05-01T10:20:30.123+02:00"), expected);
    EXPECT_EQ(OpenISO8601DateFormatter::date("2024-05-01T08:20:30.123Z"), expected);
    EXPECT_EQ(OpenISO8601DateFormatter::date("2024-05-01T06:50:30.123-0130"), expected);
    EXPECT_EQ(OpenISO8601DateFormatter::date("2024-05-01T08:20:30.123456Z"), expected);
    EXPECT_EQ(OpenISO8601DateFormatter::date("2024-05-01T10:20:30Z"), at(2024, 5, 1, 10, 20, 30));
    EXPECT_EQ(OpenISO8601DateFormatter::date("2024-05-01"), at(2024, 5, 1));
    EXPECT_EQ(OpenISO8601DateFormatter::date("2024-01-01T00:30:00+01:00"), at(2023, 12, 31, 23, 30));
    EXPECT_EQ(OpenISO8601DateFormatter::string(expected), "2024-05-01T08:20:30.123Z");
    EXPECT_EQ(OpenISO8601DateFormatter::string(at(2024, 2, 29)), "2024-02-29T00:00:00.000Z");

    for (const char* bad :
         {"", "2024-05-01T", "2024-5-01", "2023-02-29", "2024-05-01T24:00:00Z", "2024-05-01T10:20:30",
          "2024-05-01T10:20:30.Z", "2024-05-01T10:20:30.123+2:00", "2024-05-01 10:20:30Z", "2024-05-01T10:20:30Zjunk",
          "2024-05-01T10:20:60Z", "2024-13-01", "9999-12-31T23:30:00.000-01:00", "0000-01-01T00:30:00+01:00"})
        EXPECT_FALSE(OpenISO8601DateFormatter::date(bad).has_value()) << bad;
}

TEST(ServiceModels, AnyValuesKeepTheirKind) {
    const auto request = JsonCoding::decode<CibaAuthenticationRequestDtoSerializable>(
        R"({"decoupledAuthId":"d","userInfo":"u","isConsentRequired":true,"expiresIn":1,"clientId":"c",)"
        R"("data":{"big":18446744073709551615,"neg":-1,"f":0.25,"t":"x","n":null,"b":false}})");
    ASSERT_TRUE(request.data.has_value());
    const json& d = request.data->json();
    EXPECT_TRUE(d["big"].is_number_unsigned());
    EXPECT_EQ(d["big"].get<std::uint64_t>(), 18446744073709551615u);
    EXPECT_EQ(d["neg"].get<std::int64_t>(), -1);
    EXPECT_EQ(d["f"].get<double>(), 0.25);
    EXPECT_TRUE(d["n"].is_null());
    EXPECT_EQ(json::parse(JsonCoding::encode(request))["data"], d);
    // An explicit null is written only when asked for.
    json j = json::object();
    coding::put(j, "a", Nullable<std::string>::null());
    coding::put(j, "b", Nullable<std::string>::nothing());
    coding::put(j, "c", Nullable<std::string>::of("v"));
    EXPECT_EQ(j, json::parse(R"({"a":null,"c":"v"})"));
}

TEST(ServiceModels, EqualRecordsHashEqually) {
    std::unordered_set<std::size_t> hashes;
    hashes.insert(hashValue(PendingAuthenticationRequestDto{}));
    hashes.insert(hashValue(PendingAuthenticationRequestDto{.notificationId = "n"}));
    hashes.insert(hashValue(PendingAuthenticationRequestDto{.typeService = "n"}));
    EXPECT_EQ(hashes.size(), 3u);
    EXPECT_EQ(hashValue(PendingAuthenticationRequestDto{.notificationId = "n"}),
              hashValue(PendingAuthenticationRequestDto{.notificationId = "n"}));
}

}  // namespace
}  // namespace qel::vek
