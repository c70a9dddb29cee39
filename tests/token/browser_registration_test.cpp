// Browser registration without a card: the module lists of NSS databases, the profile lists of Firefox
// and Thunderbird and their lock, and the command in the test's private home.
#include "token/browser_registration.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
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
        config_ = std::getenv("XDG_CONFIG_HOME") ? std::getenv("XDG_CONFIG_HOME") : home_ + "/.config";
        for (const char* folder : {"/.pki", "/.mozilla", "/.local", "/.thunderbird", "/snap", "/.var", "/elsewhere"})
            fs::remove_all(home_ + folder);
        fs::remove_all(config_ + "/mozilla");
        fs::remove_all(config_ + "/thunderbird");
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
    std::string config_;
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
    EXPECT_FALSE(readProfilesIni(home_ + "/nowhere/profiles.ini").present);
}

// A broken or hostile list gives what it can and says what it skipped; it never hangs nor crashes.
TEST_F(InHome, AHostileProfilesIniIsSkippedWithAReason) {
    const std::string ini = home_ + "/.mozilla/firefox/profiles.ini";
    write(ini, std::string("\xEF\xBB\xBF[Profile0]\r\nPath=good\r\n[Profile1]\nName=no path\n[Profile2]\nPath=a\x01"
                           "b\n") +
                   "[Profile3]\nIsRelative=0\nPath=relative\n[Profile4\nPath=../../escaped\n[Profile5]\nPath=\n"
                   "Path\n=\n[\n" +
                   std::string("\0\xFF", 2) + "\n");
    ProfileList list = readProfilesIni(ini);
    EXPECT_TRUE(list.present);
    // An unclosed section header still names a profile section; ".." stays the user's own business
    // (the folder checks at registration decide).
    EXPECT_EQ(list.profiles, (std::vector<std::string>{home_ + "/.mozilla/firefox/good", home_ + "/escaped"}));
    ASSERT_EQ(list.problems.size(), 4u);
    EXPECT_NE(list.problems[0].find("[Profile1]: no Path"), std::string::npos) << list.problems[0];
    EXPECT_NE(list.problems[1].find("control characters"), std::string::npos) << list.problems[1];
    EXPECT_NE(list.problems[2].find("IsRelative=0 with the relative Path relative"), std::string::npos);

    fs::remove(ini);
    ASSERT_EQ(::mkfifo(ini.c_str(), 0600), 0);
    list = readProfilesIni(ini);
    EXPECT_TRUE(list.profiles.empty());
    ASSERT_EQ(list.problems.size(), 1u);
    EXPECT_NE(list.problems[0].find("is not a file"), std::string::npos) << list.problems[0];
    fs::remove(ini);
    std::ofstream(ini) << std::string(2 << 20, '[');
    list = readProfilesIni(ini);
    ASSERT_EQ(list.problems.size(), 1u);
    EXPECT_NE(list.problems[0].find("too large"), std::string::npos) << list.problems[0];
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

// Profiles of every root: Firefox's XDG folder (relative path), Firefox ESR (absolute path), both
// Thunderbird folders; a sandboxed profile is left alone with the p11-kit line; every empty place is
// named.
TEST_F(InHome, EveryProfileRootIsSearchedAndEmptyPlacesAreNamed) {
    const std::string module = home_ + "/lib/libsigilla-pkcs11.so";
    write(module, "not loaded by the registration");
    write(config_ + "/mozilla/firefox/profiles.ini", "[Profile0]\nIsRelative=1\nPath=x1.default-esr\n");
    write(config_ + "/mozilla/firefox/x1.default-esr/prefs.js", "");
    write(home_ + "/.mozilla/firefox-esr/profiles.ini", "[Profile0]\nIsRelative=0\nPath=" + home_ + "/elsewhere/p\n");
    write(home_ + "/elsewhere/p/pkcs11.txt", kInternal);
    write(home_ + "/.thunderbird/profiles.ini", "[Profile0]\nPath=t1.default\n");
    write(home_ + "/.thunderbird/t1.default/prefs.js", "");
    write(config_ + "/thunderbird/profiles.ini", "[Profile0]\nPath=t2.default\n");
    write(config_ + "/thunderbird/t2.default/prefs.js", "");
    const std::string snap = home_ + "/snap/firefox/common/.mozilla/firefox";
    write(snap + "/profiles.ini", "[Profile0]\nPath=s.default\n");
    write(snap + "/s.default/pkcs11.txt", kInternal);
    write(home_ + "/.mozilla/firefox/profiles.ini", "[General]\nVersion=2\n");

    EXPECT_EQ(command({"--module", module}), 0) << output_;
    const std::string entry = "library=" + module + "\nname=Sigilla\n";
    for (const std::string& profile : {config_ + "/mozilla/firefox/x1.default-esr", home_ + "/elsewhere/p",
                                       home_ + "/.thunderbird/t1.default", config_ + "/thunderbird/t2.default"}) {
        EXPECT_NE(read(profile + "/pkcs11.txt").find(entry), std::string::npos) << profile << "\n" << output_;
        EXPECT_NE(output_.find(profile + "): Sigilla added"), std::string::npos) << output_;
    }
    EXPECT_NE(output_.find("Thunderbird profile t2.default ("), std::string::npos) << output_;
    EXPECT_EQ(read(snap + "/s.default/pkcs11.txt"), kInternal);
    EXPECT_NE(output_.find("Firefox (snap) profile s.default (" + snap + "/s.default): left alone, a snap browser"),
              std::string::npos)
        << output_;
    const std::string server = "p11-kit server --name \"$XDG_RUNTIME_DIR/p11-kit/pkcs11\" --provider ";
    EXPECT_NE(output_.find(server + module + " \"pkcs11:\"\n"), std::string::npos) << output_;
    EXPECT_NE(sandboxServerCommand("/opt/my lib/it's.so").find(server + "'/opt/my lib/it'\\''s.so' \"pkcs11:\""),
              std::string::npos);
    EXPECT_NE(output_.find("Firefox (" + home_ + "/.mozilla/firefox): nothing found, its profiles.ini lists no"),
              std::string::npos)
        << output_;
    EXPECT_NE(output_.find("Firefox (flatpak) (" + home_ +
                           "/.var/app/org.mozilla.firefox/.mozilla/firefox): "
                           "nothing found, no profiles.ini"),
              std::string::npos)
        << output_;
    EXPECT_NE(output_.find("Thunderbird (snap) ("), std::string::npos) << output_;

    // Taken out of every profile it was put in.
    EXPECT_EQ(command({"--remove"}), 0) << output_;
    EXPECT_EQ(read(home_ + "/.thunderbird/t1.default/pkcs11.txt").find("Sigilla"), std::string::npos);
    EXPECT_EQ(read(home_ + "/elsewhere/p/pkcs11.txt"), kInternal);
}

// Registering without any browser profile to take the module is not a success, whatever the
// reason; a profile list that cannot be used is a failure; a folder shared with other users gets
// no database.
TEST_F(InHome, NoProfileToTakeTheModuleIsNotASuccess) {
    const std::string module = home_ + "/lib/libsigilla-pkcs11.so";
    write(module, "not loaded by the registration");
    EXPECT_EQ(command({"--module", module}), kNoBrowserProfile) << output_;
    EXPECT_NE(output_.find("nssdb): Sigilla added"), std::string::npos) << output_;
    EXPECT_NE(output_.find("No Firefox or Thunderbird profile has Sigilla now: none was found."), std::string::npos)
        << output_;
    EXPECT_EQ(command({"--remove"}), kDone) << output_;

    const std::string flatpak = home_ + "/.var/app/org.mozilla.firefox/.mozilla/firefox";
    write(flatpak + "/profiles.ini", "[Profile0]\nPath=f.default\n[Profile1]\nPath=gone\n");
    write(flatpak + "/f.default/prefs.js", "");
    EXPECT_EQ(command({"--module", module}), kNoBrowserProfile) << output_;
    EXPECT_NE(output_.find("the profiles found were left alone"), std::string::npos) << output_;
    EXPECT_FALSE(fs::exists(flatpak + "/f.default/pkcs11.txt"));

    const std::string shared = home_ + "/elsewhere/shared";
    write(shared + "/prefs.js", "");
    fs::permissions(shared, fs::perms::all);
    write(home_ + "/.mozilla/firefox/profiles.ini", "[Profile0]\nIsRelative=0\nPath=" + shared + "\n");
    EXPECT_EQ(command({"--module", module}), kNoBrowserProfile) << output_;
    EXPECT_NE(output_.find("left alone, the folder is writable by every user"), std::string::npos) << output_;
    EXPECT_FALSE(fs::exists(shared + "/pkcs11.txt"));

    write(home_ + "/.thunderbird/profiles.ini", "[Profile0]\nPath=t.default\n[Profile1]\nIsRelative=0\nPath=rel\n");
    write(home_ + "/.thunderbird/t.default/prefs.js", "");
    EXPECT_EQ(command({"--module", module}), kFailed) << output_;
    EXPECT_NE(output_.find("t.default): Sigilla added"), std::string::npos) << output_;
    EXPECT_NE(output_.find("Thunderbird: " + home_ + "/.thunderbird/profiles.ini [Profile1]: IsRelative=0"),
              std::string::npos)
        << output_;
}

TEST_F(InHome, BadArgumentsAndAMissingModuleAreRefused) {
    EXPECT_EQ(command({"--frobnicate"}), 2);
    EXPECT_EQ(command({"--help"}), 0);
    EXPECT_NE(output_.find("Exit status:"), std::string::npos) << output_;
    EXPECT_EQ(command({"--module"}), 2);
    EXPECT_EQ(command({"--module", home_ + "/no-such-module.so"}), 1);
    EXPECT_NE(output_.find("is not a file"), std::string::npos) << output_;
    EXPECT_FALSE(fs::exists(home_ + "/.pki"));
}

}  // namespace
}  // namespace qel::registration
