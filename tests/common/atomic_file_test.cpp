#include "common/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace qel {
namespace {

namespace fs = std::filesystem;

class AtomicFile : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::path(::testing::TempDir()) / ("atomic_file_" + std::to_string(::getpid()));
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        path_ = (folder_ / "settings.conf").string();
    }
    void TearDown() override { fs::remove_all(folder_); }

    std::string content() const {
        std::ifstream in(path_, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    mode_t mode() const {
        struct stat st {};
        return ::stat(path_.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
    }
    std::size_t entries() const { return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder_), {})); }

    fs::path folder_;
    std::string path_;
};

TEST_F(AtomicFile, ReplacesWithTheExactModeWhateverTheUmask) {
    ASSERT_FALSE(writeFileAtomically(path_, "old", 0644));
    const mode_t previous = ::umask(077);
    const std::error_code error = writeFileAtomically(path_, "new content", 0640);
    ::umask(previous);
    ASSERT_FALSE(error) << error.message();
    EXPECT_EQ(content(), "new content");
    EXPECT_EQ(mode(), 0640u);
    EXPECT_EQ(entries(), 1u);  // no temporary left behind
}

TEST_F(AtomicFile, AFailedWriteLeavesTheOldFileAndNoTemporary) {
    ASSERT_FALSE(writeFileAtomically(path_, "old", 0600));
    const std::error_code error = writeFileAtomically(path_, 0644, [](int fd) {
        (void)::write(fd, "half", 4);
        return std::make_error_code(std::errc::no_space_on_device);
    });
    EXPECT_EQ(error, std::errc::no_space_on_device);
    EXPECT_EQ(content(), "old");
    EXPECT_EQ(mode(), 0600u);
    EXPECT_EQ(entries(), 1u);

    // A destination that cannot be replaced (a folder) fails the same way.
    fs::create_directory(folder_ / "taken");
    EXPECT_TRUE(writeFileAtomically((folder_ / "taken").string(), "x", 0644));
    EXPECT_EQ(entries(), 2u);
}

TEST_F(AtomicFile, KeepingAnExistingFileWritesNothing) {
    ASSERT_FALSE(writeFileAtomically(path_, "first", 0644, ExistingFile::keep));
    EXPECT_EQ(writeFileAtomically(path_, "second", 0600, ExistingFile::keep), std::errc::file_exists);
    EXPECT_EQ(content(), "first");
    EXPECT_EQ(mode(), 0644u);
    EXPECT_EQ(entries(), 1u);
}

}  // namespace
}  // namespace qel
