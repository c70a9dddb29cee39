// Browser registration without a card: the module lists of NSS databases, Firefox's profile list and
// lock, and the command in the test's private home.
#include "token/browser_registration.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace qel::registration {
namespace {

namespace fs = std::filesystem;

const std::string kInternal =
    "library=\nname=NSS Internal PKCS #11 Module\nparameters=configdir='sql:/x' certPrefix=''\n"
    "NSS=Flags=internal,critical trustOrder=75\n\n";
const std::string kOther = "library=/usr/lib/other-token.so\nname=Other\n\n";

TEST(Pkcs11List, AddingIsIdempotentFollowsAMovedLibraryAndKeepsOtherModules) {
    Change change = Change::Failed;
    const std::string added = withModule(kInternal + kOther, "/opt/lib/libsigilla-pkcs11.so", change);
    EXPECT_EQ(change, Change::Added);
    EXPECT_EQ(added, kInternal + kOther + "library=/opt/lib/libsigilla-pkcs11.so\nname=Sigilla\n\n");
    EXPECT_EQ(withModule(added, "/opt/lib/libsigilla-pkcs11.so", change), added);
    EXPECT_EQ(change, Change::Unchanged);

    // Moved library, and an entry under another name loading our library: one entry remains.
    const std::string moved = withModule(added + "library=/old/libsigilla-pkcs11.so\nname=QEL card\n",
                                         "/usr/lib/pkcs11/libsigilla-pkcs11.so", change);
    EXPECT_EQ(change, Change::Updated);
    EXPECT_EQ(moved, kInternal + kOther + "library=/usr/lib/pkcs11/libsigilla-pkcs11.so\nname=Sigilla\n\n");

    EXPECT_EQ(withModule("", "/a/libsigilla-pkcs11.so", change), "library=/a/libsigilla-pkcs11.so\nname=Sigilla\n\n");
    EXPECT_EQ(change, Change::Added);
}

TEST(Pkcs11List, RemovingTakesOnlyOurEntriesOut) {
    Change change = Change::Failed;
    const std::string crlf = "library=/opt/libsigilla-pkcs11.so\r\nname=Sigilla\r\n\r\n";
    EXPECT_EQ(withoutModule(kInternal + crlf + kOther, change), kInternal + kOther);
    EXPECT_EQ(change, Change::Removed);
    EXPECT_EQ(withoutModule(kInternal + kOther, change), kInternal + kOther);
    EXPECT_EQ(change, Change::Absent);
}

class InHome : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = std::getenv("HOME");
        fs::remove_all(home_ + "/.pki");
        fs::remove_all(home_ + "/.mozilla");
        fs::remove_all(home_ + "/.local");
    }
    void write(const std::string& path, const std::string& text) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path) << text;
    }
    static std::string read(const std::string& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    int command(std::vector<std::string> arguments) {
        std::ostringstream out, err;
        const int status = registerCommand(arguments, out, err);
        output_ = out.str() + err.str();
        return status;
    }
    std::string home_;
    std::string output_;
};

TEST_F(InHome, ProfilesIniListsEachProfileOnceRelativeOrAbsolute) {
    const std::string ini = home_ + "/.mozilla/firefox/profiles.ini";
    write(ini,
          "[Install4F96D1932A9F858E]\nDefault=abc.default-release\n\n[Profile1]\nName=default\nIsRelative=1\n"
          "Path=abc.default-release\n\n[Profile0]\nName=work\nIsRelative=0\nPath=/srv/work-profile\n\n"
          "[Profile2]\nName=again\nPath=abc.default-release\n[General]\nPath=not-a-profile\n");
    EXPECT_EQ(firefoxProfiles(ini),
              (std::vector<std::string>{home_ + "/.mozilla/firefox/abc.default-release", "/srv/work-profile"}));
    EXPECT_TRUE(firefoxProfiles(home_ + "/nowhere/profiles.ini").empty());
}

TEST_F(InHome, ALockNamingALiveProcessOrAHeldParentLockKeepsTheProfile) {
    const std::string profile = home_ + "/profile";
    fs::create_directories(profile);
    EXPECT_FALSE(profileLockHolder(profile));
    fs::create_symlink("127.0.0.1:+" + std::to_string(::getpid()), profile + "/lock");
    EXPECT_TRUE(profileLockHolder(profile));
    fs::remove(profile + "/lock");
    // A crashed browser leaves its link behind: a process that is gone holds nothing.
    pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    fs::create_symlink("127.0.0.1:+" + std::to_string(gone), profile + "/lock");
    EXPECT_FALSE(profileLockHolder(profile));
    fs::remove(profile + "/lock");
    fs::create_symlink("garbage", profile + "/lock");
    EXPECT_TRUE(profileLockHolder(profile));
    fs::remove(profile + "/lock");

    // The running browser holds .parentlock; the file alone, left by an earlier run, does not count.
    write(profile + "/.parentlock", "");
    EXPECT_FALSE(profileLockHolder(profile));
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t holder = ::fork();
    if (holder == 0) {
        const int fd = ::open((profile + "/.parentlock").c_str(), O_RDWR);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        ::fcntl(fd, F_SETLK, &lock);
        char byte = 1;
        (void)!::write(ready[1], &byte, 1);
        ::pause();
        ::_exit(0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    auto held = profileLockHolder(profile);
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    ASSERT_TRUE(held);
    EXPECT_NE(held->find(std::to_string(holder)), std::string::npos) << *held;
}

// The shared database is made when missing, each open profile gets the module, a locked one is left
// alone and said so, a second run changes nothing and --remove undoes what was done.
TEST_F(InHome, TheCommandRegistersEverywhereOnceLeavesLockedProfilesAndRemoves) {
    const std::string module = home_ + "/lib/libsigilla-pkcs11.so";
    write(module, "not loaded by the registration");
    const std::string firefox = home_ + "/.mozilla/firefox";
    write(firefox + "/profiles.ini",
          "[Profile0]\nName=open\nPath=open.default\n\n[Profile1]\nName=busy\nPath=busy.default\n\n"
          "[Profile2]\nName=gone\nPath=gone.default\n");
    write(firefox + "/open.default/prefs.js", "");
    write(firefox + "/busy.default/pkcs11.txt", kInternal);
    fs::create_symlink("127.0.0.1:+" + std::to_string(::getpid()), firefox + "/busy.default/lock");

    EXPECT_EQ(command({"--module", module}), 3) << output_;
    const std::string entry = "library=" + module + "\nname=Sigilla\n";
    const std::string shared = home_ + "/.pki/nssdb";
    EXPECT_TRUE(fs::exists(shared + "/cert9.db")) << output_;
    EXPECT_NE(read(shared + "/pkcs11.txt").find(entry), std::string::npos);
    EXPECT_NE(read(shared + "/pkcs11.txt").find("NSS Internal PKCS #11 Module"), std::string::npos);
    EXPECT_NE(read(firefox + "/open.default/pkcs11.txt").find(entry), std::string::npos);
    EXPECT_EQ(read(firefox + "/busy.default/pkcs11.txt"), kInternal);
    EXPECT_NE(output_.find("busy.default): left alone, a browser (process " + std::to_string(::getpid())),
              std::string::npos)
        << output_;
    EXPECT_NE(output_.find("gone.default): left alone, the profile folder does not exist"), std::string::npos)
        << output_;
    EXPECT_EQ(fs::status(shared + "/pkcs11.txt").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    const std::string before = read(shared + "/pkcs11.txt");
    EXPECT_EQ(command({"--module", module}), 3) << output_;
    EXPECT_EQ(read(shared + "/pkcs11.txt"), before);
    EXPECT_NE(output_.find("nssdb): Sigilla already registered"), std::string::npos) << output_;

    EXPECT_EQ(command({"--remove"}), 3) << output_;
    EXPECT_EQ(read(shared + "/pkcs11.txt").find("Sigilla"), std::string::npos);
    EXPECT_EQ(read(firefox + "/open.default/pkcs11.txt").find("Sigilla"), std::string::npos);
    EXPECT_NE(output_.find("open.default): Sigilla removed"), std::string::npos) << output_;

    // The XDG location wins once it exists.
    fs::create_directories(home_ + "/.local/share/pki/nssdb");
    fs::remove(firefox + "/busy.default/lock");
    EXPECT_EQ(command({"--module", module}), 0) << output_;
    EXPECT_NE(read(home_ + "/.local/share/pki/nssdb/pkcs11.txt").find(entry), std::string::npos) << output_;
    EXPECT_NE(read(firefox + "/busy.default/pkcs11.txt").find(entry), std::string::npos) << output_;
}

TEST_F(InHome, BadArgumentsAndAMissingModuleAreRefused) {
    EXPECT_EQ(command({"--frobnicate"}), 2);
    EXPECT_EQ(command({"--module"}), 2);
    EXPECT_EQ(command({"--module", home_ + "/no-such-module.so"}), 1);
    EXPECT_NE(output_.find("is not a file"), std::string::npos) << output_;
    EXPECT_FALSE(fs::exists(home_ + "/.pki"));
}

}  // namespace
}  // namespace qel::registration
