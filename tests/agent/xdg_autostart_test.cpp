#include "agent/xdg_autostart.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>

namespace qel::agent {
namespace {

namespace fs = std::filesystem;

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// desktop-file-validate's verdict: 0 valid; -1 when the tool is not installed.
int validate(const std::string& path) {
    if (std::system("command -v desktop-file-validate >/dev/null 2>&1") != 0) return -1;
    const int status = std::system(("desktop-file-validate '" + path + "' >&2").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

class XdgAutostartTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::path(std::getenv("HOME")) / "xdg" / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(dir);
    }
    fs::path dir;
};

TEST_F(XdgAutostartTest, TheEntryIsValidAndRunsTheProgramEvenWithAwkwardCharacters) {
    // The session runs Exec, and skips the entry once TryExec's file is gone (the package removed).
    const std::tuple<std::string, std::string, std::string> programs[] = {
        {"/usr/bin/lanzo", "Exec=/usr/bin/lanzo\n", "TryExec=/usr/bin/lanzo\n"},
        {"/opt/Mon Kartello/bin/lanzo", "Exec=\"/opt/Mon Kartello/bin/lanzo\"\n",
         "TryExec=/opt/Mon Kartello/bin/lanzo\n"},
        {"/opt/a\"b$c`d\\e/100%/lanzo", "Exec=\"/opt/a\\\\\"b\\\\$c\\\\`d\\\\\\\\e/100%%/lanzo\"\n",
         "TryExec=/opt/a\"b$c`d\\\\e/100%/lanzo\n"},
    };
    for (const auto& [program, execLine, tryExecLine] : programs) {
        XdgAutostart items({{kLauncherIdentifier, program}}, dir.string());
        ASSERT_TRUE(items.setEnabled(kLauncherIdentifier, true)) << program;
        const std::string path = items.entryPath(kLauncherIdentifier);
        EXPECT_EQ(path, dir.string() + "/autostart/org.oberlane.qel.lanzo.desktop");
        const std::string text = readAll(path);
        EXPECT_NE(text.find(execLine), std::string::npos) << text;
        EXPECT_NE(text.find(tryExecLine), std::string::npos) << text;
        const int verdict = validate(path);
        if (verdict >= 0) EXPECT_EQ(verdict, 0) << program;
        // Nothing but the entry: no temporary file left beside it.
        EXPECT_EQ(std::distance(fs::directory_iterator(dir / "autostart"), fs::directory_iterator()), 1);
    }
}

TEST_F(XdgAutostartTest, BadProgramsAreRefusedAndDisablingRemovesTheEntry) {
    for (const std::string program : {"lanzo", "", "/usr/bin/lanzo\nExec=/bin/sh"}) {
        XdgAutostart items({{kLauncherIdentifier, program}}, dir.string());
        EXPECT_FALSE(items.setEnabled(kLauncherIdentifier, true));
        EXPECT_FALSE(fs::exists(items.entryPath(kLauncherIdentifier)));
    }
    XdgAutostart items({{kLauncherIdentifier, "/usr/bin/lanzo"}}, dir.string());
    EXPECT_FALSE(items.setEnabled("org.oberlane.qel.unknown", true));
    ASSERT_TRUE(items.setEnabled(kLauncherIdentifier, true));
    // Registering again replaces the entry whole.
    ASSERT_TRUE(items.setEnabled(kLauncherIdentifier, true));
    EXPECT_TRUE(items.setEnabled(kLauncherIdentifier, false));
    EXPECT_FALSE(fs::exists(items.entryPath(kLauncherIdentifier)));
    EXPECT_TRUE(items.setEnabled(kLauncherIdentifier, false));
}

}  // namespace
}  // namespace qel::agent
