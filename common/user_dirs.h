#pragma once
#include <string>

namespace qel::userdirs {

/// Per-user folders, following the XDG base-directory and user-directory conventions so that tests
/// (and users) can redirect every one of them. Paths have no trailing separator.
std::string home();
std::string stateHome();   ///< $XDG_STATE_HOME or ~/.local/state
std::string cacheHome();   ///< $XDG_CACHE_HOME or ~/.cache
std::string configHome();  ///< $XDG_CONFIG_HOME or ~/.config

/// A folder named in the user's user-dirs.dirs (key such as "XDG_DOCUMENTS_DIR"), or
/// ~/<fallback> when the file or the key is missing. The environment variable of the same name wins.
std::string userDir(const char* key, const char* fallback);
inline std::string documentsDir() { return userDir("XDG_DOCUMENTS_DIR", "Documents"); }
inline std::string downloadDir() { return userDir("XDG_DOWNLOAD_DIR", "Downloads"); }
inline std::string desktopDir() { return userDir("XDG_DESKTOP_DIR", "Desktop"); }

/// Creates a folder and its parents with the given mode for the folders it creates. True when the
/// folder exists afterwards.
bool makeDirs(const std::string& path, unsigned mode = 0700);

}  // namespace qel::userdirs
