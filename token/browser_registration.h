#pragma once
// Registers Sigilla as a PKCS#11 module in the NSS databases of the user's browsers: the shared
// database (Chromium and most desktop applications) and each Firefox and Thunderbird profile.
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace qel::registration {

/// The name the module is registered under; an entry of that name, or one loading a library named
/// libsigilla-pkcs11.so, is ours.
inline constexpr const char* kModuleName = "Sigilla";

/// One NSS database to register the module in.
struct Database {
    std::string description;  ///< "NSS shared database", "Firefox profile <name>"
    std::string directory;    ///< the folder that holds (or will hold) cert9.db and pkcs11.txt
    bool browserProfile = false;
    /// "snap" or "flatpak" for a profile of a sandboxed browser, which cannot load a library of this
    /// system; empty otherwise.
    std::string sandbox;
};

/// A folder where Firefox or Thunderbird keeps its profiles, listed in the profiles.ini inside it.
struct ProfileRoot {
    std::string browser;  ///< "Firefox", "Firefox (snap)", "Thunderbird (flatpak)", …
    std::string directory;
    std::string sandbox;  ///< as in Database
};

/// Every folder where this user's Firefox and Thunderbird may keep profiles: the XDG location
/// ($XDG_CONFIG_HOME/mozilla/firefox), ~/.mozilla/firefox, ~/.mozilla/firefox-esr, the snap's and the
/// flatpak's, and Thunderbird's ~/.thunderbird, $XDG_CONFIG_HOME/thunderbird, snap and flatpak. Empty
/// without a home.
std::vector<ProfileRoot> profileRoots();

/// What one profiles.ini gave.
struct ProfileList {
    bool present = false;               ///< the file exists
    std::vector<std::string> profiles;  ///< profile folders, in the file's order and each once
    std::vector<std::string> problems;  ///< why the file, or one of its entries, was not used
};

/// Reads a profiles.ini: each [ProfileN] section's Path, relative to the file's folder unless
/// IsRelative=0. A file that is not a regular file, is unreadable or implausibly large gives only a
/// problem; an entry whose path is empty, holds control characters or is relative with IsRelative=0
/// is skipped with a problem.
ProfileList readProfilesIni(const std::string& profilesIni);

/// The text of a profiles.ini read as readProfilesIni does, `profilesIni` naming the file (relative
/// paths are taken from its folder; problems name it).
ProfileList parseProfilesIni(std::string text, const std::string& profilesIni);

/// The profile folders of readProfilesIni, without its problems.
std::vector<std::string> firefoxProfiles(const std::string& profilesIni);

/// Where the databases were looked for and what was found.
struct Search {
    std::vector<Database> databases;        ///< the shared database first, then every profile once
    std::vector<std::string> nothingFound;  ///< one line per root that listed no profile
    std::vector<std::string> problems;      ///< one line per profiles.ini (or entry) that was not used
};

/// The shared database followed by every profile of every root, each folder once.
Search findDatabases();
/// The databases of findDatabases.
std::vector<Database> userDatabases();

/// Why a running browser holds the profile, or nothing when none does: a `lock` link naming a live
/// process, or a `.parentlock` locked by another process.
std::optional<std::string> profileLockHolder(const std::string& profileDirectory);

enum class Change { Added, Updated, Unchanged, Removed, Absent, Locked, Missing, Sandboxed, Refused, Failed };

/// What happened to one database.
struct Outcome {
    Database database;
    Change change = Change::Failed;
    std::string detail;  ///< why, for Locked, Missing, Refused and Failed
};

/// The text of a pkcs11.txt with our module registered for `library`, every other entry kept as it
/// was. `change` tells whether it was added, updated (another library path) or already there.
std::string withModule(const std::string& pkcs11Txt, const std::string& library, Change& change);
/// The text of a pkcs11.txt without our module; `change` is Removed or Absent.
std::string withoutModule(const std::string& pkcs11Txt, Change& change);

/// Registers `library` (an absolute path) in each database. A database not made yet is created
/// with an empty password, as the browser would; a profile whose folder is gone is Missing, one
/// a running browser holds is Locked, one of a sandboxed browser is Sandboxed and one whose folder
/// belongs to another user or is writable by everyone is Refused, all four left untouched.
std::vector<Outcome> registerModule(const std::vector<Database>& databases, const std::string& library);
/// Removes our module from each database.
std::vector<Outcome> unregisterModule(const std::vector<Database>& databases);

/// One line for the user about an outcome.
std::string describe(const Outcome& outcome);

/// What a user of a sandboxed browser runs so that the browser reaches `library`: a p11-kit server
/// that serves it, whose socket the browser's p11-kit-client.so finds.
std::string sandboxServerCommand(const std::string& library);

/// The module installed with this program (found from the program's own folder as the install
/// laid them out), else the one at the path configured at build time; empty when neither exists.
std::string installedModule();

/// Exit statuses of the command.
enum Status : int { kDone = 0, kFailed = 1, kUsage = 2, kLockedLeft = 3, kNoBrowserProfile = 4 };

/// The sigilla-register command: `[--module LIBRARY] [--remove]`. One line per database and per
/// place where nothing was found on `out` (failures and unusable profiles.ini files on `err`).
/// Returns kDone, kFailed on a failure, kLockedLeft when a locked profile was left alone, and when
/// registering, kNoBrowserProfile when no Firefox or Thunderbird profile now has the module (none
/// was found, or only sandboxed or refused ones), kUsage on bad arguments.
int registerCommand(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace qel::registration
