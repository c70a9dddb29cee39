#pragma once
#include <optional>
#include <string>

namespace qel::userdirs {

/// Per-user folders, following the XDG base-directory and user-directory conventions so that tests
/// (and users) can redirect every one of them. Paths have no trailing separator. Variables are read
/// with secure_getenv: a set-user-ID or set-group-ID process ignores them. Without HOME (and without
/// the folder's own variable) the answer is empty: callers then write nothing rather than fall back
/// on a folder other users share.
std::string home();
std::string stateHome();   ///< $XDG_STATE_HOME or ~/.local/state; empty without either
std::string cacheHome();   ///< $XDG_CACHE_HOME or ~/.cache; empty without either
std::string configHome();  ///< $XDG_CONFIG_HOME or ~/.config; empty without either
std::string dataHome();    ///< $XDG_DATA_HOME or ~/.local/share; empty without either

/// The user's NSS shared database folder, read by Chromium and most desktop applications:
/// <data home>/pki/nssdb when that folder exists, else ~/.pki/nssdb. Empty without a home.
std::string nssSharedDatabase();

/// A folder named in the user's user-dirs.dirs (key such as "XDG_DOCUMENTS_DIR"), or
/// ~/<fallback> when the file or the key is missing. The environment variable of the same name wins.
/// Empty when no home is known.
std::string userDir(const char* key, const char* fallback);
inline std::string documentsDir() { return userDir("XDG_DOCUMENTS_DIR", "Documents"); }
inline std::string downloadDir() { return userDir("XDG_DOWNLOAD_DIR", "Downloads"); }
inline std::string desktopDir() { return userDir("XDG_DESKTOP_DIR", "Desktop"); }

/// Creates a folder and its parents with the given mode for the folders it creates. True when the
/// folder exists afterwards (a link to a folder does not count).
bool makeDirs(const std::string& path, unsigned mode = 0700);

/// Why the folders below `root` down to `folder` (each of them, `root` excluded) may not hold this
/// user's private files, or nothing when they may: each must exist as a folder (a symbolic link is
/// refused), belong to the effective user and be writable by no one else. `folder` is `root`
/// followed by one or more names.
std::optional<std::string> unsafeFolder(const std::string& root, const std::string& folder);

}  // namespace qel::userdirs
