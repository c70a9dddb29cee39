// Decoding and encoding of the update service's command lists.
#include "update/apdu_command.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace qel {
namespace {

TEST(ApduListDecoding, RefusesWhatIsNotAListOfCommands) {
    const char* bad[] = {
        "",
        "{",
        "{\"apdu\":\"00A4\",\"apduRespType\":\"0\"}",                        // an object, not a list
        "[{\"apdu\":\"00A4\",\"apduRespType\":\"0\"},{\"apdu\":\"00B0\"}]",  // one lacks apduRespType
        "[{\"apdu\":\"00A4\",\"apduRespType\":0}]",                          // type not a text
        "[{\"apdu\":123,\"apduRespType\":\"0\"}]",                           // apdu not a text
        "[\"00A4\"]",
        "[{\"apdu\":\"\xC3\x28\",\"apduRespType\":\"0\"}]",  // not UTF-8
    };
    for (const char* text : bad) {
        std::string why;
        EXPECT_FALSE(decodeApduList(text, &why).has_value()) << text;
        EXPECT_FALSE(why.empty()) << text;
    }
}

TEST(ApduListDecoding, AbsentMembersStayAbsentBothWays) {
    std::optional<ApduList> list =
        decodeApduList(R"([{"apduRespType":"1"},{"apdu":"00B0000001","response":null,"apduRespType":"0"},
                          {"apdu":"ENDQELMAJ","response":"x","apduRespType":"00","extra":1}])");
    ASSERT_TRUE(list);
    ASSERT_EQ(list->size(), 3u);
    EXPECT_FALSE((*list)[0].apdu);
    EXPECT_FALSE((*list)[0].response);
    EXPECT_EQ((*list)[1].apdu, "00B0000001");
    EXPECT_FALSE((*list)[1].response);
    EXPECT_EQ((*list)[2].apduRespType, "00");
    EXPECT_EQ(toJson((*list)[0]).dump(), R"({"apduRespType":"1"})");
    EXPECT_EQ(decodeApduList("[]")->size(), 0u);

    const nlohmann::json body = nlohmann::json::parse(encodePostBody(*list, "8025000001A:8025000001B"));
    EXPECT_EQ(body["cardnum"], "8025000001A:8025000001B");
    EXPECT_EQ(body["inputParams"].size(), 3u);
    EXPECT_EQ(decodeApduList(body["inputParams"].dump()), list);
}

TEST(ApduResultCode, RawValues) {
    EXPECT_STREQ(rawValue(ApduResultCode::CODE_RESPONSE_OK), "9000");
    EXPECT_STREQ(rawValue(ApduResultCode::CODE_INTERNAL_ERROR), "9999");
    EXPECT_STREQ(rawValue(ApduResultCode::CODE_CARD_MISSING), "-1179");
    EXPECT_STREQ(rawValue(ApduResultCode::CODE_APDU_FID_NOT_FOUND), "9404");
}

}  // namespace
}  // namespace qel
