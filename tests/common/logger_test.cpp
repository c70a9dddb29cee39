#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "common/logger.h"

namespace qel {
namespace fs = std::filesystem;

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("qel-logger-" + std::to_string(getpid())) / "Logs";
        fs::remove_all(dir_.parent_path());
        SwiftLogger::setDirectory(dir_.string());
        SwiftLogger::configure("/KartelloStore", "Kartello", true);
    }
    void TearDown() override {
        SwiftLogger::setDirectory("");
        fs::remove_all(dir_.parent_path());
    }
    std::string readAll() {
        std::ifstream in(SwiftLogger::currentFilePath());
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    fs::path dir_;
};

TEST_F(LoggerTest, FirstEntryCreatesTheDayFileAndLaterOnesAppend) {
    SwiftLogger::log("Erreur dans C_Login: résultat = 160", Severity::error);
    SwiftLogger::log("two\nlines", Severity::info);
    const std::string path = SwiftLogger::currentFilePath();
    EXPECT_TRUE(std::regex_search(path, std::regex("/Logs/KartelloStore-\\d{4}-\\d{2}-\\d{2}\\.log$"))) << path;

    const std::string text = readAll();
    std::regex first("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{5} \\[\xE2\x9B\x94\xEF\xB8\x8F\\]"
                     "Erreur dans C_Login: résultat = 160\n");
    EXPECT_TRUE(std::regex_search(text, first)) << text;
    // A message with line feeds is written as is, followed by one more line feed.
    EXPECT_NE(text.find("[\xE2\x84\xB9\xEF\xB8\x8F]two\nlines\n"), std::string::npos) << text;
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(LoggerTest, EverySeverityWritesItsOwnTag) {
    const std::vector<std::pair<Severity, std::string>> tags = {
        {Severity::success, "[\u2705]"},      {Severity::error, "[\u26D4\uFE0F]"},
        {Severity::info, "[\u2139\uFE0F]"},   {Severity::debug, "[\U0001F4AC]"},
        {Severity::verbose, "[\U0001F52C]"},  {Severity::warning, "[\u26A0\uFE0F]"},
        {Severity::severe, "[\U0001F525]"}};
    for (const auto& [severity, tag] : tags) SwiftLogger::log("m", severity);
    const std::string text = readAll();
    for (const auto& [severity, tag] : tags) EXPECT_NE(text.find(tag + "m\n"), std::string::npos) << tag;
}

TEST_F(LoggerTest, ConcurrentWritersKeepLinesWhole) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) SwiftLogger::log("thread " + std::to_string(t) + " line", Severity::debug);
        });
    for (auto& th : threads) th.join();
    std::istringstream in(readAll());
    std::string line;
    int count = 0;
    std::regex whole("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{5} \\[\U0001F4AC\\]thread \\d line$");
    while (std::getline(in, line)) {
        ++count;
        EXPECT_TRUE(std::regex_match(line, whole)) << line;
    }
    EXPECT_EQ(count, 1600);
}

TEST(LoggerFailure, UnwritableDirectorySaysSoOnStdoutAndNeverThrows) {
    if (geteuid() == 0) {
        // root writes anywhere; use a path under a regular file instead, which nobody can create.
    }
    const fs::path blocker = fs::temp_directory_path() / ("qel-blocker-" + std::to_string(getpid()));
    std::ofstream(blocker) << "x";
    SwiftLogger::setDirectory((blocker / "Logs").string());
    testing::internal::CaptureStdout();
    EXPECT_NO_THROW(SwiftLogger::log("lost", Severity::error));
    const std::string out = testing::internal::GetCapturedStdout();
    SwiftLogger::setDirectory("");
    fs::remove(blocker);
    EXPECT_NE(out.find("unable to create " + (blocker / "Logs").string() + ": "), std::string::npos) << out;
    EXPECT_NE(out.find("Could not write to file"), std::string::npos) << out;
}

}  // namespace qel
