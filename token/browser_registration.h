#pragma once
// Registers Sigilla as a PKCS#11 module in the NSS databases of the user's browsers: the shared
// database (Chromium and most desktop applications) and each Firefox profile.
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
};

/// The shared database followed by every Firefox profile listed in the profiles.ini of
/// ~/.mozilla/firefox and ~/.mozilla/firefox-esr, each folder once. A missing or unreadable
/// profiles.ini adds nothing.
std::vector<Database> userDatabases();

/// The profile folders that a profiles.ini lists, in its order and each once; relative paths are
/// resolved against the folder of the file.
std::vector<std::string> firefoxProfiles(const std::string& profilesIni);

/// Why a running browser holds the profile, or nothing when none does: a `lock` link naming a live
/// process, or a `.parentlock` locked by another process.
std::optional<std::string> profileLockHolder(const std::string& profileDirectory);

enum class Change { Added, Updated, Unchanged, Removed, Absent, Locked, Missing, Failed };

/// What happened to one database.
struct Outcome {
    Database database;
    Change change = Change::Failed;
    std::string detail;  ///< why, for Locked, Missing and Failed
};

/// The text of a pkcs11.txt with our module registered for `library`, every other entry kept as it
/// was. `change` tells whether it was added, updated (another library path) or already there.
std::string withModule(const std::string& pkcs11Txt, const std::string& library, Change& change);
/// The text of a pkcs11.txt without our module; `change` is Removed or Absent.
std::string withoutModule(const std::string& pkcs11Txt, Change& change);

/// Registers `library` (an absolute path) in each database. A database not made yet is created
/// with an empty password, as the browser would; a profile whose folder is gone is Missing, and one
/// a running browser holds is Locked and left untouched.
std::vector<Outcome> registerModule(const std::vector<Database>& databases, const std::string& library);
/// Removes our module from each database.
std::vector<Outcome> unregisterModule(const std::vector<Database>& databases);

/// One line for the user about an outcome.
std::string describe(const Outcome& outcome);

/// The module installed with this program (found from the program's own folder as the install
/// laid them out), else the one at the path configured at build time; empty when neither exists.
std::string installedModule();

/// The sigilla-register command: `[--module LIBRARY] [--remove]`. One line per database on `out`
/// (failures on `err`). Returns 0 when done, 3 when a locked profile was left alone, 1 on a
/// failure, 2 on bad arguments.
int registerCommand(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace qel::registration
