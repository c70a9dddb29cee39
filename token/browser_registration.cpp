#include "token/browser_registration.h"

#include <fcntl.h>
#include <nss.h>
#include <pk11pub.h>
#include <prerror.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <ostream>
#include <sstream>

#include "common/atomic_file.h"
#include "common/user_dirs.h"

namespace qel::registration {
namespace {

namespace fs = std::filesystem;

constexpr const char* kLibraryName = "libsigilla-pkcs11.so";

std::string trimmed(std::string s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    const auto last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// pkcs11.txt holds one entry per module, its lines `key=value`, entries parted by a blank line.
using Entry = std::vector<std::string>;

std::vector<Entry> entriesOf(const std::string& text) {
    std::vector<Entry> entries;
    Entry current;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (trimmed(line).empty()) {
            if (!current.empty()) entries.push_back(std::move(current));
            current.clear();
        } else {
            current.push_back(line);
        }
    }
    if (!current.empty()) entries.push_back(std::move(current));
    return entries;
}

std::string valueOf(const Entry& entry, const std::string& key) {
    for (const std::string& line : entry)
        if (line.rfind(key + "=", 0) == 0) return trimmed(line.substr(key.size() + 1));
    return {};
}

bool isOurs(const Entry& entry) {
    const std::string library = valueOf(entry, "library");
    return valueOf(entry, "name") == kModuleName || (!library.empty() && fs::path(library).filename() == kLibraryName);
}

std::string textOf(const std::vector<Entry>& entries) {
    std::string text;
    for (const Entry& entry : entries) {
        for (const std::string& line : entry) text += line + "\n";
        text += "\n";
    }
    return text;
}

std::string nssError() {
    const char* name = PR_ErrorToName(PR_GetError());
    return name ? name : "unknown NSS error";
}

// The database a browser would make: cert9.db, key4.db and pkcs11.txt with the internal module,
// under an empty password so that no tool asks for one.
std::optional<std::string> createDatabase(const std::string& directory) {
    if (!userdirs::makeDirs(directory, 0700)) return "cannot create the folder: " + std::string(std::strerror(errno));
    NSSInitParameters parameters{};
    parameters.length = sizeof parameters;
    const std::string config = "sql:" + directory;
    NSSInitContext* context = NSS_InitContext(config.c_str(), "", "", "", &parameters, NSS_INIT_NOROOTINIT);
    if (!context) return "cannot create the database: " + nssError();
    std::optional<std::string> failure;
    if (PK11SlotInfo* slot = PK11_GetInternalKeySlot()) {
        if (PK11_NeedUserInit(slot) && PK11_InitPin(slot, "", "") != SECSuccess)
            failure = "cannot initialise the database: " + nssError();
        PK11_FreeSlot(slot);
    }
    NSS_ShutdownContext(context);
    return failure;
}

std::optional<std::string> readText(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "cannot read " + path + ": " + std::strerror(errno);
    text.assign(std::istreambuf_iterator<char>(in), {});
    if (in.bad()) return "cannot read " + path;
    return std::nullopt;
}

// Replaced in one step, so that a browser starting meanwhile reads the old list or the new one.
std::optional<std::string> replaceText(const std::string& path, const std::string& text) {
    struct stat st {};
    const mode_t mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0600;
    if (const std::error_code ec = writeFileAtomically(path, text, mode))
        return "cannot write " + path + ": " + ec.message();
    return std::nullopt;
}

bool hasControlCharacters(const std::string& text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

}  // namespace

std::vector<ProfileRoot> profileRoots() {
    const std::string home = userdirs::home();
    if (home.empty()) return {};
    const std::string config = userdirs::configHome();
    return {
        {"Firefox", config + "/mozilla/firefox", ""},
        {"Firefox", home + "/.mozilla/firefox", ""},
        {"Firefox ESR", home + "/.mozilla/firefox-esr", ""},
        {"Firefox (snap)", home + "/snap/firefox/common/.mozilla/firefox", "snap"},
        {"Firefox (flatpak)", home + "/.var/app/org.mozilla.firefox/.mozilla/firefox", "flatpak"},
        {"Thunderbird", home + "/.thunderbird", ""},
        {"Thunderbird", config + "/thunderbird", ""},
        {"Thunderbird (snap)", home + "/snap/thunderbird/common/.thunderbird", "snap"},
        {"Thunderbird (flatpak)", home + "/.var/app/org.mozilla.Thunderbird/.thunderbird", "flatpak"},
    };
}

ProfileList readProfilesIni(const std::string& profilesIni) {
    // A real list holds a few short sections; anything far larger is not one.
    constexpr off_t kLargest = 1 << 20;
    ProfileList list;
    struct stat st {};
    if (::stat(profilesIni.c_str(), &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) {
            list.present = true;
            list.problems.push_back(profilesIni + " cannot be read: " + std::strerror(errno));
        }
        return list;
    }
    list.present = true;
    // Opening a named pipe would wait for a writer forever.
    if (!S_ISREG(st.st_mode)) {
        list.problems.push_back(profilesIni + " is not a file, not read");
        return list;
    }
    if (st.st_size > kLargest) {
        list.problems.push_back(profilesIni + " is too large to be a profile list (" + std::to_string(st.st_size) +
                                " bytes), not read");
        return list;
    }
    std::string text;
    if (auto failure = readText(profilesIni, text)) {
        list.problems.push_back(*failure);
        return list;
    }
    ProfileList parsed = parseProfilesIni(text, profilesIni);
    parsed.present = true;
    return parsed;
}

ProfileList parseProfilesIni(std::string text, const std::string& profilesIni) {
    ProfileList list;
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);

    const fs::path base = fs::path(profilesIni).parent_path();
    bool inProfile = false;
    std::string section;
    std::string path;
    bool relative = true;
    auto flush = [&] {
        if (inProfile) {
            const std::string where = profilesIni + " [" + section + "]: ";
            if (path.empty()) {
                list.problems.push_back(where + "no Path, skipped");
            } else if (hasControlCharacters(path)) {
                list.problems.push_back(where + "its Path holds control characters, skipped");
            } else if (!relative && path.front() != '/') {
                list.problems.push_back(where + "IsRelative=0 with the relative Path " + path + ", skipped");
            } else {
                const std::string full = (relative ? base / path : fs::path(path)).lexically_normal().string();
                if (std::find(list.profiles.begin(), list.profiles.end(), full) == list.profiles.end())
                    list.profiles.push_back(full);
            }
        }
        path.clear();
        relative = true;
    };
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        line = trimmed(line);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line.front() == '[') {
            flush();
            const auto close = line.find(']');
            section = line.substr(1, close == std::string::npos ? std::string::npos : close - 1);
            inProfile = section.rfind("Profile", 0) == 0;
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = trimmed(line.substr(0, eq));
        const std::string value = trimmed(line.substr(eq + 1));
        if (key == "Path") path = value;
        if (key == "IsRelative") relative = value != "0";
    }
    flush();
    return list;
}

std::vector<std::string> firefoxProfiles(const std::string& profilesIni) {
    return readProfilesIni(profilesIni).profiles;
}

Search findDatabases() {
    Search search;
    const std::string shared = userdirs::nssSharedDatabase();
    if (shared.empty()) return search;
    search.databases.push_back({"NSS shared database", shared, false, ""});
    auto canonical = [](const std::string& path) {
        std::error_code ec;
        const fs::path c = fs::weakly_canonical(path, ec);
        return ec ? path : c.string();
    };
    std::set<std::string> seenRoots;
    std::set<std::string> seenProfiles;
    for (const ProfileRoot& root : profileRoots()) {
        // One folder may be reached twice: $XDG_CONFIG_HOME unset and set to ~/.config, or a link.
        if (!seenRoots.insert(canonical(root.directory)).second) continue;
        const ProfileList list = readProfilesIni(root.directory + "/profiles.ini");
        for (const std::string& problem : list.problems) search.problems.push_back(root.browser + ": " + problem);
        for (const std::string& profile : list.profiles) {
            if (!seenProfiles.insert(canonical(profile)).second) continue;
            search.databases.push_back(
                {root.browser + " profile " + fs::path(profile).filename().string(), profile, true, root.sandbox});
        }
        if (list.profiles.empty() && list.problems.empty())
            search.nothingFound.push_back(root.browser + " (" + root.directory + "): nothing found, " +
                                          (list.present ? "its profiles.ini lists no profile" : "no profiles.ini"));
    }
    return search;
}

std::vector<Database> userDatabases() { return findDatabases().databases; }

std::optional<std::string> profileLockHolder(const std::string& profileDirectory) {
    // The link is "<address>:+<process id>"; one left behind by a crashed browser names a process
    // that is gone.
    const std::string link = profileDirectory + "/lock";
    struct stat st {};
    if (::lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char target[256] = {};
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        const std::string text(target, n > 0 ? static_cast<std::size_t>(n) : 0);
        const auto colon = text.rfind(':');
        std::string digits = colon == std::string::npos ? std::string() : text.substr(colon + 1);
        if (!digits.empty() && digits[0] == '+') digits.erase(0, 1);
        char* end = nullptr;
        errno = 0;
        const long pid = digits.empty() ? 0 : std::strtol(digits.c_str(), &end, 10);
        if (pid <= 0 || errno != 0 || *end != '\0') return "its lock " + link + " names no process";
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)
            return "a browser (process " + std::to_string(pid) + ") is using it";
    }
    const std::string parentLock = profileDirectory + "/.parentlock";
    const int fd = ::open(parentLock.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0) {
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        const bool held = ::fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
        ::close(fd);
        if (held) return "a browser (process " + std::to_string(lock.l_pid) + ") is using it";
    }
    return std::nullopt;
}

std::string withModule(const std::string& pkcs11Txt, const std::string& library, Change& change) {
    std::vector<Entry> entries = entriesOf(pkcs11Txt);
    int ours = 0;
    bool same = false;
    std::vector<Entry> kept;
    for (Entry& entry : entries) {
        if (!isOurs(entry)) {
            kept.push_back(std::move(entry));
            continue;
        }
        ++ours;
        same = valueOf(entry, "library") == library && valueOf(entry, "name") == kModuleName;
    }
    if (ours == 1 && same) {
        change = Change::Unchanged;
        return pkcs11Txt;
    }
    change = ours == 0 ? Change::Added : Change::Updated;
    kept.push_back({"library=" + library, std::string("name=") + kModuleName});
    return textOf(kept);
}

std::string withoutModule(const std::string& pkcs11Txt, Change& change) {
    std::vector<Entry> entries = entriesOf(pkcs11Txt);
    const std::size_t before = entries.size();
    std::vector<Entry> kept;
    for (Entry& entry : entries)
        if (!isOurs(entry)) kept.push_back(std::move(entry));
    if (kept.size() == before) {
        change = Change::Absent;
        return pkcs11Txt;
    }
    change = Change::Removed;
    return textOf(kept);
}

namespace {

Outcome apply(const Database& database, const std::string* library) {
    Outcome outcome{database, Change::Failed, {}};
    const std::string& dir = database.directory;
    if (database.browserProfile) {
        struct stat st {};
        if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            outcome.change = Change::Missing;
            outcome.detail = "the profile folder does not exist";
            return outcome;
        }
        // A profiles.ini may name any folder; a database is made only in one that is the user's own.
        if (st.st_uid != ::geteuid() || (st.st_mode & S_IWOTH)) {
            outcome.change = Change::Refused;
            outcome.detail = st.st_uid != ::geteuid() ? "the folder belongs to another user"
                                                      : "the folder is writable by every user";
            return outcome;
        }
        // The sandbox cannot reach a library of this system, nor pcscd: the profile gets p11-kit's
        // client instead, by hand (see the line printed after the list).
        if (library && !database.sandbox.empty()) {
            outcome.change = Change::Sandboxed;
            outcome.detail = "a " + database.sandbox + " browser cannot load " + *library;
            return outcome;
        }
        if (auto holder = profileLockHolder(dir)) {
            outcome.change = Change::Locked;
            outcome.detail = *holder;
            return outcome;
        }
    }
    const std::string list = dir + "/pkcs11.txt";
    if (!exists(list)) {
        if (!library) {
            outcome.change = Change::Absent;
            return outcome;
        }
        // A profile of the old format keeps its modules in secmod.db; writing a pkcs11.txt beside
        // it would hide them from the browser's own conversion.
        if (exists(dir + "/secmod.db")) {
            outcome.detail = "its database has the old format; start the browser once to convert it";
            return outcome;
        }
        if (auto failure = createDatabase(dir)) {
            outcome.detail = *failure;
            return outcome;
        }
        if (!exists(list)) {
            outcome.detail = "NSS made no pkcs11.txt in " + dir;
            return outcome;
        }
    }
    std::string text;
    if (auto failure = readText(list, text)) {
        outcome.detail = *failure;
        return outcome;
    }
    Change change = Change::Failed;
    const std::string updated = library ? withModule(text, *library, change) : withoutModule(text, change);
    if (updated != text) {
        if (auto failure = replaceText(list, updated)) {
            outcome.detail = *failure;
            return outcome;
        }
    }
    outcome.change = change;
    if (change == Change::Updated) outcome.detail = *library;
    return outcome;
}

}  // namespace

std::vector<Outcome> registerModule(const std::vector<Database>& databases, const std::string& library) {
    std::vector<Outcome> outcomes;
    for (const Database& database : databases) outcomes.push_back(apply(database, &library));
    return outcomes;
}

std::vector<Outcome> unregisterModule(const std::vector<Database>& databases) {
    std::vector<Outcome> outcomes;
    for (const Database& database : databases) outcomes.push_back(apply(database, nullptr));
    return outcomes;
}

std::string describe(const Outcome& outcome) {
    const std::string where = outcome.database.description + " (" + outcome.database.directory + "): ";
    switch (outcome.change) {
        case Change::Added:
            return where + "Sigilla added";
        case Change::Updated:
            return where + "Sigilla now loads " + outcome.detail;
        case Change::Unchanged:
            return where + "Sigilla already registered, nothing changed";
        case Change::Removed:
            return where + "Sigilla removed";
        case Change::Absent:
            return where + "Sigilla was not registered, nothing changed";
        case Change::Locked:
            return where + "left alone, " + outcome.detail + "; close it and run this again";
        case Change::Missing:
        case Change::Refused:
            return where + "left alone, " + outcome.detail;
        case Change::Sandboxed:
            return where + "left alone, " + outcome.detail + "; serve it through p11-kit (below)";
        case Change::Failed:
            return where + "failed, " + outcome.detail;
    }
    return where;
}

std::string installedModule() {
    char self[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        const fs::path beside =
            fs::path(std::string(self, static_cast<std::size_t>(n))).parent_path() / SIGILLA_MODULE_FROM_BINDIR;
        std::error_code ec;
        if (fs::is_regular_file(beside, ec)) return fs::weakly_canonical(beside, ec).string();
    }
    std::error_code ec;
    return fs::is_regular_file(SIGILLA_MODULE_CONFIGURED, ec) ? SIGILLA_MODULE_CONFIGURED : std::string();
}

std::string sandboxServerCommand(const std::string& library) {
    // p11-kit-client.so connects to $XDG_RUNTIME_DIR/p11-kit/pkcs11 unless told otherwise: a server
    // on that socket needs no setting on the browser's side. The server does not make the folder.
    std::string quoted = "'";
    for (char c : library) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    quoted += "'";
    const bool plain = library.find_first_not_of(
                           "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/._+-") == std::string::npos;
    return "mkdir -p \"$XDG_RUNTIME_DIR/p11-kit\" && p11-kit server --name \"$XDG_RUNTIME_DIR/p11-kit/pkcs11\" "
           "--provider " +
           (plain ? library : quoted) + " \"pkcs11:\"";
}

namespace {

constexpr const char* kHelp =
    "usage: sigilla-register [--module LIBRARY] [--remove]\n"
    "  Registers the Sigilla PKCS#11 module in this user's NSS shared database and in every Firefox\n"
    "  and Thunderbird profile (--remove takes it out again). Prints one line per database and per\n"
    "  place where no profile was found. Profiles of a running browser are left alone, and so are\n"
    "  those of a snap or flatpak browser, which cannot load the module: the command to serve it to\n"
    "  them through p11-kit is printed instead.\n"
    "  --module LIBRARY  register that copy of the module instead of the one installed beside this command\n"
    "  --remove          take the module out of every database\n"
    "Exit status: 0 done; 1 a database could not be changed or a profiles.ini could not be used;\n"
    "  2 usage error; 3 a profile of a running browser was left alone; 4 (when registering) no\n"
    "  Firefox or Thunderbird profile has the module now: none was found, or only sandboxed ones.\n";

}  // namespace

int registerCommand(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    bool remove = false;
    std::string library;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == "--help" || arguments[i] == "-h") {
            out << kHelp;
            return kDone;
        } else if (arguments[i] == "--remove") {
            remove = true;
        } else if (arguments[i] == "--module" && i + 1 < arguments.size()) {
            library = arguments[++i];
        } else {
            err << kHelp;
            return kUsage;
        }
    }
    if (!remove) {
        if (library.empty()) library = installedModule();
        if (library.empty()) {
            err << "sigilla-register: the installed module was not found; name it with --module\n";
            return kFailed;
        }
        std::error_code ec;
        const fs::path absolute = fs::absolute(library, ec);
        if (ec || !fs::is_regular_file(absolute, ec)) {
            err << "sigilla-register: " << library << " is not a file\n";
            return kFailed;
        }
        library = absolute.lexically_normal().string();
    }
    const Search search = findDatabases();
    if (search.databases.empty()) {
        err << "sigilla-register: no home folder (HOME is not set)\n";
        return kFailed;
    }
    const std::vector<Outcome> outcomes =
        remove ? unregisterModule(search.databases) : registerModule(search.databases, library);
    bool failed = !search.problems.empty(), locked = false, sandboxed = false, profileFound = false;
    std::size_t profilesWithModule = 0;
    for (const Outcome& outcome : outcomes) {
        (outcome.change == Change::Failed ? err : out) << describe(outcome) << "\n";
        failed = failed || outcome.change == Change::Failed;
        locked = locked || outcome.change == Change::Locked;
        sandboxed = sandboxed || outcome.change == Change::Sandboxed;
        const bool registered =
            outcome.change == Change::Added || outcome.change == Change::Updated || outcome.change == Change::Unchanged;
        if (outcome.database.browserProfile && registered) ++profilesWithModule;
        profileFound = profileFound || (outcome.database.browserProfile && outcome.change != Change::Missing);
    }
    for (const std::string& line : search.nothingFound) out << line << "\n";
    for (const std::string& problem : search.problems) err << problem << "\n";
    if (sandboxed)
        out << "A snap or flatpak browser reaches the card through p11-kit: run (at each login)\n  "
            << sandboxServerCommand(library)
            << "\nand load p11-kit-client.so (the copy inside the sandbox) as a security device in the browser.\n";
    if (failed) return kFailed;
    if (locked) return kLockedLeft;
    if (!remove && profilesWithModule == 0) {
        out << "No Firefox or Thunderbird profile has Sigilla now: "
            << (profileFound ? "the profiles found were left alone (above)."
                             : "none was found. Start Firefox (or Thunderbird) once, close it, and run "
                               "sigilla-register again.")
            << " Programs that read the shared database have it.\n";
        return kNoBrowserProfile;
    }
    return kDone;
}

}  // namespace qel::registration
