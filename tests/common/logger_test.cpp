#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "common/logger.h"
#include "common/user_dirs.h"

namespace qel {
namespace fs = std::filesystem;

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("qel-logger-" + std::to_string(getpid())) / "Logs";
        fs::remove_all(dir_.parent_path());
        Logger::setDirectory(dir_.string());
        Logger::configure("/KartelloStore", "Kartello", true);
    }
    void TearDown() override {
        Logger::setDirectory("");
        fs::remove_all(dir_.parent_path());
    }
    std::string readAll() {
        std::ifstream in(Logger::currentFilePath());
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    fs::path dir_;
};

TEST_F(LoggerTest, FirstEntryCreatesTheDayFileAndLaterOnesAppend) {
    Logger::log("Erreur dans C_Login: résultat = 160", Severity::error);
    Logger::log("label\n2026-01-01 00:00:00000 [\u2705]forged\r\x1B[2J\x7F", Severity::info);
    const std::string path = Logger::currentFilePath();
    EXPECT_TRUE(std::regex_search(path, std::regex("/Logs/KartelloStore-\\d{4}-\\d{2}-\\d{2}\\.log$"))) << path;

    const std::string text = readAll();
    std::regex first(
        "^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3} \\[\xE2\x9B\x94\xEF\xB8\x8F\\]"
        "Erreur dans C_Login: résultat = 160\n");
    EXPECT_TRUE(std::regex_search(text, first)) << text;
    // Card text cannot forge an entry: control characters are escaped, the entry stays one line.
    EXPECT_NE(text.find("[\xE2\x84\xB9\xEF\xB8\x8F]label\\n2026-01-01 00:00:00000 [\u2705]forged\\x0D\\x1B[2J\\x7F\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(LoggerTest, EverySeverityWritesItsOwnTag) {
    const std::vector<std::pair<Severity, std::string>> tags = {
        {Severity::success, "[\u2705]"},   {Severity::error, "[\u26D4\uFE0F]"}, {Severity::info, "[\u2139\uFE0F]"},
        {Severity::debug, "[\U0001F4AC]"}, {Severity::verbose, "[\U0001F52C]"}, {Severity::warning, "[\u26A0\uFE0F]"},
        {Severity::severe, "[\U0001F525]"}};
    for (const auto& [severity, tag] : tags) Logger::log("m", severity);
    const std::string text = readAll();
    for (const auto& [severity, tag] : tags) EXPECT_NE(text.find(tag + "m\n"), std::string::npos) << tag;
}

TEST_F(LoggerTest, ConcurrentWritersKeepLinesWhole) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) Logger::log("thread " + std::to_string(t) + " line", Severity::debug);
        });
    for (auto& th : threads) th.join();
    std::istringstream in(readAll());
    std::string line;
    int count = 0;
    std::regex whole("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3} \\[\U0001F4AC\\]thread \\d line$");
    while (std::getline(in, line)) {
        ++count;
        EXPECT_TRUE(std::regex_match(line, whole)) << line;
    }
    EXPECT_EQ(count, 1600);
}

// A process with more rights than the folder's owner (a set-user-ID program, a service loading the
// module) must not write where that owner points it.
TEST_F(LoggerTest, RefusesLinkedFilesAndFoldersOthersControl) {
    Logger::log("first", Severity::info);
    const fs::path elsewhere = dir_.parent_path() / "elsewhere.log";
    std::ofstream(elsewhere) << "kept\n";
    const std::string path = Logger::currentFilePath();
    fs::remove(path);
    fs::create_symlink(elsewhere, path);
    testing::internal::CaptureStderr();
    Logger::log("through the link", Severity::info);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("symbolic link"), std::string::npos);
    fs::remove(path);
    fs::create_hard_link(elsewhere, path);
    testing::internal::CaptureStderr();
    Logger::log("through the hard link", Severity::info);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("not a plain file"), std::string::npos);
    std::ifstream in(elsewhere);
    std::stringstream kept;
    kept << in.rdbuf();
    EXPECT_EQ(kept.str(), "kept\n");
    fs::remove(path);

    ::chmod(dir_.c_str(), 0770);
    testing::internal::CaptureStderr();
    Logger::log("group may write", Severity::info);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("writable by other users"), std::string::npos);
    EXPECT_FALSE(fs::exists(path));
    ::chmod(dir_.c_str(), 0700);

    const fs::path real = dir_.parent_path() / "real";
    fs::create_directory(real);
    fs::remove_all(dir_);
    fs::create_directory_symlink(real, dir_);
    testing::internal::CaptureStderr();
    Logger::log("folder is a link", Severity::info);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("is a symbolic link"), std::string::npos);
    EXPECT_TRUE(fs::is_empty(real));
}

TEST_F(LoggerTest, AWriteRefusedAfterTheFileOpenedSaysSoOnStdout) {
    Logger::log("first", Severity::info);
    const auto size = fs::file_size(Logger::currentFilePath());
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit full = saved;
    full.rlim_cur = size;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &full), 0);
    testing::internal::CaptureStdout();
    Logger::log("one line too many", Severity::info);
    const std::string out = testing::internal::GetCapturedStdout();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_NE(out.find("Could not write to file"), std::string::npos) << out;
}

TEST(LoggerPlacement, WithoutHomeNothingIsWrittenAndStandardErrorSaysWhy) {
    std::vector<std::pair<std::string, std::string>> saved;
    for (const char* name : {"HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME"}) {
        if (const char* v = std::getenv(name)) saved.emplace_back(name, v);
        ::unsetenv(name);
    }
    Logger::setDirectory("");
    EXPECT_EQ(userdirs::home(), "");
    EXPECT_EQ(userdirs::cacheHome(), "");
    EXPECT_EQ(userdirs::documentsDir(), "");
    testing::internal::CaptureStderr();
    Logger::log("nowhere to go", Severity::error);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(Logger::directory(), "");
    for (const auto& [name, value] : saved) ::setenv(name.c_str(), value.c_str(), 1);
    Logger::setDirectory("");
    EXPECT_NE(said.find("neither XDG_STATE_HOME nor HOME is set"), std::string::npos) << said;
}

TEST(LoggerFailure, UnwritableDirectorySaysSoOnStdoutAndNeverThrows) {
    if (geteuid() == 0) {
        // root writes anywhere; use a path under a regular file instead, which nobody can create.
    }
    const fs::path blocker = fs::temp_directory_path() / ("qel-blocker-" + std::to_string(getpid()));
    std::ofstream(blocker) << "x";
    Logger::setDirectory((blocker / "Logs").string());
    testing::internal::CaptureStdout();
    EXPECT_NO_THROW(Logger::log("lost", Severity::error));
    const std::string out = testing::internal::GetCapturedStdout();
    Logger::setDirectory("");
    fs::remove(blocker);
    EXPECT_NE(out.find("unable to create " + (blocker / "Logs").string() + ": "), std::string::npos) << out;
    EXPECT_NE(out.find("Could not write to file"), std::string::npos) << out;
}

}  // namespace qel
