// The service simulator's own parts that the integration tests rely on: its fault switches, the codes
// a test may choose, and the bundle of client authorities it builds from the test chain's folder.
#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/services/service_credentials.h"
#include "sim/vek/vek_simulator.h"

namespace qel::sim {
namespace {

namespace fs = std::filesystem;

TEST(VekSimFaults, EachSwitchParsesAndMalformedOnesAreRefused) {
    auto business = parseVekFault("pending:business=BUSI-AUTHENT-8");
    ASSERT_TRUE(business);
    EXPECT_EQ(business->first, "pending");
    EXPECT_EQ(business->second.businessCode, "BUSI-AUTHENT-8");
    EXPECT_TRUE(parseVekFault("*:not-json")->second.notJson);
    EXPECT_EQ(parseVekFault("verify:status=500")->second.status, 500);
    EXPECT_TRUE(parseVekFault("challenges:empty-codes")->second.emptyCodes);
    EXPECT_EQ(parseVekFault("logoutAll:delay=250")->second.delayMs, 250);
    for (const char* bad :
         {"", ":status=500", "pending", "nowhere:status=500", "pending:status=abc", "pending:status=42",
          "pending:status=600", "pending:business=", "pending:unknown", "cardResponse:delay="})
        EXPECT_FALSE(parseVekFault(bad).has_value()) << bad;
}

// A test's own codes stand in for the drawn ones only when the service could have drawn them.
TEST(VekSimCodes, ChosenCodesAreThreeDistinctCodesOfThreeDigits) {
    EXPECT_TRUE(validChosenCodes({"917", "948", "983"}));
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{{},
                                                                                     {"917", "948"},
                                                                                     {"917", "948", "983", "100"},
                                                                                     {"917", "948", "917"},
                                                                                     {"917", "948", "98"},
                                                                                     {"917", "948", "9830"},
                                                                                     {"917", "948", "9a3"},
                                                                                     {"917", "948", ""}})
        EXPECT_FALSE(validChosenCodes(bad)) << ::testing::PrintToString(bad);
}

TEST(VekSimAuthorities, TheBundleTakesDerAndPemCertificatesAndSkipsTheRest) {
    const std::string dir = std::string(std::getenv("HOME")) + "/authorities";
    fs::remove_all(dir);
    fs::create_directories(dir + "/made");
    const ServiceCredentials one = makeServiceCredentials(dir + "/made", "one", "Authority One");
    const ServiceCredentials two = makeServiceCredentials(dir + "/made", "two", "Authority Two");
    fs::create_directories(dir + "/chain");
    fs::copy_file(one.caFile, dir + "/chain/one.pem");
    // The second as DER under the test chain's extension.
    {
        std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen(two.caFile.c_str(), "r"), &std::fclose);
        X509* cert = PEM_read_X509(in.get(), nullptr, nullptr, nullptr);
        ASSERT_NE(cert, nullptr);
        std::unique_ptr<FILE, int (*)(FILE*)> out(std::fopen((dir + "/chain/two.cer").c_str(), "wb"), &std::fclose);
        i2d_X509_fp(out.get(), cert);
        X509_free(cert);
    }
    std::ofstream(dir + "/chain/notes.txt") << "not a certificate";
    std::ofstream(dir + "/chain/broken.cer") << "not a certificate either";

    writeAuthorityBundle(dir + "/chain", dir + "/bundle.pem");
    std::ifstream in(dir + "/bundle.pem");
    std::stringstream bundle;
    bundle << in.rdbuf();
    std::size_t count = 0;
    for (std::size_t at = bundle.str().find("BEGIN CERTIFICATE"); at != std::string::npos;
         at = bundle.str().find("BEGIN CERTIFICATE", at + 1))
        ++count;
    EXPECT_EQ(count, 2u);

    fs::create_directories(dir + "/empty");
    EXPECT_THROW(writeAuthorityBundle(dir + "/empty", dir + "/none.pem"), std::runtime_error);
}

}  // namespace
}  // namespace qel::sim
