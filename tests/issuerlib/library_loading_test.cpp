#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "issuerlib/pkcs11_card.h"
#include "issuerlib/pkcs11_library.h"
#include "tests/support/log_capture.h"

namespace qel {
namespace {

namespace fs = std::filesystem;

struct LoadFailure {
    const char* name;
    std::string path;
    const char* loaderText;  // part of dlerror()'s text
};

void PrintTo(const LoadFailure& c, std::ostream* os) { *os << c.name; }

class LibraryLoadFailure : public ::testing::TestWithParam<LoadFailure> {
public:
    static std::string textFile() {
        const char* home = std::getenv("HOME");
        fs::path path = fs::path(home ? home : "/tmp") / "qel-not-a-library.so";
        fs::create_directories(path.parent_path());
        std::ofstream(path) << std::string(512, '#') << "\nthis is not a shared library\n";
        return path.string();
    }
};

TEST_P(LibraryLoadFailure, LoggedWithPathAndBehavesAsFailedInitialize) {
    const LoadFailure& c = GetParam();
    test::LogCapture log;
    Pkcs11Library library(c.path);
    EXPECT_FALSE(library.isLoaded());
    EXPECT_NE(library.loadError().find(c.loaderText), std::string::npos) << library.loadError();
    EXPECT_TRUE(log.contains(c.path)) << log.text();
    EXPECT_TRUE(log.contains(c.loaderText)) << log.text();

    EXPECT_EQ(library.initialize(), CKR_GENERAL_ERROR);
    EXPECT_FALSE(library.isInitialized());
    std::vector<CK_SLOT_ID> slots{42};
    EXPECT_EQ(library.getSlotList(slots), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_TRUE(slots.empty());

    // A card opened on it stays empty and harmless.
    Pkcs11Card card(library, 1);
    EXPECT_EQ(card.session, 0u);
    EXPECT_EQ(card.label, "");
    EXPECT_FALSE(card.isUserLoggedIn());
    EXPECT_EQ(card.login("1234", false), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(card.getHolderInfos().nomPatronym, "");
    EXPECT_EQ(card.transmit({0x00, 0xA4, 0x00, 0x0C}, false), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Cases, LibraryLoadFailure,
                         ::testing::Values(LoadFailure{"missing", "/nonexistent/qel/libqel3_pkcs11.so", "No such file"},
                                           LoadFailure{"not_a_library", LibraryLoadFailure::textFile(), "ELF"},
                                           LoadFailure{"no_function_list", QEL_TEST_NO_FUNCTION_LIST_LIBRARY,
                                                       "C_GetFunctionList"}),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(LibraryPath, EnvironmentWinsOverTheDefault) {
    unsetenv("QEL_PKCS11_LIBRARY");
    EXPECT_EQ(configuredPkcs11LibraryPath(), defaultPkcs11LibraryPath());
    setenv("QEL_PKCS11_LIBRARY", "", 1);
    EXPECT_EQ(configuredPkcs11LibraryPath(), defaultPkcs11LibraryPath());
    setenv("QEL_PKCS11_LIBRARY", "/opt/x/libqelsim-pkcs11.so", 1);
    EXPECT_EQ(configuredPkcs11LibraryPath(), "/opt/x/libqelsim-pkcs11.so");
    unsetenv("QEL_PKCS11_LIBRARY");
}

}  // namespace
}  // namespace qel
