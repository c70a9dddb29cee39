// The settings file: created with the defaults on first use, read again for every request, left as
// it is when it cannot be used; the environment switch and the sign-in request record.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "authservice/request_builder.h"
#include "authservice/vek_config.h"
#include "authservice/vek_request.h"

namespace qel::vek {
namespace {

namespace fs = std::filesystem;

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void spit(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string xmlPlist(const std::string& entries) {
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>)" +
           entries + "</dict></plist>\n";
}

std::string entry(const std::string& key, const std::string& value) {
    return "<key>" + key + "</key><string>" + value + "</string>";
}

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() / ("vek-settings-" + std::to_string(::getpid()) + "-" +
                                               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        path_ = (folder_ / "vek.plist").string();
        VekConfig::setSettingsPath(path_);
        setTestEnvironment(false);
    }
    void TearDown() override {
        VekConfig::setSettingsPath("");
        setTestEnvironment(false);
        fs::remove_all(folder_);
    }
    fs::path folder_;
    std::string path_;
};

// Works on the real documents folder of the home it runs with: only under ctest, whose home for
// each test program is a private folder of the build tree.
bool privateHome() {
    const char* home = std::getenv("HOME");
    const char* build = std::getenv("QEL_BINARY_DIR");
    return home && build && std::string(home).rfind(std::string(build) + "/test-home/", 0) == 0;
}

TEST(SettingsFirstStart, CreatesTheBinaryFileInTheDocumentsFolder) {
    if (!privateHome()) GTEST_SKIP() << "needs the private home ctest gives (it removes <home>/Documents)";
    VekConfig::setSettingsPath("");
    const std::string documents = std::string(std::getenv("HOME")) + "/Documents";
    ASSERT_EQ(VekConfig::settingsPath(), documents + "/vek.plist");
    fs::remove_all(documents);

    // Without the documents folder, the folder is made with the file (reading alone makes nothing).
    EXPECT_TRUE(VekConfig::read().error.has_value());
    EXPECT_FALSE(fs::exists(documents));
    const auto first = VekConfig::load();
    EXPECT_TRUE(fs::is_directory(documents));
    EXPECT_TRUE(first.created);
    EXPECT_FALSE(first.error.has_value());
    const std::string bytes = slurp(VekConfig::settingsPath());
    EXPECT_EQ(bytes.substr(0, 8), "bplist00");
    EXPECT_EQ(VekConfig::decode(bytes), VekParams::defaults());
    EXPECT_EQ(VekParams::defaults().prodPath.back(), '/');
    EXPECT_NE(VekParams::defaults().prodPath, VekParams::defaults().testPath);

    const auto second = VekConfig::load();
    EXPECT_FALSE(second.created);
    EXPECT_FALSE(second.error.has_value());
    EXPECT_EQ(VekConfig::readParams(), VekParams::defaults());

    // A folder that cannot be made: the defaults, and the reason.
    VekConfig::setSettingsPath("/proc/qel-settings/vek.plist");
    const auto refused = VekConfig::load();
    VekConfig::setSettingsPath("");
    EXPECT_EQ(refused.params, VekParams::defaults());
    ASSERT_TRUE(refused.error.has_value());
    EXPECT_NE(refused.error->find("impossible à créer"), std::string::npos) << *refused.error;
}

TEST_F(SettingsFile, ReadNeverWrites) {
    const auto outcome = VekConfig::read();
    EXPECT_EQ(outcome.params, VekParams::defaults());
    EXPECT_TRUE(outcome.error.has_value());
    EXPECT_FALSE(fs::exists(path_));
}

TEST_F(SettingsFile, AnEditAppliesToTheNextRequest) {
    spit(path_, xmlPlist(entry(kVekProdPathKey, "https://prod.example/") +
                         entry(kVekTestPathKey, "https://test.example") + "<key>Other</key><integer>3</integer>"));
    EXPECT_EQ(OpenAPIClientAPI::authenticationBasePath(), "https://prod.example/api/ulmora-authentication");
    setTestEnvironment(true);
    // No separator is added when the URL lacks its final "/".
    EXPECT_EQ(OpenAPIClientAPI::sessionBasePath(), "https://test.exampleapi/ulmora-session");

    spit(path_, VekConfig::encodeBinary({"https://prod2.example/", "https://test2.example/"}));
    EXPECT_EQ(OpenAPIClientAPI::sessionBasePath(), "https://test2.example/api/ulmora-session");
    setTestEnvironment(false);
    EXPECT_EQ(OpenAPIClientAPI::authenticationBasePath(), "https://prod2.example/api/ulmora-authentication");
}

TEST_F(SettingsFile, AnUnusableFileGivesTheDefaultsAndStaysAsItIs) {
    const std::string cases[] = {
        xmlPlist(entry(kVekProdPathKey, "https://prod.example/")),  // one key only: both defaults
        xmlPlist(entry(kVekProdPathKey, "https://p/") + "<key>QELTestPath</key><integer>1</integer>"),
        "<plist version=\"1.0\"><array><string>https://p/</string></array></plist>",
        xmlPlist(entry(kVekProdPathKey, "https://p/")).substr(0, 120),
        std::string("bplist00\xff\xff\x00\x01", 12),
        xmlPlist(entry(kVekProdPathKey, std::string("https://p/\0x", 12)) + entry(kVekTestPathKey, "https://t/")),
        xmlPlist(entry(kVekProdPathKey, "https://p/") + entry(kVekTestPathKey, "https://t\xE9/")),
        VekConfig::encodeBinary({"https://p/", "https://t/"}).substr(0, 20),
        "",
        std::string(3u << 20, ' '),
    };
    for (const std::string& bytes : cases) {
        spit(path_, bytes);
        const auto outcome = VekConfig::load();
        EXPECT_EQ(outcome.params, VekParams::defaults()) << bytes.substr(0, 80);
        EXPECT_TRUE(outcome.error.has_value()) << bytes.substr(0, 80);
        EXPECT_FALSE(outcome.created);
        EXPECT_EQ(slurp(path_), bytes);
    }

    // The error goes to standard output, the defaults to the caller.
    spit(path_, "garbage");
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(VekConfig::loadParams(), VekParams::defaults());
    EXPECT_NE(::testing::internal::GetCapturedStdout().find(path_), std::string::npos);
}

TEST_F(SettingsFile, AnyPropertyListFormatIsRead) {
    const VekParams custom{"https://p.example/", "https://t.example/"};
    spit(path_, xmlPlist(entry(kVekTestPathKey, custom.testPath) + entry(kVekProdPathKey, custom.prodPath)));
    EXPECT_EQ(VekConfig::load().params, custom);
    spit(path_, VekConfig::encodeBinary(custom));
    EXPECT_EQ(VekConfig::read().params, custom);
}

TEST(SignInRecord, DefaultsAndRawValues) {
    const VekRequestRef request = makeVekRequest();
    EXPECT_EQ(request->action, VekAction::NONE);
    EXPECT_TRUE(request->idNat.empty() && request->service.empty() && request->notificationId.empty());
    EXPECT_FALSE(request->codes.has_value());
    EXPECT_FALSE(request->silent);
    EXPECT_EQ(request->authStatus, AuthStatus::SUCCEED);

    EXPECT_EQ(vekActionFromRaw(0), VekAction::CHECK_PCSC);
    EXPECT_EQ(vekActionFromRaw(6), VekAction::NONE);
    EXPECT_FALSE(vekActionFromRaw(7).has_value());
    EXPECT_FALSE(vekActionFromRaw(-1).has_value());
    EXPECT_EQ(respTypeFromRaw(12), RespType::CARD_ACCESS);
    EXPECT_FALSE(respTypeFromRaw(13).has_value());
}

}  // namespace
}  // namespace qel::vek
