#include "common/user_dirs.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

namespace qel::userdirs {

static std::string envOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    if (v != nullptr && v[0] == '/') return v;
    return fallback;
}

std::string home() {
    const char* h = std::getenv("HOME");
    if (h != nullptr && h[0] != '\0') return h;
    // A module loaded into a service may run without HOME.
    if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) return pw->pw_dir;
    return "/tmp";
}

std::string stateHome() { return envOr("XDG_STATE_HOME", home() + "/.local/state"); }
std::string cacheHome() { return envOr("XDG_CACHE_HOME", home() + "/.cache"); }
std::string configHome() { return envOr("XDG_CONFIG_HOME", home() + "/.config"); }

std::string userDir(const char* key, const char* fallback) {
    if (const char* v = std::getenv(key); v != nullptr && v[0] == '/') return v;
    std::ifstream in(configHome() + "/user-dirs.dirs");
    std::string line;
    const std::string prefix = std::string(key) + "=";
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) != 0) continue;
        std::string value = line.substr(prefix.size());
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (value.rfind("$HOME", 0) == 0) value = home() + value.substr(5);
        if (!value.empty() && value[0] == '/') return value;
    }
    return home() + "/" + fallback;
}

bool makeDirs(const std::string& path, unsigned mode) {
    if (path.empty()) return false;
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty()) continue;
        if (mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) return false;
    }
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace qel::userdirs
